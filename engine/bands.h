//
// The band engine's inner steps: rows merged and tested for white, grey bands packed into
// 24-pin columns, and every command of the printer's stream written to the sink.
//

#ifndef QUILLMARSH_ENGINE_BANDS_H
#define QUILLMARSH_ENGINE_BANDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine.h"

// The print head has 24 pins: one band is 24 dot rows, packed as 3 bytes per column.
constexpr int kBandRows = 24;
constexpr int kBytesPerColumn = 3;

// The grey level below which a pixel prints, for both encoders.
constexpr int kPrintLevel = 220;

// The printer's column counts are 16 bits wide.
constexpr int kMaxBandColumns = 65535;

// The 6 x 6 ordered-dither thresholds: line (column mod 6), entry (row mod 6).
extern const unsigned char halftone_arr[6][6];

// Rows.
int isBlankRow(int length, const unsigned char *row);
void MergeLineData(const unsigned char *first, const unsigned char *second, unsigned char *output,
                   int length);
void MergeColumnData(const unsigned char *input, unsigned char *output, int length);

// Encoders: grey band (24 x width) into packed band (3 x width, zero on entry).
int BinaryImage(int width, const unsigned char *grey, unsigned char *packed, int level);
int BinaryImageHold(int width, const unsigned char *grey, unsigned char *packed, int level);

// The run search of a band's packed columns.
void findStripPixel(const unsigned char *columns, int count, int &gap, int &run);

// The printer's feed unit is 1/120 inch, three of the 1/360-inch steps of a page's length.
constexpr int64_t kStepsPerUnit = 3;

// Page framing and one band on the sink. EndForm ends a page as the job's options say (a form
// feed, or a feed to the page's length); FeedUnits is what a band feed of feed rows sends.
PrintStatus StartPage(const JobOptions &options, PrinterSink &sink);
PrintStatus EndPage(PrinterSink &sink);
PrintStatus EndForm(BandWriter &page, PrinterSink &sink);
int FeedUnits(int feed);
PrintStatus OutputBlockData(PrinterSink &sink, int leftOffset, int feed, int width,
                            const unsigned char *packed, int xResolution);

// Reports how far a page has been sent when done of total rows passes the next quarter, and
// 100 once at the end; shown is the percent reported last.
void ReportProgress(PrinterSink &sink, int &shown, uint64_t done, uint64_t total);

// Turned pages, and the band writer's steps for them.
void Rotate90Image(const unsigned char *source, unsigned char *destination, int width, int height);
PrintStatus PrintImage(const unsigned char *image, int width, int height, const JobOptions &options,
                       PrinterSink &sink);
PrintStatus StartTurnedPage(BandWriter &page);
unsigned char *NextTurnedRow(BandWriter &page);
void AddTurnedRow(BandWriter &page, const unsigned char *row);
PrintStatus EndTurnedPage(BandWriter &page, PrinterSink &sink);

// Resizes a buffer to size bytes, each set to fill; false when the memory cannot be obtained.
bool ObtainBuffer(std::vector<unsigned char> &buffer, size_t size, unsigned char fill);

#endif  // QUILLMARSH_ENGINE_BANDS_H
