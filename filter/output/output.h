//
// Printer output of the Vorne 24-pin filter: packing grey bands into 24-pin columns and
// writing the printer's command stream on standard output.
//

#ifndef QUILLMARSH_FILTER_OUTPUT_OUTPUT_H
#define QUILLMARSH_FILTER_OUTPUT_OUTPUT_H

#include <cstddef>
#include <vector>

#include "job/job.h"

// The print head has 24 pins: one band is 24 dot rows, packed as 3 bytes per column.
constexpr int kBandRows = 24;
constexpr int kBytesPerColumn = 3;

// The grey level below which a pixel prints, for both encoders.
constexpr int kPrintLevel = 220;

// The printer's column counts are 16 bits wide.
constexpr int kMaxBandColumns = 65535;

// The 6 x 6 ordered-dither thresholds: line (column mod 6), entry (row mod 6).
extern const unsigned char halftone_arr[6][6];

int StartDoc(const JobOptions &options);
int StartPage(const JobOptions &options);
int EndPage();
int EndDoc();

int BinaryImage(int width, const unsigned char *grey, unsigned char *packed, int level);
int BinaryImageHold(int width, const unsigned char *grey, unsigned char *packed, int level);

void findStripPixel(const unsigned char *columns, int count, int &gap, int &run);

// Writes one band; returns 0, or -1 when its command buffer cannot be obtained (nothing of the
// band is written then).
int OutputBlockData(int leftOffset, int feed, int width, const unsigned char *packed,
                    int xResolution);

// Resizes a buffer to size bytes, each set to fill; false when the memory cannot be obtained.
bool ObtainBuffer(std::vector<unsigned char> &buffer, size_t size, unsigned char fill);

#endif  // QUILLMARSH_FILTER_OUTPUT_OUTPUT_H
