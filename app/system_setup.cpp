//
// The system callback: the server's options, its folders, its listeners and web interface,
// the document filters and the request checks, the driver, and the state it saves.
//

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "printer_app.h"
#include "server_paths.h"

// The port the server listens on when none is given.
constexpr int kDefaultPort = 8000;

// How often the server's loop wakes at the least, in seconds.
constexpr int kWakeUpSeconds = 2;

// DNS-SD subtypes of the printers: a printer for everyone, also for Apple clients.
constexpr const char *kDnssdSubtypes = "_print,_universal";

// Labels of the vendor attributes and their values on the web interface.
constexpr const char *kEnglishStrings =
    "\"vorne-top-margin\" = \"Extra top margin (mm)\";\n"
    "\"vorne-left-margin\" = \"Extra left margin (mm)\";\n"
    "\"vorne-turn-pages\" = \"Turn A5 portrait pages across the carriage\";\n"
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
// 'ServerOptionsOf()' - The system options: web interface on, remote administration off.
//
// server-options may add "web-remote" (administration from other machines, which should then
// have a password, see the web interface's Security page), "no-tls" and "dnssd-host".
// Returns false for an unknown word.
//

static bool ServerOptionsOf(const char *value, pappl_soptions_t &soptions) {
  soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG |
             PAPPL_SOPTIONS_WEB_SECURITY;
  std::string words = value != nullptr ? value : "";
  size_t start = 0;
  while (start < words.size()) {
    size_t comma = words.find(',', start);
    std::string word = words.substr(start, comma - start);
    start = comma == std::string::npos ? words.size() : comma + 1;
    if (word == "web-remote") {
      soptions |= PAPPL_SOPTIONS_WEB_REMOTE;
    } else if (word == "no-tls") {
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
// 'SaveState()' - The save callback: write the printers and their defaults to the state file.
//

static bool SaveState(pappl_system_t *system, void *data) {
  const auto *app = static_cast<const AppContext *>(data);
  return papplSystemSaveState(system, app->stateFile.c_str());
}

//
// 'SetUpSystem()' - Create the system from the server's options; null when they are wrong.
//
// Options (-o NAME=VALUE): log-level, log-file, server-port (8000), server-hostname,
// listen-hostname, spool-directory, server-options; private-server (set by PAPPL when a
// command starts a server of its own) listens on the control socket only.
//

pappl_system_t *SetUpSystem(int num_options, cups_option_t *options, void *data) {
  auto *app = static_cast<AppContext *>(data);

  pappl_loglevel_t loglevel;
  const char *value = cupsGetOption("log-level", num_options, options);
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

  pappl_system_t *system =
      papplSystemCreate(soptions, "quillmarsh", port, kDnssdSubtypes, app->spoolDir.c_str(),
                        cupsGetOption("log-file", num_options, options), loglevel,
                        cupsGetOption("auth-service", num_options, options), false);
  if (system == nullptr) {
    fputs("quillmarsh: Unable to create the printing system.\n", stderr);
    return nullptr;
  }
  if (cupsGetOption("private-server", num_options, options) == nullptr &&
      !papplSystemAddListeners(system, cupsGetOption("listen-hostname", num_options, options))) {
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
  papplSystemAddStringsData(system, "/en.strings", "en", kEnglishStrings);
  papplSystemSetFooterHTML(system,
                           "quillmarsh &mdash; the Vorne 24-pin dot-matrix printer on the "
                           "network.");

  // Raster documents are spooled and printed by our filter; PDF goes through Ghostscript.
  // The filters must be known before the printers are made: PAPPL lists their types in
  // document-format-supported when it creates a printer.
  papplSystemSetMIMECallback(system, DetectDocumentType, nullptr);
  for (const char *type : {kSpooledRasterType, "image/pwg-raster", "image/urf"}) {
    papplSystemAddMIMEFilter(system, type, "image/pwg-raster", PrintRasterDocument, nullptr);
  }
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", PrintPdfDocument,
                           nullptr);

  papplSystemSetPrinterDrivers(system, 1, app->drivers, nullptr, nullptr, SetUpVorneDriver,
                               nullptr);

  papplSystemAddTimerCallback(system, 0, kWakeUpSeconds, WakeUp, nullptr);
  papplSystemSetSaveCallback(system, SaveState, app);
  if (!papplSystemLoadState(system, app->stateFile.c_str())) {
    papplLog(system, PAPPL_LOGLEVEL_INFO, "No saved state in '%s': starting without printers.",
             app->stateFile.c_str());
    papplSystemSetDNSSDName(system, "quillmarsh");
  }
  return system;
}
