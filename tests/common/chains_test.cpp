#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/alr_config.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "tests/common/settings_test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::SettingsTest;

const char kNotFound[] = "The system cannot find the file specified";

class ChainsTest : public SettingsTest {
 protected:
  std::string VigiloIni(const std::string& text) { return dir_.Write("vigilo.ini", text); }

  // The chains as "name|DbIndex|ShouldCheck|days".
  static std::vector<std::string> Describe(const TAlrConfig& cfg) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < cfg.ChainCount(); ++i) {
      TChainParams chain;
      cfg.GetChain(i, chain);
      std::string days;
      TAlrConfig::DaysToStr(chain.DaysNoCheck, days);
      out.push_back(chain.TrackedChain + "|" + std::to_string(chain.DbIndex) + "|" +
                    (chain.ShouldCheck ? "1" : "0") + "|" + days);
    }
    return out;
  }
};

TEST_F(ChainsTest, FileChainsComeFirstThenNewDirectoriesAndUnknownChainsGo) {
  WriteQorSettings(
      "[Directory0]\nTrackDirectory=SHOP1\n"
      "[Directory2]\nTrackDirectory=shop2\n");
  std::string path = VigiloIni(
      "[General]\nTrackedChains=3\n"
      "[Chain00]\nTrackedChain=Shop2\nShouldCheck=0\nDaysNoCheck=67\n"
      "[Chain01]\nTrackedChain=OLD\nDaysNoCheck=1\n"
      "[Chain02]\nTrackedChain=\n");
  TAlrConfig cfg;
  cfg.LoadFromFile(path);
  EXPECT_EQ(Describe(cfg), (std::vector<std::string>{"Shop2|2|0|67", "SHOP1|0|1|"}));
  EXPECT_TRUE(sink_.Errors().empty());

  cfg.SaveToFile(path);
  platform::ProfileFile saved(path);
  EXPECT_EQ(saved.ReadInteger("General", "TrackedChains", -1), 2);
  EXPECT_EQ(saved.ReadString("Chain00", "TrackedChain", ""), "Shop2");
  EXPECT_EQ(saved.ReadString("Chain01", "TrackedChain", ""), "SHOP1");
  EXPECT_EQ(saved.ReadString("Chain01", "DaysNoCheck", "x"), "");
  EXPECT_FALSE(saved.SectionExists("Chain02"));
}

TEST_F(ChainsTest, WithoutChainSectionsEveryDirectoryBecomesAChain) {
  WriteQorSettings(
      "[Directory5]\nTrackDirectory=Est\n"
      "[Directory1]\nTrackDirectory=Nord\n"
      "[Directory63]\nTrackDirectory=Sud\n");
  TAlrConfig cfg;
  cfg.LoadFromFile(VigiloIni(""));
  EXPECT_EQ(Describe(cfg), (std::vector<std::string>{"Nord|1|1|", "Est|5|1|", "Sud|63|1|"}));
}

TEST_F(ChainsTest, ChainsGetTheConnectionOfTheirDirectory) {
  WriteQorSettings(
      "[Directory3]\nTrackDirectory=Nord\nHost=db.local\n"
      "Database=E:\\Data\\Nord\\counts.fdb\nUsername=reader\nPassword=secret\n"
      "[Directory4]\nTrackDirectory=Sud\n"
      "[Directory6]\nTrackDirectory=Est\nDatabase=/srv/firebird/est/counts.fdb\n");
  TAlrConfig cfg;
  cfg.LoadFromFile(VigiloIni("[General]\nTrackedChains=1\n[Chain00]\nTrackedChain=nord\n"));
  ASSERT_EQ(cfg.ChainCount(), 3);
  const TChainParams& nord = cfg.Chains[0];
  EXPECT_EQ(nord.TrackedChain, "nord");  // the settings' own spelling stays
  EXPECT_EQ(nord.DbIndex, 3);
  EXPECT_EQ(nord.Username, "reader");
  EXPECT_EQ(nord.Password, "secret");
  EXPECT_EQ(nord.ConnectionString, "db.local:E:\\Data\\Nord\\counts.fdb");
  EXPECT_EQ(nord.FolderName, "NORD");
  const TChainParams& sud = cfg.Chains[1];
  EXPECT_EQ(sud.ConnectionString, platform::ComputerName() + ":d:\\qor.fdb");
  EXPECT_EQ(sud.Username, "SYSDBA");
  EXPECT_EQ(sud.Password, "quillbark");
  EXPECT_EQ(sud.FolderName, "");
  EXPECT_EQ(cfg.Chains[2].FolderName, "EST");
}

TEST_F(ChainsTest, ADirectoryNamedTwiceIsReachedThroughItsFirstSlot) {
  TQorConfig qor;
  qor.TrackDirectory[1] = "Nord";
  qor.Host[1] = "first";
  qor.TrackDirectory[4] = "NORD";
  qor.Host[4] = "second";
  TAlrConfig cfg;
  cfg.Chains.resize(2);
  cfg.Chains[0].TrackedChain = "Nord";
  cfg.Chains[1].TrackedChain = "nord";
  cfg.MergeDatabases(qor);
  EXPECT_EQ(Describe(cfg), (std::vector<std::string>{"Nord|1|1|", "nord|1|1|"}));
  EXPECT_EQ(cfg.Chains[1].ConnectionString, "first:d:\\qor.fdb");

  TAlrConfig fresh;
  fresh.MergeDatabases(qor);
  EXPECT_EQ(Describe(fresh), std::vector<std::string>{"Nord|1|1|"});
}

TEST_F(ChainsTest, TheRegisteredImagePathLeadsToTheSettingsFile) {
  std::filesystem::create_directories(dir_.File("svc"));
  dir_.Write("svc/qorsvc.ini", "[Directory0]\nTrackDirectory=Nord\n");
  const struct {
    std::string imagePath;
    bool found;
    std::string tried;  // the path logged when it is not found
  } cases[] = {
      {dir_.File("svc/acq.exe"), true, ""},
      {dir_.File("svc/acq.exe") + " --flag", true, ""},
      {"\"" + dir_.File("svc/acq.exe") + "\" --flag", false, "\"" + dir_.File("svc/qorsvc.ini")},
      {"E:\\Svc\\acq.exe", false, "E:\\Svc\\qorsvc.ini"},
      {"host:acq", false, "host:qorsvc.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imagePath);
    sink_.Clear();
    RegisterQorSvc(c.imagePath);
    TAlrConfig cfg;
    TQorConfig qor;
    bool whole = !c.found;
    EXPECT_EQ(cfg.LoadDatabases(qor, &whole), c.found);
    EXPECT_EQ(whole, c.found);
    EXPECT_EQ(qor.TrackDirectory[0], c.found ? "Nord" : "");
    if (c.found) {
      EXPECT_TRUE(sink_.Errors().empty());
    } else {
      EXPECT_EQ(sink_.Errors(),
                std::vector<std::string>{"Error reading data from " + c.tried + " : " + kNotFound});
    }
  }
}

// Without qorsvc.ini the chains cannot be linked, but the file's own settings
// are read, and a save leaves the chain sections as they are.
TEST_F(ChainsTest, WithoutTheDataAcquisitionSettingsTheChainSectionsSurviveASave) {
  const std::string exeDir =
      platform::ExecutablePath().substr(0, platform::ExecutablePath().rfind('/') + 1);
  ASSERT_FALSE(std::filesystem::exists(exeDir + "qorsvc.ini"));
  const std::string chains =
      "[Chain00]\r\nTrackedChain=Nord\r\nShouldCheck=0\r\nDaysNoCheck=7\r\n"
      "[Chain01]\r\nTrackedChain=Sud\r\n";
  std::string path = VigiloIni("[General]\r\nExactTime=06:00\r\nTrackedChains=2\r\n" + chains +
                               "[Alarms]\r\nUseEmail=1\r\n");
  TAlrConfig cfg;
  cfg.LoadFromFile(path);
  EXPECT_EQ(sink_.Errors(), std::vector<std::string>{"Error reading data from " + exeDir +
                                                     "qorsvc.ini : " + kNotFound});
  EXPECT_EQ(cfg.ChainCount(), 0);
  EXPECT_EQ(cfg.ExactTime->GetText(), "06:00");
  EXPECT_TRUE(cfg.UseEmail);

  sink_.Clear();
  cfg.LastCheckAt = EncodeDate(2024, 5, 6);
  cfg.SaveToFile(path);
  EXPECT_TRUE(sink_.Errors().empty());
  std::string text = ReadFile(path);
  EXPECT_NE(text.find("TrackedChains=2\r\n"), std::string::npos);
  EXPECT_NE(text.find(chains), std::string::npos);
  EXPECT_NE(text.find("LastCheckAt=06/05/2024\r\n"), std::string::npos);

  // A copy keeps the restraint.
  TAlrConfig copy;
  copy.Assign(cfg);
  copy.SaveToFile(path);
  EXPECT_NE(ReadFile(path).find(chains), std::string::npos);
}

TEST_F(ChainsTest, AnUnreadableDataAcquisitionFileEmptiesTheChainsAndKeepsTheirSections) {
  std::string qor =
      WriteQorSettings("[General]\nExactTime=25:00\n[Directory0]\nTrackDirectory=Nord\n");
  const std::string chains = "[Chain00]\r\nTrackedChain=Nord\r\n";
  std::string path = VigiloIni("[General]\r\nTrackedChains=1\r\n" + chains);
  TAlrConfig cfg;
  cfg.LoadFromFile(path);
  EXPECT_EQ(sink_.Errors(), std::vector<std::string>{"Error reading data from " + qor +
                                                     " : Wrong time value \"25:00\""});
  EXPECT_EQ(cfg.ChainCount(), 0);
  cfg.SaveToFile(path);
  std::string text = ReadFile(path);
  EXPECT_NE(text.find("TrackedChains=1\r\n"), std::string::npos);
  EXPECT_NE(text.find(chains), std::string::npos);
  EXPECT_NE(text.find("[Alarms]"), std::string::npos);  // the rest was saved
}

// A load that stops at a value it cannot read leaves the keys after it unread:
// no save may replace them, until a load succeeds.
TEST_F(ChainsTest, AfterAFailedLoadNothingIsSaved) {
  WriteQorSettings("[Directory0]\nTrackDirectory=Nord\n[Directory1]\nTrackDirectory=Sud\n");
  const struct {
    const char* line;
    const char* message;
    bool alarmsRead;  // the error comes after the [Alarms] keys
  } cases[] = {
      {"ExactTime=25:00", "Wrong time value \"25:00\"", false},
      {"LastCheckAt=yesterday", "'yesterday' is not a valid date and time", false},
      {"LastReportAt=", "'' is not a valid date and time", false},
      {"TrackedChains=-1", "Range check error", true},
      {"TrackedChains=5000", "Range check error", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::string good =
        "[General]\r\nLogDetailed=1\r\nTrackedChains=1\r\n"
        "[Alarms]\r\nUseEmail=1\r\n[Chain00]\r\nTrackedChain=Nord\r\n";
    std::string path = VigiloIni(good);
    TAlrConfig cfg;
    cfg.LoadFromFile(path);
    ASSERT_EQ(cfg.ChainCount(), 2);
    ASSERT_TRUE(sink_.Errors().empty());

    std::string bad =
        "[General]\r\nLogDetailed=0\r\n" + std::string(c.line) + "\r\n[Alarms]\r\nUseEmail=0\r\n";
    VigiloIni(bad);
    cfg.LoadFromFile(path);
    EXPECT_EQ(sink_.Errors(),
              std::vector<std::string>{"Error reading data from " + path + " : " + c.message});
    EXPECT_FALSE(cfg.LogDetailed);           // read before the error
    EXPECT_EQ(cfg.UseEmail, !c.alarmsRead);  // else the earlier value
    EXPECT_EQ(cfg.ChainCount(), 2);          // as before, not merged again
    sink_.Clear();

    cfg.SaveToFile(path);
    TAlrConfig copy;
    copy.Assign(cfg);
    copy.SaveToFile(path);
    EXPECT_EQ(ReadFile(path), bad);
    const std::string refused = "Error writing data to " + path +
                                " : the settings were not read completely, the file is left as "
                                "it is";
    EXPECT_EQ(sink_.Errors(), (std::vector<std::string>{refused, refused}));
    sink_.Clear();

    VigiloIni(good);
    cfg.LoadFromFile(path);
    cfg.UseEmail = false;
    cfg.SaveToFile(path);
    EXPECT_TRUE(sink_.Errors().empty());
    EXPECT_NE(ReadFile(path).find("UseEmail=0\r\n"), std::string::npos);
  }
}

// The settings file next to the executable, when the service is not
// registered: a copy of a small program that loads the settings is run from a
// folder of the test's own.
class ChainsProbeTest : public ChainsTest {
 protected:
  void SetUp() override {
    ChainsTest::SetUp();
    std::filesystem::create_directories(app_);
    std::filesystem::copy_file(ALR_CONFIG_PROBE, probe_);
    ini_ = dir_.Write("app/vigilo.ini",
                      "[General]\nTrackedChains=1\n"
                      "[Chain00]\nTrackedChain=Sud\nShouldCheck=0\n");
  }
  // The probe's output, run in the folder `cwd`.
  std::string Run(const std::string& cwd = "/") {
    std::string command = "cd '" + cwd + "' && '" + probe_ + "' '" + ini_ + "' '" + log_ + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    int status = pipe ? ::pclose(pipe) : -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return out;
  }

  const std::string app_ = dir_.File("app");
  const std::string probe_ = app_ + "/alr_config_probe";
  const std::string log_ = app_ + "/probe.log";
  std::string ini_;
};

TEST_F(ChainsProbeTest, WithoutRegistrationTheFileNextToTheExecutableIsRead) {
  EXPECT_EQ(Run(), "");
  EXPECT_NE(ReadFile(log_).find("\tError reading data from " + app_ + "/qorsvc.ini : " + kNotFound +
                                "\n"),
            std::string::npos);

  dir_.Write("app/qorsvc.ini",
             "[Directory0]\nTrackDirectory=Nord\nDatabase=/srv/nord/counts.fdb\nHost=db\n"
             "[Directory1]\nTrackDirectory=sud\n");
  EXPECT_EQ(Run(), "Sud|1|0|" + platform::ComputerName() +
                       ":d:\\qor.fdb|\nNord|0|1|db:/srv/nord/counts.fdb|NORD\n");
}

// A registration without an ImagePath leaves the bare file name, which is
// looked for in the current folder, not next to the executable.
TEST_F(ChainsProbeTest, ARegistrationWithoutImagePathLeavesTheBareFileName) {
  dir_.Write("app/qorsvc.ini", "[Directory0]\nTrackDirectory=Beside\n");
  std::filesystem::create_directories(dir_.File("work"));
  dir_.Write("work/qorsvc.ini", "[Directory0]\nTrackDirectory=Current\n");
  for (const char* registration : {"[Service]\nDisplayName=Qor\n", "[Service]\nImagePath=\n"}) {
    SCOPED_TRACE(registration);
    dir_.Write("scm/services/qorsvc.ini", registration);
    EXPECT_EQ(Run(dir_.File("work")),
              "Current|0|1|" + platform::ComputerName() + ":d:\\qor.fdb|\n");
  }
}

}  // namespace
