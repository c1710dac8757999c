// Row helpers of the band engine: blank test, 360 dpi merges, the rotation window and the
// quarter turn.

#include <gtest/gtest.h>

#include "engine/bands.h"
#include "test_support.h"

namespace {

struct BlankCase {
  Bytes row;
  int length;
  int blank;
};

class IsBlankRowTest : public testing::TestWithParam<BlankCase> {};

TEST_P(IsBlankRowTest, OnlyAllWhiteIsBlank) {
  EXPECT_EQ(isBlankRow(GetParam().length, GetParam().row.data()), GetParam().blank);
}

INSTANTIATE_TEST_SUITE_P(Rows, IsBlankRowTest,
                         testing::Values(BlankCase{Hex("FF FF FF"), 3, 1},
                                         BlankCase{Hex("FF FF FE"), 3, 0},
                                         BlankCase{Hex("00 FF FF"), 3, 0},
                                         BlankCase{Hex("FF FF 00"), 2, 1},  // length bounds it
                                         BlankCase{Hex("00"), 0, 1}, BlankCase{Hex("00"), -4, 1}));

struct MergeCase {
  Bytes first;
  Bytes second;
  Bytes merged;  // the darker of each pair
  Bytes halved;  // the merged row halved across
};

class MergeTest : public testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, MergesRowsThenHalvesAcross) {
  const MergeCase &c = GetParam();
  int length = static_cast<int>(c.first.size());
  Bytes first = c.first;
  MergeLineData(first.data(), c.second.data(), first.data(), length);  // in place, as used
  EXPECT_EQ(first, c.merged);
  Bytes halved(c.halved.size() + 1, 0xAB);  // one guard byte past the end
  MergeColumnData(first.data(), halved.data(), length);
  EXPECT_EQ(Bytes(halved.begin(), halved.end() - 1), c.halved);
  EXPECT_EQ(halved.back(), 0xAB);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MergeTest,
    testing::Values(MergeCase{Hex("00 C8 FF"), Hex("FF 64 FF"), Hex("00 64 FF"), Hex("32 FF")},
                    MergeCase{Hex("00 FF 0A 14"), Hex("FF FF 00 28"), Hex("00 FF 00 14"),
                              Hex("7F 0A")},
                    // An odd last pixel is copied, not averaged.
                    MergeCase{Hex("00 FF 0A 14 07"), Hex("00 FF 0A 14 07"), Hex("00 FF 0A 14 07"),
                              Hex("7F 0F 07")},
                    MergeCase{Hex("FF FF"), Hex("FF FF"), Hex("FF FF"), Hex("FF")},
                    MergeCase{Hex("09"), Hex("05"), Hex("05"), Hex("05")},
                    MergeCase{Bytes{}, Bytes{}, Bytes{}, Bytes{}}));

// Pages taller than wide whose height is in the window of the job's resolution are turned,
// when the job asks for turned pages.
struct RotationCase {
  const char *name;
  bool turnPages;
  int resolution;
  unsigned width;
  unsigned height;
  bool rotated;
};

class RotationTestTable : public testing::TestWithParam<RotationCase> {};

TEST_P(RotationTestTable, DecidesByOptionWindowAndShape) {
  const RotationCase &c = GetParam();
  JobOptions options{};
  options.xResolution = c.resolution;
  options.yResolution = c.resolution;
  options.turnPages = c.turnPages;
  EXPECT_EQ(IsRotatedPage(options, c.width, c.height), c.rotated);
}

INSTANTIATE_TEST_SUITE_P(
    Window, RotationTestTable,
    testing::Values(RotationCase{"NotAsked", false, 180, 1000, 1450, false},
                    RotationCase{"Asked", true, 180, 1000, 1450, true},
                    RotationCase{"HeightEqualsWidth", true, 180, 1450, 1450, false},
                    RotationCase{"At180Height1400", true, 180, 1000, 1400, false},
                    RotationCase{"At180Height1401", true, 180, 1000, 1401, true},
                    RotationCase{"At180Height1499", true, 180, 1000, 1499, true},
                    RotationCase{"At180Height1500", true, 180, 1000, 1500, false},
                    RotationCase{"At360Height2800", true, 360, 2000, 2800, false},
                    RotationCase{"At360Height2801", true, 360, 2000, 2801, true},
                    RotationCase{"At360Height2999", true, 360, 2000, 2999, true},
                    RotationCase{"At360Height3000", true, 360, 2000, 3000, false},
                    RotationCase{"At360Height1450", true, 360, 1000, 1450, false},
                    RotationCase{"NoResolution", true, 0, 1000, 1450, false}),
    [](const testing::TestParamInfo<RotationCase> &info) { return info.param.name; });

// A quarter turn anticlockwise: the source's top-right corner lands top left, its top-left
// corner bottom left.
struct TurnCase {
  int width;
  int height;
  Bytes source;
  Bytes turned;
};

class Rotate90ImageTest : public testing::TestWithParam<TurnCase> {};

TEST_P(Rotate90ImageTest, TurnsAnticlockwise) {
  const TurnCase &c = GetParam();
  Bytes turned(c.turned.size() + 1, 0xEE);  // a guard byte past the end
  Rotate90Image(c.source.data(), turned.data(), c.width, c.height);
  EXPECT_EQ(Bytes(turned.begin(), turned.end() - 1), c.turned);
  EXPECT_EQ(turned.back(), 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Images, Rotate90ImageTest,
                         testing::Values(
                             // 3 wide, 2 high:  01 02 03      03 06
                             //                  04 05 06  ->  02 05
                             //                                01 04
                             TurnCase{3, 2, Hex("01 02 03 04 05 06"), Hex("03 06 02 05 01 04")},
                             // 2 wide, 3 high.
                             TurnCase{2, 3, Hex("01 02 03 04 05 06"), Hex("02 04 06 01 03 05")},
                             TurnCase{1, 4, Hex("01 02 03 04"), Hex("01 02 03 04")},
                             TurnCase{4, 1, Hex("01 02 03 04"), Hex("04 03 02 01")}));

TEST(Rotate90ImageTest, WritesEveryDestinationByteOnce) {
  // Distinct values everywhere: the turned image is a permutation of the source.
  const int width = 7;
  const int height = 5;
  Bytes source(width * height);
  for (size_t i = 0; i < source.size(); i++) {
    source[i] = static_cast<unsigned char>(i);
  }
  Bytes turned(source.size(), 0xFF);
  Rotate90Image(source.data(), turned.data(), width, height);
  Bytes sorted = turned;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, source);
  EXPECT_EQ(turned[0], source[width - 1]);                              // top right
  EXPECT_EQ(turned[(width - 1) * height], source[0]);                   // top left
  EXPECT_EQ(turned[width * height - 1], source[(height - 1) * width]);  // bottom left
}

}  // namespace
