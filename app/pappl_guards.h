//
// Guards against three races of PAPPL 1.3.1: two when jobs follow each other closely (the
// hooks in pappl_hooks.cpp call those), one when a client asks for a job's state.
//
// - A job started twice: PAPPL starts a printer's next job in a thread of its own, but notes
//   that the printer is busy only once that thread runs; a second look for work in between
//   (another job arriving, the job before ending) starts the same job again. A job's thread
//   therefore first claims the job, and a second thread finds it claimed and leaves it.
// - A device closed under a running job: when a job ends, PAPPL marks the printer idle, lets
//   go of its lock, and only then closes the printer's device (always for file: URIs,
//   otherwise when nothing else is queued). A job started in that moment is handed the
//   device that is about to be freed. A job therefore holds its device while it prints, and
//   a close PAPPL asks for meanwhile waits until the device is released.
// - A job's state message freed under a client: PAPPL builds Get-Job-Attributes and Get-Jobs
//   responses from the job's message without taking the job's lock, and papplJobSetMessage
//   frees the message it replaces. PAPPL itself never sets a job's message; the application
//   therefore sets it once, when the job's outcome is known, and never replaces it.
//

#ifndef QUILLMARSH_APP_PAPPL_GUARDS_H
#define QUILLMARSH_APP_PAPPL_GUARDS_H

#include <pappl/pappl.h>

// Claims a pending job for the calling thread; false when another thread has it, or it is no
// longer pending (that start must not process it).
bool ClaimJob(pappl_job_t *job);
// Ends the claim when the job's thread is done with it.
void ReleaseJob(pappl_job_t *job);

// The device a job prints to: the one PAPPL handed over, held; or, when PAPPL handed none
// because the job before closed it just now, the printer's device opened again for this job
// (own is then true). Null when the device cannot be opened.
pappl_device_t *HoldJobDevice(pappl_job_t *job, pappl_device_t *device, bool &own);

// Ends a hold taken by HoldJobDevice; closes the device when PAPPL asked to meanwhile, or
// when the job opened it itself.
void ReleaseJobDevice(pappl_device_t *device, bool own);

// For the papplDeviceClose hook: true when the device is held, and the close has been put
// off until its release.
bool PutOffClose(pappl_device_t *device);

// Sets the job's state message unless it has one already: the first message stays (the
// first failure, or the outcome).
void SetJobMessageOnce(pappl_job_t *job, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // QUILLMARSH_APP_PAPPL_GUARDS_H
