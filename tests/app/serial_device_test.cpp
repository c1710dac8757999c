// The serial: device scheme through PAPPL's device calls. A socat process joins two
// pseudo-terminals: DIR/port, which the scheme opens as the printer's port, and DIR/printer,
// where the test reads what the printer would receive.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pappl/pappl.h>

#include "serial_device.h"

extern char **environ;

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// The far end drains as a printer on a 9600-baud line does, a tenth of a second at a time.
constexpr size_t kPrinterBytesPerSecond = 960;
constexpr int kReadTicksPerSecond = 10;
constexpr size_t kAnySpeed = 1 << 20;

// Limits that only keep a broken build from hanging the suite; nothing is timed.
constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kReadLimit = std::chrono::seconds(30);
constexpr auto kWriteLimit = std::chrono::seconds(30);

// 'CollectMessage()' - Device error callback: add the message as a line of the string data.
void CollectMessage(const char *message, void *data) {
  *static_cast<std::string *>(data) += std::string(message) + "\n";
}

//
// 'PtyPair' - A socat process joining DIR/port and DIR/printer; stopping it hangs up both, as
// unplugging an adapter does.
//

class PtyPair {
 public:
  PtyPair() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/serial-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      return;
    }
    dir_ = pattern;

    std::string printer = "pty,raw,echo=0,link=" + printer_path();
    std::string port = "pty,raw,echo=0,link=" + port_path();
    std::string log = dir_ + "/socat.log";
    const char *argv[] = {"socat", "-d", "-d", printer.c_str(), port.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, QUILLMARSH_SOCAT_PATH, &actions, nullptr, const_cast<char **>(argv),
                    environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);

    // Ready when both links are there.
    for (auto limit = Clock::now() + kStartLimit; pid_ > 0 && Clock::now() < limit;) {
      struct stat info;
      if (stat(printer_path().c_str(), &info) == 0 && stat(port_path().c_str(), &info) == 0) {
        ready_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  ~PtyPair() {
    Stop();
    if (!dir_.empty()) {
      unlink(printer_path().c_str());
      unlink(port_path().c_str());
      unlink((dir_ + "/socat.log").c_str());
      rmdir(dir_.c_str());
    }
  }

  bool ready() const {
    return ready_;
  }
  std::string port_path() const {
    return dir_ + "/port";
  }
  std::string printer_path() const {
    return dir_ + "/printer";
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

//
// 'Pattern()' - count bytes holding every byte value, shifted on each round.
//

Bytes Pattern(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; i++) {
    bytes[i] = static_cast<unsigned char>(i + i / 256);
  }
  return bytes;
}

//
// 'FirstDifference()' - Describe where got first differs from want; empty when equal.
//

std::string FirstDifference(const Bytes &want, const Bytes &got) {
  size_t at = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at]) {
    at++;
  }
  if (at == want.size() && at == got.size()) {
    return "";
  }
  auto byte = [](const Bytes &bytes, size_t i) {
    return i < bytes.size() ? std::to_string(bytes[i]) : std::string("(end)");
  };
  return "first difference at byte " + std::to_string(at) + " of " + std::to_string(want.size()) +
         ": want " + byte(want, at) + ", got " + byte(got, at) + " (" + std::to_string(got.size()) +
         " bytes arrived)";
}

//
// 'ReadPrinter()' - Read up to count bytes from the printer's end, at most bytes_per_second,
// until they are in or nothing more can arrive.
//

Bytes ReadPrinter(const std::string &path, size_t count, size_t bytes_per_second) {
  Bytes got;
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return got;
  }
  size_t per_tick = bytes_per_second / kReadTicksPerSecond;
  auto tick = std::chrono::milliseconds(1000 / kReadTicksPerSecond);
  for (auto limit = Clock::now() + kReadLimit; got.size() < count && Clock::now() < limit;) {
    auto next_tick = Clock::now() + tick;
    struct pollfd watch = {fd, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(tick.count())) > 0 && (watch.revents & POLLIN)) {
      unsigned char buffer[4096];
      size_t want = std::min({per_tick, count - got.size(), sizeof(buffer)});
      ssize_t n = read(fd, buffer, want);
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      }
    }
    if (watch.revents & (POLLHUP | POLLERR)) {
      break;
    }
    if (bytes_per_second != kAnySpeed) {
      std::this_thread::sleep_until(next_tick);
    }
  }
  close(fd);
  return got;
}

//
// 'OpenFdOf()' - Find this process's descriptor open on the port behind path: the port is
// locked against a second open, so its settings are read there.
//

int OpenFdOf(const std::string &path) {
  char target[PATH_MAX];
  if (realpath(path.c_str(), target) == nullptr) {
    return -1;
  }
  int found = -1;
  if (DIR *fds = opendir("/proc/self/fd")) {
    while (struct dirent *entry = readdir(fds)) {
      char link[PATH_MAX];
      std::string name = std::string("/proc/self/fd/") + entry->d_name;
      ssize_t length = readlink(name.c_str(), link, sizeof(link) - 1);
      if (length > 0 && std::string(link, static_cast<size_t>(length)) == target) {
        found = atoi(entry->d_name);
      }
    }
    closedir(fds);
  }
  return found;
}

//
// 'WriteAll()' - Write bytes through PAPPL in pieces of varied size and flush; false when a
// write failed.
//

bool WriteAll(pappl_device_t *device, const Bytes &bytes) {
  static const size_t kPieces[] = {1, 17, 300, 1000, 64};
  size_t at = 0;
  for (size_t i = 0; at < bytes.size(); i++) {
    size_t piece = std::min(kPieces[i % std::size(kPieces)], bytes.size() - at);
    if (papplDeviceWrite(device, bytes.data() + at, piece) != static_cast<ssize_t>(piece)) {
      return false;
    }
    at += piece;
  }
  papplDeviceFlush(device);
  return true;
}

// The line settings a URI asks for.
struct LineCase {
  const char *options;
  speed_t speed;
  tcflag_t frame;  // CSIZE, PARENB, PARODD and CSTOPB of c_cflag
  SerialFlow flow;
};

TEST(SerialUri, OptionsSetTheLine) {
  const LineCase cases[] = {
      {"", B9600, CS8, SerialFlow::kNone},
      {"?baud=19200+bits=8+parity=none+flow=dtrdsr", B19200, CS8, SerialFlow::kDtrDsr},
      {"?baud=115200+parity=even", B115200, CS8 | PARENB, SerialFlow::kNone},
      {"?bits=7", B9600, CS7 | PARENB, SerialFlow::kNone},
      {"?bits=7+parity=odd", B9600, CS7 | PARENB | PARODD, SerialFlow::kNone},
      {"?parity=none&bits=7&stop=2", B9600, CS7 | CSTOPB, SerialFlow::kNone},
      {"?flow=soft", B9600, CS8, SerialFlow::kSoft},
      {"?flow=hard", B9600, CS8, SerialFlow::kHard},
      {"?BAUD=2400+Flow=RTSCTS+", B2400, CS8, SerialFlow::kHard},
  };
  for (const LineCase &c : cases) {
    std::string uri = std::string("serial:/dev/ttyS0") + c.options;
    SCOPED_TRACE(uri);
    SerialLine line;
    char message[256] = "";
    ASSERT_TRUE(ParseSerialUri(uri.c_str(), &line, message, sizeof(message))) << message;
    EXPECT_STREQ(line.path, "/dev/ttyS0");
    EXPECT_EQ(line.flow, c.flow);

    struct termios tio = {};
    tio.c_iflag = ICRNL | IXANY;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ECHO | ISIG;
    ASSERT_TRUE(SetSerialTermios(line, &tio));
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.frame);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.flow == SerialFlow::kHard);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF),
              c.flow == SerialFlow::kSoft ? static_cast<tcflag_t>(IXON | IXOFF) : 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXANY), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  }
}

// A URI that must not open, and a piece of the message that says why.
struct BadUriCase {
  const char *uri;
  const char *says;
};

TEST(SerialUri, BadUrisFailWithAReason) {
  AddSerialScheme();
  const BadUriCase cases[] = {
      {"serial:/dev/ttyS0?speed=9600", "unknown option \"speed\""},
      {"serial:/dev/ttyS0?baud=12345", "baud=12345 is not a standard serial speed"},
      {"serial:/dev/ttyS0?baud=fast", "baud=fast is not a standard serial speed"},
      {"serial:/dev/ttyS0?bits=9", "bits=9 is not 7 or 8"},
      {"serial:/dev/ttyS0?parity=mark", "parity=mark is not supported"},
      {"serial:/dev/ttyS0?flow=xonxoff", "flow=xonxoff is not"},
      {"serial:/dev/ttyS0?stop=3", "stop=3 is not 1 or 2"},
      {"serial:/dev/ttyS0?baud", "option \"baud\" has no value"},
      {"serial:?baud=9600", "names no serial port"},
      {"serial:", "names no serial port"},
      {"serial://dev/ttyS0", "names a host \"dev\""},
      {"serial:/dev/quillmarsh-no-such-port?baud=9600", "does not exist"},
  };
  for (const BadUriCase &c : cases) {
    SCOPED_TRACE(c.uri);
    std::string messages;
    pappl_device_t *device = papplDeviceOpen(c.uri, "test", CollectMessage, &messages);
    EXPECT_EQ(device, nullptr);
    papplDeviceClose(device);
    EXPECT_NE(messages.find(c.says), std::string::npos) << messages;
  }
}

// A path that is no terminal, and how its refusal ends ("PATH is not a serial port: ...").
// Paths without a leading '/' are made in the test's folder.
struct NotAPortCase {
  const char *path;
  const char *says;
};

TEST(SerialUri, PathsThatAreNoTerminalAreRefusedUntouched) {
  AddSerialScheme();
  const char *tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/not-a-port-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string file = dir + "/file";
  const std::string kept = "a line the printer must never send over\n";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, kept.data(), kept.size()), static_cast<ssize_t>(kept.size()));
  close(fd);
  // An old time, so that any write would show.
  const struct timespec old_time[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old_time, 0), 0);
  ASSERT_EQ(symlink("file", (dir + "/link").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);

  // Whatever opens, changes or reads an entry of the folder, or the folder inside it.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_ALL_EVENTS), 0);
  ASSERT_GE(inotify_add_watch(watch, (dir + "/folder").c_str(), IN_ALL_EVENTS), 0);

  const NotAPortCase cases[] = {
      {"file", "it is a regular file"},
      {"link", "it is a regular file"},
      {"folder", "it is a folder"},
      {"pipe", "it is a named pipe"},
      {"/dev/null", "it is a device that is not a terminal"},
  };
  for (const NotAPortCase &c : cases) {
    std::string path = c.path[0] == '/' ? c.path : dir + "/" + c.path;
    SCOPED_TRACE(path);
    std::string messages;
    std::string uri = "serial:" + path + "?baud=9600";
    pappl_device_t *device = papplDeviceOpen(uri.c_str(), "test", CollectMessage, &messages);
    EXPECT_EQ(device, nullptr);
    papplDeviceClose(device);
    EXPECT_EQ(messages,
              "Unable to open serial port: " + path + " is not a serial port: " + c.says + ".\n");

    // Nothing in the folder was opened, let alone written.
    char events[4096];
    ssize_t length = read(watch, events, sizeof(events));
    EXPECT_EQ(length, -1) << "an entry of the folder was opened or changed";
  }
  close(watch);

  struct stat info;
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, old_time[1].tv_sec);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kept);

  for (const char *name : {"/file", "/link", "/pipe"}) {
    unlink((dir + name).c_str());
  }
  rmdir((dir + "/folder").c_str());
  rmdir(dir.c_str());
}

TEST(SerialScheme, PapplsOwnSchemesStay) {
  // A process of its own, where nothing has asked PAPPL about devices yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto register_then_open_file = [] {
    AddSerialScheme();
    std::string messages;
    pappl_device_t *device = papplDeviceOpen("file:///dev/null", "test", CollectMessage, &messages);
    fputs(messages.c_str(), stderr);
    bool schemes = device != nullptr && papplDeviceIsSupported("socket://localhost:9100") &&
                   papplDeviceIsSupported("serial:/dev/ttyS0");
    papplDeviceClose(device);
    return schemes;
  };
  EXPECT_EXIT(exit(register_then_open_file() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(SerialScheme, ListedPortsParseAsSerialUris) {
  AddSerialScheme();
  struct Listed {
    std::vector<std::string> infos, uris;
  } listed;
  auto add = [](const char *info, const char *uri, const char *id, void *data) {
    EXPECT_STREQ(id, "");
    static_cast<Listed *>(data)->infos.push_back(info);
    static_cast<Listed *>(data)->uris.push_back(uri);
    return false;
  };
  std::string messages;
  EXPECT_FALSE(
      papplDeviceList(PAPPL_DEVTYPE_CUSTOM_LOCAL, add, &listed, CollectMessage, &messages));
  EXPECT_EQ(messages, "");
  for (size_t i = 0; i < listed.uris.size(); i++) {
    SCOPED_TRACE(listed.infos[i] + " " + listed.uris[i]);
    SerialLine line;
    char message[256] = "";
    ASSERT_TRUE(ParseSerialUri(listed.uris[i].c_str(), &line, message, sizeof(message))) << message;
    EXPECT_EQ(line.baud, 9600);
    struct stat info;
    EXPECT_TRUE(stat(line.path, &info) == 0 && S_ISCHR(info.st_mode));
  }
}

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(QUILLMARSH_SOCAT_PATH).empty()) {
      GTEST_SKIP() << "socat is not installed";
    }
    AddSerialScheme();
    ASSERT_TRUE(pty_.ready()) << "socat did not make the pseudo-terminals";
  }

  pappl_device_t *Open(const std::string &options) {
    std::string uri = "serial:" + pty_.port_path() + options;
    return papplDeviceOpen(uri.c_str(), "test", CollectMessage, &messages_);
  }

  PtyPair pty_;
  std::string messages_;
};

// Line settings on the port itself. The pseudo-terminal driver keeps 8 data bits without
// parity whatever is asked, so those are in OptionsSetTheLine.
struct PortCase {
  const char *options;
  speed_t speed;
  bool two_stop_bits;
  SerialFlow flow;
};

TEST_F(SerialPort, SettingsReachThePort) {
  const PortCase cases[] = {
      {"?baud=9600", B9600, false, SerialFlow::kNone},
      {"?baud=19200+bits=8+parity=none+flow=soft", B19200, false, SerialFlow::kSoft},
      {"?baud=115200+flow=hard+stop=2", B115200, true, SerialFlow::kHard},
      {"?baud=38400&bits=7&parity=odd&flow=rtscts", B38400, false, SerialFlow::kHard},
      {"?baud=9600+flow=dtrdsr", B9600, false, SerialFlow::kDtrDsr},
  };
  const Bytes sent = Pattern(512);
  for (const PortCase &c : cases) {
    SCOPED_TRACE(c.options);
    pappl_device_t *device = Open(c.options);
    ASSERT_NE(device, nullptr) << messages_;

    struct termios tio;
    ASSERT_EQ(tcgetattr(OpenFdOf(pty_.port_path()), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.two_stop_bits);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.flow == SerialFlow::kHard);
    EXPECT_EQ((tio.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.flow == SerialFlow::kSoft);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);

    // Every byte value goes through unchanged.
    EXPECT_TRUE(WriteAll(device, sent));
    EXPECT_EQ(FirstDifference(sent, ReadPrinter(pty_.printer_path(), sent.size(), kAnySpeed)), "");
    papplDeviceClose(device);
  }
}

TEST_F(SerialPort, SlowPrinterReceivesTheWholeStream) {
  const Bytes sent = Pattern(3 * kPrinterBytesPerSecond);
  pappl_device_t *device = Open("?baud=9600+bits=8+parity=none+flow=none");
  ASSERT_NE(device, nullptr) << messages_;

  auto received = std::async(std::launch::async, ReadPrinter, pty_.printer_path(), sent.size(),
                             kPrinterBytesPerSecond);
  EXPECT_TRUE(WriteAll(device, sent));
  papplDeviceClose(device);
  EXPECT_EQ(FirstDifference(sent, received.get()), "");
  EXPECT_EQ(messages_, "");
}

TEST_F(SerialPort, SecondPrinterIsRefusedUntilTheFirstCloses) {
  pappl_device_t *first = Open("?baud=9600");
  ASSERT_NE(first, nullptr) << messages_;

  EXPECT_EQ(Open("?baud=9600"), nullptr);
  EXPECT_NE(messages_.find("is in use by another printer or program"), std::string::npos)
      << messages_;

  papplDeviceClose(first);
  pappl_device_t *again = Open("?baud=9600");
  EXPECT_NE(again, nullptr) << messages_;
  papplDeviceClose(again);
}

// The status check looks the port up without opening it: there while socat runs (the
// pseudo-terminal not opened by the look), gone once socat stopped. What an open would refuse
// for another reason is not reported as gone.
TEST_F(SerialPort, ThePortIsThereUntilItGoesAndIsNeverOpenedToTell) {
  char target[256];
  ssize_t length = readlink(pty_.port_path().c_str(), target, sizeof target - 1);
  ASSERT_GT(length, 0);
  target[length] = '\0';
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, target, IN_OPEN), 0);

  char message[1024] = "";
  const std::string uri = "serial:" + pty_.port_path() + "?baud=9600";
  EXPECT_TRUE(SerialPortThere(uri.c_str(), message, sizeof message));
  char events[4096];
  EXPECT_EQ(read(watch, events, sizeof events), -1) << "the port was opened";
  close(watch);

  pty_.Stop();
  EXPECT_FALSE(SerialPortThere(uri.c_str(), message, sizeof message));
  EXPECT_EQ(std::string(message), "The printer's port " + pty_.port_path() +
                                      " is not there: adapter unplugged or printer switched off?");
  for (const char *other :
       {"serial:/dev/null", "serial://host/dev/ttyS0", "serial:/dev/ttyS0?baud=7"}) {
    EXPECT_TRUE(SerialPortThere(other, message, sizeof message)) << other;
  }
}

TEST_F(SerialPort, HangUpMidWriteFailsTheWrite) {
  pappl_device_t *device = Open("?baud=9600+flow=hard");
  ASSERT_NE(device, nullptr) << messages_;

  // More than the pseudo-terminals and socat hold: the write waits for the printer.
  const Bytes sent = Pattern(4 << 20);
  std::promise<ssize_t> result;
  std::future<ssize_t> written = result.get_future();
  std::thread writer([&] { result.set_value(papplDeviceWrite(device, sent.data(), sent.size())); });

  // Once the first bytes reach the printer, the far end goes away.
  EXPECT_FALSE(ReadPrinter(pty_.printer_path(), 1, kAnySpeed).empty());
  pty_.Stop();

  if (written.wait_for(kWriteLimit) != std::future_status::ready) {
    writer.detach();
    FAIL() << "the write still waits after the line hung up";
  }
  writer.join();
  EXPECT_EQ(written.get(), -1);
  EXPECT_NE(messages_.find("failed while printing"), std::string::npos) << messages_;
  EXPECT_EQ(papplDeviceGetStatus(device), PAPPL_PREASON_OFFLINE);
  EXPECT_EQ(papplDeviceWrite(device, sent.data(), sent.size()), -1);
  papplDeviceClose(device);
}

// What a write watch was asked: how long the line had taken nothing, each time. It gives the
// write up once the line has taken nothing for kGiveUpMs.
constexpr long kGiveUpMs = 600;
bool Watch(void *context, long stalled_ms) {
  static_cast<std::vector<long> *>(context)->push_back(stalled_ms);
  return stalled_ms >= kGiveUpMs;
}

// A printer that stops reading: the write waits a step at a time, asking the watch with a
// growing wait, until the watch gives it up; later writes fail at once until a watch is set
// again.
TEST_F(SerialPort, AWriteToAStoppedLineAsksItsWatchUntilGivenUp) {
  pappl_device_t *device = Open("?baud=9600");
  ASSERT_NE(device, nullptr) << messages_;
  std::vector<long> asked;
  SetSerialWriteWatch(device, Watch, &asked);

  // More than the pseudo-terminals and socat hold, with nobody reading.
  const Bytes sent = Pattern(1 << 20);
  auto written = std::async(std::launch::async,
                            [&] { return papplDeviceWrite(device, sent.data(), sent.size()); });
  ASSERT_EQ(written.wait_for(kWriteLimit), std::future_status::ready) << "the write still waits";
  EXPECT_EQ(written.get(), -1);
  EXPECT_NE(messages_.find("the write was given up"), std::string::npos) << messages_;
  ASSERT_GE(asked.size(), 2u);
  EXPECT_GE(asked.back(), kGiveUpMs);
  for (size_t i = 0; i < asked.size(); i++) {
    EXPECT_TRUE(asked[i] > 0 && (i == 0 || asked[i] > asked[i - 1])) << "ask " << i;
  }

  // At once: the watch is not asked again.
  size_t asks = asked.size();
  EXPECT_EQ(papplDeviceWrite(device, sent.data(), sent.size()), -1) << "after the give-up";
  SetSerialWriteWatch(device, nullptr, nullptr);
  EXPECT_EQ(papplDeviceWrite(device, sent.data(), sent.size()), -1) << "with the watch ended";
  EXPECT_EQ(asked.size(), asks);

  // A new watch, and a printer that reads: the port writes again.
  SetSerialWriteWatch(device, Watch, &asked);
  auto drained =
      std::async(std::launch::async, ReadPrinter, pty_.printer_path(), sent.size(), kAnySpeed);
  EXPECT_EQ(papplDeviceWrite(device, sent.data(), 64 << 10), 64 << 10) << messages_;
  pty_.Stop();  // the reader sees the hang-up and ends
  drained.wait();
  papplDeviceClose(device);
}

}  // namespace
