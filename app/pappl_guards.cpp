//
// The printers' gates, the devices held by jobs and the closes PAPPL asked for while they were
// held, whether a printer's line takes data; a job's state message, set once.
//
// This record is the application's one piece of state shared by all jobs: it follows PAPPL's
// job threads and devices, which are shared by the jobs of a printer.
//
// Why the gate cannot deadlock: PAPPL starts one job thread for a printer when it finds the
// printer idle, and another each time a job ends or arrives while it looks idle, so a job
// thread never waits for a job PAPPL has not started. A thread waits at the gate only while
// another thread holds it, and that thread is printing a job (or choosing one) that PAPPL
// started: it ends, lets go, and the waiter with the lowest job id goes next. A job thread
// takes the gate before it lets PAPPL open the device (through the hook on PAPPL's job
// thread) and lets go only after PAPPL ended the job and closed the device, so the next job
// opens the device only once the previous one closed it; and it prints the lowest pending job
// of the printer, so PAPPL's choice of the newest pending job does not change the order. A
// job that holds the gate enters it again in the filters and callbacks without waiting; a
// job thread that came without the hook waits there instead, and gives up when its job is
// canceled or the server stops. The record's lock is never held while PAPPL is called (PAPPL
// closes devices with the printer's lock held, and the hook on that close takes the record's
// lock), except for a job's message, which takes only the job's own lock.
//

#include "pappl_guards.h"

#include "line_watch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <vector>

namespace {

// How often a job waiting at a gate looks whether it was canceled.
constexpr std::chrono::milliseconds kGateLook(250);

struct HeldDevice {
  pappl_device_t *device;
  int holds;        // jobs (or stages of one job) writing to it
  bool closeAsked;  // PAPPL closed it while it was held
};

// One printer's gate, and its line.
struct PrinterGate {
  pappl_printer_t *printer = nullptr;
  pappl_job_t *holder = nullptr;  // the job printing, or the job a thread was started for
  int depth = 0;                  // enters not yet left
  std::vector<int> waiting;       // ids of the jobs waiting for the gate
  bool stalled = false;           // the line takes no data
  char portMissing[512] = "";     // why the port is not there; empty when it is
};

struct Guards {
  std::mutex mutex;
  std::condition_variable turn;  // a gate was let go
  std::vector<HeldDevice> devices;
  std::list<PrinterGate> gates;  // a list: a gate stays where it is while others are added
};

// Made once and never destroyed: job threads PAPPL left running may still wait on it while
// the process exits.
Guards &Held() {
  static Guards *held = new Guards;
  return *held;
}

// The printer's gate, made on first use; null when no memory was left for it.
PrinterGate *GateOf(Guards &held, pappl_printer_t *printer) {
  for (PrinterGate &gate : held.gates) {
    if (gate.printer == printer) {
      return &gate;
    }
  }
  try {
    held.gates.emplace_back();
    held.gates.back().printer = printer;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return &held.gates.back();
}

// Whether the job with this id is the one to have the free gate next.
bool IsTurnOf(const PrinterGate &gate, int id) {
  return gate.holder == nullptr &&
         *std::min_element(gate.waiting.begin(), gate.waiting.end()) == id;
}

void StopWaiting(PrinterGate &gate, int id) {
  gate.waiting.erase(std::find(gate.waiting.begin(), gate.waiting.end(), id));
}

// Waits for the printer's gate as the job with this id, and holds it for job. A job that is
// given returns false, without the gate, once it is canceled or the server stops. False too
// when the gate cannot be recorded (no memory: reported in the log by the caller).
bool WaitForGate(pappl_printer_t *printer, pappl_job_t *job, int id, bool cancelable) {
  Guards &held = Held();
  std::unique_lock<std::mutex> lock(held.mutex);
  PrinterGate *gate = GateOf(held, printer);
  if (gate == nullptr) {
    return false;
  }
  try {
    gate->waiting.push_back(id);
  } catch (const std::bad_alloc &) {
    return false;
  }
  while (!IsTurnOf(*gate, id)) {
    held.turn.wait_for(lock, kGateLook);
    if (cancelable && !IsTurnOf(*gate, id)) {
      lock.unlock();
      bool giveUp =
          papplJobIsCanceled(job) || !papplSystemIsRunning(papplPrinterGetSystem(printer));
      lock.lock();
      if (giveUp) {
        StopWaiting(*gate, id);
        held.turn.notify_all();  // the next waiter may be first now
        return false;
      }
    }
  }
  StopWaiting(*gate, id);
  gate->holder = job;
  gate->depth = 1;
  return true;
}

// papplPrinterIterateActiveJobs's callback: keep the pending job with the lowest id.
void KeepLowestPending(pappl_job_t *job, void *data) {
  auto *lowest = static_cast<pappl_job_t **>(data);
  if (papplJobGetState(job) == IPP_JSTATE_PENDING &&
      (*lowest == nullptr || papplJobGetID(job) < papplJobGetID(*lowest))) {
    *lowest = job;
  }
}

}  // namespace

//
// 'TakeGateForNextJob()' - Wait for the printer's gate; hold it for its lowest pending job.
//

pappl_job_t *TakeGateForNextJob(pappl_printer_t *printer, pappl_job_t *started) {
  int id = papplJobGetID(started);
  if (!WaitForGate(printer, started, id, false)) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                    "Not enough memory to keep jobs one at a time; job %d starts unguarded.", id);
    return started;
  }
  // Chosen with the gate held: no other thread of the printer chooses or prints meanwhile.
  pappl_job_t *next = nullptr;
  papplPrinterIterateActiveJobs(printer, KeepLowestPending, &next, 1, 0);

  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  PrinterGate *gate = GateOf(held, printer);
  gate->holder = next;
  if (next == nullptr) {
    gate->depth = 0;
    held.turn.notify_all();
  }
  return next;
}

//
// 'EnterPrinterGate()' - Hold the job's printer's gate, waiting for it in job-id order.
//

bool EnterPrinterGate(pappl_job_t *job) {
  pappl_printer_t *printer = papplJobGetPrinter(job);
  {
    Guards &held = Held();
    std::lock_guard<std::mutex> lock(held.mutex);
    PrinterGate *gate = GateOf(held, printer);
    if (gate != nullptr && gate->holder == job) {
      gate->depth++;
      return true;
    }
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Waiting for its turn at the printer.");
  if (WaitForGate(printer, job, papplJobGetID(job), true)) {
    return true;
  }
  if (papplJobIsCanceled(job)) {
    SetJobMessageOnce(job, "Canceled before the printer was free.");
  } else if (!papplSystemIsRunning(papplPrinterGetSystem(printer))) {
    SetJobMessageOnce(job, "The server stopped before the printer was free.");
  } else {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Not enough memory to wait for the printer.");
    SetJobMessageOnce(job, "Not enough memory to wait for the printer.");
  }
  return false;
}

//
// 'LeavePrinterGate()' - End an enter; let the gate go when none is left.
//

void LeavePrinterGate(pappl_job_t *job) {
  pappl_printer_t *printer = papplJobGetPrinter(job);
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  PrinterGate *gate = GateOf(held, printer);
  if (gate != nullptr && gate->holder == job && --gate->depth <= 0) {
    gate->depth = 0;
    gate->holder = nullptr;
    held.turn.notify_all();
  }
}

//
// 'ReleasePrinterGate()' - Let the printer's gate go.
//

void ReleasePrinterGate(pappl_printer_t *printer) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (PrinterGate *gate = GateOf(held, printer)) {
    gate->depth = 0;
    gate->holder = nullptr;
    held.turn.notify_all();
  }
}

//
// 'SetLineStalled()', 'SetPortMissing()' - Note what is wrong with the printer's line.
//

void SetLineStalled(pappl_printer_t *printer, bool stalled) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (PrinterGate *gate = GateOf(held, printer)) {
    gate->stalled = stalled;
  }
}

bool SetPortMissing(pappl_printer_t *printer, const char *message) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  PrinterGate *gate = GateOf(held, printer);
  if (gate == nullptr) {
    return false;
  }
  char note[sizeof gate->portMissing];
  snprintf(note, sizeof note, "%s", message != nullptr ? message : "");
  if (strcmp(note, gate->portMissing) == 0) {
    return false;
  }
  memcpy(gate->portMissing, note, sizeof note);
  return true;
}

//
// 'LineReport()' - What the printer's state says about its line; false when nothing.
//

bool LineReport(pappl_printer_t *printer, std::string &message) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  for (const PrinterGate &gate : held.gates) {
    if (gate.printer != printer) {
      continue;
    }
    try {
      message = gate.stalled ? kLineStalledMessage : gate.portMissing;
    } catch (const std::bad_alloc &) {
      message.clear();
    }
    return gate.stalled || gate.portMissing[0] != '\0';
  }
  return false;
}

//
// 'PrinterGateHeld()' - Whether a job holds the printer's gate.
//

bool PrinterGateHeld(pappl_printer_t *printer) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  for (const PrinterGate &gate : held.gates) {
    if (gate.printer == printer) {
      return gate.holder != nullptr;
    }
  }
  return false;
}

//
// 'Hold()' - Count one more hold on a device; false when no memory was left to record it.
//

static bool Hold(pappl_device_t *device) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  for (HeldDevice &entry : held.devices) {
    if (entry.device == device) {
      entry.holds++;
      return true;
    }
  }
  try {
    held.devices.push_back(HeldDevice{device, 1, false});
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

//
// 'HoldJobDevice()' - Hold the device PAPPL handed to the job.
//

pappl_device_t *HoldJobDevice(pappl_job_t *job, pappl_device_t *device) {
  if (device == nullptr) {
    return nullptr;
  }
  if (!Hold(device)) {
    // Unrecorded, the device is used as PAPPL handed it, as without the guard.
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Not enough memory to guard the printer's device.");
  }
  return device;
}

//
// 'ReleaseJobDevice()' - End a hold; close the device when a close waited for it.
//

void ReleaseJobDevice(pappl_device_t *device) {
  if (device == nullptr) {
    return;
  }
  bool close = false;
  {
    Guards &held = Held();
    std::lock_guard<std::mutex> lock(held.mutex);
    auto entry = std::find_if(held.devices.begin(), held.devices.end(),
                              [device](const HeldDevice &e) { return e.device == device; });
    if (entry != held.devices.end() && --entry->holds == 0) {
      close = entry->closeAsked;
      held.devices.erase(entry);
    }
  }
  if (close) {
    papplDeviceClose(device);  // no longer held: the hook closes it
  }
}

//
// 'PutOffClose()' - Whether a close PAPPL asks for must wait for the device's release.
//

bool PutOffClose(pappl_device_t *device) {
  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  for (HeldDevice &entry : held.devices) {
    if (entry.device == device) {
      entry.closeAsked = true;
      return true;
    }
  }
  return false;
}

//
// 'SetJobMessageOnce()' - Set the job's state message unless it has one.
//
// A message replaced could be freed while a client's response is being built from it (see
// pappl_guards.h); the first one set replaces none. The check and the setting are done under
// the record's lock, so that of two threads only one sets it.
//

void SetJobMessageOnce(pappl_job_t *job, const char *format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);

  Guards &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (papplJobGetMessage(job) == nullptr) {
    papplJobSetMessage(job, "%s", message);
  }
}
