//
// The server's state file and spool folder, for root (a system service) and for any other
// user (a private instance under HOME and TMPDIR, beside a system one).
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
// 'ChooseServerPaths()' - Choose and create the state and spool folders for this user.
//

bool ChooseServerPaths(const char *spoolOption, ServerPaths &paths, std::string &error) {
  uid_t uid = getuid();
  std::string stateDir;
  if (uid == 0) {
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
  paths.stateFile = stateDir + "/" + kStateName;
  return MakeFolders(stateDir, 0700, error) && MakeFolders(paths.spoolDir, 0700, error);
}
