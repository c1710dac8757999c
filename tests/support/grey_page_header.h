//
// The page header of an 8-bit grey raster page, as the CUPS renderers write it for this printer:
// shared by the tests, the fuzz seed generator and the benchmark's raster writer.
//

#ifndef QUILLMARSH_TESTS_SUPPORT_GREY_PAGE_HEADER_H
#define QUILLMARSH_TESTS_SUPPORT_GREY_PAGE_HEADER_H

#include <cstring>

#include <cups/raster.h>

inline cups_page_header2_t GreyPageHeader(unsigned width, unsigned height, unsigned resolution) {
  cups_page_header2_t h;
  memset(&h, 0, sizeof h);
  strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = resolution;
  h.HWResolution[1] = resolution;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsBytesPerLine = width;
  h.cupsBitsPerColor = 8;
  h.cupsBitsPerPixel = 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = CUPS_CSPACE_W;
  h.cupsNumColors = 1;
  h.NumCopies = 1;
  return h;
}

#endif  // QUILLMARSH_TESTS_SUPPORT_GREY_PAGE_HEADER_H
