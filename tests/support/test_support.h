//
// Test support: raster streams written with libcups, PPD files written on the fly, and the
// filter run as the scheduler runs it.
//

#ifndef QUILLMARSH_TESTS_SUPPORT_TEST_SUPPORT_H
#define QUILLMARSH_TESTS_SUPPORT_TEST_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "engine/engine.h"

using Bytes = std::vector<unsigned char>;

// One raster page: an 8-bit grey page unless a test changes the header fields.
struct TestPage {
  cups_page_header2_t header;
  Bytes pixels;  // bytesPerLine x height bytes, or fewer for a stream that ends early
};

// A grey page of width x height pixels, all set to fill, at the given resolution.
TestPage GreyPage(unsigned width, unsigned height, unsigned char fill = 255,
                  unsigned resolution = 180);

// Pixel access for building pictures in tests.
void FillRect(TestPage &page, unsigned x, unsigned y, unsigned w, unsigned h, unsigned char grey);

// The bytes of a raster stream holding the pages, written by libcups in the given mode.
// With truncate_at, the stream is cut after that many bytes.
Bytes RasterStream(const std::vector<TestPage> &pages, cups_mode_t mode = CUPS_RASTER_WRITE);

// A PPD file written into a temporary folder; extra holds further PPD lines. The file is
// removed when the object goes.
struct PpdOptions {
  std::string resolution = "180dpi";      // default Resolution choice; empty: no Resolution option
  std::string quality = "LetterQuality";  // default PrintQuality choice; empty: no option
  std::string topMargin;                  // default TopMargin choice; empty: no option
  std::string leftMargin;                 // default LeftMargin choice; empty: no option
  std::string turnPages;                  // default TurnPages choice; empty: no option
  std::string pageEnd;                    // default PageEnd choice; empty: no option
  std::string extra;                      // further lines (attributes such as *Xoffset)
};
std::string PpdText(const PpdOptions &options);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const {
    return path_;
  }
  std::string Write(const std::string &name, const std::string &text) const;
  std::string Write(const std::string &name, const Bytes &bytes) const;

 private:
  std::string path_;
};

// How a run of the filter ended.
struct FilterRun {
  Bytes out;                          // standard output
  std::string err;                    // standard error
  std::vector<std::string> lines;     // standard error cut into lines (line ends dropped), but
                                      // for the progress lines
  std::vector<std::string> progress;  // the "INFO: Printing page" and "ATTR:" progress lines
  int status = -1;                    // exit status, or -1 when it did not exit
  int signal = 0;                     // the signal that ended it, if any
};

struct FilterCall {
  std::string options;                   // argv[5], the job's option string
  std::string ppd;                       // value of PPD; unset when empty
  Bytes input;                           // standard input
  std::string file;                      // argv[6] when not empty
  int argc = 6;                          // 6 or 7 normally; other counts test the usage line
  std::vector<std::string> env;          // further NAME=value settings
  std::string stdout_path;               // standard output to this file (such as /dev/full)
  bool stdout_closed_by_reader = false;  // standard output a pipe nobody reads
  bool stdout_through_pipe = false;      // standard output a pipe the test drains at the end
  bool stdout_nonblocking = false;       // that pipe non-blocking and drained slowly throughout
};

// Runs the built filter with the call's arguments and environment and waits for it.
FilterRun RunFilter(const FilterCall &call);

// A filter started but not yet waited for; with input through a pipe, the test writes the
// raster into input itself while the filter runs.
struct RunningFilter {
  int pid = -1;
  int input = -1;
  int out = -1;
  int err = -1;
  int printer = -1;  // the read end of standard output, with stdout_through_pipe
  bool slow_printer = false;
};
RunningFilter StartFilter(const FilterCall &call, bool input_through_pipe);
// Closes the input pipe, if any, waits for the filter and collects what it wrote.
FilterRun FinishFilter(RunningFilter &running);

// The path of the built filter, and of the library that makes chosen allocations fail.
std::string FilterPath();
std::string FailAllocPath();

// The name of an IPP job state, for messages.
std::string JobStateName(int state);

// The printer's commands and bands, for the streams tests expect.
Bytes Feed(int units);        // 1B 25 35 n
Bytes Skip(int columns);      // 1B 25 33 hi lo
Bytes Graphics(int columns);  // 1B 25 31 hi lo, the column bytes to follow
// A band of width identical columns at left offset 0, fed by units: feed, left skip, graphics,
// carriage return.
Bytes SolidBand(int units, int width, const Bytes &column);

// Standard error cut into lines, and the lines a job writes.
using Lines = std::vector<std::string>;
Lines Join(std::initializer_list<Lines> parts);
// The five lines the filter writes for every page header, each field as a signed decimal.
Lines HeaderLines(const cups_page_header2_t &header);
Lines HeaderLines(const TestPage &page);

// Byte strings in tests: Hex("1B 25 35 10") and concatenation.
Bytes Hex(const std::string &text);
Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Repeat(unsigned char byte, size_t count);
// A readable account of where two byte strings first differ.
std::string DescribeDifference(const Bytes &expected, const Bytes &actual);

// Everything that body writes into a memory sink.
Bytes Written(const std::function<void(PrinterSink &)> &body);
// Everything that body writes on standard error, as text.
std::string CaptureStderr(const std::function<void()> &body);

#endif  // QUILLMARSH_TESTS_SUPPORT_TEST_SUPPORT_H
