//
// Rotated pages: print a portrait page of about 8 inches sideways, across the carriage.
//

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "job/job.h"
#include "output/output.h"

//
// 'IsRotatedPage()' - Whether the job asks for its own rotation and the page is in the window.
//
// The window is a portrait page height of a little under to a little over 8 inches: more than
// 1400 and at most 1499 rows at 180 dpi, more than 2800 and at most 2999 at 360.
//

bool IsRotatedPage(const char *job_options, const cups_page_header2_t &header,
                   const JobOptions &options) {
  if (strstr(job_options, "nopdfAutorotate") == nullptr &&
      strstr(job_options, "nopdfAutoRotate") == nullptr) {
    return false;
  }
  if (header.cupsHeight <= header.cupsWidth) {
    return false;
  }
  switch (options.xResolution) {
    case 360:
      return header.cupsHeight > 2800 && header.cupsHeight <= 2999;
    case 180:
      return header.cupsHeight > 1400 && header.cupsHeight <= 1499;
    default:
      return false;
  }
}

//
// 'Rotate90Image()' - Turn an image a quarter turn anticlockwise.
//
// The source has height rows of width bytes; the destination gets width rows of height bytes.
// Destination row j is source column width - 1 - j read from top to bottom, so the source's
// top-right corner lands top left.
//

void Rotate90Image(const unsigned char *source, unsigned char *destination, int width, int height) {
  for (int j = 0; j < width; j++) {
    unsigned char *out = destination + static_cast<size_t>(j) * height;
    const unsigned char *in = source + (width - 1 - j);
    for (int i = 0; i < height; i++) {
      out[i] = in[static_cast<size_t>(i) * width];
    }
  }
}

//
// 'PrintImage()' - Print a whole grey image as one page of bands; kJobFailed without memory.
//
// Unlike the streaming band loop, every band is sent, white or not, and no rows become feed.
//

JobStatus PrintImage(const unsigned char *image, int width, int height, const JobOptions &options) {
  std::vector<unsigned char> packed, grey;
  if (!ObtainBuffer(packed, kBytesPerColumn * static_cast<size_t>(width), 0) ||
      !ObtainBuffer(grey, kBandRows * static_cast<size_t>(width), 255)) {
    fputs("ERROR: Allocate memory failed.\n", stderr);
    return kJobFailed;
  }

  StartPage(options);
  fputs("INFO: Start Page.\n", stderr);

  int feed = options.topMargin;
  for (int r = 0; r < height; r += kBandRows) {
    std::fill(packed.begin(), packed.end(), 0);
    std::fill(grey.begin(), grey.end(), 255);
    int rows = std::min(kBandRows, height - r);
    memcpy(grey.data(), image + static_cast<size_t>(r) * width, static_cast<size_t>(rows) * width);

    if (options.yResolution == 180) {
      BinaryImage(width, grey.data(), packed.data(), kPrintLevel);
    } else {
      BinaryImageHold(width, grey.data(), packed.data(), kPrintLevel);
    }
    if (OutputBlockData(options.leftMargin, feed, width, packed.data(), options.xResolution) != 0) {
      fputs("ERROR: Allocate memory failed.\n", stderr);
      return kJobFailed;
    }
    feed = kBandRows;
  }

  fputs("INFO: End Page.\n", stderr);
  EndPage();
  return kJobOk;
}

//
// 'PrintRotatePage()' - Read a whole page, turn it and print it; kJobFailed without memory.
//
// At 360 dpi the page is halved both ways while it is read, as the band loop does. Rows the
// stream does not deliver stay white. The cancel flag is not polled: a page once begun here is
// printed whole.
//

JobStatus PrintRotatePage(cups_raster_t *raster, const cups_page_header2_t &header,
                          const JobOptions &options) {
  const bool merge = options.xResolution == 360;
  const unsigned rowBytes = header.cupsBytesPerLine;
  // The rotation window keeps both sides under 3000, so these products are small.
  const size_t width = merge ? (size_t{rowBytes} + 1) / 2 : rowBytes;
  const size_t height = merge ? (size_t{header.cupsHeight} + 1) / 2 : header.cupsHeight;

  std::vector<unsigned char> turned, page, first, second;
  if (!ObtainBuffer(turned, width * height, 255) || !ObtainBuffer(page, width * height, 255) ||
      (merge && (!ObtainBuffer(first, rowBytes, 0) || !ObtainBuffer(second, rowBytes, 0)))) {
    fputs("ERROR: Allocate memory failed.\n", stderr);
    return kJobFailed;
  }

  if (merge) {
    for (unsigned i = 0; i < header.cupsHeight; i += 2) {
      unsigned char *row = page.data() + (i / 2) * width;
      if (ReadMergedRow(raster, rowBytes, first.data(), second.data(), row) != kRowPair) {
        break;
      }
    }
  } else {
    for (unsigned i = 0; i < header.cupsHeight; i++) {
      unsigned char *row = page.data() + i * width;
      if (!cupsRasterReadPixels(raster, row, rowBytes)) {
        // A row cut off by the end of the stream stays white, like the rows after it.
        std::fill(row, row + rowBytes, 255);
        break;
      }
    }
  }

  Rotate90Image(page.data(), turned.data(), static_cast<int>(width), static_cast<int>(height));
  return PrintImage(turned.data(), static_cast<int>(height), static_cast<int>(width), options);
}
