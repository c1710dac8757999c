//
// The same bytes from both front ends: a PWG raster printed through the printer application
// into a file: device equals, byte for byte, what the CUPS filter writes for the same raster
// with the matching choices of the project's PPD.
//

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app_server.h"
#include "printer_stream.h"
#include "test_support.h"

#ifndef QUILLMARSH_PPD_PATH
#error "QUILLMARSH_PPD_PATH must name the compiled PPD"
#endif

namespace {

constexpr const char *kPrinter = "vorne";

// A page with something of everything the engine treats differently: white rows at the top
// (paper feed), a black bar (thresholded the same at every resolution), a grey ramp (the
// halftone) and a short stroke far right (a skip over empty columns).
TestPage SamplePage(unsigned width, unsigned height, unsigned dpi) {
  TestPage page = GreyPage(width, height, 255, dpi);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  unsigned unit = dpi / 18;  // a tenth of an inch
  FillRect(page, unit, 3 * unit, width / 2, unit, 0);
  for (unsigned step = 0; step < 10; step++) {
    FillRect(page, unit + step * unit * 3 / 2, 5 * unit, unit * 3 / 2, 4 * unit,
             static_cast<unsigned char>(step * 25));
  }
  FillRect(page, width - 2 * unit, 10 * unit, unit / 2, height - 12 * unit, 64);
  return page;
}

// The compiled PPD, with the calibration attributes set to the given dots.
std::string PpdWithOffsets(int x, int y) {
  std::ifstream in(QUILLMARSH_PPD_PATH);
  std::stringstream text;
  text << in.rdbuf();
  std::string ppd = text.str();
  for (const auto &[name, value] : {std::make_pair("*Xoffset", x), std::make_pair("*Yoffset", y)}) {
    std::string shipped = std::string(name) + ": \"0\"";
    size_t at = ppd.find(shipped);
    if (at != std::string::npos) {
      ppd.replace(at, shipped.size(), std::string(name) + ": \"" + std::to_string(value) + "\"");
    }
  }
  return ppd;
}

struct SameBytesCase {
  const char *name;
  std::vector<TestPage> pages;
  JobAttributes attributes;  // the job's IPP attributes
  std::string choices;       // the matching PPD choices, as a CUPS job's options
  int leftOffset = 0;        // calibration: hundredths of a millimetre on the printer...
  int topOffset = 0;
  int xOffset = 0;  // ...and the same in dots in the PPD
  int yOffset = 0;
};

std::vector<SameBytesCase> Cases() {
  TestPage page180 = SamplePage(1440, 720, 180);
  TestPage page360 = SamplePage(2880, 1440, 360);
  // An A5 portrait page as a client renders it whole at 180 dpi: 8.27 inches high.
  TestPage a5 = SamplePage(1049, 1488, 180);
  // A page on an 11-inch form, whose end feed comes from its size in points.
  TestPage form180 = page180;
  form180.header.PageSize[1] = 792;
  auto none = [](ipp_t *) {};
  return {
      {"halftoned-180dpi", {page180}, none, "Resolution=180dpi"},
      {"thresholded-360dpi",
       {page360},
       [](ipp_t *job) {
         ippAddString(job, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-content-optimize", nullptr, "text");
       },
       "Resolution=360dpi"},
      {"halftoned-360dpi", {page360}, none, "Resolution=360x360dpi"},
      {"draft",
       {page180},
       [](ipp_t *job) {
         ippAddInteger(job, IPP_TAG_JOB, IPP_TAG_ENUM, "print-quality", IPP_QUALITY_DRAFT);
       },
       "PrintQuality=DraftQuality"},
      {"margins",
       {page180, page180},
       [](ipp_t *job) {
         ippAddInteger(job, IPP_TAG_JOB, IPP_TAG_INTEGER, "vorne-top-margin", 10);
         ippAddInteger(job, IPP_TAG_JOB, IPP_TAG_INTEGER, "vorne-left-margin", 5);
       },
       "TopMargin=10 LeftMargin=5"},
      {"calibration", {page180}, none, "", 141, 56, 10, 4},
      {"turned-a5",
       {a5, page180},
       [](ipp_t *job) { ippAddBoolean(job, IPP_TAG_JOB, "vorne-turn-pages", 1); },
       "TurnPages=True"},
      {"page-end-feed",
       {form180, page180, a5},
       [](ipp_t *job) {
         ippAddString(job, IPP_TAG_JOB, IPP_TAG_KEYWORD, "vorne-page-end", nullptr, "feed");
         ippAddBoolean(job, IPP_TAG_JOB, "vorne-turn-pages", 1);
       },
       "PageEnd=Feed TurnPages=True"},
  };
}

class SameBytes : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new ServerFolder();
    server_ = new AppServer(*folder_);
    output_ = folder_->Make("out");
    std::string error;
    if (!server_->Start(error) || !server_->AddPrinter(kPrinter, "file://" + output_, error)) {
      setup_error_ = new std::string(error);
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    delete folder_;
    delete setup_error_;
    setup_error_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(setup_error_, nullptr) << *setup_error_;
  }

  static ServerFolder *folder_;
  static AppServer *server_;
  static std::string output_;
  static std::string *setup_error_;
};

ServerFolder *SameBytes::folder_ = nullptr;
AppServer *SameBytes::server_ = nullptr;
std::string SameBytes::output_;
std::string *SameBytes::setup_error_ = nullptr;

TEST_F(SameBytes, AsTheFilterForEveryPpdChoice) {
  for (const SameBytesCase &c : Cases()) {
    SCOPED_TRACE(c.name);
    Bytes raster = RasterStream(c.pages, CUPS_RASTER_WRITE_PWG);

    // The filter, as CUPS runs it on a queue with the project's PPD.
    TempDir temp;
    FilterCall call;
    call.ppd = temp.Write("vorne24.ppd", PpdWithOffsets(c.xOffset, c.yOffset));
    call.options = c.choices;
    call.input = raster;
    FilterRun filter = RunFilter(call);
    ASSERT_EQ(filter.status, 0) << filter.err;

    // The application, with the matching IPP attributes and printer settings.
    ASSERT_TRUE(SetCalibration(*server_, kPrinter, c.leftOffset, c.topOffset))
        << server_->LogTail();
    std::string error;
    std::string jobName = c.name;
    int job = PrintJob(
        *server_, kPrinter, raster, "image/pwg-raster",
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                       jobName.c_str());
          c.attributes(request);
        },
        &error);
    ASSERT_NE(job, 0) << error << server_->LogTail();
    JobStatus status = WaitForJob(*server_, kPrinter, job);
    ASSERT_EQ(status.state, IPP_JSTATE_COMPLETED)
        << JobStateName(status.state) << ": " << status.message << server_->LogTail();

    Bytes printed = ReadBytes(output_ + "/" + jobName + ".prn");
    ParsedStream parsed = ParsePrinterStream(printed.data(), printed.size());
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(printed, filter.out) << DescribeDifference(filter.out, printed);
    // Pages that end with a feed to their length have no form feed at all.
    const bool feeds = c.choices.find("PageEnd=Feed") != std::string::npos;
    for (const PrinterCommand &command : parsed.commands) {
      EXPECT_FALSE(feeds && command.kind == CommandKind::kFormFeed) << "at " << command.offset;
    }
  }
}

}  // namespace
