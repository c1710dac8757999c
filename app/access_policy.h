//
// Who may do what on the printer application's server: the role each IPP operation and web
// page needs, the decision for one client, and the checks of printer names, device URIs and
// the server options that decide where it listens and how large its log grows. No PAPPL here:
// the hooks in pappl_hooks.cpp gather the facts about a client and apply this one policy.
//

#ifndef QUILLMARSH_APP_ACCESS_POLICY_H
#define QUILLMARSH_APP_ACCESS_POLICY_H

#include <cstddef>
#include <string>

// What a request needs of its client.
enum class Role {
  kAnyone,         // printing, listing, reading attributes
  kOwnerOrAdmin,   // changing a job: its owner or an administrator
  kAdministrator,  // changing the server or a printer, reading the log
};

// The role an IPP operation (its ipp_op_t value) needs; an administrator for every operation
// the table does not name. The web pages PAPPL guards with its login all need an
// administrator.
Role RoleOfOperation(int operation);

// What the server knows of a client when it decides.
struct ClientFacts {
  bool controlSocket = false;    // connected over the control socket (AF_LOCAL)
  bool socketPeerAdmin = false;  // and its peer is the server's user, root or an admin-group member
  bool loopback = false;         // connected over TCP from this machine
  bool encrypted = false;        // over TLS
  bool authService = false;      // the server checks passwords with a PAM service
  std::string user;              // the authenticated user, else requesting-user-name
  std::string jobOwner;          // the owner of the job the request names, empty when none
};

// The decision for one request.
enum class Verdict {
  kAllow,            // go on
  kCheckPassword,    // go on only if PAM accepts the client's Basic credentials of a user in
                     // the admin group (PAPPL's own check)
  kUpgradeRequired,  // a client on the network must switch to TLS before it sends a password
  kForbidden,        // never, whatever credentials it sends
};

// Decides whether a client may make a request that needs the role. A local account over
// loopback TCP is just a user; the control socket admits the peers its facts name.
Verdict DecideAccess(Role role, const ClientFacts &facts);

// True when the user is in the group, as its primary group or a supplementary one.
bool IsGroupMember(const char *user, const char *group);

// The longest printer name in bytes.
constexpr size_t kMaxPrinterName = 127;

// Checks a printer name: letters, digits, '-', '_' and '.', not starting with '.', 1 to 127
// bytes. Returns false with the reason in error.
bool CheckPrinterName(const char *name, std::string &error);

// True for a device URI of the file: scheme (any case), which writes into a file.
bool IsFileDeviceUri(const char *uri);

// True for a file: device URI whose absolute path names nothing yet, in a folder this process
// may write: the device makes the file when it first prints.
bool IsFileDeviceToCreate(const char *uri);

// The listen option: "loopback" (the default, also for null), "any", or an address given as
// is. Sets host to the name papplSystemAddListeners takes, empty for every address; false for
// an empty value or one with characters no host name or address has.
bool ListenHostOf(const char *value, std::string &host);

// A size in bytes, with an optional k, m or g (powers of 1024); false for anything else, and
// for sizes under min or over max.
bool SizeOf(const char *value, size_t min, size_t max, size_t &size);

// A yes/no option: "yes", "true", "on" or "no", "false", "off"; fallback when null.
bool YesNoOf(const char *value, bool fallback, bool &result);

#endif  // QUILLMARSH_APP_ACCESS_POLICY_H
