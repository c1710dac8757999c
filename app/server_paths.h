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
  // Under systemd, not as root: the fixed name in the service's runtime folder that leads to
  // the control socket (see LinkControlSocket); empty otherwise.
  std::string socketLink;
};

// Chooses the paths for the user running the server and creates their folders.
//
//   systemd's StateDirectory= set (the installed unit, any user):
//              $STATE_DIRECTORY/quillmarsh.state, $STATE_DIRECTORY/spool
//   root:      /var/lib/quillmarsh/quillmarsh.state, /var/spool/quillmarsh
//   any other: $XDG_CONFIG_HOME/quillmarsh.state (else $HOME/.config/quillmarsh.state),
//              $TMPDIR/quillmarsh<uid>.d (else /tmp/...)
//
// The spool holds queued jobs, which must outlive a restart: never in RuntimeDirectory= or a
// private /tmp. With systemd's RuntimeDirectory= set and a user other than root, socketLink is
// $RUNTIME_DIRECTORY/quillmarsh.sock.
//
// spoolOption, when not null, is the spool folder to use instead. Returns false with a
// message in error when a folder cannot be made.
bool ChooseServerPaths(const char *spoolOption, ServerPaths &paths, std::string &error);

// Makes paths.socketLink, when set, a symbolic link to socketPath, the control socket PAPPL
// makes for a user other than root ($TMPDIR/quillmarsh<uid>.sock).
//
// root's commands ("sudo quillmarsh add ...") look for the server at /run/quillmarsh.sock
// only, and the uid in the socket's name is the service user's, chosen when it was created.
// The installed tmpfiles.d entry links /run/quillmarsh.sock to the fixed name
// /run/quillmarsh/quillmarsh.sock, and this link leads on from there. Returns false with a
// message in error when the link cannot be made.
bool LinkControlSocket(const ServerPaths &paths, const std::string &socketPath, std::string &error);

#endif  // QUILLMARSH_APP_SERVER_PATHS_H
