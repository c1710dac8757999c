//
// The band writer: a page's raster rows pushed one at a time, cut into 24-row bands and sent.
//

#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/bands.h"

// Progress is reported each time the page passes another quarter of its rows.
constexpr int kProgressStep = 25;

//
// 'ReportProgress()' - Tell the front end how far the page has been sent, a few times a page.
//

void ReportProgress(PrinterSink &sink, int &shown, uint64_t done, uint64_t total) {
  const int percent =
      total == 0 ? 100 : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
  const bool due = percent == 100 ? shown < 100 : percent / kProgressStep > shown / kProgressStep;
  if (due) {
    shown = percent;
    if (sink.progress != nullptr) {
      sink.progress(sink.context, percent);
    }
  }
}

static void ReleaseBuffers(BandWriter &page) {
  for (std::vector<unsigned char> *buffer :
       {&page.grey, &page.packed, &page.first, &page.second, &page.image, &page.turnedImage}) {
    std::vector<unsigned char>().swap(*buffer);
  }
}

// Ends the page's bands with status; the page takes no more rows.
static PrintStatus Stop(BandWriter &page, PrintStatus status) {
  page.status = status;
  return status;
}

//
// 'StartBands()' - Begin a page: check its width, obtain its buffers, write its prologue.
//
// An upright page holds one grey band, one packed band and, at 360 across, a raster row pair,
// whatever its height; a turned page holds the whole page twice (see StartTurnedPage).
//

PrintStatus StartBands(BandWriter &page, const JobOptions &options, uint32_t rowBytes,
                       uint32_t rows, bool turned, int64_t formLength, PrinterSink &sink) {
  ReleaseBuffers(page);
  page.options = options;
  page.merge = options.xResolution == 360;
  page.turned = turned;
  page.status = kPrintOk;
  page.rowBytes = rowBytes;
  page.rows = rows;
  page.rowsIn = 0;
  page.pairWaiting = false;
  page.bandBegun = false;
  page.bandRows = 0;
  page.feed = options.topMargin;
  page.progressShown = 0;
  page.formLength = formLength > 0 ? formLength : 0;
  if (turned) {
    return Stop(page, StartTurnedPage(page));
  }

  // Sizes in 64 bits: a row of 0xFFFFFFFF bytes must not wrap to a small band at 360.
  const uint64_t width = page.merge ? (uint64_t{rowBytes} + 1) / 2 : rowBytes;
  if (width > kMaxBandColumns) {
    return Stop(page, kPrintTooWide);
  }
  page.bandWidth = static_cast<int>(width);
  if (!ObtainBuffer(page.grey, kBandRows * width, 255) ||
      !ObtainBuffer(page.packed, kBytesPerColumn * width, 0) ||
      (page.merge &&
       (!ObtainBuffer(page.first, rowBytes, 0) || !ObtainBuffer(page.second, rowBytes, 0)))) {
    ReleaseBuffers(page);
    return Stop(page, kPrintNoMemory);
  }
  return Stop(page, StartPage(options, sink));
}

//
// 'NextRowBuffer()' - Where the front end may read the next raster row, to spare a copy.
//
// At 360 across the rows of a pair go to the row pair; otherwise a row goes straight to its
// place in the grey band, where a white row at the top of a band is overwritten by the next.
//

unsigned char *NextRowBuffer(BandWriter &page) {
  if (page.turned) {
    return NextTurnedRow(page);
  }
  if (page.merge) {
    return page.pairWaiting ? page.second.data() : page.first.data();
  }
  return page.grey.data() + static_cast<size_t>(page.bandRows) * page.bandWidth;
}

// The feed is kept wide while rows add to it and held to an int when the band is sent.
static int FeedArgument(int64_t feed) {
  return static_cast<int>(std::min<int64_t>(feed, INT_MAX));
}

//
// 'SendBand()' - Pack and send the grey band, whose first imageRows rows hold image.
//
// The rows the band did not gather print white; a row cut off by the end of the input may
// have been partly read into the first of them.
//

static PrintStatus SendBand(BandWriter &page, int imageRows, PrinterSink &sink) {
  const size_t width = static_cast<size_t>(page.bandWidth);
  std::fill(page.grey.begin() + static_cast<ptrdiff_t>(imageRows * width), page.grey.end(), 255);
  std::fill(page.packed.begin(), page.packed.end(), 0);
  if (page.options.yResolution == 180) {
    BinaryImage(page.bandWidth, page.grey.data(), page.packed.data(), kPrintLevel);
  } else {
    BinaryImageHold(page.bandWidth, page.grey.data(), page.packed.data(), kPrintLevel);
  }
  const int feed = FeedArgument(page.feed);
  PrintStatus status = OutputBlockData(sink, page.options.leftMargin, feed, page.bandWidth,
                                       page.packed.data(), page.options.xResolution);
  if (status != kPrintOk) {
    return Stop(page, status);
  }
  page.paperFed += FeedUnits(feed) * kStepsPerUnit;
  page.feed = kBandRows;
  page.bandRows = 0;
  page.bandBegun = false;
  ReportProgress(sink, page.progressShown, page.rowsIn, page.rows);
  return kPrintOk;
}

//
// 'AddBandRow()' - Take the page's next raster row; send the band when 24 band rows are in.
//
// A cancel is asked for when a band's first row arrives, so a band once begun is finished.
// White rows at the top of a band are not gathered but added to the feed: a band starts at
// the first row with ink after the previous band. At 360 across a row waits for its partner;
// the pair becomes one band row, the darker pixel of each pair halved across.
//

PrintStatus AddBandRow(BandWriter &page, const unsigned char *row, PrinterSink &sink) {
  if (page.status != kPrintOk || page.rowsIn >= page.rows) {
    return page.status;
  }
  page.rowsIn++;
  if (page.turned) {
    AddTurnedRow(page, row);
    return kPrintOk;
  }
  if (!page.bandBegun) {
    if (sink.canceled != nullptr && sink.canceled(sink.context)) {
      return Stop(page, kPrintCanceled);
    }
    page.bandBegun = true;
  }

  const int length = static_cast<int>(page.rowBytes);
  unsigned char *bandRow = page.grey.data() + static_cast<size_t>(page.bandRows) * page.bandWidth;
  if (page.merge) {
    if (!page.pairWaiting) {
      if (row != page.first.data()) {
        memcpy(page.first.data(), row, page.rowBytes);
      }
      page.pairWaiting = true;
      return kPrintOk;
    }
    page.pairWaiting = false;
    MergeLineData(page.first.data(), row, page.first.data(), length);
    MergeColumnData(page.first.data(), bandRow, length);
  } else if (row != bandRow) {
    memcpy(bandRow, row, page.rowBytes);
  }

  if (page.bandRows == 0 && isBlankRow(page.bandWidth, bandRow)) {
    page.feed++;
    return kPrintOk;
  }
  page.bandRows++;
  return page.bandRows == kBandRows ? SendBand(page, kBandRows, sink) : kPrintOk;
}

//
// 'EndUprightPage()' - Send the band in progress, then the page's end (EndForm).
//
// At 360 across an odd last row has no partner: it is halved alone and printed with the band,
// if the band has rows; a page whose last band holds nothing else ends without it.
//

static PrintStatus EndUprightPage(BandWriter &page, PrinterSink &sink) {
  if (page.status == kPrintOk) {
    int imageRows = page.bandRows;
    if (page.pairWaiting) {
      unsigned char *bandRow =
          page.grey.data() + static_cast<size_t>(page.bandRows) * page.bandWidth;
      MergeColumnData(page.first.data(), bandRow, static_cast<int>(page.rowBytes));
      imageRows++;
    }
    if (page.bandRows > 0 && SendBand(page, imageRows, sink) != kPrintOk) {
      return page.status;
    }
  }
  return EndForm(page, sink);
}

//
// 'EndBands()' - End the page: its last band or the whole turned page, and its end.
//

PrintStatus EndBands(BandWriter &page, PrinterSink &sink) {
  const bool canceled = page.status == kPrintCanceled;
  PrintStatus status = page.status;
  if (status == kPrintOk || canceled) {
    status = page.turned ? EndTurnedPage(page, sink) : EndUprightPage(page, sink);
    if (status == kPrintOk && canceled) {
      status = kPrintCanceled;
    } else if (status == kPrintOk) {
      ReportProgress(sink, page.progressShown, page.rows, page.rows);
    }
  }
  ReleaseBuffers(page);
  return Stop(page, status);
}
