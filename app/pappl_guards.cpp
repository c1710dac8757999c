//
// The jobs being processed and the devices held by them, and the closes PAPPL asked for while
// they were held; a job's state message, set once.
//
// This record is the application's one piece of state shared by all jobs: it follows PAPPL's
// job threads and devices, which are shared by the jobs of a printer.
//

#include "pappl_guards.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

struct HeldDevice {
  pappl_device_t *device;
  int holds;        // jobs (or stages of one job) writing to it
  bool closeAsked;  // PAPPL closed it while it was held, or a job opened it for itself
};

struct HeldDevices {
  std::mutex mutex;
  std::vector<HeldDevice> devices;
  std::vector<pappl_job_t *> jobs;  // claimed by their threads
};

HeldDevices &Held() {
  static HeldDevices held;
  return held;
}

}  // namespace

//
// 'ClaimJob()' - Claim a pending job for this thread; false when it is not this thread's.
//
// A job is checked and claimed under one lock, so of two threads started for it only one
// finds it pending and unclaimed; a thread started after the job has ended finds it no longer
// pending.
//

bool ClaimJob(pappl_job_t *job) {
  HeldDevices &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (std::find(held.jobs.begin(), held.jobs.end(), job) != held.jobs.end() ||
      papplJobGetState(job) != IPP_JSTATE_PENDING) {
    return false;
  }
  try {
    held.jobs.push_back(job);
  } catch (const std::bad_alloc &) {
    return true;  // unrecorded, the job runs as without the guard
  }
  return true;
}

//
// 'ReleaseJob()' - End a job's claim.
//

void ReleaseJob(pappl_job_t *job) {
  HeldDevices &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  held.jobs.erase(std::remove(held.jobs.begin(), held.jobs.end(), job), held.jobs.end());
}

//
// 'Hold()' - Count one more hold on a device; false when no memory was left to record it.
//

static bool Hold(pappl_device_t *device, bool closeWhenReleased) {
  HeldDevices &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  for (HeldDevice &entry : held.devices) {
    if (entry.device == device) {
      entry.holds++;
      entry.closeAsked = entry.closeAsked || closeWhenReleased;
      return true;
    }
  }
  try {
    held.devices.push_back(HeldDevice{device, 1, closeWhenReleased});
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

//
// 'HoldJobDevice()' - Hold the job's device, or open it again when PAPPL handed none.
//

pappl_device_t *HoldJobDevice(pappl_job_t *job, pappl_device_t *device, bool &own) {
  own = false;
  if (device == nullptr) {
    pappl_printer_t *printer = papplJobGetPrinter(job);
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "The printer's device was closed as this job started; opening it again.");
    device = papplDeviceOpen(papplPrinterGetDeviceURI(printer), papplJobGetName(job),
                             papplLogDevice, papplPrinterGetSystem(printer));
    if (device == nullptr) {
      return nullptr;
    }
    own = true;
  }
  if (!Hold(device, own)) {
    // Unrecorded, the device is used as PAPPL handed it, as without the guard.
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Not enough memory to guard the printer's device.");
  }
  return device;
}

//
// 'ReleaseJobDevice()' - End a hold; close the device when a close waited for it.
//

void ReleaseJobDevice(pappl_device_t *device, bool own) {
  if (device == nullptr) {
    return;
  }
  bool close = own;
  {
    HeldDevices &held = Held();
    std::lock_guard<std::mutex> lock(held.mutex);
    auto entry = std::find_if(held.devices.begin(), held.devices.end(),
                              [device](const HeldDevice &e) { return e.device == device; });
    if (entry != held.devices.end() && --entry->holds == 0) {
      close = close || entry->closeAsked;
      held.devices.erase(entry);
    } else if (entry != held.devices.end()) {
      close = false;  // still held by another stage of the job
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
  HeldDevices &held = Held();
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

  HeldDevices &held = Held();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (papplJobGetMessage(job) == nullptr) {
    papplJobSetMessage(job, "%s", message);
  }
}
