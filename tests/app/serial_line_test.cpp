//
// The printer application on a serial line: a printer on the serial: scheme whose port is a
// pseudo-terminal, its other side read at 960 bytes a second as a 9600-baud printer takes
// them. The bytes equal those of a file: device; the port carries the URI's line settings; a
// second job waits for the first; Cancel-Job mid-page ends in whole bands and a form feed,
// within 2 seconds.
//

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "app_server.h"
#include "printer_stream.h"
#include "test_support.h"

namespace {

// 960 bytes a second: 96 bytes every 100 ms.
constexpr size_t kLineBytesPerTick = 96;
constexpr int kLineTickMs = 100;

// A page of bars, one in each band of 48 rows: about 600 bytes a bar for the printer.
Bytes BarRaster(unsigned bars) {
  TestPage page = GreyPage(720, 48 * bars, 255, 180);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  for (unsigned bar = 0; bar < bars; bar++) {
    FillRect(page, 20, 48 * bar + 10, 200, 20, static_cast<unsigned char>(bar * 40));
  }
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

class SerialLine : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(port_.GiveTo(ServerUid(), ServerGid()));
    ASSERT_TRUE(server_.Start(error)) << error;
    port_path_ = port_.Path();
    CommandRun added = server_.Command(
        {"add", "-d", "vorne", "-v",
         "serial:" + port_path_ + "?baud=9600+bits=8+parity=none+flow=none", "-m", "vorne24"});
    ASSERT_EQ(added.status, 0) << added.err << server_.LogTail();
    output_ = folder_.Make("out");
    ASSERT_TRUE(server_.AddPrinter("file", "file://" + output_, error)) << error;
  }

  int Submit(const std::string &printer, const Bytes &raster, const std::string &name) {
    std::string error;
    int job = PrintJob(
        server_, printer, raster, "image/pwg-raster",
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        },
        &error);
    EXPECT_NE(job, 0) << error << server_.LogTail();
    return job;
  }

  // What the file: device got for the raster.
  Bytes FileBytes(const Bytes &raster, const std::string &name) {
    int job = Submit("file", raster, name);
    EXPECT_EQ(WaitForJob(server_, "file", job).state, IPP_JSTATE_COMPLETED);
    return ReadBytes(output_ + "/" + name + ".prn");
  }

  ServerFolder folder_;
  AppServer server_{folder_};
  SlowPort port_{kLineBytesPerTick, kLineTickMs};
  std::string port_path_, output_;
};

TEST_F(SerialLine, PrintsTheFileDevicesBytesAtTheUrisSettings) {
  // More than the pseudo-terminal holds: the job waits for the printer.
  Bytes first = BarRaster(40), second = BarRaster(2);
  Bytes expected = Cat({FileBytes(first, "first"), FileBytes(second, "second")});

  port_.SetPace(0);
  int job = Submit("vorne", first, "on-the-line");
  ASSERT_EQ(WaitForJobState(server_, "vorne", job, IPP_JSTATE_PROCESSING).state,
            IPP_JSTATE_PROCESSING);
  // The port holds the line settings of the URI while the job prints.
  CommandRun stty =
      RunAs({"/bin/stty", "-F", port_path_, "-a"}, {"PATH=/usr/bin:/bin"}, geteuid(), getegid());
  ASSERT_EQ(stty.status, 0) << stty.err;
  EXPECT_NE(stty.out.find("speed 9600 baud"), std::string::npos) << stty.out;
  std::set<std::string> flags;
  std::istringstream words(stty.out);
  for (std::string word; words >> word;) {
    flags.insert(word);
  }
  for (const char *flag : {"cs8", "-parenb", "-cstopb", "-crtscts", "-ixon", "-opost"}) {
    EXPECT_EQ(flags.count(flag), 1u) << flag << " in\n" << stty.out;
  }

  // A second job sent meanwhile waits for the first.
  int next = Submit("vorne", second, "queued");
  EXPECT_EQ(GetJob(server_, "vorne", next).state, IPP_JSTATE_PENDING);

  // The rest at the line's pace for a while, then as fast as it comes.
  port_.SetPace(kLineBytesPerTick);
  ASSERT_TRUE(port_.WaitForBytes(port_.ReceivedCount() + 4 * kLineBytesPerTick, 30));
  port_.Unthrottle();
  EXPECT_EQ(WaitForJob(server_, "vorne", job).state, IPP_JSTATE_COMPLETED) << server_.LogTail();
  EXPECT_EQ(WaitForJob(server_, "vorne", next).state, IPP_JSTATE_COMPLETED);
  ASSERT_TRUE(port_.Drain(60));
  Bytes printed = port_.Received();
  EXPECT_EQ(printed, expected) << DescribeDifference(expected, printed);
}

TEST_F(SerialLine, CancelMidPageEndsWithWholeBandsAndAFormFeed) {
  // Enough bands that the page is still on its way when the cancel comes, whatever the
  // pseudo-terminal holds: a few seconds of the line read, the rest of the page more than it
  // holds; within the 22 inches the printer takes on one page.
  Bytes raster = BarRaster(80);
  Bytes whole = FileBytes(raster, "reference");
  ASSERT_GT(whole.size(), SlowPort::LineCapacity() + 10 * 4 * kLineBytesPerTick);
  int job = Submit("vorne", raster, "canceled");
  ASSERT_TRUE(port_.WaitForBytes(2 * 10 * kLineBytesPerTick, 120)) << server_.LogTail();

  std::string error;
  ASSERT_TRUE(CancelJob(server_, "vorne", job, &error)) << error << server_.LogTail();
  port_.Unthrottle();
  EXPECT_EQ(WaitForJob(server_, "vorne", job).state, IPP_JSTATE_CANCELED) << server_.LogTail();
  ASSERT_TRUE(port_.Drain(60));

  ExpectCanceledPage(port_.Received(), whole);
}

}  // namespace
