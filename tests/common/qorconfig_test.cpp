#include "common/qorconfig.h"

#include <gtest/gtest.h>

#include <string>

#include "common/alr_config.h"
#include "common/exceptions.h"
#include "platform/process.h"
#include "tests/common/settings_test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::SettingsTest;

class QorConfigTest : public SettingsTest {};

void ExpectInitialConnection(const TQorConfig& cfg, int n) {
  EXPECT_EQ(cfg.Host[n], platform::ComputerName());
  EXPECT_EQ(cfg.Database[n], "d:\\qor.fdb");
  EXPECT_EQ(cfg.Username[n], "SYSDBA");
  EXPECT_EQ(cfg.Password[n], "quillbark");
  EXPECT_FALSE(cfg.Autoconvert[n]);
  EXPECT_FALSE(cfg.SingleShopMode[n]);
  EXPECT_EQ(cfg.ExplicitShopName[n], "");
}

TEST_F(QorConfigTest, StartsWithTheInitialValues) {
  TQorConfig cfg;
  EXPECT_FALSE(cfg.LogDetailed);
  EXPECT_EQ(cfg.TimeBetweenActions, 60);
  EXPECT_FALSE(cfg.ExactTimeMode);
  EXPECT_EQ(cfg.ExactTime->GetText(), "18:00");
  for (int n = 0; n < TQorConfig::kDirectoryCount; ++n) {
    EXPECT_EQ(cfg.TrackDirectory[n], "");
    ExpectInitialConnection(cfg, n);
  }
}

TEST_F(QorConfigTest, OneDirectorySectionNamesOnlyThatDirectory) {
  for (const char* text :
       {"[Directory3]\r\nTrackDirectory=Nord\r\n", "[directory3]\ntrackdirectory = Nord\n"}) {
    SCOPED_TRACE(text);
    TQorConfig cfg;
    EXPECT_TRUE(cfg.LoadFromFile(dir_.Write("qorsvc.ini", text)));
    for (int n = 0; n < TQorConfig::kDirectoryCount; ++n) {
      EXPECT_EQ(cfg.TrackDirectory[n], n == 3 ? "Nord" : "");
      ExpectInitialConnection(cfg, n);
    }
    EXPECT_EQ(cfg.ExactTime->GetText(), "18:00");
  }
  EXPECT_TRUE(sink_.Errors().empty());
}

TEST_F(QorConfigTest, ReadsEveryKey) {
  TQorConfig cfg;
  cfg.LoadFromFile(dir_.Write("qorsvc.ini",
                              "[General]\n"
                              "LogDetailed=1\n"
                              "TimeBetweenActions=$10\n"
                              "ExactTimeMode=2\n"
                              "ExactTime=19:30 7:5\n"
                              "[Directory0]\n"
                              "TrackDirectory=Sud\n"
                              "Host=db1\n"
                              "Database=/srv/data/sud/counts.fdb\n"
                              "Username=reader\n"
                              "Password=\"se cret\"\n"
                              "Autoconvert=1\n"
                              "SingleShopMode=-1\n"
                              "ExplicitShopName=Main\n"
                              "[Directory63]\n"
                              "TrackDirectory=Last\n"
                              "Host=\n"));
  EXPECT_TRUE(cfg.LogDetailed);
  EXPECT_EQ(cfg.TimeBetweenActions, 16);
  EXPECT_TRUE(cfg.ExactTimeMode);
  EXPECT_EQ(cfg.ExactTime->GetText(), "07:05 19:30");
  EXPECT_EQ(cfg.GetTrackDirectory(0), "Sud");
  EXPECT_EQ(cfg.GetConnectionString(0), "db1:/srv/data/sud/counts.fdb");
  EXPECT_EQ(cfg.GetUsername(0), "reader");
  EXPECT_EQ(cfg.GetPassword(0), "se cret");
  EXPECT_TRUE(cfg.Autoconvert[0]);
  EXPECT_TRUE(cfg.SingleShopMode[0]);
  EXPECT_EQ(cfg.ExplicitShopName[0], "Main");
  EXPECT_EQ(cfg.GetDatabaseFolderName(0), "SUD");
  EXPECT_EQ(cfg.GetTrackDirectory(63), "Last");
  EXPECT_EQ(cfg.GetConnectionString(63), ":d:\\qor.fdb");
}

TEST_F(QorConfigTest, EmptyExactTimeReadsAsSixPm) {
  TQorConfig cfg;
  cfg.ExactTime->SetText("09:00");
  cfg.LoadFromFile(dir_.Write("qorsvc.ini", "[General]\nExactTime=\n"));
  EXPECT_EQ(cfg.ExactTime->GetText(), "18:00");
}

TEST_F(QorConfigTest, BadExactTimeIsLoggedAndStopsBeforeTheDirectories) {
  std::string path = dir_.Write("qorsvc.ini",
                                "[General]\nLogDetailed=1\nExactTime=25:00\n"
                                "[Directory0]\nTrackDirectory=Nord\nHost=db\n");
  TQorConfig cfg;
  EXPECT_FALSE(cfg.LoadFromFile(path));
  EXPECT_TRUE(cfg.LogDetailed);  // read before the error
  EXPECT_EQ(cfg.TrackDirectory[0], "");
  ExpectInitialConnection(cfg, 0);
  EXPECT_EQ(sink_.Errors(), std::vector<std::string>{"Error reading data from " + path +
                                                     " : Wrong time value \"25:00\""});
  // The log file line carries the same text.
  EXPECT_NE(ReadFile(dir_.File("test.log")).find("\tError reading data from " + path),
            std::string::npos);
}

TEST_F(QorConfigTest, UnreadableFileIsLogged) {
  std::string path = dir_.File("folder.ini");
  std::filesystem::create_directory(path);
  TQorConfig cfg;
  EXPECT_FALSE(cfg.LoadFromFile(path));
  EXPECT_EQ(sink_.Errors(), std::vector<std::string>{"Error reading data from " + path +
                                                     " : Unable to read " + path});
}

TEST_F(QorConfigTest, FindsDirectoriesWithoutRegardToCase) {
  TQorConfig cfg;
  cfg.TrackDirectory[3] = "Nord";
  cfg.TrackDirectory[5] = "Sud";
  cfg.TrackDirectory[9] = "SUD";
  const struct {
    const char* name;
    int32_t index;
  } cases[] = {{"nord", 3}, {"NORD", 3}, {"sud", 5}, {"Est", -1}, {"", -1}, {"Nord ", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cfg.IndexOfDirectory(c.name), c.index);
  }
}

TEST(DatabaseFolderNameTest, IsTheLastFolderOfThePathInCapitals) {
  const struct {
    std::string path;
    std::string folder;
  } cases[] = {
      {"E:\\Data\\Nord\\counts.fdb", "NORD"},
      {"d:\\qor.fdb", ""},
      {"counts.fdb", ""},
      {"", ""},
      {"/srv/data/nord/counts.fdb", "NORD"},
      {"/qor.fdb", ""},
      {"relative/est/counts.fdb", "EST"},
      {"c:est\\x.fdb", "EST"},
      {"c:x.fdb", ""},
      {"e:\\data\\\\x.fdb", ""},
      {"/srv//x.fdb", ""},
      {"/srv/data/../x.fdb", ""},
      {"/srv/./x.fdb", ""},
      {"/srv/..x/y.fdb", "..X"},
      {std::string("/srv/no\0rd/x.fdb", 16), "NO"},
      {"/srv/caf\xe9/x.fdb", "CAF\xc9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DatabaseFolderName(c.path), c.folder);
  }
  TQorConfig cfg;
  cfg.Database[7] = "E:\\Data\\Nord\\counts.fdb";
  EXPECT_EQ(cfg.GetDatabaseFolderName(7), "NORD");
  EXPECT_EQ(cfg.GetDatabaseFolderName(0), "");
}

TEST_F(QorConfigTest, SavesTheKeysItReads) {
  TQorConfig cfg;
  cfg.LogDetailed = true;
  cfg.TimeBetweenActions = -5;
  cfg.ExactTime->SetText("06:00 18:30");
  cfg.TrackDirectory[2] = "Ouest";
  cfg.Host[2] = "db2";
  cfg.Password[2] = "p w";
  cfg.SingleShopMode[2] = true;
  std::string path = dir_.File("saved.ini");
  {
    platform::ProfileFile ini(path);
    cfg.SaveToIni(ini);
    ini.Flush();
  }
  std::string text = ReadFile(path);
  EXPECT_EQ(text.substr(0, text.find("[Directory0]")),
            "[General]\r\nLogDetailed=1\r\nTimeBetweenActions=-5\r\nExactTimeMode=0\r\n"
            "ExactTime=06:00 18:30\r\n\r\n");
  TQorConfig back;
  EXPECT_TRUE(back.LoadFromFile(path));
  EXPECT_TRUE(back.LogDetailed);
  EXPECT_EQ(back.TimeBetweenActions, -5);
  EXPECT_EQ(back.ExactTime->GetText(), "06:00 18:30");
  EXPECT_EQ(back.TrackDirectory, cfg.TrackDirectory);
  EXPECT_EQ(back.Host, cfg.Host);
  EXPECT_EQ(back.Password, cfg.Password);
  EXPECT_EQ(back.SingleShopMode, cfg.SingleShopMode);
}

TEST(QorConfigAssignTest, CopiesOnlyBetweenObjectsOfTheRightClass) {
  auto filled = [](TBasePwConfig& cfg) {
    cfg.LogDetailed = true;
    cfg.TimeBetweenActions = 5;
    cfg.ExactTimeMode = true;
    cfg.ExactTime->SetText("10:00 11:00");
    cfg.TrackDirectory[4] = "Nord";
  };
  const std::string wrong = "Attemp to assign wront object to TBasePwConfig.";

  {  // base from base, and base from a TQorConfig: the general settings
    TBasePwConfig source;
    filled(source);
    TBasePwConfig target;
    target.Assign(source);
    EXPECT_EQ(target.ExactTime->GetText(), "10:00 11:00");
    EXPECT_EQ(target.TrackDirectory[4], "Nord");
    TQorConfig qor;
    filled(qor);
    qor.TrackDirectory[4] = "Sud";
    TBasePwConfig fromQor;
    fromQor.Assign(qor);
    EXPECT_EQ(fromQor.TrackDirectory[4], "Sud");
    EXPECT_TRUE(fromQor.ExactTimeMode);
  }
  {  // TQorConfig from TQorConfig, both ways
    TQorConfig source;
    filled(source);
    source.Host[4] = "db4";
    source.Autoconvert[4] = true;
    TQorConfig target;
    target.Assign(source);
    EXPECT_EQ(target.Host[4], "db4");
    EXPECT_TRUE(target.Autoconvert[4]);
    EXPECT_EQ(target.TrackDirectory[4], "Nord");
    TQorConfig other;
    source.AssignTo(other);
    EXPECT_EQ(other.Host[4], "db4");
    EXPECT_EQ(other.ExactTime->GetText(), "10:00 11:00");
  }
  {  // wrong classes: an error, and the object is left as it was
    TBasePwConfig base;
    filled(base);
    TQorConfig qor;
    TAlrConfig alr;
    const auto unchanged = [](const TQorConfig& cfg) {
      EXPECT_FALSE(cfg.LogDetailed);
      EXPECT_EQ(cfg.TrackDirectory[4], "");
      EXPECT_EQ(cfg.ExactTime->GetText(), "18:00");
    };
    for (int step = 0; step < 4; ++step) {
      SCOPED_TRACE(step);
      try {
        if (step == 0) qor.Assign(base);
        if (step == 1) base.AssignTo(qor);
        if (step == 2) qor.Assign(alr);
        if (step == 3) qor.AssignTo(base);
        ADD_FAILURE() << "no error";
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), wrong);
      }
      unchanged(qor);
    }
    EXPECT_TRUE(base.LogDetailed);
    EXPECT_EQ(base.TrackDirectory[4], "Nord");
    EXPECT_THROW(base.Assign(alr), EConvertError);
  }
}

}  // namespace
