//
// The compiled PPD: CUPS's own checker accepts it, and every paper size prints its whole
// imageable area within the printer's 8-inch print line.
//

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <cups/ppd.h>

#include "cups_chain.h"
#include "printed_job.h"

namespace {

constexpr int kPrintLineDots = 1440;  // 8 inches at 180 dpi

TEST(Ppd, PassesCupstestppd) {
  // cupstestppd looks for the filter under the root it is given.
  ScratchFolder root;
  std::string filters = root.Make(std::string(QUILLMARSH_CUPS_SERVERBIN).substr(1) + "/filter");
  std::filesystem::create_symlink(BuiltFilter(), filters + "/rastertoquillmarsh");

  CommandResult checked = RunCommand({"cupstestppd", "-R", root.path(), BuiltPpd()});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.out.find("FAIL"), std::string::npos) << checked.out;
}

struct PaperSize {
  std::string name;
  float width, length;  // points
  float left, bottom, right, top;
};

// The PPD's paper sizes, and one custom size, with the imageable areas it declares.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::vector<PaperSize> PaperSizes() {
  std::vector<PaperSize> sizes;
  ppd_file_t *ppd = ppdOpenFile(BuiltPpd().c_str());
  if (ppd == nullptr) {
    return sizes;
  }
  for (int i = 0; i < ppd->num_sizes; i++) {
    const ppd_size_t &size = ppd->sizes[i];
    if (std::string(size.name) != "Custom") {
      sizes.push_back(
          {size.name, size.width, size.length, size.left, size.bottom, size.right, size.top});
    }
  }
  ppd_size_t *custom = ppdPageSize(ppd, "Custom.360x216");
  if (custom != nullptr) {
    sizes.push_back({"Custom.360x216", custom->width, custom->length, custom->left, custom->bottom,
                     custom->right, custom->top});
  }
  ppdClose(ppd);
  return sizes;
}
#pragma GCC diagnostic pop

TEST(Ppd, EveryPaperSizePrintsItsImageableAreaWithinThePrintLine) {
  std::vector<PaperSize> sizes = PaperSizes();
  ASSERT_GE(sizes.size(), 6u) << "Letter, A4, A5, two fanfolds and a custom size";

  ScratchFolder folder;
  for (const PaperSize &size : sizes) {
    SCOPED_TRACE(size.name);
    // A page of the paper's size, black all over: what prints is what the printer reaches.
    std::string w = std::to_string(size.width), h = std::to_string(size.length);
    std::string pdf =
        MakePdf(folder, "full",
                "%!PS\n<< /PageSize [" + w + " " + h + "] >> setpagedevice\n0 setgray 0 0 " + w +
                    " " + h + " rectfill showpage\n");
    CommandResult run = RunCupsfilter(folder, pdf, {"PageSize=" + size.name});
    ASSERT_EQ(run.status, 0) << run.err;

    PrintedJob job = DecodeStream(run.out);
    ASSERT_EQ(job.error, "");
    ASSERT_EQ(job.pages.size(), 1u);
    DotBox ink = job.pages[0].Ink();
    int area_width = static_cast<int>((size.right - size.left) * 180 / 72 + 0.5);
    int area_height = static_cast<int>((size.top - size.bottom) * 180 / 72 + 0.5);
    EXPECT_LE(ink.width(), kPrintLineDots);
    EXPECT_EQ(ink.left, 0);
    EXPECT_EQ(ink.top, 0);
    EXPECT_EQ(ink.width(), area_width);
    EXPECT_EQ(ink.height(), area_height);
    EXPECT_EQ(job.pages[0].DotsIn(ink), long{area_width} * area_height) << "every dot struck";
  }
}

}  // namespace
