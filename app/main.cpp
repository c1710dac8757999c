//
// 'quillmarsh' - The printer application for the Vorne 24-pin serial dot-matrix printer.
//
// Usage: quillmarsh SUB-COMMAND [OPTIONS] [FILES]
//
// "quillmarsh server" runs the server; add, delete, printers, devices, drivers, submit, jobs,
// cancel, status, shutdown, options and default talk to it, as PAPPL's main loop provides
// (--help, --version and status are answered before it, see command_line.cpp).
//

#include <csignal>
#include <vector>

#include "command_line.h"
#include "printer_app.h"
#include "serial_device.h"

#ifndef QUILLMARSH_VERSION
#define QUILLMARSH_VERSION "0"
#endif

//
// 'main()' - Run PAPPL's main loop with the vorne24 driver and our system set-up.
//

int main(int argc, char *argv[]) {
  CommandLine command = ReadCommandLine(argc, argv, QUILLMARSH_VERSION);
  if (command.answered) {
    return command.status;
  }
  std::vector<char *> args;
  for (std::string &arg : command.args) {
    args.push_back(arg.data());
  }
  args.push_back(nullptr);

  // A printer that goes away mid-write must fail the write, not end the server.
  signal(SIGPIPE, SIG_IGN);
  // The serial: scheme serves the server and the sub-commands that list devices in this
  // process ("devices"), so it is added before the main loop decides which runs.
  AddSerialScheme();

  AppContext app;
  // The server refuses to start without its hooks (SetUpSystem says why in the log).
  CheckPapplHooks(app.hookError);
  return papplMainloop(static_cast<int>(command.args.size()), args.data(), QUILLMARSH_VERSION,
                       nullptr, 1, app.drivers, nullptr, SetUpVorneDriver, nullptr, nullptr,
                       SetUpSystem, PrintUsage, &app);
}
