#include "platform/accounts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using platform::AdminGroupId;
using platform::AdminGroupName;
using platform::IsAdminGroupMember;
using platform::LookUpAccount;

// Sets $VIGILO_GROUP for one test and restores it after.
class GroupVariable {
 public:
  explicit GroupVariable(const char* value) {
    const char* old = std::getenv("VIGILO_GROUP");
    if (old != nullptr) old_ = old;
    if (value != nullptr) {
      ::setenv("VIGILO_GROUP", value, 1);
    } else {
      ::unsetenv("VIGILO_GROUP");
    }
  }
  ~GroupVariable() {
    if (old_) {
      ::setenv("VIGILO_GROUP", old_->c_str(), 1);
    } else {
      ::unsetenv("VIGILO_GROUP");
    }
  }

 private:
  std::optional<std::string> old_;
};

int RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

TEST(AccountsTest, LooksAccountsUpByNameAndByUid) {
  auto root = LookUpAccount("root");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->uid, 0u);
  EXPECT_EQ(root->gid, 0u);
  auto nobody = LookUpAccount("nobody");
  ASSERT_TRUE(nobody);
  EXPECT_NE(nobody->uid, 0u);
  auto again = LookUpAccount(nobody->uid);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->name, "nobody");
  EXPECT_EQ(again->gid, nobody->gid);
  EXPECT_EQ(again->home, nobody->home);

  EXPECT_FALSE(LookUpAccount("no-such-account-vigilo"));
  EXPECT_FALSE(LookUpAccount(""));
  EXPECT_FALSE(LookUpAccount(static_cast<uid_t>(4000000000u)));
}

TEST(AccountsTest, TheGroupIsVigiloUnlessTheVariableNamesAnother) {
  {
    GroupVariable unset(nullptr);
    EXPECT_EQ(AdminGroupName(), "vigilo");
  }
  {
    GroupVariable empty("");
    EXPECT_EQ(AdminGroupName(), "vigilo");
  }
  GroupVariable other("nogroup");
  EXPECT_EQ(AdminGroupName(), "nogroup");
}

TEST(AccountsTest, AMissingGroupHasNoIdAndNoMembers) {
  GroupVariable missing("no-such-group-vigilo");
  EXPECT_FALSE(AdminGroupId());
  EXPECT_FALSE(IsAdminGroupMember(0));
}

TEST(AccountsTest, ThePrimaryGroupMakesAMember) {
  auto nobody = LookUpAccount("nobody");
  ASSERT_TRUE(nobody);
  auto root = LookUpAccount("root");
  ASSERT_TRUE(root);
  GroupVariable primary("root");
  ASSERT_TRUE(AdminGroupId());
  EXPECT_EQ(*AdminGroupId(), root->gid);
  EXPECT_TRUE(IsAdminGroupMember(0));
  EXPECT_FALSE(IsAdminGroupMember(nobody->uid));
  EXPECT_FALSE(IsAdminGroupMember(static_cast<uid_t>(4000000000u)));
}

TEST(AccountsTest, ASupplementaryGroupMakesAMember) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a group needs root";
  std::string name = "vgacct" + std::to_string(::getpid() % 100000);
  ASSERT_EQ(RunQuietly("groupadd " + name), 0);
  struct Cleanup {
    std::string name;
    ~Cleanup() { RunQuietly("groupdel " + name); }
  } cleanup{name};
  GroupVariable group(name.c_str());
  auto nobody = LookUpAccount("nobody");
  ASSERT_TRUE(nobody);
  EXPECT_FALSE(IsAdminGroupMember(nobody->uid));
  ASSERT_EQ(RunQuietly("gpasswd -a nobody " + name), 0);
  // Read again at each call: the new member counts at once.
  EXPECT_TRUE(IsAdminGroupMember(nobody->uid));
  EXPECT_FALSE(IsAdminGroupMember(0));
  std::optional<std::vector<gid_t>> groups = platform::GroupsOf(*nobody);
  ASSERT_TRUE(groups);
  auto holds = [&groups](gid_t gid) {
    return std::find(groups->begin(), groups->end(), gid) != groups->end();
  };
  EXPECT_TRUE(holds(nobody->gid)) << "its own group";
  EXPECT_TRUE(holds(*AdminGroupId())) << "the group that lists it";
}

}  // namespace
