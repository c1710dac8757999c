// Page headers that no renderer writes, and the smallest and A6 pages that renderers do write,
// through the built filter. A hostile header ends the job with its exact "ERROR: " line and
// exit status 1 before anything is obtained for the page; the filter runs with every allocation
// of 16 MB or more failing, so a buffer sized from the header would show as a memory error.
// Under the sanitizers the preloaded allocator cannot run; the rest of each case still does.

#include <cstring>

#include <gtest/gtest.h>

#include "job_output_check.h"
#include "test_support.h"

namespace {

const Bytes kPrologue = Hex("1B 49 0D");

// Every allocation from this size up fails in the filter.
constexpr size_t kLargestAllocation = 16 * 1024 * 1024;

FilterCall Call(const TempDir &dir, unsigned resolution, const Bytes &stream) {
  FilterCall call;
  PpdOptions ppd;
  ppd.resolution = resolution == 360 ? "360dpi" : "180dpi";
  call.ppd = dir.Write("printer.ppd", PpdText(ppd));
  call.input = stream;
#ifndef QUILLMARSH_SANITIZED
  call.env = {"LD_PRELOAD=" + FailAllocPath(),
              "FAIL_ALLOC_MIN=" + std::to_string(kLargestAllocation),
              "FAIL_ALLOC_MAX=" + std::to_string(SIZE_MAX)};
#endif
  return call;
}

std::string ResolutionLine(unsigned resolution) {
  return resolution == 360 ? "INFO: resolution 360 360." : "INFO: resolution 180 180.";
}

// The colour space as the stream carries it: any 32 bits, most of them no cups_cspace_t.
void SetColorSpace(cups_page_header2_t &h, uint32_t value) {
  memcpy(&h.cupsColorSpace, &value, sizeof value);
}

struct HostileCase {
  const char *name;
  unsigned resolution;
  void (*change)(cups_page_header2_t &);  // applied to the header of a 6 x 24 grey page
  Lines refusal;                          // the lines between the header lines and the end
};

void PrintTo(const HostileCase &c, std::ostream *out) {
  *out << c.name;
}

const Lines kInvalid = {"ERROR: Invalid raster page header."};
const Lines kTooWide = {"PAGE: 1 1", "INFO: Starting page 1.",
                        "ERROR: The page is too wide for the printer."};

class HostileHeaderTest : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileHeaderTest, RefusesThePageAndFailsTheJob) {
  const HostileCase &c = GetParam();
  TestPage page = GreyPage(6, 24, 0, c.resolution);
  c.change(page.header);
  page.pixels.clear();  // the header alone: no rows follow it
  TempDir dir;
  FilterRun run = RunFilter(Call(dir, c.resolution, RasterStream({page})));

  Lines expected = {ResolutionLine(c.resolution)};
  Lines header = HeaderLines(page.header);
  expected.insert(expected.end(), header.begin(), header.end());
  expected.insert(expected.end(), c.refusal.begin(), c.refusal.end());
  expected.push_back("INFO: End Doc.");
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.out, kPrologue) << DescribeDifference(kPrologue, run.out);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HostileHeaderTest,
    testing::Values(
        HostileCase{"Width536870913WithOneBytePerLine", 180,
                    [](cups_page_header2_t &h) {
                      h.cupsWidth = 536870913;
                      h.cupsBytesPerLine = 1;
                    },
                    kInvalid},
        HostileCase{"BytesPerLine7FFFFFFF", 180,
                    [](cups_page_header2_t &h) {
                      h.cupsWidth = 0x7FFFFFFF;
                      h.cupsBytesPerLine = 0x7FFFFFFF;
                    },
                    kTooWide},
        HostileCase{"BytesPerLine7FFFFFFFOnNarrowPage", 360,
                    [](cups_page_header2_t &h) { h.cupsBytesPerLine = 0x7FFFFFFF; }, kInvalid},
        // libcups reads no wider row; halved at 360 it is still far too wide.
        HostileCase{"BytesPerLine7FFFFFFFAt360", 360,
                    [](cups_page_header2_t &h) {
                      h.cupsWidth = 0x7FFFFFFF;
                      h.cupsBytesPerLine = 0x7FFFFFFF;
                    },
                    kTooWide},
        HostileCase{"SixteenBitsPerPixel",
                    180,
                    [](cups_page_header2_t &h) {
                      h.cupsBitsPerColor = 16;
                      h.cupsBitsPerPixel = 16;
                      h.cupsBytesPerLine = 12;
                    },
                    {"ERROR: Unsupported raster format: 16 bits per pixel."}},
        HostileCase{"TwentyFourBitsPerPixelGrey",
                    180,
                    [](cups_page_header2_t &h) {
                      h.cupsBitsPerPixel = 24;
                      h.cupsBytesPerLine = 18;
                    },
                    {"ERROR: Unsupported raster format: 24 bits per pixel."}},
        HostileCase{"TwentyFourBitsPerPixelRgb",
                    360,
                    [](cups_page_header2_t &h) {
                      h.cupsBitsPerPixel = 24;
                      h.cupsBytesPerLine = 18;
                      h.cupsColorSpace = CUPS_CSPACE_RGB;
                      h.cupsNumColors = 3;
                    },
                    {"ERROR: Unsupported raster format: 24 bits per pixel."}},
        HostileCase{"CmykColorSpace",
                    180,
                    [](cups_page_header2_t &h) { h.cupsColorSpace = CUPS_CSPACE_CMYK; },
                    {"ERROR: Unsupported raster color space: 6."}},
        // Found by the raster stream fuzz target: reading such a value as the enumeration was
        // undefined behaviour.
        HostileCase{"ColorSpaceOutsideTheEnumeration",
                    180,
                    [](cups_page_header2_t &h) { SetColorSpace(h, 1953841510); },
                    {"ERROR: Unsupported raster color space: 1953841510."}},
        HostileCase{"ColorSpaceWithTopBitSet",
                    180,
                    [](cups_page_header2_t &h) { SetColorSpace(h, 0xE5000000); },
                    {"ERROR: Unsupported raster color space: -452984832."}},
        HostileCase{"ZeroWidth", 180, [](cups_page_header2_t &h) { h.cupsWidth = 0; }, kInvalid},
        HostileCase{"ZeroWidthAt360", 360, [](cups_page_header2_t &h) { h.cupsWidth = 0; },
                    kInvalid}),
    [](const testing::TestParamInfo<HostileCase> &info) { return info.param.name; });

// Pages renderers do write, at the small end: printed whole, with buffers of a band each.
struct SmallPageCase {
  const char *name;
  unsigned resolution;
  TestPage page;
  Bytes expected_out;
};

void PrintTo(const SmallPageCase &c, std::ostream *out) {
  *out << c.name;
}

// A white page with a black square at its top left, side dots wide.
TestPage CornerSquare(unsigned width, unsigned height, unsigned side, unsigned resolution) {
  TestPage page = GreyPage(width, height, 255, resolution);
  FillRect(page, 0, 0, side, side, 0);
  return page;
}

// The square of 30 band columns and rows: a full band, then 6 rows fed by 24 (16 units).
const Bytes kSquarePage = Cat({kPrologue, Hex("0D"), SolidBand(0, 30, Hex("FF FF FF")),
                               SolidBand(16, 30, Hex("FC 00 00")), Hex("0C")});
const Bytes kOneDotPage = Cat({kPrologue, Hex("0D"), SolidBand(0, 1, Hex("80 00 00")), Hex("0C")});

class SmallPageTest : public testing::TestWithParam<SmallPageCase> {};

TEST_P(SmallPageTest, PrintsThePage) {
  const SmallPageCase &c = GetParam();
  TempDir dir;
  FilterRun run = RunFilter(Call(dir, c.resolution, RasterStream({c.page})));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, c.expected_out) << DescribeDifference(c.expected_out, run.out);
  EXPECT_EQ(CheckJobOutput(run.out.data(), run.out.size(), run.err,
                           JobOutcome{static_cast<int>(c.resolution), false}),
            "");
}

INSTANTIATE_TEST_SUITE_P(
    Pages, SmallPageTest,
    testing::Values(SmallPageCase{"A6At180", 180, CornerSquare(744, 1049, 30, 180), kSquarePage},
                    // At 360 each pair of rows and of columns becomes one band row and column.
                    SmallPageCase{"A6At360", 360, CornerSquare(1488, 2098, 60, 360), kSquarePage},
                    SmallPageCase{"OneDotAt180", 180, GreyPage(1, 1, 0, 180), kOneDotPage},
                    SmallPageCase{"OneColumnTwoRowsAt360", 360, GreyPage(1, 2, 0, 360),
                                  kOneDotPage}),
    [](const testing::TestParamInfo<SmallPageCase> &info) { return info.param.name; });

}  // namespace
