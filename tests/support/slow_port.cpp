//
// A printer on a slow line: a raw pseudo-terminal read at a set pace on a thread of its own.
//

#include "slow_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

SlowPort::SlowPort(size_t bytes_per_tick, int tick_ms)
    : bytes_per_tick_(bytes_per_tick), tick_ms_(tick_ms) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    perror("posix_openpt");
    return;
  }
  path_ = ptsname(master_);
  // The printer's side takes bytes as they are: no line discipline, no newline translation.
  // Our own descriptor keeps the terminal and its settings while the server opens and
  // closes it.
  slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios raw;
  if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
    perror(path_.c_str());
    return;
  }
  cfmakeraw(&raw);
  if (tcsetattr(slave_, TCSANOW, &raw) != 0) {
    perror(path_.c_str());
  }
  thread_ = std::thread(&SlowPort::Serve, this);
}

SlowPort::~SlowPort() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  Unplug();
  if (slave_ >= 0) {
    close(slave_);
  }
}

std::string SlowPort::Uri() const {
  return "file://" + path_;
}

bool SlowPort::GiveTo(uid_t uid, gid_t gid) const {
  return chown(path_.c_str(), uid, gid) == 0;
}

std::vector<unsigned char> SlowPort::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t SlowPort::ReceivedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

bool SlowPort::WaitForBytes(size_t count, int timeout_seconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (ReceivedCount() < count) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    usleep(10000);
  }
  return true;
}

bool SlowPort::Drain(int timeout_seconds) {
  Unthrottle();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  size_t before = reads_;
  for (;;) {
    int waiting = 0;
    // Empty once a read cycle has passed since the pty held nothing.
    if (ioctl(master_, FIONREAD, &waiting) == 0 && waiting == 0 && reads_ >= before + 2) {
      return true;
    }
    if (waiting > 0) {
      before = reads_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    usleep(10000);
  }
}

void SlowPort::Unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

void SlowPort::SetPace(size_t bytes_per_tick) {
  bytes_per_tick_ = bytes_per_tick;
}

void SlowPort::Unthrottle() {
  bytes_per_tick_ = kReadBytes;
}

//
// 'SlowPort::Serve()' - Read the printer's side at the set pace until stopped or unplugged.
//

void SlowPort::Serve() {
  std::vector<unsigned char> buffer(kReadBytes);
  while (!stop_) {
    size_t want = std::min(buffer.size(), bytes_per_tick_.load());
    int fd;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fd = master_;
    }
    if (fd < 0) {
      break;  // unplugged
    }
    if (want > 0) {
      struct pollfd data = {fd, POLLIN, 0};
      if (poll(&data, 1, tick_ms_) > 0 && (data.revents & POLLIN)) {
        ssize_t n = read(fd, buffer.data(), want);
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          received_.insert(received_.end(), buffer.begin(), buffer.begin() + n);
        }
      }
    }
    reads_++;
    usleep(static_cast<useconds_t>(tick_ms_) * 1000);
  }
}

size_t SlowPort::LineCapacity() {
  SlowPort port(0, 10);
  int writer = open(port.Path().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (!port.ok() || writer < 0) {
    return 0;
  }
  size_t held = 0;
  char chunk[1024] = {};
  ssize_t n;
  while ((n = write(writer, chunk, sizeof chunk)) > 0) {
    held += static_cast<size_t>(n);
  }
  close(writer);
  return held;
}
