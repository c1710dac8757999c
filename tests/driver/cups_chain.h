//
// The real CUPS chain for the driver tests: documents made with ghostscript, cupsfilter
// with the project's PPD, and a private cupsd with its own folders.
//

#ifndef QUILLMARSH_TESTS_DRIVER_CUPS_CHAIN_H
#define QUILLMARSH_TESTS_DRIVER_CUPS_CHAIN_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "printed_job.h"
#include "test_support.h"

// The built filter, the compiled PPD and the build folder, set by CMake.
std::string BuiltFilter();
std::string BuiltPpd();
std::string BuildFolder();

// A fresh folder that user lp can read and enter (filters run as lp under cupsd); removed
// with everything in it when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder &) = delete;
  ScratchFolder &operator=(const ScratchFolder &) = delete;
  const std::string &path() const {
    return path_;
  }
  std::string Make(const std::string &name) const;  // a subfolder, mode 0755
  std::string Write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path);

// How a command ended.
struct CommandResult {
  int status = -1;  // exit status; -1 when it did not exit by itself
  std::string out, err;
  bool timed_out = false;
};

// Runs argv with extra NAME=value settings in its environment; kills it after the timeout.
CommandResult RunCommand(const std::vector<std::string> &argv,
                         const std::vector<std::string> &env = {}, int timeout_seconds = 120);

// A PDF made by ghostscript from a PostScript program; the path of the PDF.
std::string MakePdf(const ScratchFolder &folder, const std::string &name,
                    const std::string &postscript);

// A US Letter page with one rectangle of the given grey (0 black, 1 white), 2 inches wide
// and 1 inch high, its top left corner 1 inch from the page's left and top edges.
std::string RectanglePostScript(double grey = 0);

// Where that rectangle lands at 180 dpi with the PPD's Letter margins (a quarter of an inch
// at the left, none at the top) and no margin options.
constexpr DotBox kRectangleDots{135, 180, 494, 359};

// A ServerBin folder for CUPS: the system's backends, daemons and filters, with the given
// file as filter rastertoquillmarsh. copy_filter puts a root-style copy (mode 0755) in the
// folder; otherwise a link to the file itself, so CUPS checks the file as it is.
std::string MakeServerBin(const ScratchFolder &folder, const std::string &filter, bool copy_filter);

// cupsfilter -e with the project's PPD: pdftopdf, the renderer and our filter, as CUPS
// would run them for a queue. options are NAME=value job options.
CommandResult RunCupsfilter(const ScratchFolder &folder, const std::string &pdf,
                            const std::vector<std::string> &options);

// A cupsd of our own: its configuration, spool, state, cache and logs in a scratch folder,
// listening on a unix socket there, started in the foreground and stopped by its PID.
class PrivateScheduler {
 public:
  struct Setup {
    std::string filter;  // the filter CUPS runs; the built one when empty
    bool copy_filter = true;
    std::string model_dir;  // a folder of PPDs that `lpinfo -m` lists, when not empty
  };
  explicit PrivateScheduler(const Setup &setup);
  PrivateScheduler() : PrivateScheduler(Setup{}) {}
  ~PrivateScheduler();
  PrivateScheduler(const PrivateScheduler &) = delete;
  PrivateScheduler &operator=(const PrivateScheduler &) = delete;

  bool running() const {
    return pid_ > 0;
  }
  const std::string &startup_error() const {
    return startup_error_;
  }
  const ScratchFolder &folder() const {
    return folder_;
  }

  // A CUPS client command (lp, lpadmin, cancel, lpinfo...) talking to this scheduler.
  CommandResult Client(const std::vector<std::string> &argv) const;

  // lp with the arguments; the job id, or 0 with a message in *error.
  int Submit(const std::vector<std::string> &arguments, std::string *error) const;

  // The job's state (IPP_JSTATE_*), or 0 when the scheduler does not know the job.
  int JobState(int job_id) const;

  // Waits until the job has ended (completed, canceled or aborted); its final state, or
  // 0 after the timeout.
  int WaitForJob(int job_id, int timeout_seconds) const;

  // The last lines of the scheduler's error log (filter messages are in it at LogLevel
  // debug), for failure messages.
  std::string LogTail(int lines = 40) const;
  std::string Log() const;

 private:
  ScratchFolder folder_;
  std::string socket_;
  pid_t pid_ = -1;
  std::string startup_error_;
};

#endif  // QUILLMARSH_TESTS_DRIVER_CUPS_CHAIN_H
