// The band encoders: halftone and threshold packing and the escape guard, on packed bytes.

#include <gtest/gtest.h>

#include "engine/bands.h"
#include "test_support.h"

namespace {

using Encoder = int (*)(int, const unsigned char *, unsigned char *, int);

Bytes Encode(Encoder encoder, int width, const Bytes &grey) {
  Bytes packed(3 * static_cast<size_t>(width), 0);
  encoder(width, grey.data(), packed.data(), kPrintLevel);
  return packed;
}

// A grey band whose black pixels (0) are exactly the set bits of the given packed band; the
// rest is white. Black prints and white never does with either encoder.
Bytes GreyFromPacked(int width, const Bytes &packed) {
  Bytes grey(kBandRows * static_cast<size_t>(width), 255);
  for (int c = 0; c < width; c++) {
    for (int r = 0; r < kBandRows; r++) {
      if (packed[3 * c + r / 8] & (0x80 >> (r % 8))) {
        grey[r * width + c] = 0;
      }
    }
  }
  return grey;
}

Bytes OnePixel(int width, int column, int row, unsigned char grey) {
  Bytes band(kBandRows * static_cast<size_t>(width), 255);
  band[row * width + column] = grey;
  return band;
}

// Each case: the packed band that black and white pixels make, and what the encoder leaves
// after the escape guard has replaced every ESC "0" pair.
struct GuardCase {
  const char *name;
  Bytes dots;
  Bytes expected;
};

class EscapeGuardTest : public testing::TestWithParam<std::tuple<GuardCase, bool>> {};

TEST_P(EscapeGuardTest, ReplacesEscapeZeroPairs) {
  const GuardCase &c = std::get<0>(GetParam());
  Encoder encoder = std::get<1>(GetParam()) ? BinaryImage : BinaryImageHold;
  int width = static_cast<int>(c.dots.size() / 3);
  Bytes packed = Encode(encoder, width, GreyFromPacked(width, c.dots));
  EXPECT_EQ(packed, c.expected) << DescribeDifference(c.expected, packed);
}

INSTANTIATE_TEST_SUITE_P(
    Guard, EscapeGuardTest,
    testing::Combine(
        testing::Values(
            GuardCase{"Pair", Hex("1B 30 00"), Hex("1A 30 00")},
            GuardCase{"EscapeBeforePair", Hex("1B 1B 30"), Hex("1B 1A 30")},
            GuardCase{"OtherFollower", Hex("1B 31 00"), Hex("1B 31 00")},
            GuardCase{"EscapeAsLastByte", Hex("00 00 1B"), Hex("00 00 1B")},
            GuardCase{"PairAcrossColumns", Hex("00 00 1B 30 00 00"), Hex("00 00 1A 30 00 00")},
            GuardCase{"SeveralPairs", Hex("1B 30 1B 30 1B 30"), Hex("1A 30 1A 30 1A 30")},
            GuardCase{"ZeroBeforeEscape", Hex("30 1B 00"), Hex("30 1B 00")}),
        testing::Bool()),
    [](const auto &info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "Halftone" : "Threshold");
    });

// One pixel of a band: which packed byte and bit it sets, if any.
struct PixelCase {
  const char *name;
  bool halftone;
  int width;
  int column;
  int row;
  unsigned char grey;
  size_t byte;          // packed byte expected to change
  unsigned char value;  // its value; 0 when the pixel must not print
};

class PixelTest : public testing::TestWithParam<PixelCase> {};

TEST_P(PixelTest, SetsTheExpectedBit) {
  const PixelCase &c = GetParam();
  Bytes expected(3 * static_cast<size_t>(c.width), 0);
  expected[c.byte] = c.value;
  Bytes packed = Encode(c.halftone ? BinaryImage : BinaryImageHold, c.width,
                        OnePixel(c.width, c.column, c.row, c.grey));
  EXPECT_EQ(packed, expected) << DescribeDifference(expected, packed);
}

INSTANTIATE_TEST_SUITE_P(
    Pixels, PixelTest,
    testing::Values(
        // Column 7, row 13: line 1, entry 1 of the matrix, threshold 35.
        PixelCase{"HalftoneBelowThreshold", true, 10, 7, 13, 34, 22, 0x04},
        PixelCase{"HalftoneAtThreshold", true, 10, 7, 13, 35, 22, 0},
        // A band 7 wide halftones column 6 with line 0: row 0 has threshold 161.
        PixelCase{"LastColumnOfNarrowBandBelow", true, 7, 6, 0, 160, 18, 0x80},
        PixelCase{"LastColumnOfNarrowBandAt", true, 7, 6, 0, 161, 18, 0},
        // Rows repeat the matrix every 6: row 23 is entry 5, column 0 line 0 → 53.
        PixelCase{"BottomRowBelow", true, 1, 0, 23, 52, 2, 0x01},
        PixelCase{"BottomRowAt", true, 1, 0, 23, 53, 2, 0},
        PixelCase{"BlackAlwaysPrints", true, 6, 5, 4, 0, 15, 0x08},
        PixelCase{"WhiteNeverPrints", true, 6, 0, 1, 255, 0, 0},
        PixelCase{"ThresholdPrints219", false, 3, 2, 8, 219, 7, 0x80},
        PixelCase{"ThresholdSkips220", false, 3, 2, 8, 220, 7, 0},
        PixelCase{"ThresholdIgnoresMatrix", false, 8, 7, 13, 200, 22, 0x04}),
    [](const testing::TestParamInfo<PixelCase> &info) { return info.param.name; });

// A uniform grey darkens, in every 6 x 6 cell, the positions whose threshold exceeds it.
struct CoverageCase {
  int grey;
  int dots_per_cell;
};

class HalftoneCoverageTest : public testing::TestWithParam<CoverageCase> {};

TEST_P(HalftoneCoverageTest, CountsDotsPerCell) {
  const CoverageCase &c = GetParam();
  const int width = 6;
  Bytes packed =
      Encode(BinaryImage, width, Bytes(kBandRows * width, static_cast<unsigned char>(c.grey)));
  // Rows 0 to 5 of the first 6 columns: one whole cell, clear of the escape guard, which
  // only ever touches rows 7, 15 and 23.
  int dots = 0;
  for (int column = 0; column < width; column++) {
    for (int row = 0; row < 6; row++) {
      dots += (packed[3 * column] >> (7 - row)) & 1;
    }
  }
  EXPECT_EQ(dots, c.dots_per_cell);
}

INSTANTIATE_TEST_SUITE_P(Coverage, HalftoneCoverageTest,
                         testing::Values(CoverageCase{0, 36}, CoverageCase{1, 35},
                                         CoverageCase{24, 33}, CoverageCase{127, 10},
                                         CoverageCase{216, 2}, CoverageCase{217, 1},
                                         CoverageCase{229, 1}, CoverageCase{230, 0},
                                         CoverageCase{255, 0}),
                         [](const auto &info) { return "Grey" + std::to_string(info.param.grey); });

TEST(HalftoneCoverageTest, PatternRestartsInEveryBand) {
  // Two bands of the same grey pack the same bytes: the matrix is anchored at the band.
  Bytes grey(kBandRows * 13, 127);
  EXPECT_EQ(Encode(BinaryImage, 13, grey), Encode(BinaryImage, 13, grey));
  Bytes packed = Encode(BinaryImage, 13, grey);
  // Columns 0 and 6 and 12 share line 0 of the matrix.
  EXPECT_TRUE(std::equal(packed.begin(), packed.begin() + 3, packed.begin() + 18));
  EXPECT_TRUE(std::equal(packed.begin(), packed.begin() + 3, packed.begin() + 36));
}

}  // namespace
