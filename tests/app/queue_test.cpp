//
// One job at a time per printer, in job-id order, on a serial: printer whose port is a
// pseudo-terminal: jobs of every document format sent by several clients at once reach the
// line whole, one after the other, as each prints alone. A line that stops taking data is
// reported on the printer and cleared when data flows; a job on a blocked line is canceled
// within 2 seconds, and the next job prints when the line takes data again.
//

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app_server.h"
#include "test_support.h"

namespace {

constexpr const char *kSerial = "vorne";
constexpr const char *kFile = "file";
constexpr const char *kStalledMessage =
    "The printer is not taking data: out of paper, offline or switched off?";

// The log's lines that show when jobs started and ended, for a failure's message.
std::string JobStartsAndEnds(const std::string &log) {
  std::string lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    end = end == std::string::npos ? log.size() : end;
    std::string line = log.substr(start, end - start);
    for (const char *word : {"Starting job", "Processed before", "Completed,", "Canceled,",
                             "Aborted,", "Opening device", "Closing device"}) {
      if (line.find(word) != std::string::npos) {
        lines += line + "\n";
        break;
      }
    }
    start = end + 1;
  }
  return lines;
}

class Queue : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(port_.GiveTo(ServerUid(), ServerGid()));
    ASSERT_TRUE(server_.Start(error)) << error;
    CommandRun added = server_.Command(
        {"add", "-d", kSerial, "-v", "serial:" + port_.Path() + "?baud=115200", "-m", "vorne24"});
    ASSERT_EQ(added.status, 0) << added.err << server_.LogTail();
    output_ = folder_.Make("out");
    ASSERT_TRUE(server_.AddPrinter(kFile, "file://" + output_, error)) << error;
  }

  int Submit(const std::string &printer, const Bytes &document, const std::string &format,
             const std::string &name) {
    std::string error;
    int job = PrintJob(
        server_, printer, document, format,
        [&](ipp_t *request) {
          ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        },
        &error);
    EXPECT_NE(job, 0) << error << server_.LogTail();
    return job;
  }

  // What the file: printer got for the document printed alone.
  Bytes FileBytes(const Bytes &document, const std::string &format, const std::string &name) {
    int job = Submit(kFile, document, format, name);
    EXPECT_EQ(WaitForJob(server_, kFile, job).state, IPP_JSTATE_COMPLETED) << server_.LogTail();
    return ReadBytes(output_ + "/" + name + ".prn");
  }

  PrinterState State() {
    return GetPrinterState(server_, kSerial);
  }

  // Waits until the printer does (or no longer does) report a stalled line.
  bool WaitForStallReport(bool shown, int timeout_seconds) {
    return WaitForStateReason(server_, kSerial, "offline-report", shown, timeout_seconds);
  }

  ServerFolder folder_;
  AppServer server_{folder_};
  SlowPort port_{65536, 5};
  std::string output_;
};

// Three clients at once each send a 3-page PDF, a PNG, a JPEG and a PWG raster: the line
// carries each job's bytes as the job prints alone, whole and in job-id order.
TEST_F(Queue, JobsOfEveryFormatFromThreeClientsPrintOneAtATimeInIdOrder) {
  struct Document {
    const char *format;
    Bytes bytes;
    Bytes printed;  // alone, on the file: printer
  };
  std::vector<Document> documents = {
      {"application/pdf",
       MakeDocument(folder_, "pdfwrite", "three.pdf", {"document.ps", "onepage.ps"}),
       {}},
      {"image/png", MakeDocument(folder_, "pnggray", "page.png"), {}},
      {"image/jpeg", MakeDocument(folder_, "jpeggray", "page.jpg"), {}},
      {"image/pwg-raster", MidGreyRaster(480), {}},
  };
  for (size_t d = 0; d < documents.size(); d++) {
    ASSERT_FALSE(documents[d].bytes.empty()) << documents[d].format;
    documents[d].printed =
        FileBytes(documents[d].bytes, documents[d].format, "alone" + std::to_string(d));
    ASSERT_FALSE(documents[d].printed.empty()) << documents[d].format << server_.LogTail();
  }

  // job id -> document
  std::map<int, size_t> jobs;
  std::mutex jobsMutex;
  std::vector<std::thread> clients;
  for (int client = 0; client < 3; client++) {
    clients.emplace_back([&, client] {
      for (size_t d = 0; d < documents.size(); d++) {
        std::string name = "client" + std::to_string(client) + "-" + std::to_string(d);
        int job = Submit(kSerial, documents[d].bytes, documents[d].format, name);
        std::lock_guard<std::mutex> lock(jobsMutex);
        jobs[job] = d;
      }
    });
  }
  for (std::thread &client : clients) {
    client.join();
  }
  ASSERT_EQ(jobs.size(), 3 * documents.size());
  ASSERT_EQ(jobs.count(0), 0u);

  Bytes expected;
  for (const auto &[job, d] : jobs) {
    JobStatus done = WaitForJob(server_, kSerial, job);
    EXPECT_EQ(done.state, IPP_JSTATE_COMPLETED) << "job " << job << " (" << documents[d].format
                                                << "): " << done.message << server_.LogTail();
    expected.insert(expected.end(), documents[d].printed.begin(), documents[d].printed.end());
  }
  ASSERT_TRUE(port_.Drain(60));
  Bytes printed = port_.Received();
  EXPECT_EQ(printed, expected) << DescribeDifference(expected, printed) << "\n"
                               << JobStartsAndEnds(server_.Log());
}

// The reader stops: after 10 s the printer says the line takes no data, and says so no longer
// once it reads again; stopped once more, Cancel-Job ends the job while the line still takes
// nothing (how long that takes is app_bench's), and the job queued behind prints whole when the
// reader reads again.
TEST_F(Queue, ABlockedLineIsReportedAndACancelEndsItsJob) {
  Bytes bar = BlackBarRaster();
  Bytes barPrinted = FileBytes(bar, "image/pwg-raster", "bar");
  PrinterState idle = State();
  EXPECT_FALSE(idle.Has("offline-report"));
  EXPECT_NE(idle.message, kStalledMessage);

  port_.SetPace(0);
  int job = Submit(kSerial, MidGreyRaster(3960), "image/pwg-raster", "blocked");
  ASSERT_EQ(WaitForJobState(server_, kSerial, job, IPP_JSTATE_PROCESSING).state,
            IPP_JSTATE_PROCESSING);
  auto stopped_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForStallReport(true, 20)) << server_.LogTail();
  // Not before the line has taken nothing for 10 s (it stopped once the port was full).
  EXPECT_GE(std::chrono::steady_clock::now() - stopped_at, std::chrono::seconds(9));
  EXPECT_EQ(State().message, kStalledMessage);
  EXPECT_EQ(GetJob(server_, kSerial, job).state, IPP_JSTATE_PROCESSING) << "the job waits";

  // Data flows again, slowly enough for the job to go on: the report goes.
  port_.SetPace(256);
  ASSERT_TRUE(WaitForStallReport(false, 30)) << server_.LogTail();
  EXPECT_NE(State().message, kStalledMessage);
  ASSERT_EQ(GetJob(server_, kSerial, job).state, IPP_JSTATE_PROCESSING);

  // Blocked again, with a job queued behind: the cancel ends the job.
  port_.SetPace(0);
  int next = Submit(kSerial, bar, "image/pwg-raster", "next");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string error;
  ASSERT_TRUE(CancelJob(server_, kSerial, job, &error)) << error;
  JobStatus canceled = WaitForJob(server_, kSerial, job, 30);
  EXPECT_EQ(canceled.state, IPP_JSTATE_CANCELED)
      << JobStateName(canceled.state) << ": " << canceled.message << server_.LogTail();
  EXPECT_EQ(canceled.message, "Canceled while the printer took no data; the page was not fed out.");

  size_t before = port_.ReceivedCount();
  port_.Unthrottle();
  JobStatus printed = WaitForJob(server_, kSerial, next, 30);
  EXPECT_EQ(printed.state, IPP_JSTATE_COMPLETED) << printed.message << server_.LogTail();
  ASSERT_TRUE(port_.Drain(30));
  Bytes line = port_.Received();
  ASSERT_GE(line.size(), before + barPrinted.size());
  Bytes tail(line.end() - static_cast<ptrdiff_t>(barPrinted.size()), line.end());
  EXPECT_EQ(tail, barPrinted) << DescribeDifference(barPrinted, tail);
  EXPECT_FALSE(State().Has("offline-report"));
}

}  // namespace
