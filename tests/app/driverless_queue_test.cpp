//
// CUPS driverless queues to the application, with CUPS's PPD (lpadmin -m everywhere) and with
// cups-filters' (-m driverless:URI): the PPDs made from the printer's attributes offer only
// choices the application prints, and each print-quality sent through a queue prints the same
// bytes as the same document sent to the application directly.
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

// The application's log line for each PDF it renders.
constexpr const char *kRendering = "Rendering with Ghostscript";

// A paper size in hundredths of a millimetre, width and length.
using Size = std::pair<int, int>;

// What a driverless PPD offers: its print qualities with the raster resolution of each, its
// default resolution and its paper sizes.
struct DriverlessPpd {
  std::map<std::string, std::string> qualities;  // "Draft" -> "180x90"
  std::string defaultResolution;                 // "180dpi"
  std::vector<Size> paperSizes;
};

// Reads the qualities, the default resolution and the paper sizes from the PPD's text: lines
// such as '*cupsPrintQuality Draft/Draft: "<</HWResolution[180 90]>>setpagedevice"' and
// '*PageSize A4/A4: "<</PageSize[595.27 841.88]>>setpagedevice"'.
DriverlessPpd ReadDriverlessPpd(const std::string &text) {
  DriverlessPpd ppd;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t nameEnd = line.find_first_of("/:");
    size_t values = line.find('[');
    std::string name = line.substr(0, nameEnd);
    double x = 0, y = 0;
    bool pair =
        values != std::string::npos && sscanf(line.c_str() + values, "[%lf %lf]", &x, &y) == 2;
    if (pair && name.rfind("*cupsPrintQuality ", 0) == 0) {
      ppd.qualities[name.substr(18)] =
          std::to_string(static_cast<int>(x)) + "x" + std::to_string(static_cast<int>(y));
    } else if (pair && name.rfind("*PageSize ", 0) == 0) {
      ppd.paperSizes.push_back(
          {static_cast<int>(x * 2540 / 72 + 0.5), static_cast<int>(y * 2540 / 72 + 0.5)});
    } else if (line.rfind("*DefaultResolution: ", 0) == 0) {
      ppd.defaultResolution = line.substr(20);
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

// A driverless queue in the private cupsd: CUPS's own PPD (lpadmin -m everywhere), which
// sends PDF, or cups-filters' (-m driverless:URI), which renders Apple raster on the client.
struct Queue {
  const char *name;
  std::string model;
  // Its PPD's print qualities and their rasters: each one the application prints (180 x 180,
  // 360 x 360, and 180 x 90, below).
  std::map<std::string, std::string> qualities;
  bool sendsPdf;  // the queue sends the PDF (else the pages as Apple raster)
};

// One print-quality, with or without print-content-optimize=text.
struct QualityCase {
  const char *name;
  int quality;
  bool text;
};

TEST(DriverlessQueue, EveryPrintQualityPrintsAsSentDirectly) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string output = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + output, error)) << error;
  const std::string uri = server.PrinterUri(kPrinter);

  PrivateScheduler cupsd;
  ASSERT_TRUE(cupsd.running()) << cupsd.startup_error();
  const Queue queues[] = {
      {"everywhere",
       "everywhere",
       {{"Draft", "180x90"}, {"Normal", "180x180"}, {"High", "360x360"}},
       true},
      {"driverless",
       "driverless:" + uri,
       {{"Draft", "180x180"}, {"Normal", "180x180"}, {"High", "360x360"}},
       false},
  };
  for (const Queue &queue : queues) {
    SCOPED_TRACE(queue.name);
    CommandResult added =
        cupsd.Client({"lpadmin", "-p", queue.name, "-E", "-v", uri, "-m", queue.model});
    ASSERT_EQ(added.status, 0) << added.err << cupsd.LogTail() << server.LogTail();
  }
  // cupsd asks the printer for its attributes and writes the everywhere PPD in the background.
  for (int waited = 0;
       waited < 600 &&
       cupsd.Log().find("Printer \"everywhere\" is now available") == std::string::npos;
       waited++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  // The PPDs' choices: every quality's raster is one the application prints, and every paper
  // size one it offers.
  ipp_t *attrs = GetPrinterAttributes(server, kPrinter);
  const std::set<Size> media = MediaSizes(attrs);
  ippDelete(attrs);
  for (const Queue &queue : queues) {
    SCOPED_TRACE(queue.name);
    DriverlessPpd ppd =
        ReadDriverlessPpd(ReadFile(cupsd.folder().path() + "/conf/ppd/" + queue.name + ".ppd"));
    EXPECT_EQ(ppd.qualities, queue.qualities);
    EXPECT_EQ(ppd.defaultResolution, "180dpi");
    EXPECT_EQ(ppd.paperSizes.size(), 5u);
    for (const Size &size : ppd.paperSizes) {
      EXPECT_EQ(media.count(size), 1u) << size.first << " x " << size.second;
    }
  }

  // One Letter PDF on Letter paper, through each queue and directly, at each print-quality;
  // high also with print-content-optimize=text, which no queue forwards.
  const Bytes pdf = MakeDocument(folder, "pdfwrite", "page.pdf");
  const std::string pdfPath = folder.path() + "/page.pdf";
  // Prints through a queue; what the printer got.
  auto printQueued = [&](const std::string &queue, const std::string &name,
                         const std::vector<std::string> &options) {
    std::vector<std::string> lp = {"-d", queue, "-t", name, "-o", "media=Letter"};
    for (const std::string &option : options) {
      lp.insert(lp.end(), {"-o", option});
    }
    lp.push_back(pdfPath);
    int job = cupsd.Submit(lp, &error);
    EXPECT_NE(job, 0) << error;
    EXPECT_EQ(cupsd.WaitForJob(job, kJobTimeoutSeconds), IPP_JSTATE_COMPLETED)
        << cupsd.LogTail() << server.LogTail();
    return ReadBytes(output + "/" + name + ".prn");
  };
  const QualityCase cases[] = {
      {"draft", IPP_QUALITY_DRAFT, false},
      {"normal", IPP_QUALITY_NORMAL, false},
      {"high", IPP_QUALITY_HIGH, false},
      {"high-text", IPP_QUALITY_HIGH, true},
  };
  std::map<std::string, Bytes> direct;
  for (const QualityCase &c : cases) {
    SCOPED_TRACE(c.name);
    int job = PrintJob(
        server, kPrinter, pdf, "application/pdf",
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                       (std::string("direct-") + c.name).c_str());
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
    direct[c.name] = ReadBytes(output + "/direct-" + c.name + ".prn");
    ASSERT_FALSE(direct[c.name].empty());
  }
  // Each quality is a mode of its own.
  EXPECT_NE(direct["draft"], direct["normal"]);
  EXPECT_NE(direct["normal"], direct["high"]);
  EXPECT_NE(direct["high"], direct["high-text"]);

  for (const Queue &queue : queues) {
    SCOPED_TRACE(queue.name);
    const size_t before = Occurrences(server.Log(), kRendering);
    for (const QualityCase &c : cases) {
      SCOPED_TRACE(c.name);
      std::vector<std::string> options = {"print-quality=" + std::to_string(c.quality)};
      if (c.text) {
        options.push_back("print-content-optimize=text");
      }
      Bytes printed = printQueued(queue.name, std::string(queue.name) + "-" + c.name, options);
      EXPECT_EQ(printed, direct[c.text ? "high" : c.name]);
    }
    // The queue sent what it says: PDF that the application rendered, or Apple raster pages.
    EXPECT_EQ(Occurrences(server.Log(), kRendering) - before,
              queue.sendsPdf ? std::size(cases) : 0);
  }

  // The printer's default print-content-optimize reaches the jobs of a queue, which send none.
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-content-optimize-default", nullptr,
               "text");
  ipp_t *response = SendRequestAs(server, ControlClient(server), kPrinter, request);
  ASSERT_EQ(ippGetStatusCode(response), IPP_STATUS_OK) << server.LogTail();
  ippDelete(response);
  for (const Queue &queue : queues) {
    SCOPED_TRACE(queue.name);
    EXPECT_EQ(
        printQueued(queue.name, std::string(queue.name) + "-default-text", {"print-quality=5"}),
        direct["high-text"]);
  }

  // The everywhere PPD's draft raster, 180 x 90 dpi, prints as the 180 dpi page with each row
  // twice.
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
