//
// Guards against the races of PAPPL 1.3.1 when jobs follow each other closely (the hooks in
// pappl_hooks.cpp and the document filters and raster callbacks call those), and one when a
// client asks for a job's state.
//
// - Jobs at once, and out of order: PAPPL starts a printer's next job in a thread of its own,
//   but notes that the printer is busy only once that thread runs, and looks for work without
//   its lock; a look in between (another job arriving, the job before ending) starts the same
//   job again, or the next one beside it. And it starts the pending job with the highest id
//   first. One job at a time per printer, lowest id first, is therefore kept by a gate of the
//   application's own: a job thread holds the printer's gate from before PAPPL opens the
//   device for the job until after PAPPL closed it, and prints the lowest pending job, not the
//   one it was started for; the filters and callbacks enter the same gate again before they
//   write, so that no two jobs write at once even when a job thread came without the hook.
// - A device closed under a running job: when a job ends, PAPPL marks the printer idle, lets
//   go of its lock, and only then closes the printer's device (always for file: URIs,
//   otherwise when nothing else is queued). A job holds its device while it prints, and a
//   close PAPPL asks for meanwhile waits until the device is released.
// - A job's state message freed under a client: PAPPL builds Get-Job-Attributes and Get-Jobs
//   responses from the job's message without taking the job's lock, and papplJobSetMessage
//   frees the message it replaces. PAPPL itself never sets a job's message; the application
//   therefore sets it once, when the job's outcome is known, and never replaces it.
//

#ifndef QUILLMARSH_APP_PAPPL_GUARDS_H
#define QUILLMARSH_APP_PAPPL_GUARDS_H

#include <string>

#include <pappl/pappl.h>

// The printer's gate, taken by a job thread before it processes a job: one holder at a time
// (see pappl_guards.cpp for why it cannot deadlock). Waits until the gate is free, then
// chooses the printer's pending job with the lowest id, whichever job PAPPL started the
// thread for, and holds the gate for it. Null, with the gate free again, when no job is
// pending any more (another thread printed it): that start is dropped. The started job,
// without the gate, when no memory was left to record it (logged). The started job is not
// used after the wait: it may be gone.
pappl_job_t *TakeGateForNextJob(pappl_printer_t *printer, pappl_job_t *started);

// The gate for a job in the document filters and raster callbacks: returns at once when the
// job holds it already (each enter is matched by a leave); otherwise waits while another job
// holds it, waiters served lowest job id first. False, with the job's message set, when the
// job is canceled or the server stops while it waits (or no memory was left to wait): the job
// then prints nothing.
bool EnterPrinterGate(pappl_job_t *job);
// Ends one enter; the gate is free when the last one ends.
void LeavePrinterGate(pappl_job_t *job);
// Frees the printer's gate, whatever enters are left: the job thread is done with its job
// (which PAPPL may have freed by then).
void ReleasePrinterGate(pappl_printer_t *printer);

// The device a job prints to: the one PAPPL handed over, held; null when PAPPL handed none
// (the job must not open a second one: the device is the printer's).
pappl_device_t *HoldJobDevice(pappl_job_t *job, pappl_device_t *device);

// Ends a hold taken by HoldJobDevice; closes the device when PAPPL asked to meanwhile.
void ReleaseJobDevice(pappl_device_t *device);

// For the papplDeviceClose hook: true when the device is held, and the close has been put
// off until its release.
bool PutOffClose(pappl_device_t *device);

// What is wrong with the printer's line, for its state: a line that has taken no data for a
// while (see line_watch.h), set and cleared by the job writing to it; a port that is not there,
// set and cleared by the driver's status callback while no job holds the gate (message null
// when the port is there; true when that changed the note). Read by the hooks that report the
// printer's state (IPP and the web page): true, with the state message, while either holds; a
// stalled line is told first.
void SetLineStalled(pappl_printer_t *printer, bool stalled);
bool SetPortMissing(pappl_printer_t *printer, const char *message);
bool LineReport(pappl_printer_t *printer, std::string &message);

// Whether a job holds the printer's gate (it owns the printer's device).
bool PrinterGateHeld(pappl_printer_t *printer);

// Sets the job's state message unless it has one already: the first message stays (the
// first failure, or the outcome).
void SetJobMessageOnce(pappl_job_t *job, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // QUILLMARSH_APP_PAPPL_GUARDS_H
