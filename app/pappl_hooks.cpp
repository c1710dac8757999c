//
// Hooks into PAPPL 1.3.1 where its public interface offers no way in. They are defined in the
// executable, which comes first in symbol lookup, so PAPPL's calls reach them; each hands the
// call on to the library's own function.
//
// - PAPPL calls its operation callback only for operations it does not know, so a Print-Job
//   cannot be adjusted there: the hook on its document validation adjusts each validated job
//   request instead (job_requests.cpp).
// - When PAPPL lists devices (the "devices" command, the web interface's Add Printer page) it
//   browses DNS-SD with the Avahi client it tried to start; without a running avahi-daemon
//   that client is null, and Avahi's browser asserts on it and aborts the whole process. The
//   hook answers "no browser" for a null client, which PAPPL reports as an error before it
//   lists the other devices.
// - PAPPL may start a job twice or two jobs of a printer at once, starts the newest pending
//   job first, and closes a printer's device just after the job that used it has let the next
//   job start: the hook on its job thread processes one job at a time per printer, the lowest
//   pending one, behind the printer's gate, and the hook on its device close puts the close off
//   while a job holds the device (pappl_guards.cpp). The job thread's hook also leaves a marker
//   of the job being printed for as long as it runs, so that a restart knows which job was cut
//   off (restart_state.cpp).
// - PAPPL 1.3.1 has no way to set a printer's state message, and no "offline-report" reason:
//   the hook on the copy of a printer's state into responses says that the line takes no data
//   while a job finds it so (line_watch.h).
//
// The hooks were written for PAPPL 1.3.1 (the build refuses another version), and they are
// listed in kHooks below: at start-up each must be reached, or the server refuses to start
// (a missing one would let jobs overlap or, for the Avahi one, end the server).
//

#include <dlfcn.h>

#include <cstring>

#include <avahi-client/lookup.h>

#include "hook_check.h"
#include "line_watch.h"
#include "pappl_guards.h"
#include "printer_app.h"
#include "restart_state.h"

//
// '_papplJobValidateDocumentAttributes()' - PAPPL's check of a job request's document, then
//                                           our adjustments of a request that passed.
//

extern "C" bool _papplJobValidateDocumentAttributes(pappl_client_t *client) {
  using Validate = bool (*)(pappl_client_t *);
  auto validate =
      reinterpret_cast<Validate>(dlsym(RTLD_NEXT, "_papplJobValidateDocumentAttributes"));
  if (validate == nullptr || !validate(client)) {
    return false;
  }
  AdjustJobRequest(client);
  return true;
}

//
// 'avahi_service_browser_new()' - Avahi's service browser, or none for a null client.
//

extern "C" AvahiServiceBrowser *avahi_service_browser_new(
    AvahiClient *client, AvahiIfIndex interface, AvahiProtocol protocol, const char *type,
    const char *domain, AvahiLookupFlags flags, AvahiServiceBrowserCallback callback,
    void *userdata) {
  using BrowserNew =
      AvahiServiceBrowser *(*)(AvahiClient *, AvahiIfIndex, AvahiProtocol, const char *,
                               const char *, AvahiLookupFlags, AvahiServiceBrowserCallback, void *);
  if (client == nullptr) {
    return nullptr;
  }
  auto avahi = reinterpret_cast<BrowserNew>(dlsym(RTLD_NEXT, "avahi_service_browser_new"));
  if (avahi == nullptr) {
    return nullptr;
  }
  return avahi(client, interface, protocol, type, domain, flags, callback, userdata);
}

//
// 'papplDeviceClose()' - PAPPL's device close, put off while a job holds the device.
//

extern "C" void papplDeviceClose(pappl_device_t *device) {
  if (device != nullptr && PutOffClose(device)) {
    return;
  }
  using Close = void (*)(pappl_device_t *);
  auto close = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "papplDeviceClose"));
  if (close != nullptr) {
    close(device);
  }
}

//
// '_papplJobProcess()' - PAPPL's job thread, for the printer's lowest pending job, behind the
//                        printer's gate.
//
// The gate is held from before PAPPL opens the device for the job until after it closed it.
//

extern "C" void *_papplJobProcess(pappl_job_t *job) {
  // The job may be gone once the thread has waited (canceled and cleaned up meanwhile): only
  // its printer and id are used after the wait.
  pappl_printer_t *printer = papplJobGetPrinter(job);
  int id = papplJobGetID(job);
  pappl_job_t *next = TakeGateForNextJob(printer, job);
  if (next == nullptr) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG,
                    "No job left to process when job %d was started: that start is dropped.", id);
    return nullptr;
  }
  if (papplJobGetID(next) != id) {
    papplLogJob(next, PAPPL_LOGLEVEL_DEBUG, "Processed before job %d, which came after it.", id);
  }
  using Process = void *(*)(pappl_job_t *);
  auto process = reinterpret_cast<Process>(dlsym(RTLD_NEXT, "_papplJobProcess"));
  std::string marker = MarkJobPrinting(next);
  void *result = process != nullptr ? process(next) : nullptr;
  UnmarkJobPrinting(printer, marker);
  ReleasePrinterGate(printer);
  return result;
}

//
// '_papplPrinterCopyStateNoLock()' - PAPPL's printer-state attributes, then the stalled
//                                    line's message and reason.
//
// The attributes PAPPL adds are those after the last one the message had before the call (a
// response may hold several printers).
//

extern "C" void _papplPrinterCopyStateNoLock(pappl_printer_t *printer, ipp_tag_t group_tag,
                                             ipp_t *ipp, pappl_client_t *client, cups_array_t *ra) {
  using Copy = void (*)(pappl_printer_t *, ipp_tag_t, ipp_t *, pappl_client_t *, cups_array_t *);
  auto copy = reinterpret_cast<Copy>(dlsym(RTLD_NEXT, "_papplPrinterCopyStateNoLock"));
  if (copy == nullptr) {
    return;
  }
  ipp_attribute_t *last = nullptr;
  for (ipp_attribute_t *attr = ippFirstAttribute(ipp); attr != nullptr;
       attr = ippNextAttribute(ipp)) {
    last = attr;
  }
  copy(printer, group_tag, ipp, client, ra);
  if (!LineStalled(printer)) {
    return;
  }

  // The attributes just added: find them again after the one that was last.
  ipp_attribute_t *message = nullptr, *reasons = nullptr;
  bool added = last == nullptr;
  for (ipp_attribute_t *attr = ippFirstAttribute(ipp); attr != nullptr;
       attr = ippNextAttribute(ipp)) {
    if (!added) {
      added = attr == last;
      continue;
    }
    const char *name = ippGetName(attr);
    if (name != nullptr && strcmp(name, "printer-state-message") == 0) {
      message = attr;
    } else if (name != nullptr && strcmp(name, "printer-state-reasons") == 0) {
      reasons = attr;
    }
  }
  if (message != nullptr) {
    ippSetString(ipp, &message, 0, kLineStalledMessage);
  }
  if (reasons != nullptr) {
    const char *first = ippGetString(reasons, 0, nullptr);
    int at = first != nullptr && strcmp(first, "none") == 0 ? 0 : ippGetCount(reasons);
    ippSetString(ipp, &reasons, at, kLineStalledReason);
  }
}

//
// 'CheckPapplHooks()' - Whether every hook above is reached; false with a message naming one
//                       that is not.
//

static const void *FirstDefinition(const char *name) {
  return dlsym(RTLD_DEFAULT, name);
}

static const void *NextDefinition(const char *name) {
  return dlsym(RTLD_NEXT, name);
}

bool CheckPapplHooks(std::string &error) {
  static const Hook kHooks[] = {
      {"_papplJobValidateDocumentAttributes",
       reinterpret_cast<const void *>(&_papplJobValidateDocumentAttributes)},
      {"avahi_service_browser_new", reinterpret_cast<const void *>(&avahi_service_browser_new)},
      {"papplDeviceClose", reinterpret_cast<const void *>(&papplDeviceClose)},
      {"_papplJobProcess", reinterpret_cast<const void *>(&_papplJobProcess)},
      {"_papplPrinterCopyStateNoLock",
       reinterpret_cast<const void *>(&_papplPrinterCopyStateNoLock)},
  };
  error = CheckHooks(kHooks, sizeof kHooks / sizeof kHooks[0], FirstDefinition, NextDefinition);
  return error.empty();
}
