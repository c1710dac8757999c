//
// Checks of a job's output against its messages, for the fuzz targets and the fault tests.
//

#include "job_output_check.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "printer_stream.h"

// Stretches of this many empty columns or more travel as skips; shorter ones as graphics data.
constexpr uint64_t kShortestSkip = 17;
// The feed command's largest advance; a longer feed is sent as full feeds first.
constexpr int kFullFeed = 255;
// Bytes of a band beyond 3 per column: feed 4, left skip 5, graphics header 5, carriage return 1.
constexpr uint64_t kBandOverhead = 15;

// A page the messages announce, with the band width its bands may cover.
struct AnnouncedPage {
  uint64_t bandWidth;
};

// What the messages say about the job.
struct MessageFacts {
  std::vector<AnnouncedPage> pages;
  int endPages = 0;
  int errors = 0;
  std::string problem;
};

// The number after a message's prefix, as the filter printed it (%d of an unsigned field).
static uint32_t FieldValue(const std::string &line, size_t prefixLength) {
  return static_cast<uint32_t>(std::strtol(line.c_str() + prefixLength, nullptr, 10));
}

static bool StartsWith(const std::string &line, const char *prefix) {
  return line.compare(0, strlen(prefix), prefix) == 0;
}

//
// 'ReadMessages()' - Collect the announced pages and their band widths from the messages.
//
// Every page is announced by its "PAGE:" line after its header lines; a turned one has "Print
// rotate page" just before it. A page found too wide never begins.
//

static MessageFacts ReadMessages(const std::string &messages, int xResolution) {
  MessageFacts facts;
  const bool halved = xResolution == 360;
  uint32_t bytesPerLine = 0;
  uint32_t height = 0;
  int pageNumber = 0;
  bool turned = false;  // "Print rotate page" came: the next page is turned

  size_t start = 0;
  while (start < messages.size()) {
    size_t end = messages.find('\n', start);
    if (end == std::string::npos) {
      end = messages.size();
    }
    const std::string line = messages.substr(start, end - start);
    start = end + 1;

    if (StartsWith(line, "cupsBytesPerLine: ")) {
      bytesPerLine = FieldValue(line, strlen("cupsBytesPerLine: "));
    } else if (StartsWith(line, "cupsHeight: ")) {
      height = FieldValue(line, strlen("cupsHeight: "));
    } else if (line == "Print rotate page") {
      turned = true;
    } else if (StartsWith(line, "PAGE: ")) {
      int number = static_cast<int>(FieldValue(line, strlen("PAGE: ")));
      if (number != ++pageNumber && facts.problem.empty()) {
        facts.problem = "page line \"" + line + "\" out of order";
      }
      // A turned page's bands run along its height.
      const uint32_t across = turned ? height : bytesPerLine;
      facts.pages.push_back({halved ? (uint64_t{across} + 1) / 2 : across});
      turned = false;
    } else if (line == "ERROR: The page is too wide for the printer.") {
      if (facts.pages.empty()) {
        facts.problem = "a page found too wide was never announced";
      } else {
        facts.pages.pop_back();
      }
    } else if (line == "INFO: End Page.") {
      facts.endPages++;
    }
    if (StartsWith(line, "ERROR: ")) {
      facts.errors++;
    }
  }
  return facts;
}

static std::string At(const PrinterCommand &command, const std::string &what) {
  return "at byte " + std::to_string(command.offset) + ": " + what;
}

static bool EmptyColumn(const unsigned char *column) {
  return column[0] == 0 && column[1] == 0 && column[2] == 0;
}

//
// 'CheckGraphics()' - Check one graphics run: no ESC "0" in its data, a last column with dots,
// no inner stretch of empty columns long enough for a skip, and a first column with dots when
// it follows a skip. Returns a description of the fault, or an empty string.
//

static std::string CheckGraphics(const unsigned char *out, const PrinterCommand &command,
                                 bool afterSkip) {
  const unsigned char *data = out + command.offset + kGraphicsHeaderBytes;
  const size_t bytes = command.length - kGraphicsHeaderBytes;
  if (command.value == 0) {
    return At(command, "graphics of 0 columns");
  }
  for (size_t i = 0; i + 1 < bytes; i++) {
    if (data[i] == 0x1B && data[i + 1] == '0') {
      return At(command, "graphics data holds ESC \"0\" at data byte " + std::to_string(i));
    }
  }
  if (EmptyColumn(data + bytes - 3)) {
    return At(command, "graphics run ends with an empty column");
  }
  if (afterSkip && EmptyColumn(data)) {
    return At(command, "graphics run after a skip begins with an empty column");
  }
  uint64_t emptyStretch = 0;
  for (size_t column = 0; column < static_cast<size_t>(command.value); column++) {
    emptyStretch = EmptyColumn(data + 3 * column) ? emptyStretch + 1 : 0;
    if (emptyStretch >= kShortestSkip) {
      return At(command, "graphics run carries 17 empty columns that a skip should cover");
    }
  }
  return "";
}

//
// 'CheckBand()' - Check the band that begins at commands[i]; on success i is left after its
// carriage return. Returns a description of the fault, or an empty string.
//

static std::string CheckBand(const unsigned char *out, const std::vector<PrinterCommand> &commands,
                             size_t &i, uint64_t bandWidth) {
  const size_t count = commands.size();
  while (i + 1 < count && commands[i + 1].kind == CommandKind::kFeed) {
    if (commands[i].value != kFullFeed) {
      return At(commands[i], "a feed that is not full is followed by another feed");
    }
    i++;
  }
  const PrinterCommand &feed = commands[i++];
  if (i >= count || commands[i].kind != CommandKind::kSkip) {
    return At(feed, "band feed is not followed by the left skip");
  }
  i++;

  uint64_t columns = 0;
  bool graphicsSent = false;
  CommandKind previous = CommandKind::kSkip;
  for (; i < count && commands[i].kind != CommandKind::kCarriageReturn; i++) {
    const PrinterCommand &command = commands[i];
    if (command.kind == CommandKind::kSkip) {
      if (previous == CommandKind::kSkip && graphicsSent) {
        return At(command, "two skips in a row inside a band");
      }
      if (previous == CommandKind::kSkip && !graphicsSent && columns > 0) {
        return At(command, "more than one leading skip");
      }
      if (static_cast<uint64_t>(command.value) < kShortestSkip) {
        return At(command, "skip of " + std::to_string(command.value) +
                               " columns, fewer than a skip stands for");
      }
    } else if (command.kind == CommandKind::kGraphics) {
      if (previous == CommandKind::kGraphics) {
        return At(command, "two graphics runs without a skip between them");
      }
      std::string fault = CheckGraphics(out, command, columns > 0);
      if (!fault.empty()) {
        return fault;
      }
      graphicsSent = true;
    } else {
      return At(command,
                std::string("unexpected ") + CommandKindName(command.kind) + " inside a band");
    }
    columns += static_cast<uint64_t>(command.value);
    previous = command.kind;
  }
  if (i >= count) {
    return At(feed, "band without its closing carriage return");
  }
  if (previous == CommandKind::kSkip && columns > 0) {
    return At(commands[i], "band ends with a skip");
  }
  if (columns > bandWidth) {
    return At(feed, "band covers " + std::to_string(columns) + " columns of a page " +
                        std::to_string(bandWidth) + " wide");
  }
  const uint64_t bytes = commands[i].offset + 1 - feed.offset;
  if (bytes > 3 * bandWidth + kBandOverhead) {
    return At(feed, "band of " + std::to_string(bytes) + " bytes on a page " +
                        std::to_string(bandWidth) + " wide");
  }
  i++;
  return "";
}

//
// 'CheckJobOutput()' - Check a job's command stream against its messages.
//

std::string CheckJobOutput(const unsigned char *out, size_t size, const std::string &messages,
                           const JobOutcome &outcome) {
  const MessageFacts facts = ReadMessages(messages, outcome.xResolution);
  if (!facts.problem.empty()) {
    return facts.problem;
  }
  if (outcome.failed && facts.errors == 0) {
    return "the job failed without an \"ERROR: \" line";
  }
  if (!outcome.failed && facts.errors > 0) {
    return "the job wrote an \"ERROR: \" line but did not fail";
  }

  const ParsedStream parsed = ParsePrinterStream(out, size);
  if (!parsed.ok) {
    return "the stream does not parse: " + parsed.error;
  }
  const std::vector<PrinterCommand> &commands = parsed.commands;
  if (commands.size() < 2 ||
      (commands[0].kind != CommandKind::kQualityLetter &&
       commands[0].kind != CommandKind::kQualityDraft) ||
      commands[1].kind != CommandKind::kCarriageReturn) {
    return "the stream does not begin with the job prologue";
  }

  size_t page = 0;
  int formFeeds = 0;
  bool inPage = false;
  for (size_t i = 2; i < commands.size();) {
    const PrinterCommand &command = commands[i];
    if (!inPage) {
      if (command.kind != CommandKind::kCarriageReturn) {
        return At(command, std::string("a page must begin with a carriage return, not ") +
                               CommandKindName(command.kind));
      }
      if (page >= facts.pages.size()) {
        return At(command, "a page begins that the messages do not announce");
      }
      inPage = true;
      i++;
    } else if (command.kind == CommandKind::kFormFeed) {
      inPage = false;
      formFeeds++;
      page++;
      i++;
    } else if (command.kind == CommandKind::kFeed) {
      std::string fault = CheckBand(out, commands, i, facts.pages[page].bandWidth);
      if (!fault.empty()) {
        return "page " + std::to_string(page + 1) + ", " + fault;
      }
    } else {
      return At(command,
                std::string("a band must begin with a feed, not ") + CommandKindName(command.kind));
    }
  }

  if (formFeeds != facts.endPages) {
    return std::to_string(formFeeds) + " form feeds for " + std::to_string(facts.endPages) +
           " \"INFO: End Page.\" lines";
  }
  const size_t begun = page + (inPage ? 1 : 0);
  if (inPage && !outcome.failed) {
    return "the last page has no form feed and the job did not fail";
  }
  if (begun < facts.pages.size() && !(outcome.failed && begun + 1 == facts.pages.size())) {
    return std::to_string(facts.pages.size()) + " pages announced, " + std::to_string(begun) +
           " printed";
  }
  return "";
}
