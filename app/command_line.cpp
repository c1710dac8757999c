//
// The command line before PAPPL's main loop. PAPPL 1.3.1's main loop reads "-n COPIES" into an
// option that its submit never sends, prints the status line without a space before the state
// reasons, prints its version number alone, and describes devices of other printers in its
// usage; the program answers --help, --version and status itself and rewrites submit's copy
// count, and hands every other command line to PAPPL as it came.
//

#include "command_line.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cups/cups.h>
#include <pappl/pappl.h>

namespace {

// A command line as PAPPL's main loop reads it.
struct ParsedLine {
  bool valid = true;       // false: PAPPL refuses it (and says why)
  bool help = false;       // "--help" came first
  bool version = false;    // "--version" came first
  std::string subcommand;  // empty for submit
  size_t words = 0;        // file names and other words
  int num_options = 0;     // the options, named as PAPPL names them
  cups_option_t *options = nullptr;
  std::vector<int> copies;  // argv indexes of the values of "-n"

  ParsedLine() = default;
  ParsedLine(const ParsedLine &) = delete;
  ParsedLine &operator=(const ParsedLine &) = delete;
  ~ParsedLine() {
    cupsFreeOptions(num_options, options);
  }
};

const char *const kSubcommands[] = {
    "add",     "autoadd", "cancel",   "default", "delete", "devices",  "drivers", "jobs",  "modify",
    "options", "pause",   "printers", "resume",  "server", "shutdown", "status",  "submit"};

//
// 'OptionName()' - The option a letter that takes a value sets, as PAPPL names it; null for a
//                  letter that takes none or is unknown.
//

const char *OptionName(char letter) {
  switch (letter) {
    case 'd':
      return "printer-name";
    case 'h':
      return "server-hostname";
    case 'j':
      return "job-id";
    case 'm':
      return "smi55357-driver";
    case 'n':
      return "num-copies";
    case 't':
      return "job-name";
    case 'u':
      return "printer-uri";
    case 'v':
      return "smi55357-device-uri";
    default:
      return nullptr;
  }
}

//
// 'IsSubcommand()' - True for one of PAPPL's sub-commands.
//

bool IsSubcommand(const char *word) {
  for (const char *name : kSubcommands) {
    if (strcmp(word, name) == 0) {
      return true;
    }
  }
  return false;
}

//
// 'ParseLine()' - Read the arguments as PAPPL 1.3.1's main loop does.
//
// PAPPL acts on the first letter of an option group once for every letter in it ("-dd" takes
// two printer names), and stops at the first "--help" or "--version".
//

void ParseLine(int argc, char *argv[], ParsedLine &line) {
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "--help") == 0) {
      line.help = true;
      return;
    }
    if (strcmp(arg, "--version") == 0) {
      line.version = true;
      return;
    }
    if (strcmp(arg, "--") == 0) {
      if (++i >= argc) {
        line.valid = false;
        return;
      }
      line.words++;
    } else if (strncmp(arg, "--", 2) == 0) {
      line.valid = false;
      return;
    } else if (arg[0] == '-' && arg[1] != '\0') {
      for (const char *letter = arg + 1; *letter != '\0'; letter++) {
        if (arg[1] == 'a') {
          line.num_options = cupsAddOption("cancel-all", "true", line.num_options, &line.options);
          continue;
        }
        if (arg[1] == 'o' && letter[1] != '\0' && strchr(letter, '=') != nullptr) {
          line.valid = false;  // "-oNAME=VALUE": PAPPL wants a space after -o
          return;
        }
        const char *name = OptionName(arg[1]);
        if ((name == nullptr && arg[1] != 'o') || ++i >= argc) {
          line.valid = false;
          return;
        }
        if (arg[1] == 'o') {
          line.num_options = cupsParseOptions(argv[i], line.num_options, &line.options);
        } else {
          line.num_options = cupsAddOption(name, argv[i], line.num_options, &line.options);
        }
        if (arg[1] == 'n' && arg[2] == '\0') {
          line.copies.push_back(i);
        }
      }
    } else {
      if (strcmp(arg, "-") == 0 && ++i >= argc) {
        return;
      }
      if (!IsSubcommand(argv[i])) {
        line.words++;
      } else if (!line.subcommand.empty()) {
        line.valid = false;
        return;
      } else {
        line.subcommand = argv[i];
      }
    }
  }
}

//
// 'StatusLine()' - "Running, STATE since DATE REASONS." from a printer's or the system's
//                  state attributes ("since DATE" only when there is a date).
//

std::string StatusLine(ipp_t *response, const char *prefix) {
  static const char *const kStates[] = {"idle", "processing jobs", "stopped"};
  std::string name = std::string(prefix) + "-state";
  int state = ippGetInteger(ippFindAttribute(response, name.c_str(), IPP_TAG_ENUM), 0);
  if (state < IPP_PSTATE_IDLE) {
    state = IPP_PSTATE_IDLE;
  } else if (state > IPP_PSTATE_STOPPED) {
    state = IPP_PSTATE_STOPPED;
  }
  // A server whose state has not changed since it started gives no time (1970 otherwise).
  name = std::string(prefix) + "-state-change-date-time";
  ipp_attribute_t *changed = ippFindAttribute(response, name.c_str(), IPP_TAG_DATE);
  time_t since = changed != nullptr ? ippDateToTime(ippGetDate(changed, 0)) : 0;
  char date[256];
  std::string when =
      since > 0 ? std::string(" since ") + httpGetDateString2(since, date, sizeof date) : "";

  std::string reasons;
  name = std::string(prefix) + "-state-reasons";
  ipp_attribute_t *attr = ippFindAttribute(response, name.c_str(), IPP_TAG_KEYWORD);
  for (int i = 0, count = ippGetCount(attr); i < count; i++) {
    const char *reason = ippGetString(attr, i, nullptr);
    if (reason != nullptr && strcmp(reason, "none") != 0) {
      reasons += (reasons.empty() ? " " : ", ") + std::string(reason);
    }
  }
  return std::string("Running, ") + kStates[state - IPP_PSTATE_IDLE] + when + reasons + ".";
}

//
// 'ShowStatus()' - The status sub-command: the server's state, or a printer's (-d or -u); the
//                  exit status.
//

int ShowStatus(const char *base_name, const ParsedLine &line) {
  MainloopCalls calls;
  if (const char *missing = FindMainloopCalls(calls)) {
    fprintf(stderr, "%s: PAPPL function %s is missing (is this PAPPL 1.3.1?).\n", base_name,
            missing);
    return 1;
  }
  const char *uri = cupsGetOption("printer-uri", line.num_options, line.options);
  const char *printer = cupsGetOption("printer-name", line.num_options, line.options);
  char resource[1024];
  http_t *http = nullptr;
  if (uri != nullptr) {
    if ((http = calls.connectUri(base_name, uri, resource, sizeof resource)) == nullptr) {
      return 1;
    }
  } else if ((http = calls.connect(base_name, false)) == nullptr) {
    puts("Server is not running.");
    return 0;
  }

  static const char *const kPrinterAttrs[] = {"printer-state", "printer-state-change-date-time",
                                              "printer-state-reasons"};
  static const char *const kSystemAttrs[] = {"system-state", "system-state-change-date-time",
                                             "system-state-reasons"};
  bool of_printer = uri != nullptr || printer != nullptr;
  ipp_t *request =
      ippNewRequest(of_printer ? IPP_OP_GET_PRINTER_ATTRIBUTES : IPP_OP_GET_SYSTEM_ATTRIBUTES);
  if (uri != nullptr) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  } else if (printer != nullptr) {
    calls.addPrinterUri(request, printer, resource, sizeof resource);
  } else {
    snprintf(resource, sizeof resource, "/ipp/system");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                 "ipp://localhost/ipp/system");
  }
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr,
                of_printer ? kPrinterAttrs : kSystemAttrs);
  ipp_t *response = cupsDoRequest(http, request, resource);
  httpClose(http);

  int status = 0;
  if (cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    fprintf(stderr, "%s: Unable to get the status of '%s': %s\n", base_name,
            uri != nullptr       ? uri
            : printer != nullptr ? printer
                                 : "the server",
            cupsLastErrorString());
    status = 1;
  } else {
    puts(StatusLine(response, of_printer ? "printer" : "system").c_str());
  }
  ippDelete(response);
  return status;
}

//
// 'ValidCopies()' - True for a copy count PAPPL sends: a whole number from 1 to 9999.
//

bool ValidCopies(const char *value) {
  char *end = nullptr;
  errno = 0;
  long copies = strtol(value, &end, 10);
  return end != value && *end == '\0' && errno == 0 && copies >= 1 && copies <= 9999;
}

}  // namespace

//
// 'FindMainloopCalls()' - Find PAPPL's own calls for its sub-commands.
//

const char *FindMainloopCalls(MainloopCalls &calls) {
  calls.connect =
      reinterpret_cast<decltype(calls.connect)>(dlsym(RTLD_DEFAULT, "_papplMainloopConnect"));
  calls.connectUri =
      reinterpret_cast<decltype(calls.connectUri)>(dlsym(RTLD_DEFAULT, "_papplMainloopConnectURI"));
  calls.addPrinterUri = reinterpret_cast<decltype(calls.addPrinterUri)>(
      dlsym(RTLD_DEFAULT, "_papplMainloopAddPrinterURI"));
  return calls.connect == nullptr         ? "_papplMainloopConnect"
         : calls.connectUri == nullptr    ? "_papplMainloopConnectURI"
         : calls.addPrinterUri == nullptr ? "_papplMainloopAddPrinterURI"
                                          : nullptr;
}

//
// 'PrintUsage()' - Print the usage on standard output.
//

void PrintUsage(void *data) {
  (void)data;
  fputs(
      "Usage: quillmarsh SUB-COMMAND [OPTIONS] [FILENAME]\n"
      "       quillmarsh [OPTIONS] [FILENAME]\n"
      "       quillmarsh [OPTIONS] -\n"
      "\n"
      "Sub-commands:\n"
      "  add              Add a printer (-d, -v, -m).\n"
      "  cancel           Cancel a job (-j) or all jobs (-a).\n"
      "  default          Show the default printer, or set it (-d).\n"
      "  delete           Delete a printer (-d).\n"
      "  devices          List the serial ports and network printers.\n"
      "  drivers          List the drivers.\n"
      "  jobs             List the jobs.\n"
      "  modify           Change a printer's settings (-o) or its device (-v).\n"
      "  options          List a printer's options.\n"
      "  pause            Pause a printer.\n"
      "  printers         List the printers.\n"
      "  resume           Resume a printer.\n"
      "  server           Run the server.\n"
      "  shutdown         Stop the server.\n"
      "  status           Show the server's state, or a printer's (-d).\n"
      "  submit           Print files (the sub-command when none is given).\n"
      "\n"
      "Options:\n"
      "  -a               All jobs (cancel).\n"
      "  -d PRINTER       The printer.\n"
      "  -h HOSTNAME      The server's host name (server).\n"
      "  -j JOB-ID        The job (cancel).\n"
      "  -m DRIVER-NAME   The driver (add): vorne24.\n"
      "  -n COPIES        The number of copies (submit).\n"
      "  -o NAME=VALUE    An option (add, modify, server, submit).\n"
      "  -t TITLE         The job's title (submit).\n"
      "  -u URI           An ipp: or ipps: printer or server instead of the local one.\n"
      "  -v DEVICE-URI    The device (add, modify): serial:/dev/ttyS0?baud=9600,\n"
      "                   socket://HOST:PORT, or file:PATH on a server started with\n"
      "                   -o file-devices=yes.\n"
      "  --help           Show this help.\n"
      "  --version        Show the program's name and version.\n",
      stdout);
}

//
// 'ReadCommandLine()' - Answer --help, --version and status, or prepare the arguments for
//                       PAPPL's main loop.
//

CommandLine ReadCommandLine(int argc, char *argv[], const char *version) {
  CommandLine command;
  command.args.assign(argv, argv + argc);
  ParsedLine line;
  ParseLine(argc, argv, line);
  if (!line.valid) {
    return command;
  }
  command.answered = true;
  if (line.help) {
    PrintUsage(nullptr);
  } else if (line.version) {
    printf("quillmarsh %s\n", version);
  } else if (line.subcommand == "status" && line.words == 0) {
    const char *slash = strrchr(argv[0], '/');
    command.status = ShowStatus(slash != nullptr ? slash + 1 : argv[0], line);
  } else if ((line.subcommand.empty() || line.subcommand == "submit") && !line.copies.empty()) {
    // PAPPL's submit sends "copies", which -o sets; its -n sets another option.
    command.answered = false;
    for (int at : line.copies) {
      if (!ValidCopies(argv[at])) {
        fprintf(stderr, "quillmarsh: Bad number of copies '%s' after '-n' (1 to 9999).\n",
                argv[at]);
        command.answered = true;
        command.status = 1;
        return command;
      }
      command.args[static_cast<size_t>(at) - 1] = "-o";
      command.args[static_cast<size_t>(at)] = std::string("copies=") + argv[at];
    }
  } else {
    command.answered = false;
  }
  return command;
}
