#include "service/alr_alarminfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "platform/text.h"

namespace {

// Key order depends on the collation locale: pin it before the first
// comparison, which builds the collator.
[[maybe_unused]] const bool kCollationPinned = [] {
  unsetenv("LC_ALL");
  setenv("LC_COLLATE", "fr_FR.UTF-8", 1);
  setenv("LANG", "fr_FR.UTF-8", 1);
  return true;
}();

const std::string kHeader =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
    "\"http://www.w3.org/TR/html4/strict.dtd\">\r\n"
    "<html>\r\n"
    "<head>\r\n"
    "<meta charset=\"utf-8\">\r\n"
    "<style type=\"text/css\">\r\n"
    "table { text-align: top; background: #fffff0; }\r\n"
    "tr.even { background: #fff8dc; }\r\n"
    "</style>\r\n"
    "</head>\r\n"
    "<body>\r\n";
const std::string kFooter = "</body>\r\n</html>\r\n";
// "généré" and "à" in UTF-8.
const std::string kGeneratedUtf8 = "Le rapport est g\xC3\xA9n\xC3\xA9r\xC3\xA9 par ";
const std::string kAtUtf8 = " \xC3\xA0 ";

TChainParams Chain(const std::string& folder, const std::string& connection = "srv:/db/x.fdb") {
  TChainParams chain;
  chain.TrackedChain = folder;
  chain.FolderName = folder;
  chain.ConnectionString = connection;
  return chain;
}

std::vector<std::string> Keys(const TReportList& list) {
  std::vector<std::string> keys;
  for (int32_t i = 0; i < list.Count(); ++i) keys.push_back(list.Keys(i));
  return keys;
}

class AlarmReportTest : public ::testing::Test {
 protected:
  AlarmReportTest() {
    EXPECT_EQ(platform::CollationLocaleName(), "fr_FR");
    report.Clock = [] { return EncodeDate(2024, 3, 14) + EncodeTime(10, 30, 0, 0); };
    report.FormatSettings = TFormatSettings{};
    report.FormatSettings.ShortDateFormat = "dd/mm/yyyy";
    report.FormatSettings.ShortTimeFormat = "hh:nn";
  }
  std::string Html() {
    std::string html = "left over";
    report.BuildHtml(html);
    return html;
  }
  TAlarmReport report;
};

// ---- the lists ----

TEST_F(AlarmReportTest, AlarmsOfOneShopShareItsEntryInArrivalOrder) {
  report.AddAlarm(Chain("SHOPS1"), "Alpha", "first");
  report.AddAlarm(Chain("SHOPS1"), "ALPHA", "second");
  report.AddAlarm(Chain("shops1", "other:/db.fdb"), "alpha", "first");

  ASSERT_EQ(report.Count(), 1);
  const TChainAlarms& chain = report.Chains(0);
  EXPECT_EQ(report.Keys(0), "SHOPS1");
  // The chain keeps the parameters of its first alarm.
  EXPECT_EQ(chain.Chain.ConnectionString, "srv:/db/x.fdb");
  ASSERT_EQ(chain.Count(), 1);
  EXPECT_EQ(chain.Keys(0), "Alpha");
  EXPECT_EQ(chain.Shops(0).ShopName, "Alpha");
  EXPECT_THAT(Keys(chain.Shops(0)), ::testing::ElementsAre("first", "second", "first"));
}

TEST_F(AlarmReportTest, PrepareSortsChainsAndShopsByTheLocaleCollation) {
  for (const char* folder : {"ZETA", "ALPHA", "midi"}) {
    // "\xC9clair" is "Éclair": by bytes it would sort after "zebra".
    for (const char* shop : {"zebra",
                             "\xC9"
                             "clair",
                             "apple", "Banane"}) {
      report.AddAlarm(Chain(folder), shop, "x");
    }
  }
  report.AddAlarm(Chain("ZETA"), "Zed", "late text");
  report.AddAlarm(Chain("ZETA"), "Zed", "early text");

  report.Prepare();

  EXPECT_THAT(Keys(report), ::testing::ElementsAre("ALPHA", "midi", "ZETA"));
  EXPECT_THAT(Keys(report.Chains(0)), ::testing::ElementsAre("apple", "Banane",
                                                             "\xC9"
                                                             "clair",
                                                             "zebra"));
  EXPECT_THAT(Keys(report.Chains(2)), ::testing::ElementsAre("apple", "Banane",
                                                             "\xC9"
                                                             "clair",
                                                             "zebra", "Zed"));
  // Alarm texts keep their order.
  EXPECT_THAT(Keys(report.Chains(2).Shops(4)), ::testing::ElementsAre("late text", "early text"));
  EXPECT_EQ(report.IndexOf("Midi"), 1);
  EXPECT_EQ(report.Chains(0).IndexOf("BANANE"), 1);
  EXPECT_EQ(report.IndexOf("MIDI2"), -1);
}

TEST_F(AlarmReportTest, AddingAfterASortAppendsAndTheNextPrepareSortsAgain) {
  report.AddAlarm(Chain("B"), "s", "x");
  report.AddAlarm(Chain("C"), "s", "x");
  report.Prepare();
  report.AddAlarm(Chain("A"), "s", "x");
  EXPECT_THAT(Keys(report), ::testing::ElementsAre("B", "C", "A"));
  EXPECT_EQ(report.IndexOf("a"), 2);
  report.Prepare();
  EXPECT_THAT(Keys(report), ::testing::ElementsAre("A", "B", "C"));
  EXPECT_EQ(report.IndexOf("c"), 2);
}

TEST_F(AlarmReportTest, ClearEmptiesTheTreeAndCanRepeat) {
  report.Clear();
  EXPECT_EQ(report.Count(), 0);
  report.AddAlarm(Chain("A"), "s", "x");
  report.AddAlarm(Chain("B"), "t", "y");
  report.Clear();
  report.Clear();
  EXPECT_EQ(report.Count(), 0);
  EXPECT_EQ(report.IndexOf("A"), -1);
  report.AddAlarm(Chain("B"), "t", "y");
  EXPECT_THAT(Keys(report), ::testing::ElementsAre("B"));
  EXPECT_THROW(report.Keys(1), std::out_of_range);
}

// ---- the HTML ----

TEST_F(AlarmReportTest, EmptyReportWithAndWithoutVersion) {
  // This program's version is 3.2.0.7; a file without version information
  // gives 0.0.
  const TVersionInfo self;
  const TVersionInfo none("/nonexistent/program");
  struct Case {
    const TVersionInfo* version;
    std::string generated;
  };
  const Case cases[] = {
      // No version information: two blanks before "à".
      {nullptr, "CORVANTE Alert Service " + kAtUtf8},
      {&self, "CORVANTE Alert Service (v 3.2)" + kAtUtf8},
      {&none, "CORVANTE Alert Service (v 0.0)" + kAtUtf8},
  };
  for (const Case& c : cases) {
    report.VersionInfo = c.version;
    EXPECT_EQ(Html(), kHeader + kGeneratedUtf8 + c.generated + "14/03/2024 10:30" +
                          "<h4>Il y avait trouv\xC3\xA9 aucune alarme.</h4>\r\n" + kFooter);
  }
}

TEST_F(AlarmReportTest, GeneratedByLineUsesTheLocaleFormats) {
  report.FormatSettings.ShortDateFormat = "yyyy-mm-dd";
  report.FormatSettings.ShortTimeFormat = "h:nn";
  report.Clock = [] { return EncodeDate(2024, 1, 2) + EncodeTime(7, 5, 0, 0); };
  const TVersionInfo self;
  report.VersionInfo = &self;
  EXPECT_EQ(
      report.GetGeneratedByLine(),
      "Le rapport est g\xE9n\xE9r\xE9 par CORVANTE Alert Service (v 3.2) \xE0 2024-01-02 7:05");
}

// A report made without settings of its own takes the locale's: the C
// locale's short date writes months first and two-digit years.
TEST(AlarmReportLocaleTest, GeneratedByLineDefaultsToTheLocaleFormats) {
  const char* before = std::getenv("LC_TIME");
  const std::string saved = before ? before : "";
  setenv("LC_TIME", "C", 1);
  TAlarmReport report;
  if (before) {
    setenv("LC_TIME", saved.c_str(), 1);
  } else {
    unsetenv("LC_TIME");
  }
  report.Clock = [] { return EncodeDate(2024, 3, 14) + EncodeTime(9, 5, 0, 0); };
  EXPECT_EQ(report.GetGeneratedByLine(),
            "Le rapport est g\xE9n\xE9r\xE9 par CORVANTE Alert Service  \xE0 03/14/24 09:05");
}

TEST(ShopAlarmsTest, CellsOfOneAndOfThreeAlarms) {
  struct Case {
    std::vector<std::string> texts;
    std::string expected;
  };
  const std::string open = "<td valign=\"top\"><b>Nord</b></td>\r\n<td valign=\"top\">\r\n";
  const Case cases[] = {
      {{"one"}, open + "one\r\n</td>\r\n"},
      {{"one", "two", "three"}, open + "one<br>\r\ntwo<br>\r\nthree\r\n</td>\r\n"},
  };
  for (const Case& c : cases) {
    TShopAlarms shop("Nord");
    for (const std::string& text : c.texts) shop.AddText(text);
    std::string html = "left over";
    shop.BuildHtml(html);
    EXPECT_EQ(html, c.expected);
  }
}

TEST(ChainAlarmsTest, SectionOfThreeShopsInAscendingOrderWithRowClasses) {
  TChainParams params = Chain("SHOPS1", "db.example:/data/shops1.fdb");
  params.DaysNoCheck[6] = params.DaysNoCheck[7] = true;
  TChainAlarms chain(params);
  for (const char* name : {"Centre", "Bourse", "Arche"}) {
    chain.FindOrAddShop(name).AddText(std::string("Absence du comptage depuis ") + name);
  }
  std::string html;
  chain.BuildHtml(html);
  const auto row = [](const std::string& open, const std::string& name) {
    return open + "<td valign=\"top\"><b>" + name + "</b></td>\r\n<td valign=\"top\">\r\n" +
           "Absence du comptage depuis " + name + "\r\n</td>\r\n</tr>\r\n";
  };
  // Still Windows-1252: "données" and "contrôle" as single bytes.
  EXPECT_EQ(html,
            "<h2>SHOPS1</h2>\r\n"
            "Base de donn\xE9"
            "es: db.example:/data/shops1.fdb<br>\r\n"
            "Jours sont exclus du contr\xF4le: Sam, Dim<br>\r\n"
            "<table>\r\n" +
                row("<tr>\r\n", "Arche") + row("<tr class=\"even\">\r\n", "Bourse") +
                row("<tr>\r\n", "Centre") + "</table>\r\n");
}

TEST(ChainAlarmsTest, ExcludedDaysSentence) {
  struct Case {
    std::vector<int> excluded;
    std::string sentence;
  };
  const std::string prefix = "Jours sont exclus du contr\xF4le: ";
  const Case cases[] = {
      {{}, "Tous les jours de la semaine sont inclus pour le contr\xF4le."},
      {{6, 7}, prefix + "Sam, Dim"},
      {{1, 2, 3, 4, 5, 6, 7}, prefix + "Lun, Mar, Mer, Jeu, Ven, Sam, Dim"},
      {{7}, prefix + "Dim"},
      {{1, 4}, prefix + "Lun, Jeu"},
  };
  for (const Case& c : cases) {
    TChainParams params = Chain("C");
    for (int day : c.excluded) params.DaysNoCheck[static_cast<size_t>(day)] = true;
    std::string text = "left over";
    TChainAlarms(params).GetExcludedDaysText(text);
    EXPECT_EQ(text, c.sentence);
  }
}

TEST_F(AlarmReportTest, WholeReportInUtf8WithEscapedNamesAndTexts) {
  const TVersionInfo self;
  report.VersionInfo = &self;
  TChainParams zeta = Chain("Z&Co", "srv:/\"q\"/<z>.fdb");
  zeta.DaysNoCheck[3] = true;
  report.AddAlarm(zeta, "<script>", "Absence du comptage depuis 11/03/2024");
  report.AddAlarm(zeta, "Caf\xE9 &amp;", "a<b & c>d \"q\"");
  report.AddAlarm(Chain("Alpha"), "H\xF4tel", "Absence du comptage depuis 13/03/2024");

  const std::string html = Html();

  const std::string expected =
      kHeader + kGeneratedUtf8 + "CORVANTE Alert Service (v 3.2)" + kAtUtf8 + "14/03/2024 10:30" +
      "<h2>Alpha</h2>\r\n"
      "Base de donn\xC3\xA9"
      "es: srv:/db/x.fdb<br>\r\n"
      "Tous les jours de la semaine sont inclus pour le contr\xC3\xB4le.<br>\r\n"
      "<table>\r\n"
      "<tr>\r\n"
      "<td valign=\"top\"><b>H\xC3\xB4tel</b></td>\r\n"
      "<td valign=\"top\">\r\n"
      "Absence du comptage depuis 13/03/2024\r\n"
      "</td>\r\n"
      "</tr>\r\n"
      "</table>\r\n"
      "<h2>Z&amp;Co</h2>\r\n"
      "Base de donn\xC3\xA9"
      "es: srv:/&quot;q&quot;/&lt;z&gt;.fdb<br>\r\n"
      "Jours sont exclus du contr\xC3\xB4le: Mer<br>\r\n"
      "<table>\r\n"
      "<tr>\r\n"
      "<td valign=\"top\"><b>&lt;script&gt;</b></td>\r\n"
      "<td valign=\"top\">\r\n"
      "Absence du comptage depuis 11/03/2024\r\n"
      "</td>\r\n"
      "</tr>\r\n"
      "<tr class=\"even\">\r\n"
      "<td valign=\"top\"><b>Caf\xC3\xA9 &amp;amp;</b></td>\r\n"
      "<td valign=\"top\">\r\n"
      "a&lt;b &amp; c&gt;d &quot;q&quot;\r\n"
      "</td>\r\n"
      "</tr>\r\n"
      "</table>\r\n" +
      kFooter;
  EXPECT_EQ(html, expected);
  // Converted once: no UTF-8 of UTF-8 ("Ã" is C3 83) anywhere.
  EXPECT_EQ(html.find("\xC3\x83"), std::string::npos);
}

TEST_F(AlarmReportTest, ChainReportIsTheMainReportOfThatChainAlone) {
  report.AddAlarm(Chain("Solo"), "Caf\xE9", "x<1");
  report.AddAlarm(Chain("Solo"), "Abri", "y");
  const std::string whole = Html();
  std::string header, section, footer, chainReport;
  TReportList::GetHtmlHeader(header);
  report.Chains(0).BuildHtml(section);
  TReportList::GetHtmlFooter(footer);
  TReportList::ConvertToUtf8(header + report.GetGeneratedByLine() + section + footer, 1252,
                             chainReport);
  EXPECT_EQ(chainReport, whole);
}

// ---- the conversion ----

TEST(ConversionTest, Utf8OfEveryByteMatchesTheWayThroughUtf16) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string direct;
  TReportList::ConvertToUtf8(all, 1252, direct);
  std::u16string wide;
  TReportList::AnsiToWide(all, 1252, wide);
  std::string viaWide;
  TReportList::WideToUtf8(wide, viaWide);
  EXPECT_EQ(direct, viaWide);
  ASSERT_EQ(wide.size(), all.size());
  EXPECT_EQ(wide[0x80 - 1], u'\u20AC');
  EXPECT_EQ(wide[0x81 - 1], u'\u0081');
  EXPECT_EQ(wide[0x9F - 1], u'\u0178');
  EXPECT_EQ(wide[0xE9 - 1], u'\u00E9');

  struct Case {
    std::string ansi;
    std::string utf8;
  };
  const Case cases[] = {
      {"", ""},
      {"\xE9", "\xC3\xA9"},
      {"\x80", "\xE2\x82\xAC"},
      {"\x9D", "\xC2\x9D"},
      {"a\xFF", "a\xC3\xBF"},
  };
  for (const Case& c : cases) {
    std::string out = "left over";
    TReportList::ConvertToUtf8(c.ansi, 1252, out);
    EXPECT_EQ(out, c.utf8);
  }
}

TEST(ConversionTest, SurrogatesAndUnknownCodePages) {
  std::string out;
  TReportList::WideToUtf8(u"\U0001F600", out);
  EXPECT_EQ(out, "\xF0\x9F\x98\x80");
  TReportList::WideToUtf8(std::u16string(1, u'\xD800') + u"x", out);
  EXPECT_EQ(out, "\xEF\xBF\xBDx");
  EXPECT_THROW(TReportList::ConvertToUtf8("x", 1251, out), EConvertError);
}

}  // namespace
