#include "maillib/mail_text.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

#include "tests/maillib/smtp_test_server.h"
#include "tests/support/temp_folder.h"

namespace {

using quennet::Base64;
using quennet::EncodeHeaderWords;
using quennet::SplitDelimited;
using Lines = std::vector<std::string>;

// An independent decoder, so the encoder is not checked against itself.
std::string Unbase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    size_t v = alphabet.find(c);
    if (v == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

bool IsWholeUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

TEST(SplitDelimitedTest, Cases) {
  struct Case {
    std::string text;
    Lines lines;
  };
  const Case cases[] = {
      {"", {}},
      {"\"\"", {""}},
      {"a b,c", {"a", "b", "c"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},
      {"  a", {"a"}},
      {"Bonjour,\"Merci beaucoup\"", {"Bonjour", "Merci beaucoup"}},
      {"\"say \"\"hi\"\"\",x", {"say \"hi\"", "x"}},
      {"\"CORVANTE Alert Service 1.0\",", {"CORVANTE Alert Service 1.0", ""}},
      {"\"a, b\",\"c\"", {"a, b", "c"}},
      {"\"never closed, rest", {"never closed, rest"}},
      {"\"/srv/vigilo/Reports/alert_report_SHOPS 1.html\"",
       {"/srv/vigilo/Reports/alert_report_SHOPS 1.html"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitDelimited(c.text), c.lines) << c.text;
}

TEST(SplitRecipientsTest, Cases) {
  struct Case {
    std::string text;
    Lines addresses;
  };
  const Case cases[] = {
      {"", {}},
      {",", {}},
      {"a@x.org", {"a@x.org"}},
      {"a@x.org,b@y.org", {"a@x.org", "b@y.org"}},
      {",a@x.org,,b@y.org,", {"a@x.org", "b@y.org"}},
      {" a@x.org , b@y.org ", {"a@x.org", "b@y.org"}},
      {"a@x.org;b@y.org", {"a@x.org;b@y.org"}},
  };
  for (const Case& c : cases) EXPECT_EQ(quennet::SplitRecipients(c.text), c.addresses) << c.text;
}

TEST(IsValidAddressTest, Cases) {
  struct Case {
    std::string address;
    bool valid;
  };
  const Case cases[] = {
      {"a@example.org", true},
      {"root", true},
      {"", false},
      {"a b@example.org", false},
      {"a@x.org>\r\nRCPT", false},
      {"<a@x.org>", false},
      {"a@x.org;b@y.org", false},
      {std::string("a\0b", 3), false},
      {"a\tb@example.org", false},
      {"\"quoted\"@example.org", false},
  };
  for (const Case& c : cases) EXPECT_EQ(quennet::IsValidAddress(c.address), c.valid) << c.address;
}

TEST(Cp1252ToUtf8Test, Cases) {
  struct Case {
    std::string cp1252;
    std::string utf8;
  };
  const Case cases[] = {
      {"plain", "plain"},       {"g\xE9n\xE9r\xE9 \xE0", "g\xC3\xA9n\xC3\xA9r\xC3\xA9 \xC3\xA0"},
      {"\x80", "\xE2\x82\xAC"}, {"\x9F", "\xC5\xB8"},
      {"\x81", "\xC2\x81"},     {"\xFF", "\xC3\xBF"},
  };
  for (const Case& c : cases) EXPECT_EQ(quennet::Cp1252ToUtf8(c.cp1252), c.utf8) << c.cp1252;
}

TEST(Base64Test, KnownVectorsAndLines) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFF\x00\x80", 3), "/wCA"},
  };
  for (const auto& [data, encoded] : vectors) EXPECT_EQ(Base64(data), encoded) << encoded;

  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7);
  const std::string lines = Base64(data, 76);
  std::istringstream in(lines);
  std::string line;
  size_t count = 0;
  while (std::getline(in, line)) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\r');
    EXPECT_LE(line.size(), 77u);
    ++count;
  }
  EXPECT_EQ(count, (Base64(data).size() + 75) / 76);
  EXPECT_EQ(Unbase64(lines), data);
}

TEST(EncodeHeaderWordsTest, WordsAreShortWholeAndDecodeBack) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "\xC3\xA9t\xE2\x82\xAC ";  // "ét€ "
  const std::string encoded = EncodeHeaderWords(text);
  std::string decoded;
  size_t at = 0;
  int words = 0;
  while (at < encoded.size()) {
    size_t end = encoded.find("\r\n ", at);
    const std::string word = encoded.substr(at, end == std::string::npos ? end : end - at);
    EXPECT_LE(word.size(), 75u);
    ASSERT_EQ(word.rfind("=?UTF-8?B?", 0), 0u) << word;
    ASSERT_EQ(word.substr(word.size() - 2), "?=");
    const std::string bytes = Unbase64(word.substr(10, word.size() - 12));
    EXPECT_TRUE(IsWholeUtf8(bytes)) << word;
    decoded += bytes;
    ++words;
    at = end == std::string::npos ? encoded.size() : end + 3;
  }
  EXPECT_GT(words, 1);
  EXPECT_EQ(decoded, text);
}

TEST(ReadFileBytesTest, ReadsPlainFilesOnlyAndNeverWaits) {
  namespace fs = std::filesystem;
  const testing_support::TempFolder temp;
  const fs::path dir = temp.Path();
  const std::string bytes("line\r\n\0\xFF", 8);
  mailtest::WriteFileText(dir / "report.html", bytes);
  mailtest::WriteFileText(dir / "empty.html", "");
  // Opening a pipe for reading would wait for a writer that never comes.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

  struct Case {
    const char* name;
    int error;
    std::string data;
  };
  const Case cases[] = {
      {"report.html", 0, bytes}, {"empty.html", 0, ""}, {"missing.html", ENOENT, ""},
      {".", EISDIR, ""},         {"fifo", EISDIR, ""},
  };
  for (const Case& c : cases) {
    std::string data = "stale";
    EXPECT_EQ(quennet::ReadFileBytes((dir / c.name).string(), data), c.error) << c.name;
    EXPECT_EQ(data, c.data) << c.name;
  }
}

TEST(WriteErrorTextTest, StaysInsideTheGivenSize) {
  struct Case {
    int32_t size;
    std::string expected;  // the buffer's first 12 bytes afterwards
  };
  const std::string sentinel(12, '#');
  const Case cases[] = {
      {0, sentinel},
      {-5, sentinel},
      {1, std::string(1, '\0') + std::string(11, '#')},
      {6, std::string("Refus") + '\0' + std::string(6, '#')},
      {12, std::string("Refused") + '\0' + std::string(4, '#')},
  };
  for (const Case& c : cases) {
    std::string buffer = sentinel;
    quennet::WriteErrorText(buffer.data(), c.size, "Refused");
    EXPECT_EQ(buffer, c.expected) << c.size;
  }
  quennet::WriteErrorText(nullptr, 10, "no buffer");
}

}  // namespace
