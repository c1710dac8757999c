//
// 'raster_floor' - Read every row of a CUPS raster stream and do nothing else.
//
// Usage: raster_floor job-id user title copies options [file]
//
// The floor under every raster filter: it is started like a filter, reads the same stream
// through libcups row by row and throws the rows away. A filter cannot be faster. At the end
// one line on standard error says how much was read, so that a run can be checked.
//

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include <cups/raster.h>

int main(int argc, char *argv[]) {
  if (argc != 6 && argc != 7) {
    fputs("Usage: raster_floor job-id user title copies options [file]\n", stderr);
    return 1;
  }
  int fd = 0;
  if (argc == 7 && (fd = open(argv[6], O_RDONLY)) < 0) {
    perror(argv[6]);
    return 1;
  }

  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  std::vector<unsigned char> row;
  unsigned long pages = 0;
  unsigned long long rows = 0;
  unsigned long long bytes = 0;
  while (cupsRasterReadHeader2(raster, &header)) {
    pages++;
    row.resize(header.cupsBytesPerLine);
    for (unsigned y = 0; y < header.cupsHeight; y++) {
      if (!cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine)) {
        break;
      }
      rows++;
      bytes += header.cupsBytesPerLine;
    }
  }
  cupsRasterClose(raster);
  if (fd != 0) {
    close(fd);
  }

  fprintf(stderr, "INFO: Read %lu pages, %llu rows, %llu bytes.\n", pages, rows, bytes);
  return 0;
}
