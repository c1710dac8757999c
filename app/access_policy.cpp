//
// The access policy of the server: roles of requests, the decision for a client, and the
// checks of names, device URIs and the access options.
//

#include "access_policy.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <cups/http.h>
#include <cups/ipp.h>

//
// 'RoleOfOperation()' - The role an IPP operation needs.
//
// Printing and asking stay open to every client, over plain HTTP, as CUPS, Windows and phones
// print. Send-Document and Close-Job belong to the job's owner as Cancel-Job does: no one adds
// a document to another user's job. Subscriptions are reading. Everything else changes the
// server or a printer, or is an operation the table does not know: an administrator's.
//

Role RoleOfOperation(int operation) {
  static const struct {
    ipp_op_t operation;
    Role role;
  } kRoles[] = {
      {IPP_OP_PRINT_JOB, Role::kAnyone},
      {IPP_OP_VALIDATE_JOB, Role::kAnyone},
      {IPP_OP_CREATE_JOB, Role::kAnyone},
      {IPP_OP_GET_JOBS, Role::kAnyone},
      {IPP_OP_GET_JOB_ATTRIBUTES, Role::kAnyone},
      {IPP_OP_GET_PRINTER_ATTRIBUTES, Role::kAnyone},
      {IPP_OP_GET_PRINTERS, Role::kAnyone},
      {IPP_OP_GET_SYSTEM_ATTRIBUTES, Role::kAnyone},
      {IPP_OP_IDENTIFY_PRINTER, Role::kAnyone},
      {IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, Role::kAnyone},
      {IPP_OP_CREATE_JOB_SUBSCRIPTIONS, Role::kAnyone},
      {IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES, Role::kAnyone},
      {IPP_OP_GET_SUBSCRIPTIONS, Role::kAnyone},
      {IPP_OP_RENEW_SUBSCRIPTION, Role::kAnyone},
      {IPP_OP_CANCEL_SUBSCRIPTION, Role::kAnyone},
      {IPP_OP_GET_NOTIFICATIONS, Role::kAnyone},
      {IPP_OP_SEND_DOCUMENT, Role::kOwnerOrAdmin},
      {IPP_OP_CLOSE_JOB, Role::kOwnerOrAdmin},
      {IPP_OP_CANCEL_JOB, Role::kOwnerOrAdmin},
      {IPP_OP_HOLD_JOB, Role::kOwnerOrAdmin},
      {IPP_OP_RELEASE_JOB, Role::kOwnerOrAdmin},
      {IPP_OP_SET_JOB_ATTRIBUTES, Role::kOwnerOrAdmin},
  };
  for (const auto &entry : kRoles) {
    if (entry.operation == operation) {
      return entry.role;
    }
  }
  return Role::kAdministrator;
}

//
// 'DecideAccess()' - Whether a client may make a request that needs the role.
//
// The control socket answers for itself: its peer's uid is known to the kernel, so no
// password is asked. Over TCP only a password checked by PAM makes an administrator, and a
// client on the network must be on TLS before it sends one. Without a PAM service no one
// administers over TCP, the machine's own accounts included.
//

Verdict DecideAccess(Role role, const ClientFacts &facts) {
  if (role == Role::kAnyone) {
    return Verdict::kAllow;
  }
  if (role == Role::kOwnerOrAdmin && !facts.jobOwner.empty() && facts.user == facts.jobOwner) {
    return Verdict::kAllow;
  }
  if (facts.controlSocket) {
    return facts.socketPeerAdmin ? Verdict::kAllow : Verdict::kForbidden;
  }
  if (!facts.authService) {
    return Verdict::kForbidden;
  }
  if (!facts.loopback && !facts.encrypted) {
    return Verdict::kUpgradeRequired;
  }
  return Verdict::kCheckPassword;
}

//
// 'IsGroupMember()' - True when the user is in the group.
//
// PAPPL 1.3.1's own check counts only the primary group with glibc (it takes getgrouplist's
// count of groups for a failure), which would leave out users added to the admin group with
// "usermod -aG".
//

bool IsGroupMember(const char *user, const char *group) {
  const struct passwd *account = user != nullptr ? getpwnam(user) : nullptr;
  const struct group *entry = group != nullptr ? getgrnam(group) : nullptr;
  if (account == nullptr || entry == nullptr) {
    return false;
  }
  gid_t wanted = entry->gr_gid;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
      return false;
    }
  }
  for (int i = 0; i < count; i++) {
    if (groups[static_cast<size_t>(i)] == wanted) {
      return true;
    }
  }
  return false;
}

//
// 'CheckPrinterName()' - Check a printer name; false with the reason.
//
// The name becomes part of the printer's URI path, its web pages and its spool file names:
// '/' and a leading '.' would reach other folders, and control characters or spaces would
// break the URIs.
//

bool CheckPrinterName(const char *name, std::string &error) {
  if (name == nullptr || name[0] == '\0') {
    error = "A printer name is required.";
    return false;
  }
  size_t length = strlen(name);
  if (length > kMaxPrinterName) {
    error = "Printer names are at most " + std::to_string(kMaxPrinterName) + " bytes long.";
    return false;
  }
  if (name[0] == '.') {
    error = "Printer names cannot start with '.'.";
    return false;
  }
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool ascii_alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!ascii_alnum && c != '-' && c != '_' && c != '.') {
      error = "Printer names may contain only letters, digits, '-', '_' and '.'.";
      return false;
    }
  }
  return true;
}

bool IsFileDeviceUri(const char *uri) {
  return uri != nullptr && strncasecmp(uri, "file:", 5) == 0;
}

//
// 'IsFileDeviceToCreate()' - True for a file: device whose file does not exist yet and may be
//                            made.
//
// The path is the URI's resource without its options, as the file device reads it. Nothing
// may be there, not even a dangling link; the folder must exist and be writable.
//

bool IsFileDeviceToCreate(const char *uri) {
  char scheme[32], userpass[256], host[256], resource[1024];
  int port = 0;
  if (!IsFileDeviceUri(uri) ||
      httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass,
                      host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
    return false;
  }
  std::string path(resource, strcspn(resource, "?"));
  size_t slash = path.rfind('/');
  struct stat info;
  if (path.empty() || path[0] != '/' || slash == path.size() - 1 ||
      lstat(path.c_str(), &info) == 0 || errno != ENOENT) {
    return false;
  }
  std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         access(folder.c_str(), W_OK | X_OK) == 0;
}

//
// 'ListenHostOf()' - The host name to listen on for the listen option.
//

bool ListenHostOf(const char *value, std::string &host) {
  if (value == nullptr || strcmp(value, "loopback") == 0) {
    host = "localhost";
    return true;
  }
  if (strcmp(value, "any") == 0) {
    host.clear();
    return true;
  }
  if (value[0] == '\0') {
    return false;
  }
  // Host names, IPv4 addresses and bracketed IPv6 addresses.
  for (const char *p = value; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!isalnum(c) && strchr("-.:[]%", c) == nullptr) {
      return false;
    }
  }
  host = value;
  return true;
}

//
// 'SizeOf()' - A size in bytes with an optional k, m or g.
//

bool SizeOf(const char *value, size_t min, size_t max, size_t &size) {
  if (value == nullptr || !isdigit(static_cast<unsigned char>(value[0]))) {
    return false;
  }
  errno = 0;
  char *end = nullptr;
  unsigned long long number = strtoull(value, &end, 10);
  unsigned long long unit = 1;
  if (*end == 'k' || *end == 'K') {
    unit = 1024;
  } else if (*end == 'm' || *end == 'M') {
    unit = 1024 * 1024;
  } else if (*end == 'g' || *end == 'G') {
    unit = 1024 * 1024 * 1024;
  }
  if (unit != 1) {
    end++;
  }
  if (errno != 0 || *end != '\0' || number > max / unit || number * unit < min) {
    return false;
  }
  size = static_cast<size_t>(number * unit);
  return true;
}

bool YesNoOf(const char *value, bool fallback, bool &result) {
  if (value == nullptr) {
    result = fallback;
    return true;
  }
  for (const char *yes : {"yes", "true", "on"}) {
    if (strcmp(value, yes) == 0) {
      result = true;
      return true;
    }
  }
  for (const char *no : {"no", "false", "off"}) {
    if (strcmp(value, no) == 0) {
      result = false;
      return true;
    }
  }
  return false;
}
