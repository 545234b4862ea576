// Accounts and the administrators' group.
//
// Windows gives its administrators the right to start and stop services and
// to use the settings pipe; on Linux that right belongs to root, to a
// service's own account and to the members of one system group, "vigilo"
// ($VIGILO_GROUP names another, for tests). Lookups read the system's user
// and group databases (NSS) each time: an administrator may add a member
// while the programs run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// The account `name`; nullopt when there is no such account.
std::optional<Account> LookUpAccount(const std::string& name);

// The account of uid `uid`; nullopt when there is none.
std::optional<Account> LookUpAccount(uid_t uid);

// The groups of `account` as initgroups would set them: its own group and
// every group that lists it as a member. nullopt when they cannot be read.
std::optional<std::vector<gid_t>> GroupsOf(const Account& account);

// "vigilo", or $VIGILO_GROUP when it is set and not empty.
std::string AdminGroupName();

// The gid of the administrators' group; nullopt when the group does not exist.
std::optional<gid_t> AdminGroupId();

// True when the account of uid `uid` belongs to the administrators' group,
// as its primary group or as a supplementary one. False when the group or
// the account does not exist.
bool IsAdminGroupMember(uid_t uid);

}  // namespace platform
