//
// 'app_bench' - Time the printer application from submit to completed, beside LPrint, and the
// resident memory of both.
//
// Usage: app_bench [runs]
//
// Starts a private quillmarsh server (as the tests do: HOME and TMPDIR of its own, run as
// nobody under root) with a printer on a file: device, and a private LPrint server the same
// way with a 2-inch 203 dpi ZPL label printer on a file: device; both log at the info level,
// as the systemd unit has it. It reports their resident memory when idle, then times, runs
// times each, from sending Print-Job to the job's completed state asked for without pause:
// quillmarsh printing a one-page 180 dpi Letter PWG raster of text, quillmarsh printing a
// one-page PDF (made by Ghostscript from the tests' onepage.ps), and LPrint printing a one-page
// 2x1 inch label PWG raster at 203 dpi. For the engine's share, the CUPS filter prints the
// Letter raster with the project's PPD as often (a process of its own each time, as CUPS runs
// it). Then the resident memory of both after the jobs. Last, how long a cancel takes (up to 5
// runs): from Cancel-Job to the canceled state of a job on a serial printer whose line (a
// pseudo-terminal) takes nothing, and of a PDF job while Ghostscript renders its page.
//
// LPrint 1.1.0 listens on every address: scripts/bench-app.sh runs this program in a network
// namespace of its own that has nothing but loopback.
//

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app_server.h"
#include "slow_port.h"
#include "synthetic_page.h"

// The level both servers log at.
constexpr const char *kLogLevel = "log-level=info";

// The server's resident set in kilobytes (VmRSS), 0 when unknown.
static long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return 0;
}

// The bytes in the files of a folder (a file: device's output), and the number of files that
// hold any in *files.
static long long FolderBytes(const std::string &path, int *files) {
  long long bytes = 0;
  *files = 0;
  DIR *folder = opendir(path.c_str());
  if (folder == nullptr) {
    return 0;
  }
  while (struct dirent *entry = readdir(folder)) {
    struct stat info;
    std::string file = path + "/" + entry->d_name;
    if (entry->d_name[0] != '.' && stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size > 0) {
      bytes += info.st_size;
      (*files)++;
    }
  }
  closedir(folder);
  return bytes;
}

// A Letter page of text at 180 dpi, as a client renders it whole.
static Bytes TextPage() {
  TestPage page = GreyPage(1530, 1980, 255, 180);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  for (unsigned y = 90; y < 1890; y++) {
    TextRow(1350, y, page.pixels.data() + static_cast<size_t>(y) * 1530 + 90);
  }
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

// A 2x1 inch label of text at 203 dpi, 8-bit grey, as LPrint takes it.
static Bytes LabelPage() {
  TestPage page = GreyPage(406, 203, 255, 203);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  page.header.PageSize[0] = 144;
  page.header.PageSize[1] = 72;
  for (unsigned y = 20; y < 183; y++) {
    TextRow(366, y, page.pixels.data() + static_cast<size_t>(y) * 406 + 20);
  }
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

//
// LPrint: a private server of its own, run as the quillmarsh server is, and IPP to it.
//

class LprintServer {
 public:
  explicit LprintServer(const ServerFolder &folder) : folder_(folder) {}
  ~LprintServer() {
    Stop();
  }
  LprintServer(const LprintServer &) = delete;
  LprintServer &operator=(const LprintServer &) = delete;

  // Starts "lprint server" and waits until it answers; false with a message when it does not.
  bool Start(std::string &error);
  // "lprint add" of a printer on the device URI with the driver; false with its message.
  bool AddPrinter(const std::string &name, const std::string &device_uri, const std::string &driver,
                  std::string &error);
  // Asks the server to stop (SIGTERM); kills its process group when it has not within 30 s.
  void Stop();

  pid_t pid() const {
    return pid_;
  }
  int port() const {
    return port_;
  }

 private:
  std::vector<std::string> Environment() const {
    return {"PATH=/usr/bin:/bin", "HOME=" + folder_.path() + "/home",
            "TMPDIR=" + folder_.path() + "/tmp", "LANG=C"};
  }
  std::string Log() const {
    return ReadText(folder_.path() + "/tmp/server.log") +
           ReadText(folder_.path() + "/tmp/server.err");
  }

  const ServerFolder &folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A request to LPrint's printer (or its system when printer is empty), with the operation
// attributes it needs first; more go after them.
static ipp_t *LprintRequest(const LprintServer &server, const std::string &printer,
                            ipp_op_t operation) {
  std::string uri = "ipp://127.0.0.1:" + std::to_string(server.port()) +
                    (printer.empty() ? "/ipp/system" : "/ipp/print/" + printer);
  ipp_t *request = ippNewRequest(operation);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI,
               printer.empty() ? "system-uri" : "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

// Sends the request, and the document when there is one, over a connection of its own as the
// tests' helpers send theirs to quillmarsh; the response, which the caller deletes, or null.
static ipp_t *LprintSend(const LprintServer &server, const std::string &printer, ipp_t *request,
                         const Bytes *document) {
  http_t *http = httpConnect2("127.0.0.1", server.port(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER,
                              1, 30000, nullptr);
  if (http == nullptr) {
    ippDelete(request);
    return nullptr;
  }
  std::string resource = printer.empty() ? "/ipp/system" : "/ipp/print/" + printer;
  ipp_t *response = nullptr;
  if (document == nullptr) {
    response = cupsDoRequest(http, request, resource.c_str());
  } else {
    size_t length = ippLength(request) + document->size();
    if (cupsSendRequest(http, request, resource.c_str(), length) == HTTP_STATUS_CONTINUE &&
        cupsWriteRequestData(http, reinterpret_cast<const char *>(document->data()),
                             document->size()) == HTTP_STATUS_CONTINUE) {
      response = cupsGetResponse(http, resource.c_str());
    }
    ippDelete(request);
  }
  httpClose(http);
  return response;
}

bool LprintServer::Start(std::string &error) {
  folder_.Make("home");
  folder_.Make("tmp");
  port_ = FreeLoopbackPort();
  std::string tmp = folder_.path() + "/tmp";
  pid_ = StartProgramAs({"/usr/bin/lprint", "server", "-o", "server-port=" + std::to_string(port_),
                         "-o", "log-file=" + tmp + "/server.log", "-o", kLogLevel},
                        Environment(), ServerUid(), ServerGid(), tmp + "/server.out",
                        tmp + "/server.err");
  if (pid_ <= 0) {
    error = "cannot start lprint";
    return false;
  }
  for (int tries = 0; tries < 200; tries++) {
    if (WaitForProcess(pid_, 0) != -1) {
      pid_ = -1;
      error = "lprint server ended at once: " + Log();
      return false;
    }
    ipp_t *response = LprintSend(*this, "", LprintRequest(*this, "", IPP_OP_GET_PRINTERS), nullptr);
    if (response != nullptr) {
      ippDelete(response);
      return true;
    }
    usleep(100000);
  }
  error = "lprint server did not answer within 20 s: " + Log();
  return false;
}

bool LprintServer::AddPrinter(const std::string &name, const std::string &device_uri,
                              const std::string &driver, std::string &error) {
  CommandRun run = RunAs({"/usr/bin/lprint", "add", "-d", name, "-v", device_uri, "-m", driver},
                         Environment(), ServerUid(), ServerGid());
  if (run.status != 0) {
    error = "lprint add: " + run.err + run.out + Log();
    return false;
  }
  return true;
}

void LprintServer::Stop() {
  if (pid_ <= 0) {
    return;
  }
  kill(pid_, SIGTERM);
  if (WaitForProcess(pid_, 30000) == -1) {
    kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

//
// Timing: jobs one after the other, each followed to its end.
//

// The median and least of a measure's times, in seconds.
struct Figures {
  double median = 0, min = 0;
};

// Submits a job named job_name (a file: device names its file after it): its id, or 0 with a
// message.
using SubmitJob = std::function<int(const std::string &job_name, std::string *error)>;
// The state of a job (IPP_JSTATE_*), 0 when unknown.
using JobStateOf = std::function<int(int job)>;

// Fills the figures from a measure's times, which it sorts.
static void SummarizeSeconds(std::vector<double> &seconds, Figures &figures) {
  std::sort(seconds.begin(), seconds.end());
  figures.median = seconds[seconds.size() / 2];
  figures.min = seconds.front();
}

// Asks for the job's state without pause until it has ended in the state wanted; false with a
// message when it ended otherwise or the server did not answer.
static bool PollUntilEnded(int job, const JobStateOf &state_of, int wanted, std::string &error) {
  int state = 0;
  while ((state = state_of(job)) < IPP_JSTATE_CANCELED) {
    if (state == 0) {
      error = "job " + std::to_string(job) + ": no answer to Get-Job-Attributes";
      return false;
    }
  }
  if (state != wanted) {
    error = "job " + std::to_string(job) + " ended " + JobStateName(state);
    return false;
  }
  return true;
}

// Submits runs jobs, each after the one before ended, and times each from the submit to its
// completed state; false with a message when a job fails.
static bool TimeJobs(int runs, const std::string &name, const SubmitJob &submit,
                     const JobStateOf &state_of, Figures &figures, std::string &error) {
  std::vector<double> seconds;
  for (int run = 0; run < runs; run++) {
    auto start = std::chrono::steady_clock::now();
    int job = submit(name + "-" + std::to_string(run), &error);
    if (job == 0 || !PollUntilEnded(job, state_of, IPP_JSTATE_COMPLETED, error)) {
      return false;
    }
    auto end = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(end - start).count());
  }
  SummarizeSeconds(seconds, figures);
  return true;
}

// Submits runs jobs to the printer, each after the one before ended, lets each print for a
// second (its line fills up, or Ghostscript is at work) and times it from Cancel-Job to its
// canceled state; false with a message when a job does not start or ends otherwise.
static bool TimeCancels(AppServer &app, const std::string &printer, int runs,
                        const SubmitJob &submit, Figures &figures, std::string &error) {
  auto state_of = [&app, &printer](int job) { return GetJob(app, printer, job).state; };
  std::vector<double> seconds;
  for (int run = 0; run < runs; run++) {
    int job = submit("cancel-" + std::to_string(run), &error);
    if (job == 0) {
      return false;
    }
    if (WaitForJobState(app, printer, job, IPP_JSTATE_PROCESSING).state != IPP_JSTATE_PROCESSING) {
      error = "job " + std::to_string(job) + " never started printing";
      return false;
    }
    sleep(1);
    auto start = std::chrono::steady_clock::now();
    if (!CancelJob(app, printer, job, &error) ||
        !PollUntilEnded(job, state_of, IPP_JSTATE_CANCELED, error)) {
      return false;
    }
    auto end = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(end - start).count());
  }
  SummarizeSeconds(seconds, figures);
  return true;
}

// Times the CUPS filter on the raster with the project's PPD, a process each time.
static bool TimeFilter(int runs, const Bytes &raster, Figures &figures, std::string &error) {
  std::vector<double> seconds;
  FilterCall call;
  call.ppd = QUILLMARSH_PPD_PATH;
  call.input = raster;
  for (int run = 0; run < runs; run++) {
    auto start = std::chrono::steady_clock::now();
    FilterRun printed = RunFilter(call);
    auto end = std::chrono::steady_clock::now();
    if (printed.status != 0) {
      error = "the filter failed: " + printed.err;
      return false;
    }
    seconds.push_back(std::chrono::duration<double>(end - start).count());
  }
  SummarizeSeconds(seconds, figures);
  return true;
}

static double Mib(long kilobytes) {
  return static_cast<double>(kilobytes) / 1024.0;
}

static int Fail(const std::string &error) {
  fprintf(stderr, "app_bench: %s\n", error.c_str());
  return 1;
}

int main(int argc, char *argv[]) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  if (runs < 1) {
    return Fail("runs must be a positive number");
  }
  std::string error;
  ServerFolder app_folder, lprint_folder;
  AppServer app(app_folder);
  app.AddOptions({kLogLevel});
  std::string app_out = app_folder.Make("out"), lprint_out = lprint_folder.Make("out");
  if (!app.Start(error) || !app.AddPrinter("vorne", "file://" + app_out, error)) {
    return Fail(error);
  }
  LprintServer lprint(lprint_folder);
  if (!lprint.Start(error) ||
      !lprint.AddPrinter("label", "file://" + lprint_out, "zpl_2inch-203dpi-dt", error)) {
    return Fail(error);
  }
  // Let both servers settle before their memory is read.
  sleep(1);
  long app_idle = ResidentKb(app.pid()), lprint_idle = ResidentKb(lprint.pid());

  Bytes raster = TextPage();
  Bytes pdf = MakeDocument(app_folder, "pdfwrite", "onepage.pdf");
  Bytes label = LabelPage();
  if (pdf.empty()) {
    return Fail("Ghostscript made no PDF");
  }
  auto app_submit = [&app](const Bytes &document, const std::string &format,
                           const std::string &printer = "vorne") {
    return [&app, &document, format, printer](const std::string &job_name, std::string *message) {
      auto named = [&job_name](ipp_t *request) {
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                     job_name.c_str());
      };
      return PrintJob(app, printer, document, format, named, message);
    };
  };
  auto app_state = [&app](int job) { return GetJob(app, "vorne", job).state; };
  auto lprint_submit = [&lprint, &label](const std::string &job_name, std::string *message) {
    ipp_t *request = LprintRequest(lprint, "label", IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "image/pwg-raster");
    ipp_t *response = LprintSend(lprint, "label", request, &label);
    int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    *message = "LPrint: " + (response == nullptr ? std::string("no response")
                                                 : std::string(cupsLastErrorString()));
    ippDelete(response);
    return id;
  };
  auto lprint_state = [&lprint](int job) {
    ipp_t *request = LprintRequest(lprint, "label", IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
    ipp_t *response = LprintSend(lprint, "label", request, nullptr);
    int state = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
    ippDelete(response);
    return state;
  };

  Figures app_pwg, app_pdf, lprint_label, filter;
  if (!TimeJobs(runs, "pwg", app_submit(raster, "image/pwg-raster"), app_state, app_pwg, error) ||
      !TimeJobs(runs, "pdf", app_submit(pdf, "application/pdf"), app_state, app_pdf, error) ||
      !TimeJobs(runs, "label", lprint_submit, lprint_state, lprint_label, error) ||
      !TimeFilter(runs, raster, filter, error)) {
    return Fail(error);
  }
  long app_after = ResidentKb(app.pid()), lprint_after = ResidentKb(lprint.pid());
  // Jobs that completed without printing would measure nothing.
  int app_files = 0, lprint_files = 0;
  long long app_bytes = FolderBytes(app_out, &app_files);
  long long lprint_bytes = FolderBytes(lprint_out, &lprint_files);
  if (app_files != 2 * runs || lprint_files != runs) {
    return Fail("the devices hold " + std::to_string(app_files) + " and " +
                std::to_string(lprint_files) + " files with bytes, not one for each job");
  }

  // Cancels, a few runs (each waits a second): a job whose serial line takes nothing (the
  // printer out of paper), and a PDF job while Ghostscript renders its page.
  const int cancel_runs = std::min(runs, 5);
  SlowPort line(4096, 10);
  line.SetPace(0);
  if (!line.ok() || !line.GiveTo(ServerUid(), ServerGid()) ||
      !app.AddPrinter("line", "serial:" + line.Path(), error)) {
    return Fail("no serial printer on a pseudo-terminal: " + error);
  }
  Bytes long_page = MidGreyRaster(3960), heavy = HeavyPdf();
  Figures cancel_line, cancel_pdf;
  if (!TimeCancels(app, "line", cancel_runs, app_submit(long_page, "image/pwg-raster", "line"),
                   cancel_line, error) ||
      !TimeCancels(app, "vorne", cancel_runs, app_submit(heavy, "application/pdf"), cancel_pdf,
                   error)) {
    return Fail(error);
  }

  struct Row {
    const char *measure;
    Figures figures;
  };
  const Row rows[] = {
      {"quillmarsh, submit to completed, 180 dpi Letter PWG raster page", app_pwg},
      {"quillmarsh, submit to completed, one-page PDF", app_pdf},
      {"CUPS filter on the same PWG raster, a process each time", filter},
      {"LPrint, submit to completed, 2x1 inch 203 dpi label PWG raster", lprint_label},
  };
  const Row cancel_rows[] = {
      {"quillmarsh, Cancel-Job to canceled, serial line taking nothing", cancel_line},
      {"quillmarsh, Cancel-Job to canceled, PDF while Ghostscript renders", cancel_pdf},
  };
  printf("%-66s %8s %8s\n", ("measure, " + std::to_string(runs) + " runs each").c_str(), "median",
         "min");
  for (const Row &row : rows) {
    printf("%-66s %6.3f s %6.3f s\n", row.measure, row.figures.median, row.figures.min);
  }
  printf("%-66s\n", ("cancels, " + std::to_string(cancel_runs) + " runs each").c_str());
  for (const Row &row : cancel_rows) {
    printf("%-66s %6.3f s %6.3f s\n", row.measure, row.figures.median, row.figures.min);
  }
  printf("printed: quillmarsh %lld bytes in %d files, LPrint %lld bytes in %d files\n", app_bytes,
         app_files, lprint_bytes, lprint_files);
  printf("resident memory idle with one printer: quillmarsh %.1f MiB, LPrint %.1f MiB\n",
         Mib(app_idle), Mib(lprint_idle));
  printf("resident memory after the jobs: quillmarsh %.1f MiB, LPrint %.1f MiB\n", Mib(app_after),
         Mib(lprint_after));
  return 0;
}
