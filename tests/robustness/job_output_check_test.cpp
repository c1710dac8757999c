// The job output checks that the fuzz targets and the fault tables rely on: a well-formed job
// passes, and each kind of broken stream or message is caught with the fault it shows.

#include <gtest/gtest.h>

#include "job_output_check.h"
#include "test_support.h"

namespace {

// A page one pixel wide and one row high, announced as the band loop announces it.
const std::string kOnePage =
    "cupsBitsPerColor: 8.\ncupsBitsPerPixel: 8.\ncupsBytesPerLine: 1.\ncupsHeight: 1.\n"
    "cupsWidth: 1.\nPAGE: 1 1\nINFO: Starting page 1.\n";
const std::string kEndPage = "INFO: End Page.\n";
const std::string kPrologue = "1B 49 0D ";
const std::string kOneDotBand = "1B 25 35 00 1B 25 33 00 00 1B 25 31 00 01 80 00 00 0D ";

struct CheckCase {
  const char *name;
  std::string out;  // hexadecimal bytes
  std::string messages;
  bool failed;
  std::string fault;  // a part of the description, or empty when the output must pass
};

void PrintTo(const CheckCase &c, std::ostream *out) {
  *out << c.name;
}

class JobOutputCheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(JobOutputCheckTest, FindsTheFault) {
  const CheckCase &c = GetParam();
  const Bytes out = Hex(c.out);
  const std::string fault = CheckJobOutput(out.data(), out.size(), c.messages, {180, c.failed});
  if (c.fault.empty()) {
    EXPECT_EQ(fault, "");
  } else {
    EXPECT_NE(fault.find(c.fault), std::string::npos) << fault;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JobOutputCheckTest,
    testing::Values(
        CheckCase{"WholePage", kPrologue + "0D " + kOneDotBand + "0C", kOnePage + kEndPage, false,
                  ""},
        CheckCase{"NoPages", kPrologue, "", false, ""},
        CheckCase{"PageWithoutFormFeed", kPrologue + "0D " + kOneDotBand, kOnePage, false,
                  "no form feed"},
        CheckCase{"FailedJobMayLeaveItsPageOpen", kPrologue + "0D " + kOneDotBand,
                  kOnePage + "ERROR: Allocate memory failed.\n", true, ""},
        CheckCase{"BandCutOff", kPrologue + "0D 1B 25 35 00 1B 25 33 00 00",
                  kOnePage + "ERROR: Allocate memory failed.\n", true,
                  "without its closing carriage return"},
        CheckCase{
            "BandWiderThanPage",
            kPrologue + "0D 1B 25 35 00 1B 25 33 00 00 1B 25 31 00 02 80 00 00 80 00 00 0D 0C",
            kOnePage + kEndPage, false, "covers 2 columns of a page 1 wide"},
        CheckCase{"EscapeZeroInGraphics",
                  kPrologue + "0D 1B 25 35 00 1B 25 33 00 00 1B 25 31 00 01 1B 30 00 0D 0C",
                  kOnePage + kEndPage, false, "ESC \"0\""},
        CheckCase{"ShortSkipBetweenRuns",
                  kPrologue +
                      "0D 1B 25 35 00 1B 25 33 00 00 1B 25 31 00 01 80 00 00 1B 25 33 00 05 "
                      "1B 25 31 00 01 80 00 00 0D 0C",
                  kOnePage + kEndPage, false, "fewer than a skip stands for"},
        CheckCase{"UnannouncedPage", kPrologue + "0D 0C 0D 0C", kOnePage + kEndPage + kEndPage,
                  false, "do not announce"},
        CheckCase{"UnknownByte", kPrologue + "0D 07 0C", kOnePage + kEndPage, false,
                  "does not parse"},
        CheckCase{"FailedWithoutErrorLine", kPrologue, "", true, "without an \"ERROR: \" line"},
        CheckCase{"ErrorLineWithoutFailure", kPrologue, "ERROR: The page is too wide.\n", false,
                  "did not fail"}),
    [](const testing::TestParamInfo<CheckCase> &info) { return info.param.name; });

}  // namespace
