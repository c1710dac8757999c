//
// The server's access policy without a server: who may make which request, the printer names
// taken and refused, and the access options' values.
//

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>

#include <string>

#include "access_policy.h"

namespace {

struct AccessCase {
  const char *name;
  Role role;
  ClientFacts facts;
  Verdict expected;
};

// A client on TCP: loopback or not, TLS or not, with or without a PAM service, as user.
ClientFacts Tcp(bool loopback, bool encrypted, bool authService, const char *user = "alice",
                const char *jobOwner = "") {
  ClientFacts facts;
  facts.loopback = loopback;
  facts.encrypted = encrypted;
  facts.authService = authService;
  facts.user = user;
  facts.jobOwner = jobOwner;
  return facts;
}

ClientFacts Socket(bool peerAdmin, const char *user = "bob", const char *jobOwner = "") {
  ClientFacts facts = Tcp(false, false, false, user, jobOwner);
  facts.controlSocket = true;
  facts.socketPeerAdmin = peerAdmin;
  return facts;
}

TEST(AccessPolicy, DecidesForEachKindOfClient) {
  const Role admin = Role::kAdministrator, owner = Role::kOwnerOrAdmin;
  const AccessCase cases[] = {
      {"anyone prints from the network", Role::kAnyone, Tcp(false, false, true), Verdict::kAllow},
      {"socket: the server's user", admin, Socket(true), Verdict::kAllow},
      {"socket: another account", admin, Socket(false), Verdict::kForbidden},
      {"loopback without PAM is just a user", admin, Tcp(true, false, false), Verdict::kForbidden},
      {"network without PAM", admin, Tcp(false, true, false), Verdict::kForbidden},
      {"network, plain HTTP, PAM", admin, Tcp(false, false, true), Verdict::kUpgradeRequired},
      {"network, TLS, PAM", admin, Tcp(false, true, true), Verdict::kCheckPassword},
      {"loopback, PAM", admin, Tcp(true, false, true), Verdict::kCheckPassword},
      {"the job's owner", owner, Tcp(false, false, false, "alice", "alice"), Verdict::kAllow},
      {"another user's job", owner, Tcp(false, false, false, "mallory", "alice"),
       Verdict::kForbidden},
      {"another user's job, PAM", owner, Tcp(false, false, true, "mallory", "alice"),
       Verdict::kUpgradeRequired},
      {"no job named", owner, Tcp(true, false, false, "alice", ""), Verdict::kForbidden},
      {"owner rights are not an admin's", admin, Tcp(true, false, false, "alice", "alice"),
       Verdict::kForbidden},
      {"another user's job over the socket", owner, Socket(true, "root", "alice"), Verdict::kAllow},
  };
  for (const AccessCase &c : cases) {
    EXPECT_EQ(DecideAccess(c.role, c.facts), c.expected) << c.name;
  }
}

TEST(AccessPolicy, PrinterNames) {
  const std::string longest(kMaxPrinterName, 'a');
  const struct {
    std::string name;
    const char *error;  // null when taken
  } cases[] = {
      {"vorne", nullptr},
      {"Vorne-2_office.1", nullptr},
      {"9pin", nullptr},
      {longest, nullptr},
      {longest + "a", "Printer names are at most 127 bytes long."},
      {std::string(200, 'x'), "Printer names are at most 127 bytes long."},
      {"", "A printer name is required."},
      {"..", "Printer names cannot start with '.'."},
      {".x", "Printer names cannot start with '.'."},
      {"a/b", "Printer names may contain only letters, digits, '-', '_' and '.'."},
      {"a b", "Printer names may contain only letters, digits, '-', '_' and '.'."},
      {"caf\xc3\xa9", "Printer names may contain only letters, digits, '-', '_' and '.'."},
      {"a\\b", "Printer names may contain only letters, digits, '-', '_' and '.'."},
      {"a%2Fb", "Printer names may contain only letters, digits, '-', '_' and '.'."},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_EQ(CheckPrinterName(c.name.c_str(), error), c.error == nullptr) << c.name;
    EXPECT_EQ(error, c.error != nullptr ? c.error : "") << c.name;
  }
  std::string error;
  EXPECT_FALSE(CheckPrinterName(nullptr, error));
}

TEST(AccessPolicy, OptionValues) {
  const struct {
    const char *value;
    bool ok;
    const char *host;
  } listens[] = {{nullptr, true, "localhost"},
                 {"loopback", true, "localhost"},
                 {"any", true, ""},
                 {"192.0.2.2", true, "192.0.2.2"},
                 {"[fd00::2]", true, "[fd00::2]"},
                 {"", false, ""},
                 {"a b", false, ""},
                 {"/tmp/sock", false, ""}};
  for (const auto &c : listens) {
    std::string host = "unchanged";
    EXPECT_EQ(ListenHostOf(c.value, host), c.ok) << (c.value ? c.value : "null");
    if (c.ok) {
      EXPECT_EQ(host, c.host);
    }
  }

  const size_t kMin = 64 * 1024, kMax = size_t{1} << 30;
  const struct {
    const char *value;
    bool ok;
    size_t size;
  } sizes[] = {{"10m", true, 10 * 1024 * 1024},
               {"65536", true, 65536},
               {"64K", true, 65536},
               {"1g", true, size_t{1} << 30},
               {"2g", false, 0},
               {"65535", false, 0},
               {"-1", false, 0},
               {"10mb", false, 0},
               {"", false, 0},
               {"99999999999999999999", false, 0}};
  for (const auto &c : sizes) {
    size_t size = 7;
    EXPECT_EQ(SizeOf(c.value, kMin, kMax, size), c.ok) << c.value;
    EXPECT_EQ(size, c.ok ? c.size : 7) << c.value;
  }

  bool yes = false;
  EXPECT_TRUE(YesNoOf("yes", false, yes) && yes);
  EXPECT_TRUE(YesNoOf(nullptr, false, yes) && !yes);
  EXPECT_FALSE(YesNoOf("1", false, yes));
  EXPECT_TRUE(IsFileDeviceUri("FILE:///etc/passwd"));
  EXPECT_FALSE(IsFileDeviceUri("serial:/dev/ttyS0"));
}

// A user in a group only as a supplementary member, as "usermod -aG" makes one; false
// when this machine has none.
bool SupplementaryMember(std::string &user, std::string &group) {
  setgrent();
  bool found = false;
  while (const struct group *entry = getgrent()) {
    for (char **member = entry->gr_mem; !found && member != nullptr && *member != nullptr;
         member++) {
      const struct passwd *account = getpwnam(*member);
      if (account != nullptr && account->pw_gid != entry->gr_gid) {
        user = *member;
        group = entry->gr_name;
        found = true;
      }
    }
  }
  endgrent();
  return found;
}

TEST(AccessPolicy, GroupMembership) {
  const struct {
    const char *user, *group;
    bool member;
  } cases[] = {{"root", "root", true},           {"daemon", "daemon", true},
               {"daemon", "bin", false},         {"no-such-user", "root", false},
               {"root", "no-such-group", false}, {nullptr, "root", false}};
  for (const auto &c : cases) {
    EXPECT_EQ(IsGroupMember(c.user, c.group), c.member)
        << (c.user != nullptr ? c.user : "null") << " in " << c.group;
  }
  std::string user, group;
  if (SupplementaryMember(user, group)) {
    EXPECT_TRUE(IsGroupMember(user.c_str(), group.c_str())) << user << " in " << group;
  }
}

}  // namespace
