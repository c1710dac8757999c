//
// 'app_bench' - Time the printer application from submit to completed, and its idle memory.
//
// Usage: app_bench [runs]
//
// Starts a private quillmarsh server (as the tests do: HOME and TMPDIR of its own, loopback
// only, run as nobody under root), adds a printer on a file: device and reports the server's
// resident memory when idle with that printer, then prints a one-page 180 dpi Letter PWG raster
// of text runs times: the time from sending Print-Job to the job's completed state, asked for
// without pause. For the engine's share, the CUPS filter prints the same raster with the
// project's PPD as often (a process of its own each time, as CUPS runs it). One line per
// measure on standard output.
//

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app_server.h"
#include "synthetic_page.h"

// The server's resident set in kilobytes (VmRSS), 0 when unknown.
static long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return 0;
}

// A Letter page of text at 180 dpi, as a client renders it whole.
static Bytes TextPage() {
  TestPage page = GreyPage(1530, 1980, 255, 180);
  page.header.cupsColorSpace = CUPS_CSPACE_SW;
  for (unsigned y = 90; y < 1890; y++) {
    TextRow(1350, y, page.pixels.data() + static_cast<size_t>(y) * 1530 + 90);
  }
  return RasterStream({page}, CUPS_RASTER_WRITE_PWG);
}

int main(int argc, char *argv[]) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  if (!server.Start(error) || !server.AddPrinter("vorne", "file://" + folder.Make("out"), error)) {
    fprintf(stderr, "app_bench: %s\n", error.c_str());
    return 1;
  }
  // Let the server settle before its memory is read.
  sleep(1);
  printf("idle resident memory with one printer: %ld KiB\n", ResidentKb(server.pid()));

  Bytes raster = TextPage();
  std::vector<double> seconds;
  for (int run = 0; run < runs; run++) {
    auto start = std::chrono::steady_clock::now();
    int job = PrintJob(server, "vorne", raster, "image/pwg-raster", nullptr, &error);
    if (job == 0) {
      fprintf(stderr, "app_bench: %s\n", error.c_str());
      return 1;
    }
    int state = 0;
    while ((state = GetJob(server, "vorne", job).state) < IPP_JSTATE_CANCELED) {
    }
    auto end = std::chrono::steady_clock::now();
    if (state != IPP_JSTATE_COMPLETED) {
      fprintf(stderr, "app_bench: job %d ended %s\n", job, JobStateName(state).c_str());
      return 1;
    }
    seconds.push_back(std::chrono::duration<double>(end - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  printf(
      "submit to completed, one 180 dpi Letter page, %d runs: median %.3f s, min %.3f s, "
      "max %.3f s\n",
      runs, seconds[seconds.size() / 2], seconds.front(), seconds.back());

  std::vector<double> filter;
  FilterCall call;
  call.ppd = QUILLMARSH_PPD_PATH;
  call.input = raster;
  for (int run = 0; run < runs; run++) {
    auto start = std::chrono::steady_clock::now();
    FilterRun printed = RunFilter(call);
    auto end = std::chrono::steady_clock::now();
    if (printed.status != 0) {
      fprintf(stderr, "app_bench: the filter failed: %s\n", printed.err.c_str());
      return 1;
    }
    filter.push_back(std::chrono::duration<double>(end - start).count());
  }
  std::sort(filter.begin(), filter.end());
  printf("the CUPS filter on the same raster, %d runs: median %.3f s, min %.3f s\n", runs,
         filter[filter.size() / 2], filter.front());
  printf("resident memory after the jobs: %ld KiB\n", ResidentKb(server.pid()));
  return 0;
}
