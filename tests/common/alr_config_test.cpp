#include "common/alr_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exceptions.h"
#include "tests/common/settings_test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::SettingsTest;

class AlrConfigTest : public SettingsTest {
 protected:
  // LoadFromIni of a file holding `text`.
  void LoadText(TAlrConfig& cfg, const std::string& text) {
    platform::ProfileFile ini(dir_.Write("vigilo.ini", text));
    cfg.LoadFromIni(ini, Fixed());
  }
  // The file text that SaveToIni makes of `cfg` over a file holding `text`.
  std::string SaveOver(const TAlrConfig& cfg, const std::string& text) {
    platform::ProfileFile ini(dir_.Write("vigilo.ini", text));
    cfg.SaveToIni(ini, Fixed());
    return ini.Text();
  }
  static TFormatSettings Fixed() {
    TFormatSettings fs;
    TAlrConfig::InitFormatSettings(fs);
    return fs;
  }
};

const char kFreshFile[] =
    "[General]\r\n"
    "LogDetailed=0\r\n"
    "DataCheckTime=7200\r\n"
    "ExactTime=08:00\r\n"
    "LastCheckAt=30/12/1899\r\n"
    "LastReportAt=30/12/1899\r\n"
    "TrackedChains=0\r\n"
    "\r\n"
    "[Alarms]\r\n"
    "ExcludeSundays=0\r\n"
    "LastSentOutAt=30/12/1899\r\n"
    "AlarmMailAddr=\r\n"
    "AlarmMailBody=\r\n"
    "AlarmMailDefault=1\r\n"
    "AlarmMailAddrSelf=\r\n"
    "AlarmMailUser=\r\n"
    "AlarmMailPassword=\r\n"
    "AlarmMailPop3Host=\r\n"
    "AlarmMailPop3Port=110\r\n"
    "AlarmMailSmtpHost=\r\n"
    "AlarmMailSmtpPort=25\r\n"
    "UseEmail=0\r\n";

TEST_F(AlrConfigTest, FreshSettingsSaveEveryKeyInOrder) {
  TAlrConfig cfg;
  std::string path = dir_.File("vigilo.ini");
  cfg.SaveToFile(path);
  EXPECT_EQ(ReadFile(path), kFreshFile);
  EXPECT_TRUE(sink_.Errors().empty());
}

TEST_F(AlrConfigTest, MissingFileReadsAsTheInitialValues) {
  TAlrConfig cfg;
  cfg.LogDetailed = true;
  cfg.AlarmMailSmtpPort = 1;
  cfg.Chains.resize(2);
  platform::ProfileFile ini(dir_.File("absent.ini"));
  cfg.LoadFromIni(ini, Fixed());
  EXPECT_FALSE(cfg.LogDetailed);
  EXPECT_EQ(cfg.DataCheckTime, 7200);
  EXPECT_EQ(cfg.ExactTime->GetText(), "08:00");
  EXPECT_EQ(cfg.LastCheckAt, 0);
  EXPECT_EQ(cfg.LastReportAt, 0);
  EXPECT_EQ(cfg.LastSentOutAt, 0);
  EXPECT_FALSE(cfg.ExcludeSundays);
  EXPECT_FALSE(cfg.UseEmail);
  EXPECT_TRUE(cfg.AlarmMailDefault);
  EXPECT_EQ(cfg.AlarmMailPop3Port, 110);
  EXPECT_EQ(cfg.AlarmMailSmtpPort, 25);
  EXPECT_EQ(cfg.AlarmMailAddr, "");
  EXPECT_EQ(cfg.AlarmMailBody, "");
  EXPECT_EQ(cfg.ChainCount(), 0);
}

TEST_F(AlrConfigTest, ReadsEveryKey) {
  TAlrConfig cfg;
  LoadText(cfg,
           "[general]\n"
           "LogDetailed=1\n"
           "DataCheckTime=0x10\n"
           "ExactTime=18:00 7:5\n"
           "LastCheckAt=02/01/2024 14:05:09\n"
           "LastReportAt=03/01/2024\n"
           "TrackedChains=1\n"
           "[ALARMS]\n"
           "ExcludeSundays=1\n"
           "LastSentOutAt=\"04/01/2024 08:00:00\"\n"
           "AlarmMailAddr=a@b.fr c@d.fr\n"
           "AlarmMailBody=\"Bonjour\",\"Merci beaucoup\"\n"
           "AlarmMailDefault=0\n"
           "AlarmMailAddrSelf=self@b.fr\n"
           "AlarmMailUser=user\n"
           "AlarmMailPassword=\"pass word\"\n"
           "AlarmMailPop3Host=pop.b.fr\n"
           "AlarmMailPop3Port=0x6E\n"
           "AlarmMailSmtpHost=smtp.b.fr\n"
           "AlarmMailSmtpPort=abc\n"
           "UseEmail=2\n"
           "[Chain00]\n"
           "TrackedChain=Nord\n"
           "ShouldCheck=0\n"
           "DaysNoCheck=76\n");
  EXPECT_TRUE(cfg.LogDetailed);
  EXPECT_EQ(cfg.DataCheckTime, 16);
  EXPECT_EQ(cfg.ExactTime->GetText(), "07:05 18:00");
  EXPECT_EQ(cfg.LastCheckAt, EncodeDate(2024, 1, 2) + EncodeTime(14, 5, 9, 0));
  EXPECT_EQ(cfg.LastReportAt, EncodeDate(2024, 1, 3));
  EXPECT_TRUE(cfg.ExcludeSundays);
  EXPECT_EQ(cfg.LastSentOutAt, EncodeDate(2024, 1, 4) + EncodeTime(8, 0, 0, 0));
  EXPECT_EQ(cfg.AlarmMailAddr, "a@b.fr c@d.fr");
  EXPECT_EQ(cfg.AlarmMailBody, "\"Bonjour\",\"Merci beaucoup\"");  // quotes kept
  EXPECT_FALSE(cfg.AlarmMailDefault);
  EXPECT_EQ(cfg.AlarmMailAddrSelf, "self@b.fr");
  EXPECT_EQ(cfg.AlarmMailUser, "user");
  EXPECT_EQ(cfg.AlarmMailPassword, "pass word");
  EXPECT_EQ(cfg.AlarmMailPop3Host, "pop.b.fr");
  EXPECT_EQ(cfg.AlarmMailPop3Port, 110);
  EXPECT_EQ(cfg.AlarmMailSmtpHost, "smtp.b.fr");
  EXPECT_EQ(cfg.AlarmMailSmtpPort, 25);
  EXPECT_TRUE(cfg.UseEmail);
  ASSERT_EQ(cfg.ChainCount(), 1);
  TChainParams chain;
  cfg.GetChain(0, chain);
  EXPECT_EQ(chain.TrackedChain, "Nord");
  EXPECT_FALSE(chain.ShouldCheck);
  EXPECT_EQ(chain.DbIndex, -1);
  TDaysNoCheck weekend{};
  weekend[6] = weekend[7] = true;
  EXPECT_EQ(chain.DaysNoCheck, weekend);
}

TEST_F(AlrConfigTest, ExactTimeIsReadAndWrittenAsAList) {
  const struct {
    const char* stored;
    const char* written;
  } cases[] = {{"", "08:00"}, {"7:5 18:00", "07:05 18:00"}, {"  18:00   06:30 ", "06:30 18:00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    TAlrConfig cfg;
    LoadText(cfg, std::string("[General]\nExactTime=") + c.stored + "\n");
    EXPECT_EQ(cfg.ExactTime->GetText(), c.written);
    std::string saved = SaveOver(cfg, "");
    EXPECT_NE(saved.find(std::string("\r\nExactTime=") + c.written + "\r\n"), std::string::npos);
  }
}

TEST_F(AlrConfigTest, DateTimesRoundTripWithoutMilliseconds) {
  const struct {
    TDateTime value;
    const char* written;
    TDateTime readBack;
  } cases[] = {
      {0, "30/12/1899", 0},
      {EncodeDate(2024, 3, 1), "01/03/2024", EncodeDate(2024, 3, 1)},
      {EncodeDate(2024, 3, 1) + EncodeTime(14, 5, 9, 750), "01/03/2024 14:05:09",
       EncodeDate(2024, 3, 1) + EncodeTime(14, 5, 9, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    TAlrConfig cfg;
    cfg.LastCheckAt = cfg.LastReportAt = cfg.LastSentOutAt = c.value;
    std::string saved = SaveOver(cfg, "");
    for (const char* key : {"LastCheckAt=", "LastReportAt=", "LastSentOutAt="}) {
      EXPECT_NE(saved.find(std::string("\r\n") + key + c.written + "\r\n"), std::string::npos)
          << key;
    }
    TAlrConfig back;
    LoadText(back, saved);
    EXPECT_DOUBLE_EQ(back.LastCheckAt, c.readBack);
    EXPECT_DOUBLE_EQ(back.LastReportAt, c.readBack);
    EXPECT_DOUBLE_EQ(back.LastSentOutAt, c.readBack);
  }
}

TEST(AlrConfigDaysTest, ExcludedDaysAsDigits) {
  const struct {
    const char* text;
    const char* days;  // the flags set, as the digits DaysToStr writes
  } cases[] = {
      {"7531", "1357"}, {"12345678", "1234567"},
      {"0", ""},        {"8", ""},
      {"9", ""},        {"abc", ""},
      {"  ", ""},       {"", ""},
      {"67", "67"},     {"77", "7"},
      {"x1y2", "12"},   {"1234567", "1234567"},
      {"00000001", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TDaysNoCheck days;
    days.fill(true);
    TAlrConfig::StrToDays(c.text, days);
    EXPECT_FALSE(days[0]);
    std::string text = "stale";
    TAlrConfig::DaysToStr(days, text);
    EXPECT_EQ(text, c.days);
  }
}

TEST_F(AlrConfigTest, CountWithoutItsSectionsGivesDefaultChains) {
  TAlrConfig cfg;
  LoadText(cfg,
           "[General]\nTrackedChains=3\n"
           "[Chain00]\nTrackedChain=A\nDaysNoCheck=1\n"
           "[Chain01]\nTrackedChain=B\nShouldCheck=0\n");
  ASSERT_EQ(cfg.ChainCount(), 3);
  EXPECT_EQ(cfg.Chains[0].TrackedChain, "A");
  EXPECT_TRUE(cfg.Chains[0].DaysNoCheck[1]);
  EXPECT_FALSE(cfg.Chains[1].ShouldCheck);
  EXPECT_EQ(cfg.Chains[2].TrackedChain, "");
  EXPECT_TRUE(cfg.Chains[2].ShouldCheck);
  EXPECT_EQ(cfg.Chains[2].DaysNoCheck, TDaysNoCheck{});
  EXPECT_EQ(cfg.Chains[2].DbIndex, -1);
}

TEST_F(AlrConfigTest, ChainSectionsAreNamedWithTwoDigitsAtLeast) {
  EXPECT_EQ(ChainSection(0), "Chain00");
  EXPECT_EQ(ChainSection(7), "Chain07");
  EXPECT_EQ(ChainSection(99), "Chain99");
  EXPECT_EQ(ChainSection(100), "Chain100");
}

TEST_F(AlrConfigTest, SaveErasesTheSectionsBetweenTheNewAndTheOldCount) {
  TAlrConfig cfg;
  cfg.Chains.resize(2);
  cfg.Chains[0].TrackedChain = "Nord";
  cfg.Chains[0].DaysNoCheck[7] = true;
  cfg.Chains[1].TrackedChain = "Sud";
  cfg.Chains[1].ShouldCheck = false;
  std::string saved = SaveOver(cfg,
                               "[General]\nTrackedChains=5\n"
                               "[Chain00]\nTrackedChain=Old0\n[Chain01]\nTrackedChain=Old1\n"
                               "[Chain02]\nTrackedChain=Old2\n[Chain03]\nTrackedChain=Old3\n"
                               "[chain04]\nTrackedChain=Old4\n[Chain07]\nTrackedChain=Stray\n");
  platform::ProfileFile ini(dir_.Write("check.ini", saved));
  EXPECT_EQ(ini.ReadInteger("General", "TrackedChains", -1), 2);
  EXPECT_EQ(ini.ReadString("Chain00", "TrackedChain", ""), "Nord");
  EXPECT_EQ(ini.ReadString("Chain00", "ShouldCheck", ""), "1");
  EXPECT_EQ(ini.ReadString("Chain00", "DaysNoCheck", "x"), "7");
  EXPECT_EQ(ini.ReadString("Chain01", "TrackedChain", ""), "Sud");
  EXPECT_EQ(ini.ReadString("Chain01", "ShouldCheck", ""), "0");
  EXPECT_EQ(ini.ReadString("Chain01", "DaysNoCheck", "x"), "");
  for (const char* gone : {"Chain02", "Chain03", "Chain04"}) {
    EXPECT_FALSE(ini.SectionExists(gone)) << gone;
  }
  EXPECT_EQ(ini.ReadString("Chain07", "TrackedChain", ""), "Stray");
}

TEST_F(AlrConfigTest, AHugeStoredCountErasesOnlyTheSectionsThatExist) {
  TAlrConfig cfg;
  cfg.Chains.resize(1);
  cfg.Chains[0].TrackedChain = "Nord";
  std::string saved = SaveOver(cfg,
                               "[General]\nTrackedChains=2147483647\n"
                               "[Chain03]\nA=1\n[Chain999999]\nA=1\n[Chain5]\nA=1\n"
                               "[Chain007]\nA=1\n[ChainX]\nA=1\n");
  platform::ProfileFile ini(dir_.Write("check.ini", saved));
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"General", "Chain5", "Chain007", "ChainX",
                                                          "Alarms", "Chain00"}));
}

TEST_F(AlrConfigTest, AStoredCountOutOfRangeIsAReadError) {
  const struct {
    const char* count;
    bool ok;
  } cases[] = {{"-1", false}, {"1001", false}, {"2147483647", false}, {"1000", true}, {"0", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    TAlrConfig cfg;
    cfg.Chains.resize(4);
    std::string text = std::string("[General]\nLogDetailed=1\nTrackedChains=") + c.count +
                       "\n[Alarms]\nUseEmail=1\n";
    if (c.ok) {
      LoadText(cfg, text);
      EXPECT_EQ(cfg.ChainCount(), std::stoi(c.count));
      continue;
    }
    try {
      LoadText(cfg, text);
      ADD_FAILURE() << "no error";
    } catch (const ERangeError& e) {
      EXPECT_EQ(e.Message(), "Range check error");
    }
    // The count is refused where the chains are made, after the [Alarms] keys.
    EXPECT_TRUE(cfg.LogDetailed);
    EXPECT_TRUE(cfg.UseEmail);
    EXPECT_EQ(cfg.ChainCount(), 4);  // untouched
  }
}

TEST_F(AlrConfigTest, MailBodyIsStoredAsDelimitedTextAndReadBackExactly) {
  const struct {
    std::vector<std::string> lines;
    const char* stored;
  } cases[] = {
      {{"Bonjour", "Merci beaucoup"}, "Bonjour,\"Merci beaucoup\""},
      {{"Bonjour Paul", "Merci beaucoup"}, "\"Bonjour Paul\",\"Merci beaucoup\""},
      {{"Un \"mot\"", "", "fin"}, "\"Un \"\"mot\"\"\",,fin"},
      {{""}, "\"\""},
      {{}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    TAlrConfig cfg;
    cfg.AlarmMailBody = StringsToCsv(c.lines);
    EXPECT_EQ(cfg.AlarmMailBody, c.stored);
    std::string path = dir_.File("body.ini");
    std::filesystem::remove(path);
    cfg.SaveToFile(path);
    EXPECT_NE(ReadFile(path).find(std::string("\r\nAlarmMailBody=") + c.stored + "\r\n"),
              std::string::npos);
    TAlrConfig back;
    platform::ProfileFile ini(path);
    back.LoadFromIni(ini, Fixed());
    EXPECT_EQ(back.AlarmMailBody, c.stored);
    std::vector<std::string> lines{"stale"};
    CsvToStrings(back.AlarmMailBody, lines);
    EXPECT_EQ(lines, c.lines);
  }
}

// A read trims a value and drops a pair of quotes around it: the strings the
// user typed must still come back as they were.
TEST_F(AlrConfigTest, StringsWithOuterBlanksOrQuotesSurviveASave) {
  TAlrConfig cfg;
  cfg.AlarmMailPassword = "\"secret\"";
  cfg.AlarmMailUser = " user ";
  cfg.AlarmMailAddrSelf = "'self'";
  cfg.AlarmMailBody = StringsToCsv({"Bonjour Paul"});
  std::string path = dir_.File("vigilo.ini");
  cfg.SaveToFile(path);
  TAlrConfig back;
  platform::ProfileFile ini(path);
  back.LoadFromIni(ini, Fixed());
  EXPECT_EQ(back.AlarmMailPassword, "\"secret\"");
  EXPECT_EQ(back.AlarmMailUser, " user ");
  EXPECT_EQ(back.AlarmMailAddrSelf, "'self'");
  EXPECT_EQ(back.AlarmMailBody, "\"Bonjour Paul\"");
}

TEST(AlrConfigTextTest, StringsToCsv) {
  const struct {
    std::vector<std::string> lines;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{""}, "\"\""},
      {{"", ""}, ","},
      {{"a", "b"}, "a,b"},
      {{"a b"}, "\"a b\""},
      {{"a,b"}, "\"a,b\""},
      {{"a\tb"}, "\"a\tb\""},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"caf\xe9", "cr\xe8me"}, "caf\xe9,cr\xe8me"},
      {{"\xa0"}, "\xa0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(StringsToCsv(c.lines), c.text);
  }
}

TEST(AlrConfigTextTest, CsvToStrings) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"\"\"", {""}},
      {"a b,c", {"a", "b", "c"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},
      {"a, ", {"a"}},
      {"  a  ,  b  ", {"a", "b"}},
      {"\"a b\",\"c\"\"d\"", {"a b", "c\"d"}},
      {"\"x\"y", {"x", "y"}},
      {",a", {"", "a"}},
      {"caf\xe9 cr\xe8me", {"caf\xe9", "cr\xe8me"}},
      {"\xe9", {"\xe9"}},
      {"\"unclosed, rest", {"unclosed, rest"}},
      {"a,\"", {"a", ""}},
      {"\"", {""}},
      {std::string("a\0b", 3), {"a"}},
      {std::string("\0a", 2), {}},
      {std::string("\"a\0b\"", 5), {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> lines{"stale"};
    CsvToStrings(c.text, lines);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(AlrConfigTextTest, WrittenListsReadBackLineForLine) {
  const std::vector<std::vector<std::string>> lists = {
      {"Bonjour", "", "Merci, \"vraiment\"", " marge ", "\t", "caf\xe9"},
      {"", "x"},
      {"x", ""},
      {"", "", ""},
  };
  for (const auto& list : lists) {
    std::vector<std::string> back;
    CsvToStrings(StringsToCsv(list), back);
    EXPECT_EQ(back, list) << StringsToCsv(list);
  }
}

TEST(AlrConfigTextTest, NormalizeSpaces) {
  const struct {
    std::string text;
    std::string normal;
  } cases[] = {
      {"  one   two  ", "one two"},
      {"", ""},
      {"   ", ""},
      {"\t\r\n a b \r\n", "a b"},
      {"a\t\tb", "a\t\tb"},
      {"a \t b", "a \t b"},
      {"\xe9  \xe8", "\xe9 \xe8"},
      {"\xa0 x \xa0", "\xa0 x \xa0"},
      {std::string("\0 a \0", 5), "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NormalizeSpaces(c.text), c.normal);
  }
}

TEST(AlrConfigFormatTest, FixedSettingsWhateverTheLocale) {
  TFormatSettings fs;
  fs.DateSeparator = '-';
  fs.ShortDateFormat = "yyyy-mm-dd";
  TAlrConfig::InitFormatSettings(fs);
  EXPECT_EQ(fs.DecimalSeparator, '.');
  EXPECT_EQ(fs.DateSeparator, '/');
  EXPECT_EQ(fs.TimeSeparator, ':');
  EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(fs.ShortTimeFormat, "hh:nn");
  EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss");
}

TEST_F(AlrConfigTest, AssignCopiesEverythingButTheDatabases) {
  TAlrConfig source;
  source.LogDetailed = true;
  source.ExactTime->SetText("06:00 20:00");
  source.DataCheckTime = 1;
  source.LastCheckAt = 100.5;
  source.LastReportAt = 101.25;
  source.ExcludeSundays = true;
  source.UseEmail = true;
  source.LastSentOutAt = 102;
  source.AlarmMailAddr = "a@b";
  source.AlarmMailBody = "x,y";
  source.AlarmMailDefault = false;
  source.AlarmMailAddrSelf = "s@b";
  source.AlarmMailUser = "u";
  source.AlarmMailPassword = "p";
  source.AlarmMailPop3Host = "pop";
  source.AlarmMailPop3Port = 995;
  source.AlarmMailSmtpHost = "smtp";
  source.AlarmMailSmtpPort = 465;
  source.Chains.resize(1);
  source.Chains[0].TrackedChain = "Nord";
  source.Chains[0].ConnectionString = "h:/d.fdb";
  source.Databases->TrackDirectory[0] = "Nord";

  for (int way = 0; way < 2; ++way) {
    SCOPED_TRACE(way);
    TAlrConfig target;
    if (way == 0) target.Assign(source);
    if (way == 1) source.AssignTo(target);
    EXPECT_TRUE(target.LogDetailed);
    EXPECT_EQ(target.ExactTime->GetText(), "06:00 20:00");
    EXPECT_EQ(target.DataCheckTime, 1);
    EXPECT_EQ(target.LastCheckAt, 100.5);
    EXPECT_EQ(target.LastReportAt, 101.25);
    EXPECT_TRUE(target.ExcludeSundays);
    EXPECT_TRUE(target.UseEmail);
    EXPECT_EQ(target.LastSentOutAt, 102);
    EXPECT_EQ(target.AlarmMailAddr, "a@b");
    EXPECT_EQ(target.AlarmMailBody, "x,y");
    EXPECT_FALSE(target.AlarmMailDefault);
    EXPECT_EQ(target.AlarmMailAddrSelf, "s@b");
    EXPECT_EQ(target.AlarmMailUser, "u");
    EXPECT_EQ(target.AlarmMailPassword, "p");
    EXPECT_EQ(target.AlarmMailPop3Host, "pop");
    EXPECT_EQ(target.AlarmMailPop3Port, 995);
    EXPECT_EQ(target.AlarmMailSmtpHost, "smtp");
    EXPECT_EQ(target.AlarmMailSmtpPort, 465);
    ASSERT_EQ(target.ChainCount(), 1);
    EXPECT_EQ(target.Chains[0].ConnectionString, "h:/d.fdb");
    EXPECT_EQ(target.Databases->TrackDirectory[0], "");  // not copied
    target.Chains[0].TrackedChain = "changed";           // an independent copy
    EXPECT_EQ(source.Chains[0].TrackedChain, "Nord");
    source.ExactTime->SetText("01:00");
    EXPECT_EQ(target.ExactTime->GetText(), "06:00 20:00");
    source.ExactTime->SetText("06:00 20:00");
  }
}

TEST_F(AlrConfigTest, AssignRefusesOtherClasses) {
  TAlrConfig cfg;
  cfg.LogDetailed = true;
  TQorConfig qor;
  for (int way = 0; way < 2; ++way) {
    SCOPED_TRACE(way);
    try {
      if (way == 0) cfg.Assign(qor);
      if (way == 1) cfg.AssignTo(qor);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "Attemp to assign wront object to TAlrConfig.");
    }
    EXPECT_TRUE(cfg.LogDetailed);
    EXPECT_EQ(qor.TimeBetweenActions, 60);
  }
}

TEST_F(AlrConfigTest, ChainAccessors) {
  TAlrConfig cfg;
  cfg.Chains.resize(3);
  cfg.Chains[0].TrackedChain = "Nord";
  cfg.Chains[1].TrackedChain = "Sud";
  cfg.Chains[2].TrackedChain = "sud";
  EXPECT_EQ(cfg.ChainCount(), 3);
  EXPECT_EQ(cfg.IndexOfChain("NORD"), 0);
  EXPECT_EQ(cfg.IndexOfChain("sud"), 1);
  EXPECT_EQ(cfg.IndexOfChain("Est"), -1);
  TChainParams chain;
  cfg.GetChain(1, chain);
  chain.ShouldCheck = false;
  chain.DaysNoCheck[3] = true;
  chain.FolderName = "SUD";
  EXPECT_TRUE(cfg.Chains[1].ShouldCheck);  // a copy
  cfg.SetChain(1, chain);
  EXPECT_FALSE(cfg.Chains[1].ShouldCheck);
  EXPECT_TRUE(cfg.Chains[1].DaysNoCheck[3]);
  EXPECT_EQ(cfg.Chains[1].FolderName, "SUD");
}

TEST_F(AlrConfigTest, AFailedWriteIsLoggedAndLeavesTheFileWhole) {
  // A value with a line break would add a key of its own: the profile refuses it.
  const std::string original = "[General]\nLogDetailed=1\n";
  std::string path = dir_.Write("vigilo.ini", original);
  TAlrConfig cfg;
  cfg.AlarmMailAddr = "a@b\r\nUseEmail=1";
  cfg.SaveToFile(path);
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(sink_.Errors(), std::vector<std::string>{"Error writing data to " + path +
                                                     " : Unable to write to " + path});

  // A file that cannot be written, whether it cannot be created, is
  // read-only or cannot even be read first, gives the same text.
  TAlrConfig fresh;
  const std::string folder = dir_.File("folder.ini");
  std::filesystem::create_directory(folder);
  const std::string readOnly = dir_.Write("readonly.ini", original);
  std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read);
  for (const std::string& target : {dir_.File("no/vigilo.ini"), folder, readOnly}) {
    SCOPED_TRACE(target);
    sink_.Clear();
    fresh.SaveToFile(target);
    EXPECT_EQ(sink_.Errors(), std::vector<std::string>{"Error writing data to " + target +
                                                       " : Unable to write to " + target});
  }
  EXPECT_EQ(ReadFile(readOnly), original);
}

}  // namespace
