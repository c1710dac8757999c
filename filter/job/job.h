//
// The CUPS front end of the Vorne 24-pin driver: the job options taken from the PPD, the
// cancel flag, the page loop that reads raster pages and pushes their rows into the band
// engine, and the printer output on standard output.
//

#ifndef QUILLMARSH_FILTER_JOB_JOB_H
#define QUILLMARSH_FILTER_JOB_JOB_H

#include <csignal>
#include <cstdint>
#include <vector>

#include <cups/ppd.h>
#include <cups/raster.h>

#include "engine/engine.h"

// Set to 1 by CancelJob when the scheduler sends SIGTERM; polled between pages and bands.
extern volatile sig_atomic_t g_canceled;

// How a job ends: the filter's exit status.
enum JobStatus { kJobOk = 0, kJobFailed = 1 };

int SetVorneOptions(JobOptions &options, ppd_file_t *ppd);
int32_t ReadLeadingNumber(const char *text);
bool AsksForTurnedPages(const char *job_options);

void CancelJob(int signal_number);
void log_header(const cups_page_header2_t &header);

// The raster input: the stream libcups reads from a descriptor, what the reads ended in and how
// many page headers were read.
struct RasterInput {
  int fd;
  cups_raster_t *raster;  // null when the input does not begin like a raster stream
  bool ended;             // a read found the end of the input
  bool failed;            // a read failed
  int headers;            // page headers read so far
};

void OpenRasterInput(RasterInput &input, int fd);
void CloseRasterInput(RasterInput &input);
bool ReadPageHeader(RasterInput &input, cups_page_header2_t &header);
bool CheckInputEnd(const RasterInput &input);

// Prints every page of the raster input into the sink; kJobFailed when the job must fail (the
// reason is on standard error, but for a failed write, which the caller reports).
JobStatus PrintPages(RasterInput &input, const JobOptions &options, PrinterSink &sink);

// The printer's bytes on a file descriptor (standard output), with a buffer of our own.
struct PrinterOutput {
  int fd;
  std::vector<unsigned char> buffer;
  size_t used;
};

// Sets up the output on fd; its sink writes there. The buffer is small unless fd is a file.
void OpenPrinterOutput(PrinterOutput &output, int fd);
PrinterSink PrinterOutputSink(PrinterOutput &output);
// Writes what the buffer holds; false when the output failed, now or before.
bool FlushPrinterOutput(PrinterOutput &output, PrinterSink &sink);

#endif  // QUILLMARSH_FILTER_JOB_JOB_H
