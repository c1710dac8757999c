//
// The server for real: printers and their defaults survive a restart, with every file under
// HOME and TMPDIR; a kill loses no job and hands out no job id twice, and a damaged state file
// gives way to its previous copy; replies do not grow; a device that cannot be opened, a document
// that is not what it claims and a device listing without avahi-daemon leave it running; images
// and wide rasters print to the print line; Ghostscript stops at once when its job is canceled
// or the server shuts down.
//

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include <string>
#include <vector>

#include "app_server.h"
#include "image_files.h"
#include "printed_job.h"
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

Bytes Cut(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

Bytes Text(const std::string &text) {
  return Bytes(text.begin(), text.end());
}

// The processes named name whose parent is the given process.
std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string &name) {
  std::vector<pid_t> children;
  DIR *proc = opendir("/proc");
  while (dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string pid, comm, state;
    pid_t ppid = 0;
    if (stat >> pid >> comm >> state >> ppid && ppid == parent && comm == "(" + name + ")") {
      children.push_back(static_cast<pid_t>(std::stoi(pid)));
    }
  }
  if (proc != nullptr) {
    closedir(proc);
  }
  return children;
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
  TestPage tall = GreyPage(720, 22 * 180 + 1, 255, 180);
  const Bytes png = PngImage(300, 200, NoisePixels(300, 200));
  const Bytes jpeg = JpegImage(300, 200, NoisePixels(300, 200));
  const Bytes pdf = MakeDocument(folder, "pdfwrite", "page.pdf");
  const char *kFormatError = "document-format-error";
  const char *kUnprintable = "document-unprintable-error";
  const std::string kTooLarge =
      "The image is 20000 x 20000 pixels; the largest this printer takes is 12000 x 12000.";
  const FalseDocument documents[] = {
      {"text as PDF", "application/pdf", Text(text), kFormatError,
       "The document is not a PDF file."},
      {"PostScript as PDF", "application/pdf",
       ReadBytes(std::string(QUILLMARSH_APP_TEST_DIR) + "/documents/onepage.ps"), kFormatError,
       "The document is not a PDF file."},
      {"a PostScript loop as PDF", "application/pdf", Text("{} loop\n"), kFormatError,
       "The document is not a PDF file."},
      {"a PostScript loop between PDF's first and last bytes", "application/pdf",
       Text("%PDF-1.4\n{} loop\n%%EOF\n"), kFormatError,
       "Ghostscript could not render the PDF document: **** Error"},
      {"a PDF cut short", "application/pdf", Cut(pdf, pdf.size() / 2), kFormatError,
       "The PDF document is cut short: it does not end with %%EOF."},
      {"an empty PDF", "application/pdf", {}, kFormatError, "The document is empty."},
      {"an empty PNG", "image/png", {}, kFormatError, "The document is empty."},
      {"noise as PWG raster", "image/pwg-raster", noise, kFormatError, "not a raster stream"},
      {"noise as JPEG", "image/jpeg", noise, kFormatError, "The document is not a JPEG image."},
      {"a PNG that is only its header", "image/png", Cut(png, 33), kFormatError,
       "The PNG image is cut short before its first row."},
      {"a PNG of 20000 x 20000", "image/png", WithClaimedSize(png, 20000, 20000), kUnprintable,
       kTooLarge.c_str()},
      {"a JPEG of 20000 x 20000", "image/jpeg", WithClaimedSize(jpeg, 20000, 20000), kUnprintable,
       kTooLarge.c_str()},
      {"a JPEG cut short", "image/jpeg", Cut(jpeg, jpeg.size() / 2), kFormatError,
       "The JPEG image is cut short after row "},
      {"raster at 300 dpi", "image/pwg-raster", GreyRaster(300), kUnprintable, "300x300 dpi"},
      {"1-bit raster", "image/pwg-raster", RasterStream({black}, CUPS_RASTER_WRITE_PWG),
       kUnprintable, "not 8-bit grey"},
      {"raster taller than 22 inches", "image/pwg-raster",
       RasterStream({tall}, CUPS_RASTER_WRITE_PWG), kUnprintable,
       "Page 1 is 3961 rows long at 180 dpi, more than 22 inches"},
  };
  for (const FalseDocument &d : documents) {
    SCOPED_TRACE(d.name);
    int job = PrintJob(server, kPrinter, d.document, d.format, nullptr, &error);
    if (job == 0) {
      continue;  // refused at once: as good
    }
    // Within seconds, whatever the document does to a decoder.
    JobStatus status = WaitForJob(server, kPrinter, job, 15);
    EXPECT_EQ(status.state, IPP_JSTATE_ABORTED) << server.LogTail();
    EXPECT_TRUE(status.HasReason(d.reason)) << status.message;
    EXPECT_NE(status.message.find(d.message), std::string::npos) << status.message;
  }
  EXPECT_TRUE(ChildrenNamed(server.pid(), "gs").empty());

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

TEST(Documents, RenderedAtTheResolutionOfTheirPrintQualityOrTheOneAskedFor) {
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
    EXPECT_EQ(print(d, quality(IPP_QUALITY_HIGH)), at360) << "print-quality=high";
    // A resolution the job asks for is kept whatever its quality.
    auto both = [&](int dpi, ipp_quality_t value) {
      return [=](ipp_t *request) {
        resolution(dpi)(request);
        quality(value)(request);
      };
    };
    EXPECT_EQ(print(d, both(180, IPP_QUALITY_HIGH)), at180) << "180 dpi, print-quality=high";
    EXPECT_EQ(print(d, both(360, IPP_QUALITY_NORMAL)), at360) << "360 dpi, print-quality=normal";
  }
}

// Whether the process runs (a zombie no longer does).
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field, comm, state;
  return stat >> field >> comm >> state && state != "Z";
}

TEST(Documents, ImagesAndWideRastersPrintToThePrintLine) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string output = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + output, error)) << error;

  // A whole Letter page at 180 dpi, 1530 dots wide, with a black band across all of it.
  TestPage wide = GreyPage(1530, 1980, 255, 180);
  FillRect(wide, 0, 0, 1530, 100, 0);
  const Bytes black(400 * 100, 0);
  struct Case {
    const char *name;
    const char *format;
    Bytes document;
    int width, height;  // of the ink, in dots at 1/180 inch
    int copies = 1;
  };
  // Images are four times as wide as tall: they fill the print line, centred down the page.
  const Case cases[] = {
      {"PNG", "image/png", PngImage(400, 100, black), 1440, 360},
      {"interlaced PNG", "image/png", PngImage(400, 100, black, true), 1440, 360},
      {"JPEG", "image/jpeg", JpegImage(400, 100, black), 1440, 360},
      {"JPEG, two copies", "image/jpeg", JpegImage(400, 100, black), 1440, 360, 2},
      {"PWG raster wider than the line", "image/pwg-raster",
       RasterStream({wide}, CUPS_RASTER_WRITE_PWG), 1440, 100},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = "job" + std::to_string(++n);
    int job = PrintJob(
        server, kPrinter, c.document, c.format,
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
          ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr,
                       "na_letter_8.5x11in");
          ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", c.copies);
        },
        &error);
    ASSERT_NE(job, 0) << error;
    ASSERT_EQ(WaitForJob(server, kPrinter, job, 30).state, IPP_JSTATE_COMPLETED)
        << server.LogTail();
    PrintedJob printed = DecodeStream(ReadBytes(output + "/" + name + ".prn"));
    ASSERT_EQ(printed.error, "");
    ASSERT_EQ(printed.pages.size(), static_cast<size_t>(c.copies));
    for (const PrintedPage &page : printed.pages) {
      EXPECT_FALSE(page.bands.empty());
      DotBox ink = page.Ink();
      EXPECT_EQ(ink.width(), c.width);
      EXPECT_NEAR(ink.height(), c.height, 1);
    }
  }
}

// How a test stops a job that Ghostscript renders: true when the server ends with it.
struct RenderStop {
  const char *name;
  bool (*stop)(AppServer &server, int job);
  bool held;  // the server ends, and its next start holds the job cut off
};

bool CancelRenderedJob(AppServer &server, int job) {
  std::string error;
  EXPECT_TRUE(CancelJob(server, kPrinter, job, &error)) << error;
  // The page takes Ghostscript minutes: ended sooner, it was stopped (app_bench times it).
  JobStatus status = WaitForJob(server, kPrinter, job, 30);
  EXPECT_EQ(status.state, IPP_JSTATE_CANCELED) << server.LogTail();
  return false;
}

bool ShutDownServer(AppServer &server, int) {
  EXPECT_EQ(server.Command({"shutdown"}).status, 0);
  return true;
}

bool SignalServerToStop(AppServer &server, int) {
  EXPECT_EQ(kill(server.pid(), SIGTERM), 0);
  return true;
}

bool KillServer(AppServer &server, int) {
  EXPECT_EQ(kill(server.pid(), SIGKILL), 0);
  return true;
}

TEST(Documents, GhostscriptStopsAtOnceWithItsJobOrItsServer) {
  const Bytes heavy = HeavyPdf();
  // A kill comes before PAPPL has saved the new job: the restarts' own test holds a saved one.
  const RenderStop stops[] = {{"Cancel-Job", CancelRenderedJob, false},
                              {"quillmarsh shutdown", ShutDownServer, true},
                              {"SIGTERM", SignalServerToStop, true},
                              {"the server killed", KillServer, false}};
  for (const RenderStop &stop : stops) {
    SCOPED_TRACE(stop.name);
    ServerFolder folder;
    AppServer server(folder);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;
    int job = PrintJob(server, kPrinter, heavy, "application/pdf", nullptr, &error);
    ASSERT_NE(job, 0) << error;
    std::vector<pid_t> renderers;
    for (int tries = 0; tries < 300 && renderers.empty(); tries++) {
      usleep(50000);
      renderers = ChildrenNamed(server.pid(), "gs");
    }
    ASSERT_EQ(renderers.size(), 1u) << server.LogTail();
    usleep(500000);

    bool ends = stop.stop(server, job);
    for (int tries = 0; tries < 600 && Running(renderers[0]); tries++) {
      usleep(50000);
    }
    EXPECT_FALSE(Running(renderers[0])) << "Ghostscript still runs half a minute later";
    if (ends) {
      // The job stays processing until the server has gone (PAPPL gives it a minute), and the
      // next start holds it: it was cut off.
      ASSERT_TRUE(server.WaitForExit(90)) << server.LogTail();
      if (!stop.held) {
        continue;
      }
      AppServer again(folder);
      ASSERT_TRUE(again.Start(error)) << error;
      JobStatus held = GetJob(again, kPrinter, job);
      EXPECT_EQ(held.state, IPP_JSTATE_HELD) << again.LogTail();
      EXPECT_EQ(held.message, "Interrupted by a restart: release it to print it again");
      continue;
    }
    // The printer goes on.
    int next = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
    ASSERT_NE(next, 0) << error;
    EXPECT_EQ(WaitForJob(server, kPrinter, next).state, IPP_JSTATE_COMPLETED) << server.LogTail();
    EXPECT_TRUE(ChildrenNamed(server.pid(), "gs").empty());
  }
}

// The state file of a server, and its previous copy.
std::string StateFile(const AppServer &server) {
  return server.Home() + "/.config/quillmarsh.state";
}

// Waits until the text of a file holds what; false when it does not within ten seconds.
bool WaitForText(const std::string &path, const std::string &what) {
  for (int tries = 0; tries < 200; tries++) {
    if (ReadText(path).find(what) != std::string::npos) {
      return true;
    }
    usleep(50000);
  }
  return false;
}

TEST(Restart, AKillMidJobHoldsThatJobAndPrintsTheOnesBehindIt) {
  ServerFolder folder;
  SlowPort port(4096, 10);
  ASSERT_TRUE(port.GiveTo(ServerUid(), ServerGid()));
  Bytes pdf = MakeDocument(folder, "pdfwrite", "page.pdf");
  int first = 0, second = 0, third = 0;
  std::string error;
  {
    AppServer server(folder);
    ASSERT_TRUE(server.Start(error)) << error;
    ASSERT_TRUE(server.AddPrinter(kPrinter, port.Uri(), error)) << error;
    port.SetPace(0);  // the printer takes nothing: the first job stays on the line
    first = PrintJob(server, kPrinter, pdf, "application/pdf", nullptr, &error);
    ASSERT_NE(first, 0) << error;
    ASSERT_EQ(WaitForJobState(server, kPrinter, first, IPP_JSTATE_PROCESSING).state,
              IPP_JSTATE_PROCESSING)
        << server.LogTail();
    second = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
    third = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
    ASSERT_NE(third, 0) << error;
    // PAPPL saves a new job with the server's next turn; the kill comes after that.
    ASSERT_TRUE(WaitForText(StateFile(server), "id=\"" + std::to_string(third) + "\""))
        << ReadText(StateFile(server));
    ASSERT_TRUE(KillServer(server));
  }
  // A job handed out just before the kill, its document spooled but the job not yet saved.
  std::string spool = folder.path() + "/tmp/quillmarsh" + std::to_string(ServerUid()) + ".d";
  std::ofstream(spool + "/p00001j000000040-lost.pwg") << "lost";
  // The job thread's marker names the job cut off, whatever state PAPPL last saved for it.
  EXPECT_TRUE(Exists(spool + "/printing-p00001j00000000" + std::to_string(first)));

  AppServer server(folder);
  ASSERT_TRUE(server.Start(error)) << error;
  port.Unthrottle();
  EXPECT_EQ(server.Command({"printers"}).out, std::string(kPrinter) + "\n");
  // The jobs behind start at once, without a new job to wake the queue.
  EXPECT_EQ(WaitForJob(server, kPrinter, second).state, IPP_JSTATE_COMPLETED) << server.LogTail();
  EXPECT_EQ(WaitForJob(server, kPrinter, third).state, IPP_JSTATE_COMPLETED) << server.LogTail();
  // The job cut off waits for a person.
  JobStatus held = GetJob(server, kPrinter, first);
  EXPECT_EQ(held.state, IPP_JSTATE_HELD) << JobStateName(held.state) << server.LogTail();
  EXPECT_EQ(held.message, "Interrupted by a restart: release it to print it again");
  // (PAPPL 1.3.1 lists no job-hold-until-specified reason, even for a job held by a client.)
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", first);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "job-hold-until");
  ipp_t *attrs = SendRequest(server, kPrinter, request);
  EXPECT_EQ(PrinterValue(attrs, "job-hold-until"), "indefinite");
  ippDelete(attrs);
  // New ids go past every id handed out, saved or not.
  int next = PrintJob(server, kPrinter, GreyRaster(180), "image/pwg-raster", nullptr, &error);
  EXPECT_EQ(next, 41) << error;
  EXPECT_EQ(WaitForJob(server, kPrinter, next).state, IPP_JSTATE_COMPLETED);
  // Ghostscript rendering the first job did not outlive the server.
  EXPECT_TRUE(ProcessesLeftBy(server).empty());
}

struct StateDamage {
  const char *name;
  std::function<void(std::string &)> damage;
  const char *says;  // what the log says of the state file
};

TEST(Restart, ADamagedStateFileGivesWayToThePreviousGoodCopy) {
  const StateDamage damages[] = {
      {"cut to half", [](std::string &text) { text.resize(text.size() / 2); },
       "is cut short (it lacks its end line)"},
      {"emptied", [](std::string &text) { text.clear(); }, "is empty"},
      {"a byte altered", [](std::string &text) { text[text.find("second")] = 'S'; },
       "does not match its end line (cut or altered)"},
  };
  for (const StateDamage &d : damages) {
    SCOPED_TRACE(d.name);
    ServerFolder folder;
    std::string error, path;
    {
      AppServer server(folder);
      ASSERT_TRUE(server.Start(error)) << error;
      path = StateFile(server);
      ASSERT_TRUE(server.AddPrinter("first", "file://" + folder.Make("out"), error)) << error;
      ASSERT_TRUE(WaitForText(path, "name=\"first\""));
      ASSERT_TRUE(server.AddPrinter("second", "file://" + folder.Make("out"), error)) << error;
      ASSERT_TRUE(WaitForText(path, "name=\"second\""));
      ASSERT_TRUE(server.Stop());
    }
    // The previous copy knows the first printer only.
    std::string previous = ReadText(path + ".bak");
    ASSERT_NE(previous.find("name=\"first\""), std::string::npos) << previous;
    ASSERT_EQ(previous.find("name=\"second\""), std::string::npos) << previous;
    std::string text = ReadText(path);
    d.damage(text);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;

    AppServer server(folder);
    ASSERT_TRUE(server.Start(error)) << error;
    EXPECT_EQ(server.Command({"printers"}).out, "first\n");
    EXPECT_NE(server.Log().find("The state file '" + path + "' " + d.says +
                                ": loading the previous good copy '" + path + ".bak'."),
              std::string::npos)
        << server.LogTail();
    EXPECT_TRUE(Exists(path + ".damaged"));
    EXPECT_EQ(ReadText(path + ".damaged"), text);
  }
}

TEST(Hooks, TheServerLogsThatEveryHookIsReached) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  EXPECT_NE(server.Log().find("PAPPL hooks: active"), std::string::npos) << server.LogTail();
}

TEST(Replies, GetPrinterAttributesDoesNotGrowRequestAfterRequest) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;

  http_t *http = httpConnect2("127.0.0.1", server.port(), nullptr, AF_INET, HTTP_ENCRYPTION_NEVER,
                              1, 30000, nullptr);
  ASSERT_NE(http, nullptr);
  size_t first = 0, last = 0;
  int languages = 0;
  for (int i = 0; i < 1000; i++) {
    ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 server.PrinterUri(kPrinter).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ipp_t *response = cupsDoRequest(http, request, "/ipp/print/vorne");
    ASSERT_NE(response, nullptr) << "request " << i;
    last = ippLength(response);
    first = i == 0 ? last : first;
    for (ipp_attribute_t *a = ippFirstAttribute(response); i == 999 && a != nullptr;
         a = ippNextAttribute(response)) {
      const char *name = ippGetName(a);
      languages += name != nullptr && strcmp(name, "printer-strings-languages-supported") == 0;
    }
    ippDelete(response);
  }
  httpClose(http);
  EXPECT_EQ(last, first);
  EXPECT_LE(languages, 1);
  // The labels are still served to clients that fetch them.
  std::string strings;
  EXPECT_EQ(WebGet(server, "/en.strings", &strings), HTTP_STATUS_OK);
  EXPECT_NE(strings.find("\"vorne-top-margin\" = \"Extra top margin (mm)\";"), std::string::npos)
      << strings;
}

}  // namespace
