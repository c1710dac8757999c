//
// 'quillmarsh-preview' - Draw what the Vorne 24-pin printer would print from a command stream.
//
// Usage: quillmarsh-preview [--output PATTERN] [--scale N] [--band-edges] [--paper WxH]
//                           [--max-pixels N] [--summary] [--baud N] [file]
//
// Reads the printer command stream that the filter writes, from the file or standard input,
// checks every byte of it, and writes one PNG picture per page (a form feed ends a page) at
// one pixel per dot, 180 dots per inch across and down. With --summary it prints what each
// page costs in bands, dots, bytes and time on the serial line instead, and draws as well
// only when --output is given too. The work is preview_run.cpp's; this file reads the command
// line and opens the input.
//

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "page_picture.h"
#include "preview_run.h"

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
    "      --max-pixels N    refuse a page whose picture would have more than N pixels,\n"
    "                        after --scale and --paper (default 100000000)\n"
    "      --summary         print pages, bands, bytes by command, dots and line time;\n"
    "                        draws no pictures unless --output is given too\n"
    "      --baud N          serial line speed for the line time (default 9600)\n"
    "  -h, --help            show this text\n";

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

// What the command line asks for: the run, and where its input is.
struct CommandLine {
  PreviewRequest run;
  const char *input;  // file name, or nullptr for standard input
  bool help;          // the usage text was asked for and shown
};

//
// 'ReadCommandLine()' - Fill the request from argv; returns kExitOk, or the status to end with.
//

static int ReadCommandLine(int argc, char *argv[], CommandLine &line) {
  enum { kSummaryOption = 1000, kBaudOption, kMaxPixelsOption };
  static const option kOptions[] = {
      {"output", required_argument, nullptr, 'o'},
      {"scale", required_argument, nullptr, 's'},
      {"band-edges", no_argument, nullptr, 'e'},
      {"paper", required_argument, nullptr, 'p'},
      {"summary", no_argument, nullptr, kSummaryOption},
      {"baud", required_argument, nullptr, kBaudOption},
      {"max-pixels", required_argument, nullptr, kMaxPixelsOption},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };

  line = CommandLine{};
  PreviewRequest &request = line.run;
  request.picture = PictureOptions{1, false};
  request.max_pixels = kDefaultMaxPixels;
  request.baud = kDefaultBaud;
  ReadNamePattern("page-%d.png", request.names);
  bool namesGiven = false;
  long number = 0;
  int letter;
  while ((letter = getopt_long(argc, argv, "o:s:ep:h", kOptions, nullptr)) != -1) {
    switch (letter) {
      case 'o':
        if (!ReadNamePattern(optarg, request.names)) {
          fprintf(stderr, "ERROR: --output %s: a name with at most one %%d is needed.\n", optarg);
          return kExitUsage;
        }
        namesGiven = true;
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
      case kMaxPixelsOption:
        if (!ReadNumber(optarg, 1, LONG_MAX, number)) {
          fprintf(stderr,
                  "ERROR: --max-pixels %s: a whole number of pixels, 1 or more, is needed.\n",
                  optarg);
          return kExitUsage;
        }
        request.max_pixels = static_cast<uint64_t>(number);
        break;
      case 'h':
        fputs(kUsage, stdout);
        line.help = true;
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
    line.input = argv[optind];
  }
  // A summary alone draws nothing.
  request.pictures = !request.summary || namesGiven;
  return kExitOk;
}

//
// 'Preview()' - Open the input and run the preview on it; returns the exit status.
//

static int Preview(const CommandLine &line) {
  const char *name = line.input != nullptr ? line.input : "standard input";
  const int fd = line.input != nullptr ? open(line.input, O_RDONLY) : STDIN_FILENO;
  if (fd < 0) {
    fprintf(stderr, "ERROR: %s: %s\n", name, strerror(errno));
    return kExitFailed;
  }
  const bool done = RunPreview(fd, name, line.run, stdout, stderr);
  if (fd != STDIN_FILENO) {
    close(fd);
  }
  return done ? kExitOk : kExitFailed;
}

//
// 'main()' - Read the command line, then check, summarise and draw the stream.
//
// Nothing may end the program but an exit status: running out of memory, wherever it
// happens, is an error line like any other failure.
//

int main(int argc, char *argv[]) {
  try {
    CommandLine line;
    const int status = ReadCommandLine(argc, argv, line);
    if (status != kExitOk || line.help) {
      return status;
    }
    return Preview(line);
  } catch (const std::bad_alloc &) {
    fputs("ERROR: not enough memory to read and draw the stream.\n", stderr);
  } catch (const std::exception &failure) {
    fprintf(stderr, "ERROR: %s\n", failure.what());
  } catch (...) {
    fputs("ERROR: an unexpected failure.\n", stderr);
  }
  return kExitFailed;
}
