//
// 'make_raster' - Write a CUPS raster stream of synthetic 8-bit grey pages on standard output.
//
// Usage: make_raster width height dpi pattern [pages]
//
// pattern is "photo", "text" or "white". Rows are made and written one at a time, so a page
// of any height costs one row of memory: the tall-page check feeds the filter 50,000 rows.
//

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <cups/raster.h>

#include "grey_page_header.h"
#include "synthetic_page.h"

int main(int argc, char *argv[]) {
  if (argc != 5 && argc != 6) {
    fputs("Usage: make_raster width height dpi photo|text|white [pages]\n", stderr);
    return 1;
  }
  const unsigned width = static_cast<unsigned>(strtoul(argv[1], nullptr, 10));
  const unsigned height = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
  const unsigned dpi = static_cast<unsigned>(strtoul(argv[3], nullptr, 10));
  const RowFiller fill = FillerFor(argv[4]);
  const unsigned pages = argc == 6 ? static_cast<unsigned>(strtoul(argv[5], nullptr, 10)) : 1;
  if (width == 0 || dpi == 0 || fill == nullptr) {
    fputs("make_raster: width and dpi must be positive, pattern photo, text or white\n", stderr);
    return 1;
  }

  cups_page_header2_t header = GreyPageHeader(width, height, dpi);

  cups_raster_t *raster = cupsRasterOpen(STDOUT_FILENO, CUPS_RASTER_WRITE);
  std::vector<unsigned char> row(width);
  for (unsigned page = 0; page < pages; page++) {
    cupsRasterWriteHeader2(raster, &header);
    for (unsigned y = 0; y < height; y++) {
      fill(width, y, row.data());
      if (cupsRasterWritePixels(raster, row.data(), width) == 0) {
        fputs("make_raster: the raster could not be written\n", stderr);
        cupsRasterClose(raster);
        return 1;
      }
    }
  }
  cupsRasterClose(raster);
  return 0;
}
