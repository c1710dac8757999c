//
// The state file saved whole, loaded from its first whole copy, and the jobs found again after
// a restart: ids that go on, the job that was printing held, the others started.
//

#include "restart_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "pappl_guards.h"
#include "state_file.h"

namespace {

// A file descriptor, closed when it goes out of scope.
struct FileDescriptor {
  int fd;
  explicit FileDescriptor(int value) : fd(value) {}
  ~FileDescriptor() {
    if (fd >= 0) {
      close(fd);
    }
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
};

// How reading a file went.
enum class ReadResult { kRead, kMissing, kFailed };

//
// 'ReadFile()' - The whole text of a file.
//

ReadResult ReadFile(const std::string &path, std::string &text) {
  text.clear();
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  char buffer[16384];
  for (;;) {
    ssize_t n = read(file.fd, buffer, sizeof buffer);
    if (n == 0) {
      return ReadResult::kRead;
    }
    if (n < 0 && errno != EINTR) {
      return ReadResult::kFailed;
    }
    if (n > 0) {
      try {
        text.append(buffer, static_cast<size_t>(n));
      } catch (const std::bad_alloc &) {
        return ReadResult::kFailed;
      }
    }
  }
}

//
// 'WriteAll()' - Write all the bytes, then sync them; false with errno set when it fails.
//

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) {
      return false;
    }
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return fsync(fd) == 0;
}

// The folder a path is in.
std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

//
// 'SyncFolder()' - Make the renames in a folder last; false when the folder cannot be synced.
//

bool SyncFolder(const std::string &folder) {
  FileDescriptor dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.fd >= 0 && fsync(dir.fd) == 0;
}

// Collects the pointers an iteration of PAPPL's jobs or printers hands over, so that they are
// acted on once PAPPL has let go of its lock.
template <typename T>
void Collect(T *item, void *data) {
  try {
    static_cast<std::vector<T *> *>(data)->push_back(item);
  } catch (const std::bad_alloc &) {
  }
}

std::vector<pappl_printer_t *> PrintersOf(pappl_system_t *system) {
  std::vector<pappl_printer_t *> printers;
  papplSystemIteratePrinters(system, Collect<pappl_printer_t>, &printers);
  return printers;
}

// What the spool folder says about one printer's jobs.
struct SpoolJobs {
  int highestJob = 0;         // the highest job id of any of its files
  std::vector<int> printing;  // jobs whose marker is there
};

//
// 'ReadSpoolFolder()' - The job files and markers in the spool folder, by printer id.
//

std::map<int, SpoolJobs> ReadSpoolFolder(pappl_system_t *system, const std::string &spoolDir) {
  std::map<int, SpoolJobs> found;
  DIR *dir = opendir(spoolDir.c_str());
  if (dir == nullptr) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to read the spool folder '%s': %s",
             spoolDir.c_str(), strerror(errno));
    return found;
  }
  try {
    while (const struct dirent *entry = readdir(dir)) {
      JobRef job;
      bool marker = false;
      if (SpoolFileJob(entry->d_name, job, marker)) {
        SpoolJobs &jobs = found[job.printer];
        jobs.highestJob = std::max(jobs.highestJob, job.job);
        if (marker) {
          jobs.printing.push_back(job.job);
        }
      }
    }
  } catch (const std::bad_alloc &) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Not enough memory to read the spool folder.");
  }
  closedir(dir);
  return found;
}

//
// 'HoldInterruptedJob()' - Hold a job that was printing when the server stopped.
//

void HoldInterruptedJob(pappl_job_t *job) {
  if (!papplJobHold(job, nullptr, "indefinite", 0)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                "Unable to hold the job that was printing when the server stopped.");
    return;
  }
  SetJobMessageOnce(job, "%s", kInterruptedMessage);
  papplLogJob(job, PAPPL_LOGLEVEL_WARN,
              "Held: it was printing when the server stopped; release it to print it again.");
}

//
// 'RestoreJobs()' - Job ids past every job handed out, and the interrupted jobs held.
//

void RestoreJobs(pappl_system_t *system, const std::string &spoolDir,
                 const std::vector<JobRef> &processing, std::map<int, int> &handedOut) {
  std::map<int, SpoolJobs> spool = ReadSpoolFolder(system, spoolDir);
  for (pappl_printer_t *printer : PrintersOf(system)) {
    int id = papplPrinterGetID(printer);
    SpoolJobs &files = spool[id];

    // The next id goes past the jobs of the state loaded, those of a damaged copy not loaded,
    // and every job file: a job handed out just before the server was killed may have its
    // document spooled but not be saved.
    std::vector<pappl_job_t *> all;
    papplPrinterIterateAllJobs(printer, Collect<pappl_job_t>, &all, 1, 0);
    int highest = std::max(files.highestJob, handedOut[id]);
    for (pappl_job_t *job : all) {
      highest = std::max(highest, papplJobGetID(job));
    }
    int next = papplPrinterGetNextJobID(printer);
    if (highest >= next) {
      papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                      "Job ids go on from %d: job %d was handed out before the server stopped.",
                      highest + 1, highest);
      next = highest + 1;
    }
    // Set in any case: the change makes PAPPL save the restored state at once.
    papplPrinterSetNextJobID(printer, next);

    // A job saved as processing, or with its marker left, was printing.
    std::vector<pappl_job_t *> active;
    papplPrinterIterateActiveJobs(printer, Collect<pappl_job_t>, &active, 1, 0);
    for (pappl_job_t *job : active) {
      JobRef ref{id, papplJobGetID(job)};
      bool marked =
          std::find(files.printing.begin(), files.printing.end(), ref.job) != files.printing.end();
      if (marked || std::find(processing.begin(), processing.end(), ref) != processing.end()) {
        HoldInterruptedJob(job);
      }
    }
    // Markers of jobs that are no longer active name nothing to hold.
    for (int job : files.printing) {
      pappl_job_t *found = papplPrinterFindJob(printer, job);
      if (found == nullptr || papplJobGetState(found) != IPP_JSTATE_HELD) {
        unlink((spoolDir + "/" + PrintingMarkerName(JobRef{id, job})).c_str());
      }
    }
  }
}

//
// 'KickPrinter()' - Make PAPPL start a printer's pending jobs.
//
// papplJobRelease looks for work on the job's printer whether or not it released the job; for
// a pending job it changes nothing else.
//

void KickPrinter(pappl_printer_t *printer) {
  std::vector<pappl_job_t *> active;
  papplPrinterIterateActiveJobs(printer, Collect<pappl_job_t>, &active, 1, 0);
  for (pappl_job_t *job : active) {
    if (papplJobGetState(job) == IPP_JSTATE_PENDING) {
      papplJobRelease(job, nullptr);
      return;
    }
  }
}

// The marker's path of a job: beside its document, in the spool folder. Empty when the job
// has no document file.
std::string MarkerPath(pappl_job_t *job) {
  const char *document = papplJobGetFilename(job);
  if (document == nullptr || strchr(document, '/') == nullptr) {
    return "";
  }
  JobRef ref{papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)};
  return FolderOf(document) + "/" + PrintingMarkerName(ref);
}

}  // namespace

//
// 'SaveStateFile()' - Write the state whole beside the file, keep the old one, rename.
//

bool SaveStateFile(pappl_system_t *system, const std::string &path) {
  std::string temporary = path + ".new", previous = path + ".bak";
  if (!papplSystemSaveState(system, temporary.c_str())) {
    return false;  // PAPPL logged why
  }

  // PAPPL's text, sealed with our end line, synced.
  std::string body;
  if (ReadFile(temporary, body) != ReadResult::kRead) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to read back the state in '%s': %s",
             temporary.c_str(), strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  if (!EndsAsPapplEndsAState(body)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR,
             "The state written to '%s' is cut short (is the disk full?): the state file is "
             "left as it was.",
             temporary.c_str());
    unlink(temporary.c_str());
    return false;
  }
  {
    FileDescriptor file(open(temporary.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    std::string sealed = SealState(body);
    if (file.fd < 0 || !WriteAll(file.fd, sealed.substr(body.size()))) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to write the state to '%s': %s",
               temporary.c_str(), strerror(errno));
      unlink(temporary.c_str());
      return false;
    }
  }

  // The file being replaced becomes the previous copy when it is whole; a damaged one never
  // replaces a good previous copy. A link, then a rename: the previous copy is never missing.
  std::string current, unused;
  if (ReadFile(path, current) == ReadResult::kRead &&
      CheckState(current, unused) == StateCheck::kWhole) {
    std::string link_path = previous + ".new";
    unlink(link_path.c_str());
    if (link(path.c_str(), link_path.c_str()) != 0 ||
        rename(link_path.c_str(), previous.c_str()) != 0) {
      papplLog(system, PAPPL_LOGLEVEL_WARN, "Unable to keep the previous state as '%s': %s",
               previous.c_str(), strerror(errno));
      unlink(link_path.c_str());
    }
  }

  if (rename(temporary.c_str(), path.c_str()) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to replace the state file '%s': %s",
             path.c_str(), strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  if (!SyncFolder(FolderOf(path))) {
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Unable to sync the folder of '%s': %s", path.c_str(),
             strerror(errno));
  }
  return true;
}

//
// 'LoadStateFile()' - Load the first whole copy of the state, and restore its jobs.
//
// The state file, else its previous copy. When neither is whole, what the state file (else the
// previous copy) holds is loaded as PAPPL reads it: a file written before the end line existed
// has none, and a part of the printers is better than none. A damaged state file that another
// copy replaced is kept as path.damaged for a person to look at.
//

bool LoadStateFile(pappl_system_t *system, const std::string &path, const std::string &spoolDir) {
  struct Copy {
    std::string path;
    ReadResult read;
    std::string text;
    StateCheck check;
    std::string body;
  };
  Copy copies[2] = {{path, ReadResult::kMissing, "", StateCheck::kEmpty, ""},
                    {path + ".bak", ReadResult::kMissing, "", StateCheck::kEmpty, ""}};
  for (Copy &copy : copies) {
    copy.read = ReadFile(copy.path, copy.text);
    if (copy.read == ReadResult::kFailed) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to read the state file '%s': %s",
               copy.path.c_str(), strerror(errno));
    }
    copy.check =
        copy.read == ReadResult::kRead ? CheckState(copy.text, copy.body) : StateCheck::kEmpty;
  }
  Copy &state = copies[0], &previous = copies[1];

  const Copy *chosen = nullptr;
  std::string body;
  if (state.check == StateCheck::kWhole) {
    chosen = &state;
    body = state.body;
  } else if (previous.check == StateCheck::kWhole) {
    chosen = &previous;
    body = previous.body;
    if (state.read == ReadResult::kMissing) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR,
               "The state file '%s' is missing: loading the previous good copy '%s'.",
               state.path.c_str(), previous.path.c_str());
    } else {
      papplLog(system, PAPPL_LOGLEVEL_ERROR,
               "The state file '%s' %s: loading the previous good copy '%s'.", state.path.c_str(),
               DescribeStateCheck(state.check), previous.path.c_str());
      if (rename(state.path.c_str(), (state.path + ".damaged").c_str()) == 0) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "The damaged state file is kept as '%s.damaged'.",
                 state.path.c_str());
      }
    }
  } else {
    for (const Copy &copy : copies) {
      if (copy.read == ReadResult::kRead && !copy.text.empty()) {
        chosen = &copy;
        body = copy.text;
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "The state file '%s' %s and there is no whole copy: loading what it holds.",
                 copy.path.c_str(), DescribeStateCheck(copy.check));
        break;
      }
    }
    if (chosen == nullptr && state.read == ReadResult::kRead) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR,
               "The state file '%s' is empty and there is no previous copy: starting without "
               "printers.",
               state.path.c_str());
    }
  }
  if (chosen == nullptr) {
    return false;
  }

  // PAPPL reads a copy of ours: without the end line, and with processing jobs pending.
  std::vector<JobRef> processing;
  std::string loadable = PendingInsteadOfProcessing(body, processing);
  std::string scratch = path + ".load";
  bool written = false;
  {
    FileDescriptor file(open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    written = file.fd >= 0 && WriteAll(file.fd, loadable);
  }
  if (!written) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to write '%s': %s", scratch.c_str(),
             strerror(errno));
    unlink(scratch.c_str());
    return false;
  }
  bool loaded = papplSystemLoadState(system, scratch.c_str());
  unlink(scratch.c_str());
  if (loaded) {
    // Every copy, whole or not, tells which ids were handed out.
    std::map<int, int> handedOut;
    for (const Copy &copy : copies) {
      for (const auto &[printer, job] : HighestJobIds(copy.text)) {
        handedOut[printer] = std::max(handedOut[printer], job);
      }
    }
    RestoreJobs(system, spoolDir, processing, handedOut);
  }
  return loaded;
}

//
// 'StartRestoredJobs()' - Start every printer's pending jobs, once.
//

bool StartRestoredJobs(pappl_system_t *system, void *data) {
  (void)data;
  for (pappl_printer_t *printer : PrintersOf(system)) {
    KickPrinter(printer);
  }
  return false;
}

//
// 'MarkJobPrinting()' - Leave a marker of the job being printed.
//

std::string MarkJobPrinting(pappl_job_t *job) {
  std::string marker = MarkerPath(job);
  if (marker.empty()) {
    return marker;
  }
  // Synced with its folder, so that it outlasts a power cut.
  FileDescriptor file(open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (file.fd < 0 || !SyncFolder(FolderOf(marker))) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Unable to mark the job as printing (%s): a restart will not know it was.",
                strerror(errno));
  }
  return marker;
}

//
// 'UnmarkJobPrinting()' - Remove the marker of the job being printed.
//

void UnmarkJobPrinting(pappl_printer_t *printer, const std::string &marker) {
  if (!marker.empty() && unlink(marker.c_str()) != 0 && errno != ENOENT) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Unable to remove the printing marker %s: %s",
                    marker.c_str(), strerror(errno));
  }
}
