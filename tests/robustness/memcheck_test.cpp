// The built filter under valgrind's memcheck, on jobs with normal and turned pages at both
// resolutions: no invalid access, no use of undefined memory, no leak, and the same output
// as without valgrind. Skipped when valgrind is missing and in the sanitizer build, whose
// runtime valgrind cannot run.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "test_support.h"

extern char **environ;

namespace {

// valgrind's exit status when it found an error or a leak.
constexpr int kMemcheckError = 99;

struct MemcheckCase {
  const char *name;
  const char *resolution;
  std::vector<TestPage> pages;
};

void PrintTo(const MemcheckCase &c, std::ostream *out) {
  *out << c.name;
}

TestPage Drawing(unsigned width, unsigned height, unsigned resolution) {
  TestPage page = GreyPage(width, height, 255, resolution);
  for (unsigned row = 0; row < height; row++) {
    FillRect(page, (row * 7) % width, row, 1, 1, 0);
  }
  FillRect(page, width / 3, height / 4, width / 3, height / 2, 120);
  return page;
}

// Runs valgrind on the filter with the job's PPD, options and raster file; returns the exit
// status (or -1) and leaves valgrind's report and the filter's messages in `messages`.
int RunUnderMemcheck(const std::string &ppd, const std::string &raster, const std::string &out,
                     const std::string &err) {
  std::vector<std::string> args = {QUILLMARSH_VALGRIND_PATH,
                                   "--quiet",
                                   "--error-exitcode=" + std::to_string(kMemcheckError),
                                   "--leak-check=full",
                                   "--show-leak-kinds=definite,indirect,possible",
                                   "--errors-for-leak-kinds=definite,indirect,possible",
                                   FilterPath(),
                                   "17",
                                   "tester",
                                   "title",
                                   "1",
                                   "nopdfAutoRotate",
                                   raster};
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(&arg[0]);
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string ppd_setting = "PPD=" + ppd;
  std::vector<char *> env = {&ppd_setting[0], nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return -1;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

class MemcheckTest : public testing::TestWithParam<MemcheckCase> {};

TEST_P(MemcheckTest, NoInvalidAccessNoLeak) {
#ifdef QUILLMARSH_SANITIZED
  GTEST_SKIP() << "valgrind cannot run the sanitizer build";
#endif
  if (std::string(QUILLMARSH_VALGRIND_PATH).empty()) {
    GTEST_SKIP() << "valgrind is not installed";
  }
  const MemcheckCase &c = GetParam();
  TempDir dir;
  PpdOptions ppd_options;
  ppd_options.resolution = c.resolution;
  ppd_options.topMargin = "10";
  const std::string ppd = dir.Write("printer.ppd", PpdText(ppd_options));
  const std::string raster =
      dir.Write("job.ras", RasterStream(c.pages, CUPS_RASTER_WRITE_COMPRESSED));

  const int status = RunUnderMemcheck(ppd, raster, dir.path() + "/out", dir.path() + "/err");
  const std::string report = ReadFile(dir.path() + "/err");
  EXPECT_EQ(status, 0) << report;

  // The same job without valgrind writes the same bytes.
  FilterCall call;
  call.ppd = ppd;
  call.options = "nopdfAutoRotate";
  call.file = raster;
  call.argc = 7;
  FilterRun plain = RunFilter(call);
  ASSERT_EQ(plain.status, 0) << plain.err;
  const std::string out = ReadFile(dir.path() + "/out");
  EXPECT_EQ(Bytes(out.begin(), out.end()), plain.out);
  EXPECT_EQ(report, plain.err);
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, MemcheckTest,
    testing::Values(
        // Normal, turned (1401 rows) and odd-sized pages at 180 dpi.
        MemcheckCase{
            "At180", "180dpi", {Drawing(101, 50, 180), Drawing(61, 1401, 180), Drawing(7, 3, 180)}},
        // At 360 the rows are merged in pairs; 2801 rows are turned; odd widths and heights.
        MemcheckCase{
            "At360", "360dpi", {Drawing(99, 51, 360), Drawing(45, 2801, 360), Drawing(1, 1, 360)}},
        // Merged at 360 across and halftoned at 180 down.
        MemcheckCase{"At360x180", "360x180dpi", {Drawing(100, 75, 360), Drawing(33, 2999, 360)}}),
    [](const testing::TestParamInfo<MemcheckCase> &info) { return info.param.name; });

}  // namespace
