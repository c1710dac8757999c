// The band engine driven as a front end drives it: raster rows pushed one at a time into a page
// record, the printer's bytes in a memory sink.

#include <cstring>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "printer_stream.h"
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

// The writer is the job's: pages pushed through the same one carry the paper's position.
PageRun PushPageInto(BandWriter &page, const JobOptions &options, unsigned width,
                     const std::vector<Bytes> &rows, bool turned, int64_t form_length,
                     PrinterSink &sink, Push push,
                     const std::function<void(size_t)> &before_row = nullptr) {
  PageRun run = {StartBands(page, options, width, static_cast<uint32_t>(rows.size()), turned,
                            form_length, sink),
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

PageRun PushPage(const JobOptions &options, unsigned width, const std::vector<Bytes> &rows,
                 bool turned, PrinterSink &sink, Push push,
                 const std::function<void(size_t)> &before_row = nullptr) {
  BandWriter page = {};
  return PushPageInto(page, options, width, rows, turned, 0, sink, push, before_row);
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

// Forms of any length: pages that end by feeding their own length instead of a form feed.

// The paper a stream feeds, in printer units (1/120 inch), and its form feeds.
struct Advance {
  int64_t units = 0;
  int formFeeds = 0;
};

Advance AdvanceOf(const Bytes &stream) {
  ParsedStream parsed = ParsePrinterStream(stream.data(), stream.size());
  EXPECT_TRUE(parsed.ok) << parsed.error;
  Advance advance;
  for (const PrinterCommand &command : parsed.commands) {
    advance.units += command.kind == CommandKind::kFeed ? command.value : 0;
    advance.formFeeds += command.kind == CommandKind::kFormFeed ? 1 : 0;
  }
  return advance;
}

JobOptions FeedOptions(int x, int y, int top_rows = 0) {
  JobOptions options = Options(x, y);
  options.topMargin = top_rows;
  options.pageEnd = kPageEndFeed;
  return options;
}

struct FormCase {
  int64_t length;  // 1/360 inch
  int x, y;        // raster resolution
  int topMm;
  bool turned;
  bool full;  // ink on every row the form has room for; otherwise an all-white page
};

void PrintTo(const FormCase &c, std::ostream *out) {
  *out << c.length * 10 / kFormStepsPerInch / 10.0 << " in at " << c.x << "x" << c.y << ", top "
       << c.topMm << " mm, " << (c.turned ? "turned" : "upright") << ", "
       << (c.full ? "full" : "white");
}

std::vector<FormCase> FormCases() {
  std::vector<FormCase> cases;
  const int64_t lengths[] = {360, 1044, 1260, 2160, 3960, 4320};  // 1, 2.9, 3.5, 6, 11, 12 in
  const int resolutions[][2] = {{180, 180}, {360, 180}, {360, 360}};
  for (int64_t length : lengths) {
    for (const auto &dpi : resolutions) {
      for (int top : {0, 10}) {
        for (bool turned : {false, true}) {
          for (bool full : {false, true}) {
            // Turned pages are forms shorter than the 8-inch line they lie along.
            if (!turned || length < 8 * kFormStepsPerInch) {
              cases.push_back(FormCase{length, dpi[0], dpi[1], top, turned, full});
            }
          }
        }
      }
    }
  }
  return cases;
}

class FormLengthTest : public testing::TestWithParam<FormCase> {};

// Three pages through one writer: the paper moves three lengths, to within the one unit a
// fraction may leave, and never by a form feed.
TEST_P(FormLengthTest, ThreePagesAdvanceThreeLengths) {
  const FormCase &c = GetParam();
  const int top_rows = c.topMm * 7;
  // Band rows (1/180 inch) the page's ink may take: the form less its top margin and a band,
  // so the last band starts inside the form.
  const int64_t form_rows = c.length / 2;
  const int64_t ink_rows = form_rows - top_rows - 24;
  // Upright, the rows run down the form; turned, the raster's columns do, and its rows (8
  // inches of them) along the line.
  unsigned width, height;
  if (c.turned) {
    // A turned page sends every band, white or not: it too must leave room for its last.
    width = static_cast<unsigned>(ink_rows * c.x / 180);
    height = static_cast<unsigned>(8 * c.y);
  } else {
    width = static_cast<unsigned>(2 * c.x);
    height = static_cast<unsigned>((c.full ? ink_rows : form_rows) * c.y / 180);
  }
  const std::vector<Bytes> rows = Rows(height, width, c.full ? 0 : 255);

  TestPrinter printer;
  PrinterSink sink = SinkFor(printer);
  BandWriter page = {};
  for (int n = 0; n < 3; n++) {
    PageRun run = PushPageInto(page, FeedOptions(c.x, c.y, top_rows), width, rows, c.turned,
                               c.length, sink, Push::kInPlace);
    ASSERT_EQ(run.end, kPrintOk);
  }
  const Advance advance = AdvanceOf(printer.bytes);
  EXPECT_EQ(advance.formFeeds, 0);
  EXPECT_FALSE(page.overran);
  EXPECT_LE(advance.units * 3, 3 * c.length);
  EXPECT_GT(advance.units * 3, 3 * c.length - 3);
}

INSTANTIATE_TEST_SUITE_P(Forms, FormLengthTest, testing::ValuesIn(FormCases()),
                         [](const testing::TestParamInfo<FormCase> &info) {
                           const FormCase &c = info.param;
                           return "Tenths" + std::to_string(c.length * 10 / kFormStepsPerInch) +
                                  "At" + std::to_string(c.x) + "x" + std::to_string(c.y) + "Top" +
                                  std::to_string(c.topMm) + (c.turned ? "Turned" : "Upright") +
                                  (c.full ? "Full" : "White");
                         });

TEST(FormLengthTest, AThousandOneInchLabelsFeedExactlyAThousandInches) {
  TestPrinter printer;
  PrinterSink sink = SinkFor(printer);
  BandWriter page = {};
  const std::vector<Bytes> label = Rows(40, 6, 0);  // ink in the label's first two bands
  for (int n = 0; n < 1000; n++) {
    ASSERT_EQ(PushPageInto(page, FeedOptions(180, 180), 6, label, false, kFormStepsPerInch, sink,
                           Push::kCopied)
                  .end,
              kPrintOk);
  }
  const Advance advance = AdvanceOf(printer.bytes);
  EXPECT_EQ(advance.units, 120000);
  EXPECT_EQ(advance.formFeeds, 0);
}

// A page whose ink runs past its form gets no feed, and the next form still begins where it
// should: the two pages together advance two lengths.
TEST(FormLengthTest, PageLongerThanItsFormIsNotFedAndTheNextCatchesUp) {
  TestPrinter printer;
  PrinterSink sink = SinkFor(printer);
  BandWriter page = {};
  // 2 inches of ink on a 1-inch form: its last band starts 14 bands (224 units) down.
  PushPageInto(page, FeedOptions(180, 180), 6, Rows(360, 6, 0), false, kFormStepsPerInch, sink,
               Push::kCopied);
  EXPECT_TRUE(page.overran);
  EXPECT_EQ(AdvanceOf(printer.bytes).units, 224);
  PushPageInto(page, FeedOptions(180, 180), 6, Rows(180, 6, 255), false, kFormStepsPerInch, sink,
               Push::kCopied);
  EXPECT_EQ(AdvanceOf(printer.bytes).units, 240);
}

// A cancelled page is fed to its length too, so the next job starts on a form.
TEST(FormLengthTest, CancelledPageIsFedToItsLength) {
  for (bool turned : {false, true}) {
    TestPrinter printer;
    PrinterSink sink = SinkFor(printer);
    BandWriter page = {};
    const unsigned width = turned ? 1080 : 6;  // 6 inches down the form either way
    const unsigned height = turned ? 1440 : 1080;
    PageRun run = PushPageInto(page, FeedOptions(180, 180), width, Rows(height, width, 0), turned,
                               6 * kFormStepsPerInch, sink, Push::kCopied,
                               [&](size_t row) { printer.cancel = printer.cancel || row == 100; });
    EXPECT_EQ(run.end, kPrintCanceled) << (turned ? "turned" : "upright");
    const Advance advance = AdvanceOf(printer.bytes);
    EXPECT_EQ(advance.units, 720) << (turned ? "turned" : "upright");
    EXPECT_EQ(advance.formFeeds, 0);
  }
}

// A feed longer than one command's 255 units is split: a blank 12-inch form.
TEST(FormLengthTest, LongPageEndFeedIsSplit) {
  TestPrinter printer;
  PrinterSink sink = SinkFor(printer);
  BandWriter page = {};
  PushPageInto(page, FeedOptions(180, 180), 6, Rows(10, 6, 255), false, 12 * kFormStepsPerInch,
               sink, Push::kCopied);
  const Bytes expected =
      Cat({Hex("0D"), Feed(255), Feed(255), Feed(255), Feed(255), Feed(255), Feed(165)});
  EXPECT_EQ(printer.bytes, expected) << DescribeDifference(expected, printer.bytes);
}

struct LengthCase {
  uint32_t points, rows, dpi;
  int64_t expected;
};

TEST(FormLengthTest, PageLengthFromPointsElseRows) {
  const LengthCase cases[] = {
      {792, 1980, 180, 3960},  // points win: 11 inches
      {209, 0, 0, 1045},       // 2.9 inches as a renderer rounds them
      {0, 1980, 180, 3960},    // no size: rows at the vertical resolution
      {0, 1980, 360, 1980},   {0, 0, 0, 0},
  };
  for (const LengthCase &c : cases) {
    EXPECT_EQ(PageLength(c.points, c.rows, c.dpi), c.expected) << c.points << " " << c.rows;
  }
}

}  // namespace
