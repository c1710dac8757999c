// The hot loops work on blocks, chunks, stretches and whole bytes; these tables hold them to
// the per-pixel and per-column rules on random input of every width around their block and
// chunk sizes.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/bands.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(std::mt19937 &random, size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes bytes(count);
  for (unsigned char &b : bytes) {
    b = static_cast<unsigned char>(byte(random));
  }
  return bytes;
}

// Widths of one to several encoder blocks (48 columns) and row-test chunks (64 bytes), with
// every remainder, and an A4 line.
std::vector<int> Widths() {
  std::vector<int> widths;
  for (int w = 0; w <= 200; w++) {
    widths.push_back(w);
  }
  widths.push_back(1440);
  widths.push_back(1441);
  return widths;
}

// The per-pixel rule: bit 7 - r mod 8 of byte 3c + r div 8 is set when the pixel prints;
// then every ESC "0" pair of the packed band becomes 1A 30.
template <typename Prints>
void PackPixelByPixel(int width, const Bytes &grey, Bytes &packed, Prints prints) {
  for (int c = 0; c < width; c++) {
    for (int r = 0; r < kBandRows; r++) {
      if (prints(c, r, grey[static_cast<size_t>(r) * width + c])) {
        packed[3 * c + r / 8] |= static_cast<unsigned char>(0x80 >> (r % 8));
      }
    }
  }
  for (size_t i = 0; i + 1 < packed.size(); i++) {
    if (packed[i] == 0x1B && packed[i + 1] == 0x30) {
      packed[i] = 0x1A;
    }
  }
}

// Grey values near the thresholds print differently from their neighbours, so the random
// bands mix uniform bytes with values one off each threshold.
Bytes RandomBand(std::mt19937 &random, int width) {
  Bytes grey = RandomBytes(random, kBandRows * static_cast<size_t>(width));
  std::uniform_int_distribution<int> pick(0, 5);
  for (size_t i = 0; i < grey.size(); i += 3) {
    int line = pick(random), entry = pick(random);
    grey[i] = static_cast<unsigned char>(halftone_arr[line][entry] - (i % 2));
  }
  return grey;
}

TEST(FastEncoderTest, HalftoneMatchesThePixelRule) {
  std::mt19937 random(7);
  for (int width : Widths()) {
    Bytes grey = RandomBand(random, width);
    // Bits already set stay set: the encoders only add dots.
    Bytes before = RandomBytes(random, 3 * static_cast<size_t>(width));
    for (unsigned char &b : before) {
      b &= 0x11;
    }
    Bytes expected = before, packed = before;
    PackPixelByPixel(width, grey, expected,
                     [](int c, int r, int g) { return g < halftone_arr[c % 6][r % 6]; });
    BinaryImage(width, grey.data(), packed.data(), kPrintLevel);
    ASSERT_EQ(packed, expected) << "width " << width;
  }
}

TEST(FastEncoderTest, ThresholdMatchesThePixelRuleAtEveryLevel) {
  std::mt19937 random(11);
  for (int level : {kPrintLevel, 0, -3, 1, 128, 255, 256, 100000}) {
    for (int width : Widths()) {
      Bytes grey = RandomBand(random, width);
      Bytes expected(3 * static_cast<size_t>(width), 0), packed = expected;
      PackPixelByPixel(width, grey, expected, [level](int, int, int g) { return level > g; });
      BinaryImageHold(width, grey.data(), packed.data(), level);
      ASSERT_EQ(packed, expected) << "width " << width << " level " << level;
    }
  }
}

TEST(FastRowTest, BlankOnlyWhenEveryPixelIsWhite) {
  for (int length : Widths()) {
    Bytes row(static_cast<size_t>(length), 255);
    ASSERT_EQ(isBlankRow(length, row.data()), 1) << "length " << length;
    for (int ink = 0; ink < length; ink++) {
      row[ink] = 254;
      ASSERT_EQ(isBlankRow(length, row.data()), 0) << "length " << length << " ink " << ink;
      row[ink] = 255;
    }
  }
}

TEST(FastRowTest, MergesMatchThePixelRules) {
  std::mt19937 random(13);
  for (int length : Widths()) {
    Bytes first = RandomBytes(random, length), second = RandomBytes(random, length);
    Bytes darker(length), halved((length + 1) / 2);
    for (int i = 0; i < length; i++) {
      darker[i] = std::min(first[i], second[i]);
    }
    for (int i = 0; 2 * i < length; i++) {
      halved[i] = 2 * i + 1 < length ? (darker[2 * i] + darker[2 * i + 1]) / 2 : darker[2 * i];
    }

    // In place, as the band loop merges into its first row buffer.
    Bytes merged = first, row((length + 1) / 2);
    MergeLineData(merged.data(), second.data(), merged.data(), length);
    ASSERT_EQ(merged, darker) << "length " << length;
    MergeColumnData(merged.data(), row.data(), length);
    ASSERT_EQ(row, halved) << "length " << length;
  }
}

// The run search, one column at a time: an empty column adds to the gap; a non-empty one
// stops the search after a gap of more than 16, or else takes the gap and itself into the run.
void FindRunColumnByColumn(const Bytes &packed, size_t from, int &gap, int &run) {
  for (size_t c = from; c < packed.size() / 3; c++) {
    bool empty = (packed[3 * c] | packed[3 * c + 1] | packed[3 * c + 2]) == 0;
    if (empty) {
      gap++;
    } else if (gap > 16) {
      return;
    } else {
      run += gap + 1;
      gap = 0;
    }
  }
}

TEST(FastRunSearchTest, MatchesTheColumnRuleFromEveryStart) {
  std::mt19937 random(17);
  std::uniform_int_distribution<int> stretch(0, 40), byte(1, 255), row_byte(0, 2);
  for (int band = 0; band < 200; band++) {
    // Alternate stretches of empty and inked columns, of 0 to 40 columns each, so that gaps
    // of exactly 16 and 17 columns, and gaps at either end, all occur.
    Bytes packed;
    bool ink = band % 2 == 0;
    while (packed.size() < 3 * 150) {
      for (int c = stretch(random); c > 0; c--) {
        Bytes column(3, 0);
        if (ink) {
          column[row_byte(random)] = static_cast<unsigned char>(byte(random));
        }
        packed.insert(packed.end(), column.begin(), column.end());
      }
      ink = !ink;
    }
    const int width = static_cast<int>(packed.size() / 3);
    for (int from = 0; from <= width; from++) {
      int gap = 0, run = 0, expected_gap = 0, expected_run = 0;
      findStripPixel(packed.data() + 3 * from, width - from, gap, run);
      FindRunColumnByColumn(packed, from, expected_gap, expected_run);
      ASSERT_EQ(run, expected_run) << "band " << band << " from column " << from;
      ASSERT_EQ(gap, expected_gap) << "band " << band << " from column " << from;
    }
  }
}

}  // namespace
