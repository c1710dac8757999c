//
// Document filters: spooled raster documents, read with libcups, and PDF, rendered by
// Ghostscript into a PWG raster stream; both are pushed page by page, row by row, through the
// driver's raster callbacks, the same path PAPPL takes for the documents it reads itself.
// Ghostscript sees only files that are PDF from their first bytes to their last, and runs on a
// leash: its own process group, limits on memory and time, its output waited for in short
// steps so that a cancel or a shutdown kills it at once, and always reaped before the job ends.
//

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "pappl_guards.h"
#include "printer_app.h"

extern char **environ;

// The renderer for PDF documents, from Debian's ghostscript package, looked for on PATH.
constexpr const char *kGhostscript = "gs";
constexpr const char *kDefaultPath = "/usr/bin:/bin";

// Ghostscript's PWG raster device writes 8-bit grey with this color space (sGray).
constexpr int kSGrayColorSpace = 18;

// Points in an inch and hundredths of a millimetre in an inch.
constexpr double kPointsPerInch = 72.0;
constexpr double kHundredthsMmPerInch = 2540.0;

// A PDF file starts with these bytes; anything else is never handed to Ghostscript, which
// would run it as a PostScript program.
constexpr char kPdfStart[] = "%PDF";

// A whole PDF file ends with this marker, within its last kilobyte.
constexpr char kPdfEnd[] = "%%EOF";
constexpr off_t kPdfEndWindow = 1024;

// Ghostscript's leash. Its memory: a page of the longest paper at 360 dpi is 22 MB of grey,
// and Ghostscript with its fonts needs about 100 MB more; complex real pages stay well within
// this, a program that only grows does not. Its time: one page may take at most
// kPageSeconds from the last raster byte to the next (the watchdog, which counts only the
// time the job waits for Ghostscript, not the time the printer takes), and the whole
// document at most kDocumentCpuSeconds of processor time (the kernel's limit, a backstop).
// Its files (its messages, and the band lists it may keep of a large page) are held to
// kRendererFileBytes each, and only the first kLoggedLines of its messages are logged.
constexpr rlim_t kRendererMemoryBytes = rlim_t{768} << 20;
constexpr rlim_t kRendererFileBytes = rlim_t{256} << 20;
constexpr int kLoggedLines = 100;
constexpr int kPageSeconds = 60;
constexpr rlim_t kDocumentCpuSeconds = 30 * 60;

// How long one wait for Ghostscript's output lasts before the job looks again whether it was
// canceled or the server is stopping, in milliseconds.
constexpr int kPollMilliseconds = 100;

// Where a copy of a document's raster comes from: the spooled file itself, or the output of
// Ghostscript rendering the spooled PDF.
struct RasterSource {
  pappl_job_t *job = nullptr;
  int fd = -1;               // the raster stream
  pid_t renderer = -1;       // Ghostscript, while it renders; also its process group
  FILE *messages = nullptr;  // Ghostscript's standard error
  int waited = 0;            // milliseconds waited for Ghostscript since its last byte
  bool stalled = false;      // the watchdog stopped Ghostscript
  bool stopped = false;      // a cancel or the server's shutdown stopped the reading
};

// The server's stop by a signal (SIGTERM, SIGINT). PAPPL 1.3.1 notes it in a variable of its
// own that nothing outside PAPPL can read, and stops once the active jobs have ended or a
// minute has passed; Ghostscript must stop at once. The handlers PAPPL installed are kept here
// and still called: a signal handler can reach nothing but a record of static storage.
struct StopSignal {
  volatile sig_atomic_t seen;
  struct sigaction papplTerm, papplInt;
};
static StopSignal g_stopSignal;

static void NoteStopSignal(int signal_number) {
  g_stopSignal.seen = 1;
  const struct sigaction &pappl =
      signal_number == SIGINT ? g_stopSignal.papplInt : g_stopSignal.papplTerm;
  if (pappl.sa_handler != SIG_DFL && pappl.sa_handler != SIG_IGN) {
    pappl.sa_handler(signal_number);
  }
}

//
// 'WatchForStopSignal()' - A one-shot timer: put our note of a stop signal before PAPPL's.
//
// It runs in the server's loop, after PAPPL has installed its own handlers. Returns false, to
// run once.
//

bool WatchForStopSignal(pappl_system_t *system, void *data) {
  (void)data;
  struct sigaction note;
  memset(&note, 0, sizeof note);
  note.sa_handler = NoteStopSignal;
  sigemptyset(&note.sa_mask);
  if (sigaction(SIGTERM, &note, &g_stopSignal.papplTerm) != 0 ||
      sigaction(SIGINT, &note, &g_stopSignal.papplInt) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "Unable to watch for a stop signal (%s): Ghostscript runs on until the server ends.",
             strerror(errno));
  }
  return false;
}

//
// 'ParkUntilExit()' - Keep the job's thread, touching nothing, until the server has gone.
//
// A job whose rendering a stopping server cut off stays processing: the next start finds it
// so and holds it for a person to release, rather than ending it here as aborted or printed.
// PAPPL waits a minute for it, then ends the process. The job's record stays reachable from
// this thread's stack, as it is still in use.
//

[[noreturn]] static void ParkUntilExit(pappl_job_t *job) {
  void *const volatile record = papplJobGetData(job);
  (void)record;
  for (;;) {
    pause();
  }
}

//
// 'ReportJobFailure()' - Log a reason for aborting the job and show it as the job's message.
//

void ReportJobFailure(pappl_job_t *job, pappl_jreason_t reason, const char *message) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  SetJobMessageOnce(job, "%s", message);
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
}

// The reading of a job stops when the job is canceled, and Ghostscript's also when the server
// is shutting down (PAPPL would otherwise wait up to a minute for the page to be rendered).
static bool MustStop(const RasterSource &source) {
  return papplJobIsCanceled(source.job) ||
         (source.renderer > 0 && (g_stopSignal.seen || papplSystemIsShutdown(papplPrinterGetSystem(
                                                           papplJobGetPrinter(source.job)))));
}

//
// 'ReadSource()' - libcups's read callback: bytes of the raster source, waited for in short
//                  steps.
//
// Between steps the job looks whether it was canceled or the server is stopping, and the
// watchdog whether Ghostscript has spent too long on one page. Returns the bytes read, 0 at
// the end of the stream, -1 when the reading stops.
//

static ssize_t ReadSource(void *context, unsigned char *buffer, size_t bytes) {
  auto *source = static_cast<RasterSource *>(context);
  for (;;) {
    if (MustStop(*source)) {
      source->stopped = true;
      return -1;
    }
    struct pollfd ready = {source->fd, POLLIN, 0};
    int count = poll(&ready, 1, kPollMilliseconds);
    if (count < 0 && errno != EINTR) {
      return -1;
    }
    if (count == 0) {
      source->waited += kPollMilliseconds;
      if (source->renderer > 0 && source->waited >= kPageSeconds * 1000) {
        source->stalled = true;
        return -1;
      }
      continue;
    }
    if (count > 0) {
      ssize_t got = read(source->fd, buffer, bytes);
      if (got >= 0 || errno != EINTR) {
        source->waited = 0;
        return got;
      }
    }
  }
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
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, message);
    return false;
  }
  struct stat info;
  if (fstat(source.fd, &info) == 0 && info.st_size == 0) {
    ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document is empty.");
    return false;
  }
  return true;
}

//
// 'CheckPdfFile()' - Refuse a document that is not a PDF, or a PDF cut short, before
//                    Ghostscript sees it.
//
// A PDF starts with "%PDF" and ends with "%%EOF" within its last kilobyte (as PDF readers
// look for it). Ghostscript would run anything else as a PostScript program, and would print
// what it can guess of a PDF that is cut short.
//

static bool CheckPdfFile(pappl_job_t *job) {
  const char *filename = papplJobGetFilename(job);
  int fd = filename != nullptr ? open(filename, O_RDONLY | O_CLOEXEC) : -1;
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to open the spooled document.");
    return false;
  }
  char start[sizeof kPdfStart - 1];
  ssize_t count = read(fd, start, sizeof start);
  char end[kPdfEndWindow + 1];
  off_t endAt = info.st_size > kPdfEndWindow ? info.st_size - kPdfEndWindow : 0;
  ssize_t endCount = pread(fd, end, kPdfEndWindow, endAt);
  close(fd);
  end[endCount > 0 ? endCount : 0] = '\0';

  const char *message = nullptr;
  if (info.st_size == 0) {
    message = "The document is empty.";
  } else if (count != static_cast<ssize_t>(sizeof start) ||
             memcmp(start, kPdfStart, sizeof start) != 0) {
    message = "The document is not a PDF file.";
  } else if (endCount <= 0 ||
             memmem(end, static_cast<size_t>(endCount), kPdfEnd, sizeof kPdfEnd - 1) == nullptr) {
    message = "The PDF document is cut short: it does not end with %%EOF.";
  }
  if (message != nullptr) {
    ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, message);
    return false;
  }
  return true;
}

//
// 'FindProgram()' - The path of a program on PATH; empty when there is none.
//

static std::string FindProgram(const char *name) {
  const char *path = getenv("PATH");
  std::string folders = path != nullptr && path[0] != '\0' ? path : kDefaultPath;
  size_t start = 0;
  while (start <= folders.size()) {
    size_t colon = folders.find(':', start);
    std::string candidate =
        folders.substr(start, colon == std::string::npos ? std::string::npos : colon - start) +
        "/" + name;
    if (candidate[0] == '/' && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string::npos) {
      break;
    }
    start = colon + 1;
  }
  return "";
}

//
// 'StartRenderer()' - Start Ghostscript on the spooled PDF; its output is the raster source.
//
// The page is rendered whole, at the job's printer-resolution, as 8-bit grey on the job's
// paper; pages of another size are scaled to fit. Ghostscript's messages go to an unnamed
// temporary file and are logged when it ends; it keeps none of the server's descriptors.
//
// Ghostscript runs on a leash: -dSAFER, in a process group of its own (so that a kill reaches
// all of it), with limits on its memory and processor time, and killed by the kernel when the
// thread that started it ends (PR_SET_PDEATHSIG; the job's thread waits for it, so only a
// server that dies leaves it to the kernel). posix_spawn cannot ask for that signal, so it is
// fork and exec: everything the child needs is made before the fork, and the child calls only
// async-signal-safe functions.
//

static bool StartRenderer(pappl_job_t *job, const pappl_pr_options_t *options,
                          RasterSource &source) {
  const char *filename = papplJobGetFilename(job);
  int xdpi = options->printer_resolution[0];
  int ydpi = options->printer_resolution[1];
  double width = options->media.size_width * kPointsPerInch / kHundredthsMmPerInch;
  double length = options->media.size_length * kPointsPerInch / kHundredthsMmPerInch;

  std::string program = FindProgram(kGhostscript);
  if (program.empty()) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                     "Ghostscript (gs) is not installed: PDF documents cannot be printed.");
    return false;
  }
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
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                     "Unable to create a pipe for Ghostscript.");
    return false;
  }
  source.messages = tmpfile();
  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int errors = source.messages != nullptr ? fileno(source.messages) : input;
  const struct rlimit memory = {kRendererMemoryBytes, kRendererMemoryBytes};
  const struct rlimit cpu = {kDocumentCpuSeconds, kDocumentCpuSeconds + 5};
  const struct rlimit files = {kRendererFileBytes, kRendererFileBytes};
  sigset_t noSignals;
  sigemptyset(&noSignals);
  const pid_t server = getpid();

  pid_t child = fork();
  if (child == 0) {
    // The child: async-signal-safe calls only, then exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != server || input < 0) {
      _exit(127);  // the server is gone already
    }
    setrlimit(RLIMIT_AS, &memory);
    setrlimit(RLIMIT_CPU, &cpu);
    setrlimit(RLIMIT_FSIZE, &files);
    signal(SIGPIPE, SIG_DFL);
    pthread_sigmask(SIG_SETMASK, &noSignals, nullptr);
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output[1], STDOUT_FILENO) < 0 ||
        dup2(errors, STDERR_FILENO) < 0) {
      _exit(127);
    }
    close_range(STDERR_FILENO + 1, ~0U, 0);
    execve(program.c_str(), argv.data(), environ);
    _exit(127);
  }
  int error = errno;
  close(output[1]);
  if (input >= 0) {
    close(input);
  }
  if (child < 0) {
    close(output[0]);
    char message[256];
    snprintf(message, sizeof message, "Unable to run Ghostscript (%s): %s.", program.c_str(),
             strerror(error));
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, message);
    return false;
  }
  // Both sides make the group, so that it exists whichever runs first.
  setpgid(child, child);
  source.renderer = child;
  source.fd = output[0];
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Rendering with Ghostscript (process %d) at %dx%d dpi.",
              static_cast<int>(child), xdpi, ydpi);
  return true;
}

// How Ghostscript ended.
struct RendererEnd {
  bool ok = true;          // it finished its work and exited with status 0
  bool outOfTime = false;  // the processor time limit ended it
  std::string error;       // its first error line, or its last line
};

//
// 'StopRenderer()' - Wait for Ghostscript to end; kill its process group when the job stops,
//                    when the watchdog fired, or when it does not end by itself in time.
//
// Ghostscript is always reaped here: no renderer outlives its job.
//

static void StopRenderer(RasterSource &source, bool stop, int &status) {
  const pid_t group = source.renderer;
  if (stop) {
    kill(-group, SIGKILL);
  }
  int waitedMs = 0;
  for (;;) {
    pid_t ended = waitpid(group, &status, stop ? 0 : WNOHANG);
    if (ended == group || (ended < 0 && errno != EINTR)) {
      break;
    }
    if (ended == 0) {
      if (MustStop(source) || waitedMs >= kPageSeconds * 1000) {
        source.stalled = !MustStop(source);
        stop = true;
        kill(-group, SIGKILL);
        continue;
      }
      struct timespec pause = {0, kPollMilliseconds * 1000000L};
      nanosleep(&pause, nullptr);
      waitedMs += kPollMilliseconds;
    }
  }
  source.renderer = -1;
}

//
// 'CloseSource()' - Close the raster source; reap Ghostscript and log what it said.
//
// stop kills Ghostscript (a canceled job, a failed page). Returns how Ghostscript ended.
//

static RendererEnd CloseSource(pappl_job_t *job, RasterSource &source, bool stop) {
  RendererEnd end;
  if (source.fd >= 0) {
    close(source.fd);
    source.fd = -1;
  }
  if (source.renderer > 0) {
    int status = 0;
    StopRenderer(source, stop || source.stalled || source.stopped, status);
    end.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    end.outOfTime = WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU;
  }
  if (source.messages != nullptr) {
    rewind(source.messages);
    char line[512];
    std::string last;
    int lines = 0;
    while (lines++ < kLoggedLines && fgets(line, sizeof line, source.messages) != nullptr) {
      line[strcspn(line, "\n")] = '\0';
      const char *text = line + strspn(line, " ");
      if (text[0] == '\0') {
        continue;
      }
      papplLogJob(job, end.ok ? PAPPL_LOGLEVEL_DEBUG : PAPPL_LOGLEVEL_ERROR, "Ghostscript: %s",
                  text);
      // Its progress lines explain nothing.
      if (strncmp(text, "INFO:", 5) == 0) {
        continue;
      }
      if (end.error.empty() && strstr(text, "rror") != nullptr) {
        end.error = text;
      }
      last = text;
    }
    if (end.error.empty()) {
      end.error = last;
    }
    fclose(source.messages);
    source.messages = nullptr;
  }
  return end;
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
      ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for a raster row.");
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
  cups_raster_t *raster = cupsRasterOpenIO(ReadSource, &source, CUPS_RASTER_READ);
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
// 'RenderedAll()' - Whether a copy came out whole; when not, the job's message says why.
//
// A raster document that has no page is not one. Ghostscript that rendered no page, was
// stopped by the watchdog or its limits, or failed after some pages, fails the job with its
// own first error line (never its progress lines).
//

static bool RenderedAll(pappl_job_t *job, bool render, CopyResult result, const RendererEnd &end,
                        const RasterSource &source, unsigned pages) {
  char message[512];
  if (!render) {
    if (result == CopyResult::kNotRaster) {
      ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                       "The document is not a raster stream (PWG, Apple or CUPS raster).");
      return false;
    }
    return true;
  }
  if (source.stalled) {
    snprintf(message, sizeof message,
             "Ghostscript spent more than %d seconds on page %u of the PDF document and was "
             "stopped: the page is too complex, or the document loops.",
             kPageSeconds, pages + 1);
  } else if (end.outOfTime) {
    snprintf(message, sizeof message,
             "Ghostscript used more than %d minutes of processor time on the PDF document and "
             "was stopped.",
             static_cast<int>(kDocumentCpuSeconds / 60));
  } else if (result == CopyResult::kNotRaster || !end.ok) {
    char where[64] = "";
    if (pages > 0) {
      snprintf(where, sizeof where, " after page %u", pages);
    }
    snprintf(message, sizeof message, "Ghostscript could not render the PDF document%s%s%s", where,
             end.error.empty() ? "." : ": ", end.error.c_str());
  } else {
    return true;
  }
  ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, message);
  return false;
}

//
// 'PrintDocument()' - Print a spooled document, copy after copy, from its raster source.
//
// render says whether Ghostscript makes the raster (PDF) or the file is one (raster
// documents). A document without a single page is refused as a document format error; a PDF
// must start as one before Ghostscript sees it.
//

static bool PrintDocument(pappl_job_t *job, pappl_device_t *device, bool render) {
  // The job's turn at the printer, and its device held, from the first moment to the last
  // (see pappl_guards.h).
  if (!EnterPrinterGate(job)) {
    return false;
  }
  device = HoldJobDevice(job, device);
  if (device == nullptr) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The printer's device is not open.");
    LeavePrinterGate(job);
    return false;
  }
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (options == nullptr) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                     "Not enough memory for the job options.");
    ReleaseJobDevice(device);
    LeavePrinterGate(job);
    return false;
  }

  bool started = false, ok = !render || CheckPdfFile(job);
  unsigned page = 0;
  int copies = options->copies > 0 ? options->copies : 1;
  for (int copy = 0; ok && copy < copies && !papplJobIsCanceled(job); copy++) {
    RasterSource source;
    source.job = job;
    if (!(render ? StartRenderer(job, options, source) : OpenSpooledFile(job, source))) {
      ok = false;
      break;
    }
    unsigned before = page;
    CopyResult result = PrintCopy(job, options, device, source, started, page);
    RendererEnd end = CloseSource(job, source, result == CopyResult::kFailed);
    if (source.stopped && !papplJobIsCanceled(job) && result != CopyResult::kFailed) {
      // Stopped by the server's shutdown: its page was fed out; the job waits for the restart.
      papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                  "Ghostscript stopped as the server stops; the job is held when it starts again.");
      ParkUntilExit(job);
    }
    if (papplJobIsCanceled(job) || result == CopyResult::kFailed) {
      // Canceled, or a callback failed and said why.
      ok = result != CopyResult::kFailed;
      break;
    }
    ok = RenderedAll(job, render, result, end, source, page - before);
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
