// Rotated pages through the built filter: pages turned a quarter turn and printed sideways.

#include <signal.h>
#include <unistd.h>

#include <array>
#include <map>

#include <gtest/gtest.h>

#include "grey_page_header.h"
#include "test_support.h"

namespace {

// What the printer would do with a stream, band by band: feeds, the left skip and the dots of
// every column (counted from the left edge).
struct DecodedBand {
  int feed_units = 0;
  std::map<int, std::array<unsigned char, 3>> columns;
};
using DecodedPage = std::vector<DecodedBand>;

std::vector<DecodedPage> Decode(const Bytes &s) {
  std::vector<DecodedPage> pages;
  size_t i = 0;
  auto count = [&s](size_t at) { return s.at(at) << 8 | s.at(at + 1); };
  EXPECT_TRUE(s.size() >= 3 && s[0] == 0x1B && s[2] == 0x0D);
  i = 3;
  bool in_band = false;
  int x = 0;
  while (i < s.size()) {
    if (s[i] == 0x0D) {
      if (!in_band) {
        pages.emplace_back();
      }
      in_band = false;
      i++;
    } else if (s[i] == 0x0C) {
      i++;
    } else if (s[i] == 0x1B && s.at(i + 2) == '5') {
      if (!in_band) {
        pages.back().emplace_back();
        in_band = true;
        x = 0;
      }
      pages.back().back().feed_units += s.at(i + 3);
      i += 4;
    } else if (s[i] == 0x1B && s.at(i + 2) == '3') {
      x += count(i + 3);
      i += 5;
    } else if (s[i] == 0x1B && s.at(i + 2) == '1') {
      int n = count(i + 3);
      for (int c = 0; c < n; c++, x++) {
        std::array<unsigned char, 3> column = {s.at(i + 5 + 3 * c), s.at(i + 6 + 3 * c),
                                               s.at(i + 7 + 3 * c)};
        if (column[0] | column[1] | column[2]) {
          pages.back().back().columns[x] = column;
        }
      }
      i += 5 + 3 * static_cast<size_t>(n);
    } else {
      ADD_FAILURE() << "unexpected byte at " << i;
      break;
    }
  }
  return pages;
}

bool Dot(const DecodedBand &band, int column, int row) {
  auto found = band.columns.find(column);
  return found != band.columns.end() && (found->second[row / 8] & (0x80 >> (row % 8)));
}

size_t DotCount(const DecodedBand &band) {
  size_t dots = 0;
  for (const auto &column : band.columns) {
    for (unsigned char byte : column.second) {
      dots += static_cast<size_t>(__builtin_popcount(byte));
    }
  }
  return dots;
}

PpdOptions Ppd(const std::string &resolution, const std::string &top = "") {
  PpdOptions ppd;
  ppd.resolution = resolution;
  ppd.topMargin = top;
  return ppd;
}

FilterRun RunRotated(const PpdOptions &ppd, const Bytes &stream,
                     const std::string &options = "nopdfAutoRotate") {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(ppd));
  call.options = options;
  call.input = stream;
  return RunFilter(call);
}

Lines HeaderLines(unsigned width, unsigned height) {
  return HeaderLines(GreyPageHeader(width, height, 180));
}

// A turned page is counted like any other; its own lines frame its "PAGE:" line.
Lines RotatedLines(int number) {
  return {"Print rotate page", "PAGE: " + std::to_string(number) + " 1", "INFO: Start Page.",
          "INFO: End Page."};
}

TEST(RotatedPageTest, CornersLandTurnedAnticlockwise) {
  // 30 x 1450 at 180: turned, 1450 wide and 30 high, two bands.
  TestPage page = GreyPage(30, 1450, 255, 180);
  FillRect(page, 29, 0, 1, 1, 0);    // top right → top left
  FillRect(page, 0, 0, 1, 1, 0);     // top left → bottom left
  FillRect(page, 0, 1449, 1, 1, 0);  // bottom left → bottom right
  FilterRun run = RunRotated(Ppd("180dpi"), RasterStream({page}));
  Bytes expected =
      Cat({Hex("1B 49 0D 0D"), Hex("1B 25 35 00 1B 25 33 00 00 1B 25 31 00 01 80 00 00 0D"),
           Hex("1B 25 35 10 1B 25 33 00 00 1B 25 31 00 01 04 00 00 1B 25 33 05 A8"),
           Hex("1B 25 31 00 01 04 00 00 0D 0C")});
  EXPECT_EQ(run.out, expected) << DescribeDifference(expected, run.out);
  EXPECT_EQ(run.lines, Join({{"INFO: resolution 180 180."},
                             HeaderLines(30, 1450),
                             RotatedLines(1),
                             {"INFO: End Doc."}}));
  EXPECT_EQ(run.status, 0);
}

TEST(RotatedPageTest, A5At360PrintsAs42Bands) {
  // 2000 x 2900 at 360 is read halved both ways (1000 x 1450) and turned: 1450 wide and 1000
  // high, 41 bands of 24 rows and one of 16. Raster columns 0 and 1 become the last row.
  TestPage page = GreyPage(2000, 2900, 255, 360);
  FillRect(page, 0, 0, 2, 2900, 0);
  FilterRun run = RunRotated(Ppd("360dpi", "1"), RasterStream({page}));
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<DecodedPage> pages = Decode(run.out);
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].size(), 42u);
  EXPECT_EQ(pages[0][0].feed_units, 4);  // top margin 7 rows
  for (size_t b = 1; b < 42; b++) {
    EXPECT_EQ(pages[0][b].feed_units, 16) << "band " << b;
    EXPECT_EQ(pages[0][b].columns.empty(), b != 41) << "band " << b;
  }
  const DecodedBand &last = pages[0][41];
  EXPECT_EQ(last.columns.size(), 1450u);
  EXPECT_EQ(DotCount(last), 1450u);
  EXPECT_TRUE(Dot(last, 0, 15) && Dot(last, 1449, 15));
  EXPECT_EQ(Cat({Bytes(run.out.end() - 1, run.out.end())}), Hex("0C"));
}

TEST(RotatedPageTest, OddWidthAndHeightAt360) {
  // 1001 x 2801: halved to 501 x 1401. The last raster column is copied into the last
  // image column and the last raster row is halved alone into the last image row.
  TestPage page = GreyPage(1001, 2801, 255, 360);
  FillRect(page, 1000, 0, 1, 1, 0);  // image (500, 0) → turned row 0, column 0
  FillRect(page, 0, 2800, 2, 1, 0);  // image (0, 1400) → turned row 500, column 1400
  FilterRun run = RunRotated(Ppd("360dpi"), RasterStream({page}));
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<DecodedPage> pages = Decode(run.out);
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].size(), 21u);  // 501 rows
  EXPECT_TRUE(Dot(pages[0][0], 0, 0));
  EXPECT_EQ(DotCount(pages[0][0]), 1u);
  EXPECT_TRUE(Dot(pages[0][20], 1400, 20));
  EXPECT_EQ(DotCount(pages[0][20]), 1u);
}

TEST(RotatedPageTest, StreamEndingEarlyLeavesTheRightEndWhite) {
  // Only 100 of 1450 rows arrive: the turned page is white from column 100 on.
  TestPage page = GreyPage(30, 1450, 0, 180);
  Bytes stream = RasterStream({page});
  stream.resize(4 + sizeof(cups_page_header2_t) + 100 * 30);
  FilterRun run = RunRotated(Ppd("180dpi"), stream);
  EXPECT_EQ(run.status, 0) << run.err;
  Bytes expected = Cat({Hex("1B 49 0D 0D 1B 25 35 00 1B 25 33 00 00 1B 25 31 00 64"),
                        Repeat(0xFF, 300), Hex("0D 1B 25 35 10 1B 25 33 00 00 1B 25 31 00 64")});
  for (int c = 0; c < 100; c++) {
    expected.insert(expected.end(), {0xFC, 0x00, 0x00});
  }
  expected.insert(expected.end(), {0x0D, 0x0C});
  EXPECT_EQ(run.out, expected) << DescribeDifference(expected, run.out);
}

TEST(RotatedPageTest, RotatedPagesAreCounted) {
  TestPage rotated = GreyPage(30, 1450, 255, 180);
  TestPage normal = GreyPage(6, 24, 255, 180);
  FilterRun run = RunRotated(Ppd("180dpi"), RasterStream({rotated, rotated, normal}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines,
            Join({{"INFO: resolution 180 180."},
                  HeaderLines(30, 1450),
                  RotatedLines(1),
                  HeaderLines(30, 1450),
                  RotatedLines(2),
                  HeaderLines(6, 24),
                  {"PAGE: 3 1", "INFO: Starting page 3.", "INFO: End Page.", "INFO: End Doc."}}));
}

TEST(RotatedPageTest, WithoutTheOptionThePageIsPrintedUpright) {
  TestPage page = GreyPage(30, 1450, 255, 180);
  FilterRun run = RunRotated(Ppd("180dpi"), RasterStream({page}), "nopdfautorotate");
  EXPECT_EQ(run.out, Hex("1B 49 0D 0D 0C"));
  EXPECT_EQ(run.lines,
            Join({{"INFO: resolution 180 180."},
                  HeaderLines(30, 1450),
                  {"PAGE: 1 1", "INFO: Starting page 1.", "INFO: End Page.", "INFO: End Doc."}}));
}

TEST(RotatedPageTest, ImageThatCannotBeObtainedEndsTheJob) {
#ifdef QUILLMARSH_SANITIZED
  GTEST_SKIP() << "the preloaded failing allocator cannot run beside the sanitizers' own";
#endif
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  call.options = "nopdfAutoRotate";
  call.input = RasterStream({GreyPage(30, 1450, 0, 180)});
  call.env = {"LD_PRELOAD=" + FailAllocPath(), "FAIL_ALLOC_MIN=43500", "FAIL_ALLOC_MAX=43500"};
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, Hex("1B 49 0D"));
  EXPECT_EQ(run.lines, Join({{"INFO: resolution 180 180."},
                             HeaderLines(30, 1450),
                             {"Print rotate page", "PAGE: 1 1", "ERROR: Allocate memory failed.",
                              "INFO: End Doc."}}));
}

TEST(RotatedPageTest, CancelStopsTheTurnedPageBetweenBands) {
  // The cancel comes while the page's rows are read: the page is closed before its first
  // band, and the following page is not printed.
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  call.options = "nopdfAutoRotate";
  Bytes stream = RasterStream({GreyPage(30, 1450, 0, 180), GreyPage(6, 24, 0, 180)});
  RunningFilter running = StartFilter(call, true);
  size_t half = 4 + sizeof(cups_page_header2_t) + 700 * 30;
  ASSERT_EQ(write(running.input, stream.data(), half), static_cast<ssize_t>(half));
  usleep(200 * 1000);
  kill(running.pid, SIGTERM);
  usleep(100 * 1000);
  ASSERT_EQ(write(running.input, stream.data() + half, stream.size() - half),
            static_cast<ssize_t>(stream.size() - half));
  FilterRun run = FinishFilter(running);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, Hex("1B 49 0D 0D 0C"));
  EXPECT_EQ(run.lines, Join({{"INFO: resolution 180 180."},
                             HeaderLines(30, 1450),
                             RotatedLines(1),
                             {"INFO: End Doc."}}));
}

// The turn asked for by the print dialog (the PPD's TurnPages, as its default or the job's
// choice) or by the option string; either is enough.
struct TurnAskCase {
  const char *name;
  std::string ppdDefault;  // the PPD's default TurnPages choice
  std::string options;     // the job's option string
  bool turned;
};

class TurnPagesTest : public testing::TestWithParam<TurnAskCase> {};

TEST_P(TurnPagesTest, TurnsWhenAsked) {
  const TurnAskCase &c = GetParam();
  PpdOptions ppd = Ppd("180dpi");
  ppd.turnPages = c.ppdDefault;
  FilterRun run = RunRotated(ppd, RasterStream({GreyPage(30, 1450, 255, 180)}), c.options);
  EXPECT_EQ(run.status, 0) << run.err;
  const Lines upright = {"PAGE: 1 1", "INFO: Starting page 1.", "INFO: End Page."};
  EXPECT_EQ(run.lines, Join({{"INFO: resolution 180 180."},
                             HeaderLines(30, 1450),
                             c.turned ? RotatedLines(1) : upright,
                             {"INFO: End Doc."}}));
}

INSTANTIATE_TEST_SUITE_P(
    Asks, TurnPagesTest,
    testing::Values(TurnAskCase{"PpdDefaultTrue", "True", "", true},
                    TurnAskCase{"JobChoosesTrue", "False", "TurnPages=True", true},
                    TurnAskCase{"FalseWithOptionString", "False", "TurnPages=False nopdfAutoRotate",
                                true},
                    TurnAskCase{"JobChoosesFalse", "True", "TurnPages=False", false},
                    TurnAskCase{"PpdDefaultFalse", "False", "", false}),
    [](const testing::TestParamInfo<TurnAskCase> &info) { return info.param.name; });

// While a page is sent the scheduler hears how far it is, at every quarter of its rows and at
// its end, on both paths; the lines come between the page's first and last lines.
struct ProgressCase {
  const char *name;
  TestPage page;
  std::vector<int> percents;
};

void PrintTo(const ProgressCase &c, std::ostream *out) {
  *out << c.name;
}

class ProgressTest : public testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressTest, ReportsRisingPercentages) {
  const ProgressCase &c = GetParam();
  FilterRun run = RunRotated(Ppd("180dpi"), RasterStream({c.page}));
  ASSERT_EQ(run.status, 0) << run.err;
  Lines expected;
  for (int percent : c.percents) {
    expected.push_back("INFO: Printing page 1, " + std::to_string(percent) + "% complete.");
    expected.push_back("ATTR: job-media-progress=" + std::to_string(percent));
  }
  EXPECT_EQ(run.progress, expected);
  const size_t first = run.err.find("INFO: Printing page 1,");
  EXPECT_LT(run.err.find("PAGE: 1 1"), first);
  EXPECT_LT(run.err.rfind("job-media-progress=100"), run.err.find("INFO: End Page."));
}

INSTANTIATE_TEST_SUITE_P(Pages, ProgressTest,
                         testing::Values(
                             // Four bands of 24 rows: each a quarter.
                             ProgressCase{"Upright", GreyPage(6, 96, 0, 180), {25, 50, 75, 100}},
                             // Turned, 1450 wide and 30 high: a band of 24 rows, then the last 6.
                             ProgressCase{"Turned", GreyPage(30, 1450, 0, 180), {80, 100}},
                             // A white page sends no band; its end is still reported.
                             ProgressCase{"WhitePage", GreyPage(6, 96, 255, 180), {100}}),
                         [](const testing::TestParamInfo<ProgressCase> &info) {
                           return info.param.name;
                         });

}  // namespace
