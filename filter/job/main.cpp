//
// 'rastertoquillmarsh' - CUPS filter for the Vorne 24-pin serial dot-matrix printer.
//
// Usage: rastertoquillmarsh job-id user title copies options [file]
//
// Reads a CUPS raster stream of 8-bit grey pages from the file or standard input, with the
// printer's PPD named by the environment variable PPD, and writes the printer's command stream
// on standard output.
//

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "job/job.h"

// The PPD interface of libcups is deprecated in favour of IPP, but a raster driver's settings
// still come from its PPD.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

//
// 'OpenMarkedPpd()' - Open the printer's PPD and mark its defaults, then the job's options.
//

static ppd_file_t *OpenMarkedPpd(const char *path, int num_options, cups_option_t *job_options) {
  ppd_file_t *ppd = ppdOpenFile(path);
  if (ppd != nullptr) {
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, num_options, job_options);
  }
  return ppd;
}

static void ClosePpd(ppd_file_t *ppd) {
  ppdClose(ppd);
}

#pragma GCC diagnostic pop

//
// 'main()' - Start the job, print every page and report how it ended.
//

int main(int argc, char *argv[]) {
  // Messages must reach the scheduler at once; a closed printer pipe must not kill the job.
  setbuf(stderr, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (argc != 6 && argc != 7) {
    fprintf(stderr, "ERROR: %s job-id user title copies options [file]", "quillmarsh");
    return 1;
  }

  int fd = 0;
  if (argc == 7) {
    fd = open(argv[6], O_RDONLY);
    if (fd < 0) {
      fputs("ERROR: Unable to open the raster file.\n", stderr);
      return 1;
    }
  }

  // Every stop signal only sets the flag: the band in progress is finished and the page gets
  // its form feed, so the printer never takes the next job's bytes as image data. The handler
  // restarts interrupted calls: a write that waits for a slow printer must not fail.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = CancelJob;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int stop : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(stop, &action, nullptr);
  }
  g_canceled = 0;

  RasterInput input;
  OpenRasterInput(input, fd);

  cups_option_t *job_options = nullptr;
  int num_options = cupsParseOptions(argv[5], 0, &job_options);

  ppd_file_t *ppd = OpenMarkedPpd(getenv("PPD"), num_options, job_options);
  if (ppd == nullptr) {
    fputs("ERROR: The PPD file could not be opened.\n", stderr);
    cupsFreeOptions(num_options, job_options);
    CloseRasterInput(input);
    if (fd != 0) {
      close(fd);
    }
    return 1;
  }

  JobOptions options;
  SetVorneOptions(options, ppd);
  options.turnPages = options.turnPages || AsksForTurnedPages(argv[5]);

  PrinterOutput output;
  OpenPrinterOutput(output, STDOUT_FILENO);
  PrinterSink sink = PrinterOutputSink(output);
  JobStatus status = kJobOk;
  if (StartDoc(options, sink) == kPrintOk) {
    status = PrintPages(input, options, sink);
  }

  fputs("INFO: End Doc.\n", stderr);
  EndDoc(sink);
  ClosePpd(ppd);
  cupsFreeOptions(num_options, job_options);
  CloseRasterInput(input);
  if (fd != 0) {
    close(fd);
  }

  // A write that failed stopped the job at once; the last bytes leave only now.
  if (!FlushPrinterOutput(output, sink)) {
    fputs("ERROR: Unable to write print data.\n", stderr);
    status = kJobFailed;
  }
  return status;
}
