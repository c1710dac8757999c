//
// Page loop: read raster pages one header at a time and push each page's rows into the band
// engine, wording what the engine reports as the scheduler's messages.
//

#include <cstdio>
#include <cstring>

#include "job/job.h"

volatile sig_atomic_t g_canceled = 0;

//
// 'CancelJob()' - Note that the scheduler has cancelled the job (SIGTERM).
//

void CancelJob(int /*signal_number*/) {
  g_canceled = 1;
}

//
// 'log_header()' - Log the page header fields that decide how the page is read.
//

void log_header(const cups_page_header2_t &header) {
  fprintf(stderr, "cupsBitsPerColor: %d.\n", static_cast<int>(header.cupsBitsPerColor));
  fprintf(stderr, "cupsBitsPerPixel: %d.\n", static_cast<int>(header.cupsBitsPerPixel));
  fprintf(stderr, "cupsBytesPerLine: %d.\n", static_cast<int>(header.cupsBytesPerLine));
  fprintf(stderr, "cupsHeight: %d.\n", static_cast<int>(header.cupsHeight));
  fprintf(stderr, "cupsWidth: %d.\n", static_cast<int>(header.cupsWidth));
}

//
// 'CheckPageHeader()' - Refuse a page that is not 8-bit grey with one byte per pixel.
//
// libcups accepts headers that no renderer writes; every size the filter computes rests on
// these three facts, so a page that breaks one ends the job before anything is allocated.
//

static bool CheckPageHeader(const cups_page_header2_t &header) {
  if (header.cupsBitsPerPixel != 8) {
    fprintf(stderr, "ERROR: Unsupported raster format: %d bits per pixel.\n",
            static_cast<int>(header.cupsBitsPerPixel));
    return false;
  }
  // The colour space field holds whatever 32 bits the stream carried, and most of those
  // values are no cups_cspace_t: it is read as the integer it is, not as the enumeration.
  static_assert(sizeof header.cupsColorSpace == sizeof(uint32_t), "a 32-bit header field");
  uint32_t colorSpace;
  memcpy(&colorSpace, &header.cupsColorSpace, sizeof colorSpace);
  if (colorSpace != CUPS_CSPACE_W && colorSpace != CUPS_CSPACE_SW) {
    fprintf(stderr, "ERROR: Unsupported raster color space: %d.\n", static_cast<int>(colorSpace));
    return false;
  }
  if (header.cupsBytesPerLine != header.cupsWidth) {
    fputs("ERROR: Invalid raster page header.\n", stderr);
    return false;
  }
  return true;
}

//
// 'PageLoop' - What the page loop's sink knows: the front end's own sink and the page number.
//

struct PageLoop {
  PrinterSink *printer;
  int pageNumber;
};

static bool WriteThrough(void *context, const unsigned char *bytes, size_t count) {
  return WriteToSink(*static_cast<PageLoop *>(context)->printer, bytes, count);
}

static bool JobCanceled(void * /*context*/) {
  return g_canceled != 0;
}

//
// 'ShowProgress()' - Tell the scheduler how far the page being printed is.
//
// The filter waits for the printer's line, so this is how far the paper is, give or take the
// little that lies in the pipe.
//

static void ShowProgress(void *context, int percent) {
  const int page = static_cast<PageLoop *>(context)->pageNumber;
  fprintf(stderr, "INFO: Printing page %d, %d%% complete.\n", page, percent);
  fprintf(stderr, "ATTR: job-media-progress=%d\n", percent);
}

//
// 'ReportFailure()' - Word a status that ends the job; false for those, true otherwise.
//
// A failed write is reported by the job's end, after "INFO: End Doc.".
//

static bool ReportFailure(PrintStatus status) {
  switch (status) {
    case kPrintOk:
    case kPrintCanceled:
      return true;
    case kPrintTooWide:
      fputs("ERROR: The page is too wide for the printer.\n", stderr);
      return false;
    case kPrintNoMemory:
      fputs("ERROR: Allocate memory failed.\n", stderr);
      return false;
    case kPrintWriteFailed:
      return false;
  }
  return false;
}

//
// 'PrintPages()' - Print every page of the raster input; kJobFailed when the job must fail.
//
// Each page's rows are read straight into the engine's buffers and pushed one by one. A cancel
// ends the job at the next header read, or the page at the next band. When no page follows,
// the input must have ended: a stream that libcups stopped reading early lost its later pages.
//

JobStatus PrintPages(RasterInput &input, const JobOptions &options, PrinterSink &sink) {
  PageLoop loop = {&sink, 0};
  PrinterSink pages = {&loop, WriteThrough, JobCanceled, ShowProgress, false};
  BandWriter page = {};
  bool overranShown = false;
  cups_page_header2_t header;

  while (ReadPageHeader(input, header)) {
    if (g_canceled) {
      return kJobOk;
    }
    log_header(header);
    if (!CheckPageHeader(header)) {
      return kJobFailed;
    }

    const bool turned = IsRotatedPage(options, header.cupsWidth, header.cupsHeight);
    loop.pageNumber++;
    if (turned) {
      fputs("Print rotate page\n", stderr);
    }
    fprintf(stderr, "PAGE: %d %d\n", loop.pageNumber, static_cast<int>(header.NumCopies));
    if (!turned) {
      fprintf(stderr, "INFO: Starting page %d.\n", loop.pageNumber);
    }

    // The page's length as it goes through the printer: a turned page goes through sideways.
    const int64_t formLength =
        turned ? PageLength(header.PageSize[0], header.cupsWidth, header.HWResolution[0])
               : PageLength(header.PageSize[1], header.cupsHeight, header.HWResolution[1]);
    const unsigned rowBytes = header.cupsBytesPerLine;
    PrintStatus status =
        StartBands(page, options, rowBytes, header.cupsHeight, turned, formLength, pages);
    for (unsigned row = 0; status == kPrintOk && row < header.cupsHeight; row++) {
      // A row cut off by the end of the stream may be partly read; it is not pushed.
      unsigned char *buffer = NextRowBuffer(page);
      if (!cupsRasterReadPixels(input.raster, buffer, rowBytes)) {
        break;
      }
      status = AddBandRow(page, buffer, pages);
    }
    if (!ReportFailure(status)) {
      return kJobFailed;
    }

    if (turned) {
      fputs("INFO: Start Page.\n", stderr);
    }
    if (!ReportFailure(EndBands(page, pages))) {
      return kJobFailed;
    }
    // Said once: the page size does not match the form, and later pages likely overrun too.
    if (page.overran && !overranShown) {
      fprintf(stderr,
              "WARNING: Page %d is longer than its paper size; it ends without a feed and the "
              "next page starts below it.\n",
              loop.pageNumber);
      overranShown = true;
    }
    fputs("INFO: End Page.\n", stderr);
  }
  return g_canceled || CheckInputEnd(input) ? kJobOk : kJobFailed;
}
