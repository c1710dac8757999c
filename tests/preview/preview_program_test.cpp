// The preview program as a user runs it: pictures written and read back pixel by pixel, the
// summary, streams or command lines refused with a message and a non-zero status, and hostile
// streams that must neither take memory in proportion to their length nor ask for giant pictures.

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <gtest/gtest.h>

#include "test_support.h"

#ifndef QUILLMARSH_PREVIEW_PATH
#error "QUILLMARSH_PREVIEW_PATH must name the built preview program"
#endif

namespace {

struct PreviewRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string &path) {
  std::string text;
  FILE *file = fopen(path.c_str(), "rb");
  if (file != nullptr) {
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
      text.append(chunk, n);
    }
    fclose(file);
  }
  return text;
}

// How a run is bounded: the address space it may take (set in the child before exec, 0 for
// no limit), standard input through a pipe rather than a file, standard output thrown away.
struct RunBounds {
  rlim_t address_space = 0;
  bool input_through_pipe = false;
  bool discard_output = false;
};

//
// 'RunPreview()' - Run the built program in folder dir with the arguments and standard input.
//

PreviewRun RunPreview(const TempDir &dir, const std::vector<std::string> &args, const Bytes &input,
                      const RunBounds &bounds = RunBounds()) {
  std::string in = dir.Write(".stdin", input);
  std::string out = bounds.discard_output ? "/dev/null" : dir.path() + "/.stdout";
  std::string err = dir.path() + "/.stderr";
  int pipeEnds[2] = {-1, -1};
  if (bounds.input_through_pipe && pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "no pipe: " << strerror(errno);
    return PreviewRun();
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) {
      _exit(126);
    }
    if (bounds.input_through_pipe) {
      dup2(pipeEnds[0], 0);
      close(pipeEnds[0]);
      close(pipeEnds[1]);
    } else {
      dup2(open(in.c_str(), O_RDONLY), 0);
    }
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (bounds.address_space > 0) {
      const rlimit limit = {bounds.address_space, bounds.address_space};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char *> argv = {const_cast<char *>(QUILLMARSH_PREVIEW_PATH)};
    for (const std::string &arg : args) {
      argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (bounds.input_through_pipe) {
    // The program may refuse the stream and leave before reading it all.
    close(pipeEnds[0]);
    void (*before)(int) = signal(SIGPIPE, SIG_IGN);
    for (size_t at = 0; at < input.size();) {
      const ssize_t written = write(pipeEnds[1], input.data() + at, input.size() - at);
      if (written <= 0) {
        break;
      }
      at += static_cast<size_t>(written);
    }
    close(pipeEnds[1]);
    signal(SIGPIPE, before);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  PreviewRun run;
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  run.out = bounds.discard_output ? std::string() : ReadText(out);
  run.err = ReadText(err);
  return run;
}

// The files a run left in its folder, leaving out the ones RunPreview made.
std::vector<std::string> Pictures(const TempDir &dir) {
  std::vector<std::string> names;
  DIR *folder = opendir(dir.path().c_str());
  while (dirent *entry = readdir(folder)) {
    if (entry->d_name[0] != '.') {
      names.push_back(entry->d_name);
    }
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

// A picture read back as 0xRRGGBB pixels.
struct Picture {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(unsigned x, unsigned y) const {
    return pixels[y * width + x];
  }
};

Picture ReadPicture(const std::string &path) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  Picture picture;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    ADD_FAILURE() << path << ": " << image.message;
    return picture;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
    ADD_FAILURE() << path << ": " << image.message;
    return picture;
  }
  picture.width = image.width;
  picture.height = image.height;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    picture.pixels.push_back(uint32_t{rgb[i]} << 16 | uint32_t{rgb[i + 1]} << 8 | rgb[i + 2]);
  }
  return picture;
}

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kEdge = 0x9CC8FF;

// Two pages. Page 1: fed 24 rows, skip 10, column 10 all pins, column 11 pins 0 and 23.
// Page 2: fed 48 rows, one column with pins 0-3 and 20-23, then a draft-quality select.
const Bytes kTwoPages = Cat({Hex("1B 49 0D 0D 1B 25 35 10 1B 25 33 00 0A 1B 25 31 00 02"),
                             Hex("FF FF FF 80 00 01 0D 0C"),
                             Hex("0D 1B 25 35 20 1B 25 31 00 01 F0 00 0F 0D 0C 1B 44")});

TEST(PreviewProgramTest, DrawsEveryPageAtScaleWithBandEdges) {
  TempDir dir;
  dir.Write("job.prn", kTwoPages);
  PreviewRun run = RunPreview(
      dir, {"--output", "sheet-%02d.png", "--scale", "2", "--band-edges", "job.prn"}, Bytes{});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(Pictures(dir), (std::vector<std::string>{"job.prn", "sheet-01.png", "sheet-02.png"}));

  // Page 1 is 12 dots by 48 rows, 24 x 96 pixels; its band covers dot rows 24 to 47.
  Picture first = ReadPicture(dir.path() + "/sheet-01.png");
  ASSERT_EQ(first.width, 24u);
  ASSERT_EQ(first.height, 96u);
  struct Point {
    unsigned x, y;
    uint32_t colour;
  };
  for (const Point &p : std::vector<Point>{{20, 48, kBlack},
                                           {21, 95, kBlack},  // column 10, top and bottom pin
                                           {22, 48, kBlack},
                                           {23, 49, kBlack},  // column 11, pin 0
                                           {22, 50, kWhite},  // column 11, pin 1: paper
                                           {22, 94, kBlack},
                                           {23, 95, kBlack},  // column 11, pin 23
                                           {0, 48, kEdge},
                                           {0, 49, kWhite},  // the band's top edge, one pixel thin
                                           {0, 95, kEdge},
                                           {0, 94, kWhite},  // and its bottom edge
                                           {19, 47, kWhite},
                                           {0, 0, kWhite}}) {
    EXPECT_EQ(first.at(p.x, p.y), p.colour) << "page 1 pixel " << p.x << ", " << p.y;
  }

  // Page 2 is 1 dot by 72 rows: pins 0-3 and 20-23 of its column, starting at row 48.
  Picture second = ReadPicture(dir.path() + "/sheet-02.png");
  ASSERT_EQ(second.width, 2u);
  ASSERT_EQ(second.height, 144u);
  for (unsigned pin = 0; pin < 24; pin++) {
    bool dot = pin < 4 || pin >= 20;
    EXPECT_EQ(second.at(1, 2 * (48 + pin) + 1), dot ? kBlack : kWhite) << "page 2 pin " << pin;
  }
}

// --paper 0.1x0.5 is 18 x 90 dots at 180 dpi: both pages grow to it, dots keep their place.
TEST(PreviewProgramTest, PaperSizeIsTheLeastPictureSize) {
  TempDir dir;
  PreviewRun run = RunPreview(dir, {"--paper", "0.1x0.5", "-o", "p%d.png"}, kTwoPages);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char *name : {"/p1.png", "/p2.png"}) {
    Picture picture = ReadPicture(dir.path() + name);
    EXPECT_EQ(picture.width, 18u) << name;
    EXPECT_EQ(picture.height, 90u) << name;
  }
  EXPECT_EQ(ReadPicture(dir.path() + "/p1.png").at(10, 24), kBlack);
}

TEST(PreviewProgramTest, SummaryCountsPagesBytesDotsAndLineTime) {
  TempDir dir;
  PreviewRun run = RunPreview(dir, {"--summary", "--baud", "1000"}, kTwoPages);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "stream: 43 bytes, 2 pages, 2 bands, 34 dots; line time 0.43 s at 1000 baud\n"
            "page  bands      dots    bytes graphics     skip     feed       CR       FF    "
            "ESC-I    ESC-D  line time    advance\n"
            "   1      1        26       26       11        5        4        3        1    "
            "    2        0     0.26 s  form feed\n"
            "   2      1         8       15        8        0        4        2        1    "
            "    0        0     0.15 s  form feed\n"
            "after the last page: 2 bytes\n");
  // A summary alone draws nothing.
  EXPECT_EQ(Pictures(dir), std::vector<std::string>{});
}

// Pages that end by feeding their own length (PageEnd=Feed) have no form feed between them:
// each ends where the next page's carriage return follows its feed, and is as long as it fed.
const Bytes kTwoForms =
    Cat({Hex("1B 49 0D 0D 1B 25 35 00 1B 25 33 00 00 1B 25 31 00 01 FF FF FF"),
         Hex("0D 1B 25 35 FF 1B 25 35 69 0D"),
         Hex("1B 25 35 00 1B 25 33 00 00 1B 25 31 00 01 FF FF FF"), Hex("0D 1B 25 35 78")});

TEST(PreviewProgramTest, PagesThatEndWithTheirFeedAreCutThere) {
  TempDir dir;
  PreviewRun run = RunPreview(dir, {"--summary", "-o", "f%d.png"}, kTwoForms);
  ASSERT_EQ(run.status, 0) << run.err;
  // Both pages ended: no word of a missing form feed. Page 1 fed 255 + 105 units.
  EXPECT_EQ(run.err,
            "INFO: f1.png: page 1, 1 x 540 dots, 1 bands.\n"
            "INFO: f2.png: page 2, 1 x 180 dots, 1 bands.\n");
  EXPECT_EQ(run.out,
            "stream: 53 bytes, 2 pages, 2 bands, 48 dots; line time 0.06 s at 9600 baud\n"
            "page  bands      dots    bytes graphics     skip     feed       CR       FF    "
            "ESC-I    ESC-D  line time    advance\n"
            "   1      1        24       30        8        5       12        3        0    "
            "    2        0     0.03 s    3.00 in\n"
            "   2      1        24       23        8        5        8        2        0    "
            "    0        0     0.02 s    1.00 in\n");
  // The pictures are the forms' lengths: 540 and 180 dot rows.
  EXPECT_EQ(ReadPicture(dir.path() + "/f1.png").height, 540u);
  EXPECT_EQ(ReadPicture(dir.path() + "/f2.png").height, 180u);
}

struct RefusalCase {
  const char *name;
  std::vector<std::string> args;
  Bytes input;
  int status;
  std::string message;  // the first line on standard error
};

// Test names carry the case's name; its bytes stay out of them.
void PrintTo(const RefusalCase &c, std::ostream *out) {
  *out << c.name;
}

class PreviewRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(PreviewRefusalTest, ExitsWithMessageAndNoPicture) {
  const RefusalCase &c = GetParam();
  TempDir dir;
  PreviewRun run = RunPreview(dir, c.args, c.input);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.err.substr(0, run.err.find('\n')), c.message);
  EXPECT_EQ(Pictures(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Preview, PreviewRefusalTest,
    testing::Values(
        RefusalCase{"MalformedStream",
                    {},
                    Hex("1B 49 0D 0D 1B 25 35 10 0A 0C"),
                    1,
                    "ERROR: standard input is no valid printer stream: at byte 8: unknown byte "
                    "0A; bytes there: 0A 0C (end of stream)"},
        // Pages before the bad byte are not drawn either: the stream is judged whole first.
        RefusalCase{"GraphicsCutShortAfterAGoodPage",
                    {"--summary", "--output", "p%d.png"},
                    Cat({Hex("0D 1B 25 31 00 01 FF FF FF 0D 0C 1B 25 31 00 02 FF")}),
                    1,
                    "ERROR: standard input is no valid printer stream: at byte 11: graphics "
                    "command for 2 columns needs 6 data bytes, 1 remain; bytes there: 1B 25 31 "
                    "00 02 FF (end of stream)"},
        RefusalCase{"MissingFile",
                    {"absent.prn"},
                    Bytes{},
                    1,
                    "ERROR: absent.prn: No such file or directory"},
        RefusalCase{"TwoPagesOneName",
                    {"--output", "out.png"},
                    Hex("0D 1B 25 35 02 0C 0D 1B 25 35 02 0C"),
                    1,
                    "ERROR: the stream holds 2 pages; --output needs %d for the page number."},
        RefusalCase{"ScaleZero",
                    {"--scale", "0"},
                    Bytes{},
                    2,
                    "ERROR: --scale 0: a whole number from 1 to 16 is needed."},
        RefusalCase{"ScaleTooLarge",
                    {"--scale", "17"},
                    Bytes{},
                    2,
                    "ERROR: --scale 17: a whole number from 1 to 16 is needed."},
        RefusalCase{"ScaleNotANumber",
                    {"--scale", "2x"},
                    Bytes{},
                    2,
                    "ERROR: --scale 2x: a whole number from 1 to 16 is needed."},
        RefusalCase{"MaxPixelsZero",
                    {"--max-pixels", "0"},
                    Bytes{},
                    2,
                    "ERROR: --max-pixels 0: a whole number of pixels, 1 or more, is needed."},
        RefusalCase{"BaudZero",
                    {"--summary", "--baud", "0"},
                    Bytes{},
                    2,
                    "ERROR: --baud 0: a line speed from 1 to 10000000 is needed."},
        RefusalCase{"TwoPageNumbers",
                    {"--output", "p%d-%d.png"},
                    Bytes{},
                    2,
                    "ERROR: --output p%d-%d.png: a name with at most one %d is needed."},
        RefusalCase{"OtherConversion",
                    {"--output", "p%s.png"},
                    Bytes{},
                    2,
                    "ERROR: --output p%s.png: a name with at most one %d is needed."},
        RefusalCase{"PaperWithoutHeight",
                    {"--paper", "8.5"},
                    Bytes{},
                    2,
                    "ERROR: --paper 8.5: width x height in inches, up to 100, is needed."},
        RefusalCase{"TwoInputs", {"a.prn", "b.prn"}, Bytes{}, 2, "ERROR: one input file at most."}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

// A page made only of paper motion, skips across `columns` and feeds of `units` units, as a
// hostile stream asks for a huge picture in a few hundred bytes.
Bytes MotionOnlyPage(int64_t columns, int64_t units) {
  Bytes page;
  for (int64_t step; columns > 0; columns -= step) {
    step = std::min<int64_t>(columns, 65535);
    page.insert(page.end(), {0x1B, 0x25, 0x33, static_cast<unsigned char>(step >> 8),
                             static_cast<unsigned char>(step & 0xFF)});
  }
  for (int64_t step; units > 0; units -= step) {
    step = std::min<int64_t>(units, 255);
    page.insert(page.end(), {0x1B, 0x25, 0x35, static_cast<unsigned char>(step)});
  }
  page.push_back(0x0C);
  return page;
}

// The address space every bounds case runs in: the program needs a few megabytes, whatever
// the stream's length; holding a stream of 2 MiB in the old way took 500. The sanitizers
// reserve terabytes of address space, so their build runs the cases without a limit.
#ifdef QUILLMARSH_SANITIZED
constexpr rlim_t kAddressSpace = 0;
#else
constexpr rlim_t kAddressSpace = 64 << 20;
#endif

struct BoundsCase {
  const char *name;
  std::vector<std::string> args;
  Bytes input;
  bool input_through_pipe;
  int status;
  std::string message;     // the first line on standard error; empty when there is none
  unsigned picture_width;  // page-1.png's size when it is written, 0 when nothing is
  unsigned picture_height;
};

void PrintTo(const BoundsCase &c, std::ostream *out) {
  *out << c.name;
}

class PreviewBoundsTest : public testing::TestWithParam<BoundsCase> {};

TEST_P(PreviewBoundsTest, EndsWithinMemoryWithMessageAndPictures) {
  const BoundsCase &c = GetParam();
  TempDir dir;
  PreviewRun run = RunPreview(dir, c.args, c.input, {kAddressSpace, c.input_through_pipe, true});
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_EQ(run.err.substr(0, run.err.find('\n')), c.message);
  if (c.picture_width == 0) {
    EXPECT_EQ(Pictures(dir), std::vector<std::string>{});
    return;
  }
  // The picture's size from its IHDR chunk, which follows the 8-byte signature and the chunk's
  // length and name: a picture of 100 million pixels is not read whole, and libpng reads no
  // row longer than a million pixels.
  ASSERT_EQ(Pictures(dir), std::vector<std::string>{"page-1.png"});
  const std::string png = ReadText(dir.path() + "/page-1.png");
  ASSERT_GE(png.size(), 24u);
  ASSERT_EQ(png.substr(12, 4), "IHDR");
  auto bigEndian = [&](size_t at) {
    return unsigned(png[at] & 0xFF) << 24 | unsigned(png[at + 1] & 0xFF) << 16 |
           unsigned(png[at + 2] & 0xFF) << 8 | unsigned(png[at + 3] & 0xFF);
  };
  EXPECT_EQ(bigEndian(16), c.picture_width);
  EXPECT_EQ(bigEndian(20), c.picture_height);
}

// 2501 x 2500 dots at scale 4 are 10004 x 10000 pixels, just over the default limit.
const Bytes kPageJustOverTheLimitAtScale4 = MotionOnlyPage(2501, 1667);

INSTANTIATE_TEST_SUITE_P(
    Preview, PreviewBoundsTest,
    testing::Values(
        // Refused at its first byte, after reading a little of a stream without end.
        BoundsCase{"EndlessZeros",
                   {"--summary", "/dev/zero"},
                   Bytes{},
                   false,
                   1,
                   "ERROR: /dev/zero is no valid printer stream: at byte 0: unknown byte 00; "
                   "bytes there: 00 00 00 00 00 00 00 00 ...",
                   0,
                   0},
        // Two million pages, each a form feed, summarised from a pipe.
        BoundsCase{
            "FormFeedsThroughAPipe", {"--summary"}, Repeat(0x0C, 2 << 20), true, 0, "", 0, 0},
        // 1388 bytes of skips and feeds make a page of 131071 x 130839 dots.
        BoundsCase{"GiantPage",
                   {},
                   MotionOnlyPage(131071, 87226),
                   false,
                   1,
                   "ERROR: page 1 would be a picture of 131071 x 130839 pixels (17149198569 "
                   "pixels), more than the limit of 100000000; --max-pixels raises it.",
                   0,
                   0},
        BoundsCase{"LargestScaleOnLargestPaper",
                   {"--scale", "16", "--paper", "100x100"},
                   Hex("1B 25 35 01 0C"),
                   false,
                   1,
                   "ERROR: page 1 would be a picture of 288000 x 288000 pixels (82944000000 "
                   "pixels), more than the limit of 100000000; --max-pixels raises it.",
                   0,
                   0},
        BoundsCase{"PageJustOverTheLimit",
                   {"--scale", "4"},
                   kPageJustOverTheLimitAtScale4,
                   false,
                   1,
                   "ERROR: page 1 would be a picture of 10004 x 10000 pixels (100040000 pixels), "
                   "more than the limit of 100000000; --max-pixels raises it.",
                   0,
                   0},
        BoundsCase{"SamePageWithTheLimitRaisedToIt",
                   {"--scale", "4", "--max-pixels", "100040000"},
                   kPageJustOverTheLimitAtScale4,
                   false,
                   0,
                   "INFO: page-1.png: page 1, 2501 x 2500 dots, 0 bands.",
                   10004,
                   10000},
        // 131070 dots at scale 16 are 2 million pixels across, beyond libpng's own default.
        BoundsCase{"WidestPictureAtTheLargestScale",
                   {"--scale", "16"},
                   Hex("1B 25 33 FF FF 1B 25 33 FF FF 1B 25 35 01 0C"),
                   false,
                   0,
                   "INFO: page-1.png: page 1, 131070 x 1 dots, 0 bands.",
                   2097120,
                   16}),
    [](const testing::TestParamInfo<BoundsCase> &info) { return std::string(info.param.name); });

}  // namespace
