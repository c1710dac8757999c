//
// The server for real: printers and their defaults survive a restart, with every file under
// HOME and TMPDIR; a device that cannot be opened, a document that is not what it claims and
// a device listing without avahi-daemon leave it running.
//

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app_server.h"
#include "test_support.h"

#ifndef QUILLMARSH_APP_TEST_DIR
#error "QUILLMARSH_APP_TEST_DIR must name the folder of the application's tests"
#endif

namespace {

constexpr const char *kPrinter = "vorne";

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// A printer attribute's value as text, empty when the printer lacks it.
std::string PrinterValue(ipp_t *attrs, const char *name) {
  ipp_attribute_t *attr = ippFindAttribute(attrs, name, IPP_TAG_ZERO);
  char value[2048] = "";
  if (attr != nullptr) {
    ippAttributeString(attr, value, sizeof value);
  }
  return value;
}

int PrinterState(const AppServer &server, const std::string &printer) {
  ipp_t *attrs = GetPrinterAttributes(server, printer);
  int state = ippGetInteger(ippFindAttribute(attrs, "printer-state", IPP_TAG_ENUM), 0);
  ippDelete(attrs);
  return state;
}

// A small 8-bit grey page at the given resolution.
Bytes GreyRaster(unsigned dpi) {
  TestPage page = GreyPage(dpi, dpi / 2, 255, dpi);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  FillRect(page, 10, 10, dpi / 2, 10, 0);
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

TEST(Restart, KeepsPrintersAndTheirDefaultsUnderHomeAndTmpdir) {
  ServerFolder folder;
  std::string output = folder.Make("out");
  {
    AppServer server(folder);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + output, error)) << error;
    CommandRun modified =
        server.Command({"modify", "-d", kPrinter, "-o", "vorne-top-margin=12", "-o",
                        "vorne-turn-pages=true", "-o", "printer-resolution=360dpi"});
    ASSERT_EQ(modified.status, 0) << modified.err << server.LogTail();
    ASSERT_TRUE(SetCalibration(server, kPrinter, 141, 56)) << server.LogTail();
    // A job before the restart, so that the sanitized build also checks what a job leaves.
    int job = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
    ASSERT_NE(job, 0) << error;
    EXPECT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED);

    // Control socket, spool and state: all under TMPDIR and HOME.
    std::string uid = std::to_string(ServerUid());
    EXPECT_TRUE(Exists(server.TmpDir() + "/quillmarsh" + uid + ".sock"));
    EXPECT_TRUE(Exists(server.TmpDir() + "/quillmarsh" + uid + ".d"));
    EXPECT_TRUE(Exists(server.Home() + "/.config/quillmarsh.state"));
    // "quillmarsh shutdown" stops it, without another request to wake it.
    CommandRun shutdown = server.Command({"shutdown"});
    EXPECT_EQ(shutdown.status, 0) << shutdown.err;
    ASSERT_TRUE(server.WaitForExit(30)) << "the server did not stop" << server.LogTail();
    EXPECT_EQ(server.exit_status(), 0) << ReadText(server.TmpDir() + "/server.err");
  }

  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  CommandRun printers = server.Command({"printers"});
  EXPECT_EQ(printers.out, std::string(kPrinter) + "\n");

  ipp_t *attrs = GetPrinterAttributes(server, kPrinter);
  ASSERT_NE(attrs, nullptr);
  EXPECT_EQ(PrinterValue(attrs, "vorne-top-margin-default"), "12");
  EXPECT_EQ(PrinterValue(attrs, "vorne-left-margin-default"), "0");
  EXPECT_EQ(PrinterValue(attrs, "vorne-turn-pages-default"), "true");
  EXPECT_EQ(PrinterValue(attrs, "printer-resolution-default"), "360dpi");
  std::string ready = PrinterValue(attrs, "media-col-ready");
  EXPECT_NE(ready.find("media-left-offset=141"), std::string::npos) << ready;
  EXPECT_NE(ready.find("media-top-offset=56"), std::string::npos) << ready;
  ippDelete(attrs);
}

TEST(Faults, ADeviceThatFailsToOpenStopsOnlyItsPrinter) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  // A serial device server that is switched off: nothing listens on its port.
  ASSERT_TRUE(
      server.AddPrinter("gone", "socket://127.0.0.1:" + std::to_string(server.port() + 1), error))
      << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;

  int stuck = PrintJob(server, "gone", GreyRaster(180), "image/pwg-raster", nullptr, &error);
  ASSERT_NE(stuck, 0) << error;
  ASSERT_EQ(WaitForJobState(server, "gone", stuck, IPP_JSTATE_PROCESSING).state,
            IPP_JSTATE_PROCESSING);
  for (int tries = 0; tries < 200 && PrinterState(server, "gone") != IPP_PSTATE_STOPPED; tries++) {
    usleep(50000);
  }
  EXPECT_EQ(PrinterState(server, "gone"), IPP_PSTATE_STOPPED) << server.LogTail();

  // The other printer prints, and the stuck job can be canceled.
  int job = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
  ASSERT_NE(job, 0) << error;
  EXPECT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED) << server.LogTail();
  ASSERT_TRUE(CancelJob(server, "gone", stuck, &error)) << error;
  EXPECT_EQ(WaitForJob(server, "gone", stuck).state, IPP_JSTATE_CANCELED);
}

struct FalseDocument {
  const char *name;
  const char *format;
  Bytes document;
  const char *reason;   // the job's state reason
  const char *message;  // a part of its state message, when ours
};

TEST(Faults, DocumentsThatAreNotWhatTheyClaimAreAbortedAlone) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;

  std::string text = "This is a letter, not a PDF.\n";
  Bytes noise;
  for (unsigned i = 0; i < 4096; i++) {
    noise.push_back(static_cast<unsigned char>(i * 2654435761u >> 24));
  }
  TestPage black = GreyPage(720, 100, 255, 180);
  black.header.cupsBitsPerColor = black.header.cupsBitsPerPixel = 1;
  black.header.cupsColorSpace = CUPS_CSPACE_K;
  black.header.cupsBytesPerLine = 90;
  black.pixels.assign(9000, 0);
  const FalseDocument documents[] = {
      {"text as PDF", "application/pdf", Bytes(text.begin(), text.end()), "document-format-error",
       "not a PDF"},
      {"noise as PWG raster", "image/pwg-raster", noise, "document-format-error",
       "not a raster stream"},
      {"noise as JPEG", "image/jpeg", noise, "", ""},
      {"raster at 300 dpi", "image/pwg-raster", GreyRaster(300), "document-unprintable-error",
       "300x300 dpi"},
      {"1-bit raster", "image/pwg-raster", RasterStream({black}, CUPS_RASTER_WRITE_PWG),
       "document-unprintable-error", "not 8-bit grey"},
  };
  for (const FalseDocument &d : documents) {
    SCOPED_TRACE(d.name);
    int job = PrintJob(server, kPrinter, d.document, d.format, nullptr, &error);
    if (job == 0) {
      continue;  // refused at once: as good
    }
    JobStatus status = WaitForJob(server, kPrinter, job);
    EXPECT_EQ(status.state, IPP_JSTATE_ABORTED) << server.LogTail();
    if (d.reason[0] != '\0') {
      EXPECT_TRUE(status.HasReason(d.reason)) << status.message;
      EXPECT_NE(status.message.find(d.message), std::string::npos) << status.message;
    }
  }

  // The server goes on printing.
  int job = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
  ASSERT_NE(job, 0) << error;
  EXPECT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED) << server.LogTail();
}

TEST(Faults, ListingDevicesKeepsTheServerUpWithoutAvahi) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;

  // Both list DNS-SD printers through Avahi: the command in its own process, the Add
  // Printer page (an administrator's: over the control socket) in the server's.
  CommandRun devices = server.Command({"devices"});
  EXPECT_EQ(devices.status, 0) << devices.err;
  std::string page;
  EXPECT_EQ(WebRequest(server, ControlClient(server), "/addprinter", nullptr, &page),
            HTTP_STATUS_OK);
  EXPECT_NE(page.find("Add Printer"), std::string::npos);
  CommandRun status = server.Command({"status"});
  EXPECT_EQ(status.status, 0) << status.err << server.LogTail();
  EXPECT_NE(status.out.find("Running"), std::string::npos) << status.out;
}

// A document made by Ghostscript from one of the sample PostScript programs.
Bytes MakeDocument(const ServerFolder &folder, const std::string &device, const std::string &name) {
  std::string path = folder.path() + "/" + name;
  CommandRun made =
      RunAs({"/usr/bin/gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=" + device, "-r72",
             "-sPAPERSIZE=letter", "-dFIXEDMEDIA", "-sOutputFile=" + path,
             std::string(QUILLMARSH_APP_TEST_DIR) + "/documents/onepage.ps"},
            {"PATH=/usr/bin:/bin"}, geteuid(), getegid());
  EXPECT_EQ(made.status, 0) << made.err;
  return ReadBytes(path);
}

TEST(Documents, RenderedHereAt180DpiUnlessTheJobAsksFor360) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string output = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + output, error)) << error;

  struct Rendered {
    const char *format;
    Bytes document;
  };
  const Rendered documents[] = {{"application/pdf", MakeDocument(folder, "pdfwrite", "page.pdf")},
                                {"image/jpeg", MakeDocument(folder, "jpeggray", "page.jpg")}};
  // Prints the document with the attributes; the bytes the printer got.
  int n = 0;
  auto print = [&](const Rendered &d, const JobAttributes &attributes) {
    std::string name = "job" + std::to_string(++n);
    int job = PrintJob(
        server, kPrinter, d.document, d.format,
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
          attributes(request);
        },
        &error);
    EXPECT_NE(job, 0) << error;
    EXPECT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED) << server.LogTail();
    return ReadBytes(output + "/" + name + ".prn");
  };
  auto resolution = [](int dpi) {
    return [dpi](ipp_t *request) {
      ippAddResolution(request, IPP_TAG_JOB, "printer-resolution", IPP_RES_PER_INCH, dpi, dpi);
    };
  };
  auto quality = [](ipp_quality_t value) {
    return [value](ipp_t *request) {
      ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, "print-quality", value);
    };
  };

  for (const Rendered &d : documents) {
    SCOPED_TRACE(d.format);
    Bytes at180 = print(d, resolution(180));
    Bytes at360 = print(d, resolution(360));
    ASSERT_FALSE(at180.empty());
    EXPECT_NE(at180, at360);
    EXPECT_EQ(print(d, [](ipp_t *) {}), at180) << "no resolution asked for";
    // PAPPL alone would take the middle of the two resolutions for normal quality.
    EXPECT_EQ(print(d, quality(IPP_QUALITY_NORMAL)), at180) << "print-quality=normal";
    EXPECT_EQ(print(d, quality(IPP_QUALITY_HIGH)), at180) << "print-quality=high";
  }
}

}  // namespace
