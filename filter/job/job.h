//
// Job control of the Vorne 24-pin filter: the job options taken from the PPD, the cancel flag,
// the page loop that cuts raster pages into bands, and the rotated-page path.
//

#ifndef QUILLMARSH_FILTER_JOB_JOB_H
#define QUILLMARSH_FILTER_JOB_JOB_H

#include <csignal>
#include <cstdint>

#include <cups/ppd.h>
#include <cups/raster.h>

// Settings of one job, filled once from the PPD before the first page is read.
struct JobOptions {
  int32_t xResolution;  // dots per inch across: 0, 180 or 360
  int32_t yResolution;  // dots per inch down: 0, 180 or 360
  int32_t quality;      // 0 draft, 1 letter quality
  int32_t leftMargin;   // band columns skipped at the start of every band
  int32_t topMargin;    // band rows fed before the first band of every page
};

// Set to 1 by CancelJob when the scheduler sends SIGTERM; polled between pages and bands.
extern volatile sig_atomic_t g_canceled;

// How a job ends: the filter's exit status.
enum JobStatus { kJobOk = 0, kJobFailed = 1 };

int SetVorneOptions(JobOptions &options, ppd_file_t *ppd);
int32_t ReadLeadingNumber(const char *text);

void CancelJob(int signal_number);
void log_header(const cups_page_header2_t &header);
int isBlankRow(int length, const unsigned char *row);
void MergeLineData(const unsigned char *first, const unsigned char *second, unsigned char *output,
                   int length);
void MergeColumnData(const unsigned char *input, unsigned char *output, int length);

// What reading one 360 dpi row pair gave: no row, the page's odd last row alone, or a pair.
enum MergedRow { kNoRow, kLastRowAlone, kRowPair };
MergedRow ReadMergedRow(cups_raster_t *raster, unsigned rowBytes, unsigned char *first,
                        unsigned char *second, unsigned char *output);

JobStatus PrintPages(cups_raster_t *raster, const JobOptions &options, const char *job_options);

bool IsRotatedPage(const char *job_options, const cups_page_header2_t &header,
                   const JobOptions &options);
JobStatus PrintRotatePage(cups_raster_t *raster, const cups_page_header2_t &header,
                          const JobOptions &options);
void Rotate90Image(const unsigned char *source, unsigned char *destination, int width, int height);
JobStatus PrintImage(const unsigned char *image, int width, int height, const JobOptions &options);

#endif  // QUILLMARSH_FILTER_JOB_JOB_H
