// Job options: resolution, quality and margins from generated PPDs and job option strings.

#include <climits>

#include <gtest/gtest.h>

#include "job/job.h"
#include "test_support.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct OptionsCase {
  const char *name;
  PpdOptions ppd;
  const char *job;  // the job's option string
  JobOptions expected;
  const char *messages;
};

// Marks the PPD as the filter does (defaults, then the job's options) and fills the options.
JobOptions OptionsFor(const OptionsCase &c, std::string &messages) {
  TempDir dir;
  ppd_file_t *ppd = ppdOpenFile(dir.Write("test.ppd", PpdText(c.ppd)).c_str());
  EXPECT_NE(ppd, nullptr);
  cups_option_t *options = nullptr;
  int count = cupsParseOptions(c.job, 0, &options);
  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, count, options);
  const int32_t unset = 0x55555555;  // every field must be written
  JobOptions job = {unset, unset, unset, unset, unset, true};
  messages = CaptureStderr([&] { SetVorneOptions(job, ppd); });
  cupsFreeOptions(count, options);
  ppdClose(ppd);
  return job;
}

void PrintTo(const OptionsCase &c, std::ostream *out) {
  *out << c.name;
}

class JobOptionsTest : public testing::TestWithParam<OptionsCase> {};

TEST_P(JobOptionsTest, FillsRecordAndReports) {
  const OptionsCase &c = GetParam();
  std::string messages;
  JobOptions job = OptionsFor(c, messages);
  EXPECT_EQ(job.xResolution, c.expected.xResolution);
  EXPECT_EQ(job.yResolution, c.expected.yResolution);
  EXPECT_EQ(job.quality, c.expected.quality);
  EXPECT_EQ(job.leftMargin, c.expected.leftMargin);
  EXPECT_EQ(job.topMargin, c.expected.topMargin);
  EXPECT_EQ(messages, c.messages);
}

PpdOptions Ppd(std::string resolution, std::string quality = "LetterQuality", std::string top = "",
               std::string left = "", std::string extra = "") {
  PpdOptions ppd;
  ppd.resolution = resolution;
  ppd.quality = quality;
  ppd.topMargin = top;
  ppd.leftMargin = left;
  ppd.extra = extra;
  return ppd;
}

// JobOptions fields in order: xResolution, yResolution, quality, leftMargin, topMargin.
INSTANTIATE_TEST_SUITE_P(
    Options, JobOptionsTest,
    testing::Values(
        OptionsCase{"NoResolutionOption", Ppd("", ""), "", {0, 0, 0, 0, 0}, ""},
        OptionsCase{
            "Resolution360", Ppd("360dpi"), "", {360, 360, 1, 0, 0}, "INFO: resolution 360 360.\n"},
        OptionsCase{
            "Resolution180", Ppd("180dpi"), "", {180, 180, 1, 0, 0}, "INFO: resolution 180 180.\n"},
        OptionsCase{"OtherResolutionName",
                    Ppd("360x180dpi"),
                    "",
                    {360, 180, 1, 0, 0},
                    "INFO: resolution 360 180.\n"},
        OptionsCase{"ResolutionNameDiffersInCase",
                    Ppd("", "LetterQuality", "", "",
                        "*OpenUI *Resolution: PickOne\n*DefaultResolution: 360DPI\n"
                        "*Resolution 360DPI: \"\"\n*CloseUI: *Resolution\n"),
                    "",
                    {360, 180, 1, 0, 0},
                    "INFO: resolution 360 180.\n"},
        OptionsCase{"JobPicksAnotherResolution",
                    Ppd("180dpi"),
                    "Resolution=360dpi",
                    {360, 360, 1, 0, 0},
                    "INFO: resolution 360 360.\n"},
        OptionsCase{"NoQualityOptionIsDraft",
                    Ppd("180dpi", ""),
                    "",
                    {180, 180, 0, 0, 0},
                    "INFO: resolution 180 180.\n"},
        OptionsCase{"DraftQuality",
                    Ppd("180dpi", "DraftQuality"),
                    "",
                    {180, 180, 0, 0, 0},
                    "INFO: resolution 180 180.\n"},
        OptionsCase{"JobPicksDraft",
                    Ppd("180dpi"),
                    "PrintQuality=DraftQuality",
                    {180, 180, 0, 0, 0},
                    "INFO: resolution 180 180.\n"},
        OptionsCase{"TopMarginTen", Ppd("", "", "10"), "", {0, 0, 0, 0, 70}, ""},
        OptionsCase{"TopMarginZero", Ppd("", "", "0"), "", {0, 0, 0, 0, 0}, ""},
        OptionsCase{"TopMarginLetters", Ppd("", "", "Wide"), "", {0, 0, 0, 0, 0}, ""},
        OptionsCase{"TopMarginNegative", Ppd("", "", "-2"), "", {0, 0, 0, 0, -14}, ""},
        OptionsCase{"LeftMarginAndXoffset",
                    Ppd("", "", "", "10", "*Xoffset: \"15\"\n"),
                    "",
                    {0, 0, 0, 85, 0},
                    "INFO: Xoffset 85.\n"},
        OptionsCase{"XoffsetWithoutMargin",
                    Ppd("", "", "", "", "*Xoffset: \"15\"\n"),
                    "",
                    {0, 0, 0, 15, 0},
                    "INFO: Xoffset 15.\n"},
        OptionsCase{"NegativeXoffset",
                    Ppd("", "", "", "10", "*Xoffset: \"-80\"\n"),
                    "",
                    {0, 0, 0, -10, 0},
                    "INFO: Xoffset -10.\n"},
        OptionsCase{"XoffsetWithoutValue",
                    Ppd("", "", "", "10", "*Xoffset: \"\"\n"),
                    "",
                    {0, 0, 0, 70, 0},
                    "INFO: Xoffset 70.\n"},
        OptionsCase{"YoffsetAddsToTopMargin",
                    Ppd("", "", "10", "", "*Yoffset: \"3mm\"\n"),
                    "",
                    {0, 0, 0, 0, 73},
                    "INFO: Yoffset 73.\n"},
        OptionsCase{"AllLinesInOrder",
                    Ppd("180dpi", "DraftQuality", "0", "0", "*Yoffset: \"2\"\n*Xoffset: \"1\"\n"),
                    "",
                    {180, 180, 0, 1, 2},
                    "INFO: resolution 180 180.\nINFO: Xoffset 1.\nINFO: Yoffset 2.\n"},
        OptionsCase{"JobCannotChangeOffsets",
                    Ppd("", "", "", "", "*Xoffset: \"4\"\n"),
                    "Xoffset=99",
                    {0, 0, 0, 4, 0},
                    "INFO: Xoffset 4.\n"},
        OptionsCase{"MarginBeyond32BitsSaturates",
                    Ppd("", "", "99999999999"),
                    "",
                    {0, 0, 0, 0, INT_MAX},
                    ""},
        OptionsCase{"MarginTimesSevenSaturates",
                    Ppd("", "", "", "-400000000"),
                    "",
                    {0, 0, 0, INT_MIN, 0},
                    ""},
        OptionsCase{"OffsetSaturatesSum",
                    Ppd("", "", "300000000", "", "*Yoffset: \"2147483647\"\n"),
                    "",
                    {0, 0, 0, 0, INT_MAX},
                    "INFO: Yoffset 2147483647.\n"}),
    [](const testing::TestParamInfo<OptionsCase> &info) { return info.param.name; });

struct NumberCase {
  const char *text;
  int32_t value;
};

class ReadLeadingNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(ReadLeadingNumberTest, ReadsLikeAtoiButSaturates) {
  EXPECT_EQ(ReadLeadingNumber(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ReadLeadingNumberTest,
    testing::Values(NumberCase{"10", 10}, NumberCase{"  +7mm", 7}, NumberCase{"-3", -3},
                    NumberCase{"mm3", 0}, NumberCase{"", 0}, NumberCase{"2147483647", INT_MAX},
                    NumberCase{"2147483648", INT_MAX}, NumberCase{"-2147483649", INT_MIN},
                    NumberCase{"99999999999999999999999", INT_MAX}, NumberCase{"0x10", 0}));

}  // namespace

// The option string asks for turned pages with either spelling of the switch, anywhere in it.
struct TurnCase {
  const char *job;
  bool asks;
};

class AsksForTurnedPagesTest : public testing::TestWithParam<TurnCase> {};

TEST_P(AsksForTurnedPagesTest, FindsEitherSpelling) {
  EXPECT_EQ(AsksForTurnedPages(GetParam().job), GetParam().asks) << GetParam().job;
}

INSTANTIATE_TEST_SUITE_P(Strings, AsksForTurnedPagesTest,
                         testing::Values(TurnCase{"", false}, TurnCase{"nopdfAutorotate", true},
                                         TurnCase{"nopdfAutoRotate", true},
                                         TurnCase{"a=b nopdfAutoRotate=false", true},
                                         TurnCase{"nopdfautorotate", false}));

// The page end: "Feed" from the PPD's default or the job's options; anything else a form feed.
struct PageEndCase {
  const char *ppd_default;  // empty: the PPD has no PageEnd option
  const char *job;
  PageEnd expected;
  const char *messages;
};

TEST(PageEndOptionTest, FeedOnlyWhenChosen) {
  const PageEndCase cases[] = {
      {"", "", kPageEndFormFeed, ""},
      {"FormFeed", "", kPageEndFormFeed, ""},
      {"Feed", "", kPageEndFeed, "INFO: page end feed.\n"},
      {"FormFeed", "PageEnd=Feed", kPageEndFeed, "INFO: page end feed.\n"},
      {"Feed", "PageEnd=FormFeed", kPageEndFormFeed, ""},
  };
  for (const PageEndCase &c : cases) {
    OptionsCase options{"page end", Ppd("", ""), c.job, {}, ""};
    options.ppd.pageEnd = c.ppd_default;
    std::string messages;
    JobOptions job = OptionsFor(options, messages);
    EXPECT_EQ(job.pageEnd, c.expected) << c.ppd_default << " / " << c.job;
    EXPECT_EQ(messages, c.messages) << c.ppd_default << " / " << c.job;
  }
}
