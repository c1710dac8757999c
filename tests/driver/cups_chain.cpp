//
// The real CUPS chain for the driver tests: commands, documents, cupsfilter and a private
// cupsd.
//

#include "cups_chain.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <cups/cups.h>

namespace fs = std::filesystem;

extern char **environ;

std::string BuiltFilter() {
  return QUILLMARSH_FILTER_PATH;
}
std::string BuiltPpd() {
  return QUILLMARSH_PPD_PATH;
}
std::string BuildFolder() {
  return QUILLMARSH_BUILD_DIR;
}

//
// Scratch folders and files.
//

ScratchFolder::ScratchFolder() {
  // Under /tmp rather than $TMPDIR: the folder must be reachable by user lp.
  char pattern[] = "/tmp/quillmarsh-driver.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("cannot create a scratch folder");
  }
  path_ = pattern;
  chmod(path_.c_str(), 0755);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ScratchFolder::Make(const std::string &name) const {
  std::string path = path_ + "/" + name;
  fs::create_directories(path);
  chmod(path.c_str(), 0755);
  return path;
}

std::string ScratchFolder::Write(const std::string &name, const std::string &text) const {
  std::string path = path_ + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), 0644);
  return path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

//
// Commands.
//

// The program's path: found on PATH or, for the administration tools, in the sbin folders.
static std::string FindProgram(const std::string &name) {
  if (name.find('/') != std::string::npos) {
    return name;
  }
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = folder + "/" + name;
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return name;
}

// An unlinked temporary file for a child's output, read back once the child has ended.
static int OutputFile() {
  char pattern[] = "/tmp/quillmarsh-output.XXXXXX";
  int fd = mkstemp(pattern);
  if (fd >= 0) {
    unlink(pattern);
  }
  return fd;
}

static std::string ReadBack(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

// The environment with the settings added, replacing any of the same name.
static std::vector<std::string> ChildEnvironment(const std::vector<std::string> &settings) {
  std::vector<std::string> env;
  for (char **entry = environ; *entry != nullptr; entry++) {
    std::string text = *entry;
    bool replaced = false;
    for (const std::string &setting : settings) {
      replaced |= text.compare(0, setting.find('=') + 1, setting, 0, setting.find('=') + 1) == 0;
    }
    if (!replaced) {
      env.push_back(text);
    }
  }
  env.insert(env.end(), settings.begin(), settings.end());
  return env;
}

static pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   int out_fd, int err_fd, bool die_with_parent) {
  std::string program = FindProgram(argv[0]);
  std::vector<char *> args, envp;
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  for (const std::string &setting : env) {
    envp.push_back(const_cast<char *>(setting.c_str()));
  }
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    if (die_with_parent) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
    setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    execve(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

CommandResult RunCommand(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         int timeout_seconds) {
  CommandResult result;
  int out_fd = OutputFile(), err_fd = OutputFile();
  pid_t pid = Spawn(argv, ChildEnvironment(env), out_fd, err_fd, true);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int wait_status = 0;
  while (waitpid(pid, &wait_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &wait_status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!result.timed_out && WIFEXITED(wait_status)) {
    result.status = WEXITSTATUS(wait_status);
  }
  result.out = ReadBack(out_fd);
  result.err = ReadBack(err_fd);
  return result;
}

std::string MakePdf(const ScratchFolder &folder, const std::string &name,
                    const std::string &postscript) {
  std::string ps = folder.Write(name + ".ps", postscript);
  std::string pdf = folder.path() + "/" + name + ".pdf";
  CommandResult made = RunCommand({"ps2pdf", ps, pdf});
  if (made.status != 0) {
    throw std::runtime_error("ps2pdf failed: " + made.err);
  }
  chmod(pdf.c_str(), 0644);
  return pdf;
}

std::string RectanglePostScript(double grey) {
  return "%!PS\n<< /PageSize [612 792] >> setpagedevice\n" + std::to_string(grey) +
         " setgray 72 648 144 72 rectfill\nshowpage\n";
}

//
// The CUPS chain.
//

std::string MakeServerBin(const ScratchFolder &folder, const std::string &filter,
                          bool copy_filter) {
  std::string server_bin = folder.Make("serverbin");
  std::string filters = folder.Make("serverbin/filter");
  for (const fs::directory_entry &entry : fs::directory_iterator(QUILLMARSH_CUPS_SERVERBIN)) {
    if (entry.path().filename() != "filter") {
      fs::create_symlink(entry.path(), server_bin + "/" + entry.path().filename().string());
    }
  }
  // The system's filters, but for an installed copy of ours: the chain must run the one built.
  for (const fs::directory_entry &entry :
       fs::directory_iterator(std::string(QUILLMARSH_CUPS_SERVERBIN) + "/filter")) {
    if (entry.path().filename() != "rastertoquillmarsh") {
      fs::create_symlink(entry.path(), filters + "/" + entry.path().filename().string());
    }
  }
  std::string ours = filters + "/rastertoquillmarsh";
  if (copy_filter) {
    fs::copy_file(filter, ours);
    chmod(ours.c_str(), 0755);
  } else {
    fs::create_symlink(filter, ours);
  }
  return server_bin;
}

CommandResult RunCupsfilter(const ScratchFolder &folder, const std::string &pdf,
                            const std::vector<std::string> &options) {
  std::string conf = folder.path() + "/cupsfilter-files.conf";
  if (!fs::exists(conf)) {
    folder.Write("cupsfilter-files.conf",
                 "ServerBin " + MakeServerBin(folder, BuiltFilter(), false) + "\n");
  }
  std::vector<std::string> argv = {"cupsfilter", "-c", conf, "-p", BuiltPpd()};
  argv.insert(argv.end(), {"-m", "printer/foo", "-e"});
  for (const std::string &option : options) {
    argv.push_back("-o");
    argv.push_back(option);
  }
  argv.push_back(pdf);
  return RunCommand(argv);
}

static const char kCupsdSettings[] =
    "LogLevel debug\n"
    "Browsing No\n"
    "BrowseLocalProtocols none\n"
    "DefaultEncryption Never\n"
    "WebInterface No\n"
    "ErrorPolicy abort-job\n"
    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
    "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";

PrivateScheduler::PrivateScheduler(const Setup &setup) {
  const std::string root = folder_.path();
  socket_ = root + "/cupsd.sock";
  for (const char *name : {"conf", "spool", "state", "cache", "log", "tmp", "home"}) {
    folder_.Make(name);
  }
  chmod((root + "/tmp").c_str(), 01777);
  std::string server_bin = MakeServerBin(
      folder_, setup.filter.empty() ? BuiltFilter() : setup.filter, setup.copy_filter);

  // The system's data files, with a model folder of our own when one is given.
  std::string data_dir = QUILLMARSH_CUPS_DATADIR;
  if (!setup.model_dir.empty()) {
    data_dir = folder_.Make("data");
    for (const fs::directory_entry &entry : fs::directory_iterator(QUILLMARSH_CUPS_DATADIR)) {
      if (entry.path().filename() != "model") {
        fs::create_symlink(entry.path(), data_dir + "/" + entry.path().filename().string());
      }
    }
    fs::create_symlink(setup.model_dir, data_dir + "/model");
  }

  // No authentication, no network, no sharing; debug logging so that the error log holds
  // every message of the filters.
  folder_.Write("conf/cupsd.conf", "Listen " + socket_ + "\n" + kCupsdSettings);
  const std::pair<const char *, std::string> files[] = {
      {"ServerRoot", root + "/conf"},
      {"RequestRoot", root + "/spool"},
      {"StateDir", root + "/state"},
      {"CacheDir", root + "/cache"},
      {"TempDir", root + "/tmp"},
      {"ServerBin", server_bin},
      {"DataDir", data_dir},
      {"AccessLog", root + "/log/access_log"},
      {"ErrorLog", root + "/log/error_log"},
      {"PageLog", root + "/log/page_log"},
      {"Printcap", root + "/state/printcap"},
      {"FileDevice", "Yes"},
  };
  std::string files_conf;
  for (const auto &[directive, value] : files) {
    files_conf += std::string(directive) + " " + value + "\n";
  }
  folder_.Write("conf/cups-files.conf", files_conf);

  int out_fd = open((root + "/cupsd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_ =
      Spawn({"cupsd", "-f", "-c", root + "/conf/cupsd.conf", "-s", root + "/conf/cups-files.conf"},
            ChildEnvironment({}), out_fd, out_fd, true);
  close(out_fd);

  // Ready when the socket takes a connection; failed when cupsd has exited.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (true) {
    int wait_status = 0;
    if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
      pid_ = -1;
      startup_error_ = "cupsd exited: " + ReadFile(root + "/cupsd.out") + LogTail();
      return;
    }
    http_t *http = httpConnect2(socket_.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1,
                                1000, nullptr);
    if (http != nullptr) {
      httpClose(http);
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      startup_error_ = "cupsd did not answer on " + socket_ + "\n" + LogTail();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

PrivateScheduler::~PrivateScheduler() {
  if (pid_ <= 0) {
    return;
  }
  // cupsd stops its jobs' filters on SIGTERM; SIGKILL only when it does not end in time.
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int wait_status = 0;
  while (waitpid(pid_, &wait_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &wait_status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

CommandResult PrivateScheduler::Client(const std::vector<std::string> &argv) const {
  // HOME keeps the caller's own lpoptions and client.conf out of the tests.
  return RunCommand(argv, {"CUPS_SERVER=" + socket_, "HOME=" + folder_.path() + "/home"}, 60);
}

int PrivateScheduler::Submit(const std::vector<std::string> &arguments, std::string *error) const {
  std::vector<std::string> argv = {"lp"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  CommandResult lp = Client(argv);
  size_t dash = lp.out.find("request id is ");
  dash = dash == std::string::npos ? dash : lp.out.find('-', dash + 14);
  if (lp.status != 0 || dash == std::string::npos) {
    *error = "lp failed (" + std::to_string(lp.status) + "): " + lp.out + lp.err + LogTail();
    return 0;
  }
  // The id follows the last dash of "request id is QUEUE-ID".
  size_t end = lp.out.find(' ', dash);
  size_t last_dash = lp.out.rfind('-', end);
  return atoi(lp.out.c_str() + last_dash + 1);
}

int PrivateScheduler::JobState(int job_id) const {
  http_t *http =
      httpConnect2(socket_.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
  if (http == nullptr) {
    return 0;
  }
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  std::string uri = "ipp://localhost/jobs/" + std::to_string(job_id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ipp_t *response = cupsDoRequest(http, request, "/");
  int state = 0;
  if (ipp_attribute_t *attr = ippFindAttribute(response, "job-state", IPP_TAG_ENUM)) {
    state = ippGetInteger(attr, 0);
  }
  ippDelete(response);
  httpClose(http);
  return state;
}

int PrivateScheduler::WaitForJob(int job_id, int timeout_seconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int state = JobState(job_id);
    if (state >= IPP_JSTATE_CANCELED) {
      return state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

std::string PrivateScheduler::Log() const {
  return ReadFile(folder_.path() + "/log/error_log");
}

std::string PrivateScheduler::LogTail(int lines) const {
  std::string log = Log();
  size_t start = log.size();
  for (int i = 0; i <= lines && start > 0; i++) {
    start = log.rfind('\n', start - 1);
    if (start == std::string::npos) {
      start = 0;
      break;
    }
  }
  return "\n--- end of the scheduler's error log ---\n" + log.substr(start);
}
