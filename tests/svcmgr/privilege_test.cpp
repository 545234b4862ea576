// The drop to a service's own account.
#include "platform/accounts.h"
#include "tests/svcmgr/svcmgr_fixture.h"

namespace svcmgr_test {
namespace {

std::set<gid_t> RecordedGroups(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;  // "groups"
  std::set<gid_t> groups;
  for (gid_t g; in >> g;) groups.insert(g);
  return groups;
}

// A service registered with User= runs with that account's real, effective and
// saved ids and that account's groups: none of root's stay behind.
TEST_F(SvcmgrTest, ServiceOfAnAccountHasItsIdsAndGroupsAndNoneOfRoots) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a service as another user";
  const std::optional<Account> nobody = LookUpAccount("nobody");
  ASSERT_TRUE(nobody);
  const std::optional<std::vector<gid_t>> groupsOfNobody = GroupsOf(*nobody);
  ASSERT_TRUE(groupsOfNobody);
  const std::set<gid_t> nobodyGroups(groupsOfNobody->begin(), groupsOfNobody->end());
  std::vector<gid_t> own(static_cast<size_t>(::getgroups(0, nullptr)));
  own.resize(static_cast<size_t>(::getgroups(static_cast<int>(own.size()), own.data())));
  own.push_back(0);
  own.push_back(::getgid());

  Register(kName, kServiceDemandStart, "nobody");
  SetMode("show-ids");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  WaitForRecord("groups");
  const std::string uid = std::to_string(nobody->uid), gid = std::to_string(nobody->gid);
  EXPECT_EQ(RecordOf("ids"), std::vector<std::string>{"ids " + uid + " " + uid + " " + uid + " " +
                                                      gid + " " + gid + " " + gid});
  ASSERT_EQ(RecordOf("groups").size(), 1u);
  const std::set<gid_t> groups = RecordedGroups(RecordOf("groups")[0]);
  EXPECT_EQ(groups, nobodyGroups) << RecordOf("groups")[0];
  for (gid_t g : own) {
    if (nobodyGroups.count(g) == 0) {
      EXPECT_EQ(groups.count(g), 0u) << "root's group " << g;
    }
  }
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

}  // namespace
}  // namespace svcmgr_test
