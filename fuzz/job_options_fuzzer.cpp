//
// Fuzz target: the job options. The input is up to seven lines: the default choice names of
// Resolution, PrintQuality, TopMargin and LeftMargin, the values of the Xoffset and Yoffset
// attributes, and the job's option string. A PPD is written from them, opened and marked as
// the filter does, and SetVorneOptions must give what the choices and numbers say, held at
// the ends of the 32-bit range, with the offset lines that report the margins. Every line also
// goes to ReadLeadingNumber as it stands.
//

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "job/job.h"

// The PPD interface of libcups is deprecated in favour of IPP; this target is about little else.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

enum Line { kResolution, kQuality, kTopMargin, kLeftMargin, kXoffset, kYoffset, kJobOptions };
constexpr int kLines = 7;

static int g_err = -1;

//
// 'ExpectedNumber()' - The number at the start of a text as atoi reads it, held at the ends
// of the 32-bit range: the reference the filter's reading is held to.
//

static int64_t ExpectedNumber(const std::string &text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) {
    at++;
  }
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    at++;
  }
  int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; at++) {
    if (value <= INT64_C(1) << 40) {
      value = value * 10 + (text[at] - '0');
    }
  }
  value = negative ? -value : value;
  return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : value;
}

static int32_t Held(int64_t value) {
  return static_cast<int32_t>(value > INT32_MAX   ? INT32_MAX
                              : value < INT32_MIN ? INT32_MIN
                                                  : value);
}

// A PPD main keyword: printable, no white space, no ':' '/' or '"'; at most 40 characters.
static std::string ChoiceName(const std::string &text) {
  std::string name;
  for (char c : text) {
    if (c > ' ' && c < 127 && c != ':' && c != '/' && c != '"' && name.size() < 40) {
      name += c;
    }
  }
  return name;
}

// A quoted PPD value: anything printable but the quote.
static std::string QuotedValue(const std::string &text) {
  std::string value;
  for (char c : text) {
    if (c >= ' ' && c < 127 && c != '"') {
      value += c;
    }
  }
  return value;
}

static void Option(std::string &ppd, const char *keyword, const std::string &choice) {
  if (choice.empty()) {
    return;
  }
  ppd += std::string("*OpenUI *") + keyword + ": PickOne\n*Default" + keyword + ": " + choice +
         "\n*" + keyword + " " + choice + ": \"\"\n";
  if (strcmp(keyword, "Resolution") == 0) {
    ppd += "*Resolution 180dpi: \"\"\n*Resolution 360dpi: \"\"\n";
  }
  ppd += std::string("*CloseUI: *") + keyword + "\n";
}

static std::string PpdText(const std::string (&lines)[kLines], const bool (&present)[kLines]) {
  std::string ppd =
      "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
      "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
      "*Manufacturer: \"Vorne\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Vorne Fuzz\"\n"
      "*ShortNickName: \"Vorne Fuzz\"\n*NickName: \"Vorne Fuzz\"\n";
  Option(ppd, "Resolution", ChoiceName(lines[kResolution]));
  Option(ppd, "PrintQuality", ChoiceName(lines[kQuality]));
  Option(ppd, "TopMargin", ChoiceName(lines[kTopMargin]));
  Option(ppd, "LeftMargin", ChoiceName(lines[kLeftMargin]));
  if (present[kXoffset]) {
    ppd += "*Xoffset: \"" + QuotedValue(lines[kXoffset]) + "\"\n";
  }
  if (present[kYoffset]) {
    ppd += "*Yoffset: \"" + QuotedValue(lines[kYoffset]) + "\"\n";
  }
  return ppd;
}

static const char *MarkedName(ppd_file_t *ppd, const char *keyword) {
  ppd_choice_t *choice = ppdFindMarkedChoice(ppd, keyword);
  return choice != nullptr ? choice->choice : nullptr;
}

static void Fail(const std::string &what, const std::string &ppd) {
  FILE *report = fdopen(dup(STDERR_FILENO), "w");
  fprintf(report, "%s\nPPD:\n%s\n", what.c_str(), ppd.c_str());
  fclose(report);
  abort();
}

//
// 'Expected()' - The job options and the offset lines that the marked PPD must give.
//

static JobOptions Expected(ppd_file_t *ppd, std::string &lines) {
  JobOptions expected = {0, 0, 0, 0, 0};
  if (const char *resolution = MarkedName(ppd, "Resolution")) {
    bool fine = strcmp(resolution, "360dpi") == 0;
    bool coarse = strcmp(resolution, "180dpi") == 0;
    expected.xResolution = coarse ? 180 : 360;
    expected.yResolution = fine ? 360 : 180;
    lines += "INFO: resolution " + std::to_string(expected.xResolution) + " " +
             std::to_string(expected.yResolution) + ".\n";
  }
  if (const char *quality = MarkedName(ppd, "PrintQuality")) {
    expected.quality = strcmp(quality, "DraftQuality") == 0 ? 0 : 1;
  }
  if (const char *top = MarkedName(ppd, "TopMargin")) {
    expected.topMargin = Held(7 * ExpectedNumber(top));
  }
  if (const char *left = MarkedName(ppd, "LeftMargin")) {
    expected.leftMargin = Held(7 * ExpectedNumber(left));
  }
  const char *keywords[2] = {"Xoffset", "Yoffset"};
  int32_t *margins[2] = {&expected.leftMargin, &expected.topMargin};
  for (int i = 0; i < 2; i++) {
    if (ppd_attr_t *attr = ppdFindAttr(ppd, keywords[i], nullptr)) {
      if (attr->value != nullptr) {
        *margins[i] = Held(int64_t{*margins[i]} + ExpectedNumber(attr->value));
      }
      lines += std::string("INFO: ") + keywords[i] + " " + std::to_string(*margins[i]) + ".\n";
    }
  }
  return expected;
}

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  g_err = memfd_create("fuzz-stderr", 0);
  if (g_err < 0) {
    abort();
  }
  stderr = fdopen(g_err, "w+");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string lines[kLines];
  bool present[kLines] = {};
  int line = 0;
  present[0] = size > 0;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == '\n') {
      if (++line == kLines) {
        break;
      }
      present[line] = true;
    } else {
      lines[line] += static_cast<char>(data[i]);
    }
  }

  // Every line as it stands, NUL bytes and all, read as a number.
  for (const std::string &text : lines) {
    int32_t read = ReadLeadingNumber(text.c_str());
    int64_t expected = ExpectedNumber(std::string(text.c_str()));
    if (read != expected) {
      Fail("ReadLeadingNumber(\"" + text + "\") gave " + std::to_string(read) + ", not " +
               std::to_string(expected),
           "");
    }
  }

  const std::string ppdText = PpdText(lines, present);
  int fd = memfd_create("fuzz-ppd", 0);
  if (fd < 0 || write(fd, ppdText.data(), ppdText.size()) != static_cast<ssize_t>(ppdText.size())) {
    abort();
  }
  lseek(fd, 0, SEEK_SET);
  cups_file_t *file = cupsFileOpenFd(fd, "r");
  ppd_file_t *ppd = ppdOpen2(file);
  cupsFileClose(file);
  if (ppd == nullptr) {
    return 0;  // libcups refused the PPD; the filter would stop before any page
  }

  cups_option_t *options = nullptr;
  int count = cupsParseOptions(lines[kJobOptions].c_str(), 0, &options);
  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, count, options);

  const int32_t unset = 0x5A5A5A5A;  // every field must be written
  JobOptions got = {unset, unset, unset, unset, unset, true, kPageEndFeed};
  SetVorneOptions(got, ppd);
  fflush(stderr);
  struct stat info;
  fstat(g_err, &info);
  std::string written(static_cast<size_t>(info.st_size), '\0');
  if (!written.empty() && pread(g_err, &written[0], written.size(), 0) != info.st_size) {
    abort();
  }
  if (ftruncate(g_err, 0) != 0) {
    abort();
  }
  rewind(stderr);

  std::string expectedLines;
  JobOptions expected = Expected(ppd, expectedLines);
  if (got.xResolution != expected.xResolution || got.yResolution != expected.yResolution ||
      got.quality != expected.quality || got.leftMargin != expected.leftMargin ||
      got.topMargin != expected.topMargin || got.turnPages != expected.turnPages ||
      got.pageEnd != expected.pageEnd) {
    Fail("SetVorneOptions gave " + std::to_string(got.xResolution) + " " +
             std::to_string(got.yResolution) + " " + std::to_string(got.quality) + " " +
             std::to_string(got.leftMargin) + " " + std::to_string(got.topMargin) + ", expected " +
             std::to_string(expected.xResolution) + " " + std::to_string(expected.yResolution) +
             " " + std::to_string(expected.quality) + " " + std::to_string(expected.leftMargin) +
             " " + std::to_string(expected.topMargin) + (got.turnPages ? " (turned pages)" : "") +
             (got.pageEnd == kPageEndFeed ? " (pages end with a feed)" : ""),
         ppdText);
  }
  if (written != expectedLines) {
    Fail("SetVorneOptions wrote\n" + written + "expected\n" + expectedLines, ppdText);
  }

  cupsFreeOptions(count, options);
  ppdClose(ppd);
  return 0;
}
