//
// Who may do what on a running server: clients on the network and a second local account
// administer nothing and cannot touch other users' jobs or write files through a file:
// device; the owner over the control socket and a PAM-authenticated member of the admin group
// (from the network, over TLS) still administer; printer names are checked on the command line
// too; the server listens on loopback unless told otherwise.
//
// The network client is this machine's own non-loopback address: a request to it comes from
// that address, not from loopback.
//

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "app_server.h"
#include "test_support.h"

namespace {

constexpr const char *kPrinter = "vorne";

// This machine's first non-loopback IPv4 address, empty when it has none.
std::string OwnAddress() {
  struct ifaddrs *list = nullptr;
  std::string found;
  if (getifaddrs(&list) != 0) {
    return found;
  }
  for (struct ifaddrs *i = list; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    const auto *in = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
      char text[INET_ADDRSTRLEN];
      found = inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
  }
  freeifaddrs(list);
  return found;
}

// A client on the network: this machine's own address, as user.
Client NetworkClient(const std::string &user = "mallory") {
  Client client;
  client.host = OwnAddress();
  client.user = user;
  return client;
}

// The IPP status of a request's answer, or the HTTP refusal's as libcups maps it.
int StatusOf(ipp_t *response) {
  int status = response != nullptr ? ippGetStatusCode(response) : cupsLastError();
  ippDelete(response);
  return status;
}

ipp_t *CancelRequest(int job) {
  ipp_t *request = ippNewRequest(IPP_OP_CANCEL_JOB);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
  return request;
}

// Create-Printer of a vorne24 printer on the device.
ipp_t *CreatePrinter(const std::string &name, const std::string &device_uri) {
  ipp_t *request = ippNewRequest(IPP_OP_CREATE_PRINTER);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "printer-service-type", nullptr,
               "print");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "smi55357-device-uri", nullptr,
               device_uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "smi55357-driver", nullptr, "vorne24");
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, name.c_str());
  return request;
}

// Delete-Printer of the printer with the id.
ipp_t *DeletePrinter(int id) {
  ipp_t *request = ippNewRequest(IPP_OP_DELETE_PRINTER);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", id);
  return request;
}

// The names of the server's printers, one a line.
std::string PrinterNames(const AppServer &server) {
  return server.Command({"printers"}).out;
}

// The printer-id of the first printer made on a server without saved state.
constexpr int kFirstPrinterId = 1;

int PrinterState(const AppServer &server) {
  ipp_t *attrs = GetPrinterAttributes(server, kPrinter);
  int state = ippGetInteger(ippFindAttribute(attrs, "printer-state", IPP_TAG_ENUM), 0);
  ippDelete(attrs);
  return state;
}

bool IsAccepting(const AppServer &server) {
  ipp_t *attrs = GetPrinterAttributes(server, kPrinter);
  bool accepting =
      ippGetBoolean(ippFindAttribute(attrs, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN), 0);
  ippDelete(attrs);
  return accepting;
}

// A file the server's user could write to, with known contents.
std::string ExistingFile(const ServerFolder &folder) {
  std::string path = folder.Make("victim") + "/file";
  FILE *file = fopen(path.c_str(), "w");
  fputs("keep me\n", file);
  fclose(file);
  if (chown(path.c_str(), ServerUid(), ServerGid()) != 0) {
    perror(path.c_str());
  }
  return path;
}

// A small page to print.
Bytes SmallRaster() {
  TestPage page = GreyPage(180, 90, 255, 180);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

// The web pages of an administrator: each shows its form (or the log) to the owner.
struct AdminPage {
  const char *path;
  const char *shown;  // what the owner sees on it
};

TEST(Access, ClientsOnTheNetworkAdministerNothing) {
  ASSERT_FALSE(OwnAddress().empty()) << "this machine has no address but loopback";
  ServerFolder folder;
  AppServer server(folder);
  server.AddOptions({"listen=any"});
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;
  std::string victim = ExistingFile(folder);
  const Client network = NetworkClient();
  const Client owner = ControlClient(server);

  // A line of the log, which the owner reads on /logfile.txt.
  std::string log = server.Log();
  std::string logLine = log.substr(0, log.find('\n'));
  ASSERT_FALSE(logLine.empty());
  const AdminPage pages[] = {
      {"/addprinter", "<form"},          {"/config", "<form"},       {"/logs", "<form"},
      {"/logfile.txt", logLine.c_str()}, {"/vorne/config", "<form"}, {"/vorne/delete", "<form"},
      {"/vorne/printing", "<form"},      {"/vorne/media", "<form"},  {"/vorne/cancelall", "<form"},
      {"/vorne/jobs", "Jobs"},
  };
  for (const AdminPage &page : pages) {
    std::string seen, shown;
    int shownStatus = WebRequest(server, owner, page.path, nullptr, &shown);
    EXPECT_TRUE(shownStatus == HTTP_STATUS_OK || shownStatus == HTTP_STATUS_PARTIAL_CONTENT)
        << page.path << ": " << shownStatus;
    EXPECT_NE(shown.find(page.shown), std::string::npos) << page.path << ": " << shown;
    int status = WebRequest(server, network, page.path, nullptr, &seen);
    EXPECT_EQ(status, HTTP_STATUS_FORBIDDEN) << page.path;
    EXPECT_NE(seen.find("Administrators only"), std::string::npos) << page.path << ": " << seen;
    EXPECT_EQ(seen.find("<form"), std::string::npos) << page.path << ": " << seen;
    EXPECT_EQ(seen.find(logLine), std::string::npos) << page.path;
  }

  // The printer's page shows anyone a form and its session token; posted with it, Add
  // Printer (on a file: device naming an existing file) and the page's own pause change
  // nothing.
  std::string home;
  ASSERT_EQ(WebRequest(server, network, "/vorne/", nullptr, &home), HTTP_STATUS_OK);
  std::string token = SessionToken(home);
  ASSERT_FALSE(token.empty()) << home;
  const std::string forms[][2] = {
      {"/addprinter", "session=" + token +
                          "&printer_name=evil&driver_name=vorne24&device_uri=file%3A%2F%2F" +
                          victim},
      {"/vorne/", "session=" + token + "&action=pause-printer"},
      {"/vorne/delete", "session=" + token},
  };
  for (const auto &form : forms) {
    WebRequest(server, network, form[0], &form[1], nullptr);
  }
  EXPECT_EQ(PrinterNames(server), "vorne\n");
  EXPECT_EQ(PrinterState(server), IPP_PSTATE_IDLE);

  // Over IPP: a file: printer, Disable-Printer, and another user's job.
  EXPECT_EQ(StatusOf(SendRequestAs(server, network, "", CreatePrinter("evil", "file://" + victim))),
            IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(
      StatusOf(SendRequestAs(server, network, kPrinter, ippNewRequest(IPP_OP_DISABLE_PRINTER))),
      IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_TRUE(IsAccepting(server));
  int job = PrintJob(
      server, kPrinter, SmallRaster(), "image/pwg-raster",
      [](ipp_t *request) {
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr,
                     "indefinite");
      },
      &error);
  ASSERT_NE(job, 0) << error;
  EXPECT_EQ(StatusOf(SendRequestAs(server, network, kPrinter, CancelRequest(job))),
            IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(GetJob(server, kPrinter, job).state, IPP_JSTATE_HELD);
  EXPECT_EQ(ReadText(victim), "keep me\n");

  // The job's owner cancels it from anywhere; the owner disables the printer.
  EXPECT_EQ(
      StatusOf(SendRequestAs(server, NetworkClient(cupsUser()), kPrinter, CancelRequest(job))),
      IPP_STATUS_OK);
  EXPECT_EQ(GetJob(server, kPrinter, job).state, IPP_JSTATE_CANCELED);
  EXPECT_EQ(StatusOf(SendRequestAs(server, owner, kPrinter, ippNewRequest(IPP_OP_DISABLE_PRINTER))),
            IPP_STATUS_OK);
  EXPECT_FALSE(IsAccepting(server));
  // The owner's own token pauses the printer from its page: the posts above were refused for
  // who sent them.
  home.clear();
  ASSERT_EQ(WebRequest(server, owner, "/vorne/", nullptr, &home), HTTP_STATUS_OK);
  const std::string pause = "session=" + SessionToken(home) + "&action=pause-printer";
  WebRequest(server, owner, "/vorne/", &pause, nullptr);
  EXPECT_EQ(PrinterState(server), IPP_PSTATE_STOPPED);
}

// Runs request in a child process as the user: the IPP status it got.
int StatusAsUser(const char *user, const std::function<int()> &request) {
  const struct passwd *account = getpwnam(user);
  if (account == nullptr) {
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0) {
      _exit(255);
    }
    int status = request();
    // The status classes in one byte: 0 ok, 1 forbidden, 2 not authorized, 3 anything else.
    _exit(status == IPP_STATUS_OK                        ? 0
          : status == IPP_STATUS_ERROR_FORBIDDEN         ? 1
          : status == IPP_STATUS_ERROR_NOT_AUTHENTICATED ? 2
                                                         : 3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) >= 4) {
    ADD_FAILURE() << "the child as " << user << " ended with status " << status;
  }
  const int kStatuses[] = {IPP_STATUS_OK, IPP_STATUS_ERROR_FORBIDDEN,
                           IPP_STATUS_ERROR_NOT_AUTHENTICATED, -1};
  return WIFEXITED(status) && WEXITSTATUS(status) < 4 ? kStatuses[WEXITSTATUS(status)] : -1;
}

TEST(Access, ASecondLocalAccountIsJustAUser) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;
  const int id = kFirstPrinterId;

  // The control socket: the server's user's alone.
  struct stat info;
  ASSERT_EQ(stat(server.ControlSocket().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, ServerUid());

  // daemon over loopback TCP, and on the control socket, which it cannot open.
  const char *kDevice = "socket://127.0.0.1:9";
  EXPECT_EQ(
      StatusAsUser("daemon",
                   [&] { return StatusOf(SendRequest(server, "", CreatePrinter("b", kDevice))); }),
      IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(
      StatusAsUser("daemon", [&] { return StatusOf(SendRequest(server, "", DeletePrinter(id))); }),
      IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(StatusAsUser("daemon",
                         [&] {
                           return StatusOf(
                               SendRequestAs(server, ControlClient(server), "", DeletePrinter(id)));
                         }),
            -1);
  EXPECT_EQ(PrinterNames(server), "vorne\n");

  // The same requests from the server's owner (root here) over the control socket.
  EXPECT_EQ(StatusOf(SendRequestAs(server, ControlClient(server), "", CreatePrinter("b", kDevice))),
            IPP_STATUS_OK)
      << server.LogTail(15);
  EXPECT_EQ(StatusOf(SendRequestAs(server, ControlClient(server), "", DeletePrinter(id))),
            IPP_STATUS_OK);
  EXPECT_EQ(PrinterNames(server), "b\n");
}

TEST(Access, TheOwnerAdministersOverTheControlSocketWithinTheServersLimits) {
  ServerFolder folder;
  std::string victim = ExistingFile(folder);
  AppServer server(folder);
  server.AddOptions({"file-devices=no"});
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;

  // Loopback only, by default.
  EXPECT_EQ(StatusOf(SendRequest(server, "", ippNewRequest(IPP_OP_GET_PRINTERS))), IPP_STATUS_OK);
  Client network = NetworkClient();
  EXPECT_EQ(SendRequestAs(server, network, "", ippNewRequest(IPP_OP_GET_PRINTERS)), nullptr);

  // Adds, modifies and deletes; names and file: devices refused.
  ASSERT_TRUE(server.AddPrinter("a.b-c_9", "socket://127.0.0.1:9", error)) << error;
  CommandRun modified = server.Command({"modify", "-d", "a.b-c_9", "-o", "vorne-top-margin=3"});
  EXPECT_EQ(modified.status, 0) << modified.err;
  for (const std::string &name :
       {std::string(".."), std::string("a/b"), std::string(".x"), std::string(200, 'n')}) {
    EXPECT_FALSE(server.AddPrinter(name, "socket://127.0.0.1:9", error)) << name;
    EXPECT_NE(error.find("Printer names"), std::string::npos) << error;
  }
  EXPECT_FALSE(server.AddPrinter("file", "file://" + victim, error));
  EXPECT_NE(server.Log().find("file: devices are off"), std::string::npos);
  std::string made = folder.path() + "/victim/made";
  EXPECT_FALSE(server.AddPrinter("file", "file://" + made, error));  // nor one to be made
  EXPECT_NE(access(made.c_str(), F_OK), 0);
  EXPECT_EQ(PrinterNames(server), "a.b-c_9\n");
  EXPECT_EQ(
      StatusOf(SendRequestAs(server, ControlClient(server), "", DeletePrinter(kFirstPrinterId))),
      IPP_STATUS_OK);
  EXPECT_EQ(PrinterNames(server), "");
  EXPECT_EQ(ReadText(victim), "keep me\n");
}

// A client that sends a user's password: on the network over TLS, or not.
Client WithPassword(Client client, const char *user, bool tls) {
  client.user = user;
  client.password = "any";
  client.tls = tls;
  return client;
}

TEST(Access, AMemberOfTheAdminGroupAdministersFromTheNetworkWithAPassword) {
  ASSERT_FALSE(OwnAddress().empty()) << "this machine has no address but loopback";
  TestPamService pam;
  ASSERT_TRUE(pam.installed());
  ServerFolder folder;
  AppServer server(folder);
  // daemon is in the admin group, bin is not.
  server.AddOptions({"listen=any", "auth-service=" + pam.name(), "admin-group=daemon"});
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "socket://127.0.0.1:9", error)) << error;

  Client loopback;
  const struct {
    const char *name;
    Client client;
    int status;  // of Disable-Printer
  } cases[] = {
      {"admin over TLS", WithPassword(NetworkClient(), "daemon", true), IPP_STATUS_OK},
      {"admin on loopback", WithPassword(loopback, "daemon", false), IPP_STATUS_OK},
      {"not in the group", WithPassword(NetworkClient(), "bin", true), IPP_STATUS_ERROR_FORBIDDEN},
      {"no password", NetworkClient("daemon"), IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(
        StatusOf(SendRequestAs(server, c.client, kPrinter, ippNewRequest(IPP_OP_DISABLE_PRINTER))),
        c.status)
        << c.name << server.LogTail(10);
  }

  // The administrator adds, modifies and deletes a printer from the network, and sees the
  // web page's form.
  Client admin = WithPassword(NetworkClient(), "daemon", true);
  EXPECT_EQ(
      StatusOf(SendRequestAs(server, admin, "", CreatePrinter("second", "socket://127.0.0.1:9"))),
      IPP_STATUS_OK);
  ipp_t *modify = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  ippAddInteger(modify, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "vorne-top-margin-default", 7);
  EXPECT_EQ(StatusOf(SendRequestAs(server, admin, "second", modify)), IPP_STATUS_OK);
  ipp_t *attrs = GetPrinterAttributes(server, "second");
  EXPECT_EQ(ippGetInteger(ippFindAttribute(attrs, "vorne-top-margin-default", IPP_TAG_INTEGER), 0),
            7);
  ippDelete(attrs);
  EXPECT_EQ(StatusOf(SendRequestAs(server, admin, "", DeletePrinter(kFirstPrinterId + 1))),
            IPP_STATUS_OK);
  EXPECT_EQ(PrinterNames(server), "vorne\n");
  std::string page;
  EXPECT_EQ(WebRequest(server, admin, "/addprinter", nullptr, &page), HTTP_STATUS_OK);
  EXPECT_NE(page.find("<form"), std::string::npos);
  // No password over plain HTTP from the network (libcups's IPP requests switch to TLS by
  // themselves when asked), and none of a user outside the group.
  const struct {
    Client client;
    int status;
  } refused[] = {{WithPassword(NetworkClient(), "daemon", false), HTTP_STATUS_MOVED_PERMANENTLY},
                 {WithPassword(NetworkClient(), "bin", true), HTTP_STATUS_FORBIDDEN}};
  for (const auto &r : refused) {
    page.clear();
    EXPECT_EQ(WebRequest(server, r.client, "/addprinter", nullptr, &page), r.status);
    EXPECT_EQ(page.find("<form"), std::string::npos);
  }
}

TEST(Access, TheServerRefusesOptionsThatWouldOpenIt) {
  const struct {
    const char *option;
    const char *message;
  } cases[] = {
      // An admin group that does not exist would make every PAM user an administrator.
      {"admin-group=no-such-group", "The admin group 'no-such-group' does not exist."},
      {"listen-hostname=127.0.0.1", "listen-hostname is replaced by listen"},
      {"listen=/tmp/socket", "Bad listen value '/tmp/socket'."},
      {"file-devices=maybe", "Bad file-devices value 'maybe'."},
      {"max-log-size=1k", "Bad max-log-size value '1k' (64k to 1g)."},
  };
  for (const auto &c : cases) {
    ServerFolder folder;
    AppServer server(folder);
    server.AddOptions({c.option});
    std::string error;
    EXPECT_FALSE(server.Start(error)) << c.option;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(Access, TheLogIsRotatedAtItsSize) {
  ServerFolder folder;
  AppServer server(folder);
  server.AddOptions({"max-log-size=64k"});
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "socket://127.0.0.1:9", error)) << error;
  // Each answer is logged at debug level, attribute by attribute: some kilobytes.
  std::string rotated = server.TmpDir() + "/server.log.O";
  struct stat info;
  for (int i = 0; i < 200 && stat(rotated.c_str(), &info) != 0; i++) {
    ippDelete(GetPrinterAttributes(server, kPrinter));
  }
  ASSERT_EQ(stat(rotated.c_str(), &info), 0) << "never rotated";
  EXPECT_GE(info.st_size, 64 * 1024);
  EXPECT_LT(info.st_size, 128 * 1024);
}

// An access check that runs out of memory refuses the request, and the server goes on: what
// it threw did not cross into PAPPL.
TEST(Access, AnAccessCheckOutOfMemoryRefusesAndTheServerGoesOn) {
#ifdef QUILLMARSH_SANITIZED
  GTEST_SKIP() << "the preloaded failing allocator cannot run beside the sanitizers' own";
#endif
  ServerFolder folder;
  AppServer server(folder);
  // The check copies the requesting user's name: every allocation of that copy's size fails.
  const std::string user(250, 'u');
  const std::string preload = folder.path() + "/fail_alloc.so";
  Bytes library = ReadBytes(FailAllocPath());
  ASSERT_FALSE(library.empty());
  std::ofstream(preload, std::ios::binary)
      .write(reinterpret_cast<const char *>(library.data()),
             static_cast<std::streamsize>(library.size()));
  ASSERT_EQ(chmod(preload.c_str(), 0644), 0);
  server.AddServerEnvironment(
      {"LD_PRELOAD=" + preload, "FAIL_ALLOC_MIN=251", "FAIL_ALLOC_MAX=251"});
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "socket://127.0.0.1:9", error)) << error;

  Client named;
  named.user = user;
  EXPECT_NE(StatusOf(SendRequestAs(server, named, kPrinter, ippNewRequest(IPP_OP_DISABLE_PRINTER))),
            IPP_STATUS_OK);
  EXPECT_TRUE(IsAccepting(server)) << server.LogTail();
  EXPECT_NE(server.Log().find("Refused: access check failed: std::bad_alloc"), std::string::npos)
      << server.LogTail();
}

}  // namespace
