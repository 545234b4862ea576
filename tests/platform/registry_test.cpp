#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("VIGILO_SCM_DIR", dir_.c_str(), 1); }
  void TearDown() override { ::unsetenv("VIGILO_SCM_DIR"); }
  static ServiceRegistration Reg(const std::string& name) {
    ServiceRegistration reg;
    reg.Name = name;
    reg.DisplayName = "Display of " + name;
    reg.ImagePath = "/opt/" + name + "/bin";
    reg.StartType = platform::kServiceAutoStart;
    reg.User = "nobody";
    return reg;
  }
  testing_support::TempFolder temp_;
  const std::string dir_ = temp_.Path();
};

TEST_F(RegistryTest, WrittenRegistrationReadsBackUnderAnyCase) {
  EXPECT_EQ(ServiceRegistrationDir(), dir_ + "/services");
  WriteServiceRegistration(Reg("QorSvc"));
  EXPECT_TRUE(fs::exists(dir_ + "/services/qorsvc.ini")) << "one lower-case file per service";
  for (const char* name : {"QorSvc", "QORSVC", "qorsvc"}) {
    auto reg = ReadServiceRegistration(name);
    ASSERT_TRUE(reg) << name;
    EXPECT_EQ(reg->DisplayName, "Display of QorSvc");
    EXPECT_EQ(reg->ImagePath, "/opt/QorSvc/bin");
    EXPECT_EQ(reg->StartType, platform::kServiceAutoStart);
    EXPECT_EQ(reg->User, "nobody");
    EXPECT_EQ(ReadServiceImagePath(name), "/opt/QorSvc/bin");
  }
}

TEST_F(RegistryTest, FileWrittenByHandIsRead) {
  fs::create_directories(dir_ + "/services");
  std::ofstream(dir_ + "/services/vazidere.ini")
      << "[Service]\r\nImagePath=/srv/vigilo/vigilo\r\nDisplayName=CORVANTE Alert Service\r\n";
  auto reg = ReadServiceRegistration("VazidEre");
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->StartType, platform::kServiceDemandStart) << "on demand when the key is missing";
  EXPECT_EQ(reg->User, "");
  EXPECT_EQ(ReadServiceImagePath("VazidEre"), "/srv/vigilo/vigilo");
}

TEST_F(RegistryTest, MissingServiceOrValueOrBadName) {
  fs::create_directories(dir_ + "/services");
  std::ofstream(dir_ + "/services/empty.ini") << "[Service]\r\nDisplayName=x\r\n";
  EXPECT_FALSE(ReadServiceImagePath("Empty")) << "no ImagePath";
  EXPECT_TRUE(ReadServiceRegistration("Empty"));
  for (const char* name : {"absent", "", "../services/empty", "a/b", ".."}) {
    EXPECT_FALSE(ReadServiceRegistration(name)) << name;
    EXPECT_FALSE(ReadServiceImagePath(name)) << name;
  }
  EXPECT_FALSE(ReadServiceImagePath(std::string("empty\0x", 7)));
}

TEST_F(RegistryTest, WriteTwiceGives1073AndDeleteMissingGives1060) {
  WriteServiceRegistration(Reg("One"));
  try {
    WriteServiceRegistration(Reg("ONE"));
    FAIL() << "second write succeeded";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.Code(), kErrorServiceExists);
  }
  DeleteServiceRegistration("one");
  EXPECT_FALSE(ReadServiceRegistration("One"));
  try {
    DeleteServiceRegistration("One");
    FAIL() << "second delete succeeded";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.Code(), kErrorServiceDoesNotExist);
  }
}

TEST_F(RegistryTest, ListGivesEveryRegistrationInFileOrder) {
  EXPECT_TRUE(ListServiceRegistrations().empty()) << "no folder yet";
  WriteServiceRegistration(Reg("Beta"));
  WriteServiceRegistration(Reg("alpha"));
  std::ofstream(dir_ + "/services/notes.txt") << "not a registration";
  auto all = ListServiceRegistrations();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Name, "alpha");
  EXPECT_EQ(all[1].Name, "beta");
  EXPECT_EQ(all[1].DisplayName, "Display of Beta");
}

TEST_F(RegistryTest, RegistrationWithoutProgramIsRefused) {
  ServiceRegistration reg = Reg("NoProgram");
  reg.ImagePath.clear();
  try {
    WriteServiceRegistration(reg);
    FAIL() << "write succeeded";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.Code(), kErrorInvalidParameter);
  }
  EXPECT_FALSE(ReadServiceRegistration("NoProgram").has_value());
}

TEST_F(RegistryTest, UnwritableStoreReportsTheFileError) {
  if (::geteuid() == 0) {
    // Root writes anywhere: make the store's place a file instead.
    std::ofstream(dir_ + "/services") << "in the way";
  } else {
    ::chmod(dir_.c_str(), 0500);
  }
  try {
    WriteServiceRegistration(Reg("x"));
    FAIL() << "write succeeded";
  } catch (const SystemError& e) {
    EXPECT_NE(e.Code(), 0u);
    EXPECT_NE(e.Code(), kErrorServiceExists);
  }
  ::chmod(dir_.c_str(), 0700);
}

}  // namespace
