//
// Turned pages: a portrait page of about 8 inches printed sideways, across the carriage.
//

#include <algorithm>
#include <cstring>

#include "engine/bands.h"

//
// 'IsRotatedPage()' - Whether the job asks for turned pages and the page is in the window.
//
// The window is a portrait page height of a little under to a little over 8 inches: more than
// 1400 and at most 1499 rows at 180 dpi, more than 2800 and at most 2999 at 360.
//

bool IsRotatedPage(const JobOptions &options, uint32_t width, uint32_t height) {
  if (!options.turnPages || height <= width) {
    return false;
  }
  switch (options.xResolution) {
    case 360:
      return height > 2800 && height <= 2999;
    case 180:
      return height > 1400 && height <= 1499;
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
// 'PrintImageBands()' - Print a whole grey image as one page with the page's band buffers.
//
// The page's options, progress and paper position are the writer's; the page ends as its
// options say (EndForm).
//

static PrintStatus PrintImageBands(const unsigned char *image, int width, int height,
                                   BandWriter &page, PrinterSink &sink) {
  const JobOptions &options = page.options;
  PrintStatus status = StartPage(options, sink);
  int feed = options.topMargin;
  for (int r = 0; r < height && status == kPrintOk; r += kBandRows) {
    // A cancel stops the page between bands, as on an upright page.
    if (sink.canceled != nullptr && sink.canceled(sink.context)) {
      return EndForm(page, sink) == kPrintOk ? kPrintCanceled : kPrintWriteFailed;
    }
    std::fill(page.packed.begin(), page.packed.end(), 0);
    std::fill(page.grey.begin(), page.grey.end(), 255);
    const int rows = std::min(kBandRows, height - r);
    // A page of no rows turns into bands of no columns, which have no buffer to copy into.
    if (width > 0) {
      memcpy(page.grey.data(), image + static_cast<size_t>(r) * width,
             static_cast<size_t>(rows) * width);
    }

    if (options.yResolution == 180) {
      BinaryImage(width, page.grey.data(), page.packed.data(), kPrintLevel);
    } else {
      BinaryImageHold(width, page.grey.data(), page.packed.data(), kPrintLevel);
    }
    status = OutputBlockData(sink, options.leftMargin, feed, width, page.packed.data(),
                             options.xResolution);
    if (status == kPrintOk) {
      page.paperFed += FeedUnits(feed) * kStepsPerUnit;
    }
    feed = kBandRows;
    ReportProgress(sink, page.progressShown, static_cast<uint64_t>(r + rows),
                   static_cast<uint64_t>(height));
  }
  return status == kPrintOk ? EndForm(page, sink) : status;
}

//
// 'PrintImage()' - Print a whole grey image as one page of bands.
//
// Unlike the streaming band loop, every band is sent, white or not, and no rows become feed.
// A cancel ends the page between bands with its form feed (kPrintCanceled). Returns
// kPrintNoMemory when its band buffers cannot be obtained (nothing is written then).
//

PrintStatus PrintImage(const unsigned char *image, int width, int height, const JobOptions &options,
                       PrinterSink &sink) {
  BandWriter page = {};
  page.options = options;
  if (!ObtainBuffer(page.packed, kBytesPerColumn * static_cast<size_t>(width), 0) ||
      !ObtainBuffer(page.grey, kBandRows * static_cast<size_t>(width), 255)) {
    return kPrintNoMemory;
  }
  return PrintImageBands(image, width, height, page, sink);
}

//
// 'StartTurnedPage()' - Obtain what a turned page needs: the page image, the turned image,
// a row buffer (two at 360, for the row pairs) and one band of the turned width.
//
// Everything is obtained before the first row is read, so a page that cannot be printed is
// refused before any of it is. At 360 the page is halved both ways as it is read.
//

PrintStatus StartTurnedPage(BandWriter &page) {
  const uint64_t width = page.merge ? (uint64_t{page.rowBytes} + 1) / 2 : page.rowBytes;
  const uint64_t height = page.merge ? (uint64_t{page.rows} + 1) / 2 : page.rows;
  // Turned, the page's height runs along the print line. The rotation window keeps both
  // sides under 3000; a caller that turns a larger page is refused here.
  if (width > kMaxBandColumns || height > kMaxBandColumns) {
    return kPrintTooWide;
  }
  page.imageWidth = width;
  page.imageHeight = height;
  page.imageRow = 0;
  page.bandWidth = static_cast<int>(height);
  if (!ObtainBuffer(page.turnedImage, width * height, 255) ||
      !ObtainBuffer(page.image, width * height, 255) ||
      !ObtainBuffer(page.first, page.rowBytes, 0) ||
      (page.merge && !ObtainBuffer(page.second, page.rowBytes, 0)) ||
      !ObtainBuffer(page.packed, kBytesPerColumn * height, 0) ||
      !ObtainBuffer(page.grey, kBandRows * height, 255)) {
    return kPrintNoMemory;
  }
  return kPrintOk;
}

//
// 'NextTurnedRow()' - Where the next row of a turned page may be read: its page-image row, or
// the row pair at 360. Past the page's last image row, the first row buffer serves.
//

unsigned char *NextTurnedRow(BandWriter &page) {
  if (page.merge) {
    return page.pairWaiting ? page.second.data() : page.first.data();
  }
  if (page.imageRow < page.imageHeight) {
    return page.image.data() + page.imageRow * page.imageWidth;
  }
  return page.first.data();
}

//
// 'AddTurnedRow()' - Put a raster row into the page image, merging row pairs at 360.
//

void AddTurnedRow(BandWriter &page, const unsigned char *row) {
  if (page.imageRow >= page.imageHeight) {
    return;
  }
  unsigned char *imageRow = page.image.data() + page.imageRow * page.imageWidth;
  if (page.merge) {
    if (!page.pairWaiting) {
      if (row != page.first.data()) {
        memcpy(page.first.data(), row, page.rowBytes);
      }
      page.pairWaiting = true;
      return;
    }
    page.pairWaiting = false;
    const int length = static_cast<int>(page.rowBytes);
    MergeLineData(page.first.data(), row, page.first.data(), length);
    MergeColumnData(page.first.data(), imageRow, length);
  } else if (row != imageRow) {
    memcpy(imageRow, row, page.rowBytes);
  }
  page.imageRow++;
}

//
// 'EndTurnedPage()' - Turn the page image a quarter turn and print it.
//
// Rows the input did not deliver stay white; a row cut off by the end of the input may have
// been partly read into the first of them and is made white again. An odd last row at 360 is
// halved alone into the last image row.
//

PrintStatus EndTurnedPage(BandWriter &page, PrinterSink &sink) {
  if (page.status == kPrintOk && page.imageRow < page.imageHeight) {
    unsigned char *imageRow = page.image.data() + page.imageRow * page.imageWidth;
    if (page.pairWaiting) {
      MergeColumnData(page.first.data(), imageRow, static_cast<int>(page.rowBytes));
      page.pairWaiting = false;
    } else {
      std::fill(imageRow, imageRow + page.imageWidth, 255);
    }
  }
  const int width = static_cast<int>(page.imageWidth);
  const int height = static_cast<int>(page.imageHeight);
  Rotate90Image(page.image.data(), page.turnedImage.data(), width, height);
  return PrintImageBands(page.turnedImage.data(), height, width, page, sink);
}
