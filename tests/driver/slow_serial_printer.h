//
// A printer on a slow serial line, for the driver tests: a pseudo-terminal whose far end takes
// bytes only as fast as the printer would print them.
//

#ifndef QUILLMARSH_TESTS_DRIVER_SLOW_SERIAL_PRINTER_H
#define QUILLMARSH_TESTS_DRIVER_SLOW_SERIAL_PRINTER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class SlowSerialPrinter {
 public:
  // Opens the pseudo-terminal pair, both ends raw, and starts taking bytes_per_second.
  explicit SlowSerialPrinter(int bytes_per_second);
  ~SlowSerialPrinter();
  SlowSerialPrinter(const SlowSerialPrinter &) = delete;
  SlowSerialPrinter &operator=(const SlowSerialPrinter &) = delete;

  bool ok() const {
    return printer_ >= 0;
  }
  // The port a serial backend opens: serial:PORT?baud=...
  const std::string &port() const {
    return port_;
  }
  size_t Received() const;
  std::string Bytes() const;

  // How many bytes a pseudo-terminal holds between its two ends: what lies on the way to the
  // printer beyond anything a backend or filter keeps.
  static size_t LineCapacity();

 private:
  void Take(int bytes_per_second);

  int printer_ = -1;  // the far end, read here
  int port_fd_ = -1;  // the port end, held open so the line stays up between jobs
  std::string port_;
  mutable std::mutex mutex_;
  std::string received_;
  std::atomic<bool> stop_{false};
  std::thread taker_;
};

#endif  // QUILLMARSH_TESTS_DRIVER_SLOW_SERIAL_PRINTER_H
