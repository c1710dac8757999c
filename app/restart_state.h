//
// What survives a restart, and how: the state file written whole or not at all, with the
// previous good copy beside it; on start, the first whole copy loaded, job ids that go on past
// every job the server ever handed out, the job that was printing held, and the jobs behind it
// started at once.
//
// PAPPL 1.3.1 writes the state file in place (truncate, then write), saves a job's state only
// when something else changes, restores a job that was printing as processing with nothing
// processing it, and starts restored jobs only when a new job arrives.
//

#ifndef QUILLMARSH_APP_RESTART_STATE_H
#define QUILLMARSH_APP_RESTART_STATE_H

#include <string>

#include <pappl/pappl.h>

// The job's message when it was printing as the server stopped.
constexpr const char *kInterruptedMessage =
    "Interrupted by a restart: release it to print it again";

// Writes the state into a temporary file beside path, seals and syncs it, keeps the file it
// replaces as path.bak when that one is whole, and renames it into place. False (logged) when
// it cannot: the state file is then left as it was.
bool SaveStateFile(pappl_system_t *system, const std::string &path);

// Loads the state file, or its previous copy when it is damaged (logged); makes each printer's
// next job id higher than any job of it in the state or the spool folder; holds the jobs that
// were printing. False when there was no state to load.
bool LoadStateFile(pappl_system_t *system, const std::string &path, const std::string &spoolDir);

// A one-shot timer callback: starts the pending jobs of every printer.
bool StartRestoredJobs(pappl_system_t *system, void *data);

// The marker of a job being printed, beside its document in the spool folder: made when the
// job's thread starts, removed when it ends. One left behind names the job that was printing
// when the server stopped. MarkJobPrinting returns the marker's path for UnmarkJobPrinting,
// which takes no job: a job may be freed once PAPPL is done with it.
std::string MarkJobPrinting(pappl_job_t *job);
void UnmarkJobPrinting(pappl_printer_t *printer, const std::string &marker);

#endif  // QUILLMARSH_APP_RESTART_STATE_H
