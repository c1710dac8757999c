//
// The state file's text apart from PAPPL: a whole file told from one cut short or altered, the
// jobs that were processing made pending and named, job ids read from spool file names; and
// the check that each hook into PAPPL is reached, with lookups of the test's own.
//

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hook_check.h"
#include "state_file.h"

namespace {

// A state as PAPPL 1.3.1 writes it: two printers, jobs in several states, a job name that
// looks like an option.
const std::string kState =
    "DNSSDName quillmarsh\n"
    "NextPrinterID 3\n"
    "<Printer id=\"1\" name=\"vorne\" did=\"\" uri=\"file:///dev/null\" driver=\"vorne24\">\n"
    "NextJobId 4\n"
    "Job id=\"1\" name=\"done\" username=\"u\" format=\"image/pwg-raster\" state=\"9\"\n"
    "Job id=\"2\" name=\"a \\\" state=\\\"5\" username=\"u\" format=\"x\" state=\"3\"\n"
    "Job filename=\"/s/p00001j000000003-j.pwg\" id=\"3\" name=\"long\" state=\"5\"\n"
    "</Printer>\n"
    "<Printer id=\"2\" name=\"other\" did=\"\" uri=\"file:///dev/null\" driver=\"vorne24\">\n"
    "Job id=\"7\" name=\"b\" state=\"5\" username=\"u\"\n"
    "</Printer>\n";

struct Damage {
  const char *name;
  std::string text;
  StateCheck check;
};

TEST(StateFile, AWholeFileIsToldFromADamagedOne) {
  std::string sealed = SealState(kState);
  std::string altered = sealed;
  altered[altered.find("vorne")] = 'V';
  std::string longer = sealed;
  longer.insert(0, "X");
  const Damage cases[] = {
      {"whole", sealed, StateCheck::kWhole},
      {"whole, nothing in it", SealState(""), StateCheck::kWhole},
      {"empty", "", StateCheck::kEmpty},
      {"cut to half", sealed.substr(0, sealed.size() / 2), StateCheck::kUnsealed},
      {"cut before the end line", kState, StateCheck::kUnsealed},
      {"cut inside the end line", sealed.substr(0, sealed.size() - 5), StateCheck::kUnsealed},
      {"a byte altered", altered, StateCheck::kAltered},
      {"a byte more", longer, StateCheck::kAltered},
      {"end line without its newline", sealed.substr(0, sealed.size() - 1), StateCheck::kUnsealed},
      {"something after the end line", sealed + "Job id=\"9\"\n", StateCheck::kUnsealed},
  };
  for (const Damage &c : cases) {
    SCOPED_TRACE(c.name);
    std::string body = "untouched";
    EXPECT_EQ(CheckState(c.text, body), c.check);
    if (c.check == StateCheck::kWhole) {
      EXPECT_EQ(SealState(body), c.text);
    } else {
      EXPECT_EQ(body, "untouched");
    }
  }
  std::string body;
  ASSERT_EQ(CheckState(sealed, body), StateCheck::kWhole);
  EXPECT_EQ(body, kState);
}

struct Written {
  const char *name;
  std::string body;
  bool whole;
};

TEST(StateFile, AStateCutWhilePapplWroteItIsNotSealed) {
  const std::string noPrinters = "DNSSDName quillmarsh\nNextPrinterID 1\nUUID urn:uuid:1\n";
  const Written cases[] = {
      {"with printers", kState, true},
      {"without printers", noPrinters, true},
      {"nothing", "", false},
      {"cut inside a line", kState.substr(0, kState.size() - 3), false},
      {"cut after a job line", kState.substr(0, kState.find("</Printer>\n<Printer")), false},
      {"cut after a printer's first line", kState.substr(0, kState.find("NextJobId")), false},
  };
  for (const Written &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EndsAsPapplEndsAState(c.body), c.whole);
  }
}

TEST(StateFile, ProcessingJobsAreLoadedPendingAndNamed) {
  std::vector<JobRef> processing;
  std::string loadable = PendingInsteadOfProcessing(kState, processing);

  // Exactly the two jobs saved as processing change, each of its own printer.
  std::string expected = kState;
  for (const char *line : {"name=\"long\" state=\"5\"", "name=\"b\" state=\"5\""}) {
    size_t at = expected.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    expected[at + strlen(line) - 2] = '3';
  }
  EXPECT_EQ(loadable, expected);
  EXPECT_EQ(processing, (std::vector<JobRef>{{1, 3}, {2, 7}}));

  // A job line outside a printer is no job of any printer.
  processing.clear();
  std::string orphan = "Job id=\"4\" state=\"5\"\n";
  EXPECT_EQ(PendingInsteadOfProcessing(orphan, processing), orphan);
  EXPECT_TRUE(processing.empty());
}

TEST(StateFile, TheHighestJobIdsAreReadFromAnyStateText) {
  // Printer 1: its next id says 3 were handed out, its jobs go to 3; printer 2: job 7.
  EXPECT_EQ(HighestJobIds(kState), (std::map<int, int>{{1, 3}, {2, 7}}));
  // Cut in the second printer's first line: what came before still counts.
  EXPECT_EQ(HighestJobIds(kState.substr(0, kState.find("name=\"other\""))),
            (std::map<int, int>{{1, 3}}));
  EXPECT_EQ(HighestJobIds("<Printer id=\"4\">\nNextJobId 12\nJob id=\"9\"\n"),
            (std::map<int, int>{{4, 11}}));
  EXPECT_TRUE(HighestJobIds("Job id=\"9\"\nNextJobId x\n").empty());
}

struct SpoolName {
  const char *name;
  bool ok;
  JobRef job;
  bool marker;
};

TEST(StateFile, JobIdsAreReadFromSpoolFileNames) {
  const SpoolName names[] = {
      {"p00001j000000042-job.pwg", true, {1, 42}, false},
      {"p00012j000000007-job.ipp", true, {12, 7}, false},
      {"printing-p00002j000000007", true, {2, 7}, true},
      {"p00001j000000042.pwg", false, {}, false},
      {"printing-p00001j000000042-x", false, {}, false},
      {"p0000aj000000001-x", false, {}, false},
      {"p00000j000000001-x", false, {}, false},
      {"p00001j000000000-x", false, {}, false},
      {"p00001j00000001", false, {}, false},
      {"quillmarsh.state", false, {}, false},
      {"", false, {}, false},
  };
  for (const SpoolName &n : names) {
    SCOPED_TRACE(n.name);
    JobRef job;
    bool marker = false;
    EXPECT_EQ(SpoolFileJob(n.name, job, marker), n.ok);
    if (n.ok) {
      EXPECT_EQ(job, n.job);
      EXPECT_EQ(marker, n.marker);
    }
  }
  EXPECT_EQ(PrintingMarkerName({3, 1234}), "printing-p00003j000001234");
}

// The lookups of the hook check: what the test says each symbol is.
int gOwn[2], gLibrary[2], gOther;
const void *gFirst[2], *gNext[2];

const void *FirstOf(const char *name) {
  return gFirst[strcmp(name, "two") == 0];
}
const void *NextOf(const char *name) {
  return gNext[strcmp(name, "two") == 0];
}

struct Lookups {
  const char *name;
  const void *first[2], *next[2];
  const char *message;  // empty when the hooks are active
};

TEST(HookCheck, NamesTheFirstHookThatIsNotReached) {
  const Hook hooks[] = {{"one", &gOwn[0]}, {"two", &gOwn[1]}};
  const Lookups cases[] = {
      {"all reached", {&gOwn[0], &gOwn[1]}, {&gLibrary[0], &gLibrary[1]}, ""},
      {"the library's function is called",
       {&gOwn[0], &gOther},
       {&gLibrary[0], &gLibrary[1]},
       "PAPPL hook two is not reached: calls to it do not come to the application (is this "
       "PAPPL 1.3.1?)."},
      {"no definition at all",
       {nullptr, &gOwn[1]},
       {&gLibrary[0], &gLibrary[1]},
       "PAPPL hook one is not reached: calls to it do not come to the application (is this "
       "PAPPL 1.3.1?)."},
      {"no library function",
       {&gOwn[0], &gOwn[1]},
       {&gLibrary[0], nullptr},
       "PAPPL hook two has no library function to hand the call on to (is this PAPPL 1.3.1?)."},
  };
  for (const Lookups &c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < 2; i++) {
      gFirst[i] = c.first[i];
      gNext[i] = c.next[i];
    }
    EXPECT_EQ(CheckHooks(hooks, 2, FirstOf, NextOf), c.message);
  }
}

}  // namespace
