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
//   the hook on the copy of a printer's state into responses says what is wrong with the line
//   (it takes no data, as a job finds it; or its port is not there, as the driver's status
//   callback finds it: LineReport in pappl_guards.h), and the hook on the printer's state on
//   the web pages shows the same message below it. The same hook reports the printer-id of a
//   printer added while the server runs, which PAPPL lists as 0 (it records the id it was
//   asked for, 0 for "a new one", before it hands out the real one): the "default" and
//   "delete" commands look printers up by that id.
// - PAPPL 1.3.1's web job tables show no job's message (how it ended, why it did not print):
//   the hook on its iteration over a printer's jobs, when the web pages' table asks, adds the
//   message in a row below each job's.
// - PAPPL 1.3.1 leaves job-hold-until-specified out of job-state-reasons (its loop over the
//   reason bits stops one short), so a held job has no reasons at all: the hook on the copy of
//   a job's state adds it.
// - PAPPL 1.3.1 takes a file: device only when the file exists and may be written: the hook on
//   its check also takes a file that does not exist yet in a folder the server may write,
//   which the device makes when it first prints (the driver still refuses file: devices unless
//   the server allows them).
// - PAPPL 1.3.1 lets every client on loopback administer when no PAM service is set, and
//   any local account through the control socket; with a PAM service it asks remote clients
//   for TLS and a password even to print, and counts only an administrator's primary group.
//   The hooks on its two checks (administration, and access to a printer's jobs), on the web
//   pages' login and on their form check apply our own policy instead (access_policy.cpp).
//   The hook on printer creation checks the name on every path (IPP, the web page, the state
//   file); the one on its listeners closes the control socket to other users.
// - PAPPL 1.3.1 checks only the scheme of a new printer's device URI, and cannot change the
//   device of a printer at all ("modify -v" is taken and never sent): the hook on its system
//   operations refuses a Create-Printer whose device URI we refuse, with the reason; the hook
//   on its printer operations takes a Set-Printer-Attributes with smi55357-device-uri and
//   moves the printer to the device (printer_device.cpp); the hook on its modify sub-command
//   sends -v so.
//
// The hooks were written for PAPPL 1.3.1 (the build refuses another version), and they are
// listed in kHooks below: at start-up each must be reached, or the server refuses to start
// (a missing one would let jobs overlap or, for the Avahi one, end the server).
//

#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include <cstring>

#include <avahi-client/lookup.h>

#include "access_policy.h"
#include "command_line.h"
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
  // Without memory for the marker the job still prints, as when the marker cannot be written.
  std::string marker;
  try {
    marker = MarkJobPrinting(next);
  } catch (const std::bad_alloc &) {
    papplLogJob(next, PAPPL_LOGLEVEL_WARN,
                "Unable to mark the job as printing (out of memory): a restart will not know it "
                "was.");
  }
  void *result = process != nullptr ? process(next) : nullptr;
  UnmarkJobPrinting(printer, marker);
  ReleasePrinterGate(printer);
  return result;
}

//
// 'LastAttribute()' - The last attribute of a message, null for none.
//

static ipp_attribute_t *LastAttribute(ipp_t *ipp) {
  ipp_attribute_t *last = nullptr;
  for (ipp_attribute_t *attr = ippFirstAttribute(ipp); attr != nullptr;
       attr = ippNextAttribute(ipp)) {
    last = attr;
  }
  return last;
}

//
// 'FindAdded()' - The attribute of that name after 'last' (all of them when null), or null.
//

static ipp_attribute_t *FindAdded(ipp_t *ipp, ipp_attribute_t *last, const char *name) {
  bool added = last == nullptr;
  for (ipp_attribute_t *attr = ippFirstAttribute(ipp); attr != nullptr;
       attr = ippNextAttribute(ipp)) {
    if (!added) {
      added = attr == last;
      continue;
    }
    const char *attr_name = ippGetName(attr);
    if (attr_name != nullptr && strcmp(attr_name, name) == 0) {
      return attr;
    }
  }
  return nullptr;
}

//
// 'ReportPrinterId()' - Set a printer-id of 0 in the last group of a response to the printer's
//                       own id.
//
// PAPPL copies a printer's attributes, printer-id among them, just before its state; the
// last group (after the last separator) is the printer's.
//

static void ReportPrinterId(pappl_printer_t *printer, ipp_t *ipp) {
  ipp_attribute_t *id = nullptr;
  for (ipp_attribute_t *attr = ippFirstAttribute(ipp); attr != nullptr;
       attr = ippNextAttribute(ipp)) {
    const char *name = ippGetName(attr);
    if (name == nullptr) {
      id = nullptr;  // a separator: the next printer's group
    } else if (strcmp(name, "printer-id") == 0 && ippGetValueTag(attr) == IPP_TAG_INTEGER) {
      id = attr;
    }
  }
  if (id != nullptr && ippGetInteger(id, 0) == 0 && papplPrinterGetID(printer) > 0) {
    ippSetInteger(ipp, &id, 0, papplPrinterGetID(printer));
  }
}

//
// '_papplPrinterCopyStateNoLock()' - PAPPL's printer-state attributes, then the printer's own
//                                    printer-id and what is wrong with the line: the message,
//                                    and offline-report.
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
  ipp_attribute_t *last = LastAttribute(ipp);
  copy(printer, group_tag, ipp, client, ra);
  if (group_tag == IPP_TAG_PRINTER) {
    ReportPrinterId(printer, ipp);
  }
  std::string report;
  try {
    if (!LineReport(printer, report)) {
      return;
    }
  } catch (const std::bad_alloc &) {
    return;
  }

  // The attributes just added: find them again after the one that was last.
  ipp_attribute_t *message = FindAdded(ipp, last, "printer-state-message");
  ipp_attribute_t *reasons = FindAdded(ipp, last, "printer-state-reasons");
  // PAPPL adds the message as a constant (the string is not copied): it is replaced by a copy
  // of the report, at the end of the printer's attributes.
  if (message != nullptr) {
    ippDeleteAttribute(ipp, message);
    ippAddString(ipp, group_tag, IPP_TAG_TEXT, "printer-state-message", nullptr, report.c_str());
  }
  if (reasons != nullptr) {
    const char *first = ippGetString(reasons, 0, nullptr);
    int at = first != nullptr && strcmp(first, "none") == 0 ? 0 : ippGetCount(reasons);
    ippSetString(ipp, &reasons, at, kLineStalledReason);
  }
}

//
// '_papplPrinterWebIteratorCallback()' - PAPPL's printer state on the web pages, then what is
//                                        wrong with the line.
//

extern "C" void _papplPrinterWebIteratorCallback(pappl_printer_t *printer, pappl_client_t *client) {
  using Show = void (*)(pappl_printer_t *, pappl_client_t *);
  auto show = reinterpret_cast<Show>(dlsym(RTLD_NEXT, "_papplPrinterWebIteratorCallback"));
  if (show != nullptr) {
    show(printer, client);  // asks the driver's status callback first
  }
  ShowLineReport(client, printer);
}

// The web job table's row callback and its client, for ShowJobRow.
struct JobTable {
  pappl_job_cb_t row;
  pappl_client_t *client;
};

// PAPPL's row of a job in the web job table, then the job's message below it.
static void ShowJobRow(pappl_job_t *job, void *data) {
  auto *table = static_cast<JobTable *>(data);
  table->row(job, table->client);
  ShowJobOutcome(table->client, job);
}

//
// 'papplPrinterIterateAllJobs()' - PAPPL's iteration over a printer's jobs; for the web pages'
//                                  job tables, each job's message below its row.
//
// In PAPPL 1.3.1 only the job tables of a printer's web pages (its home page and its Jobs
// page) iterate over all jobs, with their row callback and the client as data: a call that
// comes from inside the library is one of those. Calls from the application pass unchanged.
//

extern "C" void papplPrinterIterateAllJobs(pappl_printer_t *printer, pappl_job_cb_t cb, void *data,
                                           int job_index, int limit) {
  using Iterate = void (*)(pappl_printer_t *, pappl_job_cb_t, void *, int, int);
  auto iterate = reinterpret_cast<Iterate>(dlsym(RTLD_NEXT, "papplPrinterIterateAllJobs"));
  if (iterate == nullptr) {
    return;
  }
  Dl_info caller, library;
  if (cb != nullptr && dladdr(__builtin_return_address(0), &caller) != 0 &&
      dladdr(reinterpret_cast<void *>(iterate), &library) != 0 &&
      caller.dli_fbase == library.dli_fbase) {
    JobTable table{cb, static_cast<pappl_client_t *>(data)};
    iterate(printer, ShowJobRow, &table, job_index, limit);
    return;
  }
  iterate(printer, cb, data, job_index, limit);
}

//
// '_papplJobCopyStateNoLock()' - PAPPL's job-state attributes, with job-hold-until-specified
//                                among the reasons of a job that has it.
//

extern "C" void _papplJobCopyStateNoLock(pappl_job_t *job, ipp_tag_t group_tag, ipp_t *ipp,
                                         cups_array_t *ra) {
  using Copy = void (*)(pappl_job_t *, ipp_tag_t, ipp_t *, cups_array_t *);
  auto copy = reinterpret_cast<Copy>(dlsym(RTLD_NEXT, "_papplJobCopyStateNoLock"));
  if (copy == nullptr) {
    return;
  }
  ipp_attribute_t *last = LastAttribute(ipp);
  copy(job, group_tag, ipp, ra);
  if ((papplJobGetReasons(job) & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED) == 0 ||
      (ra != nullptr && cupsArrayFind(ra, const_cast<char *>("job-state-reasons")) == nullptr)) {
    return;
  }
  static const char kHoldReason[] = "job-hold-until-specified";
  ipp_attribute_t *reasons = FindAdded(ipp, last, "job-state-reasons");
  if (reasons == nullptr) {
    ippAddString(ipp, group_tag, IPP_TAG_KEYWORD, "job-state-reasons", nullptr, kHoldReason);
    return;
  }
  int count = ippGetCount(reasons);
  for (int i = 0; i < count; i++) {
    if (strcmp(ippGetString(reasons, i, nullptr), kHoldReason) == 0) {
      return;
    }
  }
  const char *first = ippGetString(reasons, 0, nullptr);
  ippSetString(ipp, &reasons, first != nullptr && strcmp(first, "none") == 0 ? 0 : count,
               kHoldReason);
}

//
// 'papplDeviceIsSupported()' - PAPPL's check of a device URI, which also takes a file: device
//                              whose file the server may create.
//

extern "C" bool papplDeviceIsSupported(const char *uri) {
  using IsSupported = bool (*)(const char *);
  auto supported = reinterpret_cast<IsSupported>(dlsym(RTLD_NEXT, "papplDeviceIsSupported"));
  if (supported == nullptr) {
    return false;
  }
  if (supported(uri)) {
    return true;
  }
  try {
    return IsFileDeviceToCreate(uri);
  } catch (const std::bad_alloc &) {
    return false;
  }
}

//
// 'IsAdmin()' - True when the user (a name, or a uid) is in the system's admin group.
//

static bool IsAdmin(pappl_system_t *system, const char *user) {
  char buffer[256];
  const char *group = papplSystemGetAdminGroup(system, buffer, sizeof buffer);
  return group != nullptr && IsGroupMember(user, group);
}

static bool IsAdmin(pappl_system_t *system, uid_t uid) {
  const struct passwd *account = getpwuid(uid);
  return account != nullptr && IsAdmin(system, account->pw_name);
}

//
// 'BasicUser()' - The user name of the client's HTTP Basic credentials, empty when none.
//

static std::string BasicUser(pappl_client_t *client) {
  const char *field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
  if (field == nullptr || strncmp(field, "Basic ", 6) != 0) {
    return "";
  }
  char decoded[512];
  int length = sizeof decoded;
  httpDecode64_2(decoded, &length, field + 6);
  std::string pair(decoded, static_cast<size_t>(length > 0 ? length : 0));
  return pair.substr(0, pair.find(':'));
}

//
// 'FactsOf()' - What the server knows of a client: how it is connected, who it says it is,
//               and the owner of the job its request names.
//
// Over the control socket the kernel tells the peer's uid: the server's own user, root or a
// member of the admin group administers (the socket's mode decides who can connect at all).
//

static ClientFacts FactsOf(pappl_client_t *client) {
  ClientFacts facts;
  http_t *http = papplClientGetHTTP(client);
  http_addr_t *address = httpGetAddress(http);
  facts.controlSocket = httpAddrFamily(address) == AF_LOCAL;
  if (facts.controlSocket) {
    struct ucred peer;
    socklen_t length = sizeof peer;
    if (getsockopt(httpGetFd(http), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
      facts.socketPeerAdmin =
          peer.uid == getuid() || peer.uid == 0 || IsAdmin(papplClientGetSystem(client), peer.uid);
    }
  }
  facts.loopback = !facts.controlSocket && httpAddrLocalhost(address);
  facts.encrypted = papplClientIsEncrypted(client);
  facts.authService = papplSystemGetAuthService(papplClientGetSystem(client)) != nullptr;
  // The job's owner is its originating user: the authenticated user, else the
  // requesting-user-name, as PAPPL records it when it makes the job.
  const char *user = papplClientGetUsername(client);
  if (user == nullptr) {
    user = ippGetString(
        ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME), 0,
        nullptr);
  }
  facts.user = user != nullptr ? user : "guest";
  if (pappl_job_t *job = papplClientGetJob(client)) {
    const char *owner = papplJobGetUsername(job);
    facts.jobOwner = owner != nullptr ? owner : "";
  }
  return facts;
}

//
// 'CheckAccess()' - The policy's answer for a client that needs the role, as an HTTP status:
//                   HTTP_STATUS_CONTINUE to go on.
//
// A password is checked by PAPPL's own check with no group (PAM only: it asks for
// credentials, and from the network for TLS, as needed); the admin group is checked here.
//

static http_status_t CheckAccess(pappl_client_t *client, Role role) {
  ClientFacts facts = FactsOf(client);
  switch (DecideAccess(role, facts)) {
    case Verdict::kAllow:
      return HTTP_STATUS_CONTINUE;
    case Verdict::kUpgradeRequired:
      return HTTP_STATUS_UPGRADE_REQUIRED;
    case Verdict::kForbidden:
      papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused: '%s' is not an administrator.",
                     facts.user.c_str());
      return HTTP_STATUS_FORBIDDEN;
    case Verdict::kCheckPassword:
      break;
  }
  using ForGroup = http_status_t (*)(pappl_client_t *, bool, const char *, gid_t);
  auto check = reinterpret_cast<ForGroup>(dlsym(RTLD_NEXT, "_papplClientIsAuthorizedForGroup"));
  if (check == nullptr) {
    return HTTP_STATUS_FORBIDDEN;
  }
  http_status_t code = check(client, false, nullptr, static_cast<gid_t>(-1));
  if (code != HTTP_STATUS_CONTINUE) {
    return code;
  }
  std::string user = BasicUser(client);
  if (user.empty() || !IsAdmin(papplClientGetSystem(client), user.c_str())) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused: '%s' is not in the admin group.",
                   user.c_str());
    return HTTP_STATUS_FORBIDDEN;
  }
  papplClientSetUsername(client, user.c_str());
  return HTTP_STATUS_CONTINUE;
}

//
// 'Authorize()' - CheckAccess for PAPPL's C callers: a check that cannot finish (out of
//                 memory for the client's names) refuses, and nothing thrown reaches PAPPL.
//

static http_status_t Authorize(pappl_client_t *client, Role role) {
  try {
    return CheckAccess(client, role);
  } catch (const std::exception &error) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Refused: access check failed: %s", error.what());
    return HTTP_STATUS_SERVER_ERROR;
  }
}

//
// 'papplClientIsAuthorized()' - PAPPL's administration check: an administrator or nobody.
//

extern "C" http_status_t papplClientIsAuthorized(pappl_client_t *client) {
  if (client == nullptr) {
    return HTTP_STATUS_BAD_REQUEST;
  }
  return Authorize(client, Role::kAdministrator);
}

//
// '_papplPrinterIsAuthorized()' - PAPPL's check of a printer's job operations: the role the
//                                 operation needs; responds and returns false when refused.
//

extern "C" bool _papplPrinterIsAuthorized(pappl_client_t *client) {
  http_status_t code = Authorize(client, RoleOfOperation(papplClientGetOperation(client)));
  if (code == HTTP_STATUS_CONTINUE) {
    return true;
  }
  papplClientRespond(client, code, nullptr, nullptr, 0, 0);
  return false;
}

//
// 'papplClientHTMLAuthorize()' - The web pages' login: an administrator sees the page; anyone
//                                else gets no form and the reason.
//
// PAPPL's own login shows every page to every client when no password is set, and its
// password is not a user's. Here a browser is asked for a PAM user's name and password (HTTP
// Basic, over TLS from the network) and the page is shown only to an administrator; anyone
// else sees why, and no form.
//

extern "C" bool papplClientHTMLAuthorize(pappl_client_t *client) {
  if (client == nullptr) {
    return false;
  }
  http_status_t code = Authorize(client, Role::kAdministrator);
  if (code == HTTP_STATUS_CONTINUE) {
    return true;
  }
  if (code != HTTP_STATUS_UNAUTHORIZED && code != HTTP_STATUS_FORBIDDEN) {
    papplClientRespond(client, code, nullptr, nullptr, 0, 0);  // to https, or an error
    return false;
  }
  // The browser asks for a name and password on 401; this page is what it shows without.
  papplClientRespond(client, code, nullptr, "text/html", 0, 0);
  papplClientHTMLHeader(client, "Administrators only", 0);
  papplClientHTMLPuts(client,
                      "    <div class=\"content\">\n"
                      "      <h1 class=\"title\">Administrators only</h1>\n"
                      "      <p>This page is for the printer's administrators: log in as a "
                      "member of the server's admin group.</p>\n"
                      "    </div>\n");
  papplClientHTMLFooter(client);
  return false;
}

//
// 'papplClientIsValidForm()' - PAPPL's check of a posted web form, for administrators only.
//
// Every form PAPPL's web pages take changes something, and its pages guard most of them with
// their login; a printer's home page does not, and pauses, resumes or holds the printer for
// any client that copies the session token from the page. Every posted form passes here.
//

extern "C" bool papplClientIsValidForm(pappl_client_t *client, int num_form, cups_option_t *form) {
  if (client == nullptr || Authorize(client, Role::kAdministrator) != HTTP_STATUS_CONTINUE) {
    return false;
  }
  using IsValidForm = bool (*)(pappl_client_t *, int, cups_option_t *);
  auto valid = reinterpret_cast<IsValidForm>(dlsym(RTLD_NEXT, "papplClientIsValidForm"));
  return valid != nullptr && valid(client, num_form, form);
}

//
// 'papplPrinterCreate()' - PAPPL's printer creation, for a name our check accepts.
//
// A refused name fails with EINVAL, which PAPPL reports to an IPP client as a bad printer
// name; the log says why.
//

extern "C" pappl_printer_t *papplPrinterCreate(pappl_system_t *system, int printer_id,
                                               const char *printer_name, const char *driver_name,
                                               const char *device_id, const char *device_uri) {
  try {
    std::string error;
    if (!CheckPrinterName(printer_name, error)) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer '%s' refused: %s",
               printer_name != nullptr ? printer_name : "", error.c_str());
      errno = EINVAL;
      return nullptr;
    }
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
    return nullptr;
  }
  using Create = pappl_printer_t *(*)(pappl_system_t *, int, const char *, const char *,
                                      const char *, const char *);
  auto create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "papplPrinterCreate"));
  if (create == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  return create(system, printer_id, printer_name, driver_name, device_id, device_uri);
}

//
// 'RefuseDeviceUri()' - Answer a request whose device URI CheckDeviceUri refuses, with the
//                       reason as its status message; false when the URI passes.
//

static bool RefuseDeviceUri(pappl_client_t *client, ipp_attribute_t *attr) {
  std::string error;
  if (CheckDeviceUri(ippGetString(attr, 0, nullptr), error)) {
    return false;
  }
  papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Device URI refused: %s", error.c_str());
  papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "%s", error.c_str());
  ipp_t *response = papplClientGetResponse(client);
  ipp_attribute_t *copy = ippCopyAttribute(response, attr, 0);
  ippSetGroupTag(response, &copy, IPP_TAG_UNSUPPORTED_GROUP);
  return true;
}

//
// 'IsOneUri()' - Whether the attribute is one URI in the operation group.
//

static bool IsOneUri(ipp_attribute_t *attr) {
  return ippGetGroupTag(attr) == IPP_TAG_OPERATION && ippGetValueTag(attr) == IPP_TAG_URI &&
         ippGetCount(attr) == 1;
}

//
// '_papplSystemProcessIPP()' - PAPPL's system operations; a Create-Printer from an
//                              administrator whose device URI we refuse is answered here.
//
// PAPPL checks only that it knows the URI's scheme, and the driver callback cannot tell the
// client why it refuses a printer: a serial line set wrong would be found out only when a job
// fails to open the port.
//

extern "C" void _papplSystemProcessIPP(pappl_client_t *client) {
  ipp_t *request = papplClientGetRequest(client);
  ipp_attribute_t *attr = ippFindAttribute(request, "smi55357-device-uri", IPP_TAG_ZERO);
  try {
    if (ippGetOperation(request) == IPP_OP_CREATE_PRINTER && attr != nullptr && IsOneUri(attr) &&
        Authorize(client, Role::kAdministrator) == HTTP_STATUS_CONTINUE &&
        RefuseDeviceUri(client, attr)) {
      return;
    }
  } catch (const std::exception &error) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "%s", error.what());
    return;
  }
  using Process = void (*)(pappl_client_t *);
  auto process = reinterpret_cast<Process>(dlsym(RTLD_NEXT, "_papplSystemProcessIPP"));
  if (process != nullptr) {
    process(client);
  }
}

//
// 'MovePrinter()' - A Set-Printer-Attributes with smi55357-device-uri: the printer moved to
//                   the device, for an administrator; false for any other request.
//
// PAPPL 1.3.1 cannot change a printer's device URI; "quillmarsh modify -v" sends it alone in
// a request of its own (the hook on _papplMainloopModifyPrinter).
//

static bool MovePrinter(pappl_client_t *client) {
  ipp_t *request = papplClientGetRequest(client);
  ipp_attribute_t *attr = ippFindAttribute(request, "smi55357-device-uri", IPP_TAG_ZERO);
  pappl_printer_t *printer = papplClientGetPrinter(client);
  if (ippGetOperation(request) != IPP_OP_SET_PRINTER_ATTRIBUTES || attr == nullptr ||
      printer == nullptr) {
    return false;
  }
  http_status_t code = Authorize(client, Role::kAdministrator);
  if (code != HTTP_STATUS_CONTINUE) {
    papplClientRespond(client, code, nullptr, nullptr, 0, 0);
    return true;
  }
  if (!IsOneUri(attr)) {
    papplClientRespondIPPUnsupported(client, attr);
    return true;
  }
  for (ipp_attribute_t *other = ippFirstAttribute(request); other != nullptr;
       other = ippNextAttribute(request)) {
    if (ippGetGroupTag(other) == IPP_TAG_PRINTER) {
      papplClientRespondIPP(client, IPP_STATUS_ERROR_BAD_REQUEST,
                            "Send smi55357-device-uri in a request of its own.");
      return true;
    }
  }
  if (RefuseDeviceUri(client, attr)) {
    return true;
  }
  std::string error;
  if (MovePrinterToDevice(printer, ippGetString(attr, 0, nullptr), error) == nullptr) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_NOT_POSSIBLE, "%s", error.c_str());
    return true;
  }
  papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
  return true;
}

//
// '_papplPrinterProcessIPP()' - PAPPL's printer operations, after a move to another device.
//

extern "C" void _papplPrinterProcessIPP(pappl_client_t *client) {
  try {
    if (MovePrinter(client)) {
      return;
    }
  } catch (const std::exception &error) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "%s", error.what());
    return;
  }
  using Process = void (*)(pappl_client_t *);
  auto process = reinterpret_cast<Process>(dlsym(RTLD_NEXT, "_papplPrinterProcessIPP"));
  if (process != nullptr) {
    process(client);
  }
}

//
// 'SendOneAttribute()' - One attribute of the modify sub-command (the device URI, or the
//                        content default) in a Set-Printer-Attributes of its own; false, with
//                        PAPPL's wording of the failure on stderr, when refused.
//

static bool SendOneAttribute(const char *base_name, int num_options, cups_option_t *options,
                             ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                             const char *value) {
  MainloopCalls calls;
  if (FindMainloopCalls(calls) != nullptr) {
    fprintf(stderr, "%s: Unable to modify printer: this PAPPL cannot send a device URI.\n",
            base_name);
    return false;
  }
  const char *printer_uri = cupsGetOption("printer-uri", num_options, options);
  const char *printer_name = cupsGetOption("printer-name", num_options, options);
  char resource[1024];
  http_t *http = nullptr;
  if (printer_uri != nullptr) {
    http = calls.connectUri(base_name, printer_uri, resource, sizeof resource);
  } else if (printer_name == nullptr) {
    fprintf(stderr, "%s: Missing '-d PRINTER'.\n", base_name);
    return false;
  } else {
    http = calls.connect(base_name, true);
  }
  if (http == nullptr) {
    return false;
  }
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  if (printer_uri != nullptr) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri);
  } else {
    calls.addPrinterUri(request, printer_name, resource, sizeof resource);
  }
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request, group, value_tag, name, nullptr, value);
  ippDelete(cupsDoRequest(http, request, resource));
  httpClose(http);
  if (cupsLastError() != IPP_STATUS_OK) {
    fprintf(stderr, "%s: Unable to modify printer: %s\n", base_name, cupsLastErrorString());
    return false;
  }
  return true;
}

//
// '_papplMainloopModifyPrinter()' - The modify sub-command: -v moves the printer to the
//                                   device first, with the content default, then PAPPL's sets
//                                   the other options.
//
// PAPPL 1.3.1 takes -v for modify but never sends it, and sends print-content-optimize (the
// default that makes a driverless queue's jobs print as text) under a name no printer knows,
// print-content-optimize-mode-default.
//

extern "C" int _papplMainloopModifyPrinter(const char *base_name, int num_options,
                                           cups_option_t *options) {
  using Modify = int (*)(const char *, int, cups_option_t *);
  auto modify = reinterpret_cast<Modify>(dlsym(RTLD_NEXT, "_papplMainloopModifyPrinter"));
  if (modify == nullptr) {
    return 1;
  }
  static const char *const kOwn[] = {"smi55357-device-uri", "print-content-optimize",
                                     "print-content-optimize-default"};
  const char *device_uri = cupsGetOption(kOwn[0], num_options, options);
  const char *content_optimize = cupsGetOption(kOwn[1], num_options, options);
  if (content_optimize == nullptr) {
    content_optimize = cupsGetOption(kOwn[2], num_options, options);
  }
  if (device_uri == nullptr && content_optimize == nullptr) {
    return modify(base_name, num_options, options);
  }
  // The move comes first and alone (see MovePrinter).
  if ((device_uri != nullptr &&
       !SendOneAttribute(base_name, num_options, options, IPP_TAG_OPERATION, IPP_TAG_URI,
                         "smi55357-device-uri", device_uri)) ||
      (content_optimize != nullptr &&
       !SendOneAttribute(base_name, num_options, options, IPP_TAG_PRINTER, IPP_TAG_KEYWORD,
                         "print-content-optimize-default", content_optimize))) {
    return 1;
  }
  int num_rest = 0;
  cups_option_t *rest = nullptr;
  for (int i = 0; i < num_options; i++) {
    if (strcmp(options[i].name, kOwn[0]) != 0 && strcmp(options[i].name, kOwn[1]) != 0 &&
        strcmp(options[i].name, kOwn[2]) != 0) {
      num_rest = cupsAddOption(options[i].name, options[i].value, num_rest, &rest);
    }
  }
  int status = modify(base_name, num_rest, rest);
  cupsFreeOptions(num_rest, rest);
  return status;
}

//
// 'papplSystemAddListeners()' - PAPPL's listeners; the control socket closed to other users.
//
// libcups makes a domain socket mode 0777. The control socket is given mode 0600, or 0660
// with the admin group when one is set (admin-group, or auth-service with its default) and
// the server's user may hand the socket to that group, before the server
// accepts its first client; a client that connected in between is still only a user (see
// FactsOf).
//

extern "C" bool papplSystemAddListeners(pappl_system_t *system, const char *name) {
  using AddListeners = bool (*)(pappl_system_t *, const char *);
  auto add = reinterpret_cast<AddListeners>(dlsym(RTLD_NEXT, "papplSystemAddListeners"));
  if (add == nullptr || !add(system, name)) {
    return false;
  }
  if (name == nullptr || name[0] != '/') {
    return true;
  }
  mode_t mode = S_IRUSR | S_IWUSR;
  char buffer[256];
  const char *group_name = papplSystemGetAdminGroup(system, buffer, sizeof buffer);
  const struct group *group = group_name != nullptr ? getgrnam(group_name) : nullptr;
  if (group != nullptr && chown(name, static_cast<uid_t>(-1), group->gr_gid) == 0) {
    mode |= S_IRGRP | S_IWGRP;
  }
  if (chmod(name, mode) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_FATAL, "Unable to restrict the control socket '%s': %s", name,
             strerror(errno));
    return false;
  }
  return true;
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
      {"_papplPrinterWebIteratorCallback",
       reinterpret_cast<const void *>(&_papplPrinterWebIteratorCallback)},
      {"papplPrinterIterateAllJobs", reinterpret_cast<const void *>(&papplPrinterIterateAllJobs)},
      {"_papplJobCopyStateNoLock", reinterpret_cast<const void *>(&_papplJobCopyStateNoLock)},
      {"papplDeviceIsSupported", reinterpret_cast<const void *>(&papplDeviceIsSupported)},
      {"papplClientIsAuthorized", reinterpret_cast<const void *>(&papplClientIsAuthorized)},
      {"_papplPrinterIsAuthorized", reinterpret_cast<const void *>(&_papplPrinterIsAuthorized)},
      {"papplClientHTMLAuthorize", reinterpret_cast<const void *>(&papplClientHTMLAuthorize)},
      {"papplClientIsValidForm", reinterpret_cast<const void *>(&papplClientIsValidForm)},
      {"papplPrinterCreate", reinterpret_cast<const void *>(&papplPrinterCreate)},
      {"papplSystemAddListeners", reinterpret_cast<const void *>(&papplSystemAddListeners)},
      {"_papplSystemProcessIPP", reinterpret_cast<const void *>(&_papplSystemProcessIPP)},
      {"_papplPrinterProcessIPP", reinterpret_cast<const void *>(&_papplPrinterProcessIPP)},
      {"_papplMainloopModifyPrinter", reinterpret_cast<const void *>(&_papplMainloopModifyPrinter)},
  };
  error = CheckHooks(kHooks, sizeof kHooks / sizeof kHooks[0], FirstDefinition, NextDefinition);
  // PAPPL's own functions the modify hook calls.
  MainloopCalls calls;
  const char *missing = FindMainloopCalls(calls);
  if (error.empty() && missing != nullptr) {
    error = std::string("PAPPL function ") + missing + " is missing (is this PAPPL 1.3.1?).";
  }
  return error.empty();
}
