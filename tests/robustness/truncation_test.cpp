// A two-page raster stream cut at every byte offset, run through the built filter: never a
// crash, exit status 0, the rows that arrived printed and every page begun closed with a form
// feed, the messages line for line, and output that passes the job output checks.

#include <gtest/gtest.h>

#include "job_output_check.h"
#include "test_support.h"

namespace {

constexpr size_t kSyncBytes = 4;
constexpr size_t kHeaderBytes = sizeof(cups_page_header2_t);

// The stream's two pages: black, so that every row that arrived shows in the bands.
constexpr unsigned kFirstWidth = 6;
constexpr unsigned kFirstHeight = 30;
constexpr unsigned kSecondWidth = 4;
constexpr unsigned kSecondHeight = 5;

// Offsets are tried in slices, so that the slices run side by side.
constexpr size_t kSliceBytes = 512;

// One black band of the given width and rows, fed by the given printer units.
Bytes BlackBand(unsigned width, unsigned rows, int units) {
  const uint32_t bits = 0xFFFFFFu << (24 - rows) & 0xFFFFFFu;
  const Bytes column = {static_cast<unsigned char>(bits >> 16),
                        static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
  return SolidBand(units, static_cast<int>(width), column);
}

// A black page of which rows arrived: its page prologue, bands of 24 rows and the form feed.
Bytes BlackPage(unsigned width, unsigned rows) {
  Bytes page = Hex("0D");
  for (unsigned first = 0; first < rows; first += 24) {
    // The first band is fed by the top margin (0), every later one by 24 rows (16 units).
    page = Cat({page, BlackBand(width, std::min(24u, rows - first), first == 0 ? 0 : 16)});
  }
  page.push_back(0x0C);
  return page;
}

Lines PageLines(const TestPage &page, int number) {
  return Join({HeaderLines(page),
               {"PAGE: " + std::to_string(number) + " 1",
                "INFO: Starting page " + std::to_string(number) + ".", "INFO: End Page."}});
}

// What the filter must make of the stream cut after `cut` bytes: a page whose header arrived
// whole is printed with the whole rows that arrived after it.
struct Expected {
  Bytes out;
  Lines lines;
};

Expected ForCut(const TestPage &first, const TestPage &second, size_t cut) {
  Expected expected{Hex("1B 49 0D"), {"INFO: resolution 180 180."}};
  const TestPage *pages[2] = {&first, &second};
  size_t at = kSyncBytes;
  for (int i = 0; i < 2; i++) {
    const cups_page_header2_t &h = pages[i]->header;
    if (cut < at + kHeaderBytes) {
      break;
    }
    at += kHeaderBytes;
    unsigned rows =
        static_cast<unsigned>(std::min<size_t>(h.cupsHeight, (cut - at) / h.cupsBytesPerLine));
    expected.out = Cat({expected.out, BlackPage(h.cupsBytesPerLine, rows)});
    Lines lines = PageLines(*pages[i], i + 1);
    expected.lines.insert(expected.lines.end(), lines.begin(), lines.end());
    at += pages[i]->pixels.size();
  }
  expected.lines.push_back("INFO: End Doc.");
  return expected;
}

class TruncatedStreamTest : public testing::TestWithParam<size_t> {};

TEST_P(TruncatedStreamTest, PrintsWhatArrivedAtEveryCut) {
  const TestPage first = GreyPage(kFirstWidth, kFirstHeight, 0);
  const TestPage second = GreyPage(kSecondWidth, kSecondHeight, 0);
  const Bytes stream = RasterStream({first, second});
  ASSERT_EQ(stream.size(),
            kSyncBytes + 2 * kHeaderBytes + first.pixels.size() + second.pixels.size());

  TempDir dir;
  FilterCall call;
  PpdOptions ppd;
  call.ppd = dir.Write("printer.ppd", PpdText(ppd));
  const size_t from = GetParam();
  const size_t to = std::min(from + kSliceBytes, stream.size() + 1);
  for (size_t cut = from; cut < to; cut++) {
    SCOPED_TRACE("stream cut after " + std::to_string(cut) + " bytes");
    call.input.assign(stream.begin(), stream.begin() + cut);
    FilterRun run = RunFilter(call);
    Expected expected = ForCut(first, second, cut);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out, expected.out) << DescribeDifference(expected.out, run.out);
    ASSERT_EQ(run.lines, expected.lines);
    ASSERT_EQ(CheckJobOutput(run.out.data(), run.out.size(), run.err, JobOutcome{180, false}), "");
  }
}

std::vector<size_t> Slices(size_t streamBytes) {
  std::vector<size_t> starts;
  for (size_t from = 0; from <= streamBytes; from += kSliceBytes) {
    starts.push_back(from);
  }
  return starts;
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, TruncatedStreamTest,
    testing::ValuesIn(Slices(kSyncBytes + 2 * kHeaderBytes + kFirstWidth * kFirstHeight +
                             kSecondWidth * kSecondHeight)),
    [](const testing::TestParamInfo<size_t> &info) { return "From" + std::to_string(info.param); });

// A turned page whose stream ends inside a row: the rows that arrived whole are printed and
// the rest of the page, the cut row too, is white, as if the page had ended there in white.
TEST(TruncatedStreamTest, TurnedPageCutInsideARowKeepsThatRowWhite) {
  const unsigned rowsArrived = 10;
  const TestPage page = GreyPage(30, 1401, 0);
  Bytes cut = RasterStream({page});
  cut.resize(kSyncBytes + kHeaderBytes + rowsArrived * 30 + 7);
  TestPage whiteAfter = page;
  FillRect(whiteAfter, 0, rowsArrived, 30, 1401 - rowsArrived, 255);

  TempDir dir;
  FilterCall call;
  PpdOptions ppd;
  call.ppd = dir.Write("printer.ppd", PpdText(ppd));
  call.options = "nopdfAutoRotate";
  call.input = RasterStream({whiteAfter});
  const FilterRun expected = RunFilter(call);
  call.input = cut;
  const FilterRun run = RunFilter(call);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.lines, expected.lines);
  EXPECT_EQ(run.out, expected.out) << DescribeDifference(expected.out, run.out);
}

}  // namespace
