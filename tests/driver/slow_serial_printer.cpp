//
// A printer on a slow serial line: a pseudo-terminal drained at a fixed rate on a thread.
//

#include "slow_serial_printer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

// The printer takes its bytes in slices of this many milliseconds' worth.
constexpr int kSliceMilliseconds = 50;

static bool MakeRaw(int fd) {
  struct termios line;
  if (tcgetattr(fd, &line) != 0) {
    return false;
  }
  cfmakeraw(&line);
  return tcsetattr(fd, TCSANOW, &line) == 0;
}

// Opens a pseudo-terminal pair, both ends raw; the far end's descriptor, the port in *port.
static int OpenPair(std::string *port, int *port_fd) {
  int far = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (far < 0 || grantpt(far) != 0 || unlockpt(far) != 0 || !MakeRaw(far)) {
    if (far >= 0) {
      close(far);
    }
    return -1;
  }
  *port = ptsname(far);
  *port_fd = open(port->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*port_fd < 0 || !MakeRaw(*port_fd)) {
    close(far);
    return -1;
  }
  return far;
}

SlowSerialPrinter::SlowSerialPrinter(int bytes_per_second) {
  printer_ = OpenPair(&port_, &port_fd_);
  if (printer_ >= 0) {
    taker_ = std::thread([this, bytes_per_second] { Take(bytes_per_second); });
  }
}

SlowSerialPrinter::~SlowSerialPrinter() {
  stop_ = true;
  if (taker_.joinable()) {
    taker_.join();
  }
  if (port_fd_ >= 0) {
    close(port_fd_);
  }
  if (printer_ >= 0) {
    close(printer_);
  }
}

//
// 'Take()' - Read the line at the printer's pace: each slice, at most a slice's worth.
//

void SlowSerialPrinter::Take(int bytes_per_second) {
  const size_t slice = static_cast<size_t>(bytes_per_second) * kSliceMilliseconds / 1000;
  std::vector<char> buffer(slice);
  auto next = std::chrono::steady_clock::now();
  while (!stop_) {
    next += std::chrono::milliseconds(kSliceMilliseconds);
    size_t taken = 0;
    while (taken < slice) {
      pollfd ready{printer_, POLLIN, 0};
      if (poll(&ready, 1, 0) <= 0) {
        break;
      }
      ssize_t n = read(printer_, buffer.data(), slice - taken);
      if (n <= 0) {
        break;
      }
      taken += static_cast<size_t>(n);
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buffer.data(), static_cast<size_t>(n));
    }
    std::this_thread::sleep_until(next);
  }
}

size_t SlowSerialPrinter::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

std::string SlowSerialPrinter::Bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t SlowSerialPrinter::LineCapacity() {
  std::string port;
  int port_fd = -1;
  int far = OpenPair(&port, &port_fd);
  if (far < 0) {
    return 0;
  }
  fcntl(port_fd, F_SETFL, O_NONBLOCK);
  size_t held = 0;
  char chunk[1024] = {};
  ssize_t n;
  while ((n = write(port_fd, chunk, sizeof chunk)) > 0) {
    held += static_cast<size_t>(n);
  }
  close(port_fd);
  close(far);
  return held;
}
