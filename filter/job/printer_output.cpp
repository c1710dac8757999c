//
// Printer output: the filter's bytes on standard output, through a buffer of its own.
//

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/bands.h"
#include "job/job.h"

// Into a file the bytes go in large writes: a band is a few kilobytes, and a write per band
// would take longer than packing it.
constexpr size_t kFileBufferBytes = 64 * 1024;

// Towards a printer (a pipe to the backend, a serial line) the filter keeps little of its own,
// so that it waits while the line is busy instead of racing pages ahead of the paper.
constexpr size_t kLineBufferBytes = 4096;

//
// 'OpenPrinterOutput()' - Set up the output on fd with a buffer fit for what fd is.
//

void OpenPrinterOutput(PrinterOutput &output, int fd) {
  struct stat info;
  const bool known = fstat(fd, &info) == 0;
  const bool file = known && S_ISREG(info.st_mode);
  output.fd = fd;
  output.used = 0;
  // The pipe to the backend holds 64 KiB by default, a minute of printing; a page of it is
  // enough to keep the line busy. Where the size cannot be set, the default stays.
  if (known && S_ISFIFO(info.st_mode)) {
    fcntl(fd, F_SETPIPE_SZ, static_cast<int>(kLineBufferBytes));
  }
  // Should the buffer not be obtained, every write goes straight to fd.
  ObtainBuffer(output.buffer, file ? kFileBufferBytes : kLineBufferBytes, 0);
}

//
// 'WriteAll()' - Write every byte to fd; false on a real failure.
//
// A non-blocking descriptor is waited on until it takes more; an interrupted call is made
// again, so a cancel never drops bytes and leaves a hole in the printer's stream.
//

static bool WriteAll(int fd, const unsigned char *bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written > 0) {
      bytes += written;
      count -= static_cast<size_t>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd ready = {fd, POLLOUT, 0};
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
        return false;
      }
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

//
// 'WriteBuffered()' - The sink's write: gather small writes, pass large ones straight on.
//

static bool WriteBuffered(void *context, const unsigned char *bytes, size_t count) {
  PrinterOutput &output = *static_cast<PrinterOutput *>(context);
  if (count == 0) {
    return true;
  }
  const size_t capacity = output.buffer.size();
  if (output.used + count > capacity) {
    if (!WriteAll(output.fd, output.buffer.data(), output.used)) {
      return false;
    }
    output.used = 0;
    if (count >= capacity) {
      return WriteAll(output.fd, bytes, count);
    }
  }
  memcpy(output.buffer.data() + output.used, bytes, count);
  output.used += count;
  return true;
}

PrinterSink PrinterOutputSink(PrinterOutput &output) {
  return PrinterSink{&output, WriteBuffered, nullptr, nullptr, false};
}

//
// 'FlushPrinterOutput()' - Write what the buffer holds; false when the output failed.
//

bool FlushPrinterOutput(PrinterOutput &output, PrinterSink &sink) {
  if (!sink.failed && !WriteAll(output.fd, output.buffer.data(), output.used)) {
    sink.failed = true;
  }
  output.used = 0;
  return !sink.failed;
}
