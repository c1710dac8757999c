//
// Raster input: the job's raster stream read through libcups from a descriptor of our own
// reading, so that the job knows whether its input ended or was left unread.
//

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "job/job.h"

//
// 'ReadInput()' - libcups's read callback: read from the descriptor, noting its end and errors.
//
// An interrupted read (a cancel arriving) is made again; it is no error.
//

static ssize_t ReadInput(void *context, unsigned char *buffer, size_t bytes) {
  RasterInput &input = *static_cast<RasterInput *>(context);
  for (;;) {
    const ssize_t got = read(input.fd, buffer, bytes);
    if (got > 0) {
      return got;
    }
    if (got == 0) {
      input.ended = true;
      return 0;
    }
    if (errno != EINTR) {
      input.failed = true;
      return -1;
    }
  }
}

//
// 'OpenRasterInput()' - Open the raster stream on fd; the handle is null when the input does
// not begin like a raster stream (it then holds no pages).
//

void OpenRasterInput(RasterInput &input, int fd) {
  input.fd = fd;
  input.ended = false;
  input.failed = false;
  input.headers = 0;
  input.raster = cupsRasterOpenIO(ReadInput, &input, CUPS_RASTER_READ);
}

void CloseRasterInput(RasterInput &input) {
  cupsRasterClose(input.raster);
  input.raster = nullptr;
}

//
// 'ReadPageHeader()' - Read the next page header; false when no page follows.
//

bool ReadPageHeader(RasterInput &input, cups_page_header2_t &header) {
  if (input.raster == nullptr || !cupsRasterReadHeader2(input.raster, &header)) {
    return false;
  }
  input.headers++;
  return true;
}

//
// 'CheckInputEnd()' - Whether the input ended where it should, once no page follows; reports
// a failed read or bytes that libcups left unread, and returns false then.
//
// libcups says only that no page follows: at the end of the input, at a page header it
// rejects, after a page whose row data misaligned the stream, or at a second stream appended
// to the first. Only in the first case has a read found the end; in the others the later pages
// would vanish without a word. An input that simply ends, inside a page, inside a header or at
// once, is no damage.
//

bool CheckInputEnd(const RasterInput &input) {
  if (input.failed) {
    fputs("ERROR: Unable to read the raster data.\n", stderr);
    return false;
  }
  if (!input.ended) {
    fprintf(stderr, "ERROR: The raster data is damaged after page %d.\n", input.headers);
    return false;
  }
  return true;
}
