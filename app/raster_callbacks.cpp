//
// The driver's raster callbacks: PAPPL hands over a job's pages row by row, and the band
// engine turns them into the printer's command bytes, written to the printer's device.
//
// Each job keeps one record (papplJobSetData): what the job asked for, the page being cut
// into bands and the sink that writes to the device. StartDoc runs when the job starts,
// StartBands when a page starts, AddBandRow for every row and EndBands when the page ends.
//

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "engine/engine.h"
#include "line_watch.h"
#include "paper_sizes.h"
#include "pappl_guards.h"
#include "print_settings.h"
#include "printer_app.h"
#include "serial_device.h"

// One job being printed.
struct VorneJob {
  pappl_job_t *job;
  pappl_device_t *device;
  bool serial;       // the device is a serial: port, whose writes the job watches
  bool lineStalled;  // the job reported the printer's line as taking no data
  bool stopSeen;     // the line's watch saw the job canceled (or the server stopping)
  std::chrono::steady_clock::time_point stopSeenAt;
  PrintSettings settings;
  const PaperSize *paper;  // the job's paper, when it is one of the PPD's sizes
  bool cutToPaper;         // pages rendered here are cut to the paper's printable area
  unsigned pageNumber;     // the page being printed, from 1
  PrintableArea area;      // the rows and columns of the page that are printed
  JobOptions options;      // the engine's options for the page being printed
  unsigned rowCopies;      // how many times each raster row of the page is printed
  BandWriter page;         // the page being printed
  bool pageOpen;           // StartBands succeeded and EndBands has not run
  PrinterSink sink;
  size_t bytesHanded;  // bytes handed to papplDeviceWrite since the job began
  size_t bytesBefore;  // the device's written bytes when the job began
  bool failed;         // the job has been aborted; nothing more is printed
};

// Formats whose pages come from the client's own raster: printed as they are, like the
// filter prints a raster, when they fit the print line. Everything else is rendered here
// (PNG and JPEG by image_documents.cpp, PDF by Ghostscript) and is cut to the paper's
// printable area, as CUPS renders for the PPD.
static bool IsClientRaster(const char *format) {
  return format != nullptr &&
         (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0 ||
          strcmp(format, kSpooledRasterType) == 0);
}

//
// 'WriteToDevice()' - The sink's write: hand the engine's bytes to the printer's device.
//
// PAPPL buffers small writes and reports a failed flush only in its log; the bytes handed
// are counted so that EndVornePage can check that the device really took them.
//

static bool WriteToDevice(void *context, const unsigned char *bytes, size_t count) {
  auto *vorne = static_cast<VorneJob *>(context);
  ssize_t written = papplDeviceWrite(vorne->device, bytes, count);
  if (written < 0 || static_cast<size_t>(written) != count) {
    return false;
  }
  vorne->bytesHanded += count;
  return true;
}

// The sink's cancel question, asked before every band.
static bool JobIsCanceled(void *context) {
  return papplJobIsCanceled(static_cast<VorneJob *>(context)->job);
}

// The sink's progress report, in the log: the job's state message is set once, with its
// outcome (see pappl_guards.h); clients count the pages in job-impressions-completed.
static void ShowProgress(void *context, int percent) {
  auto *vorne = static_cast<VorneJob *>(context);
  papplLogJob(vorne->job, PAPPL_LOGLEVEL_DEBUG, "Page %u: %d%% sent.", vorne->pageNumber, percent);
}

//
// 'WatchLine()' - The serial port's write watch: report a line that takes no data on the
//                 printer, clear the report when it takes data again, and give the write up
//                 when the job is canceled or the server stops (see line_watch.h).
//

static bool WatchLine(void *context, long stalledMs) {
  auto *vorne = static_cast<VorneJob *>(context);
  pappl_printer_t *printer = papplJobGetPrinter(vorne->job);
  long stoppingMs = -1;
  if (papplJobIsCanceled(vorne->job) || !papplSystemIsRunning(papplPrinterGetSystem(printer))) {
    auto now = std::chrono::steady_clock::now();
    if (!vorne->stopSeen) {
      vorne->stopSeen = true;
      vorne->stopSeenAt = now;
    }
    stoppingMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - vorne->stopSeenAt).count());
  }
  LineVerdict verdict = JudgeLine(stalledMs, stoppingMs);
  if (verdict.stalled != vorne->lineStalled) {
    vorne->lineStalled = verdict.stalled;
    SetLineStalled(printer, verdict.stalled);
    if (verdict.stalled) {
      papplLogJob(vorne->job, PAPPL_LOGLEVEL_WARN, "%s", kLineStalledMessage);
    } else {
      papplLogJob(vorne->job, PAPPL_LOGLEVEL_INFO, "The printer takes data again.");
    }
  }
  return verdict.giveUp;
}

//
// 'AbortJob()' - Give up the job with a reason the user can read.
//
// The reason goes to the log at error level and into the job's state message, unless an
// earlier failure is there already; the job's state reasons say which kind of failure it
// was. The caller returns false to PAPPL, which aborts the job.
//

static void AbortJob(VorneJob &vorne, pappl_jreason_t reason, const char *message) {
  vorne.failed = true;
  papplLogJob(vorne.job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  SetJobMessageOnce(vorne.job, "%s", message);
  papplJobSetReasons(vorne.job, reason, PAPPL_JREASON_NONE);
}

//
// 'WriteFailed()' - End the job for bytes the device did not take: a canceled job whose line
//                   took no more, a server that stops, or a port that failed.
//

static void WriteFailed(VorneJob &vorne) {
  if (papplJobIsCanceled(vorne.job)) {
    vorne.failed = true;
    papplLogJob(vorne.job, PAPPL_LOGLEVEL_INFO,
                "Canceled while the printer took no data; the page was not fed out.");
    SetJobMessageOnce(vorne.job,
                      "Canceled while the printer took no data; the page was not fed out.");
  } else if (!papplSystemIsRunning(papplPrinterGetSystem(papplJobGetPrinter(vorne.job)))) {
    AbortJob(vorne, PAPPL_JREASON_ABORTED_BY_SYSTEM,
             "The server stopped while the printer took no data.");
  } else {
    AbortJob(vorne, PAPPL_JREASON_ABORTED_BY_SYSTEM,
             "The printer's port failed while the job was being sent (printer unplugged or "
             "switched off?).");
  }
}

//
// 'CheckStatus()' - Abort the job for an engine status other than printed or canceled.
//
// Returns true when the job may go on.
//

static bool CheckStatus(VorneJob &vorne, PrintStatus status) {
  switch (status) {
    case kPrintOk:
    case kPrintCanceled:
      return true;
    case kPrintTooWide:
      AbortJob(vorne, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
               "The page is too wide for the printer (more than 65535 dots).");
      return false;
    case kPrintNoMemory:
      AbortJob(vorne, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory to print the page.");
      return false;
    case kPrintWriteFailed:
      WriteFailed(vorne);
      return false;
  }
  AbortJob(vorne, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The band engine failed.");
  return false;
}

//
// 'FlushDevice()' - Send what PAPPL buffered and check that the device took every byte.
//
// PAPPL's flush does not return a status, but its device metrics count only the bytes the
// device accepted: fewer than were handed over means a write failed. Returns true when all
// arrived.
//

static bool FlushDevice(VorneJob &vorne) {
  papplDeviceFlush(vorne.device);
  pappl_devmetrics_t metrics;
  papplDeviceGetMetrics(vorne.device, &metrics);
  if (metrics.write_bytes - vorne.bytesBefore < vorne.bytesHanded) {
    WriteFailed(vorne);
    return false;
  }
  return true;
}

// A vendor attribute's value: the job's, else the printer's default, else null.
static const char *VendorValue(const pappl_pr_options_t *options, ipp_t *defaults, const char *name,
                               char *buffer, size_t size) {
  if (const char *value = cupsGetOption(name, options->num_vendor, options->vendor)) {
    return value;
  }
  char defaultName[128];
  snprintf(defaultName, sizeof defaultName, "%s-default", name);
  ipp_attribute_t *attr = ippFindAttribute(defaults, defaultName, IPP_TAG_ZERO);
  if (attr == nullptr) {
    return nullptr;
  }
  ippAttributeString(attr, buffer, size);
  return buffer;
}

// A margin attribute in millimetres, held to the range the printer offers.
static int32_t MarginValue(const char *value) {
  long mm = value != nullptr ? strtol(value, nullptr, 10) : 0;
  if (mm < kMarginMinMm) {
    return kMarginMinMm;
  }
  return mm > kMarginMaxMm ? kMarginMaxMm : static_cast<int32_t>(mm);
}

//
// 'CalibrationOf()' - The site calibration: offsets of the loaded paper, in dots.
//
// They are the media-left-offset and media-top-offset of the ready media in the job's source
// (the printer's Media page), a setting of the printer like the PPD's *Xoffset and *Yoffset,
// whatever a job's own media-col says.
//

static void CalibrationOf(pappl_printer_t *printer, const pappl_pr_options_t *options,
                          PrintSettings &settings) {
  std::unique_ptr<pappl_pr_driver_data_t> data(new (std::nothrow) pappl_pr_driver_data_t);
  if (!data || papplPrinterGetDriverData(printer, data.get()) == nullptr) {
    return;
  }
  int ready = 0;
  for (int i = 0; i < data->num_source; i++) {
    if (strcmp(data->source[i], options->media.source) == 0) {
      ready = i;
      break;
    }
  }
  settings.xOffset = DotsFromHundredthsMm(data->media_ready[ready].left_offset);
  settings.yOffset = DotsFromHundredthsMm(data->media_ready[ready].top_offset);
}

//
// 'SettingsOf()' - What the job asks for: quality, content, vendor attributes, calibration.
//

static PrintSettings SettingsOf(pappl_job_t *job, const pappl_pr_options_t *options) {
  PrintSettings settings{};
  settings.draft = options->print_quality == IPP_QUALITY_DRAFT;
  settings.textContent = options->print_content_optimize == PAPPL_CONTENT_TEXT;

  pappl_printer_t *printer = papplJobGetPrinter(job);
  ipp_t *defaults = papplPrinterGetDriverAttributes(printer);
  char buffer[256];
  settings.topMargin =
      MarginValue(VendorValue(options, defaults, kTopMarginAttr, buffer, sizeof buffer));
  settings.leftMargin =
      MarginValue(VendorValue(options, defaults, kLeftMarginAttr, buffer, sizeof buffer));
  const char *turn = VendorValue(options, defaults, kTurnPagesAttr, buffer, sizeof buffer);
  settings.turnPages = turn != nullptr && strcmp(turn, "true") == 0;
  const char *pageEnd = VendorValue(options, defaults, kPageEndAttr, buffer, sizeof buffer);
  settings.feedPageLength = pageEnd != nullptr && strcmp(pageEnd, "feed") == 0;
  ippDelete(defaults);

  CalibrationOf(printer, options, settings);
  return settings;
}

//
// 'ReleaseVorneJob()' - Let go of what the job holds: the watch of its line, the report of a
//                       stalled line, the device and the printer's gate.
//

static void ReleaseVorneJob(VorneJob &vorne) {
  if (vorne.serial) {
    SetSerialWriteWatch(vorne.device, nullptr, nullptr);
  }
  if (vorne.lineStalled) {
    vorne.lineStalled = false;
    SetLineStalled(papplJobGetPrinter(vorne.job), false);
  }
  ReleaseJobDevice(vorne.device);
  LeavePrinterGate(vorne.job);
}

//
// 'StartVorneJob()' - Begin a job: its turn at the printer, its record, the printer's
//                     prologue (print quality).
//

bool StartVorneJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  if (!EnterPrinterGate(job)) {
    return false;
  }
  std::unique_ptr<VorneJob> vorne(new (std::nothrow) VorneJob());
  if (!vorne) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Not enough memory to start the job.");
    SetJobMessageOnce(job, "Not enough memory to start the job.");
    LeavePrinterGate(job);
    return false;
  }
  vorne->job = job;
  vorne->device = HoldJobDevice(job, device);
  if (vorne->device == nullptr) {
    AbortJob(*vorne, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The printer's device is not open.");
    LeavePrinterGate(job);
    return false;
  }
  vorne->settings = SettingsOf(job, options);
  vorne->paper = FindPaperSize(options->media.size_name);
  vorne->cutToPaper = !IsClientRaster(papplJobGetFormat(job));
  vorne->sink = PrinterSink{vorne.get(), WriteToDevice, JobIsCanceled, ShowProgress, false};

  // Whatever an earlier job left in PAPPL's buffer is not this job's to account for (nor sent,
  // when the line gave that job's writes up); then this job watches the line's writes.
  papplDeviceFlush(vorne->device);
  const char *uri = papplPrinterGetDeviceURI(papplJobGetPrinter(job));
  vorne->serial = uri != nullptr && strncmp(uri, "serial:", 7) == 0;
  if (vorne->serial) {
    SetSerialWriteWatch(vorne->device, WatchLine, vorne.get());
  }
  pappl_devmetrics_t metrics;
  papplDeviceGetMetrics(vorne->device, &metrics);
  vorne->bytesBefore = metrics.write_bytes;

  papplLogJob(job, PAPPL_LOGLEVEL_INFO,
              "Vorne settings: %s quality, %s content, top margin %d mm, left margin %d mm, "
              "calibration %d x %d dots, %s pages, pages end with %s.",
              vorne->settings.draft ? "draft" : "letter",
              vorne->settings.textContent ? "text" : "mixed", vorne->settings.topMargin,
              vorne->settings.leftMargin, vorne->settings.xOffset, vorne->settings.yOffset,
              vorne->settings.turnPages ? "turned" : "upright",
              vorne->settings.feedPageLength ? "a feed to their length" : "a form feed");

  JobOptions prologue{};
  prologue.quality = vorne->settings.draft ? 0 : 1;
  if (!CheckStatus(*vorne, StartDoc(prologue, vorne->sink))) {
    ReleaseVorneJob(*vorne);
    return false;
  }
  papplJobSetData(job, vorne.release());
  return true;
}

//
// 'CheckPageHeader()' - Refuse a page the printer cannot print as it is.
//
// PAPPL hands over client rasters without checking them against what the driver offers: the
// page must be 8-bit grey, one byte per pixel, at 180 x 180 or 360 x 360 dpi (or 180 x 90,
// the draft raster of CUPS's driverless queues), and no longer than the longest paper. The message
// says what the page is and what the printer takes.
//

static bool CheckPageHeader(VorneJob &vorne, const cups_page_header2_t &header) {
  char message[256];
  uint32_t colorSpace;
  memcpy(&colorSpace, &header.cupsColorSpace, sizeof colorSpace);
  if (header.cupsBitsPerPixel != 8 || header.cupsBitsPerColor != 8 ||
      (colorSpace != CUPS_CSPACE_W && colorSpace != CUPS_CSPACE_SW) ||
      header.cupsBytesPerLine != header.cupsWidth) {
    snprintf(message, sizeof message,
             "Page %u is not 8-bit grey (%u bits per pixel, color space %u): the printer "
             "takes 8-bit grey (sgray_8) rasters only.",
             vorne.pageNumber, header.cupsBitsPerPixel, colorSpace);
    AbortJob(vorne, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
    return false;
  }
  if (!PageJobOptions(vorne.settings, header.HWResolution[0], header.HWResolution[1],
                      vorne.options)) {
    snprintf(message, sizeof message,
             "Page %u is at %ux%u dpi: the printer prints 180x180, 360x360 and 180x90 dpi "
             "rasters only.",
             vorne.pageNumber, header.HWResolution[0], header.HWResolution[1]);
    AbortJob(vorne, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
    return false;
  }
  if (header.cupsHeight > kLongestPageInches * header.HWResolution[1]) {
    snprintf(message, sizeof message,
             "Page %u is %u rows long at %u dpi, more than %u inches: the longest paper this "
             "printer takes is %u inches.",
             vorne.pageNumber, header.cupsHeight, header.HWResolution[1], kLongestPageInches,
             kLongestPageInches);
    AbortJob(vorne, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
    return false;
  }
  return true;
}

//
// 'StartVornePage()' - Begin a page: check its raster, decide whether it is turned.
//

bool StartVornePage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                    unsigned page) {
  (void)device;
  auto *vorne = static_cast<VorneJob *>(papplJobGetData(job));
  if (vorne == nullptr || vorne->failed) {
    return false;
  }
  vorne->pageNumber = page;
  const cups_page_header2_t &header = options->header;
  if (!CheckPageHeader(*vorne, header)) {
    return false;
  }

  // Rendered pages lose the paper's margins. A client raster is printed as it is when it fits
  // the print line, as the filter prints it; wider, it is cut the same way as a rendered page.
  // What is still wider than the line (a page wider than its paper) keeps the line's middle.
  const unsigned xdpi = header.HWResolution[0], ydpi = header.HWResolution[1];
  const bool wide = header.cupsWidth > kPrintLineInches * xdpi;
  const PaperSize *paper = vorne->cutToPaper || wide ? vorne->paper : nullptr;
  vorne->area =
      CutToPrintLine(PrintableAreaOf(paper, header.cupsWidth, header.cupsHeight, xdpi, ydpi), xdpi);
  if (wide) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Page %u is %u dots wide, more than the %u-dot print line: cut to the line.", page,
                header.cupsWidth, kPrintLineInches * xdpi);
  }
  // A 90-dpi draft raster prints each row twice, as a 180-dpi page.
  vorne->rowCopies = RowCopies(ydpi);
  const unsigned printedRows = vorne->area.height * vorne->rowCopies;
  bool turned = IsRotatedPage(vorne->options, vorne->area.width, printedRows);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO,
              "Page %u: %ux%u pixels at %ux%u dpi, %ux%u printed from %u,%u, %s.", page,
              header.cupsWidth, header.cupsHeight, header.HWResolution[0], header.HWResolution[1],
              vorne->area.width, vorne->area.height, vorne->area.left, vorne->area.top,
              turned ? "turned" : "upright");

  // The page's length through the printer, for pages that end with a feed to it.
  const int64_t formLength =
      turned ? PageLength(header.PageSize[0], header.cupsWidth, header.HWResolution[0])
             : PageLength(header.PageSize[1], header.cupsHeight, header.HWResolution[1]);
  PrintStatus status = StartBands(vorne->page, vorne->options, vorne->area.width, printedRows,
                                  turned, formLength, vorne->sink);
  vorne->pageOpen = status == kPrintOk || status == kPrintCanceled;
  return CheckStatus(*vorne, status);
}

//
// 'WriteVorneLine()' - Push one row of the page into the engine.
//
// Rows outside the printed area are skipped; a 90-dpi draft raster's rows go in twice. Returns
// false once the page takes no more rows: the engine stopped it at a band boundary after a cancel
// (a band once begun is finished with its own rows), or the job failed; EndVornePage then ends the
// page.
//

bool WriteVorneLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                    unsigned y, const unsigned char *line) {
  (void)options;
  (void)device;
  auto *vorne = static_cast<VorneJob *>(papplJobGetData(job));
  if (vorne == nullptr || vorne->failed || !vorne->pageOpen) {
    return false;
  }
  const PrintableArea &area = vorne->area;
  if (y < area.top || y - area.top >= area.height) {
    return true;
  }
  PrintStatus status = kPrintOk;
  for (unsigned copy = 0; copy < vorne->rowCopies && status == kPrintOk; copy++) {
    status = AddBandRow(vorne->page, line + area.left, vorne->sink);
  }
  return CheckStatus(*vorne, status) && status == kPrintOk;
}

//
// 'EndVornePage()' - End the page: its last band and form feed, then a flushed device.
//

bool EndVornePage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                  unsigned page) {
  (void)options;
  (void)device;
  (void)page;
  auto *vorne = static_cast<VorneJob *>(papplJobGetData(job));
  if (vorne == nullptr || vorne->failed) {
    return false;
  }
  if (vorne->pageOpen) {
    vorne->pageOpen = false;
    if (!CheckStatus(*vorne, EndBands(vorne->page, vorne->sink))) {
      return false;
    }
  }
  return FlushDevice(*vorne);
}

//
// 'EndVorneJob()' - End the job: the printer needs nothing more; the record, the hold on the
//                   device and the job's turn at the printer go.
//
// Returns false when the job failed on the way, so that PAPPL marks it aborted.
//

bool EndVorneJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  (void)options;
  (void)device;
  std::unique_ptr<VorneJob> vorne(static_cast<VorneJob *>(papplJobGetData(job)));
  papplJobSetData(job, nullptr);
  if (!vorne) {
    return false;
  }
  bool ok = !vorne->failed;
  // A page PAPPL left without its end still gets its form feed.
  if (ok && vorne->pageOpen) {
    vorne->pageOpen = false;
    ok = CheckStatus(*vorne, EndBands(vorne->page, vorne->sink));
  }
  ok = ok && CheckStatus(*vorne, EndDoc(vorne->sink)) && FlushDevice(*vorne);
  if (vorne->failed) {
    papplDeviceFlush(vorne->device);  // nothing of the job stays in PAPPL's buffer
  }
  ReleaseVorneJob(*vorne);
  if (!ok) {
    return false;
  }
  if (papplJobIsCanceled(job)) {
    SetJobMessageOnce(job, "Canceled after the band in progress; the page was fed out.");
  } else {
    SetJobMessageOnce(job, "Printed %u page(s).", vorne->pageNumber);
  }
  return true;
}
