// Round trip: random grey bands, packed by each encoder and written by OutputBlockData, drawn
// back by the preview to exactly the packed dots, at the rows the feeds reach and the columns
// the left offsets reach.

#include <random>

#include <gtest/gtest.h>

#include "engine/bands.h"
#include "page_layout.h"
#include "printer_stream.h"
#include "test_support.h"

namespace {

using Encoder = int (*)(int, const unsigned char *, unsigned char *, int);

// One band as the filter would send it, and the dots it must show.
struct SentBand {
  int left;
  int feed;  // band rows since the previous band
  int width;
  Bytes packed;  // after the encoder, escape guard included
};

// A grey band whose columns come in stretches: random grey, black, or white stretches long
// enough (up to 40 columns) to be sent as skips.
Bytes RandomGreyBand(std::mt19937 &random, int width) {
  Bytes grey(static_cast<size_t>(kBandRows) * width, 255);
  std::uniform_int_distribution<int> stretchLength(1, 40), kind(0, 3), value(0, 255);
  for (int c = 0; c < width;) {
    int length = std::min(stretchLength(random), width - c);
    int stretch = kind(random);
    for (int x = c; x < c + length; x++) {
      for (int r = 0; r < kBandRows; r++) {
        unsigned char &pixel = grey[static_cast<size_t>(r) * width + x];
        pixel = stretch == 0 ? 255 : stretch == 1 ? 0 : static_cast<unsigned char>(value(random));
      }
    }
    c += length;
  }
  return grey;
}

// Sends the bands as one page (CR, bands, form feed) and returns the bytes written.
Bytes SendPage(const std::vector<SentBand> &bands) {
  JobOptions options{180, 180, 1, 0, 0};
  return Written([&](PrinterSink &sink) {
    StartPage(options, sink);
    for (const SentBand &band : bands) {
      OutputBlockData(sink, band.left, band.feed, band.width, band.packed.data(), 180);
    }
    EndPage(sink);
  });
}

// Whether the packed band has a dot at pin row r of column c.
bool PackedDot(const SentBand &band, int r, int c) {
  return band.packed[3 * static_cast<size_t>(c) + r / 8] & (0x80 >> (r % 8));
}

//
// 'ExpectPageShowsBands()' - Draw the one page of the stream and compare it with the bands.
//
// A band's top row is the sum of the feeds so far, each cut to a multiple of 3 rows (2 feed
// units for every 3 rows, the remainder dropped). Every dot row of the page is compared.
//

void ExpectPageShowsBands(const Bytes &stream, const std::vector<SentBand> &bands) {
  ParsedStream parsed = ParsePrinterStream(stream.data(), stream.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  std::vector<PreviewPage> pages = LayOutPages(parsed);
  ASSERT_EQ(pages.size(), 1u);
  const PreviewPage &page = pages[0];
  ASSERT_TRUE(page.ended);

  std::vector<int64_t> tops;
  int64_t top = 0, width = 0, height = 0;
  for (const SentBand &band : bands) {
    top += band.feed / 3 * 3;
    tops.push_back(top);
    width = std::max<int64_t>(width, band.left);
    height = std::max(height, top);
    for (int c = 0; c < band.width; c++) {
      for (int r = 0; r < kBandRows; r++) {
        if (PackedDot(band, r, c)) {
          width = std::max<int64_t>(width, band.left + c + 1);
          height = std::max<int64_t>(height, top + kBandRows);
        }
      }
    }
  }
  ASSERT_EQ(page.width, width);
  ASSERT_EQ(page.height, height);

  const std::vector<unsigned char> marks = DrawPage(page, stream.data(), false);
  std::vector<unsigned char> expected(static_cast<size_t>(width));
  for (int64_t row = 0; row < height; row++) {
    std::fill(expected.begin(), expected.end(), 0);
    for (size_t b = 0; b < bands.size(); b++) {
      if (row < tops[b] || row >= tops[b] + kBandRows) {
        continue;
      }
      for (int c = 0; c < bands[b].width; c++) {
        if (PackedDot(bands[b], static_cast<int>(row - tops[b]), c)) {
          expected[bands[b].left + c] = kMarkDot;
        }
      }
    }
    const unsigned char *drawn = marks.data() + row * width;
    for (int64_t x = 0; x < width; x++) {
      ASSERT_EQ(drawn[x], expected[x]) << "dot row " << row << ", column " << x;
    }
  }
}

struct RoundTripCase {
  const char *name;
  Encoder encoder;
  unsigned seed;
  int left;
};

// Test names carry the case's name; its bytes stay out of them.
void PrintTo(const RoundTripCase &c, std::ostream *out) {
  *out << c.name;
}

class RoundTripTest : public testing::TestWithParam<RoundTripCase> {};

// Feeds around every rounding step of the feed units and the split at 255 units.
const int kFeeds[] = {0, 1, 2, 3, 4, 5, 23, 24, 25, 26, 27, 100, 382, 383, 384, 385, 600, 1000};

TEST_P(RoundTripTest, DrawsThePackedDots) {
  const RoundTripCase &c = GetParam();
  std::mt19937 random(c.seed);
  std::uniform_int_distribution<int> widths(0, 300);

  std::vector<SentBand> bands;
  for (int feed : kFeeds) {
    int width = bands.size() < 2 ? static_cast<int>(bands.size()) : widths(random);
    Bytes grey = RandomGreyBand(random, width);
    Bytes packed(3 * static_cast<size_t>(width), 0);
    c.encoder(width, grey.data(), packed.data(), kPrintLevel);
    bands.push_back({c.left, feed, width, packed});
  }
  ExpectPageShowsBands(SendPage(bands), bands);
}

INSTANTIATE_TEST_SUITE_P(
    Preview, RoundTripTest,
    testing::Values(RoundTripCase{"HalftoneAtLeftEdge", BinaryImage, 1, 0},
                    RoundTripCase{"HalftoneLeft1", BinaryImage, 2, 1},
                    RoundTripCase{"HalftoneLeft17", BinaryImage, 3, 17},
                    RoundTripCase{"HalftoneLeft256", BinaryImage, 4, 256},
                    RoundTripCase{"HalftoneLargestLeft", BinaryImage, 5, 65535},
                    RoundTripCase{"ThresholdAtLeftEdge", BinaryImageHold, 6, 0},
                    RoundTripCase{"ThresholdLeft16", BinaryImageHold, 7, 16},
                    RoundTripCase{"ThresholdLeft300", BinaryImageHold, 8, 300},
                    RoundTripCase{"ThresholdLargestLeft", BinaryImageHold, 9, 65535}),
    [](const testing::TestParamInfo<RoundTripCase> &info) { return std::string(info.param.name); });

// Bands whose black pins pack to ESC "0" lose the dot that the escape guard clears.
struct GuardCase {
  const char *name;
  int width;
  std::vector<std::pair<int, int>> black;  // (column, row) pixels painted black
  int cleared_column;                      // the column and row whose dot the guard drops
  int cleared_row;
};

void PrintTo(const GuardCase &c, std::ostream *out) {
  *out << c.name;
}

class EscapeGuardPictureTest : public testing::TestWithParam<GuardCase> {};

TEST_P(EscapeGuardPictureTest, ClearedDotIsNotDrawn) {
  const GuardCase &c = GetParam();
  Bytes grey(static_cast<size_t>(kBandRows) * c.width, 255);
  for (auto [column, row] : c.black) {
    grey[static_cast<size_t>(row) * c.width + column] = 0;
  }
  for (Encoder encoder : {BinaryImage, BinaryImageHold}) {
    Bytes packed(3 * static_cast<size_t>(c.width), 0);
    encoder(c.width, grey.data(), packed.data(), kPrintLevel);
    std::vector<SentBand> bands = {{0, 24, c.width, packed}};
    Bytes stream = SendPage(bands);
    ExpectPageShowsBands(stream, bands);

    ParsedStream parsed = ParsePrinterStream(stream.data(), stream.size());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    PreviewPage page = LayOutPages(parsed)[0];
    std::vector<unsigned char> marks = DrawPage(page, stream.data(), false);
    auto at = [&](int column, int row) { return marks[(24 + row) * page.width + column]; };
    for (auto [column, row] : c.black) {
      bool cleared = column == c.cleared_column && row == c.cleared_row;
      EXPECT_EQ(at(column, row), cleared ? kMarkPaper : kMarkDot)
          << "column " << column << ", row " << row;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Preview, EscapeGuardPictureTest,
    testing::Values(
        // Rows 3, 4, 6, 7 pack to 1B in the first byte, rows 10 and 11 to 30 in the second.
        GuardCase{"WithinColumn", 2, {{0, 3}, {0, 4}, {0, 6}, {0, 7}, {0, 10}, {0, 11}}, 0, 7},
        // Rows 19, 20, 22, 23 of column 0 give 1B in its third byte, rows 2 and 3 of column 1
        // give 30 in the next byte.
        GuardCase{"AcrossColumns", 2, {{0, 19}, {0, 20}, {0, 22}, {0, 23}, {1, 2}, {1, 3}}, 0, 23}),
    [](const testing::TestParamInfo<GuardCase> &info) { return std::string(info.param.name); });

}  // namespace
