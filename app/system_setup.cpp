//
// The system callback: the server's options, its folders, its listeners and web interface,
// the document filters and the request checks, the driver, and the state it saves.
//

#include <grp.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "access_policy.h"
#include "printer_app.h"
#include "restart_state.h"
#include "server_paths.h"

// The port the server listens on when none is given.
constexpr int kDefaultPort = 8000;

// How often the server's loop wakes at the least, in seconds.
constexpr int kWakeUpSeconds = 2;

// The group whose members administer, when PAM checks passwords.
constexpr const char *kDefaultAdminGroup = "lpadmin";

// The size at which the log file is rotated, and the range allowed: a busy hour at debug
// level fits in the default.
constexpr size_t kDefaultMaxLogSize = 10 * 1024 * 1024;
constexpr size_t kMinMaxLogSize = 64 * 1024;
constexpr size_t kMaxMaxLogSize = static_cast<size_t>(1024) * 1024 * 1024;

// DNS-SD subtypes of the printers: a printer for everyone, also for Apple clients.
constexpr const char *kDnssdSubtypes = "_print,_universal";

// Labels of the vendor attributes and their values on the web interface.
constexpr const char *kEnglishStrings =
    "\"vorne-top-margin\" = \"Extra top margin (mm)\";\n"
    "\"vorne-left-margin\" = \"Extra left margin (mm)\";\n"
    "\"vorne-turn-pages\" = \"Turn A5 portrait pages across the carriage\";\n"
    "\"vorne-page-end\" = \"Page end\";\n"
    "\"vorne-page-end.form-feed\" = \"Form feed (the printer's form length)\";\n"
    "\"vorne-page-end.feed\" = \"Feed the page's length\";\n"
    "\"media.oe_fanfold_9.5x11in\" = \"Fanfold 9.5 x 11 in\";\n";

//
// 'LogLevelOf()' - The log level an option names; false for an unknown name.
//

static bool LogLevelOf(const char *value, pappl_loglevel_t &level) {
  static const struct {
    const char *name;
    pappl_loglevel_t level;
  } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                 {"error", PAPPL_LOGLEVEL_ERROR},
                 {"warn", PAPPL_LOGLEVEL_WARN},
                 {"info", PAPPL_LOGLEVEL_INFO},
                 {"debug", PAPPL_LOGLEVEL_DEBUG}};
  if (value == nullptr) {
    level = PAPPL_LOGLEVEL_UNSPEC;
    return true;
  }
  for (const auto &entry : kLevels) {
    if (strcmp(value, entry.name) == 0) {
      level = entry.level;
      return true;
    }
  }
  return false;
}

//
// 'CommaWords()' - The words of an option's value between commas, empty ones too; none for
//                  null.
//

static std::vector<std::string> CommaWords(const char *value) {
  std::vector<std::string> words;
  if (value == nullptr) {
    return words;
  }
  std::string text = value;
  size_t start = 0, comma;
  while ((comma = text.find(',', start)) != std::string::npos) {
    words.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  words.push_back(text.substr(start));
  return words;
}

//
// 'ServerOptionsOf()' - The system options: the web interface and its log page.
//
// server-options may add "no-tls" and "dnssd-host". PAPPL's Security page (a password of its
// own) is left out: administrators are the admin group's members, checked by PAM. Returns
// false for an unknown word.
//

static bool ServerOptionsOf(const char *value, pappl_soptions_t &soptions) {
  soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG;
  for (const std::string &word : CommaWords(value)) {
    if (word == "no-tls") {
      soptions |= PAPPL_SOPTIONS_NO_TLS;
    } else if (word == "dnssd-host") {
      soptions |= PAPPL_SOPTIONS_DNSSD_HOST;
    } else if (!word.empty()) {
      fprintf(stderr, "quillmarsh: Unknown server-options value '%s'.\n", word.c_str());
      return false;
    }
  }
  return true;
}

//
// 'SerialPortsOf()' - The ports of the serial-ports option: absolute paths separated by commas
// (none for null). Returns false for an empty or relative path. The web pages check each port
// again when it is chosen.
//

static bool SerialPortsOf(const char *value, std::vector<std::string> &ports) {
  ports = CommaWords(value);
  for (const std::string &path : ports) {
    if (path.size() < 2 || path[0] != '/') {
      return false;
    }
  }
  return true;
}

//
// 'WakeUp()' - A timer that only wakes the server's loop.
//
// PAPPL 1.3.1 notices a Shutdown-All-Printers request ("quillmarsh shutdown") only when its
// loop next wakes for a client or a timer; this timer wakes it every few seconds, so that the
// server stops without waiting for another request. Returns true to stay scheduled.
//

static bool WakeUp(pappl_system_t *system, void *data) {
  (void)system;
  (void)data;
  return true;
}

//
// 'SaveState()' - The save callback: write the printers, their defaults and their jobs to the
//                 state file, whole or not at all.
//

static bool SaveState(pappl_system_t *system, void *data) {
  const auto *app = static_cast<const AppContext *>(data);
  return SaveStateFile(system, app->stateFile);
}

//
// 'AddEnglishStrings()' - The labels of the web interface, without a strings language.
//
// PAPPL 1.3.1 answers each Get-Printer-Attributes by adding printer-strings-languages-supported
// to the printer's own attributes, once more on every request, when a resource has a language
// (as papplSystemAddStringsData gives it): the reply grows without end. The labels are therefore
// loaded as PAPPL does it (into its English localization, which the web interface reads), then
// the resource with the language is replaced by the same text without one, still served at
// /en.strings. Clients see no printer-strings-uri for the few vendor labels.
//

static void AddEnglishStrings(pappl_system_t *system) {
  papplSystemAddStringsData(system, "/en.strings", "en", kEnglishStrings);
  papplSystemRemoveResource(system, "/en.strings");
  papplSystemAddResourceString(system, "/en.strings", "text/strings", kEnglishStrings);
}

//
// 'SetUpSystem()' - Create the system from the server's options; null when they are wrong.
//
// Options (-o NAME=VALUE): log-level, log-file, max-log-size (10m), server-port (8000),
// server-hostname, listen (loopback, any or an address), spool-directory, server-options,
// auth-service (a PAM service), admin-group (lpadmin), file-devices (no), serial-ports (ports
// the web pages offer besides those found, by commas); private-server
// (set by PAPPL when a command starts a server of its own) listens on the control socket
// only.
//

pappl_system_t *SetUpSystem(int num_options, cups_option_t *options, void *data) {
  auto *app = static_cast<AppContext *>(data);

  if (cupsGetOption("listen-hostname", num_options, options) != nullptr) {
    fputs("quillmarsh: listen-hostname is replaced by listen=loopback, any or an address.\n",
          stderr);
    return nullptr;
  }
  std::string listen_host;
  if (!ListenHostOf(cupsGetOption("listen", num_options, options), listen_host)) {
    fprintf(stderr, "quillmarsh: Bad listen value '%s'.\n",
            cupsGetOption("listen", num_options, options));
    return nullptr;
  }
  const char *value = cupsGetOption("file-devices", num_options, options);
  if (!YesNoOf(value, false, app->fileDevices)) {
    fprintf(stderr, "quillmarsh: Bad file-devices value '%s'.\n", value);
    return nullptr;
  }
  if (!SerialPortsOf(cupsGetOption("serial-ports", num_options, options), app->serialPorts)) {
    fprintf(stderr, "quillmarsh: Bad serial-ports value '%s' (absolute paths, by commas).\n",
            cupsGetOption("serial-ports", num_options, options));
    return nullptr;
  }
  size_t max_log_size = kDefaultMaxLogSize;
  value = cupsGetOption("max-log-size", num_options, options);
  if (value != nullptr && !SizeOf(value, kMinMaxLogSize, kMaxMaxLogSize, max_log_size)) {
    fprintf(stderr, "quillmarsh: Bad max-log-size value '%s' (64k to 1g).\n", value);
    return nullptr;
  }
  // An admin group that does not exist is a mistake the server does not start with: no one
  // could administer with a password, and PAPPL's own check would take every user PAM
  // accepts for an administrator.
  const char *auth_service = cupsGetOption("auth-service", num_options, options);
  const char *admin_group = cupsGetOption("admin-group", num_options, options);
  if (admin_group == nullptr && auth_service != nullptr) {
    admin_group = kDefaultAdminGroup;
  }
  if (admin_group != nullptr && getgrnam(admin_group) == nullptr) {
    fprintf(stderr, "quillmarsh: The admin group '%s' does not exist.\n", admin_group);
    return nullptr;
  }

  pappl_loglevel_t loglevel;
  value = cupsGetOption("log-level", num_options, options);
  if (!LogLevelOf(value, loglevel)) {
    fprintf(stderr, "quillmarsh: Bad log-level value '%s'.\n", value);
    return nullptr;
  }
  pappl_soptions_t soptions;
  if (!ServerOptionsOf(cupsGetOption("server-options", num_options, options), soptions)) {
    return nullptr;
  }
  int port = kDefaultPort;
  if ((value = cupsGetOption("server-port", num_options, options)) != nullptr) {
    char *end = nullptr;
    long number = strtol(value, &end, 10);
    if (!isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || number < 1 ||
        number > 65535) {
      fprintf(stderr, "quillmarsh: Bad server-port value '%s'.\n", value);
      return nullptr;
    }
    port = static_cast<int>(number);
  }

  ServerPaths paths;
  std::string error;
  if (!ChooseServerPaths(cupsGetOption("spool-directory", num_options, options), paths, error)) {
    fprintf(stderr, "quillmarsh: %s\n", error.c_str());
    return nullptr;
  }
  app->stateFile = paths.stateFile;
  app->spoolDir = paths.spoolDir;

  pappl_system_t *system = papplSystemCreate(
      soptions, "quillmarsh", port, kDnssdSubtypes, app->spoolDir.c_str(),
      cupsGetOption("log-file", num_options, options), loglevel, auth_service, false);
  if (system == nullptr) {
    fputs("quillmarsh: Unable to create the printing system.\n", stderr);
    return nullptr;
  }
  papplSystemSetMaxLogSize(system, max_log_size);
  if (admin_group != nullptr) {
    papplSystemSetAdminGroup(system, admin_group);
  }

  // Without its hooks the server could print jobs over each other: it does not start.
  if (!app->hookError.empty()) {
    papplLog(system, PAPPL_LOGLEVEL_FATAL, "%s Not starting.", app->hookError.c_str());
    fprintf(stderr, "quillmarsh: %s Not starting.\n", app->hookError.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  papplLog(system, PAPPL_LOGLEVEL_INFO, "PAPPL hooks: active");
  if (cupsGetOption("private-server", num_options, options) == nullptr &&
      !papplSystemAddListeners(system, listen_host.empty() ? nullptr : listen_host.c_str())) {
    fprintf(stderr, "quillmarsh: Unable to listen on port %d (see the log).\n", port);
    papplSystemDelete(system);
    return nullptr;
  }
  // PAPPL makes the control socket right after this callback, at this path (as its
  // _papplMainloopGetServerPath() names it for a user other than root).
  if (cupsGetOption("private-server", num_options, options) == nullptr &&
      !LinkControlSocket(
          paths,
          std::string(papplGetTempDir()) + "/quillmarsh" + std::to_string(getuid()) + ".sock",
          error)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "%s; root's commands will not find the server.",
             error.c_str());
  }
  if ((value = cupsGetOption("server-hostname", num_options, options)) != nullptr) {
    papplSystemSetHostName(system, value);
  }
  AddEnglishStrings(system);
  papplSystemSetFooterHTML(system,
                           "quillmarsh &mdash; the Vorne 24-pin dot-matrix printer on the "
                           "network.");

  // Every format goes through a filter of ours: raster documents are spooled and read with
  // libcups, PNG and JPEG decoded with bounds, PDF rendered by Ghostscript. A job looks for a
  // filter to the driver's format first, so ours come before PAPPL's own image filters (to
  // image/pwg-raster), which are never reached. The filters must be known before the printers
  // are made: PAPPL lists their types in document-format-supported when it creates a printer.
  papplSystemSetMIMECallback(system, DetectDocumentType, nullptr);
  for (const char *type : {kSpooledRasterType, "image/pwg-raster", "image/urf"}) {
    papplSystemAddMIMEFilter(system, type, "image/pwg-raster", PrintRasterDocument, nullptr);
  }
  papplSystemAddMIMEFilter(system, "image/png", kSpooledRasterType, PrintPngDocument, nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", kSpooledRasterType, PrintJpegDocument, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", PrintPdfDocument,
                           nullptr);

  // The printers' icons are drawn from the test page, before any printer is made.
  if (!MakeIcons(*app)) {
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "Unable to draw the printer icons (out of memory?): PAPPL's own are shown.");
  }
  // Our Add Printer page replaces PAPPL's (added before the server runs); each serial printer
  // gets its Serial Line page when it is made, on every path (IPP, web page, state file).
  AddSerialWebPages(system, app);
  papplSystemSetPrinterDrivers(system, 1, app->drivers, nullptr, AddPrinterPages, SetUpVorneDriver,
                               app);

  papplSystemAddTimerCallback(system, 0, kWakeUpSeconds, WakeUp, nullptr);
  papplSystemSetSaveCallback(system, SaveState, app);
  if (!LoadStateFile(system, app->stateFile, app->spoolDir)) {
    papplLog(system, PAPPL_LOGLEVEL_INFO, "No saved state in '%s': starting without printers.",
             app->stateFile.c_str());
    papplSystemSetDNSSDName(system, "quillmarsh");
  }
  // Restored pending jobs start as soon as the server runs, not when a new job arrives.
  papplSystemAddTimerCallback(system, time(nullptr), 1, StartRestoredJobs, nullptr);
  papplSystemAddTimerCallback(system, time(nullptr), 1, WatchForStopSignal, nullptr);
  return system;
}
