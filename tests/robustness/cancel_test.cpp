// SIGTERM at fifty moments of a three-page job (a normal page, a turned page, a normal page),
// drawn from a fixed seed. The raster goes through a pipe: the test writes a prefix of the
// stream, waits until the filter has taken all of it, sends the signal, then writes the rest.
// Every run must exit 0 with a stream that passes the job output checks, is the uncancelled
// job's output up to a band's end followed by a form feed, and holds exactly the pages whose
// header had arrived.

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "job_output_check.h"
#include "test_support.h"

namespace {

constexpr size_t kSyncBytes = 4;
constexpr size_t kHeaderBytes = sizeof(cups_page_header2_t);
constexpr int kMoments = 50;
constexpr unsigned kSeed = 20261207;
constexpr int kSigtermBit = SIGTERM - 1;

// Whether the process has a handler installed for SIGTERM (its SigCgt mask in /proc).
bool CatchesSigterm(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 7, "SigCgt:") == 0) {
      unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> kSigtermBit & 1) != 0;
    }
  }
  return false;
}

// Whether the process sleeps, which the filter only does waiting for its input.
bool Sleeping(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end_of_name = text.rfind(") ");
  return end_of_name != std::string::npos && text.compare(end_of_name + 2, 1, "S") == 0;
}

// Bytes written into the pipe that the filter has not read yet.
int Unread(int pipe_end) {
  int count = 0;
  ioctl(pipe_end, FIONREAD, &count);
  return count;
}

void WaitFor(const std::function<bool()> &condition) {
  for (int i = 0; i < 10000 && !condition(); i++) {
    usleep(1000);
  }
}

bool WriteAll(int fd, const unsigned char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) {
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int CountFormFeeds(const Bytes &out) {
  return static_cast<int>(std::count(out.begin(), out.end(), 0x0C));
}

// The pages whose header lies wholly within the first `prefix` bytes of the stream.
int PagesBegun(const std::vector<TestPage> &pages, size_t prefix) {
  size_t at = kSyncBytes;
  int begun = 0;
  for (const TestPage &page : pages) {
    at += kHeaderBytes;
    if (prefix < at) {
      break;
    }
    begun++;
    at += page.pixels.size();
  }
  return begun;
}

TestPage Drawing(unsigned width, unsigned height) {
  TestPage page = GreyPage(width, height, 255);
  for (unsigned row = 0; row < height; row++) {
    FillRect(page, row % width, row, 1, 1, 0);
  }
  FillRect(page, 0, 0, width / 2, height / 3, 100);
  return page;
}

TEST(CancelTest, SigtermAtFiftyMomentsLeavesWholeBandsAndAFormFeed) {
  // The middle page is 1401 rows high, inside the rotation window at 180 dpi.
  const std::vector<TestPage> pages = {Drawing(40, 200), Drawing(30, 1401), Drawing(20, 60)};
  const Bytes stream = RasterStream(pages);
  TempDir dir;
  FilterCall call;
  PpdOptions ppd;
  call.ppd = dir.Write("printer.ppd", PpdText(ppd));
  call.options = "nopdfAutoRotate";
  call.input = stream;
  const FilterRun whole = RunFilter(call);
  ASSERT_EQ(whole.status, 0) << whole.err;
  ASSERT_EQ(CountFormFeeds(whole.out), 3);
  call.input.clear();

  std::mt19937 random(kSeed);
  for (int moment = 0; moment < kMoments; moment++) {
    const size_t prefix = random() % (stream.size() + 1);
    SCOPED_TRACE("SIGTERM after " + std::to_string(prefix) + " of " +
                 std::to_string(stream.size()) + " bytes");

    RunningFilter running = StartFilter(call, true);
    ASSERT_TRUE(WriteAll(running.input, stream.data(), prefix));
    // The filter has taken the prefix and waits for more: the moment is where it reads.
    auto waiting = [&] {
      return CatchesSigterm(running.pid) && Unread(running.input) == 0 && Sleeping(running.pid);
    };
    WaitFor(waiting);
    ASSERT_TRUE(waiting());
    kill(running.pid, SIGTERM);
    ASSERT_TRUE(WriteAll(running.input, stream.data() + prefix, stream.size() - prefix));
    FilterRun run = FinishFilter(running);

    EXPECT_EQ(run.signal, 0);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(CheckJobOutput(run.out.data(), run.out.size(), run.err, JobOutcome{180, false}), "");
    const int begun = PagesBegun(pages, prefix);
    ASSERT_EQ(CountFormFeeds(run.out), begun);
    ASSERT_EQ(run.lines.back(), "INFO: End Doc.");
    if (begun > 0) {
      // All but the form feed is the uncancelled output as far as the cancel let it go.
      ASSERT_EQ(run.out.back(), 0x0C);
      ASSERT_LE(run.out.size(), whole.out.size());
      ASSERT_TRUE(std::equal(run.out.begin(), run.out.end() - 1, whole.out.begin()));
    }
  }
}

}  // namespace
