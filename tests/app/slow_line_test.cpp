//
// Jobs on a slow line: a printer port that takes the bytes as slowly as the test says (or not
// at all). A job sent while another prints is queued, not refused; Cancel-Job mid-page stops
// at a band boundary and feeds the page out; a port that fails mid-job aborts only that job;
// a client watching a job sees no state message but its outcome.
//

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app_server.h"
#include "printer_stream.h"
#include "test_support.h"

namespace {

constexpr const char *kPrinter = "vorne";

// What the filter writes for a raster with the PPD's default choices.
Bytes FilterBytes(const Bytes &raster) {
  TempDir temp;
  FilterCall call;
  call.ppd = QUILLMARSH_PPD_PATH;
  call.input = raster;
  return RunFilter(call).out;
}

class SlowLine : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(port_.GiveTo(ServerUid(), ServerGid()));
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_TRUE(server_.AddPrinter(kPrinter, port_.Uri(), error)) << error;
  }

  int Submit(const Bytes &raster, const std::string &printer = kPrinter) {
    std::string error;
    int job = PrintJob(server_, printer, raster, "image/pwg-raster", nullptr, &error);
    EXPECT_NE(job, 0) << error << server_.LogTail();
    return job;
  }

  ServerFolder folder_;
  AppServer server_{folder_};
  SlowPort port_{4096, 10};
};

TEST_F(SlowLine, ASecondJobIsQueuedWhileTheFirstPrints) {
  port_.SetPace(0);  // the printer takes nothing: the first job cannot end
  Bytes first = MidGreyRaster(), second = BlackBarRaster();
  int job1 = Submit(first);
  ASSERT_EQ(WaitForJobState(server_, kPrinter, job1, IPP_JSTATE_PROCESSING).state,
            IPP_JSTATE_PROCESSING);

  // Sent whole while the printer is busy: accepted and queued, not server-error-busy.
  std::string error;
  int job2 = PrintJob(server_, kPrinter, second, "image/pwg-raster", nullptr, &error);
  ASSERT_NE(job2, 0) << error << server_.LogTail();
  EXPECT_EQ(GetJob(server_, kPrinter, job2).state, IPP_JSTATE_PENDING);
  EXPECT_EQ(GetJob(server_, kPrinter, job1).state, IPP_JSTATE_PROCESSING);

  port_.Unthrottle();
  EXPECT_EQ(WaitForJob(server_, kPrinter, job1).state, IPP_JSTATE_COMPLETED);
  EXPECT_EQ(WaitForJob(server_, kPrinter, job2).state, IPP_JSTATE_COMPLETED);
  ASSERT_TRUE(port_.Drain(30));

  // Both jobs went out one after the other, each as the filter prints it.
  Bytes expected = Cat({FilterBytes(first), FilterBytes(second)});
  Bytes printed = port_.Received();
  EXPECT_EQ(printed, expected) << DescribeDifference(expected, printed);
}

TEST_F(SlowLine, CancelMidPageEndsWithWholeBandsAndAFormFeed) {
  Bytes raster = MidGreyRaster();
  Bytes whole = FilterBytes(raster);
  port_.SetPace(1024);
  int job = Submit(raster);
  ASSERT_TRUE(port_.WaitForBytes(whole.size() / 3, 120)) << server_.LogTail();

  std::string error;
  ASSERT_TRUE(CancelJob(server_, kPrinter, job, &error)) << error;
  port_.Unthrottle();
  JobStatus canceled = WaitForJob(server_, kPrinter, job);
  EXPECT_EQ(canceled.state, IPP_JSTATE_CANCELED) << canceled.message;
  ASSERT_TRUE(port_.Drain(30));

  Bytes printed = port_.Received();
  ExpectCanceledPage(printed, whole);

  // The next job prints whole.
  Bytes bar = BlackBarRaster();
  int next = Submit(bar);
  EXPECT_EQ(WaitForJob(server_, kPrinter, next).state, IPP_JSTATE_COMPLETED) << server_.LogTail();
  ASSERT_TRUE(port_.Drain(30));
  Bytes after = port_.Received();
  after.erase(after.begin(), after.begin() + static_cast<ptrdiff_t>(printed.size()));
  EXPECT_EQ(after, FilterBytes(bar));
}

// PAPPL 1.3.1 answers Get-Job-Attributes from the job's state message without the job's lock:
// a message replaced while a client asks is freed under the answer (the server then dies in
// the sanitized build). The message is therefore set once, when the job ends.
TEST_F(SlowLine, AWatchingClientSeesNoStateMessageButTheOutcome) {
  // PAPPL's own words for a job that has no message of its own.
  const std::set<std::string> stateWords = {"Job pending.", "Job printing."};
  int job = Submit(MidGreyRaster());
  std::set<std::string> messages;
  JobStatus done = WatchJob(server_, kPrinter, job, [&](const JobStatus &status) {
    if (stateWords.count(status.message) == 0) {
      messages.insert(status.message);
    }
  });
  ASSERT_EQ(done.state, IPP_JSTATE_COMPLETED) << done.message << server_.LogTail();
  EXPECT_EQ(messages, std::set<std::string>{"Printed 1 page(s)."});
}

TEST_F(SlowLine, APortThatFailsMidJobAbortsOnlyThatJob) {
  std::string error;
  std::string output = folder_.Make("out");
  ASSERT_TRUE(server_.AddPrinter("other", "file://" + output, error)) << error;

  port_.SetPace(1024);
  int job = Submit(MidGreyRaster());
  ASSERT_TRUE(port_.WaitForBytes(20000, 60));
  port_.Unplug();
  JobStatus aborted = WaitForJob(server_, kPrinter, job);
  EXPECT_EQ(aborted.state, IPP_JSTATE_ABORTED) << server_.LogTail();
  EXPECT_NE(aborted.message.find("port failed"), std::string::npos) << aborted.message;

  // The server goes on printing.
  Bytes bar = BlackBarRaster();
  int next = Submit(bar, "other");
  EXPECT_EQ(WaitForJob(server_, "other", next).state, IPP_JSTATE_COMPLETED) << server_.LogTail();
}

}  // namespace
