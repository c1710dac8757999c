//
// A printer on a slow line, for the tests: a pseudo-terminal in raw mode whose far side the
// test reads at a set pace, as a serial printer takes its bytes. Writers to the port wait for
// the reads as they wait for a serial line.
//

#ifndef QUILLMARSH_TESTS_SUPPORT_SLOW_PORT_H
#define QUILLMARSH_TESTS_SUPPORT_SLOW_PORT_H

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SlowPort {
 public:
  // Reads at most bytes_per_tick every tick of tick_ms milliseconds.
  SlowPort(size_t bytes_per_tick, int tick_ms);
  ~SlowPort();
  SlowPort(const SlowPort &) = delete;
  SlowPort &operator=(const SlowPort &) = delete;

  bool ok() const {
    return slave_ >= 0;
  }
  const std::string &Path() const {  // /dev/pts/N, what a writer opens
    return path_;
  }
  std::string Uri() const;  // file:///dev/pts/N
  // Hands the port to the user a server runs as; false when it cannot.
  bool GiveTo(uid_t uid, gid_t gid) const;

  // Everything written to the port that it has read so far.
  std::vector<unsigned char> Received() const;
  size_t ReceivedCount() const;
  // Waits until at least count bytes have arrived.
  bool WaitForBytes(size_t count, int timeout_seconds) const;
  // Reads as fast as the bytes come until the port holds nothing more (call once the jobs
  // that wrote have ended).
  bool Drain(int timeout_seconds);
  // Reads at most bytes_per_tick every tick; 0 pauses the port (writers wait).
  void SetPace(size_t bytes_per_tick);
  // Reads as fast as the bytes come.
  void Unthrottle();
  // Closes the reading side, like an adapter pulled out: writes to the port fail.
  void Unplug();

  // How many bytes a pseudo-terminal holds between its two sides: what lies on the way to the
  // printer beyond anything a writer keeps.
  static size_t LineCapacity();

 private:
  static constexpr size_t kReadBytes = 65536;
  void Serve();

  int master_ = -1, slave_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> bytes_per_tick_;
  std::atomic<size_t> reads_{0};
  int tick_ms_;
  mutable std::mutex mutex_;
  std::vector<unsigned char> received_;
  std::thread thread_;
};

#endif  // QUILLMARSH_TESTS_SUPPORT_SLOW_PORT_H
