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
// - PAPPL may start a job twice, and closes a printer's device just after the job that used
//   it has let the next job start: the hook on its job thread lets only one thread process a
//   job, and the hook on its device close puts the close off while a job holds the device
//   (pappl_guards.cpp). The job thread's hook also leaves a marker of the job being printed
//   for as long as it runs, so that a restart knows which job was cut off (restart_state.cpp).
//
// The hooks were written for PAPPL 1.3.1 (the build refuses another version), and they are
// listed in kHooks below: at start-up each must be reached, or the server refuses to start
// (a missing one would let jobs overlap or, for the Avahi one, end the server).
//

#include <dlfcn.h>

#include <avahi-client/lookup.h>

#include "hook_check.h"
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
// '_papplJobProcess()' - PAPPL's job thread, for the one thread that claims the job.
//

extern "C" void *_papplJobProcess(pappl_job_t *job) {
  if (!ClaimJob(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Job already being processed: this start is dropped.");
    return nullptr;
  }
  using Process = void *(*)(pappl_job_t *);
  auto process = reinterpret_cast<Process>(dlsym(RTLD_NEXT, "_papplJobProcess"));
  MarkJobPrinting(job);
  void *result = process != nullptr ? process(job) : nullptr;
  UnmarkJobPrinting(job);
  ReleaseJob(job);
  return result;
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
  };
  error = CheckHooks(kHooks, sizeof kHooks / sizeof kHooks[0], FirstDefinition, NextDefinition);
  return error.empty();
}
