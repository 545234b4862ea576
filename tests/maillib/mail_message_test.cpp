#include "maillib/mail_message.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <sstream>

namespace {

using quennet::ComposeMessage;
using quennet::MailMessage;

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// Every line ends in CR LF, none holds a lone CR or LF, none is longer than
// `limit`.
void ExpectWellFormed(const std::string& text, size_t limit) {
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  for (const std::string& line : LinesOf(text)) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_LE(line.size(), limit) << line;
  }
}

MailMessage Simple() {
  MailMessage m;
  m.from = "alert@example.org";
  m.to = {"one@example.org", "two@example.org"};
  m.subject = "Message de alarme du Alert Service - SHOPS1";
  m.bodyLines = {"CORVANTE Alert Service 1.0", "", "Bonjour"};
  return m;
}

TEST(ComposeMessageTest, TextOnly) {
  EXPECT_EQ(ComposeMessage(Simple(), "Thu, 01 Jan 1970 00:00:00 +0000", "id1@example.org", "B"),
            "Date: Thu, 01 Jan 1970 00:00:00 +0000\r\n"
            "From: alert@example.org\r\n"
            "To: one@example.org, two@example.org\r\n"
            "Subject: Message de alarme du Alert Service - SHOPS1\r\n"
            "Message-ID: <id1@example.org>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "\r\n"
            "CORVANTE Alert Service 1.0\r\n"
            "\r\n"
            "Bonjour\r\n");
}

TEST(ComposeMessageTest, AttachmentsArePartsOfTheirOwn) {
  MailMessage m = Simple();
  m.bodyLines = {"Bonjour"};
  m.attachments = {{"alert_report_SHOPS1.html", "text/html; charset=utf-8", "<p>\xC3\xA9</p>"},
                   {"r\xC3\xA9sum\xC3\xA9 1.bin", "application/octet-stream", "\x01\x02"}};
  const std::string text = ComposeMessage(m, "D", "id", "=_b");
  const std::string tail =
      "Content-Type: multipart/mixed; boundary=\"=_b\"\r\n"
      "\r\n"
      "This is a message in MIME format.\r\n"
      "--=_b\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "\r\n"
      "Bonjour\r\n"
      "\r\n"
      "--=_b\r\n"
      "Content-Type: text/html; charset=utf-8\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"alert_report_SHOPS1.html\"\r\n"
      "\r\n"
      "PHA+w6k8L3A+\r\n"
      "\r\n"
      "--=_b\r\n"
      "Content-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9%201.bin\r\n"
      "\r\n"
      "AQI=\r\n"
      "\r\n"
      "--=_b--\r\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  ExpectWellFormed(text, 998);
}

TEST(ComposeMessageTest, BodyOutsidePlainAsciiGoesAsBase64) {
  MailMessage m = Simple();
  m.bodyLines = {"d\xC3\xA9j\xC3\xA0", "ok"};
  const std::string text = ComposeMessage(m, "D", "id", "B");
  EXPECT_NE(text.find("Content-Transfer-Encoding: base64\r\n\r\n"
                      "ZMOpasOgDQpvaw0K\r\n"),
            std::string::npos)
      << text;
}

TEST(ComposeMessageTest, HeadersFoldAndCannotBeInjected) {
  MailMessage m = Simple();
  m.to.clear();
  for (int i = 0; i < 12; ++i) m.to.push_back("recipient" + std::to_string(i) + "@example.org");
  m.subject = "Alarme\r\nBcc: victim@example.org";
  m.bodyLines = {"line with\r\nbreak"};
  const std::string text = ComposeMessage(m, "D", "id", "B");
  ExpectWellFormed(text, 78);

  for (const std::string& line : LinesOf(text)) EXPECT_NE(line.rfind("Bcc:", 0), 0u) << line;

  // Folded, and unfolding gives the list back.
  EXPECT_NE(text.find(",\r\n recipient"), std::string::npos);
  std::string unfolded;
  for (size_t at = 0, next; at < text.size(); at = next + 3) {
    next = text.find("\r\n ", at);
    if (next == std::string::npos) next = text.size();
    unfolded += text.substr(at, next - at) + (next < text.size() ? " " : "");
  }
  std::string expected = "\r\nTo: ";
  for (size_t i = 0; i < m.to.size(); ++i) expected += (i ? ", " : "") + m.to[i];
  EXPECT_NE(unfolded.find(expected + "\r\n"), std::string::npos) << unfolded;
  EXPECT_NE(text.find("Subject: Alarme  Bcc: victim@example.org\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nline with  break\r\n"), std::string::npos);
}

TEST(ComposeMessageTest, SubjectOutsidePlainAsciiIsEncoded) {
  MailMessage m = Simple();
  m.subject = "\xC3\xA9t\xC3\xA9";  // "été"
  EXPECT_NE(ComposeMessage(m, "D", "id", "B").find("\r\nSubject: =?UTF-8?B?w6l0w6k=?=\r\n"),
            std::string::npos);
  // Text that would read as an encoded word is encoded too.
  m.subject = "=?UTF-8?B?w6k=?=";
  EXPECT_NE(ComposeMessage(m, "D", "id", "B").find("Subject: =?UTF-8?B?PT9VVEYtOD9CP3c2az0/PQ==?="),
            std::string::npos);
}

TEST(ContentTypeForTest, Cases) {
  const std::pair<const char*, const char*> cases[] = {
      {"alert_report.html", "text/html; charset=utf-8"}, {"A.HTM", "text/html; charset=utf-8"},
      {"notes.txt", "text/plain; charset=utf-8"},        {"data.bin", "application/octet-stream"},
      {"noextension", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(quennet::ContentTypeFor(name), type) << name;
}

TEST(MailDateTest, EnglishNamesAndZoneOffset) {
  const std::string saved = getenv("TZ") ? getenv("TZ") : "";
  const bool hadTz = getenv("TZ") != nullptr;
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(quennet::MailDate(0), "Thu, 01 Jan 1970 00:00:00 +0000");
  setenv("TZ", "XST-5:30", 1);
  tzset();
  EXPECT_EQ(quennet::MailDate(86400 * 200), "Mon, 20 Jul 1970 05:30:00 +0530");
  setenv("TZ", "YST3", 1);
  tzset();
  EXPECT_EQ(quennet::MailDate(0), "Wed, 31 Dec 1969 21:00:00 -0300");
  if (hadTz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
