//
// Document filters: spooled raster documents, read with libcups, and PDF, rendered by
// Ghostscript into a PWG raster stream; both are pushed page by page, row by row, through the
// driver's raster callbacks, the same path PAPPL takes for the documents it reads itself.
//

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "pappl_guards.h"
#include "printer_app.h"

extern char **environ;

// The renderer for PDF documents, from Debian's ghostscript package.
constexpr const char *kGhostscript = "gs";

// Ghostscript's PWG raster device writes 8-bit grey with this color space (sGray).
constexpr int kSGrayColorSpace = 18;

// Points in an inch and hundredths of a millimetre in an inch.
constexpr double kPointsPerInch = 72.0;
constexpr double kHundredthsMmPerInch = 2540.0;

// Where a copy of a document's raster comes from: the spooled file itself, or the output of
// Ghostscript rendering the spooled PDF.
struct RasterSource {
  int fd = -1;               // the raster stream
  pid_t renderer = -1;       // Ghostscript, while it renders
  FILE *messages = nullptr;  // Ghostscript's standard error
};

//
// 'ReportFailure()' - Log a reason for aborting the job and show it as the job's message.
//

static void ReportFailure(pappl_job_t *job, pappl_jreason_t reason, const char *message) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  SetJobMessageOnce(job, "%s", message);
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
}

//
// 'OpenSpooledFile()' - The spooled document as the raster source.
//

static bool OpenSpooledFile(pappl_job_t *job, RasterSource &source) {
  const char *filename = papplJobGetFilename(job);
  source.fd = filename != nullptr ? open(filename, O_RDONLY | O_CLOEXEC) : -1;
  if (source.fd < 0) {
    char message[256];
    snprintf(message, sizeof message, "Unable to open the spooled document: %s.", strerror(errno));
    ReportFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, message);
    return false;
  }
  return true;
}

//
// 'StartRenderer()' - Start Ghostscript on the spooled PDF; its output is the raster source.
//
// The page is rendered whole, at the job's printer-resolution, as 8-bit grey on the job's
// paper; pages of another size are scaled to fit. Ghostscript's messages go to an unnamed
// temporary file and are logged when it ends; it keeps none of the server's descriptors.
//

static bool StartRenderer(pappl_job_t *job, const pappl_pr_options_t *options,
                          RasterSource &source) {
  const char *filename = papplJobGetFilename(job);
  int xdpi = options->printer_resolution[0];
  int ydpi = options->printer_resolution[1];
  double width = options->media.size_width * kPointsPerInch / kHundredthsMmPerInch;
  double length = options->media.size_length * kPointsPerInch / kHundredthsMmPerInch;

  std::vector<std::string> args = {
      kGhostscript,
      "-q",
      "-dSAFER",
      "-dBATCH",
      "-dNOPAUSE",
      "-sDEVICE=pwgraster",
      "-r" + std::to_string(xdpi) + "x" + std::to_string(ydpi),
      "-dcupsColorSpace=" + std::to_string(kSGrayColorSpace),
      "-dcupsBitsPerColor=8",
      "-dDEVICEWIDTHPOINTS=" + std::to_string(width),
      "-dDEVICEHEIGHTPOINTS=" + std::to_string(length),
      "-dFIXEDMEDIA",
      "-dPDFFitPage",
      "-sOutputFile=%stdout",
      "-sstdout=%stderr",
      "-f",
      filename != nullptr ? filename : "",
  };
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(&arg[0]);
  }
  argv.push_back(nullptr);

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    ReportFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to create a pipe for Ghostscript.");
    return false;
  }
  source.messages = tmpfile();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  if (source.messages != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, fileno(source.messages), STDERR_FILENO);
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  int error = posix_spawnp(&source.renderer, kGhostscript, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);

  if (error != 0) {
    close(output[0]);
    source.renderer = -1;
    char message[256];
    snprintf(message, sizeof message, "Unable to run Ghostscript (%s): %s.", kGhostscript,
             strerror(error));
    ReportFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, message);
    return false;
  }
  source.fd = output[0];
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Rendering with Ghostscript (process %d) at %dx%d dpi.",
              static_cast<int>(source.renderer), xdpi, ydpi);
  return true;
}

//
// 'CloseSource()' - Close the raster source; wait for Ghostscript and log what it said.
//
// A canceled job stops Ghostscript first. Returns false when Ghostscript failed, with its
// last message in lastMessage.
//

static bool CloseSource(pappl_job_t *job, RasterSource &source, bool stop,
                        std::string &lastMessage) {
  bool ok = true;
  if (source.renderer > 0 && stop) {
    kill(source.renderer, SIGTERM);
  }
  if (source.fd >= 0) {
    close(source.fd);
    source.fd = -1;
  }
  if (source.renderer > 0) {
    int status = 0;
    while (waitpid(source.renderer, &status, 0) < 0 && errno == EINTR) {
    }
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    source.renderer = -1;
  }
  if (source.messages != nullptr) {
    rewind(source.messages);
    char line[512];
    while (fgets(line, sizeof line, source.messages) != nullptr) {
      line[strcspn(line, "\n")] = '\0';
      if (line[0] != '\0') {
        papplLogJob(job, ok ? PAPPL_LOGLEVEL_DEBUG : PAPPL_LOGLEVEL_ERROR, "Ghostscript: %s", line);
        lastMessage = line;
      }
    }
    fclose(source.messages);
    source.messages = nullptr;
  }
  return ok || stop;
}

// The pages of one copy of a document: how the copy ended.
enum class CopyResult { kPrinted, kNotRaster, kFailed };

//
// 'PrintPages()' - Push every page of an open raster stream through the raster callbacks.
//
// The first page's header has been read. Rows go in until the page ends or takes no more (a
// cancel stops it at the next band boundary, the band in progress finished with its own
// rows); rows cut off by the end of the stream end their page early, as in the filter. No
// page begins after a cancel. Returns false when a callback failed (it said why).
//

static bool PrintPages(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       cups_raster_t *raster, unsigned &page) {
  std::vector<unsigned char> row;
  do {
    page++;
    if (!StartVornePage(job, options, device, page)) {
      return false;
    }
    // StartVornePage has checked the row length against what the printer can print.
    const unsigned rowBytes = options->header.cupsBytesPerLine;
    try {
      row.resize(rowBytes);
    } catch (const std::bad_alloc &) {
      ReportFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for a raster row.");
      EndVornePage(job, options, device, page);
      return false;
    }
    for (unsigned y = 0; y < options->header.cupsHeight; y++) {
      if (!cupsRasterReadPixels(raster, row.data(), rowBytes) ||
          !WriteVorneLine(job, options, device, y, row.data())) {
        break;
      }
    }
    if (!EndVornePage(job, options, device, page)) {
      return false;
    }
    papplJobSetImpressionsCompleted(job, 1);
  } while (!papplJobIsCanceled(job) && cupsRasterReadHeader2(raster, &options->header));
  return true;
}

//
// 'PrintCopy()' - Print one copy of the document from an opened source.
//
// The job is started (StartVorneJob) with the first page of the first copy, so a document
// that is no raster at all sends nothing to the printer.
//

static CopyResult PrintCopy(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                            RasterSource &source, bool &started, unsigned &page) {
  cups_raster_t *raster = cupsRasterOpen(source.fd, CUPS_RASTER_READ);
  if (raster == nullptr || !cupsRasterReadHeader2(raster, &options->header)) {
    cupsRasterClose(raster);
    return CopyResult::kNotRaster;
  }
  if (!started) {
    if (!StartVorneJob(job, options, device)) {
      cupsRasterClose(raster);
      return CopyResult::kFailed;
    }
    started = true;
  }
  bool ok = PrintPages(job, options, device, raster, page);
  cupsRasterClose(raster);
  return ok ? CopyResult::kPrinted : CopyResult::kFailed;
}

//
// 'PrintDocument()' - Print a spooled document, copy after copy, from its raster source.
//
// render says whether Ghostscript makes the raster (PDF) or the file is one (raster
// documents). A document without a single page is refused as a document format error.
//

static bool PrintDocument(pappl_job_t *job, pappl_device_t *device, bool render) {
  // The job's turn at the printer, and its device held, from the first moment to the last
  // (see pappl_guards.h).
  if (!EnterPrinterGate(job)) {
    return false;
  }
  device = HoldJobDevice(job, device);
  if (device == nullptr) {
    ReportFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The printer's device is not open.");
    LeavePrinterGate(job);
    return false;
  }
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (options == nullptr) {
    ReportFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for the job options.");
    ReleaseJobDevice(device);
    LeavePrinterGate(job);
    return false;
  }

  bool started = false, ok = true;
  unsigned page = 0;
  int copies = options->copies > 0 ? options->copies : 1;
  for (int copy = 0; ok && copy < copies && !papplJobIsCanceled(job); copy++) {
    RasterSource source;
    if (!(render ? StartRenderer(job, options, source) : OpenSpooledFile(job, source))) {
      ok = false;
      break;
    }
    CopyResult result = PrintCopy(job, options, device, source, started, page);
    std::string lastMessage;
    bool rendered = CloseSource(
        job, source, papplJobIsCanceled(job) || result != CopyResult::kPrinted, lastMessage);
    if (result == CopyResult::kNotRaster) {
      char message[512];
      if (render) {
        snprintf(message, sizeof message, "The document is not a PDF Ghostscript can print%s%s",
                 lastMessage.empty() ? "." : ": ", lastMessage.c_str());
      } else {
        snprintf(message, sizeof message,
                 "The document is not a raster stream (PWG, Apple or CUPS raster).");
      }
      ReportFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, message);
      ok = false;
    } else if (result == CopyResult::kFailed) {
      ok = false;
    } else if (!rendered) {
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Ghostscript ended with an error after %u page(s).",
                  page);
    }
  }

  if (started) {
    ok = EndVorneJob(job, options, device) && ok;
  }
  papplJobSetImpressions(job, static_cast<int>(page));
  papplJobDeletePrintOptions(options);
  ReleaseJobDevice(device);
  LeavePrinterGate(job);
  return ok;
}

//
// 'PrintRasterDocument()' - The filter for spooled raster documents (PWG, Apple, CUPS).
//

bool PrintRasterDocument(pappl_job_t *job, pappl_device_t *device, void *data) {
  (void)data;
  return PrintDocument(job, device, false);
}

//
// 'PrintPdfDocument()' - The filter for PDF documents, rendered by Ghostscript.
//

bool PrintPdfDocument(pappl_job_t *job, pappl_device_t *device, void *data) {
  (void)data;
  return PrintDocument(job, device, true);
}
