//
// IPP Everywhere conformance: ipptool's ipp-everywhere.test (Debian's cups-ipp-utils, with the
// IPP/1.1 and IPP/2.0 tests it includes) against a private server, with every document the
// tests name made at test time by scripts/make-ipp-samples.sh, the README's command. Every
// print test must pass; the tests that fail for what PAPPL 1.3.1 or the printer lacks are
// listed here and in the README, must fail, and no other may.
//

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "app_server.h"

#ifndef QUILLMARSH_SCRIPTS_DIR
#error "QUILLMARSH_SCRIPTS_DIR must name the project's scripts folder"
#endif

namespace {

// The tests that fail, and why (the README lists them too).
const std::map<std::string, std::string> kKnownFailures = {
    {"PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes",
     "identify-actions: the printer has no display, light or sound to identify itself with; "
     "printer-supply: its serial line is one-way, so it reports no supplies; "
     "overrides-supported: PAPPL 1.3.1 cannot print some pages of a job with other attributes "
     "than the rest"},
    {"RFC 8011 section 4.2.5: Get-Printer-Attributes Operation (default)",
     "PAPPL 1.3.1 lists two uri-security-supported values (none, tls) for one "
     "printer-uri-supported when the printer is asked for at an address without TLS (and its "
     "printer-up-time is 0 in a printer's first second)"},
};

// Tests of ipp-1.1.test that print the documents other than the raster samples, and those
// after them, which ipptool runs only when every document is there.
const char *const kDocumentTests[] = {
    "Print-Job with A4 PDF",
    "Print-Job with US Letter PDF",
    "Print-Job with Color JPEG on A4",
    "Print-Job with Color JPEG on US Letter",
    "Print-Job with Grayscale JPEG on A4",
    "Print-Job with Grayscale JPEG on US Letter",
    "Print-Job with job-hold-until",
    "Release-Job",
};

// The result of each test by name, from ipptool's summary output (-t).
std::map<std::string, std::string> Results(const std::string &output) {
  std::map<std::string, std::string> results;
  std::istringstream in(output);
  std::string text;
  // "    NAME    [PASS]": four spaces, the name, spaces, the result in brackets.
  while (std::getline(in, text)) {
    size_t open = text.rfind(" [");
    if (text.rfind("    ", 0) != 0 || open == std::string::npos || text.back() != ']') {
      continue;
    }
    std::string result = text.substr(open + 2, text.size() - open - 3);
    std::string name = text.substr(4, open - 4);
    name.erase(name.find_last_not_of(' ') + 1);
    // Some names stand for several tests: one that fails makes the name fail.
    if ((result == "PASS" || result == "FAIL" || result == "SKIP") && results[name] != "FAIL") {
      results[name] = result;
    }
  }
  return results;
}

TEST(Conformance, IppEverywherePrintTestsPass) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter("vorne", "file://" + folder.Make("out"), error)) << error;

  // The tests and their documents, made by the README's command.
  std::string samples = folder.Make("samples");
  CommandRun made = RunAs({std::string(QUILLMARSH_SCRIPTS_DIR) + "/make-ipp-samples.sh", samples},
                          {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, geteuid(), getegid());
  ASSERT_EQ(made.status, 0) << made.out << made.err;

  CommandRun run =
      RunAs({"/usr/bin/ipptool", "-t", "-I", "-T", "60", "-f",
             samples + "/pwg-raster-samples-180dpi/sgray-8/onepage-letter-sgray-8-180dpi.pwg",
             server.PrinterUri("vorne"), samples + "/ipp-everywhere.test"},
            {"PATH=/usr/bin:/bin", "HOME=" + folder.path()}, geteuid(), getegid(), 600);
  std::map<std::string, std::string> results = Results(run.out);
  ASSERT_FALSE(results.empty()) << run.out << run.err;
  EXPECT_EQ((run.out + run.err).find("cannot be read"), std::string::npos) << run.err;
  for (const auto &[name, why] : kKnownFailures) {
    EXPECT_EQ(results[name], "FAIL") << name << " no longer fails: " << why;
  }
  for (const char *name : kDocumentTests) {
    EXPECT_EQ(results[name], "PASS") << name << "\n" << run.out;
  }

  int printed = 0;
  for (const auto &[name, result] : results) {
    if (result == "FAIL") {
      EXPECT_EQ(kKnownFailures.count(name), 1u) << "unexpected failure: " << name << "\n"
                                                << run.out;
    }
    // Every sample at the printer's resolutions in 8-bit grey is printed.
    if (name.rfind("Print ", 0) == 0 && name.find("sgray-8") != std::string::npos &&
        (name.find("@ 180dpi") != std::string::npos ||
         name.find("@ 360dpi") != std::string::npos)) {
      EXPECT_EQ(result, "PASS") << name;
      printed++;
    }
  }
  // Six documents, two resolutions, plain, deflate and gzip.
  EXPECT_EQ(printed, 36);
}

}  // namespace
