//
// IPP settings to the engine's job options: the table the filter's PPD choices follow, the
// resolutions refused, the calibration's unit, and the part of a whole page that is printed.
//

#include <gtest/gtest.h>

#include <cmath>

#include "paper_sizes.h"
#include "print_settings.h"

namespace {

struct OptionsCase {
  const char *name;
  PrintSettings settings;
  unsigned xdpi, ydpi;
  bool printable;
  JobOptions expected;  // xResolution, yResolution, quality, leftMargin, topMargin, turnPages,
                        // pageEnd
};

TEST(PrintSettings, MapToTheFiltersJobOptions) {
  const PrintSettings normal{false, false, 0, 0, 0, 0, false, false};
  const OptionsCase cases[] = {
      {"180dpi", normal, 180, 180, true, {180, 180, 1, 0, 0, false}},
      {"360dpi text",
       {false, true, 0, 0, 0, 0, false, false},
       360,
       360,
       true,
       {360, 360, 1, 0, 0, false}},
      {"360x360dpi", normal, 360, 360, true, {360, 180, 1, 0, 0, false}},
      {"text at 180 dpi",
       {false, true, 0, 0, 0, 0, false, false},
       180,
       180,
       true,
       {180, 180, 1, 0, 0, false}},
      {"draft",
       {true, false, 0, 0, 0, 0, false, false},
       180,
       180,
       true,
       {180, 180, 0, 0, 0, false}},
      {"margins",
       {false, false, 10, 5, 0, 0, false, false},
       180,
       180,
       true,
       {180, 180, 1, 35, 70, false}},
      {"calibration",
       {false, false, 10, 5, 3, 4, false, false},
       180,
       180,
       true,
       {180, 180, 1, 38, 74, false}},
      {"turned",
       {false, false, 0, 0, 0, 0, true, false},
       360,
       360,
       true,
       {360, 180, 1, 0, 0, true}},
      {"page end feed",
       {false, false, 0, 0, 0, 0, false, true},
       180,
       180,
       true,
       {180, 180, 1, 0, 0, false, kPageEndFeed}},
      {"draft raster of 180 x 90 dpi",
       {true, false, 0, 0, 0, 0, false, false},
       180,
       90,
       true,
       {180, 180, 0, 0, 0, false}},
      {"90 x 90 dpi", normal, 90, 90, false, {}},
      {"300 dpi", normal, 300, 300, false, {}},
      {"360 x 180 dpi", normal, 360, 180, false, {}},
      {"720 dpi", normal, 720, 720, false, {}},
  };
  for (const OptionsCase &c : cases) {
    SCOPED_TRACE(c.name);
    JobOptions options{};
    ASSERT_EQ(PageJobOptions(c.settings, c.xdpi, c.ydpi, options), c.printable);
    if (!c.printable) {
      continue;
    }
    EXPECT_EQ(options.xResolution, c.expected.xResolution);
    EXPECT_EQ(options.yResolution, c.expected.yResolution);
    EXPECT_EQ(options.quality, c.expected.quality);
    EXPECT_EQ(options.leftMargin, c.expected.leftMargin);
    EXPECT_EQ(options.topMargin, c.expected.topMargin);
    EXPECT_EQ(options.turnPages, c.expected.turnPages);
    EXPECT_EQ(options.pageEnd, c.expected.pageEnd);
  }
}

// The resolution of a rendered document that asks for none: from its print-quality, else
// from the printer's default quality and resolution.
TEST(PrintSettings, RenderResolutionFollowsPrintQuality) {
  struct Case {
    int jobQuality, defaultQuality, defaultResolution, dpi;
  } const cases[] = {
      {kQualityDraft, kQualityNormal, 180, 180}, {kQualityNormal, kQualityNormal, 180, 180},
      {kQualityHigh, kQualityNormal, 180, 360},  {kQualityNormal, kQualityHigh, 360, 180},
      {kQualityDraft, kQualityHigh, 360, 180},   {kQualityNone, kQualityNormal, 180, 180},
      {kQualityNone, kQualityNormal, 360, 360},  {kQualityNone, kQualityHigh, 180, 360},
      {kQualityNone, kQualityDraft, 180, 180},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(RenderResolution(c.jobQuality, c.defaultQuality, c.defaultResolution), c.dpi)
        << c.jobQuality << " " << c.defaultQuality << " " << c.defaultResolution;
  }
}

// Every calibration in whole dots has an offset in tenths of a millimetre (the web page's
// step) that converts back to it.
TEST(PrintSettings, EveryDotCountIsReachableFromTenthsOfAMillimetre) {
  for (int dots = 0; dots <= 180; dots++) {
    int tenths = static_cast<int>(std::lround(dots * 254.0 / 180.0));
    EXPECT_EQ(DotsFromHundredthsMm(tenths * 10), dots) << tenths << " tenths of a mm";
  }
}

// Pages rendered here are cut to the PPD's printable area: Letter at 180 dpi keeps the
// 8-inch print line, less the foot.
TEST(PaperSizes, LetterPagesAreCutToThePrintLine) {
  const PaperSize *letter = FindPaperSize("na_letter_8.5x11in");
  ASSERT_NE(letter, nullptr);
  PrintableArea area = PrintableAreaOf(letter, 1530, 1980, 180, 180);
  EXPECT_EQ(area.left, 45u);
  EXPECT_EQ(area.top, 0u);
  EXPECT_EQ(area.width, 1440u);
  EXPECT_EQ(area.height, 1920u);
  PrintableArea custom = PrintableAreaOf(FindPaperSize("custom_4x6in_4x6in"), 720, 1080, 180, 180);
  EXPECT_EQ(custom.width, 720u);
  EXPECT_EQ(custom.height, 1080u);
}

}  // namespace
