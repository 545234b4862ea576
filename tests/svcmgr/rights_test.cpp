#include "svcmgr/rights.h"

#include <gtest/gtest.h>
#include <pwd.h>

#include "platform/scm.h"

namespace {

using namespace platform;
using namespace svcmgr;

TEST(RightsTest, WhoMayOpenAServiceWithWhichAccess) {
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  uid_t other = nobody->pw_uid;
  struct Case {
    uid_t peer;
    const char* serviceUser;
    uint32_t access;
    bool allowed;
  } cases[] = {
      {other, "", kServiceQueryStatus, true},
      {other, "", kServiceQueryConfig | kServiceInterrogate, true},
      {other, "", kGenericRead, true},
      {other, "", 0x37, false},
      {other, "", kServiceStart | kServiceQueryStatus, false},
      {other, "", kServiceStop | kServiceQueryStatus, false},
      {other, "", kServiceUserDefinedControl, false},
      {other, "", kGenericExecute, false},
      {other, "", kServiceAllAccess, false},
      {other, "nobody", 0x37, true},
      {other, "nobody", kServiceAllAccess, true},
      {other, "no-such-account-here", kServiceStart, false},
      {0, "", kServiceAllAccess, true},
      {0, "nobody", kGenericAll, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MayOpenService(c.peer, c.serviceUser, c.access), c.allowed)
        << c.peer << " " << c.serviceUser << " " << std::hex << c.access;
  }
}

TEST(RightsTest, ManagerAccessAndControlRights) {
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  EXPECT_TRUE(MayOpenManager(nobody->pw_uid, kGenericRead));
  EXPECT_TRUE(MayOpenManager(nobody->pw_uid, kScManagerConnect));
  EXPECT_FALSE(MayOpenManager(nobody->pw_uid, kScManagerAllAccess));
  EXPECT_FALSE(MayOpenManager(nobody->pw_uid, kScManagerCreateService));
  EXPECT_TRUE(MayOpenManager(0, kScManagerAllAccess));

  struct Case {
    uint32_t control, right;
  } cases[] = {
      {kServiceControlStop, kServiceStop},
      {kServiceControlPause, kServicePauseContinue},
      {kServiceControlInterrogate, kServiceInterrogate},
      {128, kServiceUserDefinedControl},
      {255, kServiceUserDefinedControl},
      {kServiceControlShutdown, 0},
      {0, 0},
      {6, 0},
      {256, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(RightForControl(c.control), c.right) << c.control;
  EXPECT_EQ(MapServiceAccess(kGenericExecute) & (kServiceStart | kServiceStop),
            kServiceStart | kServiceStop);
  EXPECT_EQ(MapServiceAccess(kGenericRead) & kServiceStart, 0u);
}

}  // namespace
