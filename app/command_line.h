//
// The command line before PAPPL's main loop: what the program answers itself (--help,
// --version, the status sub-command) and what it hands on to PAPPL, with submit's copy count
// in a form PAPPL sends.
//

#ifndef QUILLMARSH_APP_COMMAND_LINE_H
#define QUILLMARSH_APP_COMMAND_LINE_H

#include <string>
#include <vector>

#include <cups/cups.h>

// What main() does with a command line: answer it here and exit with status, or run PAPPL's
// main loop on args (argv as given, or with submit's "-n COPIES" as "-o copies=COPIES").
struct CommandLine {
  bool answered = false;
  int status = 0;
  std::vector<std::string> args;
};

// Reads the command line as PAPPL's main loop does. "--help" prints the usage, "--version"
// the program's name and version, "status" asks the server and prints one line (with a space
// before the state reasons, which PAPPL 1.3.1 leaves out); a line PAPPL would refuse is left to
// PAPPL, which says why.
CommandLine ReadCommandLine(int argc, char *argv[], const char *version);

// The usage, on standard output (also PAPPL's usage callback; data is unused).
void PrintUsage(void *data);

// PAPPL 1.3.1's own calls that its sub-commands make (not in its public headers): connect to the
// local server (starting a private one when auto_start is true), connect to an ipp: or ipps:
// URI with its resource path, and add a local printer's printer-uri by name with its resource.
// The status sub-command and the hook on modify use them, to reach the server as PAPPL's
// commands do.
struct MainloopCalls {
  http_t *(*connect)(const char *base_name, bool auto_start);
  http_t *(*connectUri)(const char *base_name, const char *printer_uri, char *resource,
                        size_t rsize);
  void (*addPrinterUri)(ipp_t *request, const char *printer_name, char *resource, size_t rsize);
};

// Finds the calls; null when all are there, else the name of one that is missing.
const char *FindMainloopCalls(MainloopCalls &calls);

#endif  // QUILLMARSH_APP_COMMAND_LINE_H
