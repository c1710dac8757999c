//
// PDF to printer bytes through cupsfilter: pdftopdf, the renderer and our filter, at every
// Resolution choice of the PPD.
//

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "cups_chain.h"
#include "printed_job.h"

namespace {

struct ResolutionCase {
  std::string choice;
  double grey_share;  // share of struck dots in a 50 % grey area
};

// 180dpi halftones; 360dpi merges to 180-dpi dots and thresholds, so mid grey prints black;
// the graphics choice merges and halftones. A halftoned 50 % grey strikes 10 of 36 dots.
const ResolutionCase kResolutions[] = {
    {"180dpi", 10.0 / 36},
    {"360dpi", 1.0},
    {"360x360dpi", 10.0 / 36},
};

// Test names show the choice rather than the bytes of the case.
void PrintTo(const ResolutionCase &resolution, std::ostream *out) {
  *out << resolution.choice;
}

class EveryResolution : public testing::TestWithParam<ResolutionCase> {
 protected:
  PrintedJob Print(const std::string &postscript, std::vector<std::string> options = {}) {
    std::string pdf = MakePdf(folder_, "page", postscript);
    options.push_back("Resolution=" + GetParam().choice);
    CommandResult run = RunCupsfilter(folder_, pdf, options);
    EXPECT_EQ(run.status, 0) << run.err;
    stream_ = run.out;
    return DecodeStream(run.out);
  }
  ScratchFolder folder_;
  std::string stream_;
};

TEST_P(EveryResolution, RectangleLandsOnItsBandsAndColumns) {
  PrintedJob job = Print(RectanglePostScript());
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 1u);
  const PrintedPage &page = job.pages[0];

  // A raster that the filter merges but that is not 360 rows per inch would print the
  // rectangle at half its height and half its distance from the top.
  DotBox ink = page.Ink();
  EXPECT_EQ(ink.left, kRectangleDots.left);
  EXPECT_EQ(ink.top, kRectangleDots.top);
  EXPECT_EQ(ink.right, kRectangleDots.right);
  EXPECT_EQ(ink.bottom, kRectangleDots.bottom);
  EXPECT_EQ(page.DotsIn(ink), long{ink.width()} * ink.height()) << "black prints solid";

  // The white inch above is fed, not printed; then one band every 24 rows.
  ASSERT_EQ(page.bands.size(), 8u);
  for (size_t i = 0; i < page.bands.size(); i++) {
    EXPECT_EQ(page.bands[i].row, kRectangleDots.top + 24 * static_cast<int>(i)) << "band " << i;
  }
  EXPECT_FALSE(job.draft);
}

TEST_P(EveryResolution, WhitePageSendsNoBands) {
  PrintedJob job = Print("%!PS\n<< /PageSize [612 792] >> setpagedevice showpage\n");
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_EQ(stream_, "\x1bI\r\r\f") << "prologue, page start, form feed";
}

TEST_P(EveryResolution, GreyIsHalftonedOrThresholdedAsTheChoiceSays) {
  PrintedJob job = Print(RectanglePostScript(0.5));
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 1u);
  const PrintedPage &page = job.pages[0];
  double share = static_cast<double>(page.DotsIn(kRectangleDots)) /
                 (kRectangleDots.width() * kRectangleDots.height());
  EXPECT_NEAR(share, GetParam().grey_share, 0.03);
}

INSTANTIATE_TEST_SUITE_P(Cupsfilter, EveryResolution, testing::ValuesIn(kResolutions),
                         [](const testing::TestParamInfo<ResolutionCase> &info) {
                           return "Resolution_" + info.param.choice;
                         });

TEST(Cupsfilter, MarginsAndDraftQualityReachThePrinter) {
  ScratchFolder folder;
  std::string pdf = MakePdf(folder, "page", RectanglePostScript());
  CommandResult run =
      RunCupsfilter(folder, pdf, {"TopMargin=10", "LeftMargin=10", "PrintQuality=DraftQuality"});
  ASSERT_EQ(run.status, 0) << run.err;
  PrintedJob job = DecodeStream(run.out);
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_TRUE(job.draft);

  // Margin choice 10 is 70 dots. The paper moves in steps of 1/60 inch (3 rows), so the
  // 250 rows above the rectangle come out as 249.
  DotBox ink = job.pages[0].Ink();
  EXPECT_EQ(ink.left, kRectangleDots.left + 70);
  EXPECT_EQ(ink.top, (kRectangleDots.top + 70) / 3 * 3);
  EXPECT_EQ(ink.width(), kRectangleDots.width());
  EXPECT_EQ(ink.height(), kRectangleDots.height());
}

}  // namespace
