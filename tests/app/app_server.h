//
// The printer application under test: a quillmarsh server of the test's own on a loopback
// port, IPP requests to it through libcups, and a printer port on a TCP socket that takes the
// bytes as slowly as a serial line would.
//

#ifndef QUILLMARSH_TESTS_APP_APP_SERVER_H
#define QUILLMARSH_TESTS_APP_APP_SERVER_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <cups/cups.h>

#include "slow_port.h"
#include "test_support.h"

// How a command ended.
struct CommandRun {
  int status = -1;  // exit status; -1 when it did not exit by itself
  std::string out, err;
};

// Runs argv, with env as its whole environment, as user uid/gid (when they are not the
// caller's), and waits at most timeout_seconds for it.
CommandRun RunAs(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 uid_t uid, gid_t gid, int timeout_seconds = 120);

// A scratch folder that the server's user owns; removed with everything in it.
class ServerFolder {
 public:
  ServerFolder();
  ~ServerFolder();
  ServerFolder(const ServerFolder &) = delete;
  ServerFolder &operator=(const ServerFolder &) = delete;
  const std::string &path() const {
    return path_;
  }
  // A subfolder the server's user may write into (a file: device's folder).
  std::string Make(const std::string &name) const;

 private:
  std::string path_;
};

// The unprivileged user the server runs as: the caller, or nobody when the caller is root
// (PAPPL keeps a root server's files under /run and /var).
uid_t ServerUid();
gid_t ServerGid();

// "quillmarsh server" with HOME and TMPDIR in a folder of its own, listening on loopback only
// (its default), with file: devices allowed, logging at debug level into that folder.
class AppServer {
 public:
  // The folder holds HOME and TMPDIR; a server started on the folder of a stopped one finds
  // its state again.
  explicit AppServer(const ServerFolder &folder);
  ~AppServer();
  AppServer(const AppServer &) = delete;
  AppServer &operator=(const AppServer &) = delete;

  // Server options (-o NAME=VALUE) for the next Start, after and over the usual ones.
  void AddOptions(const std::vector<std::string> &options) {
    options_.insert(options_.end(), options.begin(), options.end());
  }
  // Environment variables (NAME=VALUE) for the next Start's server only, not its commands.
  void AddServerEnvironment(const std::vector<std::string> &vars) {
    server_env_.insert(server_env_.end(), vars.begin(), vars.end());
  }
  // Starts the server and waits until it answers; false with a message when it does not.
  bool Start(std::string &error);
  // Cancels what is queued, asks the server to stop (SIGTERM) and waits for it; kills it
  // when it has not stopped after the grace PAPPL gives active jobs. True when it stopped by
  // itself.
  bool Stop();
  // Waits until the server has ended by itself (after "quillmarsh shutdown"); false when it
  // is still running after the timeout.
  bool WaitForExit(int timeout_seconds);
  // How the server ended after WaitForExit: its exit status, -1 for a signal. In the
  // sanitized build a leak of the application's own makes it non-zero.
  int exit_status() const {
    return exit_status_;
  }
  bool running() const {
    return pid_ > 0;
  }
  pid_t pid() const {
    return pid_;
  }

  // "quillmarsh ARGS" as the server's user, with the server's HOME and TMPDIR.
  CommandRun Command(const std::vector<std::string> &args) const;
  // Adds a vorne24 printer on the device URI; false with the command's message.
  bool AddPrinter(const std::string &name, const std::string &device_uri, std::string &error);

  int port() const {
    return port_;
  }
  std::string PrinterUri(const std::string &printer) const;
  std::string WebUrl(const std::string &path) const;
  std::string Home() const;
  std::string TmpDir() const;
  std::string ControlSocket() const;  // the path "quillmarsh" commands connect to
  std::string Log() const;
  std::string LogTail(size_t lines = 40) const;

 private:
  std::vector<std::string> Environment() const;
  std::string Program() const;  // the copy of the program the server's user runs

  const ServerFolder &folder_;
  std::vector<std::string> options_;
  std::vector<std::string> server_env_;
  int port_ = 0;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

// One job as the server reports it.
struct JobStatus {
  int id = 0;
  int state = 0;  // IPP_JSTATE_*, 0 when unknown
  std::string message;
  std::vector<std::string> reasons;
  bool HasReason(const std::string &reason) const;
};

// Adds job attributes to a request.
using JobAttributes = std::function<void(ipp_t *)>;

// Print-Job with the document; the job id, or 0 with the status in *error.
int PrintJob(const AppServer &server, const std::string &printer, const Bytes &document,
             const std::string &format, const JobAttributes &attributes, std::string *error);
// Get-Job-Attributes.
JobStatus GetJob(const AppServer &server, const std::string &printer, int job_id);
// Called with every status a wait sees.
using JobObserver = std::function<void(const JobStatus &)>;
// Waits until the job has ended (completed, canceled or aborted) or the timeout passed.
JobStatus WaitForJob(const AppServer &server, const std::string &printer, int job_id,
                     int timeout_seconds = 120);
// Waits until the job is in the state or has ended; observe, when given, sees every status.
JobStatus WaitForJobState(const AppServer &server, const std::string &printer, int job_id,
                          int state, int timeout_seconds = 60,
                          const JobObserver &observe = nullptr);
// Waits like WaitForJob and hands every status seen on the way to observe.
JobStatus WatchJob(const AppServer &server, const std::string &printer, int job_id,
                   const JobObserver &observe);
// Cancel-Job; false with the status in *error.
bool CancelJob(const AppServer &server, const std::string &printer, int job_id, std::string *error);
// An IPP request to the printer (or to the system when printer is empty); the response,
// which the caller deletes, or null.
ipp_t *SendRequest(const AppServer &server, const std::string &printer, ipp_t *request);
// How a request reaches the server and whom it names: by default from 127.0.0.1 over plain
// HTTP as the test's user.
struct Client {
  std::string host = "127.0.0.1";  // the address connected to, or the control socket's path
  bool tls = false;
  std::string user;      // requesting-user-name, the test's user when empty
  std::string password;  // with user: sent as HTTP Basic credentials
};
// The server's own user (or root) over the control socket: an administrator.
Client ControlClient(const AppServer &server);
// SendRequest from the client.
ipp_t *SendRequestAs(const AppServer &server, const Client &client, const std::string &printer,
                     ipp_t *request);
// Get-Printer-Attributes for all attributes; the caller deletes the response.
ipp_t *GetPrinterAttributes(const AppServer &server, const std::string &printer);
// The printer's state as clients see it.
struct PrinterState {
  std::string message;
  std::vector<std::string> reasons;
  bool Has(const std::string &reason) const;
};
// Get-Printer-Attributes: the printer's state message and reasons.
PrinterState GetPrinterState(const AppServer &server, const std::string &printer);
// Waits until the printer does (shown) or no longer does have the state reason.
bool WaitForStateReason(const AppServer &server, const std::string &printer,
                        const std::string &reason, bool shown, int timeout_seconds);
// Sets the calibration of the printer's loaded A4 paper: media-left-offset and
// media-top-offset in hundredths of a millimetre.
bool SetCalibration(const AppServer &server, const std::string &printer, int left, int top);
// An HTTP GET of the server's web interface: the status, and the page in *body.
int WebGet(const AppServer &server, const std::string &path, std::string *body);
// A GET from the client, or a POST of the form (URL-encoded) when form is not null.
int WebRequest(const AppServer &server, const Client &client, const std::string &path,
               const std::string *form, std::string *body);

// The value of the session token in the page's first form, empty when it has none.
std::string SessionToken(const std::string &page);

// What reached the printer of a job cancelled mid-page, against the whole job's bytes: whole
// commands only, the first bands of the page and fewer than it has, and the page fed out.
void ExpectCanceledPage(const Bytes &printed, const Bytes &whole);

// The built program, and the bytes or text of a file.
std::string AppPath();
Bytes ReadBytes(const std::string &path);
std::string ReadText(const std::string &path);

// --- Documents made at test time ---

// A Letter-wide 8-bit grey PWG raster page of mid grey at 180 dpi, height rows: every band is
// full of halftoned graphics, about 180 bytes a row for the printer (350 KB for a whole page).
Bytes MidGreyRaster(unsigned height = 1980);

// A small 8-bit grey PWG raster page at 180 dpi with a black bar.
Bytes BlackBarRaster();

// A one-page Letter PDF of 2.5 KB whose page takes Ghostscript hours (until the server's watchdog
// stops it): forms drawing forms, 10^8 times two page-sized fills.
Bytes HeavyPdf();

// A document made by Ghostscript's device from sample PostScript programs (files under
// tests/app/documents, one page after the other) at 72 dpi on Letter, written into the folder
// under name; its bytes.
Bytes MakeDocument(const ServerFolder &folder, const std::string &device, const std::string &name,
                   const std::vector<std::string> &programs = {"onepage.ps"});

//
// Restarts: a server ended as a power cut or the kernel's OOM killer would end it.
//

// Kills the server alone (SIGKILL; not what it started) and waits for it; false when it is
// still there after a few seconds.
bool KillServer(AppServer &server);

// The processes, other than the server itself, that run with the server's TMPDIR in their
// environment: what the server started and left behind.
std::vector<pid_t> ProcessesLeftBy(const AppServer &server);

// ---- Administrators checked by PAM ----

// A PAM service that accepts every password of every user (pam_permit), installed under
// /etc/pam.d for one test and removed again, also when the test fails. A server started with
// -o auth-service=NAME then takes any existing account with any password: the admin group
// decides who administers.
class TestPamService {
 public:
  TestPamService();
  ~TestPamService();
  TestPamService(const TestPamService &) = delete;
  TestPamService &operator=(const TestPamService &) = delete;
  const std::string &name() const {
    return name_;
  }
  bool installed() const {
    return installed_;
  }

 private:
  std::string name_;
  bool installed_ = false;
};

// ---- Another program's server, started as ours is (the benchmark's LPrint) ----

// Starts argv as user uid/gid with exactly env as its environment, in a process group of its
// own, with standard output and error into the files; its pid, or -1 when it could not fork.
pid_t StartProgramAs(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                     uid_t uid, gid_t gid, const std::string &out, const std::string &err);
// Waits at most timeout_ms for a child process; its wait status, or -1 while it still runs.
int WaitForProcess(pid_t pid, int timeout_ms);
// A TCP port on 127.0.0.1 that nothing listens on at the moment.
int FreeLoopbackPort();

#endif  // QUILLMARSH_TESTS_APP_APP_SERVER_H
