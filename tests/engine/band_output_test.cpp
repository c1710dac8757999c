// The printer command stream: band output, run search and job and page framing, byte for byte.

#include <climits>

#include <gtest/gtest.h>

#include "engine/bands.h"
#include "test_support.h"

namespace {

// A packed band of width columns with the given columns set to the given 3 bytes.
struct Dot {
  int column;
  Bytes bytes;
};
Bytes PackedBand(int width, std::initializer_list<Dot> dots) {
  Bytes packed(3 * static_cast<size_t>(width), 0);
  for (const Dot &dot : dots) {
    std::copy(dot.bytes.begin(), dot.bytes.end(), packed.begin() + 3 * dot.column);
  }
  return packed;
}

Bytes Band(int left, int feed, int width, const Bytes &packed) {
  return Written(
      [&](PrinterSink &sink) { OutputBlockData(sink, left, feed, width, packed.data(), 180); });
}

struct BandCase {
  const char *name;
  int left;
  int feed;
  int width;
  Bytes packed;
  Bytes expected;
};

class BandOutputTest : public testing::TestWithParam<BandCase> {};

TEST_P(BandOutputTest, WritesExactBytes) {
  const BandCase &c = GetParam();
  Bytes written = Band(c.left, c.feed, c.width, c.packed);
  EXPECT_EQ(written, c.expected) << DescribeDifference(c.expected, written);
}

const Bytes kRow0 = Hex("80 00 00");
const Bytes kFeed16 = Hex("1B 25 35 10");
const Bytes kLeft0 = Hex("1B 25 33 00 00");

INSTANTIATE_TEST_SUITE_P(
    Bands, BandOutputTest,
    testing::Values(
        BandCase{"WorkedBand", 10, 24, 40,
                 PackedBand(40, {{3, Hex("FF FF FF")},
                                 {4, Hex("FF FF FF")},
                                 {5, Hex("FF FF FF")},
                                 {30, Hex("80 00 00")},
                                 {31, Hex("00 00 01")}}),
                 Cat({kFeed16, Hex("1B 25 33 00 0A"), Hex("1B 25 31 00 06"), Repeat(0, 9),
                      Repeat(0xFF, 9), Hex("1B 25 33 00 18"), Hex("1B 25 31 00 02"),
                      Hex("80 00 00 00 00 01 0D")})},
        BandCase{
            "GapOf16IsAbsorbed", 0, 24, 30, PackedBand(30, {{0, kRow0}, {17, kRow0}}),
            Cat({kFeed16, kLeft0, Hex("1B 25 31 00 12"), kRow0, Repeat(0, 48), kRow0, Hex("0D")})},
        BandCase{"GapOf17IsSkipped", 0, 24, 30, PackedBand(30, {{0, kRow0}, {18, kRow0}}),
                 Cat({kFeed16, kLeft0, Hex("1B 25 31 00 01"), kRow0, Hex("1B 25 33 00 11"),
                      Hex("1B 25 31 00 01"), kRow0, Hex("0D")})},
        BandCase{"Leading16EmptyColumnsTravelAsData", 0, 24, 30, PackedBand(30, {{16, kRow0}}),
                 Cat({kFeed16, kLeft0, Hex("1B 25 31 00 11"), Repeat(0, 48), kRow0, Hex("0D")})},
        BandCase{
            "Leading17EmptyColumnsAreSkipped", 0, 24, 30, PackedBand(30, {{17, kRow0}}),
            Cat({kFeed16, kLeft0, Hex("1B 25 33 00 11"), Hex("1B 25 31 00 01"), kRow0, Hex("0D")})},
        BandCase{"BandWithoutDots", 5, 24, 30, PackedBand(30, {}),
                 Hex("1B 25 35 10 1B 25 33 00 05 0D")},
        BandCase{"BandOfWidthZero", 5, 24, 0, Bytes{}, Hex("1B 25 35 10 1B 25 33 00 05 0D")},
        BandCase{
            "WholeBandIsOneRun", 0, 0, 2, Bytes(6, 0xFF),
            Cat({Hex("1B 25 35 00"), kLeft0, Hex("1B 25 31 00 02"), Repeat(0xFF, 6), Hex("0D")})},
        BandCase{"NegativeFeedIsSentAsZero", 0, -30, 1, PackedBand(1, {}),
                 Hex("1B 25 35 00 1B 25 33 00 00 0D")},
        BandCase{"NegativeLeftOffsetIsSkipZero", -10, 24, 1, PackedBand(1, {}),
                 Hex("1B 25 35 10 1B 25 33 00 00 0D")},
        BandCase{"LeftOffsetHeldAt65535", 70000, 24, 1, PackedBand(1, {}),
                 Hex("1B 25 35 10 1B 25 33 FF FF 0D")},
        BandCase{"LeftOffset65535", 65535, 24, 1, PackedBand(1, {}),
                 Hex("1B 25 35 10 1B 25 33 FF FF 0D")}),
    [](const testing::TestParamInfo<BandCase> &info) { return info.param.name; });

// The feed is 2 printer units for every 3 band rows, the remainder dropped, at most 255 a
// command; the rest goes ahead of the band in commands of 255.
struct FeedCase {
  int feed;
  Bytes expected_feeds;
};

class FeedConversionTest : public testing::TestWithParam<FeedCase> {};

TEST_P(FeedConversionTest, SplitsIntoFeedCommands) {
  const FeedCase &c = GetParam();
  Bytes expected = Cat({c.expected_feeds, Hex("1B 25 33 00 00 0D")});
  Bytes written = Band(0, c.feed, 0, Bytes{});
  EXPECT_EQ(written, expected) << DescribeDifference(expected, written);
}

INSTANTIATE_TEST_SUITE_P(
    Feeds, FeedConversionTest,
    testing::Values(FeedCase{24, Hex("1B 25 35 10")}, FeedCase{25, Hex("1B 25 35 10")},
                    FeedCase{26, Hex("1B 25 35 10")}, FeedCase{2, Hex("1B 25 35 00")},
                    FeedCase{0, Hex("1B 25 35 00")}, FeedCase{383, Hex("1B 25 35 FE")},
                    FeedCase{384, Hex("1B 25 35 FF 1B 25 35 01")},
                    FeedCase{600, Hex("1B 25 35 FF 1B 25 35 91")},
                    FeedCase{765, Hex("1B 25 35 FF 1B 25 35 FF")},
                    FeedCase{768, Hex("1B 25 35 FF 1B 25 35 FF 1B 25 35 02")},
                    FeedCase{-1, Hex("1B 25 35 00")}),
    [](const auto &info) {
      return "Feed" + std::string(info.param.feed < 0 ? "Minus" : "") +
             std::to_string(std::abs(info.param.feed));
    });

TEST(FeedConversionTest, LargestFeedEndsWithTheRemainder) {
  Bytes written = Band(0, INT_MAX, 0, Bytes{});
  // INT_MAX rows are 1431655764 units: 5614336 full commands and 84 left over.
  ASSERT_EQ(written.size(), 4u * 5614336 + 4 + 6);
  EXPECT_EQ(Bytes(written.end() - 10, written.end()), Hex("1B 25 35 54 1B 25 33 00 00 0D"));
}

// The run search on its own: what run and gap come back for a row of columns.
struct RunCase {
  const char *columns;  // one letter per column: x a dot, . empty
  int run;
  int gap;
};

class RunSearchTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunSearchTest, FindsRunAndGap) {
  const RunCase &c = GetParam();
  std::string pattern = c.columns;
  Bytes packed(3 * pattern.size(), 0);
  for (size_t i = 0; i < pattern.size(); i++) {
    packed[3 * i + 2] = pattern[i] == 'x' ? 1 : 0;  // row 23 only
  }
  int gap = 0;
  int run = 0;
  findStripPixel(packed.data(), static_cast<int>(pattern.size()), gap, run);
  EXPECT_EQ(run, c.run);
  EXPECT_EQ(gap, c.gap);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RunSearchTest,
    testing::Values(RunCase{"", 0, 0}, RunCase{"....", 0, 4}, RunCase{"xx..", 2, 2},
                    RunCase{"x................x", 18, 0}, RunCase{"x.................x", 1, 17},
                    RunCase{".................x", 0, 17}, RunCase{"................x", 17, 0},
                    RunCase{"x.x.x....", 5, 4}),
    [](const auto &info) { return "Case" + std::to_string(info.index); });

struct FramingCase {
  const char *name;
  std::function<void(PrinterSink &)> calls;
  Bytes expected;
};

class FramingTest : public testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, WritesPrologueAndEpilogue) {
  Bytes written = Written(GetParam().calls);
  EXPECT_EQ(written, GetParam().expected) << DescribeDifference(GetParam().expected, written);
}

JobOptions Quality(int quality) {
  JobOptions options{};
  options.quality = quality;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Framing, FramingTest,
    testing::Values(
        FramingCase{"DraftJob", [](PrinterSink &sink) { StartDoc(Quality(0), sink); },
                    Hex("1B 44 0D")},
        FramingCase{"LetterQualityJob", [](PrinterSink &sink) { StartDoc(Quality(1), sink); },
                    Hex("1B 49 0D")},
        FramingCase{"AnyOtherQualityIsLetter",
                    [](PrinterSink &sink) { StartDoc(Quality(7), sink); }, Hex("1B 49 0D")},
        FramingCase{"PageWithoutBands",
                    [](PrinterSink &sink) {
                      StartPage(Quality(1), sink);
                      EndPage(sink);
                    },
                    Hex("0D 0C")},
        FramingCase{"EndDocWritesNothing", [](PrinterSink &sink) { EndDoc(sink); }, Bytes{}}),
    [](const testing::TestParamInfo<FramingCase> &info) { return info.param.name; });

}  // namespace
