//
// Printing through a real scheduler: a private cupsd with a queue on the project's PPD and a
// file: device; copies, the turned A5 page, a cancelled job, and the installed driver.
//

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <cups/cups.h>

#include "cups_chain.h"
#include "printed_job.h"
#include "slow_port.h"

namespace {

constexpr int kJobTimeoutSeconds = 90;

class Scheduler : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cupsd_.running()) << cupsd_.startup_error();
    output_ = cupsd_.folder().Make("out") + "/printer.out";
    CommandResult added = cupsd_.Client(
        {"lpadmin", "-p", "vorne", "-E", "-v", "file://" + output_, "-P", BuiltPpd()});
    ASSERT_EQ(added.status, 0) << added.err << cupsd_.LogTail();
  }

  // Prints one job and returns what reached the device. The file: device is rewritten by
  // every job, so jobs go one at a time.
  std::string PrintAndWait(std::vector<std::string> lp_arguments) {
    std::string error;
    lp_arguments.insert(lp_arguments.begin(), {"-d", "vorne"});
    int job = cupsd_.Submit(lp_arguments, &error);
    EXPECT_NE(job, 0) << error;
    if (job == 0) {
      return "";
    }
    int state = cupsd_.WaitForJob(job, kJobTimeoutSeconds);
    EXPECT_EQ(state, IPP_JSTATE_COMPLETED)
        << "job " << job << " is " << JobStateName(state ? state : cupsd_.JobState(job))
        << cupsd_.LogTail();
    return ReadFile(output_);
  }

  PrivateScheduler cupsd_;
  ScratchFolder documents_;
  std::string output_;
};

TEST_F(Scheduler, PrintsAPdfThroughAQueue) {
  std::string pdf = MakePdf(documents_, "rectangle", RectanglePostScript());
  PrintedJob job = DecodeStream(PrintAndWait({pdf}));
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 1u);
  DotBox ink = job.pages[0].Ink();
  EXPECT_EQ(ink.left, kRectangleDots.left);
  EXPECT_EQ(ink.top, kRectangleDots.top);
  EXPECT_EQ(ink.right, kRectangleDots.right);
  EXPECT_EQ(ink.bottom, kRectangleDots.bottom);
}

TEST_F(Scheduler, TwoCopiesPrintTwoPages) {
  std::string pdf = MakePdf(documents_, "rectangle", RectanglePostScript());
  PrintedJob job = DecodeStream(PrintAndWait({"-n", "2", pdf}));
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 2u) << "the filter prints each page once; CUPS makes copies";
  for (const PrintedPage &page : job.pages) {
    DotBox ink = page.Ink();
    EXPECT_EQ(ink.left, kRectangleDots.left);
    EXPECT_EQ(ink.top, kRectangleDots.top);
    EXPECT_EQ(page.DotsIn(ink), long{kRectangleDots.width()} * kRectangleDots.height());
  }
}

TEST_F(Scheduler, A5PortraitPageIsTurnedAcrossTheCarriage) {
  // A half-inch square one half inch in from the imageable area's left and top edges
  // (A5's imageable area starts 24 points in from the left and 9.5 down from the top).
  std::string pdf = MakePdf(documents_, "a5",
                            "%!PS\n<< /PageSize [420 595] >> setpagedevice\n"
                            "0 setgray 60 513.5 36 36 rectfill showpage\n");
  PrintedJob job = DecodeStream(PrintAndWait({"-o", "media=A5", "-o", "nopdfAutoRotate", pdf}));
  EXPECT_NE(cupsd_.Log().find("Print rotate page"), std::string::npos) << cupsd_.LogTail();
  ASSERT_EQ(job.error, "");
  ASSERT_EQ(job.pages.size(), 1u);

  // The page, 990 x 1440 dots, is turned a quarter turn anticlockwise: its left edge
  // becomes the foot of the printed sheet and its top edge the sheet's left edge. The
  // turned page prints every band, blank or not: 990 rows make 42 bands.
  const PrintedPage &page = job.pages[0];
  DotBox ink = page.Ink();
  EXPECT_EQ(ink.left, 90);
  EXPECT_EQ(ink.right, 179);
  EXPECT_EQ(ink.top, 989 - 179);
  EXPECT_EQ(ink.bottom, 989 - 90);
  EXPECT_EQ(page.bands.size(), 42u);
}

// A printer that takes bytes only as fast as it prints them: the job's filters block on a
// full pipe, as they do in front of a serial port, while the job is cancelled.
TEST_F(Scheduler, CancelledJobEndsWithWholeBandsAndAFormFeed) {
  std::string fifo = cupsd_.folder().path() + "/out/printer.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int printer = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(printer, 0);
  CommandResult added =
      cupsd_.Client({"lpadmin", "-p", "slow", "-E", "-v", "file://" + fifo, "-P", BuiltPpd()});
  ASSERT_EQ(added.status, 0) << added.err;

  // Thirty pages of grey stripes across the whole page: every band is full of dots.
  const int kPages = 30;
  std::string pdf =
      MakePdf(documents_, "long",
              "%!PS\n<< /PageSize [612 792] >> setpagedevice\n1 1 " + std::to_string(kPages) +
                  " { pop 0 1 31 { dup 0.03 mul setgray 18 mul 18 add 0 18 792 "
                  "rectfill } for showpage } for\n");
  std::string error;
  int job = cupsd_.Submit({"-d", "slow", pdf}, &error);
  ASSERT_NE(job, 0) << error;

  // Read until a page is well under way, cancel, then take the rest until the device
  // closes.
  std::string received;
  bool cancelled = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kJobTimeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{printer, POLLIN, 0};
    poll(&ready, 1, 100);
    char buffer[16384];
    ssize_t n = read(printer, buffer, sizeof buffer);
    if (n > 0) {
      received.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 && !received.empty()) {
      break;  // the scheduler closed the device
    }
    if (!cancelled && received.size() > 200000) {
      CommandResult cancel = cupsd_.Client({"cancel", std::to_string(job)});
      ASSERT_EQ(cancel.status, 0) << cancel.err;
      cancelled = true;
    }
  }
  close(printer);
  ASSERT_TRUE(cancelled) << "only " << received.size() << " bytes arrived" << cupsd_.LogTail();

  int state = cupsd_.WaitForJob(job, kJobTimeoutSeconds);
  EXPECT_EQ(state, IPP_JSTATE_CANCELED) << JobStateName(state) << cupsd_.LogTail();
  PrintedJob printed = DecodeStream(received);
  EXPECT_EQ(printed.error, "") << "the stream must end with whole bands and a form feed"
                               << cupsd_.LogTail(60);
  EXPECT_GE(printed.pages.size(), 1u);
  EXPECT_LT(printed.pages.size(), static_cast<size_t>(kPages)) << "the job was not cut short";
}

// The printer's state message, the line `lpstat -p` prints under the queue's state.
std::string StateMessage(const PrivateScheduler &cupsd, const std::string &queue) {
  CommandResult state = cupsd.Client({"lpstat", "-p", queue});
  size_t tab = state.out.find("\n\t");
  if (tab == std::string::npos) {
    return "";
  }
  size_t end = state.out.find('\n', tab + 2);
  return state.out.substr(tab + 2, end == std::string::npos ? end : end - tab - 2);
}

// Bytes the serial backend wrote to the port after the cancel: the sum of its "Wrote N bytes."
// lines that the scheduler logged after the cancel line. They are what the backend held at the
// cancel and what reached it from the filters afterwards.
size_t BackendBytesAfter(const std::string &log, const std::string &cancel_line) {
  size_t at = log.find(cancel_line);
  size_t bytes = 0;
  const std::string wrote = "] Wrote ";
  while (at != std::string::npos && (at = log.find(wrote, at)) != std::string::npos) {
    at += wrote.size();
    size_t end = log.find(" bytes.\n", at);
    if (end != std::string::npos && end - at < 12) {
      bytes += std::stoul(log.substr(at, end - at));
    }
  }
  return bytes;
}

// A job through CUPS's own serial backend into a line that takes 8,000 bytes a second, a few
// times what a 9600-baud printer takes: the status names the page on paper, and a cancel stops
// the paper within the band in progress and what little lies in the pipe.
TEST_F(Scheduler, SerialPrinterIsCancelledCloseToThePaper) {
  SlowPort printer(400, 50);  // 8,000 bytes a second at the most
  ASSERT_TRUE(printer.ok());
  CommandResult added =
      cupsd_.Client({"lpadmin", "-p", "serial", "-E", "-v",
                     "serial:" + printer.Path() + "?baud=9600", "-P", BuiltPpd()});
  ASSERT_EQ(added.status, 0) << added.err;

  // Three pages of grey across the print line: 44 full bands, 190 KB each.
  std::string pdf = MakePdf(documents_, "grey",
                            "%!PS\n<< /PageSize [612 792] >> setpagedevice\n1 1 3 { pop 0.5 "
                            "setgray 0 0 612 792 rectfill showpage } for\n");
  std::string error;
  int job = cupsd_.Submit({"-d", "serial", pdf}, &error);
  ASSERT_NE(job, 0) << error;

  // While the paper is on page 1, the status says so; cancel once the page is well begun.
  std::vector<std::string> messages;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kJobTimeoutSeconds);
  auto progress = [&messages] {
    return !messages.empty() && messages.back().find("Printing page 1, ") != std::string::npos;
  };
  while (std::chrono::steady_clock::now() < deadline &&
         (printer.ReceivedCount() < 30000 || !progress())) {
    std::string message = StateMessage(cupsd_, "serial");
    if (!message.empty() && (messages.empty() || messages.back() != message)) {
      messages.push_back(message);
    }
    usleep(100 * 1000);
  }
  ASSERT_GE(printer.ReceivedCount(), 30000u) << cupsd_.LogTail();
  const size_t at_cancel = printer.ReceivedCount();
  CommandResult cancel = cupsd_.Client({"cancel", std::to_string(job)});
  ASSERT_EQ(cancel.status, 0) << cancel.err;
  int state = cupsd_.WaitForJob(job, kJobTimeoutSeconds);
  EXPECT_EQ(state, IPP_JSTATE_CANCELED) << JobStateName(state) << cupsd_.LogTail();
  // Once the job has ended, what lies on the line reaches the printer.
  ASSERT_TRUE(printer.Drain(30));

  std::string shown;
  for (const std::string &message : messages) {
    shown += "\n  " + message;
    EXPECT_EQ(message.find("page 2"), std::string::npos) << "while page 1 printed:" << shown;
  }
  EXPECT_NE(shown.find("Printing page 1, "), std::string::npos) << "no progress:" << shown;

  // What reached the printer after the cancel: what the line held, what the backend had read,
  // and the filter's last band, form feed and pipe.
  const std::vector<unsigned char> received = printer.Received();
  const size_t after_cancel = received.size() - at_cancel;
  const size_t backend_after =
      BackendBytesAfter(cupsd_.Log(), "[Job " + std::to_string(job) + "] Canceled by");
  // The backend reads the filters' pipe in pieces of up to 8 KiB.
  EXPECT_LE(backend_after, 8192u + 16384u) << cupsd_.LogTail(80);
  RecordProperty("backend_bytes_after_cancel", static_cast<int>(backend_after));
  RecordProperty("printer_bytes_after_cancel", static_cast<int>(after_cancel));
  EXPECT_LE(after_cancel, SlowPort::LineCapacity() + 8192 + 16384);
  PrintedJob printed = DecodeStream(received);
  EXPECT_EQ(printed.error, "") << "the stream must end with whole bands and a form feed";
  EXPECT_EQ(printed.pages.size(), 1u);
}

TEST(Installed, DriverIsListedByCupsAndPrints) {
  ScratchFolder destination;
  CommandResult installed = RunCommand({QUILLMARSH_CMAKE_COMMAND, "--install", BuildFolder()},
                                       {"DESTDIR=" + destination.path()});
  ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

  // cupsd runs a filter only when root owns it and no one else may write to it.
  std::string filter = destination.path() + QUILLMARSH_FILTER_DIR + "/rastertoquillmarsh";
  struct stat info {};
  ASSERT_EQ(stat(filter.c_str(), &info), 0) << filter;
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  if (geteuid() == 0) {
    EXPECT_EQ(info.st_uid, 0u);
  }
  std::string ppd_dir = destination.path() + QUILLMARSH_PPD_DIR;
  ASSERT_TRUE(access((ppd_dir + "/vorne24.ppd").c_str(), R_OK) == 0) << ppd_dir;

  // A scheduler whose filter is the installed file and whose model folder holds the
  // installed PPD folder, as /usr/share/ppd holds it on the system.
  PrivateScheduler::Setup setup;
  setup.filter = filter;
  setup.copy_filter = false;
  setup.model_dir = ppd_dir.substr(0, ppd_dir.rfind('/'));
  PrivateScheduler cupsd(setup);
  ASSERT_TRUE(cupsd.running()) << cupsd.startup_error();

  std::string model = ppd_dir.substr(ppd_dir.rfind('/') + 1) + "/vorne24.ppd";
  CommandResult models = cupsd.Client({"lpinfo", "-m"});
  EXPECT_NE(models.out.find(model + " Vorne 24-Pin Dot Matrix"), std::string::npos)
      << models.out << models.err;

  std::string output = cupsd.folder().Make("out") + "/printer.out";
  CommandResult added =
      cupsd.Client({"lpadmin", "-p", "vorne", "-E", "-v", "file://" + output, "-m", model});
  ASSERT_EQ(added.status, 0) << added.err << cupsd.LogTail();

  ScratchFolder documents;
  std::string error;
  int job =
      cupsd.Submit({"-d", "vorne", MakePdf(documents, "rectangle", RectanglePostScript())}, &error);
  ASSERT_NE(job, 0) << error;
  int state = cupsd.WaitForJob(job, kJobTimeoutSeconds);
  ASSERT_EQ(state, IPP_JSTATE_COMPLETED) << JobStateName(state) << cupsd.LogTail();
  PrintedJob printed = DecodeStream(ReadFile(output));
  ASSERT_EQ(printed.error, "");
  ASSERT_EQ(printed.pages.size(), 1u);
  EXPECT_EQ(printed.pages[0].Ink().left, kRectangleDots.left);
  EXPECT_EQ(printed.pages[0].Ink().top, kRectangleDots.top);
}

}  // namespace
