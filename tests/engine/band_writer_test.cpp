// The band engine driven as a front end drives it: raster rows pushed one at a time into a page
// record, the printer's bytes in a memory sink.

#include <cstring>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "test_support.h"

namespace {

// A sink that takes bytes until a budget is spent, and is cancelled when the test says so.
struct TestPrinter {
  Bytes bytes;
  size_t budget = SIZE_MAX;  // bytes it takes before a write fails
  bool cancel = false;
  int writes_after_failure = 0;
  bool failed = false;
};

bool TakeBytes(void *context, const unsigned char *bytes, size_t count) {
  TestPrinter &printer = *static_cast<TestPrinter *>(context);
  if (printer.failed) {
    printer.writes_after_failure++;
  }
  if (printer.bytes.size() + count > printer.budget) {
    printer.failed = true;
    return false;
  }
  printer.bytes.insert(printer.bytes.end(), bytes, bytes + count);
  return true;
}

bool Cancelled(void *context) {
  return static_cast<TestPrinter *>(context)->cancel;
}

PrinterSink SinkFor(TestPrinter &printer) {
  return PrinterSink{&printer, TakeBytes, Cancelled, nullptr, false};
}

// How a case pushes its rows: copied from the front end's own buffer, or read in place.
enum class Push { kCopied, kInPlace };

// Pushes a page of rows (each width bytes) and ends it; returns the statuses of the steps.
struct PageRun {
  PrintStatus start, last_add, end;
};

PageRun PushPage(const JobOptions &options, unsigned width, const std::vector<Bytes> &rows,
                 bool turned, PrinterSink &sink, Push push,
                 const std::function<void(size_t)> &before_row = nullptr) {
  BandWriter page = {};
  PageRun run = {StartBands(page, options, width, static_cast<uint32_t>(rows.size()), turned, sink),
                 kPrintOk, kPrintOk};
  for (size_t i = 0; i < rows.size() && run.last_add == kPrintOk; i++) {
    if (before_row) {
      before_row(i);
    }
    const unsigned char *row = rows[i].data();
    if (push == Push::kInPlace) {
      unsigned char *buffer = NextRowBuffer(page);
      memcpy(buffer, rows[i].data(), width);
      row = buffer;
    }
    run.last_add = AddBandRow(page, row, sink);
  }
  run.end = EndBands(page, sink);
  return run;
}

JobOptions Options(int x, int y, bool turn = false) {
  JobOptions options{x, y, 1, 0, 0};
  options.turnPages = turn;
  return options;
}

std::vector<Bytes> Rows(unsigned count, unsigned width, unsigned char grey) {
  return std::vector<Bytes>(count, Bytes(width, grey));
}

// Whole pages, each pushed both ways: the bytes must not depend on where the rows were read.
struct PageCase {
  const char *name;
  JobOptions options;
  unsigned width;
  std::vector<Bytes> rows;
  bool turned;
  Bytes expected;
};

void PrintTo(const PageCase &c, std::ostream *out) {
  *out << c.name;
}

class BandWriterPageTest : public testing::TestWithParam<PageCase> {};

TEST_P(BandWriterPageTest, WritesThePage) {
  const PageCase &c = GetParam();
  for (Push push : {Push::kCopied, Push::kInPlace}) {
    TestPrinter printer;
    PrinterSink sink = SinkFor(printer);
    PageRun run = PushPage(c.options, c.width, c.rows, c.turned, sink, push);
    EXPECT_EQ(run.start, kPrintOk);
    EXPECT_EQ(run.end, kPrintOk);
    EXPECT_EQ(printer.bytes, c.expected) << (push == Push::kInPlace ? "in place: " : "copied: ")
                                         << DescribeDifference(c.expected, printer.bytes);
  }
}

// Rows black, white, black at 360 x 360: the pair makes one black band row, the odd last row is
// halved alone into the next; 4 raster columns are 2 band columns.
const std::vector<Bytes> kOddRows = {Bytes(4, 0), Bytes(4, 255), Bytes(4, 0)};

// A 2 x 3 page at 180 whose top-right pixel is black, turned: its right column becomes the
// top row, read from the top, so the dot lands at the turned page's top left.
std::vector<Bytes> CornerRows() {
  std::vector<Bytes> rows = Rows(3, 2, 255);
  rows[0][1] = 0;
  return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Pages, BandWriterPageTest,
    testing::Values(
        PageCase{"OddLastRowAt360PrintsWithTheBand", Options(360, 360), 4, kOddRows, false,
                 Cat({Hex("0D"), SolidBand(0, 2, Hex("C0 00 00")), Hex("0C")})},
        // 48 rows fill one band of 24 band rows; row 49 alone starts a band with nothing else.
        PageCase{"OddLastRowAloneIsDropped", Options(360, 360), 4, Rows(49, 4, 0), false,
                 Cat({Hex("0D"), SolidBand(0, 2, Hex("FF FF FF")), Hex("0C")})},
        // White rows ahead of a band become feed: 3 rows, 2 printer units.
        PageCase{"LeadingWhiteRowsAreFeed",
                 Options(180, 180),
                 6,
                 {Bytes(6, 255), Bytes(6, 255), Bytes(6, 255), Bytes(6, 0)},
                 false,
                 Cat({Hex("0D"), SolidBand(2, 6, Hex("80 00 00")), Hex("0C")})},
        PageCase{"TurnedPage", Options(180, 180, true), 2, CornerRows(), true,
                 Cat({Hex("0D"), Feed(0), Skip(0), Graphics(1), Hex("80 00 00 0D 0C")})},
        // A turned page sends every band, white or not; rows that never came stay white.
        PageCase{"TurnedPageWithoutRows",
                 Options(180, 180, true),
                 2,
                 {},
                 true,
                 Cat({Hex("0D"), Feed(0), Skip(0), Hex("0D 0C")})}),
    [](const testing::TestParamInfo<PageCase> &info) { return info.param.name; });

// Three black bands of 6 columns, 72 rows at 180 dpi.
const Bytes kBlackBand = Hex("FF FF FF");

TEST(BandWriterCancelTest, BandBegunIsFinishedThenThePageEnds) {
  TestPrinter printer;
  PrinterSink sink = SinkFor(printer);
  // The cancel comes while the second band is being gathered (its 6th row).
  PageRun run = PushPage(Options(180, 180), 6, Rows(72, 6, 0), false, sink, Push::kCopied,
                         [&](size_t row) { printer.cancel = printer.cancel || row == 30; });
  EXPECT_EQ(run.last_add, kPrintCanceled);
  EXPECT_EQ(run.end, kPrintCanceled);
  Bytes expected =
      Cat({Hex("0D"), SolidBand(0, 6, kBlackBand), SolidBand(16, 6, kBlackBand), Hex("0C")});
  EXPECT_EQ(printer.bytes, expected) << DescribeDifference(expected, printer.bytes);
}

// A sink that fails part way: nothing more is handed to it, and every later step says so.
struct FailureCase {
  const char *name;
  bool turned;
  size_t budget;  // bytes the sink takes before it fails
  Bytes expected;
};

class BandWriterFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(BandWriterFailureTest, StopsWritingAtOnce) {
  const FailureCase &c = GetParam();
  TestPrinter printer;
  printer.budget = c.budget;
  PrinterSink sink = SinkFor(printer);
  std::vector<Bytes> rows = Rows(72, 6, 0);
  PageRun run = PushPage(Options(180, 180), 6, rows, c.turned, sink, Push::kCopied);
  EXPECT_EQ(c.turned ? run.end : run.last_add, kPrintWriteFailed);
  EXPECT_EQ(run.end, kPrintWriteFailed);
  EXPECT_TRUE(sink.failed);
  EXPECT_EQ(printer.writes_after_failure, 0);
  EXPECT_EQ(printer.bytes, c.expected) << DescribeDifference(c.expected, printer.bytes);

  // The job's end writes nothing either.
  EXPECT_EQ(EndDoc(sink), kPrintWriteFailed);
  EXPECT_EQ(printer.writes_after_failure, 0);
}

const Bytes kFirstBand = SolidBand(0, 6, kBlackBand);

INSTANTIATE_TEST_SUITE_P(
    Sinks, BandWriterFailureTest,
    testing::Values(FailureCase{"MidPage", false, 1 + kFirstBand.size() + 10,
                                Cat({Hex("0D"), kFirstBand})},
                    FailureCase{"PagePrologue", false, 0, Bytes{}},
                    // The turned page's first band, 72 columns, does not fit after its CR.
                    FailureCase{"TurnedPage", true, 5, Hex("0D")}),
    [](const testing::TestParamInfo<FailureCase> &info) { return info.param.name; });

}  // namespace
