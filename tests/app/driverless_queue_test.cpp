//
// A CUPS driverless queue (lpadmin -m everywhere) to the application: the PPD that CUPS makes
// from the printer's attributes offers only choices the application prints, and each
// print-quality sent through the queue prints the same bytes as the same document sent to the
// application directly.
//

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"
#include "cups_chain.h"

namespace {

constexpr const char *kPrinter = "vorne";
constexpr int kJobTimeoutSeconds = 180;

// The resolutions a raster page may have, "XxY" in dots per inch.
const std::set<std::string> kRasterResolutions = {"180x180", "360x360", "180x90"};

// A paper size in hundredths of a millimetre, width and length.
using Size = std::pair<int, int>;

// What a driverless PPD offers: its print qualities with the raster resolution of each, its
// default resolution and its paper sizes.
struct DriverlessPpd {
  std::map<std::string, std::string> qualities;  // "Draft" -> "180x90"
  std::string defaultResolution;                 // "180dpi"
  std::vector<Size> paperSizes;
};

// Reads the qualities, the default resolution and the paper sizes from the PPD's text.
DriverlessPpd ReadDriverlessPpd(const std::string &text) {
  DriverlessPpd ppd;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    int x = 0, y = 0;
    double width = 0, length = 0;
    char name[64] = "";
    if (sscanf(line.c_str(), "*cupsPrintQuality %63[^:]: \"<</HWResolution[%d %d]", name, &x, &y) ==
        3) {
      ppd.qualities[name] = std::to_string(x) + "x" + std::to_string(y);
    } else if (line.rfind("*DefaultResolution: ", 0) == 0) {
      ppd.defaultResolution = line.substr(20);
    } else if (sscanf(line.c_str(), "*PageSize %63[^/:]%*[^[][%lf %lf]", name, &width, &length) ==
               3) {
      ppd.paperSizes.push_back(
          {static_cast<int>(width * 2540 / 72 + 0.5), static_cast<int>(length * 2540 / 72 + 0.5)});
    }
  }
  return ppd;
}

// The sizes of the printer's media-supported.
std::set<Size> MediaSizes(ipp_t *attrs) {
  std::set<Size> sizes;
  ipp_attribute_t *attr = ippFindAttribute(attrs, "media-supported", IPP_TAG_ZERO);
  for (int i = 0; i < ippGetCount(attr); i++) {
    if (pwg_media_t *media = pwgMediaForPWG(ippGetString(attr, i, nullptr))) {
      sizes.insert({media->width, media->length});
    }
  }
  return sizes;
}

// How many times a text occurs in another.
size_t Occurrences(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    count++;
  }
  return count;
}

TEST(DriverlessQueue, EveryPrintQualityPrintsAsSentDirectly) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string output = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + output, error)) << error;

  PrivateScheduler cupsd;
  ASSERT_TRUE(cupsd.running()) << cupsd.startup_error();
  CommandResult added = cupsd.Client(
      {"lpadmin", "-p", kPrinter, "-E", "-v", server.PrinterUri(kPrinter), "-m", "everywhere"});
  ASSERT_EQ(added.status, 0) << added.err << cupsd.LogTail() << server.LogTail();

  // cupsd asks the printer for its attributes and writes the PPD in the background.
  for (int waited = 0;
       waited < 600 && cupsd.Log().find("Printer \"vorne\" is now available") == std::string::npos;
       waited++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  // The PPD's choices: every quality's raster is one the application prints, and every paper
  // size one it offers.
  DriverlessPpd ppd = ReadDriverlessPpd(ReadFile(cupsd.folder().path() + "/conf/ppd/vorne.ppd"));
  const std::map<std::string, std::string> qualities = {
      {"Draft", "180x90"}, {"Normal", "180x180"}, {"High", "360x360"}};
  EXPECT_EQ(ppd.qualities, qualities);
  for (const auto &[quality, resolution] : ppd.qualities) {
    EXPECT_EQ(kRasterResolutions.count(resolution), 1u) << quality << " " << resolution;
  }
  EXPECT_EQ(ppd.defaultResolution, "180dpi");
  ipp_t *attrs = GetPrinterAttributes(server, kPrinter);
  std::set<Size> media = MediaSizes(attrs);
  ippDelete(attrs);
  EXPECT_EQ(ppd.paperSizes.size(), 5u);
  for (const Size &size : ppd.paperSizes) {
    EXPECT_EQ(media.count(size), 1u) << size.first << " x " << size.second;
  }

  // One PDF, through the queue and directly, at each print-quality; high also with
  // print-content-optimize=text, which the queue does not forward.
  const Bytes pdf = MakeDocument(folder, "pdfwrite", "page.pdf");
  const std::string pdfPath = folder.path() + "/page.pdf";
  struct QualityCase {
    const char *name;
    int quality;
    bool text;
  };
  const QualityCase cases[] = {
      {"draft", IPP_QUALITY_DRAFT, false},
      {"normal", IPP_QUALITY_NORMAL, false},
      {"high", IPP_QUALITY_HIGH, false},
      {"high-text", IPP_QUALITY_HIGH, true},
  };
  std::map<std::string, Bytes> printed;
  for (const QualityCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::string queued = std::string("queued-") + c.name;
    std::vector<std::string> lp = {
        "-d", kPrinter,       "-t", queued,
        "-o", "media=Letter", "-o", "print-quality=" + std::to_string(c.quality)};
    if (c.text) {
      lp.insert(lp.end(), {"-o", "print-content-optimize=text"});
    }
    lp.push_back(pdfPath);
    int cupsJob = cupsd.Submit(lp, &error);
    ASSERT_NE(cupsJob, 0) << error;
    ASSERT_EQ(cupsd.WaitForJob(cupsJob, kJobTimeoutSeconds), IPP_JSTATE_COMPLETED)
        << cupsd.LogTail() << server.LogTail();

    std::string direct = std::string("direct-") + c.name;
    int job = PrintJob(
        server, kPrinter, pdf, "application/pdf",
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                       direct.c_str());
          ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr,
                       "na_letter_8.5x11in");
          ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, "print-quality", c.quality);
          if (c.text) {
            ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-content-optimize", nullptr,
                         "text");
          }
        },
        &error);
    ASSERT_NE(job, 0) << error;
    ASSERT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED) << server.LogTail();

    printed[queued] = ReadBytes(output + "/" + queued + ".prn");
    printed[direct] = ReadBytes(output + "/" + direct + ".prn");
    ASSERT_FALSE(printed[direct].empty());
  }
  // The queue sent PDF, which the application rendered as it rendered the direct jobs'.
  EXPECT_EQ(Occurrences(server.Log(), "Rendering with Ghostscript"), 2 * std::size(cases));
  EXPECT_EQ(printed["queued-draft"], printed["direct-draft"]);
  EXPECT_EQ(printed["queued-normal"], printed["direct-normal"]);
  EXPECT_EQ(printed["queued-high"], printed["direct-high"]);
  EXPECT_EQ(printed["queued-high-text"], printed["direct-high"]) << "text is not forwarded";
  // Each quality is a mode of its own.
  EXPECT_NE(printed["direct-draft"], printed["direct-normal"]);
  EXPECT_NE(printed["direct-normal"], printed["direct-high"]);
  EXPECT_NE(printed["direct-high"], printed["direct-high-text"]);

  // The PPD's draft raster, 180 x 90 dpi, prints as the 180 dpi page with each row twice.
  TestPage half = GreyPage(1440, 360, 255, 180);
  half.header.HWResolution[1] = 90;
  TestPage whole = GreyPage(1440, 720, 255, 180);
  for (unsigned row = 0; row < 360; row++) {
    for (unsigned column = 0; column < 1440; column++) {
      const auto grey = static_cast<unsigned char>((row * 7 + column) % 256);
      half.pixels[row * 1440 + column] = grey;
      whole.pixels[(2 * row) * 1440 + column] = grey;
      whole.pixels[(2 * row + 1) * 1440 + column] = grey;
    }
  }
  for (const auto &[name, page] : {std::pair{"half", half}, std::pair{"whole", whole}}) {
    int job = PrintJob(
        server, kPrinter, RasterStream({page}, CUPS_RASTER_WRITE_PWG), "image/pwg-raster",
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name);
          ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, "print-quality", IPP_QUALITY_DRAFT);
        },
        &error);
    ASSERT_NE(job, 0) << error;
    ASSERT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED) << server.LogTail();
  }
  Bytes halfPrinted = ReadBytes(output + "/half.prn");
  ASSERT_FALSE(halfPrinted.empty());
  EXPECT_EQ(halfPrinted, ReadBytes(output + "/whole.prn"));
}

}  // namespace
