//
// What the printer shows of itself: a serial port that goes away is reported (offline-report,
// on the web page too) until it is back; the test page prints as the filter prints the same
// page, across the whole print line; the web page's job list shows how each job ended; the
// icons served are the application's own.
//

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app_server.h"
#include "printer_stream.h"
#include "test_page.h"
#include "test_support.h"

namespace {

constexpr const char *kPrinter = "vorne";

// The only file in a folder, empty when there is not exactly one.
std::string OnlyFile(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (struct dirent *entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        names.push_back(folder + "/" + entry->d_name);
      }
    }
    closedir(dir);
  }
  return names.size() == 1 ? names[0] : "";
}

// Points the link at a new target.
bool Relink(const std::string &target, const std::string &link) {
  unlink(link.c_str());
  return symlink(target.c_str(), link.c_str()) == 0;
}

TEST(PrinterState, APortThatGoesAwayIsReportedUntilItIsBack) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  // The printer's URI names a link to the pseudo-terminal, as udev links name adapters.
  auto port = std::make_unique<SlowPort>(4096, 10);
  ASSERT_TRUE(port->GiveTo(ServerUid(), ServerGid()));
  const std::string link = folder.path() + "/printer-port";
  ASSERT_TRUE(Relink(port->Path(), link));
  CommandRun added = server.Command(
      {"add", "-d", kPrinter, "-v", "serial:" + link + "?baud=9600", "-m", "vorne24"});
  ASSERT_EQ(added.status, 0) << added.err << server.LogTail();
  const std::string gone =
      "The printer's port " + link + " is not there: adapter unplugged or printer switched off?";

  PrinterState there = GetPrinterState(server, kPrinter);
  EXPECT_EQ(there.reasons, std::vector<std::string>{"none"});

  port.reset();  // the pseudo-terminal closes: the link names nothing
  ASSERT_TRUE(WaitForStateReason(server, kPrinter, "offline-report", true, 20)) << server.LogTail();
  EXPECT_EQ(GetPrinterState(server, kPrinter).message, gone);
  std::string home;
  ASSERT_EQ(WebGet(server, "/vorne/", &home), HTTP_STATUS_OK);
  EXPECT_NE(home.find("<div class=\"banner\">" + gone + "</div>"), std::string::npos) << home;

  // Back on another pseudo-terminal: the report goes, and a job prints there.
  port = std::make_unique<SlowPort>(4096, 10);
  ASSERT_TRUE(port->GiveTo(ServerUid(), ServerGid()));
  ASSERT_TRUE(Relink(port->Path(), link));
  ASSERT_TRUE(WaitForStateReason(server, kPrinter, "offline-report", false, 20))
      << server.LogTail();
  EXPECT_NE(GetPrinterState(server, kPrinter).message, gone);
  home.clear();
  ASSERT_EQ(WebGet(server, "/vorne/", &home), HTTP_STATUS_OK);
  EXPECT_EQ(home.find(gone), std::string::npos);
  int job = PrintJob(server, kPrinter, BlackBarRaster(), "image/pwg-raster", nullptr, &error);
  ASSERT_NE(job, 0) << error;
  EXPECT_EQ(WaitForJob(server, kPrinter, job).state, IPP_JSTATE_COMPLETED) << server.LogTail();
}

// The test page, from the printer's web page (an administrator's button), and a job that
// fails: both end with their message in the job list. The page's bytes are the filter's for the
// same raster, and they parse as printer commands that cover the whole 8-inch line.
TEST(PrinterState, TheTestPagePrintsAndTheJobListShowsHowJobsEnded) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  const std::string output = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + output, error)) << error;

  // The page offers anyone the button, but a client that is not an administrator (loopback
  // TCP is just a user) prints nothing with it.
  std::string userHome, userPosted;
  ASSERT_EQ(WebGet(server, "/vorne/", &userHome), HTTP_STATUS_OK);
  const std::string userForm = "session=" + SessionToken(userHome) + "&action=print-test-page";
  WebRequest(server, Client(), "/vorne/", &userForm, &userPosted);
  EXPECT_NE(userPosted.find("Invalid form submission."), std::string::npos) << userPosted;

  const Client admin = ControlClient(server);
  std::string home;
  ASSERT_EQ(WebRequest(server, admin, "/vorne/", nullptr, &home), HTTP_STATUS_OK);
  EXPECT_NE(home.find("value=\"print-test-page\""), std::string::npos) << home;
  const std::string form = "session=" + SessionToken(home) + "&action=print-test-page";
  std::string posted;
  ASSERT_EQ(WebRequest(server, admin, "/vorne/", &form, &posted), HTTP_STATUS_OK);
  EXPECT_NE(posted.find("Test page printed."), std::string::npos) << posted;
  JobStatus page = WaitForJob(server, kPrinter, 1);
  ASSERT_EQ(page.state, IPP_JSTATE_COMPLETED) << page.message << server.LogTail();
  EXPECT_EQ(page.message, "Printed 1 page(s).");

  // The page as the filter prints the same raster at 360 dpi.
  const std::string pagePath = folder.path() + "/test-page.pwg";
  FILE *file = fopen(pagePath.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  bool written = WriteTestPage(fileno(file), TestPageFacts{180, 180, 0, 0, 0, 0, false});
  fclose(file);
  ASSERT_TRUE(written);
  Bytes raster = ReadBytes(pagePath);
  Bytes printed = ReadBytes(OnlyFile(output));
  FilterCall call;
  call.ppd = QUILLMARSH_PPD_PATH;
  call.options = "Resolution=360x360dpi";
  call.input = raster;
  Bytes filtered = RunFilter(call).out;
  EXPECT_EQ(printed, filtered) << DescribeDifference(filtered, printed);

  // The ruler's line reaches the right end of the 8-inch line (1440 columns at 180 dpi, the
  // printer's columns at either resolution) and no band goes past it; the page's ink falls in
  // 19 bands (as quillmarsh-preview --summary counts them).
  ParsedStream stream = ParsePrinterStream(printed.data(), printed.size());
  ASSERT_TRUE(stream.ok) << stream.error;
  int column = 0, widest = 0, bands = 0;
  for (const PrinterCommand &command : stream.commands) {
    if (command.kind == CommandKind::kSkip || command.kind == CommandKind::kGraphics) {
      column += command.value;
      widest = std::max(widest, column);
    } else if (command.kind == CommandKind::kCarriageReturn) {
      bands += column > 0;
      column = 0;
    }
  }
  EXPECT_EQ(widest, 8 * 180);
  EXPECT_EQ(bands, 19);

  // A test page that cannot be written is said so, and makes no job.
  ASSERT_EQ(chmod(server.TmpDir().c_str(), 0555), 0);
  posted.clear();
  ASSERT_EQ(WebRequest(server, admin, "/vorne/", &form, &posted), HTTP_STATUS_OK);
  ASSERT_EQ(chmod(server.TmpDir().c_str(), 0755), 0);
  EXPECT_NE(posted.find("Unable to access test print file."), std::string::npos) << posted;

  // A page at a resolution the printer does not print ends with the reason.
  TestPage odd = GreyPage(300, 300, 0, 300);
  odd.header.cupsColorSpace = CUPS_CSPACE_SW;
  int refused = PrintJob(server, kPrinter, RasterStream({odd}, CUPS_RASTER_WRITE_PWG),
                         "image/pwg-raster", nullptr, &error);
  ASSERT_EQ(refused, 2) << error;  // the user's post made no job
  JobStatus aborted = WaitForJob(server, kPrinter, refused);
  ASSERT_EQ(aborted.state, IPP_JSTATE_ABORTED);

  // Each job's message in a row below its own, on the home page and the Jobs page.
  const std::string rows[] = {
      "<td colspan=\"5\">Printed 1 page(s).</td>",
      "<td colspan=\"5\">Page 1 is at 300x300 dpi: the printer prints 180x180, 360x360 and "
      "180x90 dpi rasters only.</td>",
  };
  for (const char *path : {"/vorne/", "/vorne/jobs"}) {
    std::string list;
    ASSERT_EQ(WebRequest(server, admin, path, nullptr, &list), HTTP_STATUS_OK);
    for (const std::string &row : rows) {
      EXPECT_NE(list.find(row), std::string::npos) << path << ": " << row << "\n" << list;
    }
  }
}

TEST(PrinterState, TheIconsAreTheApplicationsOwn) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter(kPrinter, "file://" + folder.Make("out"), error)) << error;
  const struct {
    const char *path;
    unsigned size;
  } icons[] = {
      {"/vorne/icon-sm.png", 48}, {"/vorne/icon-md.png", 128}, {"/vorne/icon-lg.png", 512}};
  for (const auto &icon : icons) {
    std::vector<unsigned char> expected;
    ASSERT_TRUE(MakeIconPng(icon.size, expected));
    std::string served;
    ASSERT_EQ(WebGet(server, icon.path, &served), HTTP_STATUS_OK) << icon.path;
    EXPECT_EQ(served, std::string(expected.begin(), expected.end())) << icon.path;
  }
}

}  // namespace
