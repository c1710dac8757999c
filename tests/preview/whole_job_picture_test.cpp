// Whole jobs checked by picture: the built filter runs on a raster with a black rectangle, and
// the preview of its output shows the rectangle's dots, and only them, where they belong.

#include <gtest/gtest.h>

#include "page_layout.h"
#include "printer_stream.h"
#include "test_support.h"

namespace {

// A rectangle of dots or pixels: columns x to x + w - 1, rows y to y + h - 1.
struct Box {
  int x, y, w, h;
};

struct PictureCase {
  const char *name;
  std::string resolution;  // the PPD's Resolution choice, which is also the raster's
  std::string options;     // the job's option string
  unsigned page_width;     // raster pixels
  unsigned page_height;
  Box black;     // raster pixels painted black
  Box expected;  // preview dots that must be set, the only ones
};

// Test names carry the case's name; its bytes stay out of them.
void PrintTo(const PictureCase &c, std::ostream *out) {
  *out << c.name;
}

class WholeJobPictureTest : public testing::TestWithParam<PictureCase> {};

TEST_P(WholeJobPictureTest, RectangleAppearsAtItsPlace) {
  const PictureCase &c = GetParam();
  unsigned dpi = c.resolution == "360dpi" ? 360 : 180;
  TestPage page = GreyPage(c.page_width, c.page_height, 255, dpi);
  FillRect(page, c.black.x, c.black.y, c.black.w, c.black.h, 0);

  TempDir dir;
  PpdOptions ppd;
  ppd.resolution = c.resolution;
  FilterCall call;
  call.ppd = dir.Write("printer.ppd", PpdText(ppd));
  call.options = c.options;
  call.input = RasterStream({page});
  FilterRun run = RunFilter(call);
  ASSERT_EQ(run.status, 0) << run.err;

  ParsedStream parsed = ParsePrinterStream(run.out.data(), run.out.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  std::vector<PreviewPage> pages = LayOutPages(parsed);
  ASSERT_EQ(pages.size(), 1u);
  const PreviewPage &preview = pages[0];
  const Box &e = c.expected;
  ASSERT_GE(preview.width, e.x + e.w);
  ASSERT_GE(preview.height, e.y + e.h);

  std::vector<unsigned char> marks = DrawPage(preview, run.out.data(), false);
  int wrong = 0;
  for (int64_t row = 0; row < preview.height; row++) {
    for (int64_t x = 0; x < preview.width; x++) {
      bool inside = x >= e.x && x < e.x + e.w && row >= e.y && row < e.y + e.h;
      unsigned char mark = marks[static_cast<size_t>(row * preview.width + x)];
      if (mark != (inside ? kMarkDot : kMarkPaper) && wrong++ < 5) {
        ADD_FAILURE() << (inside ? "missing dot" : "stray dot") << " at column " << x << ", row "
                      << row;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Preview, WholeJobPictureTest,
    testing::Values(
        // 180 dpi: black always prints through the halftone. The white rows above the first
        // band become a feed of 2 units for every 3 rows, so a top at row 99 stays there.
        PictureCase{"At180", "180dpi", "", 300, 400, {40, 99, 50, 60}, {40, 99, 50, 60}},
        // The remainder of a feed is dropped: 100 white rows feed 66 units, 99 rows.
        PictureCase{
            "At180FeedRemainderDropped", "180dpi", "", 300, 400, {7, 100, 3, 30}, {7, 99, 3, 30}},
        // 360 dpi: two raster rows make one band row and two pixels one column, a pixel pair
        // printing when either is black. Rows 198..297 become band rows 99..148, columns
        // 81..180 become columns 40..90.
        PictureCase{"At360", "360dpi", "", 600, 800, {81, 198, 100, 100}, {40, 99, 51, 50}},
        // A page 1450 rows tall at 180 dpi is turned anticlockwise when the job switches off
        // PDF rotation: its top-left corner ends at the bottom left. Raster columns 5..14
        // become rows 185..194 of the 200-row turned page, raster rows 20..39 columns 20..39.
        PictureCase{"RotatedPageTurnsTopLeftToBottomLeft",
                    "180dpi",
                    "nopdfAutoRotate",
                    200,
                    1450,
                    {5, 20, 10, 20},
                    {20, 185, 20, 10}},
        // Without the option the same page prints upright, top left at the top left.
        PictureCase{"UnrotatedPageStaysUpright",
                    "180dpi",
                    "",
                    200,
                    1450,
                    {6, 21, 10, 20},
                    {6, 21, 10, 20}}),
    [](const testing::TestParamInfo<PictureCase> &info) { return std::string(info.param.name); });

}  // namespace
