#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

// The *_r lookups report ERANGE when the buffer is too small for the entry
// (a group with many members); the buffer then grows up to a bound.
constexpr size_t kFirstBuffer = 16384;
constexpr size_t kLastBuffer = 1 << 22;

template <typename Lookup>
std::optional<Account> LookUpWith(Lookup lookup) {
  for (size_t size = kFirstBuffer; size <= kLastBuffer; size *= 4) {
    std::vector<char> buffer(size);
    passwd entry;
    passwd* found = nullptr;
    int error = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE) continue;
    if (error != 0 || found == nullptr) return std::nullopt;
    return Account{found->pw_name, found->pw_uid, found->pw_gid, found->pw_dir};
  }
  return std::nullopt;
}

}  // namespace

std::optional<Account> LookUpAccount(const std::string& name) {
  if (name.empty()) return std::nullopt;
  return LookUpWith([&](passwd* entry, char* buffer, size_t size, passwd** found) {
    return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
  });
}

std::optional<Account> LookUpAccount(uid_t uid) {
  return LookUpWith([&](passwd* entry, char* buffer, size_t size, passwd** found) {
    return ::getpwuid_r(uid, entry, buffer, size, found);
  });
}

std::string AdminGroupName() {
  const char* name = std::getenv("VIGILO_GROUP");
  return name != nullptr && *name != '\0' ? name : "vigilo";
}

std::optional<gid_t> AdminGroupId() {
  std::string name = AdminGroupName();
  for (size_t size = kFirstBuffer; size <= kLastBuffer; size *= 4) {
    std::vector<char> buffer(size);
    group entry;
    group* found = nullptr;
    int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE) continue;
    if (error != 0 || found == nullptr) return std::nullopt;
    return found->gr_gid;
  }
  return std::nullopt;
}

std::optional<std::vector<gid_t>> GroupsOf(const Account& account) {
  // getgrouplist reports -1 and the count it needs when the array is short;
  // a group database that grows while we read is given a few more tries.
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 8; ++attempt) {
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(account.name.c_str(), account.gid, groups.data(), &count) >= 0) {
      groups.resize(static_cast<size_t>(count));
      return groups;
    }
    if (static_cast<size_t>(count) <= groups.size()) return std::nullopt;
    groups.resize(static_cast<size_t>(count));
  }
  return std::nullopt;
}

bool IsAdminGroupMember(uid_t uid) {
  std::optional<gid_t> admins = AdminGroupId();
  if (!admins) return false;
  std::optional<Account> account = LookUpAccount(uid);
  if (!account) return false;
  if (account->gid == *admins) return true;
  std::optional<std::vector<gid_t>> groups = GroupsOf(*account);
  return groups && std::find(groups->begin(), groups->end(), *admins) != groups->end();
}

}  // namespace platform
