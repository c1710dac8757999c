//
// Fuzz target: arbitrary bytes as a printer command stream, run through the preview as the
// program runs it (RunPreview: the checking reading, the summary, the pictures page by page)
// with a picture limit of 65536 pixels.
//
// Nothing may crash or leak; no buffer may exceed the 24 rows of the widest picture the limit
// allows, 24 x 65536 bytes (nothing else is allowed to grow with the stream); a run fails if and
// only if it says why on an "ERROR: " line; a stream is refused with exactly the text
// ParsePrinterStream gives; and a stream it accepts is summarised with the pages and bands that
// LayOutPages finds, and fails, if at all, only for a page too large to draw.
//
// The input's last byte picks the settings, the bytes before it are the stream: bits 0-1 the
// scale (1 to 4), bit 2 band edges, bit 3 paper of 0.5 x 0.25 inches, bit 4 the summary,
// bit 5 the stream through a pipe (copied to a temporary file) rather than a memory file.
// Pictures go to a temporary folder, unless the stream holds more than 16 form feeds: drawing
// thousands of one-dot pictures per input tests file creation, not the preview.
//

#include <dirent.h>
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
#include "page_layout.h"
#include "preview_run.h"
#include "printer_stream.h"

constexpr uint64_t kFuzzMaxPixels = 65536;
constexpr size_t kLargestBuffer = kPinRows * kFuzzMaxPixels;
constexpr long kMostFormFeedsDrawn = 16;
// A pipe holds this much without a reader; longer streams go through the memory file.
constexpr size_t kPipeBytes = 65536;

static const char kName[] = "fuzz input";

// The memory file that holds a stream, the memory streams of the summary and the messages,
// and the folder of the pictures.
static int g_streamFile = -1;
static char *g_outBytes = nullptr;
static size_t g_outSize = 0;
static FILE *g_out = nullptr;
static char *g_messageBytes = nullptr;
static size_t g_messageSize = 0;
static FILE *g_messages = nullptr;
static char g_folder[] = "/tmp/quillmarsh-preview-fuzz-XXXXXX";

// Removes the pictures and their folder when the fuzzer ends.
static void RemoveFolder() {
  if (DIR *folder = opendir(g_folder)) {
    while (dirent *entry = readdir(folder)) {
      if (entry->d_name[0] != '.') {
        unlink((std::string(g_folder) + "/" + entry->d_name).c_str());
      }
    }
    closedir(folder);
  }
  rmdir(g_folder);
}

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  g_streamFile = memfd_create("preview-stream", 0);
  g_out = open_memstream(&g_outBytes, &g_outSize);
  g_messages = open_memstream(&g_messageBytes, &g_messageSize);
  if (g_streamFile < 0 || g_out == nullptr || g_messages == nullptr || !mkdtemp(g_folder)) {
    abort();
  }
  atexit(RemoveFolder);
  return 0;
}

//
// 'TakeText()' - Return what a memory stream holds and start it afresh.
//
// A memory stream's size is its position after a flush, so going back to the start empties it.
//

static std::string TakeText(FILE *stream, char *&bytes, size_t &size) {
  fflush(stream);
  std::string text(bytes, size);
  fseek(stream, 0, SEEK_SET);
  return text;
}

static std::string FirstLine(const std::string &text) {
  return text.substr(0, text.find('\n'));
}

static void Fail(const std::string &what, const std::string &messages) {
  fprintf(stderr, "%s\nmessages:\n%s\n", what.c_str(), messages.c_str());
  abort();
}

//
// 'RunOnStream()' - Run the preview on the stream from a pipe or from the memory file.
//

static bool RunOnStream(const uint8_t *stream, size_t size, bool through_pipe,
                        const PreviewRequest &request) {
  if (through_pipe && size <= kPipeBytes) {
    int ends[2];
    if (pipe(ends) != 0 || write(ends[1], stream, size) != static_cast<ssize_t>(size)) {
      abort();
    }
    close(ends[1]);
    const bool done = RunPreview(ends[0], kName, request, g_out, g_messages);
    close(ends[0]);
    return done;
  }
  if (ftruncate(g_streamFile, 0) != 0 ||
      pwrite(g_streamFile, stream, size, 0) != static_cast<ssize_t>(size) ||
      lseek(g_streamFile, 0, SEEK_SET) != 0) {
    abort();
  }
  return RunPreview(g_streamFile, kName, request, g_out, g_messages);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const unsigned settings = size > 0 ? data[size - 1] : 0;
  const size_t streamSize = size > 0 ? size - 1 : 0;

  PreviewRequest request{};
  request.pictures = std::count(data, data + streamSize, 0x0C) <= kMostFormFeedsDrawn;
  ReadNamePattern((std::string(g_folder) + "/p%d.png").c_str(), request.names);
  request.picture = PictureOptions{1 + static_cast<int>(settings & 3), (settings & 4) != 0};
  request.paper_width = settings & 8 ? 90 : 0;
  request.paper_height = settings & 8 ? 45 : 0;
  request.max_pixels = kFuzzMaxPixels;
  request.summary = (settings & 16) != 0 || !request.pictures;
  request.baud = 9600;

  WatchAllocations();
  const bool done = RunOnStream(data, streamSize, (settings & 32) != 0, request);
  const size_t largestAllocation = EndWatchingAllocations();
  const std::string out = TakeText(g_out, g_outBytes, g_outSize);
  const std::string messages = TakeText(g_messages, g_messageBytes, g_messageSize);

  // A run fails if and only if it says why.
  const size_t error = messages.find("ERROR: ");
  if (done != (error == std::string::npos)) {
    Fail(done ? "an ERROR line from a run that succeeded" : "a failed run that does not say why",
         messages);
  }

  if (largestAllocation > kLargestBuffer) {
    Fail("an allocation of " + std::to_string(largestAllocation) + " bytes", messages);
  }

  // The whole-stream parser and layout are the reference.
  const ParsedStream parsed = ParsePrinterStream(data, streamSize);
  if (!parsed.ok) {
    const std::string expected =
        "ERROR: " + std::string(kName) + " is no valid printer stream: " + parsed.error;
    if (FirstLine(messages) != expected) {
      Fail("refused otherwise than with: " + expected, messages);
    }
    return 0;
  }
  if (!done && messages.compare(error, 12, "ERROR: page ") != 0) {
    Fail("an accepted stream failed for a reason other than a page's size", messages);
  }
  if (request.summary) {
    size_t bands = 0;
    const std::vector<PreviewPage> pages = LayOutPages(parsed);
    for (const PreviewPage &page : pages) {
      bands += page.bands;
    }
    const std::string expected = "stream: " + std::to_string(streamSize) + " bytes, " +
                                 std::to_string(pages.size()) + " pages, " + std::to_string(bands) +
                                 " bands,";
    if (out.compare(0, expected.size(), expected) != 0) {
      Fail("summary \"" + FirstLine(out) + "\" does not begin with \"" + expected + "\"", messages);
    }
  }
  return 0;
}
