// Whole jobs through the built filter, run as the scheduler runs it: standard output byte for
// byte, standard error line for line, and the exit status.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const Bytes kLetterPrologue = Hex("1B 49 0D");
const Bytes kDraftPrologue = Hex("1B 44 0D");
const Bytes kPageStart = Hex("0D");
const Bytes kPageEnd = Hex("0C");
const Bytes kLeft0 = Hex("1B 25 33 00 00");

Lines PrintedPage(const TestPage &page, int number, int copies = 1) {
  return Join({HeaderLines(page),
               {"PAGE: " + std::to_string(number) + " " + std::to_string(copies),
                "INFO: Starting page " + std::to_string(number) + ".", "INFO: End Page."}});
}

TestPage Page(unsigned width, unsigned height, unsigned char fill, unsigned resolution = 180) {
  return GreyPage(width, height, fill, resolution);
}

// A whole job: the pages, the PPD's resolution and margins, and what must come out.
struct JobCase {
  const char *name;
  std::vector<TestPage> pages;
  PpdOptions ppd;
  Bytes expected_out;
  Lines expected_err;  // after the job option lines
  int expected_status;
};

void PrintTo(const JobCase &c, std::ostream *out) {
  *out << c.name;
}

PpdOptions Ppd(const std::string &resolution, const std::string &top = "",
               const std::string &left = "") {
  PpdOptions ppd;
  ppd.resolution = resolution;
  ppd.topMargin = top;
  ppd.leftMargin = left;
  return ppd;
}

PpdOptions DraftPpd() {
  PpdOptions ppd = Ppd("180dpi");
  ppd.quality = "DraftQuality";
  return ppd;
}

Lines ResolutionLine(const std::string &resolution) {
  if (resolution == "180dpi") {
    return {"INFO: resolution 180 180."};
  }
  if (resolution == "360dpi") {
    return {"INFO: resolution 360 360."};
  }
  if (resolution.empty()) {
    return {};
  }
  return {"INFO: resolution 360 180."};
}

void ExpectJob(const JobCase &c, const FilterRun &run) {
  EXPECT_EQ(run.status, c.expected_status) << run.err;
  EXPECT_EQ(run.out, c.expected_out) << DescribeDifference(c.expected_out, run.out);
  EXPECT_EQ(run.lines, Join({ResolutionLine(c.ppd.resolution), c.expected_err}));
}

class WholeJobTest : public testing::TestWithParam<JobCase> {};

TEST_P(WholeJobTest, FromStandardInput) {
  const JobCase &c = GetParam();
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(c.ppd));
  call.input = RasterStream(c.pages);
  ExpectJob(c, RunFilter(call));
}

TEST_P(WholeJobTest, FromCompressedFile) {
  const JobCase &c = GetParam();
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(c.ppd));
  call.file = dir.Write("job.ras", RasterStream(c.pages, CUPS_RASTER_WRITE_COMPRESSED));
  call.argc = 7;
  ExpectJob(c, RunFilter(call));
}

// Pages used below.
TestPage Black6x24 = Page(6, 24, 0);
TestPage Black6x30 = Page(6, 30, 0);

TestPage LeadingWhite() {
  TestPage page = Page(6, 24, 0);
  FillRect(page, 0, 0, 6, 10, 255);
  return page;
}
TestPage WhiteAfterBand() {
  TestPage page = Page(6, 51, 0);
  FillRect(page, 0, 24, 6, 3, 255);
  return page;
}
TestPage WhiteRowInBand() {
  TestPage page = Page(6, 24, 0);
  FillRect(page, 0, 5, 6, 1, 255);
  return page;
}
TestPage Copies3() {
  TestPage page = Page(6, 24, 0);
  page.header.NumCopies = 3;
  return page;
}
// 999 pixels across at 360: the band is 500 wide and its last pixel is the last raster pixel
// of the merged pair, copied. Five rows: two pairs and a last row halved across alone.
TestPage OddAt360() {
  TestPage page = Page(999, 5, 255, 360);
  FillRect(page, 998, 0, 1, 1, 0);  // merged with white below: stays black, copied
  FillRect(page, 0, 4, 2, 1, 100);  // last row: (100 + 100) / 2 = 100 prints
  FillRect(page, 2, 4, 1, 1, 0);    // (0 + 255) / 2 = 127 prints
  FillRect(page, 4, 4, 1, 1, 200);  // (200 + 255) / 2 = 227 does not
  return page;
}
TestPage Black100At360() {
  return Page(4, 100, 0, 360);
}
// A grey of 127 halftones at 180 rows but thresholds at 360.
TestPage Grey127(unsigned resolution) {
  return Page(6, 24, 127, resolution);
}

Bytes HalftonedGrey127Band() {
  // Rows of the 6 x 6 matrix with thresholds above 127, as bits of each column's 3 bytes.
  static const unsigned char kThresholds[6][6] = {
      {161, 230, 111, 61, 24, 53}, {48, 35, 75, 91, 134, 80}, {30, 11, 41, 171, 217, 119},
      {65, 25, 57, 152, 193, 104}, {97, 143, 85, 45, 33, 70}, {182, 205, 126, 28, 1, 53}};
  Bytes band = Cat({Feed(0), kLeft0, Graphics(6)});
  for (int c = 0; c < 6; c++) {
    unsigned char column[3] = {0, 0, 0};
    for (int r = 0; r < 24; r++) {
      if (127 < kThresholds[c][r % 6]) {
        column[r / 8] |= static_cast<unsigned char>(0x80 >> (r % 8));
      }
    }
    band.insert(band.end(), column, column + 3);
  }
  band.push_back(0x0D);
  return band;
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, WholeJobTest,
    testing::Values(
        JobCase{"OneBlackPage",
                {Black6x24},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Black6x24, 1), {"INFO: End Doc."}}),
                0},
        JobCase{"NoPages", {}, Ppd("180dpi"), kLetterPrologue, {"INFO: End Doc."}, 0},
        JobCase{"DraftJob",
                {Black6x24},
                DraftPpd(),
                Cat({kDraftPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Black6x24, 1), {"INFO: End Doc."}}),
                0},
        JobCase{"WhitePage",
                {Page(40, 100, 255)},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, kPageEnd}),
                Join({PrintedPage(Page(40, 100, 255), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"ThirtyRows",
                {Black6x30},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")),
                     SolidBand(16, 6, Hex("FC 00 00")), kPageEnd}),
                Join({PrintedPage(Black6x30, 1), {"INFO: End Doc."}}),
                0},
        JobCase{"LeadingWhiteRowsBecomeFeed",
                {LeadingWhite()},
                Ppd("180dpi", "1"),
                // top margin 7 rows + 10 white rows = 17 rows = 10 units
                Cat({kLetterPrologue, kPageStart, SolidBand(10, 6, Hex("FF FC 00")), kPageEnd}),
                Join({PrintedPage(LeadingWhite(), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"WhiteRowsAfterFullBand",
                {WhiteAfterBand()},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")),
                     SolidBand(18, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(WhiteAfterBand(), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"WhiteRowInsideBandIsPrinted",
                {WhiteRowInBand()},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FB FF FF")), kPageEnd}),
                Join({PrintedPage(WhiteRowInBand(), 1), {"INFO: End Doc."}}),
                0},
        JobCase{
            "OddWidthAndHeightAt360",
            {OddAt360()},
            Ppd("360dpi"),
            Cat({kLetterPrologue, kPageStart, Feed(0), kLeft0, Graphics(2),
                 Hex("20 00 00 20 00 00"), Skip(497), Graphics(1), Hex("80 00 00 0D"), kPageEnd}),
            Join({PrintedPage(OddAt360(), 1), {"INFO: End Doc."}}),
            0},
        JobCase{"LoneLastRowAt360IsDroppedWithoutBand",
                {Page(8, 1, 0, 360)},
                Ppd("360dpi"),
                Cat({kLetterPrologue, kPageStart, kPageEnd}),
                Join({PrintedPage(Page(8, 1, 0, 360), 1), {"INFO: End Doc."}}),
                0},
        JobCase{
            "HundredRowsAt360",
            {Black100At360()},
            Ppd("360dpi"),
            Cat({kLetterPrologue, kPageStart, SolidBand(0, 2, Hex("FF FF FF")),
                 SolidBand(16, 2, Hex("FF FF FF")), SolidBand(16, 2, Hex("C0 00 00")), kPageEnd}),
            Join({PrintedPage(Black100At360(), 1), {"INFO: End Doc."}}),
            0},
        JobCase{"HalftoneAt180",
                {Grey127(180)},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, HalftonedGrey127Band(), kPageEnd}),
                Join({PrintedPage(Grey127(180), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"ThresholdAt360",
                {Page(12, 48, 127, 360)},
                Ppd("360dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Page(12, 48, 127, 360), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"MergedAndHalftonedForOtherResolution",
                {Page(12, 48, 127, 360)},
                Ppd("360x180dpi"),
                Cat({kLetterPrologue, kPageStart, HalftonedGrey127Band(), kPageEnd}),
                Join({PrintedPage(Page(12, 48, 127, 360), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"NoResolutionThresholdsFullWidth",
                {Grey127(180)},
                Ppd(""),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Grey127(180), 1), {"INFO: End Doc."}}),
                0},
        JobCase{"CopiesInPageLine",
                {Copies3()},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Copies3(), 1, 3), {"INFO: End Doc."}}),
                0},
        JobCase{"SeveralPages",
                {Black6x24, Page(3, 10, 255), Black6x30},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd,
                     kPageStart, kPageEnd, kPageStart, SolidBand(0, 6, Hex("FF FF FF")),
                     SolidBand(16, 6, Hex("FC 00 00")), kPageEnd}),
                Join({PrintedPage(Black6x24, 1),
                      PrintedPage(Page(3, 10, 255), 2),
                      PrintedPage(Black6x30, 3),
                      {"INFO: End Doc."}}),
                0},
        JobCase{"NegativeMarginsSendZero",
                {Black6x24},
                Ppd("180dpi", "-2", "-3"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Black6x24, 1), {"INFO: End Doc."}}),
                0},
        JobCase{"LeftMarginBeyondSkipRange",
                {Black6x24},
                Ppd("180dpi", "", "10000"),
                Cat({kLetterPrologue, kPageStart, Feed(0), Skip(65535), Graphics(6),
                     Repeat(0xFF, 18), Hex("0D"), kPageEnd}),
                Join({PrintedPage(Black6x24, 1), {"INFO: End Doc."}}),
                0}),
    [](const testing::TestParamInfo<JobCase> &info) { return info.param.name; });

// Pages the filter refuses: the job ends there with an error line and status 1.
TestPage WithHeader(void (*change)(cups_page_header2_t &)) {
  TestPage page = Page(6, 24, 0);
  change(page.header);
  return page;
}

// Forms of any length: with PageEnd=Feed every page ends by feeding the rest of its length,
// from the header's page size in points, else its rows; a page longer than its form gets no
// feed, and the job's messages say so once.
PpdOptions FeedPpd() {
  PpdOptions ppd = Ppd("180dpi");
  ppd.pageEnd = "Feed";
  return ppd;
}

TestPage OnForm(TestPage page, unsigned length_points) {
  page.header.PageSize[1] = length_points;
  return page;
}

const TestPage kLabel = OnForm(Black6x24, 72);            // one band on a 1-inch form
const TestPage kTallLabel = OnForm(Page(6, 360, 0), 72);  // 2 inches of ink on a 1-inch form

// A page of count black bands 6 columns wide, each after a band's feed (16 units).
Bytes BlackBands(int count) {
  Bytes bands = SolidBand(0, 6, Hex("FF FF FF"));
  for (int band = 1; band < count; band++) {
    bands = Cat({bands, SolidBand(16, 6, Hex("FF FF FF"))});
  }
  return bands;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WholeJobTest,
    testing::Values(
        JobCase{"FeedsTheRestOfTheForm",
                {kLabel, kLabel},
                FeedPpd(),
                Cat({kLetterPrologue, kPageStart, BlackBands(1), Feed(120), kPageStart,
                     BlackBands(1), Feed(120)}),
                Join({{"INFO: page end feed."},
                      PrintedPage(kLabel, 1),
                      PrintedPage(kLabel, 2),
                      {"INFO: End Doc."}}),
                0},
        // No page size: 24 rows at 180 dpi are 16 units, all of them the band's.
        JobCase{"FormFromTheRowsWithoutAPageSize",
                {Black6x24},
                FeedPpd(),
                Cat({kLetterPrologue, kPageStart, BlackBands(1), Feed(16)}),
                Join({{"INFO: page end feed."}, PrintedPage(Black6x24, 1), {"INFO: End Doc."}}),
                0},
        JobCase{"PagesLongerThanTheirFormAreSaidOnce",
                {kTallLabel, kTallLabel},
                FeedPpd(),
                Cat({kLetterPrologue, kPageStart, BlackBands(15), kPageStart, BlackBands(15)}),
                Join({{"INFO: page end feed."},
                      HeaderLines(kTallLabel),
                      {"PAGE: 1 1", "INFO: Starting page 1.",
                       "WARNING: Page 1 is longer than its paper size; it ends without a feed and "
                       "the next page starts below it.",
                       "INFO: End Page."},
                      PrintedPage(kTallLabel, 2),
                      {"INFO: End Doc."}}),
                0},
        JobCase{"FormFeedChoiceIsTodaysBytes",
                {kLabel},
                [] {
                  PpdOptions ppd = Ppd("180dpi");
                  ppd.pageEnd = "FormFeed";
                  return ppd;
                }(),
                Cat({kLetterPrologue, kPageStart, BlackBands(1), kPageEnd}),
                Join({PrintedPage(kLabel, 1), {"INFO: End Doc."}}),
                0}),
    [](const testing::TestParamInfo<JobCase> &info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    RefusedPages, WholeJobTest,
    testing::Values(
        JobCase{"OneBitPerPixel",
                {WithHeader([](cups_page_header2_t &h) {
                  h.cupsBitsPerPixel = 1;
                  h.cupsBitsPerColor = 1;
                  h.cupsBytesPerLine = 1;
                })},
                Ppd("180dpi"),
                kLetterPrologue,
                Join({HeaderLines(WithHeader([](cups_page_header2_t &h) {
                        h.cupsBitsPerPixel = 1;
                        h.cupsBitsPerColor = 1;
                        h.cupsBytesPerLine = 1;
                      })),
                      {"ERROR: Unsupported raster format: 1 bits per pixel.", "INFO: End Doc."}}),
                1},
        JobCase{"RgbColorSpace",
                {WithHeader([](cups_page_header2_t &h) { h.cupsColorSpace = CUPS_CSPACE_RGB; })},
                Ppd("180dpi"),
                kLetterPrologue,
                Join({HeaderLines(Page(6, 24, 0)),
                      {"ERROR: Unsupported raster color space: 1.", "INFO: End Doc."}}),
                1},
        JobCase{"BytesPerLineNotWidth",
                {WithHeader([](cups_page_header2_t &h) { h.cupsWidth = 5; })},
                Ppd("180dpi"),
                kLetterPrologue,
                Join({HeaderLines(WithHeader([](cups_page_header2_t &h) { h.cupsWidth = 5; })),
                      {"ERROR: Invalid raster page header.", "INFO: End Doc."}}),
                1},
        JobCase{"RefusedPageAfterGoodPage",
                {Black6x24,
                 WithHeader([](cups_page_header2_t &h) { h.cupsColorSpace = CUPS_CSPACE_K; })},
                Ppd("180dpi"),
                Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd}),
                Join({PrintedPage(Black6x24, 1),
                      HeaderLines(Black6x24),
                      {"ERROR: Unsupported raster color space: 3.", "INFO: End Doc."}}),
                1},
        JobCase{"TooWideAt180",
                {Page(65536, 1, 0)},
                Ppd("180dpi"),
                kLetterPrologue,
                Join({HeaderLines(Page(65536, 1, 0)),
                      {"PAGE: 1 1", "INFO: Starting page 1.",
                       "ERROR: The page is too wide for the printer.", "INFO: End Doc."}}),
                1},
        JobCase{"TooWideAt360",
                {Page(131071, 1, 0, 360)},
                Ppd("360dpi"),
                kLetterPrologue,
                Join({HeaderLines(Page(131071, 1, 0, 360)),
                      {"PAGE: 1 1", "INFO: Starting page 1.",
                       "ERROR: The page is too wide for the printer.", "INFO: End Doc."}}),
                1}),
    [](const testing::TestParamInfo<JobCase> &info) { return info.param.name; });

TEST(WidestPageTest, PrintsAtTheLimitOfTheColumnCounts) {
  // 131070 pixels at 360 are 65535 band columns, the most a graphics command can carry.
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("360dpi")));
  call.input = RasterStream({Page(131070, 2, 0, 360)});
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 0) << run.err;
  Bytes head = Cat({kLetterPrologue, kPageStart, Feed(0), kLeft0, Graphics(65535)});
  ASSERT_EQ(run.out.size(), head.size() + 3 * 65535 + 2);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), run.out.begin()));
}

// Failures at start-up: nothing reaches the printer.
struct StartupCase {
  const char *name;
  int argc;
  bool with_ppd;
  std::string file;
  std::string expected_err;
  int expected_status;
};

void PrintTo(const StartupCase &c, std::ostream *out) {
  *out << c.name;
}

class StartupTest : public testing::TestWithParam<StartupCase> {};

TEST_P(StartupTest, RefusesWithMessage) {
  const StartupCase &c = GetParam();
  TempDir dir;
  FilterCall call;
  call.argc = c.argc;
  call.file = c.file;
  if (c.with_ppd) {
    call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  }
  call.input = RasterStream({Black6x24});
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, c.expected_status);
  EXPECT_EQ(run.err, c.expected_err);
  EXPECT_TRUE(run.out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Startup, StartupTest,
    testing::Values(StartupCase{"FiveArguments", 5, true, "",
                                "ERROR: quillmarsh job-id user title copies options [file]", 1},
                    StartupCase{"EightArguments", 8, true, "/dev/null",
                                "ERROR: quillmarsh job-id user title copies options [file]", 1},
                    StartupCase{"PpdUnset", 6, false, "",
                                "ERROR: The PPD file could not be opened.\n", 1},
                    StartupCase{"RasterFileMissing", 7, true, "/nonexistent/job.ras",
                                "ERROR: Unable to open the raster file.\n", 1}),
    [](const testing::TestParamInfo<StartupCase> &info) { return info.param.name; });

TEST(StartupTest, PpdThatIsNotAPpd) {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", std::string("this is not a PPD\n"));
  call.input = RasterStream({Black6x24});
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "ERROR: The PPD file could not be opened.\n");
  EXPECT_TRUE(run.out.empty());
}

// A stream that ends inside a page: the rows read are printed, the page is closed.
TEST(TruncatedStreamTest, PrintsWhatArrivedAndClosesThePage) {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  TestPage page = Page(6, 48, 0);
  Bytes stream = RasterStream({page});
  stream.resize(stream.size() - 6 * 24 - 6 * 20);  // 4 of 48 rows left
  call.input = stream;
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 0);
  Bytes expected = Cat({kLetterPrologue, kPageStart, SolidBand(0, 6, Hex("F0 00 00")), kPageEnd});
  EXPECT_EQ(run.out, expected) << DescribeDifference(expected, run.out);
}

// Standard output that cannot take the print data: the job still runs, then fails.
struct OutputFailureCase {
  const char *name;
  std::string path;
  bool closed_by_reader;
};

class OutputFailureTest : public testing::TestWithParam<OutputFailureCase> {};

TEST_P(OutputFailureTest, ReportsUnwritableOutput) {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  call.input = RasterStream({Page(2000, 500, 0)});
  call.stdout_path = GetParam().path;
  call.stdout_closed_by_reader = GetParam().closed_by_reader;
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 1);
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[run.lines.size() - 2], "INFO: End Doc.");
  EXPECT_EQ(run.lines.back(), "ERROR: Unable to write print data.");
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputFailureTest,
                         testing::Values(OutputFailureCase{"FullDisk", "/dev/full", false},
                                         OutputFailureCase{"ReaderGone", "", true}),
                         [](const auto &info) { return info.param.name; });

// Buffers that cannot be obtained end the job with an error, whichever buffer it is.
struct AllocationCase {
  const char *name;
  unsigned width;
  unsigned resolution;
  size_t fail_size;  // the size of the allocation that fails
  Lines tail;        // the last lines of standard error
  Bytes expected_out;
};

void PrintTo(const AllocationCase &c, std::ostream *out) {
  *out << c.name;
}

class AllocationFailureTest : public testing::TestWithParam<AllocationCase> {};

TEST_P(AllocationFailureTest, EndsTheJobWithError) {
#ifdef QUILLMARSH_SANITIZED
  GTEST_SKIP() << "the preloaded failing allocator cannot run beside the sanitizers' own";
#endif
  const AllocationCase &c = GetParam();
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd(c.resolution == 360 ? "360dpi" : "180dpi")));
  call.input = RasterStream({Page(c.width, 4, 0, c.resolution)});
  call.env = {"LD_PRELOAD=" + FailAllocPath(), "FAIL_ALLOC_MIN=" + std::to_string(c.fail_size),
              "FAIL_ALLOC_MAX=" + std::to_string(c.fail_size)};
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 1) << run.err;
  ASSERT_GE(run.lines.size(), c.tail.size());
  EXPECT_EQ(Lines(run.lines.end() - c.tail.size(), run.lines.end()), c.tail);
  EXPECT_EQ(run.out, c.expected_out) << DescribeDifference(c.expected_out, run.out);
}

const Lines kAllocationTail = {"PAGE: 1 1", "INFO: Starting page 1.",
                               "ERROR: Allocate memory failed.", "INFO: End Doc."};

INSTANTIATE_TEST_SUITE_P(
    Buffers, AllocationFailureTest,
    testing::Values(
        AllocationCase{"GreyBand", 50001, 180, 24 * 50001, kAllocationTail, kLetterPrologue},
        AllocationCase{"PackedBand", 50001, 180, 3 * 50001, kAllocationTail, kLetterPrologue},
        AllocationCase{"RowPair", 100002, 360, 100002, kAllocationTail, kLetterPrologue},
        // The band's command buffer: the page has begun, and the band is not sent.
        AllocationCase{"BandCommands", 50001, 180, 3 * 50001 + 24, kAllocationTail,
                       Cat({kLetterPrologue, kPageStart})}),
    [](const testing::TestParamInfo<AllocationCase> &info) { return info.param.name; });

// A stop signal while a page is being printed: the band in progress is finished, the page
// closed with a form feed, and the job ends without an error, so that the printer never takes
// the next job's bytes as image data.
class CancelTest : public testing::TestWithParam<int> {};

TEST_P(CancelTest, StopSignalMidPageEndsWithWholeBandsAndFormFeed) {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  const int width = 6;
  const int bands = 100;
  Bytes stream = RasterStream({Page(width, 24 * bands, 0), Page(width, 24, 0)});
  const size_t band_bytes = 24 * width;

  // The stream's sync word, the first page's header and three bands of rows.
  RunningFilter running = StartFilter(call, true);
  size_t first_part = 4 + sizeof(cups_page_header2_t) + 3 * band_bytes;
  ASSERT_EQ(write(running.input, stream.data(), first_part), static_cast<ssize_t>(first_part));
  usleep(300 * 1000);
  kill(running.pid, GetParam());
  usleep(100 * 1000);
  // One more band's rows let a band that was waiting for its rows finish.
  ASSERT_EQ(write(running.input, stream.data() + first_part, band_bytes),
            static_cast<ssize_t>(band_bytes));
  FilterRun run = FinishFilter(running);

  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0) << run.err;
  Bytes band = SolidBand(16, width, Hex("FF FF FF"));
  Bytes first = SolidBand(0, width, Hex("FF FF FF"));
  Bytes head = Cat({kLetterPrologue, kPageStart, first});
  ASSERT_GE(run.out.size(), head.size() + 1);
  ASSERT_TRUE(std::equal(head.begin(), head.end(), run.out.begin()));
  size_t rest = run.out.size() - head.size() - 1;
  ASSERT_EQ(rest % band.size(), 0u) << "the stream must end with whole bands";
  size_t later_bands = rest / band.size();
  EXPECT_LE(later_bands, 3u);
  for (size_t i = 0; i < later_bands; i++) {
    EXPECT_TRUE(
        std::equal(band.begin(), band.end(), run.out.begin() + head.size() + i * band.size()));
  }
  EXPECT_EQ(run.out.back(), 0x0C);
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[run.lines.size() - 2], "INFO: End Page.");
  EXPECT_EQ(run.lines.back(), "INFO: End Doc.");
}

INSTANTIATE_TEST_SUITE_P(Signals, CancelTest, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int> &info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// SIGTERM while the filter waits for a slow printer to take its data: the write goes on, no
// byte is lost, and the page still ends with whole bands and a form feed.
TEST(CancelTest, SigtermDuringBlockedWriteLosesNothing) {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  const int width = 2000;
  call.input = RasterStream({Page(width, 24 * 100, 0)});
  call.stdout_through_pipe = true;
  RunningFilter running = StartFilter(call, false);
  usleep(300 * 1000);  // the pipe fills after a few bands and the filter blocks in write
  kill(running.pid, SIGTERM);
  usleep(100 * 1000);
  FilterRun run = FinishFilter(running);

  EXPECT_EQ(run.status, 0) << run.err;
  Bytes first = SolidBand(0, width, Hex("FF FF FF"));
  Bytes band = SolidBand(16, width, Hex("FF FF FF"));
  Bytes head = Cat({kLetterPrologue, kPageStart, first});
  ASSERT_GE(run.out.size(), head.size() + 1);
  ASSERT_TRUE(std::equal(head.begin(), head.end(), run.out.begin()));
  size_t rest = run.out.size() - head.size() - 1;
  ASSERT_EQ(rest % band.size(), 0u) << "the stream must end with whole bands";
  EXPECT_LT(rest / band.size(), 99u) << "the cancel must stop the page";
  EXPECT_EQ(run.out.back(), 0x0C);
  EXPECT_EQ(run.lines.back(), "INFO: End Doc.");
}

// A standard output set non-blocking (by a backend or a wrapper) is waited on, never taken as
// failed: a slow printer gets the very stream a blocking pipe gets, with no hole in it.
TEST(NonBlockingOutputTest, SlowPrinterGetsTheWholeStream) {
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  TestPage page = Page(1000, 24 * 20, 255);
  FillRect(page, 0, 0, 1000, 24 * 20, 100);  // halftoned grey: dense graphics data
  call.input = RasterStream({page, page});
  call.stdout_through_pipe = true;
  const FilterRun blocking = RunFilter(call);
  ASSERT_EQ(blocking.status, 0) << blocking.err;

  call.stdout_nonblocking = true;
  const FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.lines, blocking.lines);
  EXPECT_EQ(run.out, blocking.out) << DescribeDifference(blocking.out, run.out);
}

// Damaged input: when no page follows but the input had not ended, the pages after the damage
// would vanish while the job reports success; the job fails instead. Pages printed before stay
// printed, whole.
struct DamageCase {
  const char *name;
  Bytes input;     // standard input
  bool directory;  // a folder given as the raster file instead
  Lines tail;      // the last lines of standard error
  Bytes out;
};

void PrintTo(const DamageCase &c, std::ostream *out) {
  *out << c.name;
}

class DamagedInputTest : public testing::TestWithParam<DamageCase> {};

TEST_P(DamagedInputTest, FailsWithMessage) {
  const DamageCase &c = GetParam();
  TempDir dir;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(Ppd("180dpi")));
  call.input = c.input;
  if (c.directory) {
    call.file = dir.path();
    call.argc = 7;
  }
  FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 1) << run.err;
  ASSERT_GE(run.lines.size(), c.tail.size());
  EXPECT_EQ(Lines(run.lines.end() - c.tail.size(), run.lines.end()), c.tail) << run.err;
  EXPECT_EQ(run.out, c.out) << DescribeDifference(c.out, run.out);
}

const TestPage kBlack6x24 = Page(6, 24, 0);
const Bytes kBlackPageOut = Cat({kPageStart, SolidBand(0, 6, Hex("FF FF FF")), kPageEnd});

// Two pages whose second header says the page has no rows, which libcups refuses.
Bytes SecondHeaderRejected() {
  Bytes stream = RasterStream({kBlack6x24, kBlack6x24});
  const size_t second = 4 + sizeof(cups_page_header2_t) + kBlack6x24.pixels.size();
  const uint32_t zero = 0;
  memcpy(&stream[second + offsetof(cups_page_header2_t, cupsHeight)], &zero, sizeof zero);
  return stream;
}

Lines Damaged(int pages) {
  return {"ERROR: The raster data is damaged after page " + std::to_string(pages) + ".",
          "INFO: End Doc."};
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DamagedInputTest,
    testing::Values(DamageCase{"RejectedHeaderMidJob", SecondHeaderRejected(), false, Damaged(1),
                               Cat({kLetterPrologue, kBlackPageOut})},
                    DamageCase{"SecondStreamAppended",
                               Cat({RasterStream({kBlack6x24}), RasterStream({kBlack6x24})}), false,
                               Damaged(1), Cat({kLetterPrologue, kBlackPageOut})},
                    DamageCase{"TrailingGarbage",
                               Cat({RasterStream({kBlack6x24}), Repeat('A', 4000)}), false,
                               Damaged(1), Cat({kLetterPrologue, kBlackPageOut})},
                    // libcups reads a compressed stream ahead into a buffer of its own.
                    DamageCase{"TrailingGarbageAfterCompressedStream",
                               Cat({RasterStream({kBlack6x24}, CUPS_RASTER_WRITE_COMPRESSED),
                                    Repeat('A', 4000)}),
                               false, Damaged(1), Cat({kLetterPrologue, kBlackPageOut})},
                    DamageCase{"NotARasterStream", Cat({Hex("25 50 44 46"), Repeat('x', 100)}),
                               false, Damaged(0), kLetterPrologue},
                    DamageCase{"DirectoryAsInput",
                               Bytes{},
                               true,
                               {"ERROR: Unable to read the raster data.", "INFO: End Doc."},
                               kLetterPrologue}),
    [](const testing::TestParamInfo<DamageCase> &info) { return info.param.name; });

}  // namespace
