//
// Printer command stream: job and page framing and the commands of one band.
//

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <new>

#include "engine/bands.h"

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kFormFeed = 0x0C;

// The feed command advances the paper by n units, 2 units for every 3 band rows, at most 255.
constexpr int kMaxFeedUnits = 255;

// Bytes of a band beyond its graphics data: one feed, the left skip and the closing CR come
// to 15; the buffer keeps a little more.
constexpr size_t kBandCommandSlack = 24;

//
// 'HoldToInt32()' - Hold a wide value to the 32-bit range instead of wrapping.
//

int32_t HoldToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

//
// 'WriteToSink()' - Hand bytes to the sink; false when they were not all taken.
//
// After a failed write the sink takes nothing more: a printer that lost part of the stream
// would read whatever follows the hole as commands.
//

bool WriteToSink(PrinterSink &sink, const unsigned char *bytes, size_t count) {
  if (sink.failed) {
    return false;
  }
  if (!sink.write(sink.context, bytes, count)) {
    sink.failed = true;
    return false;
  }
  return true;
}

static PrintStatus Written(bool ok) {
  return ok ? kPrintOk : kPrintWriteFailed;
}

//
// 'AppendToBuffer()' - The write of a buffer sink: append the bytes to the byte vector.
//

static bool AppendToBuffer(void *context, const unsigned char *bytes, size_t count) {
  auto *buffer = static_cast<std::vector<unsigned char> *>(context);
  try {
    buffer->insert(buffer->end(), bytes, bytes + count);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

PrinterSink BufferSink(std::vector<unsigned char> &buffer) {
  return PrinterSink{&buffer, AppendToBuffer, nullptr, nullptr, false};
}

//
// 'StartDoc()' - Write the job prologue: quality select (ESC "D" draft, ESC "I" letter) and CR.
//

PrintStatus StartDoc(const JobOptions &options, PrinterSink &sink) {
  const unsigned char quality[2] = {kEsc, static_cast<unsigned char>(options.quality ? 'I' : 'D')};
  return Written(WriteToSink(sink, quality, sizeof quality) &&
                 WriteToSink(sink, &kCarriageReturn, 1));
}

//
// 'StartPage()' - Write the page prologue, a carriage return.
//

PrintStatus StartPage(const JobOptions & /*options*/, PrinterSink &sink) {
  return Written(WriteToSink(sink, &kCarriageReturn, 1));
}

//
// 'EndPage()' - Write the page epilogue, a form feed.
//

PrintStatus EndPage(PrinterSink &sink) {
  return Written(WriteToSink(sink, &kFormFeed, 1));
}

//
// 'FeedUnits()' - The printer units a band feed of feed band rows sends: 2 for every 3 rows,
// the remainder dropped; nothing for a negative feed.
//

int FeedUnits(int feed) {
  return feed > 0 ? feed / 3 * 2 : 0;
}

//
// 'WriteFeed()' - Feed the paper by units, in commands of at most 255 units each.
//

static bool WriteFeed(PrinterSink &sink, int64_t units) {
  while (units > 0) {
    const int64_t step = std::min<int64_t>(units, kMaxFeedUnits);
    const unsigned char command[4] = {kEsc, '%', '5', static_cast<unsigned char>(step)};
    if (!WriteToSink(sink, command, sizeof command)) {
      return false;
    }
    units -= step;
  }
  return true;
}

//
// 'EndForm()' - End the page as the job asks: a form feed, or a feed to the page's length.
//
// With kPageEndFeed the paper goes to where the next form begins, one page length below the
// start of this one, less what the page's bands fed. Only whole units can be fed; the fraction
// left stays in the writer's position and is made up on a later page, so pages do not drift.
// A page whose bands went past its length gets no feed (it is noted in overran) and the next
// page's form still begins one length further on, keeping later forms in step.
//

PrintStatus EndForm(BandWriter &page, PrinterSink &sink) {
  if (page.options.pageEnd != kPageEndFeed) {
    return EndPage(sink);
  }
  const int64_t nextForm = page.formStart + page.formLength;
  page.formStart = nextForm;
  if (page.paperFed > nextForm) {
    page.overran = true;
    return kPrintOk;
  }
  const int64_t units = (nextForm - page.paperFed) / kStepsPerUnit;
  if (!WriteFeed(sink, units)) {
    return kPrintWriteFailed;
  }
  page.paperFed += units * kStepsPerUnit;
  return kPrintOk;
}

//
// 'PageLength()' - A page's length through the printer in 1/360 inch, from points or rows.
//

int64_t PageLength(uint32_t points, uint32_t rows, uint32_t dpi) {
  if (points > 0) {
    return int64_t{points} * kFormStepsPerInch / 72;
  }
  return dpi > 0 ? int64_t{rows} * kFormStepsPerInch / dpi : 0;
}

//
// 'EndDoc()' - End the job; the printer needs nothing more.
//

PrintStatus EndDoc(PrinterSink &sink) {
  return sink.failed ? kPrintWriteFailed : kPrintOk;
}

//
// 'ObtainBuffer()' - Size a buffer and fill it; false when the memory cannot be obtained.
//

bool ObtainBuffer(std::vector<unsigned char> &buffer, size_t size, unsigned char fill) {
  try {
    buffer.assign(size, fill);
  } catch (const std::exception &) {
    buffer.clear();
    return false;
  }
  return true;
}

// Appends a command with a 16-bit count, most significant byte first.
static unsigned char *AppendCountCommand(unsigned char *out, unsigned char command, int count) {
  out[0] = kEsc;
  out[1] = '%';
  out[2] = command;
  out[3] = static_cast<unsigned char>(count >> 8);
  out[4] = static_cast<unsigned char>(count & 0xFF);
  return out + 5;
}

//
// 'OutputBlockData()' - Send one band: feed, left skip, graphics runs and carriage return.
//
// The feed is in band rows and becomes 2 printer units for every 3 rows, the remainder
// dropped. Runs of columns go as graphics data; stretches of 17 or more empty columns become
// skips; empty columns at the right end are not sent. A negative feed is sent as 0 and the
// left offset is held to what the 16-bit skip can carry. The band leaves in one write; when
// its command buffer cannot be obtained nothing of the band is written.
//

PrintStatus OutputBlockData(PrinterSink &sink, int leftOffset, int feed, int width,
                            const unsigned char *packed, int /*xResolution*/) {
  if (width < 0) {
    width = 0;
  }
  if (leftOffset < 0) {
    leftOffset = 0;
  } else if (leftOffset > kMaxBandColumns) {
    leftOffset = kMaxBandColumns;
  }
  int units = FeedUnits(feed);

  // Every byte sent is written into the buffer first, so it needs no filling.
  const size_t size = kBytesPerColumn * static_cast<size_t>(width) + kBandCommandSlack;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
  if (!buffer) {
    return kPrintNoMemory;
  }

  // Feeds beyond one command's reach go ahead of the band, each in a write of its own; the
  // band's own feed takes the rest, 1 to 255 units.
  const int ahead = units > kMaxFeedUnits ? (units - 1) / kMaxFeedUnits * kMaxFeedUnits : 0;
  if (!WriteFeed(sink, ahead)) {
    return kPrintWriteFailed;
  }
  units -= ahead;

  unsigned char *out = buffer.get();
  *out++ = kEsc;
  *out++ = '%';
  *out++ = '5';
  *out++ = static_cast<unsigned char>(units);
  out = AppendCountCommand(out, '3', leftOffset);

  for (int p = 0; p < width;) {
    int gap = 0;
    int run = 0;
    const unsigned char *columns = packed + kBytesPerColumn * static_cast<size_t>(p);
    findStripPixel(columns, width - p, gap, run);
    if (run > 0) {
      out = AppendCountCommand(out, '1', run);
      size_t bytes = kBytesPerColumn * static_cast<size_t>(run);
      std::copy(columns, columns + bytes, out);
      out += bytes;
    }
    p += gap + run;
    if (p < width) {
      out = AppendCountCommand(out, '3', gap);
    }
  }
  *out++ = kCarriageReturn;

  return Written(WriteToSink(sink, buffer.get(), static_cast<size_t>(out - buffer.get())));
}
