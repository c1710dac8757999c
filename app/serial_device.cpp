//
// The "serial:" device scheme: the port's URI, the line set with termios, writing under flow
// control, and the list of the machine's serial ports, as the callbacks PAPPL calls.
//

#include "serial_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <pappl/pappl.h>

constexpr int kDefaultBaud = 9600;

// A byte on the line is 10 bits (start, 8 data, stop), so a port moves baud / 10 bytes a second.
constexpr int kLineBitsPerByte = 10;

// With flow=dtrdsr a tenth of a second of data goes out between two looks at DSR, and a low DSR
// is looked at again every tenth of a second.
constexpr int kDsrLooksPerSecond = 10;
constexpr int kDsrPollMs = 100;

// Unix98 pseudo-terminal slaves: the kernel keeps them at 8 data bits without parity whatever is
// asked, as there is no line to set.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

namespace {

// A speed termios knows: bits a second, and its code.
struct SerialSpeed {
  int baud;
  speed_t speed;
};

// One open port, attached to PAPPL's device: the descriptor, the settings of its URI and what
// writing needs to know.
struct SerialPort {
  int fd = -1;
  SerialLine line = {};
  bool watch_dsr = false;            // flow=dtrdsr on a port that has modem lines
  size_t dsr_chunk = 1;              // bytes sent between two looks at DSR
  std::atomic<bool> failed{false};   // the port failed while writing; later writes fail at once
  SerialWriteWatch watch = nullptr;  // asked while a write waits (set by the job writing)
  void *watch_context = nullptr;
  bool gave_up = false;  // the watch gave a write up; later writes fail until it is set again
};

// The ports the list offers, in the order they are shown.
struct PortName {
  int family;  // index in kPortFamilies
  long number;
  std::string name;  // as "ttyUSB0"
};

}  // namespace

// The speeds termios knows, slowest first.
static const SerialSpeed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// The names of the ports the list looks for in /dev.
static const char *const kPortFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};

//
// 'SpeedOf()' - Find the termios speed of a baud rate; false for a rate termios does not know.
//

static bool SpeedOf(int baud, speed_t *speed) {
  for (const SerialSpeed &entry : kSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

//
// 'ReadCount()' - Read a decimal number of up to 9 digits that makes up all of text; -1 if it
// is not one.
//

static long ReadCount(const char *text) {
  size_t digits = strlen(text);
  if (digits == 0 || digits > 9 || strspn(text, "0123456789") != digits) {
    return -1;
  }
  return strtol(text, nullptr, 10);
}

//
// 'SetOption()' - Apply one name=value option of the URI to line. parity_given records a parity
// option, so that bits=7 alone means even parity. Returns false with the reason in message.
//

static bool SetOption(const char *name, const char *value, SerialLine *line, bool *parity_given,
                      char *message, size_t message_size) {
  if (!strcasecmp(name, "baud")) {
    long baud = ReadCount(value);
    speed_t speed;
    if (baud < 0 || !SpeedOf(static_cast<int>(baud), &speed)) {
      snprintf(message, message_size,
               "baud=%s is not a standard serial speed (such as 9600, 19200, 38400 or 115200)",
               value);
      return false;
    }
    line->baud = static_cast<int>(baud);
  } else if (!strcasecmp(name, "bits")) {
    long bits = ReadCount(value);
    if (bits != 7 && bits != 8) {
      snprintf(message, message_size, "bits=%s is not 7 or 8 data bits", value);
      return false;
    }
    line->bits = static_cast<int>(bits);
  } else if (!strcasecmp(name, "parity")) {
    *parity_given = true;
    if (!strcasecmp(value, "none")) {
      line->parity = 'N';
    } else if (!strcasecmp(value, "even")) {
      line->parity = 'E';
    } else if (!strcasecmp(value, "odd")) {
      line->parity = 'O';
    } else if (!strcasecmp(value, "space") || !strcasecmp(value, "mark")) {
      snprintf(message, message_size,
               "parity=%s is not supported; set the printer to none, even or odd parity", value);
      return false;
    } else {
      snprintf(message, message_size, "parity=%s is not none, even or odd", value);
      return false;
    }
  } else if (!strcasecmp(name, "stop")) {
    long stop_bits = ReadCount(value);
    if (stop_bits != 1 && stop_bits != 2) {
      snprintf(message, message_size, "stop=%s is not 1 or 2 stop bits", value);
      return false;
    }
    line->stop_bits = static_cast<int>(stop_bits);
  } else if (!strcasecmp(name, "flow")) {
    if (!strcasecmp(value, "none")) {
      line->flow = SerialFlow::kNone;
    } else if (!strcasecmp(value, "soft")) {
      line->flow = SerialFlow::kSoft;
    } else if (!strcasecmp(value, "hard") || !strcasecmp(value, "rtscts")) {
      line->flow = SerialFlow::kHard;
    } else if (!strcasecmp(value, "dtrdsr")) {
      line->flow = SerialFlow::kDtrDsr;
    } else {
      snprintf(message, message_size, "flow=%s is not none, soft, hard, rtscts or dtrdsr", value);
      return false;
    }
  } else {
    snprintf(message, message_size,
             "unknown option \"%s\" (the options are baud, bits, parity, stop and flow)", name);
    return false;
  }
  return true;
}

//
// 'ParseSerialUri()' - Read a serial: device URI into line; false with the reason in message.
//

bool ParseSerialUri(const char *uri, SerialLine *line, char *message, size_t message_size) {
  char scheme[32], userpass[256], host[256], resource[1024];
  int port;

  *line = SerialLine{};
  line->baud = kDefaultBaud;
  line->bits = 8;
  line->parity = 'N';
  line->stop_bits = 1;
  line->flow = SerialFlow::kNone;

  // The port path comes after "serial:" (or "serial://"), the options after '?'.
  http_uri_status_t status =
      httpSeparateURI(HTTP_URI_CODING_ALL, uri ? uri : "", scheme, sizeof(scheme), userpass,
                      sizeof(userpass), host, sizeof(host), &port, resource, sizeof(resource));
  if (status < HTTP_URI_STATUS_OK) {
    snprintf(message, message_size, "not a valid URI (%s)", httpURIStatusString(status));
    return false;
  }
  if (strcmp(scheme, "serial") != 0) {
    snprintf(message, message_size, "the scheme is \"%s\", not \"serial\"", scheme);
    return false;
  }
  if (host[0] != '\0') {
    snprintf(message, message_size,
             "it names a host \"%s\"; the port path follows \"serial:\", as in "
             "serial:/dev/ttyS0?baud=9600",
             host);
    return false;
  }
  char *options = strchr(resource, '?');
  if (options != nullptr) {
    *options++ = '\0';
  }
  if (resource[0] != '/' || resource[1] == '\0') {
    snprintf(message, message_size,
             "it names no serial port; write the port's path, as in serial:/dev/ttyS0?baud=9600");
    return false;
  }
  snprintf(line->path, sizeof(line->path), "%s", resource);

  // Options: name=value, separated by '+' or '&'; empty ones are skipped.
  bool parity_given = false;
  for (char *option = options; option != nullptr && *option != '\0';) {
    char *next = option + strcspn(option, "+&");
    if (*next != '\0') {
      *next++ = '\0';
    }
    if (*option != '\0') {
      char *value = strchr(option, '=');
      if (value == nullptr) {
        snprintf(message, message_size, "option \"%s\" has no value (as in baud=9600)", option);
        return false;
      }
      *value++ = '\0';
      if (!SetOption(option, value, line, &parity_given, message, message_size)) {
        return false;
      }
    }
    option = next;
  }

  // As CUPS's serial backend does, 7 data bits without a parity option mean even parity.
  if (line->bits == 7 && !parity_given) {
    line->parity = 'E';
  }
  return true;
}

//
// 'SerialUriOf()' - The URI of the line, every option named; the path percent-encoded where it
// holds anything but letters, digits and "/._-".
//

std::string SerialUriOf(const SerialLine &line) {
  std::string uri = "serial:";
  for (const char *p = line.path; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (isalnum(c) || strchr("/._-", c) != nullptr) {
      uri += static_cast<char>(c);
    } else {
      char escaped[4];
      snprintf(escaped, sizeof(escaped), "%%%02X", c);
      uri += escaped;
    }
  }
  static const char *const kFlows[] = {"none", "soft", "hard", "dtrdsr"};
  char options[128];
  snprintf(options, sizeof(options), "?baud=%d+bits=%d+parity=%s+stop=%d+flow=%s", line.baud,
           line.bits,
           line.parity == 'E'   ? "even"
           : line.parity == 'O' ? "odd"
                                : "none",
           line.stop_bits, kFlows[static_cast<int>(line.flow)]);
  return uri + options;
}

//
// 'SerialSpeeds()' - The speeds termios knows, slowest first.
//

std::vector<int> SerialSpeeds() {
  std::vector<int> speeds;
  for (const SerialSpeed &entry : kSpeeds) {
    speeds.push_back(entry.baud);
  }
  return speeds;
}

//
// 'SetSerialTermios()' - Make tio a raw line with the speed, frame and flow control of line.
//

bool SetSerialTermios(const SerialLine &line, struct termios *tio) {
  speed_t speed;
  if (!SpeedOf(line.baud, &speed)) {
    return false;
  }

  // Raw: no translation, echo, signals or canonical lines in either direction. A read returns
  // what has arrived without waiting. CLOCAL: the port does not wait for or hang up on carrier.
  tio->c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio->c_oflag &= ~OPOST;
  tio->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
  tio->c_cflag |= CREAD | CLOCAL;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;

  // The character frame.
  tio->c_cflag |= line.bits == 7 ? CS7 : CS8;
  if (line.parity != 'N') {
    tio->c_cflag |= PARENB;
  }
  if (line.parity == 'O') {
    tio->c_cflag |= PARODD;
  }
  if (line.stop_bits == 2) {
    tio->c_cflag |= CSTOPB;
  }

  // XON/XOFF both ways, or RTS/CTS in the UART; DTR/DSR is done while writing.
  if (line.flow == SerialFlow::kSoft) {
    tio->c_iflag |= IXON | IXOFF;
  } else if (line.flow == SerialFlow::kHard) {
    tio->c_cflag |= CRTSCTS;
  }

  return cfsetispeed(tio, speed) == 0 && cfsetospeed(tio, speed) == 0;
}

//
// 'IsPseudoTerminal()' - Tell whether fd is a pseudo-terminal slave.
//

static bool IsPseudoTerminal(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
    return false;
  }
  unsigned device_major = major(info.st_rdev);
  return device_major >= kFirstPtyMajor && device_major <= kLastPtyMajor;
}

//
// 'CheckLineTaken()' - Compare the settings the port kept with those asked for: a port or
// adapter that cannot do a speed, 7 data bits, parity or RTS/CTS may keep its old value and
// tcsetattr() still succeeds. Returns false with the first setting refused in message.
//

static bool CheckLineTaken(int fd, const SerialLine &line, const struct termios &asked,
                           char *message, size_t message_size) {
  struct termios kept;
  if (tcgetattr(fd, &kept) != 0) {
    snprintf(message, message_size, "cannot read the line settings of %s back: %s", line.path,
             strerror(errno));
    return false;
  }

  const char *refused = nullptr;
  char setting[64];
  bool check_frame = !IsPseudoTerminal(fd);
  if (cfgetospeed(&kept) != cfgetospeed(&asked)) {
    snprintf(setting, sizeof(setting), "baud=%d", line.baud);
    refused = setting;
  } else if (check_frame && (kept.c_cflag & CSIZE) != (asked.c_cflag & CSIZE)) {
    snprintf(setting, sizeof(setting), "bits=%d", line.bits);
    refused = setting;
  } else if (check_frame &&
             (kept.c_cflag & (PARENB | PARODD)) != (asked.c_cflag & (PARENB | PARODD))) {
    snprintf(setting, sizeof(setting), "parity=%s",
             line.parity == 'E'   ? "even"
             : line.parity == 'O' ? "odd"
                                  : "none");
    refused = setting;
  } else if ((kept.c_cflag & CSTOPB) != (asked.c_cflag & CSTOPB)) {
    snprintf(setting, sizeof(setting), "stop=%d", line.stop_bits);
    refused = setting;
  } else if ((kept.c_cflag & CRTSCTS) != (asked.c_cflag & CRTSCTS)) {
    refused = "flow=hard (RTS/CTS)";
  }
  if (refused != nullptr) {
    snprintf(message, message_size, "%s does not take %s", line.path, refused);
    return false;
  }
  return true;
}

//
// 'OpenFailure()' - Word an open() error for the user.
//

static void OpenFailure(int error, const char *path, char *message, size_t message_size) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      snprintf(message, message_size,
               "%s does not exist (is the adapter plugged in? \"devices\" lists the ports)", path);
      break;
    case EACCES:
      snprintf(message, message_size,
               "no permission to open %s (the server's user must be in the port's group, "
               "usually \"dialout\")",
               path);
      break;
    case EPERM:
      // What a device not in the installed unit's DeviceAllow= list gets.
      snprintf(message, message_size,
               "%s may not be opened by this server (the installed service opens only ttyS, "
               "ttyUSB and ttyACM ports; others need a DeviceAllow= line in its unit)",
               path);
      break;
    case EBUSY:
      snprintf(message, message_size, "%s is in use by another printer or program", path);
      break;
    default:
      snprintf(message, message_size, "%s: %s", path, strerror(error));
      break;
  }
}

//
// 'KindOf()' - Name what a file that is not a terminal is, for the message that refuses it.
//

static const char *KindOf(mode_t mode) {
  if (S_ISREG(mode)) {
    return "a regular file";
  } else if (S_ISDIR(mode)) {
    return "a folder";
  } else if (S_ISFIFO(mode)) {
    return "a named pipe";
  } else if (S_ISSOCK(mode)) {
    return "a socket";
  } else if (S_ISCHR(mode)) {
    return "a device that is not a terminal";
  }
  return "not a character device";
}

//
// 'OpenPort()' - Open the port at path for reading and writing, only when it is a terminal.
// Returns the descriptor, or -1 with the reason in message.
//
// A URI names any path, and the server may run with more rights than its client: a path that
// is not a character device (a regular file, a folder) is refused from stat() alone, without
// being opened. A character device is opened, then fstat() on the descriptor makes sure it is
// still the device stat() saw (the path may have been replaced in between), and isatty() that
// it is a terminal, before anything is written or set on it. The open itself writes nothing.
//

static int OpenPort(const char *path, char *message, size_t message_size) {
  struct stat named;
  if (stat(path, &named) != 0) {
    OpenFailure(errno, path, message, message_size);
    return -1;
  }
  if (!S_ISCHR(named.st_mode)) {
    snprintf(message, message_size, "%s is not a serial port: it is %s", path,
             KindOf(named.st_mode));
    return -1;
  }

  // O_NONBLOCK: without CLOCAL yet, the open could wait for carrier; writes stay non-blocking.
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    OpenFailure(errno, path, message, message_size);
    return -1;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    snprintf(message, message_size, "%s: %s", path, strerror(errno));
  } else if (!S_ISCHR(opened.st_mode) || opened.st_rdev != named.st_rdev) {
    snprintf(message, message_size, "%s was replaced while it was being opened", path);
  } else if (!isatty(fd)) {
    snprintf(message, message_size, "%s is not a serial port: it is %s", path,
             KindOf(opened.st_mode));
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

//
// 'CheckSerialDeviceUri()' - Parse the URI and open and close its port.
//

bool CheckSerialDeviceUri(const char *uri, char *message, size_t message_size) {
  SerialLine line;
  if (!ParseSerialUri(uri, &line, message, message_size)) {
    return false;
  }
  int fd = OpenPort(line.path, message, message_size);
  if (fd < 0) {
    return false;
  }
  close(fd);
  return true;
}

//
// 'PreparePort()' - Lock the open port for this printer alone and set its line. Returns false
// with the reason in message.
//

static bool PreparePort(SerialPort *port, char *message, size_t message_size) {
  int fd = port->fd;
  const SerialLine &line = port->line;

  // flock() keeps a second printer (in this or another server, also run as root) off the port;
  // TIOCEXCL keeps other programs that are not run as root from opening it at all.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      snprintf(message, message_size, "%s is in use by another printer or program", line.path);
    } else {
      snprintf(message, message_size, "cannot lock %s: %s", line.path, strerror(errno));
    }
    return false;
  }
  ioctl(fd, TIOCEXCL);

  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) {
    snprintf(message, message_size, "cannot read the line settings of %s: %s", line.path,
             strerror(errno));
    return false;
  }
  if (!SetSerialTermios(line, &tio) || tcsetattr(fd, TCSANOW, &tio) != 0) {
    snprintf(message, message_size, "cannot set the line of %s: %s", line.path, strerror(errno));
    return false;
  }
  if (!CheckLineTaken(fd, line, tio, message, message_size)) {
    return false;
  }

  // DTR/DSR: raise DTR to say we are there; the printer holds DSR low while it cannot take data.
  // A port without modem lines (a pseudo-terminal, some adapters) cannot do it.
  if (line.flow == SerialFlow::kDtrDsr) {
    int lines;
    port->watch_dsr = ioctl(fd, TIOCMGET, &lines) == 0;
    if (port->watch_dsr) {
      int dtr = TIOCM_DTR;
      ioctl(fd, TIOCMBIS, &dtr);
    }
    size_t bytes_per_look = static_cast<size_t>(line.baud / kLineBitsPerByte / kDsrLooksPerSecond);
    port->dsr_chunk = std::max<size_t>(1, bytes_per_look);
  }

  // Not blocking: a write that finds the port's buffer full waits in poll(), a step at a time,
  // so that the job can give it up (SetSerialWriteWatch).
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    snprintf(message, message_size, "cannot set %s to non-blocking: %s", line.path,
             strerror(errno));
    return false;
  }
  tcflush(fd, TCIFLUSH);
  return true;
}

//
// 'CloseSerialPort()' - Release the port's lock, close it and free its record. Nothing of the
// line is restored. The kernel sends what it still holds before the last close completes,
// unless a write was given up on a line that took nothing: that is dropped, so that the close
// does not wait for it.
//

static void CloseSerialPort(SerialPort *port) {
  if (port->fd >= 0) {
    if (port->gave_up) {
      tcflush(port->fd, TCOFLUSH);
    }
    ioctl(port->fd, TIOCNXCL);
    flock(port->fd, LOCK_UN);
    close(port->fd);
  }
  delete port;
}

//
// 'OpenDevice()' - Open callback: parse the URI, open the port if it is a terminal, lock it
// and set its line.
// Failures are reported through the device's error callback.
//

static bool OpenDevice(pappl_device_t *device, const char *device_uri, const char *name) {
  (void)name;
  char message[1536];

  SerialPort *port = new (std::nothrow) SerialPort;
  if (port == nullptr) {
    papplDeviceError(device, "Unable to open serial port: out of memory.");
    return false;
  }
  if (!ParseSerialUri(device_uri, &port->line, message, sizeof(message))) {
    papplDeviceError(device, "Bad serial device URI \"%s\": %s.", device_uri, message);
    delete port;
    return false;
  }

  // Non-blocking from the open on: without CLOCAL yet, the open could wait for carrier, and
  // writes wait in steps of their own (WriteChunk).
  port->fd = OpenPort(port->line.path, message, sizeof(message));
  if (port->fd < 0) {
    papplDeviceError(device, "Unable to open serial port: %s.", message);
    delete port;
    return false;
  }
  if (!PreparePort(port, message, sizeof(message))) {
    papplDeviceError(device, "Unable to open serial port: %s.", message);
    CloseSerialPort(port);
    return false;
  }

  if (port->line.flow == SerialFlow::kDtrDsr && !port->watch_dsr) {
    papplDeviceError(device,
                     "Serial port %s has no modem lines: flow=dtrdsr cannot watch DSR there, so "
                     "the printer cannot hold the line.",
                     port->line.path);
  }
  papplDeviceSetData(device, port);
  return true;
}

//
// 'CloseDevice()' - Close callback.
//

static void CloseDevice(pappl_device_t *device) {
  SerialPort *port = static_cast<SerialPort *>(papplDeviceGetData(device));
  if (port != nullptr) {
    CloseSerialPort(port);
    papplDeviceSetData(device, nullptr);
  }
}

//
// 'PortFailed()' - Report that the port failed while writing, mark it failed and return -1.
// error is an errno value, or 0 when poll() saw the line hang up.
//

static ssize_t PortFailed(pappl_device_t *device, SerialPort *port, int error) {
  port->failed = true;
  if (error == 0 || error == EIO || error == ENXIO || error == ENODEV) {
    papplDeviceError(device,
                     "Serial port %s failed while printing: %s (the adapter was unplugged or the "
                     "line hung up).",
                     port->line.path, error ? strerror(error) : "hang-up");
  } else {
    papplDeviceError(device, "Serial port %s failed while printing: %s.", port->line.path,
                     strerror(error));
  }
  return -1;
}

//
// 'HungUp()' - Tell from poll()'s result whether the line is gone.
//

static bool HungUp(const struct pollfd &watch) {
  return (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

//
// 'LineWait' - How long the port has taken no byte, for its write watch.
//

namespace {

class LineWait {
 public:
  explicit LineWait(SerialPort *port) : port_(port) {}
  // A step went by without a byte taken from the writer: asks the watch; true when it gives
  // the write up (what the kernel holds for the port is then dropped). A port whose queue
  // shrank since the last step still moves (a UART lets a writer in only once its queue is
  // nearly empty, seconds at a low speed): that counts as bytes taken.
  bool GiveUp() {
    auto now = std::chrono::steady_clock::now();
    int queued = -1;
    if (ioctl(port_->fd, TIOCOUTQ, &queued) != 0) {
      queued = -1;
    }
    bool moving = waiting_ && queued >= 0 && queued < queued_;
    queued_ = queued;
    if (!waiting_ || moving) {
      if (moving) {
        Moved();
      }
      waiting_ = true;
      since_ = now;
    }
    if (port_->watch == nullptr) {
      return false;
    }
    long stalled_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since_).count());
    if (!port_->watch(port_->watch_context, std::max(1L, stalled_ms))) {
      return false;
    }
    port_->gave_up = true;
    tcflush(port_->fd, TCOFLUSH);
    return true;
  }
  // Bytes were taken: tells the watch, once after a wait.
  void Moved() {
    if (waiting_ && port_->watch != nullptr) {
      port_->watch(port_->watch_context, 0);
    }
    waiting_ = false;
  }

 private:
  SerialPort *port_;
  bool waiting_ = false;
  int queued_ = -1;  // bytes in the port's queue at the last step
  std::chrono::steady_clock::time_point since_;
};

}  // namespace

//
// 'GaveUp()' - Report a write the watch gave up and return false.
//

static bool GaveUp(pappl_device_t *device, SerialPort *port) {
  papplDeviceError(device,
                   "Serial port %s: the write was given up while the printer took no data "
                   "(the job was canceled or the server is stopping).",
                   port->line.path);
  return false;
}

//
// 'WaitForDsr()' - With flow=dtrdsr, wait while the printer holds DSR low. Returns false when
// the port failed (reported) or the watch gave the write up.
//

static bool WaitForDsr(pappl_device_t *device, SerialPort *port, LineWait &wait) {
  for (int looks = 0;; looks++) {
    int lines;
    if (ioctl(port->fd, TIOCMGET, &lines) != 0) {
      if (errno == EINTR) {
        continue;
      }
      PortFailed(device, port, errno);
      return false;
    }
    if (lines & TIOCM_DSR) {
      return true;
    }
    if (looks > 0 && looks % (kSerialWatchStepMs / kDsrPollMs) == 0 && wait.GiveUp()) {
      return GaveUp(device, port);
    }

    // poll() without events sleeps, and wakes early only when the line hangs up.
    struct pollfd watch = {port->fd, 0, 0};
    if (poll(&watch, 1, kDsrPollMs) > 0 && HungUp(watch)) {
      PortFailed(device, port, 0);
      return false;
    }
  }
}

//
// 'WriteChunk()' - Write all of count bytes, waiting while the port's buffer is full, a step
// at a time, asking the watch after each step without a byte taken. Returns false when the
// port failed (reported) or the watch gave the write up.
//

static bool WriteChunk(pappl_device_t *device, SerialPort *port, const unsigned char *bytes,
                       size_t count, LineWait &wait) {
  while (count > 0) {
    ssize_t written = write(port->fd, bytes, count);
    if (written > 0) {
      bytes += written;
      count -= static_cast<size_t>(written);
      wait.Moved();
      continue;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      PortFailed(device, port, errno);
      return false;
    }

    // Nothing went out: wait until the port takes data again, or hangs up.
    struct pollfd watch = {port->fd, POLLOUT, 0};
    int ready = poll(&watch, 1, kSerialWatchStepMs);
    if (ready < 0 && errno != EINTR) {
      PortFailed(device, port, errno);
      return false;
    }
    if (ready > 0 && HungUp(watch)) {
      PortFailed(device, port, 0);
      return false;
    }
    if (ready == 0 && wait.GiveUp()) {
      return GaveUp(device, port);
    }
  }
  return true;
}

//
// 'WriteDevice()' - Write callback: send all bytes, or return -1 when the port fails. With
// flow=dtrdsr the data goes out a tenth of a second at a time, each piece only when DSR is high
// and after the one before has left the port, so at most that much is on its way when the
// printer drops DSR.
//

static ssize_t WriteDevice(pappl_device_t *device, const void *buffer, size_t bytes) {
  SerialPort *port = static_cast<SerialPort *>(papplDeviceGetData(device));
  if (port == nullptr || port->failed || port->gave_up) {
    return -1;
  }

  const unsigned char *data = static_cast<const unsigned char *>(buffer);
  size_t left = bytes;
  LineWait wait(port);
  while (left > 0) {
    size_t chunk = port->watch_dsr ? std::min(left, port->dsr_chunk) : left;
    if (port->watch_dsr && !WaitForDsr(device, port, wait)) {
      return -1;
    }
    if (!WriteChunk(device, port, data, chunk, wait)) {
      return -1;
    }
    if (port->watch_dsr) {
      while (tcdrain(port->fd) != 0) {
        if (errno != EINTR) {
          return PortFailed(device, port, errno);
        }
      }
    }
    data += chunk;
    left -= chunk;
  }
  return static_cast<ssize_t>(bytes);
}

//
// 'ReadDevice()' - Read callback: return what the printer has sent (0 bytes when nothing has),
// without waiting; -1 when the port fails.
//

static ssize_t ReadDevice(pappl_device_t *device, void *buffer, size_t bytes) {
  SerialPort *port = static_cast<SerialPort *>(papplDeviceGetData(device));
  if (port == nullptr) {
    return -1;
  }
  for (;;) {
    ssize_t count = read(port->fd, buffer, bytes);
    if (count >= 0) {
      return count;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    if (errno != EINTR) {
      papplDeviceError(device, "Unable to read from serial port %s: %s.", port->line.path,
                       strerror(errno));
      return -1;
    }
  }
}

//
// 'StatusDevice()' - Status callback: offline when the line has hung up (adapter unplugged) or
// a write failed, otherwise nothing to report; a serial printer has no status channel. As
// papplDeviceFlush() does not return a failure, a caller can learn of one here.
//

static pappl_preason_t StatusDevice(pappl_device_t *device) {
  SerialPort *port = static_cast<SerialPort *>(papplDeviceGetData(device));
  if (port == nullptr) {
    return PAPPL_PREASON_NONE;
  }
  struct pollfd watch = {port->fd, 0, 0};
  if (port->failed || (poll(&watch, 1, 0) > 0 && HungUp(watch))) {
    return PAPPL_PREASON_OFFLINE;
  }
  return PAPPL_PREASON_NONE;
}

//
// 'SerialPortThere()' - Look the port's path up without opening it.
//

bool SerialPortThere(const char *uri, char *message, size_t message_size) {
  SerialLine line;
  char reason[512];
  struct stat info;
  if (!ParseSerialUri(uri, &line, reason, sizeof(reason)) || stat(line.path, &info) == 0 ||
      (errno != ENOENT && errno != ENODEV && errno != ENXIO && errno != ENOTDIR)) {
    return true;
  }
  snprintf(message, message_size,
           "The printer's port %s is not there: adapter unplugged or printer switched off?",
           line.path);
  return false;
}

//
// 'IdDevice()' - Device ID callback: a serial line has no IEEE-1284 device ID.
//

static char *IdDevice(pappl_device_t *device, char *buffer, size_t bufsize) {
  (void)device;
  if (buffer != nullptr && bufsize > 0) {
    buffer[0] = '\0';
  }
  return nullptr;
}

//
// 'IsUart()' - Tell whether /dev/NAME (a ttyS port) is a real UART: the kernel makes ttyS
// entries for ports that may not be there, with the type "unknown" (0). The type is read from
// sysfs, which needs no access to the port, or else with TIOCGSERIAL.
//

static bool IsUart(const char *name) {
  char path[300];
  snprintf(path, sizeof(path), "/sys/class/tty/%s/type", name);
  if (FILE *file = fopen(path, "r")) {
    int type = PORT_UNKNOWN;
    bool read = fscanf(file, "%d", &type) == 1;
    fclose(file);
    return read && type != PORT_UNKNOWN;
  }

  snprintf(path, sizeof(path), "/dev/%s", name);
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct serial_struct serial;
  bool uart = ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type != PORT_UNKNOWN;
  close(fd);
  return uart;
}

//
// 'FindPorts()' - Collect the serial ports in /dev: real ttyS UARTs, then USB adapters (ttyUSB,
// ttyACM), each family in number order.
//

static std::vector<PortName> FindPorts() {
  std::vector<PortName> ports;
  DIR *dev = opendir("/dev");
  if (dev == nullptr) {
    return ports;
  }
  while (struct dirent *entry = readdir(dev)) {
    for (int family = 0; family < static_cast<int>(std::size(kPortFamilies)); family++) {
      size_t prefix = strlen(kPortFamilies[family]);
      if (strncmp(entry->d_name, kPortFamilies[family], prefix) != 0) {
        continue;
      }
      long number = ReadCount(entry->d_name + prefix);
      if (number < 0 || (family == 0 && !IsUart(entry->d_name))) {
        continue;
      }
      ports.push_back(PortName{family, number, entry->d_name});
    }
  }
  closedir(dev);

  std::sort(ports.begin(), ports.end(), [](const PortName &a, const PortName &b) {
    return a.family != b.family ? a.family < b.family : a.number < b.number;
  });
  return ports;
}

//
// 'PortInfo()' - How the list names a port: "Serial Port #1" (ttyS0), "USB Serial Port ttyUSB0".
//

static std::string PortInfo(const PortName &port) {
  char info[256];
  if (port.family == 0) {
    snprintf(info, sizeof(info), "Serial Port #%ld", port.number + 1);
  } else {
    snprintf(info, sizeof(info), "USB Serial Port %s", port.name.c_str());
  }
  return info;
}

//
// 'ListSerialPorts()' - The ports the list offers, with their paths.
//

std::vector<SerialPortName> ListSerialPorts() {
  std::vector<SerialPortName> ports;
  for (const PortName &port : FindPorts()) {
    ports.push_back(SerialPortName{"/dev/" + port.name, PortInfo(port)});
  }
  return ports;
}

//
// 'ListDevices()' - List callback: offer each port as "Serial Port #1" (ttyS0) or "USB Serial
// Port ttyUSB0", with the URI "serial:/dev/NAME?baud=9600" and no device ID. Returns true when
// the callback asked to stop.
//

static bool ListDevices(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t err_cb,
                        void *err_data) {
  try {
    for (const PortName &port : FindPorts()) {
      char uri[300];
      snprintf(uri, sizeof(uri), "serial:/dev/%s?baud=%d", port.name.c_str(), kDefaultBaud);
      if ((*cb)(PortInfo(port).c_str(), uri, "", data)) {
        return true;
      }
    }
  } catch (const std::bad_alloc &) {
    if (err_cb != nullptr) {
      (*err_cb)("Unable to list serial ports: out of memory.", err_data);
    }
  }
  return false;
}

//
// 'AddSerialScheme()' - Register the serial scheme's callbacks with PAPPL, after its own schemes.
//

void AddSerialScheme() {
  // PAPPL 1.3.1 adds its own schemes only when it finds its scheme list empty. Asking about a
  // socket URI makes it add them now; a file: URI would not, as PAPPL answers those from the
  // file system alone.
  papplDeviceIsSupported("socket://localhost");
  papplDeviceAddScheme("serial", PAPPL_DEVTYPE_CUSTOM_LOCAL, ListDevices, OpenDevice, CloseDevice,
                       ReadDevice, WriteDevice, StatusDevice, IdDevice);
}

//
// 'SetSerialWriteWatch()' - Set the watch of the port's writes; with a new watch the port
// writes again after a write was given up.
//

void SetSerialWriteWatch(pappl_device_t *device, SerialWriteWatch watch, void *context) {
  SerialPort *port = static_cast<SerialPort *>(papplDeviceGetData(device));
  if (port == nullptr) {
    return;
  }
  port->watch = watch;
  port->watch_context = context;
  if (watch != nullptr) {
    port->gave_up = false;
  }
}
