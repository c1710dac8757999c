// Page layout of hand-made streams: where feeds, skips, carriage returns and form feeds put
// the head, including what the filter never sends (odd feed units, overprinting, no form feed).

#include <gtest/gtest.h>

#include "page_layout.h"
#include "test_support.h"

namespace {

struct Placement {
  int64_t top_row;
  int64_t column;
  int columns;
};

struct ExpectedPage {
  int64_t width;
  int64_t height;
  std::vector<Placement> graphics;
  std::vector<int64_t> band_tops;
  bool ended;
};

struct LayoutCase {
  const char *name;
  Bytes stream;
  std::vector<ExpectedPage> pages;
};

// Test names carry the case's name; its bytes stay out of them.
void PrintTo(const LayoutCase &c, std::ostream *out) {
  *out << c.name;
}

class PageLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(PageLayoutTest, PlacesGraphicsAndBands) {
  const LayoutCase &c = GetParam();
  ParsedStream parsed = ParsePrinterStream(c.stream.data(), c.stream.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  std::vector<PreviewPage> pages = LayOutPages(parsed);
  ASSERT_EQ(pages.size(), c.pages.size());
  for (size_t p = 0; p < pages.size(); p++) {
    const PreviewPage &got = pages[p];
    const ExpectedPage &want = c.pages[p];
    SCOPED_TRACE("page " + std::to_string(p + 1));
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.band_tops, want.band_tops);
    EXPECT_EQ(got.ended, want.ended);
    ASSERT_EQ(got.graphics.size(), want.graphics.size());
    for (size_t g = 0; g < want.graphics.size(); g++) {
      EXPECT_EQ(got.graphics[g].top_row, want.graphics[g].top_row) << "graphics " << g;
      EXPECT_EQ(got.graphics[g].column, want.graphics[g].column) << "graphics " << g;
      EXPECT_EQ(got.graphics[g].columns, want.graphics[g].columns) << "graphics " << g;
    }
  }
}

const Bytes kOneColumn = Hex("1B 25 31 00 01 80 00 00");

INSTANTIATE_TEST_SUITE_P(
    Preview, PageLayoutTest,
    testing::Values(
        // A feed unit is 1.5 rows; an odd total lands on the half row and is drawn above it.
        LayoutCase{"OneFeedUnit",
                   Cat({Hex("1B 25 35 01"), kOneColumn, Hex("0C")}),
                   {{1, 25, {{1, 0, 1}}, {1}, true}}},
        LayoutCase{"ThreeFeedUnits",
                   Cat({Hex("1B 25 35 03"), kOneColumn, Hex("0C")}),
                   {{1, 28, {{4, 0, 1}}, {4}, true}}},
        // 255 + 1 units: 384 rows, as the filter sends a feed of 384 band rows.
        LayoutCase{"SplitFeed",
                   Cat({Hex("1B 25 35 FF 1B 25 35 01"), kOneColumn, Hex("0C")}),
                   {{1, 408, {{384, 0, 1}}, {384}, true}}},
        // Skips add up; graphics move the head on; a carriage return brings it back.
        LayoutCase{"SkipsGraphicsAndReturn",
                   Cat({Hex("1B 25 33 00 0A"), kOneColumn, Hex("1B 25 33 00 11"), kOneColumn,
                        Hex("0D 1B 25 35 10 1B 25 33 00 02"), kOneColumn, Hex("0C")}),
                   {{29, 48, {{0, 10, 1}, {0, 28, 1}, {24, 2, 1}}, {0, 24}, true}}},
        // Printing again after a carriage return without a feed is a second pass, same rows.
        LayoutCase{"OverprintIsASecondBand",
                   Cat({kOneColumn, Hex("0D"), kOneColumn, Hex("0C")}),
                   {{1, 24, {{0, 0, 1}, {0, 0, 1}}, {0, 0}, true}}},
        // Only a feed: the page is as long as the paper moved, with nothing on it.
        LayoutCase{"FeedOnly", Hex("0D 1B 25 35 20 0C"), {{0, 48, {}, {}, true}}},
        // A form feed starts the next page at its top left; a skip before it does not carry.
        LayoutCase{"FormFeedResetsHeadAndPaper",
                   Cat({Hex("1B 25 35 10 1B 25 33 00 05 0C"), kOneColumn, Hex("0C")}),
                   {{5, 24, {}, {}, true}, {1, 24, {{0, 0, 1}}, {0}, true}}},
        // Pages that end by feeding their length: a carriage return after the page's feed, or
        // right after the one that closed its last band, begins the next page; the job
        // prologue's carriage return and the page's own do not.
        LayoutCase{"PagesEndedByTheirFeed",
                   Cat({Hex("1B 49 0D 0D 1B 25 35 00 1B 25 33 00 00"), kOneColumn,
                        Hex("0D 1B 25 35 64 0D 1B 25 35 00 1B 25 33 00 00"), kOneColumn,
                        Hex("0D 1B 25 35 64")}),
                   {{1, 150, {{0, 0, 1}}, {0}, true}, {1, 150, {{0, 0, 1}}, {0}, true}}},
        LayoutCase{"PageThatRanPastItsFormHasNoFeed",
                   Cat({Hex("1B 49 0D 0D"), kOneColumn, Hex("0D 0D"), kOneColumn, Hex("0D")}),
                   {{1, 24, {{0, 0, 1}}, {0}, true}, {1, 24, {{0, 0, 1}}, {0}, false}}},
        // The job prologue alone, or a quality select after the last page, makes no page.
        LayoutCase{"PrologueOnly", Hex("1B 49 0D"), {}},
        LayoutCase{"PrintingWithoutFormFeed",
                   Cat({Hex("1B 44 0D 0D 1B 25 35 02"), kOneColumn, Hex("0D")}),
                   {{1, 27, {{3, 0, 1}}, {3}, false}}}),
    [](const testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.name); });

}  // namespace
