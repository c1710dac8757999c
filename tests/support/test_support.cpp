//
// Test support: raster streams, PPD files, temporary folders and runs of the filter.
//

#include "test_support.h"

#include "grey_page_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#ifndef QUILLMARSH_FILTER_PATH
#error "QUILLMARSH_FILTER_PATH must name the built filter"
#endif

std::string FilterPath() {
  return QUILLMARSH_FILTER_PATH;
}

std::string FailAllocPath() {
  return QUILLMARSH_FAIL_ALLOC_PATH;
}

std::string JobStateName(int state) {
  const char *name = state != 0 ? ippEnumString("job-state", state) : "unknown";
  return name != nullptr ? name : "unknown (" + std::to_string(state) + ")";
}

TestPage GreyPage(unsigned width, unsigned height, unsigned char fill, unsigned resolution) {
  TestPage page;
  page.header = GreyPageHeader(width, height, resolution);
  page.pixels.assign(static_cast<size_t>(width) * height, fill);
  return page;
}

void FillRect(TestPage &page, unsigned x, unsigned y, unsigned w, unsigned h, unsigned char grey) {
  for (unsigned row = y; row < y + h; row++) {
    for (unsigned column = x; column < x + w; column++) {
      page.pixels[static_cast<size_t>(row) * page.header.cupsBytesPerLine + column] = grey;
    }
  }
}

static Bytes ReadAll(int fd) {
  Bytes bytes;
  lseek(fd, 0, SEEK_SET);
  unsigned char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

static int TempFile() {
  char name[] = "/tmp/quillmarsh-test-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) {
    perror("mkstemp");
    abort();
  }
  unlink(name);
  return fd;
}

Bytes RasterStream(const std::vector<TestPage> &pages, cups_mode_t mode) {
  int fd = TempFile();
  cups_raster_t *raster = cupsRasterOpen(fd, mode);
  for (const TestPage &page : pages) {
    cups_page_header2_t header = page.header;
    cupsRasterWriteHeader2(raster, &header);
    // libcups writes whole rows; a page with fewer pixels than its header promises is
    // written short by cutting the stream in the caller instead.
    if (!page.pixels.empty()) {
      cupsRasterWritePixels(raster, const_cast<unsigned char *>(page.pixels.data()),
                            static_cast<unsigned>(page.pixels.size()));
    }
  }
  cupsRasterClose(raster);
  Bytes bytes = ReadAll(fd);
  close(fd);
  return bytes;
}

std::string PpdText(const PpdOptions &o) {
  std::ostringstream ppd;
  ppd << "*PPD-Adobe: \"4.3\"\n"
         "*FormatVersion: \"4.3\"\n"
         "*FileVersion: \"1.0\"\n"
         "*LanguageVersion: English\n"
         "*LanguageEncoding: ISOLatin1\n"
         "*PCFileName: \"TEST.PPD\"\n"
         "*Manufacturer: \"Vorne\"\n"
         "*Product: \"(Test)\"\n"
         "*ModelName: \"Vorne Test\"\n"
         "*ShortNickName: \"Vorne Test\"\n"
         "*NickName: \"Vorne Test\"\n"
         "*PSVersion: \"(3010.000) 0\"\n"
         "*ColorDevice: False\n"
         "*cupsFilter: \"application/vnd.cups-raster 0 rastertoquillmarsh\"\n"
         "*OpenUI *PageSize/Media Size: PickOne\n"
         "*DefaultPageSize: A4\n"
         "*PageSize A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n"
         "*CloseUI: *PageSize\n";
  auto option = [&ppd](const char *keyword, const std::string &def,
                       std::initializer_list<const char *> choices) {
    if (def.empty()) {
      return;
    }
    ppd << "*OpenUI *" << keyword << ": PickOne\n*Default" << keyword << ": " << def << "\n";
    bool listed = false;
    for (const char *choice : choices) {
      ppd << "*" << keyword << " " << choice << ": \"\"\n";
      listed = listed || def == choice;
    }
    if (!listed) {
      ppd << "*" << keyword << " " << def << ": \"\"\n";
    }
    ppd << "*CloseUI: *" << keyword << "\n";
  };
  option("Resolution", o.resolution, {"180dpi", "360dpi", "360x180dpi"});
  option("PrintQuality", o.quality, {"DraftQuality", "LetterQuality"});
  option("TopMargin", o.topMargin, {"0", "10"});
  option("LeftMargin", o.leftMargin, {"0", "10"});
  option("TurnPages", o.turnPages, {"False", "True"});
  option("PageEnd", o.pageEnd, {"FormFeed", "Feed"});
  ppd << o.extra;
  return ppd.str();
}

TempDir::TempDir() {
  char name[] = "/tmp/quillmarsh-dir-XXXXXX";
  if (mkdtemp(name) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = name;
}

TempDir::~TempDir() {
  std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
}

std::string TempDir::Write(const std::string &name, const std::string &text) const {
  return Write(name, Bytes(text.begin(), text.end()));
}

std::string TempDir::Write(const std::string &name, const Bytes &bytes) const {
  std::string file = path_ + "/" + name;
  FILE *f = fopen(file.c_str(), "wb");
  // An empty vector may hold no buffer at all, and fwrite must not be given a null one.
  if (f == nullptr ||
      (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())) {
    perror(file.c_str());
    abort();
  }
  fclose(f);
  return file;
}

static std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

RunningFilter StartFilter(const FilterCall &call, bool input_through_pipe) {
  signal(SIGPIPE, SIG_IGN);  // a filter that ends early must not take the test with it
  RunningFilter running;
  int in = -1;
  int pipe_ends[2] = {-1, -1};
  if (input_through_pipe) {
    if (pipe(pipe_ends) != 0) {
      abort();
    }
    in = pipe_ends[0];
    running.input = pipe_ends[1];
  } else {
    in = TempFile();
    if (!call.input.empty() && write(in, call.input.data(), call.input.size()) !=
                                   static_cast<ssize_t>(call.input.size())) {
      abort();
    }
    lseek(in, 0, SEEK_SET);
  }
  running.out = TempFile();
  running.err = TempFile();

  int out = running.out;
  int reader_gone[2] = {-1, -1};
  if (call.stdout_closed_by_reader) {
    if (pipe(reader_gone) != 0) {
      abort();
    }
    close(reader_gone[0]);
    out = reader_gone[1];
  } else if (call.stdout_through_pipe) {
    int printer[2];
    if (pipe(printer) != 0) {
      abort();
    }
    running.printer = printer[0];
    out = printer[1];
    if (call.stdout_nonblocking) {
      fcntl(out, F_SETFL, O_NONBLOCK);
      running.slow_printer = true;
    }
  } else if (!call.stdout_path.empty()) {
    out = open(call.stdout_path.c_str(), O_WRONLY);
  }

  std::vector<std::string> args = {"rastertoquillmarsh", "17", "tester", "title", "1",
                                   call.options};
  if (!call.file.empty() || call.argc == 7) {
    args.push_back(call.file);
  }
  while (static_cast<int>(args.size()) < call.argc) {
    args.push_back("extra");
  }
  args.resize(static_cast<size_t>(call.argc));
  std::string filter = FilterPath();

  running.pid = fork();
  if (running.pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(running.err, 2);
    if (running.input >= 0) {
      close(running.input);
    }
    if (running.printer >= 0) {
      close(running.printer);
    }
    if (call.ppd.empty()) {
      unsetenv("PPD");
    } else {
      setenv("PPD", call.ppd.c_str(), 1);
    }
    for (const std::string &setting : call.env) {
      putenv(strdup(setting.c_str()));
    }
    std::vector<char *> argv;
    for (const std::string &arg : args) {
      argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(filter.c_str(), argv.data());
    _exit(127);
  }
  close(in);
  if (out != running.out) {
    close(out);
  }
  return running;
}

FilterRun FinishFilter(RunningFilter &running) {
  if (running.input >= 0) {
    close(running.input);
    running.input = -1;
  }
  FilterRun run;
  if (running.printer >= 0) {
    // Drain the pipe the filter writes into, as a slow printer finally takes the data, or
    // a little at a time as a printer on a slow line does.
    unsigned char chunk[65536];
    const size_t take = running.slow_printer ? 1024 : sizeof chunk;
    ssize_t n;
    while ((n = read(running.printer, chunk, take)) > 0) {
      run.out.insert(run.out.end(), chunk, chunk + n);
      if (running.slow_printer) {
        usleep(500);
      }
    }
    close(running.printer);
    running.printer = -1;
  }
  int wstatus = 0;
  waitpid(running.pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) {
    run.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    run.signal = WTERMSIG(wstatus);
  }
  Bytes written = ReadAll(running.out);
  run.out.insert(run.out.end(), written.begin(), written.end());
  Bytes err_bytes = ReadAll(running.err);
  run.err.assign(err_bytes.begin(), err_bytes.end());
  // Progress lines come a few times a page; tables of whole jobs check the others.
  for (std::string &line : SplitLines(run.err)) {
    const bool progress = line.rfind("INFO: Printing page ", 0) == 0 ||
                          line.rfind("ATTR: job-media-progress=", 0) == 0;
    (progress ? run.progress : run.lines).push_back(std::move(line));
  }
  close(running.out);
  close(running.err);
  return run;
}

FilterRun RunFilter(const FilterCall &call) {
  RunningFilter running = StartFilter(call, false);
  return FinishFilter(running);
}

Bytes Hex(const std::string &text) {
  Bytes bytes;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes &part : parts) {
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  return bytes;
}

Bytes Feed(int units) {
  return Bytes{0x1B, 0x25, 0x35, static_cast<unsigned char>(units)};
}

static Bytes CountCommand(unsigned char command, int columns) {
  return Bytes{0x1B, 0x25, command, static_cast<unsigned char>(columns >> 8),
               static_cast<unsigned char>(columns & 0xFF)};
}

Bytes Skip(int columns) {
  return CountCommand(0x33, columns);
}

Bytes Graphics(int columns) {
  return CountCommand(0x31, columns);
}

Bytes SolidBand(int units, int width, const Bytes &column) {
  Bytes band = Cat({Feed(units), Skip(0), Graphics(width)});
  for (int i = 0; i < width; i++) {
    band.insert(band.end(), column.begin(), column.end());
  }
  band.push_back(0x0D);
  return band;
}

Lines Join(std::initializer_list<Lines> parts) {
  Lines lines;
  for (const Lines &part : parts) {
    lines.insert(lines.end(), part.begin(), part.end());
  }
  return lines;
}

Lines HeaderLines(const cups_page_header2_t &h) {
  auto field = [](const char *name, unsigned value) {
    return std::string(name) + ": " + std::to_string(static_cast<int>(value)) + ".";
  };
  return {field("cupsBitsPerColor", h.cupsBitsPerColor),
          field("cupsBitsPerPixel", h.cupsBitsPerPixel),
          field("cupsBytesPerLine", h.cupsBytesPerLine), field("cupsHeight", h.cupsHeight),
          field("cupsWidth", h.cupsWidth)};
}

Lines HeaderLines(const TestPage &page) {
  return HeaderLines(page.header);
}

Bytes Repeat(unsigned char byte, size_t count) {
  return Bytes(count, byte);
}

static std::string HexAround(const Bytes &bytes, size_t at) {
  std::ostringstream text;
  size_t from = at > 8 ? at - 8 : 0;
  for (size_t i = from; i < bytes.size() && i < at + 8; i++) {
    char cell[8];
    snprintf(cell, sizeof cell, i == at ? "[%02X]" : "%02X", bytes[i]);
    text << cell << ' ';
  }
  return text.str();
}

std::string DescribeDifference(const Bytes &expected, const Bytes &actual) {
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) {
    i++;
  }
  if (i == expected.size() && i == actual.size()) {
    return "";
  }
  std::ostringstream text;
  text << "first difference at byte " << i << " of " << expected.size() << " expected, "
       << actual.size() << " written\n  expected: " << HexAround(expected, i)
       << "\n  written:  " << HexAround(actual, i);
  return text.str();
}

static Bytes CaptureFd(FILE *stream, int fd, const std::function<void()> &body) {
  fflush(stream);
  int saved = dup(fd);
  int capture = TempFile();
  dup2(capture, fd);
  body();
  fflush(stream);
  dup2(saved, fd);
  close(saved);
  Bytes bytes = ReadAll(capture);
  close(capture);
  return bytes;
}

Bytes Written(const std::function<void(PrinterSink &)> &body) {
  Bytes bytes;
  PrinterSink sink = BufferSink(bytes);
  body(sink);
  return bytes;
}

std::string CaptureStderr(const std::function<void()> &body) {
  Bytes bytes = CaptureFd(stderr, 2, body);
  return std::string(bytes.begin(), bytes.end());
}
