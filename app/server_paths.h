//
// Where the server keeps its files: the state file (printers and their defaults) and the spool
// folder (documents of queued jobs). PAPPL itself puts the control socket beside the spool:
// /run for root, $TMPDIR otherwise.
//

#ifndef QUILLMARSH_APP_SERVER_PATHS_H
#define QUILLMARSH_APP_SERVER_PATHS_H

#include <string>

struct ServerPaths {
  std::string stateFile;
  std::string spoolDir;
};

// Chooses the paths for the user running the server and creates their folders.
//
//   root:      /var/lib/quillmarsh/quillmarsh.state, /var/spool/quillmarsh
//   any other: $XDG_CONFIG_HOME/quillmarsh.state (else $HOME/.config/quillmarsh.state),
//              $TMPDIR/quillmarsh<uid>.d (else /tmp/...)
//
// spoolOption, when not null, is the spool folder to use instead. Returns false with a
// message in error when a folder cannot be made.
bool ChooseServerPaths(const char *spoolOption, ServerPaths &paths, std::string &error);

#endif  // QUILLMARSH_APP_SERVER_PATHS_H
