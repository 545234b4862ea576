#include "platform/text.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string Byte(int b) {
  return std::string(1, static_cast<char>(b));
}

// glibc's own converter, an independent reading of the code page; it knows
// nothing of the five undefined bytes.
std::optional<std::string> IconvToUtf8(const std::string& in) {
  iconv_t cd = iconv_open("UTF-8", "CP1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string src = in;
  std::string out(16, '\0');
  char* inPtr = src.data();
  size_t inLeft = src.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

bool IsUndefinedByte(int b) {
  return b == 129 || b == 141 || b == 143 || b == 144 || b == 157;
}

TEST(Cp1252ToUtf8, EveryDefinedByteAsTheSystemConverterHasIt) {
  for (int b = 0; b < 256; ++b) {
    if (IsUndefinedByte(b)) continue;
    std::optional<std::string> expected = IconvToUtf8(Byte(b));
    ASSERT_TRUE(expected.has_value()) << "byte " << b;
    EXPECT_EQ(platform::Cp1252ToUtf8(Byte(b)), *expected) << "byte " << b;
  }
}

TEST(Cp1252ToUtf8, UndefinedBytesBecomeTheirControlCodePoints) {
  const struct {
    int byte;
    const char* utf8;
  } cases[] = {
      {129, "\xC2\x81"}, {141, "\xC2\x8D"}, {143, "\xC2\x8F"}, {144, "\xC2\x90"}, {157, "\xC2\x9D"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::Cp1252ToUtf8(Byte(c.byte)), c.utf8) << c.byte;
}

TEST(Cp1252ToUtf8, WholeTextsKeepEveryByte) {
  EXPECT_EQ(platform::Cp1252ToUtf8(""), "");
  EXPECT_EQ(platform::Cp1252ToUtf8("caf\xE9 \x80 5"), "caf\xC3\xA9 \xE2\x82\xAC 5");
  EXPECT_EQ(platform::Cp1252ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf16ToUtf8, PairsJoinAndUnpairedSurrogatesBecomeReplacements) {
  const struct {
    const char* name;
    std::u16string utf16;
    std::string utf8;
  } cases[] = {
      {"empty", u"", ""},
      {"accent and euro", u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"},
      {"zero unit kept", std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"high at the end", std::u16string(u"x") + u'\xD83D', "x\xEF\xBF\xBD"},
      {"low alone", std::u16string(1, u'\xDE00') + u"x", "\xEF\xBF\xBDx"},
      {"pair reversed", std::u16string(1, u'\xDE00') + u'\xD83D', "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::Utf16ToUtf8(c.utf16), c.utf8) << c.name;

  // cp1252 through UTF-16 gives the bytes of the direct conversion.
  std::string all;
  for (int b = 0; b < 256; ++b) all += Byte(b);
  const std::u16string wide = platform::Cp1252ToUtf16(all);
  ASSERT_EQ(wide.size(), all.size());
  EXPECT_EQ(platform::Utf16ToUtf8(wide), platform::Cp1252ToUtf8(all));
}

TEST(Utf8ToCp1252, RoundTripOfEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(platform::Utf8ToCp1252(platform::Cp1252ToUtf8(Byte(b))), Byte(b)) << "byte " << b;
    all += Byte(b);
  }
  EXPECT_EQ(platform::Utf8ToCp1252(platform::Cp1252ToUtf8(all)), all);
}

TEST(Utf8ToCp1252, MalformedAndForeignText) {
  const struct {
    const char* name;
    std::string utf8;
    std::string cp1252;
  } cases[] = {
      {"plain", "abc", "abc"},
      {"accent", "\xC3\xA9t\xC3\xA9", "\xE9t\xE9"},
      {"euro sign", "\xE2\x82\xAC", "\x80"},
      {"C1 control cp1252 has no byte for", "\xC2\x80", "?"},
      {"katakana", "\xE3\x82\xA2", "?"},
      {"emoji", "\xF0\x9F\x98\x80", "?"},
      {"stray continuation byte", "a\x80z", "a?z"},
      {"byte that never starts UTF-8", "a\xFFz", "a?z"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"overlong three bytes", "\xE0\x80\xAF", "???"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "????"},
      {"cut at the end", "ab\xE2\x82", "ab??"},
      {"lead byte before ASCII", "\xC3(", "?("},
      {"zero byte kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::Utf8ToCp1252(c.utf8), c.cp1252) << c.name;
}

TEST(UpperCaseCp1252, EveryByteAsUnicodeCapitalisesIt) {
  // ICU's simple upper-case mapping of each character, kept when the capital
  // has no cp1252 byte.
  for (int b = 0; b < 256; ++b) {
    std::string utf8 = platform::Cp1252ToUtf8(Byte(b));
    UChar32 cp = 0;
    int32_t i = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(utf8.data()), i, static_cast<int32_t>(utf8.size()),
            cp);
    UChar32 upper = u_toupper(cp);
    std::string upperUtf8;
    if (upper < 0x80) {
      upperUtf8 = std::string(1, static_cast<char>(upper));
    } else {
      char buffer[4];
      int32_t n = 0;
      U8_APPEND_UNSAFE(buffer, n, upper);
      upperUtf8.assign(buffer, n);
    }
    std::string back = platform::Utf8ToCp1252(upperUtf8);
    std::string expected = back == "?" ? Byte(b) : back;
    EXPECT_EQ(platform::UpperCaseCp1252(Byte(b)), expected) << "byte " << b;
  }
}

TEST(UpperCaseCp1252, Texts) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"alpha 12", "ALPHA 12"},
      {"d:\\donn\xE9"
       "es",
       "D:\\DONN\xC9"
       "ES"},
      {"\xFF\x9A\x9C\x9E", "\x9F\x8A\x8C\x8E"},  // ÿšœž
      {"\xDF\xB5\x83\xF7", "\xDF\xB5\x83\xF7"},  // ßµƒ÷ stay
      {"MiXeD", "MIXED"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::UpperCaseCp1252(c.in), c.out) << c.in;
}

// Holds in every locale the tests may run under.
TEST(CompareTextLocale, IgnoresCaseButNotAccents) {
  const struct {
    std::string a, b;
    int sign;
  } cases[] = {
      {"Alpha", "ALPHA", 0},
      {"\xE9t\xE9", "\xC9T\xC9", 0},  // été ÉTÉ
      {"\x9C"
       "uvre",
       "\x8C"
       "UVRE",
       0},  // œuvre ŒUVRE
      {"", "", 0},
      {"", "a", -1},
      {"ALPHA", "midi", -1},
      {"midi", "ZETA", -1},
      {"abd", "ABC", 1},
      {"e", "\xE9", -1},  // accents count
      {"Shop 2", "shop 10", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::CompareTextLocale(c.a, c.b), c.sign) << c.a << " / " << c.b;
    EXPECT_EQ(platform::CompareTextLocale(c.b, c.a), -c.sign) << c.b << " / " << c.a;
    EXPECT_EQ(platform::SameTextLocale(c.a, c.b), c.sign == 0) << c.a << " / " << c.b;
  }
}

// Keys compared as bytes give the comparison's order and equality, for every
// pair of a set of names that differ in case, accents, ligatures, digits,
// blanks, undefined bytes and length.
TEST(CollationKey, BytewiseOrderIsTheComparisonsOrder) {
  const std::vector<std::string> names = {"",
                                          "a",
                                          "A",
                                          "Alpha",
                                          "ALPHA",
                                          "alphA ",
                                          "\xE9t\xE9",
                                          "\xC9T\xC9",
                                          "ete",
                                          "\x9C"
                                          "uvre",
                                          "\x8C"
                                          "UVRE",
                                          "oeuvre",
                                          "Shop 2",
                                          "shop 10",
                                          "Shop\t2",
                                          "Caf\xE9",
                                          "CAFE",
                                          "caf\xE8",
                                          "Stra\xDF"
                                          "e",
                                          "STRASSE",
                                          "\x81\x8D",
                                          "\x8F\x90\x9D",
                                          "z",
                                          "\xFF",
                                          "\x9F",
                                          "M\xFC"
                                          "ller",
                                          "Mueller",
                                          "abc\x80",
                                          "-abc",
                                          "abc-",
                                          std::string(300, 'x') + "y"};
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      const int byKey = platform::CollationKey(a).compare(platform::CollationKey(b));
      const int sign = byKey < 0 ? -1 : (byKey > 0 ? 1 : 0);
      EXPECT_EQ(sign, platform::CompareTextLocale(a, b)) << a << " / " << b;
    }
  }
}

TEST(CompareTextLocale, SameResultsOnSeveralThreads) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"Alpha", "ALPHA"}, {"zeta", "Alpha"}, {"\xE9t\xE9", "ete"}, {"Midi", "MIDI 2"},
      {"\xF6", "z"},      {"a", "b"},        {"shop", "SHOP"},     {"", "x"},
  };
  std::vector<int> expected;
  for (const auto& p : pairs) expected.push_back(platform::CompareTextLocale(p.first, p.second));

  // Every thread compares the pairs many times over, interleaved with the
  // others; each round must give the single-threaded results.
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::vector<int> goodRounds(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<int> got;
        for (const auto& p : pairs) got.push_back(platform::CompareTextLocale(p.first, p.second));
        if (got == expected) ++goodRounds[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(goodRounds[t], kRounds) << "thread " << t;
}

// The collator is built once per process from its environment, so each locale
// is tried in a fresh process: the probe prints the locale's name and the sign
// of its comparison of its two arguments.
struct ProbeResult {
  std::string locale;
  int sign = 0;
  bool ok = false;
};

ProbeResult RunProbe(const std::vector<std::string>& env, const std::string& a,
                     const std::string& b) {
  ProbeResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {TEXT_PROBE_PATH, a, b};
  std::vector<char*> argv, envp;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> envCopy = env;
  for (auto& s : envCopy) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, TEXT_PROBE_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(out[0]);
  if (rc != 0) return result;
  int status = 0;
  waitpid(pid, &status, 0);
  size_t newline = text.find('\n');
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || newline == std::string::npos) return result;
  result.locale = text.substr(0, newline);
  result.sign = std::stoi(text.substr(newline + 1));
  result.ok = true;
  return result;
}

TEST(CompareTextLocale, FollowsTheProcessLocale) {
  // In Swedish ö is a letter of its own after z; elsewhere it sorts with o.
  const std::string oUmlaut = "\xF6";
  const struct {
    std::vector<std::string> env;
    const char* locale;
    int sign;
  } cases[] = {
      {{}, "", -1},
      {{"LANG=sv_SE.UTF-8"}, "sv_SE", 1},
      {{"LANG=de_DE.UTF-8"}, "de_DE", -1},
      {{"LC_COLLATE=sv_SE", "LANG=de_DE"}, "sv_SE", 1},
      {{"LC_ALL=de_DE", "LC_COLLATE=sv_SE", "LANG=sv_SE"}, "de_DE", -1},
      {{"LC_ALL=", "LC_COLLATE=sv_SE.ISO-8859-1"}, "sv_SE", 1},
      {{"LC_ALL=C", "LANG=sv_SE"}, "", -1},
      {{"LANG=POSIX"}, "", -1},
      {{"LANG=C.UTF-8"}, "", -1},
      {{"LANG=fi_FI@euro"}, "fi_FI", 1},
  };
  for (const auto& c : cases) {
    std::string where;
    for (const auto& e : c.env) where += e + " ";
    ProbeResult r = RunProbe(c.env, oUmlaut, "z");
    ASSERT_TRUE(r.ok) << where;
    EXPECT_EQ(r.locale, c.locale) << where;
    EXPECT_EQ(r.sign, c.sign) << where;
  }
}

TEST(CompareTextLocale, CaseIsIgnoredInAnotherLocaleToo) {
  ProbeResult r = RunProbe({"LANG=sv_SE.UTF-8"},
                           "\xC5"
                           "ngstr\xF6m",
                           "\xE5NGSTR\xD6M");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.sign, 0);
}

}  // namespace
