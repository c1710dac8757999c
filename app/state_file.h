//
// The state file's text, apart from PAPPL: the end line that tells a whole file from one cut
// short or altered, the job lines a restart must change, and the job ids found in the spool
// folder's file names. Nothing here reads or writes a file.
//
// A state file is PAPPL's text followed by one line of ours:
//
//   # quillmarsh state end: 1234 bytes, fnv1a 0123456789abcdef
//
// giving the length and the FNV-1a hash of everything before it. PAPPL's loader does not know
// that line, so the application loads a copy without it (see restart_state.cpp).
//

#ifndef QUILLMARSH_APP_STATE_FILE_H
#define QUILLMARSH_APP_STATE_FILE_H

#include <map>
#include <string>
#include <vector>

// What a state file's text is.
enum class StateCheck {
  kWhole,     // ends with our end line, and the length and hash match
  kEmpty,     // no bytes at all
  kUnsealed,  // no end line: cut short, or written before the end line existed
  kAltered,   // an end line whose length or hash does not match what precedes it
};

// Whether PAPPL's text ends where PAPPL ends a state: after a whole line, and after the last
// printer's closing line when it has printers. PAPPL 1.3.1 does not report a write that
// failed (a full disk), and the text it leaves is cut at any byte.
bool EndsAsPapplEndsAState(const std::string &body);

// PAPPL's text with our end line after it.
std::string SealState(const std::string &body);

// Checks a state file's text; on kWhole, body is the text without the end line.
StateCheck CheckState(const std::string &text, std::string &body);

// A few words for the log on what is wrong with a file ("is cut short or incomplete").
const char *DescribeStateCheck(StateCheck check);

// A job of a printer.
struct JobRef {
  int printer = 0;
  int job = 0;
  bool operator==(const JobRef &other) const {
    return printer == other.printer && job == other.job;
  }
};

// PAPPL's state text made ready to load after a restart: every job saved as processing is
// saved as pending instead (PAPPL would otherwise keep it processing, with nothing processing
// it, and the queue stuck behind it), and listed in processing. Other lines are unchanged.
std::string PendingInsteadOfProcessing(const std::string &body, std::vector<JobRef> &processing);

// The highest job id each printer (by id) has handed out according to a state text, whole or
// not: its jobs and its next job id. For the text of a damaged state file, whose jobs may
// have gone on past those of the copy loaded instead.
std::map<int, int> HighestJobIds(const std::string &text);

// The printer and job of a file in the spool folder: PAPPL names a job's files
// "pPPPPPjJJJJJJJJJ-NAME.EXT", and the application its marker of a job being printed
// "printing-pPPPPPjJJJJJJJJJ". False for any other name.
bool SpoolFileJob(const std::string &name, JobRef &job, bool &marker);

// The name of the marker of a job being printed.
std::string PrintingMarkerName(const JobRef &job);

#endif  // QUILLMARSH_APP_STATE_FILE_H
