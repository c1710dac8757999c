//
// Fuzz target: arbitrary bytes as a whole raster stream, read by the filter's own raster input
// from a memory file and printed by its page loop under one of four job settings; the command
// stream and the messages of the job must pass the job output checks, and a job that left
// bytes of its input unread must have failed.
//
// The input's last byte picks the settings (its value mod 4). A stream's last byte is a pixel
// or the end of a header; a seed may also carry one byte more than its pages need, which
// libcups reads as the start of a header that never comes.
//
// The printer's bytes go to a memory sink and standard error to a memory stream, so that
// libFuzzer's own reports still reach the terminal.
//

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocation_watch.h"
#include "engine/bands.h"
#include "job/job.h"
#include "job_output_check.h"

// The job settings an input is printed with: the three resolutions, margins of both signs,
// and turned pages switched on at 360 and at 180.
struct FuzzJob {
  JobOptions options;  // xResolution, yResolution, quality, leftMargin, topMargin, turnPages
};
static const FuzzJob kJobs[] = {
    {{180, 180, 1, 0, 0, false}},
    {{360, 360, 0, 7, 3, true}},
    {{360, 180, 1, 0, 0, false}},
    {{180, 180, 1, -5, 400, true}},
};

// The largest buffer the filter may obtain for a page it accepts: two turned images of a page
// in the rotation window (fewer than 1500 x 1500 pixels each, twice) with room to spare. A
// larger allocation means a size came from a header that should have been refused.
constexpr size_t kLargestPageBuffer = 8 * 1024 * 1024;

// The input is written into a memory file that the filter reads as its raster file; standard
// error is a memory stream, read back after every job.
static int g_input = -1;
static char *g_errBytes = nullptr;
static size_t g_errSize = 0;

//
// '__asan_default_options()' - Let allocations beyond 64 MB fail instead of ending the run.
//
// libcups takes a row buffer of the header's cupsBytesPerLine (up to 4 GB) for a compressed
// stream before the filter sees the header; here such a request fails as it would on a small
// machine, and the job must still end cleanly.
//

extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

//
// 'MemoryStream' - The input as libcups reads it, through its I/O callback.
//

struct MemoryStream {
  const uint8_t *data;
  size_t size;
  size_t at;
};

static ssize_t ReadMemory(void *context, unsigned char *buffer, size_t bytes) {
  MemoryStream *stream = static_cast<MemoryStream *>(context);
  size_t count = std::min(bytes, stream->size - stream->at);
  memcpy(buffer, stream->data + stream->at, count);
  stream->at += count;
  return static_cast<ssize_t>(count);
}

//
// 'TakeMessages()' - Return what the job wrote on standard error, and start it afresh.
//
// A memory stream's size is its position after a flush, so going back to the start empties it.
//

static std::string TakeMessages() {
  fflush(stderr);
  std::string messages(g_errBytes, g_errSize);
  fseek(stderr, 0, SEEK_SET);
  return messages;
}

static void Fail(const FuzzJob &job, const std::string &what, const std::string &messages) {
  // libFuzzer keeps the original standard error for its reports; the filter's is a memory file.
  FILE *report = fdopen(dup(STDERR_FILENO), "w");
  fprintf(report, "job %s turned pages at %d x %d: %s\nmessages:\n%s\n",
          job.options.turnPages ? "with" : "without", job.options.xResolution,
          job.options.yResolution, what.c_str(), messages.c_str());
  fclose(report);
  abort();
}

// The most bytes of grey band and raster one input may have the filter work through. The band
// loop packs 24 rows of the page's width whatever the rows, the rotated path the whole page
// whatever the stream holds, and compressed streams repeat rows and pixels, so a few kilobytes
// can ask for many megapixels. Such an input takes the time of thousands of others and reaches
// no code they do not, and is left out; pages that wide or that large are the fault tests' work.
constexpr uint64_t kWorkBudget = 1 << 18;

// Page heights that may fall in a rotation window.
constexpr uint32_t kShortestRotated = 1401;
constexpr uint32_t kTallestRotated = 2999;

//
// 'WithinBudget()' - Whether the stream asks the job for no more work than the budget.
//
// libcups decodes the stream once, natively and much faster than the instrumented filter,
// and the count stops as soon as the budget is spent. A page too wide for the job is refused
// before its rows are read and ends the job.
//

static bool WithinBudget(const uint8_t *data, size_t size, const FuzzJob &job) {
  static unsigned char chunk[65536];
  MemoryStream stream = {data, size, 0};
  cups_raster_t *raster = cupsRasterOpenIO(ReadMemory, &stream, CUPS_RASTER_READ);
  cups_page_header2_t header;
  uint64_t work = 0;
  while (work <= kWorkBudget && cupsRasterReadHeader2(raster, &header)) {
    const uint64_t rowBytes = header.cupsBytesPerLine;
    const uint64_t bandWidth = job.options.xResolution == 360 ? (rowBytes + 1) / 2 : rowBytes;
    if (bandWidth > kMaxBandColumns) {
      break;
    }
    uint64_t left = rowBytes * header.cupsHeight;
    work += bandWidth * kBandRows;
    if (header.cupsHeight >= kShortestRotated && header.cupsHeight <= kTallestRotated) {
      work += left;
    }
    while (work <= kWorkBudget && left > 0) {
      unsigned count = static_cast<unsigned>(std::min<uint64_t>(left, sizeof chunk));
      if (!cupsRasterReadPixels(raster, chunk, count)) {
        break;
      }
      work += count;
      left -= count;
    }
  }
  cupsRasterClose(raster);
  return work <= kWorkBudget;
}

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  g_input = memfd_create("fuzz-input", 0);
  if (g_input < 0) {
    abort();
  }
  // In the GNU C library the standard streams are variables that may be set.
  stderr = open_memstream(&g_errBytes, &g_errSize);
  if (stderr == nullptr) {
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const FuzzJob &job = kJobs[size > 0 ? data[size - 1] % 4 : 0];
  if (!WithinBudget(data, size, job)) {
    return -1;  // not kept in the corpus
  }
  if (ftruncate(g_input, 0) != 0 ||
      (size > 0 && pwrite(g_input, data, size, 0) != static_cast<ssize_t>(size)) ||
      lseek(g_input, 0, SEEK_SET) != 0) {
    abort();
  }
  g_canceled = 0;

  // The filter obtains every page and band buffer through std::vector, so the watch sees them
  // all. libcups allocates with malloc and is not counted: for a compressed stream it takes a
  // row buffer of the header's cupsBytesPerLine before the filter has seen the header.
  std::vector<unsigned char> out;
  PrinterSink sink = BufferSink(out);
  RasterInput input;
  OpenRasterInput(input, g_input);
  StartDoc(job.options, sink);
  WatchAllocations();
  JobStatus status = PrintPages(input, job.options, sink);
  const size_t largestAllocation = EndWatchingAllocations();
  EndDoc(sink);
  CloseRasterInput(input);
  const off_t unread = static_cast<off_t>(size) - lseek(g_input, 0, SEEK_CUR);

  const std::string messages = TakeMessages();
  std::string fault = CheckJobOutput(out.data(), out.size(), messages,
                                     JobOutcome{job.options.xResolution, status == kJobFailed});
  if (!fault.empty()) {
    Fail(job, fault, messages);
  }
  // libcups read ahead of what it took, but bytes it never read are pages lost.
  if (unread > 0 && status != kJobFailed) {
    Fail(job, std::to_string(unread) + " bytes of the input left unread in a job that did not fail",
         messages);
  }
  if (largestAllocation > kLargestPageBuffer) {
    Fail(job, "an allocation of " + std::to_string(largestAllocation) + " bytes", messages);
  }
  return 0;
}
