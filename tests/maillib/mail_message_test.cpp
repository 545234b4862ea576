#include "maillib/mail_message.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <sstream>

namespace {

using quennet::AttachmentDisposition;
using quennet::BodyPart;
using quennet::MailMessage;
using quennet::MessageHeaders;

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

// The header lines as they go out, each with its line end.
std::string HeaderText(const MailMessage& m, const std::string& date = "D",
                       const std::string& id = "id") {
  std::string text;
  for (const std::string& line : MessageHeaders(m, date, id)) text += line + "\r\n";
  return text;
}

TEST(MessageHeadersTest, TextOnly) {
  EXPECT_EQ(HeaderText(Simple(), "Thu, 01 Jan 1970 00:00:00 +0000", "id1@example.org"),
            "Date: Thu, 01 Jan 1970 00:00:00 +0000\r\n"
            "From: alert@example.org\r\n"
            "To: one@example.org, two@example.org\r\n"
            "Subject: Message de alarme du Alert Service - SHOPS1\r\n"
            "Message-ID: <id1@example.org>\r\n");
  const quennet::TextPart body = BodyPart(Simple().bodyLines);
  EXPECT_EQ(body.contentType, "text/plain; charset=utf-8");
  EXPECT_EQ(body.encoding, "7bit");
  EXPECT_EQ(body.text, "CORVANTE Alert Service 1.0\r\n\r\nBonjour\r\n");
}

TEST(AttachmentDispositionTest, QuotedOrInTheRfc2231Form) {
  struct Case {
    std::string name, expected;
  } cases[] = {
      {"alert_report_SHOPS1.html", "attachment; filename=\"alert_report_SHOPS1.html\""},
      {"r\xC3\xA9sum\xC3\xA9 1.bin", "attachment; filename*=UTF-8''r%C3%A9sum%C3%A9%201.bin"},
      {"a\"b.html", "attachment; filename*=UTF-8''a%22b.html"},
      {"a\r\nBcc: x.html", "attachment; filename=\"a  Bcc: x.html\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AttachmentDisposition(c.name), "Content-Disposition: " + c.expected) << c.name;
  }
}

TEST(BodyPartTest, BodyOutsidePlainAsciiGoesAsBase64) {
  const quennet::TextPart body = BodyPart({"d\xC3\xA9j\xC3\xA0", "ok"});
  EXPECT_EQ(body.encoding, "base64");
  EXPECT_EQ(body.text, "d\xC3\xA9j\xC3\xA0\r\nok\r\n");
  EXPECT_EQ(BodyPart({std::string(999, 'x')}).encoding, "base64");
  EXPECT_EQ(BodyPart({std::string(998, 'x')}).encoding, "7bit");
}

TEST(MessageHeadersTest, HeadersFoldAndCannotBeInjected) {
  MailMessage m = Simple();
  m.to.clear();
  for (int i = 0; i < 12; ++i) m.to.push_back("recipient" + std::to_string(i) + "@example.org");
  m.subject = "Alarme\r\nBcc: victim@example.org";
  const std::string text = HeaderText(m);
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
  EXPECT_EQ(BodyPart({"line with\r\nbreak"}).text, "line with  break\r\n");
}

TEST(MessageHeadersTest, SubjectOutsidePlainAsciiIsEncoded) {
  MailMessage m = Simple();
  m.subject = "\xC3\xA9t\xC3\xA9";  // "été"
  EXPECT_NE(HeaderText(m).find("\r\nSubject: =?UTF-8?B?w6l0w6k=?=\r\n"), std::string::npos);
  // Text that would read as an encoded word is encoded too.
  m.subject = "=?UTF-8?B?w6k=?=";
  EXPECT_NE(HeaderText(m).find("Subject: =?UTF-8?B?PT9VVEYtOD9CP3c2az0/PQ==?="), std::string::npos);
  // An over-long subject stays inside the line limit as encoded words.
  m.subject = std::string(1200, 's');
  ExpectWellFormed(HeaderText(m), 998);
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
