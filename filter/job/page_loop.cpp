//
// Page loop: read raster pages one header at a time and print each band by band.
//

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "job/job.h"
#include "output/output.h"

volatile sig_atomic_t g_canceled = 0;

//
// 'CancelJob()' - Note that the scheduler has cancelled the job (SIGTERM).
//

void CancelJob(int /*signal_number*/) {
  g_canceled = 1;
}

//
// 'log_header()' - Log the page header fields that decide how the page is read.
//

void log_header(const cups_page_header2_t &header) {
  fprintf(stderr, "cupsBitsPerColor: %d.\n", static_cast<int>(header.cupsBitsPerColor));
  fprintf(stderr, "cupsBitsPerPixel: %d.\n", static_cast<int>(header.cupsBitsPerPixel));
  fprintf(stderr, "cupsBytesPerLine: %d.\n", static_cast<int>(header.cupsBytesPerLine));
  fprintf(stderr, "cupsHeight: %d.\n", static_cast<int>(header.cupsHeight));
  fprintf(stderr, "cupsWidth: %d.\n", static_cast<int>(header.cupsWidth));
}

//
// 'CheckPageHeader()' - Refuse a page that is not 8-bit grey with one byte per pixel.
//
// libcups accepts headers that no renderer writes; every size the filter computes rests on
// these three facts, so a page that breaks one ends the job before anything is allocated.
//

static bool CheckPageHeader(const cups_page_header2_t &header) {
  if (header.cupsBitsPerPixel != 8) {
    fprintf(stderr, "ERROR: Unsupported raster format: %d bits per pixel.\n",
            static_cast<int>(header.cupsBitsPerPixel));
    return false;
  }
  // The colour space field holds whatever 32 bits the stream carried, and most of those
  // values are no cups_cspace_t: it is read as the integer it is, not as the enumeration.
  static_assert(sizeof header.cupsColorSpace == sizeof(uint32_t), "a 32-bit header field");
  uint32_t colorSpace;
  memcpy(&colorSpace, &header.cupsColorSpace, sizeof colorSpace);
  if (colorSpace != CUPS_CSPACE_W && colorSpace != CUPS_CSPACE_SW) {
    fprintf(stderr, "ERROR: Unsupported raster color space: %d.\n", static_cast<int>(colorSpace));
    return false;
  }
  if (header.cupsBytesPerLine != header.cupsWidth) {
    fputs("ERROR: Invalid raster page header.\n", stderr);
    return false;
  }
  return true;
}

// Rows are tested for white in chunks of this many bytes, one vector compare each.
constexpr int kBlankChunk = 64;

//
// 'isBlankRow()' - Return 1 when every pixel of the row is white (255), otherwise 0.
//
// Each chunk's pixels are ANDed together, which stays 255 only when all of them are 255; a
// chunk with ink ends the test. The last few pixels are tested one by one.
//

int isBlankRow(int length, const unsigned char *row) {
  int i = 0;
  for (; i + kBlankChunk <= length; i += kBlankChunk) {
    unsigned char all = 255;
    for (int j = 0; j < kBlankChunk; j++) {
      all &= row[i + j];
    }
    if (all != 255) {
      return 0;
    }
  }
  for (; i < length; i++) {
    if (row[i] != 255) {
      return 0;
    }
  }
  return 1;
}

// Rows are merged in chunks of this many output pixels, each built in a local array that no
// input row can overlap: the chunk loops vectorise without run-time checks, at -O2 as at -O3.
constexpr int kMergeChunk = 64;

//
// 'MergeLineData()' - Keep the darker pixel of each vertical pair of 360 dpi rows.
//
// output may be first itself: each pixel is written after both inputs are read.
//

void MergeLineData(const unsigned char *first, const unsigned char *second, unsigned char *output,
                   int length) {
  int i = 0;
  for (; i + kMergeChunk <= length; i += kMergeChunk) {
    unsigned char darker[kMergeChunk];
    for (int j = 0; j < kMergeChunk; j++) {
      darker[j] = std::min(first[i + j], second[i + j]);
    }
    memcpy(output + i, darker, kMergeChunk);
  }
  for (; i < length; i++) {
    output[i] = std::min(first[i], second[i]);
  }
}

//
// 'MergeColumnData()' - Halve a row across: each output pixel is the mean of a pixel pair.
//
// An odd last pixel has no partner and is copied; (length + 1) / 2 pixels are written.
//

void MergeColumnData(const unsigned char *input, unsigned char *output, int length) {
  int i = 0;
  for (; 2 * (i + kMergeChunk) <= length; i += kMergeChunk) {
    const unsigned char *pairs = input + 2 * i;
    unsigned char halved[kMergeChunk];
    for (int j = 0; j < kMergeChunk; j++) {
      halved[j] = static_cast<unsigned char>((pairs[2 * j] + pairs[2 * j + 1]) / 2);
    }
    memcpy(output + i, halved, kMergeChunk);
  }
  for (; 2 * i + 1 < length; i++) {
    output[i] = static_cast<unsigned char>((input[2 * i] + input[2 * i + 1]) / 2);
  }
  if (length > 0 && length % 2 == 1) {
    output[i] = input[length - 1];
  }
}

//
// 'ReadMergedRow()' - Read two 360 dpi raster rows and make one band row of half the width.
//
// first and second hold rowBytes bytes each; output receives (rowBytes + 1) / 2. When only one
// row is left, it is halved alone into output.
//

MergedRow ReadMergedRow(cups_raster_t *raster, unsigned rowBytes, unsigned char *first,
                        unsigned char *second, unsigned char *output) {
  const int length = static_cast<int>(rowBytes);
  if (!cupsRasterReadPixels(raster, first, rowBytes)) {
    return kNoRow;
  }
  if (!cupsRasterReadPixels(raster, second, rowBytes)) {
    MergeColumnData(first, output, length);
    return kLastRowAlone;
  }
  MergeLineData(first, second, first, length);
  MergeColumnData(first, output, length);
  return kRowPair;
}

// The feed is kept wide while rows add to it and held to an int when the band is sent.
static int FeedArgument(int64_t feed) {
  return static_cast<int>(std::min<int64_t>(feed, INT_MAX));
}

//
// 'PrintBandPage()' - Print one page band by band; kJobFailed when the job must end.
//
// Leading white rows of a band are not printed but added to the feed, so a band starts at the
// first row with ink after the previous band. At 360 dpi across, two raster rows make one band
// row (the darker of each pair, then halved across) and band rows are counted against the
// page height, so the page's rows run out before that bound is reached.
//

static JobStatus PrintBandPage(cups_raster_t *raster, const cups_page_header2_t &header,
                               const JobOptions &options) {
  const bool merge = options.xResolution == 360;
  const unsigned rowBytes = header.cupsBytesPerLine;
  const uint64_t width = merge ? (uint64_t{rowBytes} + 1) / 2 : rowBytes;
  if (width > kMaxBandColumns) {
    fputs("ERROR: The page is too wide for the printer.\n", stderr);
    return kJobFailed;
  }
  const int bandWidth = static_cast<int>(width);

  std::vector<unsigned char> grey, packed, first, second;
  if (!ObtainBuffer(grey, kBandRows * width, 255) ||
      !ObtainBuffer(packed, kBytesPerColumn * width, 0) ||
      (merge && (!ObtainBuffer(first, rowBytes, 0) || !ObtainBuffer(second, rowBytes, 0)))) {
    fputs("ERROR: Allocate memory failed.\n", stderr);
    return kJobFailed;
  }

  int64_t feed = options.topMargin;
  uint64_t pageRow = 0;
  StartPage(options);

  while (pageRow < header.cupsHeight && !g_canceled) {
    // Gather up to 24 band rows, dropping white rows while the band is still empty. Each
    // row read overwrites its place in the grey band; image rows counts those that hold image,
    // an odd last row at 360 dpi included.
    int bandRows = 0;
    int imageRows = 0;
    while (bandRows < kBandRows && pageRow + bandRows < header.cupsHeight) {
      unsigned char *row = grey.data() + static_cast<size_t>(bandRows) * bandWidth;
      if (merge) {
        // An odd last raster row is printed alone with the band, if the band has rows.
        MergedRow got = ReadMergedRow(raster, rowBytes, first.data(), second.data(), row);
        if (got != kRowPair) {
          imageRows = got == kLastRowAlone ? bandRows + 1 : bandRows;
          break;
        }
      } else if (!cupsRasterReadPixels(raster, row, rowBytes)) {
        // libcups may have filled part of a row cut off by the end of the stream; that row
        // is not image and is made white below.
        imageRows = bandRows;
        break;
      }

      if (bandRows == 0 && isBlankRow(bandWidth, row)) {
        feed++;
        pageRow++;
      } else {
        bandRows++;
        imageRows = bandRows;
      }
    }
    if (bandRows == 0) {
      break;
    }

    // The rows the band did not gather print white.
    std::fill(grey.begin() + static_cast<ptrdiff_t>(imageRows) * bandWidth, grey.end(), 255);
    std::fill(packed.begin(), packed.end(), 0);
    if (options.yResolution == 180) {
      BinaryImage(bandWidth, grey.data(), packed.data(), kPrintLevel);
    } else {
      BinaryImageHold(bandWidth, grey.data(), packed.data(), kPrintLevel);
    }
    if (OutputBlockData(options.leftMargin, FeedArgument(feed), bandWidth, packed.data(),
                        options.xResolution) != 0) {
      fputs("ERROR: Allocate memory failed.\n", stderr);
      return kJobFailed;
    }
    feed = kBandRows;
    pageRow += kBandRows;
  }

  fputs("INFO: End Page.\n", stderr);
  EndPage();
  return kJobOk;
}

//
// 'PrintPages()' - Print every page of the raster stream; kJobFailed when a page ended the job.
//
// Pages that the job asks to turn go to the rotated-page path and are not counted in the
// "PAGE:" lines. A cancel ends the job at the next header read or band.
//

JobStatus PrintPages(cups_raster_t *raster, const JobOptions &options, const char *job_options) {
  cups_page_header2_t header;
  int pageNumber = 0;

  while (cupsRasterReadHeader2(raster, &header)) {
    if (g_canceled) {
      break;
    }
    log_header(header);
    if (!CheckPageHeader(header)) {
      return kJobFailed;
    }

    if (IsRotatedPage(job_options, header, options)) {
      fputs("Print rotate page\n", stderr);
      if (PrintRotatePage(raster, header, options) != kJobOk) {
        return kJobFailed;
      }
      continue;
    }

    pageNumber++;
    fprintf(stderr, "PAGE: %d %d\n", pageNumber, static_cast<int>(header.NumCopies));
    fprintf(stderr, "INFO: Starting page %d.\n", pageNumber);
    if (PrintBandPage(raster, header, options) != kJobOk) {
      return kJobFailed;
    }
  }
  return kJobOk;
}
