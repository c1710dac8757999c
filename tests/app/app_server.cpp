//
// The printer application under test: a private server, IPP requests and a slow printer port.
//

#include "app_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "printer_stream.h"

#ifndef QUILLMARSH_APP_PATH
#error "QUILLMARSH_APP_PATH must name the built printer application"
#endif

// How long the server may take to answer after it started, and to stop: PAPPL waits up to
// 60 seconds for active jobs before it ends.
constexpr int kStartSeconds = 20;
constexpr int kStopSeconds = 70;

// How often the tests ask the server about a job.
constexpr int kPollMs = 50;

std::string AppPath() {
  return QUILLMARSH_APP_PATH;
}

Bytes ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string &path) {
  Bytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

uid_t ServerUid() {
  if (geteuid() != 0) {
    return geteuid();
  }
  const struct passwd *nobody = getpwnam("nobody");
  return nobody != nullptr ? nobody->pw_uid : 65534;
}

gid_t ServerGid() {
  if (geteuid() != 0) {
    return getegid();
  }
  const struct passwd *nobody = getpwnam("nobody");
  return nobody != nullptr ? nobody->pw_gid : 65534;
}

ServerFolder::ServerFolder() {
  char name[] = "/tmp/quillmarsh-app-XXXXXX";
  if (mkdtemp(name) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = name;
  if (chmod(name, 0755) != 0 || chown(name, ServerUid(), ServerGid()) != 0) {
    perror(name);
  }
}

ServerFolder::~ServerFolder() {
  std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
}

std::string ServerFolder::Make(const std::string &name) const {
  std::string path = path_ + "/" + name;
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    perror(path.c_str());
  }
  if (chown(path.c_str(), ServerUid(), ServerGid()) != 0) {
    perror(path.c_str());
  }
  return path;
}

//
// 'StartAs()' - Start argv as the user with exactly env as environment; output to files.
//

static pid_t StartAs(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                     uid_t uid, gid_t gid, const std::string &out, const std::string &err) {
  std::vector<char *> args, vars;
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  for (const std::string &var : env) {
    vars.push_back(const_cast<char *>(var.c_str()));
  }
  vars.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
      _exit(126);
    }
    // A process group of its own: the test stops it and whatever it started.
    setpgid(0, 0);
    if ((getegid() != gid && setgid(gid) != 0) || (geteuid() != uid && setuid(uid) != 0)) {
      _exit(126);
    }
    execve(args[0], args.data(), vars.data());
    _exit(127);
  }
  return pid;
}

// Waits for a process at most timeout_ms; its wait status, or -1 when it is still running.
static int WaitFor(pid_t pid, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return -1;
    }
    usleep(20000);
  }
}

CommandRun RunAs(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 uid_t uid, gid_t gid, int timeout_seconds) {
  char folder[] = "/tmp/quillmarsh-run-XXXXXX";
  CommandRun run;
  if (mkdtemp(folder) == nullptr) {
    run.err = "mkdtemp failed";
    return run;
  }
  std::string out = std::string(folder) + "/out", err = std::string(folder) + "/err";
  pid_t pid = StartAs(argv, env, uid, gid, out, err);
  int status = pid > 0 ? WaitFor(pid, timeout_seconds * 1000) : -1;
  if (pid > 0 && status == -1) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
    status = -1;
  }
  run.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadText(out);
  run.err = ReadText(err);
  std::string command = "rm -rf '" + std::string(folder) + "'";
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "could not remove %s\n", folder);
  }
  return run;
}

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
static int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

AppServer::AppServer(const ServerFolder &folder) : folder_(folder) {}

AppServer::~AppServer() {
  Stop();
}

std::string AppServer::Home() const {
  return folder_.path() + "/home";
}

std::string AppServer::TmpDir() const {
  return folder_.path() + "/tmp";
}

std::string AppServer::ControlSocket() const {
  return TmpDir() + "/quillmarsh" + std::to_string(ServerUid()) + ".sock";
}

std::string AppServer::Log() const {
  return ReadText(TmpDir() + "/server.log");
}

std::string AppServer::LogTail(size_t lines) const {
  std::string log = Log();
  size_t at = log.size();
  for (size_t n = 0; n <= lines && at != std::string::npos && at > 0; n++) {
    at = log.rfind('\n', at - 1);
  }
  std::string tail =
      "\n--- server log ---\n" + (at == std::string::npos || at == 0 ? log : log.substr(at + 1));
  // A sanitizer's report, or anything else the server said on its standard error.
  std::string err = ReadText(TmpDir() + "/server.err");
  if (!err.empty()) {
    tail += "\n--- server standard error ---\n" + err;
  }
  return tail;
}

std::vector<std::string> AppServer::Environment() const {
  std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + Home(),
                                  "TMPDIR=" + TmpDir(), "LANG=C"};
  // The sanitized build: the sanitizers' settings, and what PAPPL keeps to the end.
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char *value = getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
#ifdef QUILLMARSH_SANITIZED
  // Without the list of suppressions used, a command's standard error is what it printed.
  env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" + folder_.path() +
                "/pappl-leaks.supp");
#endif
  return env;
}

//
// 'CopyFile()' - Copy a file with the given mode; false when it cannot be read or written.
//

static bool CopyFile(const std::string &from, const std::string &to, mode_t mode) {
  Bytes bytes = ReadBytes(from);
  int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  bool ok = !bytes.empty() && fd >= 0 &&
            write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ok = fd >= 0 && close(fd) == 0 && ok;
  return ok && chmod(to.c_str(), mode) == 0;
}

std::string AppServer::Program() const {
  return folder_.path() + "/quillmarsh";
}

bool AppServer::Start(std::string &error) {
  folder_.Make("home");
  folder_.Make("tmp");
  // The server's user may not reach the build folder (a checkout under /root): it runs a
  // copy of the program, and reads a copy of the sanitizers' suppressions, in its own folder.
  if (!CopyFile(AppPath(), Program(), 0755) ||
      !CopyFile(std::string(QUILLMARSH_APP_TEST_DIR) + "/pappl-leaks.supp",
                folder_.path() + "/pappl-leaks.supp", 0644)) {
    error = "cannot copy the program into " + folder_.path();
    return false;
  }
  port_ = FreePort();
  // No listen option: the server's default, loopback only, is what every test runs.
  std::vector<std::string> argv = {
      Program(), "server",           "-o", "server-port=" + std::to_string(port_),
      "-o",      "file-devices=yes", "-o", "log-file=" + TmpDir() + "/server.log",
      "-o",      "log-level=debug"};
  for (const std::string &option : options_) {
    argv.insert(argv.end(), {"-o", option});
  }
  std::vector<std::string> env = Environment();
  env.insert(env.end(), server_env_.begin(), server_env_.end());
  pid_ = StartAs(argv, env, ServerUid(), ServerGid(), TmpDir() + "/server.out",
                 TmpDir() + "/server.err");
  if (pid_ <= 0) {
    error = "fork failed";
    return false;
  }

  // The server answers once a Get-Printers request of ours gets a response.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "the server ended at once: " + ReadText(TmpDir() + "/server.err") + LogTail();
      return false;
    }
    ipp_t *response = SendRequest(*this, "", ippNewRequest(IPP_OP_GET_PRINTERS));
    if (response != nullptr) {
      ippDelete(response);
      return true;
    }
    usleep(100000);
  }
  error = "the server did not answer within " + std::to_string(kStartSeconds) + " s" + LogTail();
  return false;
}

bool AppServer::Stop() {
  if (pid_ <= 0) {
    return true;
  }
  // Jobs still printing would keep PAPPL from stopping for up to a minute.
  ipp_t *printers = SendRequest(*this, "", ippNewRequest(IPP_OP_GET_PRINTERS));
  for (ipp_attribute_t *name = ippFindAttribute(printers, "printer-name", IPP_TAG_NAME);
       name != nullptr; name = ippFindNextAttribute(printers, "printer-name", IPP_TAG_NAME)) {
    ippDelete(SendRequestAs(*this, ControlClient(*this), ippGetString(name, 0, nullptr),
                            ippNewRequest(IPP_OP_CANCEL_JOBS)));
  }
  ippDelete(printers);

  kill(pid_, SIGTERM);
  int status = WaitFor(pid_, kStopSeconds * 1000);
  bool stopped = status != -1;
  if (!stopped) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return stopped;
}

bool AppServer::WaitForExit(int timeout_seconds) {
  if (pid_ <= 0) {
    return true;
  }
  int status = WaitFor(pid_, timeout_seconds * 1000);
  if (status == -1) {
    return false;
  }
  exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  return true;
}

CommandRun AppServer::Command(const std::vector<std::string> &args) const {
  std::vector<std::string> argv = {Program()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunAs(argv, Environment(), ServerUid(), ServerGid());
}

bool AppServer::AddPrinter(const std::string &name, const std::string &device_uri,
                           std::string &error) {
  CommandRun run = Command({"add", "-d", name, "-v", device_uri, "-m", "vorne24"});
  if (run.status != 0) {
    error = "quillmarsh add: " + run.err + run.out + LogTail();
    return false;
  }
  return true;
}

std::string AppServer::PrinterUri(const std::string &printer) const {
  return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/" + printer;
}

std::string AppServer::WebUrl(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool JobStatus::HasReason(const std::string &reason) const {
  for (const std::string &r : reasons) {
    if (r == reason) {
      return true;
    }
  }
  return false;
}

//
// 'SendRequest()' - Send a request, with the standard operation attributes, and read the answer.
//

// Connects as the client: over TLS when it asks for it, with its credentials when it has them.
static http_t *Connect(const AppServer &server, const Client &client) {
  http_t *http =
      httpConnect2(client.host.c_str(), server.port(), nullptr, AF_UNSPEC,
                   client.tls ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
  if (http != nullptr && !client.password.empty()) {
    std::string pair = client.user + ":" + client.password;
    char encoded[512];
    httpEncode64_2(encoded, sizeof encoded, pair.c_str(), static_cast<int>(pair.size()));
    httpSetAuthString(http, "Basic", encoded);
  }
  return http;
}

static ipp_t *Send(const AppServer &server, const Client &client, const std::string &printer,
                   ipp_t *request, const Bytes *document) {
  http_t *http = Connect(server, client);
  if (http == nullptr) {
    ippDelete(request);
    return nullptr;
  }
  std::string resource = printer.empty() ? "/ipp/system" : "/ipp/print/" + printer;
  std::string host = client.host[0] == '/' ? "localhost" : client.host;
  std::string uri = std::string(client.tls ? "ipps://" : "ipp://") + host + ":" +
                    std::to_string(server.port()) + resource;
  // The operation attributes go first, in the order IPP wants them.
  ipp_t *ordered = ippNewRequest(ippGetOperation(request));
  ippAddString(ordered, IPP_TAG_OPERATION, IPP_TAG_URI,
               printer.empty() ? "system-uri" : "printer-uri", nullptr, uri.c_str());
  ippAddString(ordered, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               client.user.empty() ? cupsUser() : client.user.c_str());
  ippCopyAttributes(ordered, request, 0, nullptr, nullptr);
  ippDelete(request);

  ipp_t *response = nullptr;
  if (document == nullptr) {
    response = cupsDoRequest(http, ordered, resource.c_str());
  } else {
    // The length is that of the whole message: the request, then the document.
    size_t length = ippLength(ordered) + document->size();
    if (cupsSendRequest(http, ordered, resource.c_str(), length) == HTTP_STATUS_CONTINUE &&
        cupsWriteRequestData(http, reinterpret_cast<const char *>(document->data()),
                             document->size()) == HTTP_STATUS_CONTINUE) {
      response = cupsGetResponse(http, resource.c_str());
    }
    ippDelete(ordered);
  }
  httpClose(http);
  return response;
}

ipp_t *SendRequest(const AppServer &server, const std::string &printer, ipp_t *request) {
  return Send(server, Client(), printer, request, nullptr);
}

Client ControlClient(const AppServer &server) {
  Client client;
  client.host = server.ControlSocket();
  return client;
}

ipp_t *SendRequestAs(const AppServer &server, const Client &client, const std::string &printer,
                     ipp_t *request) {
  return Send(server, client, printer, request, nullptr);
}

ipp_t *GetPrinterAttributes(const AppServer &server, const std::string &printer) {
  ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "all");
  return SendRequest(server, printer, request);
}

bool PrinterState::Has(const std::string &reason) const {
  return std::find(reasons.begin(), reasons.end(), reason) != reasons.end();
}

PrinterState GetPrinterState(const AppServer &server, const std::string &printer) {
  ipp_t *response = GetPrinterAttributes(server, printer);
  PrinterState state;
  if (const char *message = ippGetString(
          ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT), 0, nullptr)) {
    state.message = message;
  }
  ipp_attribute_t *reasons = ippFindAttribute(response, "printer-state-reasons", IPP_TAG_KEYWORD);
  for (int i = 0; i < ippGetCount(reasons); i++) {
    state.reasons.push_back(ippGetString(reasons, i, nullptr));
  }
  ippDelete(response);
  return state;
}

bool WaitForStateReason(const AppServer &server, const std::string &printer,
                        const std::string &reason, bool shown, int timeout_seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (GetPrinterState(server, printer).Has(reason) == shown) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

bool SetCalibration(const AppServer &server, const std::string &printer, int left, int top) {
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  ipp_t *media = ippNew();
  ipp_t *size = ippNew();
  ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", 21000);
  ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", 29700);
  ippAddCollection(media, IPP_TAG_ZERO, "media-size", size);
  ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr,
               "iso_a4_210x297mm");
  ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-source", nullptr, "main");
  ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-type", nullptr, "stationery");
  ippAddInteger(media, IPP_TAG_ZERO, IPP_TAG_INTEGER, "media-left-offset", left);
  ippAddInteger(media, IPP_TAG_ZERO, IPP_TAG_INTEGER, "media-top-offset", top);
  ippAddCollection(request, IPP_TAG_PRINTER, "media-col-ready", media);
  ippDelete(size);
  ippDelete(media);
  // Calibration is an administrator's: the server's own user over the control socket.
  ipp_t *response = SendRequestAs(server, ControlClient(server), printer, request);
  bool ok = response != nullptr && ippGetStatusCode(response) == IPP_STATUS_OK;
  ippDelete(response);
  return ok;
}

int WebGet(const AppServer &server, const std::string &path, std::string *body) {
  return WebRequest(server, Client(), path, nullptr, body);
}

int WebRequest(const AppServer &server, const Client &client, const std::string &path,
               const std::string *form, std::string *body) {
  http_t *http = Connect(server, client);
  if (http == nullptr) {
    return 0;
  }
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_HOST, client.host[0] == '/' ? "localhost" : client.host.c_str());
  if (const char *credentials = httpGetAuthString(http)) {
    httpSetField(http, HTTP_FIELD_AUTHORIZATION, credentials);
  }
  if (form != nullptr) {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form->size());
  }
  http_status_t status = HTTP_STATUS_ERROR;
  bool sent = form == nullptr ? httpGet(http, path.c_str()) == 0
                              : httpPost(http, path.c_str()) == 0 &&
                                    httpWrite2(http, form->data(), form->size()) ==
                                        static_cast<ssize_t>(form->size());
  if (sent) {
    while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
    }
    char buffer[8192];
    ssize_t n;
    while ((n = httpRead2(http, buffer, sizeof buffer)) > 0) {
      if (body != nullptr) {
        body->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  httpClose(http);
  return static_cast<int>(status);
}

std::string SessionToken(const std::string &page) {
  const std::string marker = "name=\"session\" value=\"";
  size_t at = page.find(marker);
  if (at == std::string::npos) {
    return "";
  }
  at += marker.size();
  return page.substr(at, page.find('"', at) - at);
}

int PrintJob(const AppServer &server, const std::string &printer, const Bytes &document,
             const std::string &format, const JobAttributes &attributes, std::string *error) {
  ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
               format.c_str());
  if (attributes) {
    attributes(request);
  }
  ipp_t *response = Send(server, Client(), printer, request, &document);
  int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
  if (error != nullptr) {
    *error = response == nullptr ? "no response"
                                 : std::string(ippErrorString(ippGetStatusCode(response))) + ": " +
                                       cupsLastErrorString();
  }
  ippDelete(response);
  return id;
}

JobStatus GetJob(const AppServer &server, const std::string &printer, int job_id) {
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
  ipp_t *response = SendRequest(server, printer, request);
  JobStatus job;
  job.id = job_id;
  job.state = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
  if (const char *message =
          ippGetString(ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr)) {
    job.message = message;
  }
  ipp_attribute_t *reasons = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD);
  for (int i = 0; i < ippGetCount(reasons); i++) {
    job.reasons.push_back(ippGetString(reasons, i, nullptr));
  }
  ippDelete(response);
  return job;
}

JobStatus WaitForJobState(const AppServer &server, const std::string &printer, int job_id,
                          int state, int timeout_seconds, const JobObserver &observe) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    JobStatus job = GetJob(server, printer, job_id);
    if (observe) {
      observe(job);
    }
    if (job.state == state || job.state >= IPP_JSTATE_CANCELED ||
        std::chrono::steady_clock::now() >= deadline) {
      return job;
    }
    usleep(kPollMs * 1000);
  }
}

JobStatus WaitForJob(const AppServer &server, const std::string &printer, int job_id,
                     int timeout_seconds) {
  return WaitForJobState(server, printer, job_id, IPP_JSTATE_COMPLETED, timeout_seconds);
}

JobStatus WatchJob(const AppServer &server, const std::string &printer, int job_id,
                   const JobObserver &observe) {
  return WaitForJobState(server, printer, job_id, IPP_JSTATE_COMPLETED, 120, observe);
}

bool CancelJob(const AppServer &server, const std::string &printer, int job_id,
               std::string *error) {
  ipp_t *request = ippNewRequest(IPP_OP_CANCEL_JOB);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
  ipp_t *response = SendRequest(server, printer, request);
  bool ok = response != nullptr && ippGetStatusCode(response) == IPP_STATUS_OK;
  if (error != nullptr) {
    *error = response == nullptr ? "no response" : ippErrorString(ippGetStatusCode(response));
  }
  ippDelete(response);
  return ok;
}

void ExpectCanceledPage(const Bytes &printed, const Bytes &whole) {
  ParsedStream parsed = ParsePrinterStream(printed.data(), printed.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_LT(printed.size(), whole.size());
  ASSERT_FALSE(parsed.commands.empty());
  EXPECT_EQ(parsed.commands.back().kind, CommandKind::kFormFeed);
  EXPECT_TRUE(std::equal(printed.begin(), printed.end() - 1, whole.begin()))
      << "the canceled job's bands are the first bands of the page";
}

// --- Documents made at test time ---

Bytes MidGreyRaster(unsigned height) {
  TestPage page = GreyPage(1440, height, 128, 180);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

Bytes BlackBarRaster() {
  TestPage page = GreyPage(720, 240, 255, 180);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  FillRect(page, 20, 40, 600, 30, 0);
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

Bytes HeavyPdf() {
  // Objects 1 to 4: catalog, pages, page, its contents; then the forms, each drawing the one
  // before ten times, the first filling the page black then white ten times.
  constexpr int kForms = 8, kFirstForm = 5;
  auto draws = [](const std::string &what) {
    std::string ten;
    for (int i = 0; i < 10; i++) {
      ten += what;
    }
    return ten;
  };
  auto form = [](int number) { return "<</XObject<</F " + std::to_string(number) + " 0 R>>>>"; };
  auto stream = [](const std::string &dictionary, const std::string &content) {
    return "<<" + dictionary + "/Length " + std::to_string(content.size()) + ">>\nstream\n" +
           content + "\nendstream";
  };
  std::vector<std::string> objects = {"<</Type/Catalog/Pages 2 0 R>>",
                                      "<</Type/Pages/Kids[3 0 R]/Count 1>>",
                                      "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Resources" +
                                          form(kFirstForm + kForms - 1) + "/Contents 4 0 R>>",
                                      stream("", "/F Do\n")};
  for (int level = 0; level < kForms; level++) {
    std::string dictionary = "/Type/XObject/Subtype/Form/BBox[0 0 612 792]";
    if (level == 0) {
      objects.push_back(stream(dictionary, draws("0 g 0 0 612 792 re f 1 g 0 0 612 792 re f\n")));
    } else {
      objects.push_back(
          stream(dictionary + "/Resources" + form(kFirstForm + level - 1), draws("/F Do\n")));
    }
  }
  std::string pdf = "%PDF-1.4\n", xref;
  int number = 0;
  for (const std::string &object : objects) {
    char offset[32];
    snprintf(offset, sizeof offset, "%010zu 00000 n \n", pdf.size());
    xref += offset;
    pdf += std::to_string(++number) + " 0 obj\n" + object + "\nendobj\n";
  }
  const std::string count = std::to_string(objects.size() + 1);
  size_t start = pdf.size();
  pdf += "xref\n0 " + count + "\n0000000000 65535 f \n" + xref + "trailer\n<</Size " + count +
         "/Root 1 0 R>>\nstartxref\n" + std::to_string(start) + "\n%%EOF\n";
  return Bytes(pdf.begin(), pdf.end());
}

Bytes MakeDocument(const ServerFolder &folder, const std::string &device, const std::string &name,
                   const std::vector<std::string> &programs) {
  std::string path = folder.path() + "/" + name;
  std::vector<std::string> argv = {"/usr/bin/gs",  "-q",
                                   "-dSAFER",      "-dBATCH",
                                   "-dNOPAUSE",    "-sDEVICE=" + device,
                                   "-r72",         "-sPAPERSIZE=letter",
                                   "-dFIXEDMEDIA", "-sOutputFile=" + path};
  for (const std::string &program : programs) {
    argv.push_back(std::string(QUILLMARSH_APP_TEST_DIR) + "/documents/" + program);
  }
  CommandRun made = RunAs(argv, {"PATH=/usr/bin:/bin"}, geteuid(), getegid());
  EXPECT_EQ(made.status, 0) << made.err;
  return ReadBytes(path);
}

//
// Restarts: a server killed, and what it left behind.
//

bool KillServer(AppServer &server) {
  if (!server.running()) {
    return false;
  }
  kill(server.pid(), SIGKILL);
  return server.WaitForExit(10);
}

std::vector<pid_t> ProcessesLeftBy(const AppServer &server) {
  std::vector<pid_t> left;
  std::string variable = "TMPDIR=" + server.TmpDir();
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return left;
  }
  while (const struct dirent *entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0 || pid == server.pid() || pid == getpid()) {
      continue;
    }
    // The environment: variables ended by NUL bytes.
    std::string environment = ReadText(std::string("/proc/") + entry->d_name + "/environ");
    size_t at = 0;
    while (at < environment.size()) {
      size_t end = environment.find('\0', at);
      end = end == std::string::npos ? environment.size() : end;
      if (environment.compare(at, end - at, variable) == 0) {
        left.push_back(pid);
        break;
      }
      at = end + 1;
    }
  }
  closedir(proc);
  return left;
}

// ---- Administrators checked by PAM ----

constexpr const char *kPamDir = "/etc/pam.d";

TestPamService::TestPamService() : name_("quillmarsh-test-" + std::to_string(getpid())) {
  std::string path = std::string(kPamDir) + "/" + name_;
  std::ofstream out(path);
  out << "auth sufficient pam_permit.so\naccount sufficient pam_permit.so\n";
  out.close();
  installed_ = static_cast<bool>(out);
}

TestPamService::~TestPamService() {
  std::string path = std::string(kPamDir) + "/" + name_;
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    perror(path.c_str());
  }
}

// ---- Another program's server, started as ours is (the benchmark's LPrint) ----

pid_t StartProgramAs(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                     uid_t uid, gid_t gid, const std::string &out, const std::string &err) {
  return StartAs(argv, env, uid, gid, out, err);
}

int WaitForProcess(pid_t pid, int timeout_ms) {
  return WaitFor(pid, timeout_ms);
}

int FreeLoopbackPort() {
  return FreePort();
}
