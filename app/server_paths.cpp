//
// The server's state file and spool folder: in the folders systemd gives the installed service,
// for root (a server started by hand) and for any other user (a private instance under HOME
// and TMPDIR, beside a system one).
//

#include "server_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

constexpr const char *kRootStateDir = "/var/lib/quillmarsh";
constexpr const char *kRootSpoolDir = "/var/spool/quillmarsh";
constexpr const char *kStateName = "quillmarsh.state";
constexpr const char *kSpoolName = "spool";
constexpr const char *kSocketLinkName = "quillmarsh.sock";

//
// 'MakeFolders()' - Create a folder and those above it that are missing.
//
// New folders get the given mode; existing ones are left as they are. Returns false with
// a message when one cannot be made.
//

static bool MakeFolders(const std::string &path, mode_t mode, std::string &error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
      error = "Unable to create the folder " + part + ": " + strerror(errno);
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
  }
}

// A variable of the environment when it is set and not empty.
static const char *Variable(const char *name) {
  const char *value = getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

//
// 'SystemdFolder()' - The first folder of a variable systemd sets for StateDirectory= and the
// like (a list separated by ':' when the unit names several); empty when it is not set.
//

static std::string SystemdFolder(const char *name) {
  const char *value = Variable(name);
  return value != nullptr ? std::string(value, strcspn(value, ":")) : std::string();
}

//
// 'ChooseServerPaths()' - Choose and create the state and spool folders for this user.
//

bool ChooseServerPaths(const char *spoolOption, ServerPaths &paths, std::string &error) {
  uid_t uid = getuid();
  std::string stateDir = SystemdFolder("STATE_DIRECTORY");
  paths.socketLink.clear();
  if (!stateDir.empty()) {
    // The service: systemd made the folder, owned by the service's user, and keeps it across
    // restarts; the spool lives inside it.
    paths.spoolDir = stateDir + "/" + kSpoolName;
  } else if (uid == 0) {
    stateDir = kRootStateDir;
    paths.spoolDir = kRootSpoolDir;
  } else {
    if (const char *config = Variable("XDG_CONFIG_HOME")) {
      stateDir = config;
    } else {
      const char *home = Variable("HOME");
      const struct passwd *user = home == nullptr ? getpwuid(uid) : nullptr;
      if (home == nullptr && user == nullptr) {
        error = "Neither HOME nor the user's home folder is known.";
        return false;
      }
      stateDir = std::string(home != nullptr ? home : user->pw_dir) + "/.config";
    }
    const char *tmpdir = Variable("TMPDIR");
    paths.spoolDir = std::string(tmpdir != nullptr ? tmpdir : "/tmp") + "/quillmarsh" +
                     std::to_string(uid) + ".d";
  }
  if (spoolOption != nullptr && spoolOption[0] != '\0') {
    paths.spoolDir = spoolOption;
  }
  std::string runtimeDir = SystemdFolder("RUNTIME_DIRECTORY");
  if (uid != 0 && !runtimeDir.empty()) {
    paths.socketLink = runtimeDir + "/" + kSocketLinkName;
  }
  paths.stateFile = stateDir + "/" + kStateName;
  return MakeFolders(stateDir, 0700, error) && MakeFolders(paths.spoolDir, 0700, error);
}

//
// 'LinkControlSocket()' - Make the fixed name in the runtime folder lead to the control socket.
//

bool LinkControlSocket(const ServerPaths &paths, const std::string &socketPath,
                       std::string &error) {
  if (paths.socketLink.empty()) {
    return true;
  }
  // A link left by a server before this one (the folder is the service's own) is replaced.
  if ((unlink(paths.socketLink.c_str()) != 0 && errno != ENOENT) ||
      symlink(socketPath.c_str(), paths.socketLink.c_str()) != 0) {
    error = "Unable to link " + paths.socketLink + " to the control socket " + socketPath + ": " +
            strerror(errno);
    return false;
  }
  return true;
}
