//
// 'quillmarsh-preview' - Draw what the Vorne 24-pin printer would print from a command stream.
//
// Usage: quillmarsh-preview [--output PATTERN] [--scale N] [--band-edges] [--paper WxH]
//                           [--summary] [--baud N] [file]
//
// Reads the printer command stream that the filter writes, from the file or standard input,
// checks every byte of it, and writes one PNG picture per page (a form feed ends a page) at
// one pixel per dot, 180 dots per inch across and down. With --summary it prints what each
// page costs in bands, dots, bytes and time on the serial line instead, and draws as well
// only when --output is given too.
//

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "page_layout.h"
#include "page_picture.h"
#include "printer_stream.h"
#include "stream_summary.h"

// Exit status: 0 done, 1 a stream that cannot be read, parsed or drawn, 2 a wrong command line.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr long kDefaultBaud = 9600;
constexpr double kDotsPerInch = 180;
constexpr double kLargestPaperInches = 100;
constexpr long kMaxBaud = 10000000;

static const char kUsage[] =
    "Usage: quillmarsh-preview [options] [file]\n"
    "Draws each page of a Vorne printer command stream (the file, or standard input) as a PNG.\n"
    "  -o, --output PATTERN  picture file names, %d the page number (default page-%d.png)\n"
    "  -s, --scale N         draw every dot as N x N pixels, 1 to 16 (default 1)\n"
    "  -e, --band-edges      mark the top and bottom row of every band in light blue\n"
    "  -p, --paper WxH       draw at least this much paper, in inches (such as 8.27x11.69)\n"
    "      --summary         print pages, bands, bytes by command, dots and line time;\n"
    "                        draws no pictures unless --output is given too\n"
    "      --baud N          serial line speed for the line time (default 9600)\n"
    "  -h, --help            show this text\n";

// A picture file name pattern taken apart around its page number: before, the number padded
// to width (with zeros when zero_pad), after. numbered is false when the pattern has no %d.
struct NamePattern {
  std::string before;
  std::string after;
  bool numbered;
  bool zero_pad;
  int width;
};

//
// 'ReadNamePattern()' - Take apart an output pattern; false when it is not one %d at most.
//
// Accepted: "%%" for a percent sign and one "%d", "%Nd" or "%0Nd" for the page number.
//

static bool ReadNamePattern(const char *text, NamePattern &pattern) {
  pattern = NamePattern{std::string(), std::string(), false, false, 0};
  for (const char *p = text; *p != '\0'; p++) {
    std::string &out = pattern.numbered ? pattern.after : pattern.before;
    if (*p != '%') {
      out += *p;
      continue;
    }
    p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    if (pattern.numbered) {
      return false;
    }
    if (*p == '0') {
      pattern.zero_pad = true;
      p++;
    }
    while (*p >= '0' && *p <= '9' && pattern.width < 100) {
      pattern.width = pattern.width * 10 + (*p - '0');
      p++;
    }
    if (*p != 'd') {
      return false;
    }
    pattern.numbered = true;
  }
  return !pattern.before.empty() || pattern.numbered || !pattern.after.empty();
}

static std::string PageFileName(const NamePattern &pattern, size_t page) {
  if (!pattern.numbered) {
    return pattern.before;
  }
  std::string number = std::to_string(page);
  if (number.size() < static_cast<size_t>(pattern.width)) {
    number.insert(0, pattern.width - number.size(), pattern.zero_pad ? '0' : ' ');
  }
  return pattern.before + number + pattern.after;
}

//
// 'ReadPaperSize()' - Read "WxH" in inches into dots; false unless both are in (0, 100].
//

static bool ReadPaperSize(const char *text, int64_t &width, int64_t &height) {
  double inchesAcross = 0, inchesDown = 0;
  char end = '\0';
  if (sscanf(text, "%lfx%lf%c", &inchesAcross, &inchesDown, &end) != 2 || !(inchesAcross > 0) ||
      !(inchesDown > 0) || inchesAcross > kLargestPaperInches || inchesDown > kLargestPaperInches) {
    return false;
  }
  width = static_cast<int64_t>(inchesAcross * kDotsPerInch + 0.5);
  height = static_cast<int64_t>(inchesDown * kDotsPerInch + 0.5);
  return true;
}

// Reads a whole number in [low, high] from an option's value; false when it is anything else.
static bool ReadNumber(const char *text, long low, long high, long &value) {
  char *end = nullptr;
  errno = 0;
  value = strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

//
// 'ReadStream()' - Read all bytes of a file; false (with the error in errno) when that fails.
//

static bool ReadStream(FILE *file, std::vector<unsigned char> &bytes) {
  unsigned char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return !ferror(file);
}

// What the command line asks for.
struct PreviewRequest {
  const char *input;  // file name, or nullptr for standard input
  NamePattern names;
  bool names_given;
  PictureOptions picture;
  int64_t paper_width;  // dots the pictures span at least, 0 for none
  int64_t paper_height;
  bool summary;
  long baud;
  bool help;  // the usage text was asked for and shown
};

//
// 'ReadCommandLine()' - Fill the request from argv; returns kExitOk, or the status to end with.
//

static int ReadCommandLine(int argc, char *argv[], PreviewRequest &request) {
  enum { kSummaryOption = 1000, kBaudOption };
  static const option kOptions[] = {
      {"output", required_argument, nullptr, 'o'},
      {"scale", required_argument, nullptr, 's'},
      {"band-edges", no_argument, nullptr, 'e'},
      {"paper", required_argument, nullptr, 'p'},
      {"summary", no_argument, nullptr, kSummaryOption},
      {"baud", required_argument, nullptr, kBaudOption},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };

  request = PreviewRequest{};
  request.picture = PictureOptions{1, false};
  request.baud = kDefaultBaud;
  ReadNamePattern("page-%d.png", request.names);
  long number = 0;
  int letter;
  while ((letter = getopt_long(argc, argv, "o:s:ep:h", kOptions, nullptr)) != -1) {
    switch (letter) {
      case 'o':
        if (!ReadNamePattern(optarg, request.names)) {
          fprintf(stderr, "ERROR: --output %s: a name with at most one %%d is needed.\n", optarg);
          return kExitUsage;
        }
        request.names_given = true;
        break;
      case 's':
        if (!ReadNumber(optarg, 1, kMaxScale, number)) {
          fprintf(stderr, "ERROR: --scale %s: a whole number from 1 to %d is needed.\n", optarg,
                  kMaxScale);
          return kExitUsage;
        }
        request.picture.scale = static_cast<int>(number);
        break;
      case 'e':
        request.picture.band_edges = true;
        break;
      case 'p':
        if (!ReadPaperSize(optarg, request.paper_width, request.paper_height)) {
          fprintf(stderr, "ERROR: --paper %s: width x height in inches, up to %g, is needed.\n",
                  optarg, kLargestPaperInches);
          return kExitUsage;
        }
        break;
      case kSummaryOption:
        request.summary = true;
        break;
      case kBaudOption:
        if (!ReadNumber(optarg, 1, kMaxBaud, request.baud)) {
          fprintf(stderr, "ERROR: --baud %s: a line speed from 1 to %ld is needed.\n", optarg,
                  kMaxBaud);
          return kExitUsage;
        }
        break;
      case 'h':
        fputs(kUsage, stdout);
        request.help = true;
        return kExitOk;
      default:
        fputs(kUsage, stderr);
        return kExitUsage;
    }
  }
  if (argc - optind > 1) {
    fputs("ERROR: one input file at most.\n", stderr);
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (optind < argc && strcmp(argv[optind], "-") != 0) {
    request.input = argv[optind];
  }
  return kExitOk;
}

//
// 'DrawPages()' - Check every page's size, then write one picture per page; false on failure.
//
// A page spans at least the paper asked for, the dots beyond it included. The sizes are all
// checked before the first file is written, so a stream that cannot be drawn leaves no partial
// set of pictures behind.
//

static bool DrawPages(std::vector<PreviewPage> pages, const unsigned char *stream,
                      const PreviewRequest &request) {
  if (pages.size() > 1 && !request.names.numbered) {
    fprintf(stderr, "ERROR: the stream holds %zu pages; --output needs %%d for the page number.\n",
            pages.size());
    return false;
  }
  for (size_t i = 0; i < pages.size(); i++) {
    pages[i].width = std::max(pages[i].width, request.paper_width);
    pages[i].height = std::max(pages[i].height, request.paper_height);
    if (pages[i].width > kMaxPictureDots || pages[i].height > kMaxPictureDots) {
      fprintf(stderr,
              "ERROR: page %zu is %lld dots wide and %lld rows long; a picture is at most %lld "
              "either way.\n",
              i + 1, static_cast<long long>(pages[i].width),
              static_cast<long long>(pages[i].height), static_cast<long long>(kMaxPictureDots));
      return false;
    }
  }

  for (size_t i = 0; i < pages.size(); i++) {
    const std::string name = PageFileName(request.names, i + 1);
    std::string error;
    if (!WritePagePicture(name, pages[i], stream, request.picture, error)) {
      fprintf(stderr, "ERROR: %s\n", error.c_str());
      return false;
    }
    fprintf(stderr, "INFO: %s: page %zu, %lld x %lld dots, %zu bands.\n", name.c_str(), i + 1,
            static_cast<long long>(pages[i].width), static_cast<long long>(pages[i].height),
            pages[i].band_tops.size());
  }
  return true;
}

//
// 'main()' - Read and check the stream, then summarise it or draw its pages.
//

int main(int argc, char *argv[]) {
  PreviewRequest request;
  int status = ReadCommandLine(argc, argv, request);
  if (status != kExitOk || request.help) {
    return status;
  }

  // The whole stream is read first: nothing is drawn from a stream that fails to parse.
  const char *name = request.input != nullptr ? request.input : "standard input";
  FILE *file = request.input != nullptr ? fopen(request.input, "rb") : stdin;
  std::vector<unsigned char> stream;
  if (file == nullptr || !ReadStream(file, stream)) {
    fprintf(stderr, "ERROR: %s: %s\n", name, strerror(errno));
    return kExitFailed;
  }
  if (file != stdin) {
    fclose(file);
  }

  const ParsedStream parsed = ParsePrinterStream(stream.data(), stream.size());
  if (!parsed.ok) {
    fprintf(stderr, "ERROR: %s is no valid printer stream: %s\n", name, parsed.error.c_str());
    return kExitFailed;
  }
  const std::vector<PreviewPage> pages = LayOutPages(parsed);
  if (pages.empty()) {
    fprintf(stderr, "INFO: %s holds no page.\n", name);
  } else if (!pages.back().ended) {
    fprintf(stderr, "INFO: %s ends without a form feed; its last page is drawn as it stands.\n",
            name);
  }

  if (request.summary) {
    std::vector<PageSummary> summaries;
    for (const PreviewPage &page : pages) {
      summaries.push_back(SummarizePage(parsed, page, stream.data()));
    }
    PrintSummary(stdout, summaries, stream.size(), request.baud);
    if (!request.names_given) {
      return kExitOk;
    }
  }
  return DrawPages(pages, stream.data(), request) ? kExitOk : kExitFailed;
}
