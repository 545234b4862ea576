// libquennet.so as the programs load it, against Debian's aiosmtpd on a free
// loopback port. Nothing is ever sent anywhere but 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/dynlib.h"
#include "service/mail_ssl_interface.h"
#include "tests/maillib/probe_output.h"
#include "tests/maillib/smtp_test_server.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using mailtest::Certificate;
using mailtest::ReceivedMail;
using mailtest::SmtpTestServer;

// A loopback socket that listens but never answers.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port on which nothing listens.
int ClosedPort() {
  SilentListener listener;
  return listener.Port();
}

class QuennetLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "lib");
    library_ = dir_ / "lib" / kMailLibraryName;
    fs::copy_file(QUENNET_LIBRARY, library_);
  }
  void TearDown() override { lib_.Close(); }

  // Writes quennet.ini beside the library copy: section -> key -> value.
  void WriteSettings(const std::map<std::string, std::map<std::string, std::string>>& ini) {
    std::string text;
    for (const auto& [section, keys] : ini) {
      text += "[" + section + "]\r\n";
      for (const auto& [key, value] : keys) text += key + "=" + value + "\r\n";
    }
    mailtest::WriteFileText(library_.parent_path() / "quennet.ini", text);
  }
  void WriteSettingsFor(int port, const std::string& caFile = "",
                        const std::string& implicitTlsPort = "") {
    std::map<std::string, std::map<std::string, std::string>> ini = {
        {"Server", {{"SmtpHost", "127.0.0.1"}, {"SmtpPort", std::to_string(port)}}},
        {"Options", {{"ConnectTimeout", "5"}, {"Timeout", "10"}}}};
    if (!caFile.empty()) ini["Options"]["CAFile"] = caFile;
    if (!implicitTlsPort.empty()) ini["Options"]["ImplicitTlsPort"] = implicitTlsPort;
    WriteSettings(ini);
  }

  void Load() {
    if (lib_.IsOpen()) return;
    ASSERT_TRUE(lib_.Open(library_.string())) << lib_.LastError();
    def3_ = reinterpret_cast<TSendSecureMailDef3>(lib_.Symbol("SendSecureMailDef3"));
    def2_ = reinterpret_cast<TSendSecureMailDef2>(lib_.Symbol("SendSecureMailDef2"));
    def_ = reinterpret_cast<TSendSecureMailDef>(lib_.Symbol("SendSecureMailDef"));
    ASSERT_TRUE(def3_ && def2_ && def_);
  }

  struct Outcome {
    int32_t result;
    std::string error;
  };
  Outcome Send3(const std::string& recipients, const std::string& subject, const std::string& body,
                const std::string& attachments, const TMailServerParams* params) {
    Load();
    char buffer[512];
    std::memset(buffer, '#', sizeof buffer);
    int32_t result = def3_(recipients.c_str(), subject.c_str(), body.c_str(), attachments.c_str(),
                           "", 0, 0, params, buffer, sizeof buffer);
    return {result, std::string(buffer, ::strnlen(buffer, sizeof buffer))};
  }
  Outcome Send(const std::string& recipients, const TMailServerParams* params = nullptr) {
    return Send3(recipients, "Message de alarme du Alert Service", "Bonjour", "", params);
  }
  static TMailServerParams Record(int port, const std::string& user = "",
                                  const std::string& password = "") {
    return MakeMailServerParams("", 0, "127.0.0.1", port, user, password);
  }

  testing_support::TempFolder temp_;
  const fs::path dir_ = temp_.Path();
  fs::path library_;
  platform::DynamicLibrary lib_;
  TSendSecureMailDef3 def3_ = nullptr;
  TSendSecureMailDef2 def2_ = nullptr;
  TSendSecureMailDef def_ = nullptr;
};

TEST_F(QuennetLibraryTest, PlainWithSeveralRecipientsBodyLinesAndAnAttachment) {
  SmtpTestServer server(dir_ / "mail", {});
  WriteSettings(
      {{"Server", {{"SmtpHost", "127.0.0.1"}, {"SmtpPort", std::to_string(server.Port())}}},
       {"Options", {{"From", "alert@example.org"}}}});
  std::string report =
      "<html><body><p>Base de donn\xC3\xA9"
      "es</p>\r\n";
  for (int i = 0; i < 300; ++i) report += "<tr><td>SHOP " + std::to_string(i) + "</td></tr>\r\n";
  report += "</body></html>\r\n";
  const fs::path reportPath = dir_ / "alert_report_SHOPS1.html";
  mailtest::WriteFileText(reportPath, report);

  Load();
  char buffer[512];
  std::memset(buffer, '#', sizeof buffer);
  const std::string attachments = "\"" + reportPath.string() + "\"";
  int32_t result = def2_("a@example.org,b@example.org,,c@example.org",
                         "Message de alarme du Alert Service - SHOPS1",
                         "\"CORVANTE Alert Service 1.0\",,Bonjour,\"Merci beaucoup\",.",
                         attachments.c_str(), "", 0, 0, buffer, sizeof buffer);
  ASSERT_EQ(result, 1) << std::string(buffer, ::strnlen(buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '\0');

  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  const ReceivedMail& m = mails[0];
  EXPECT_EQ(m.envelopeFrom, "alert@example.org");
  EXPECT_EQ(m.recipients,
            (std::vector<std::string>{"a@example.org", "b@example.org", "c@example.org"}));
  EXPECT_FALSE(m.tls);
  EXPECT_EQ(m.auth, "");
  EXPECT_EQ(m.subject, "Message de alarme du Alert Service - SHOPS1");
  EXPECT_EQ(m.body, "CORVANTE Alert Service 1.0\r\n\r\nBonjour\r\nMerci beaucoup\r\n.\r\n");
  ASSERT_EQ(m.attachments.size(), 1u);
  EXPECT_EQ(m.attachments[0].name, "alert_report_SHOPS1.html");
  EXPECT_EQ(m.attachments[0].type, "text/html; charset=utf-8");
  EXPECT_EQ(m.attachments[0].data, report);
}

TEST_F(QuennetLibraryTest, EveryEntryPointUsesTheLibrarySettingsWithoutARecord) {
  SmtpTestServer server(dir_ / "mail", {});
  WriteSettingsFor(server.Port());
  Load();
  char buffer[512] = {};
  EXPECT_EQ(def3_("three@example.org", "3", "x", "", "", 0, 0, nullptr, buffer, 512), 1) << buffer;
  EXPECT_EQ(def2_("two@example.org", "2", "x", "", "", 0, 0, buffer, 512), 1) << buffer;
  EXPECT_EQ(def_("one@example.org", "1", "x", "", buffer, 512), 1) << buffer;

  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 3u);
  const char* expected[] = {"three@example.org", "two@example.org", "one@example.org"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(mails[i].recipients, std::vector<std::string>{expected[i]});
    // No From, no user: a local address.
    EXPECT_EQ(mails[i].envelopeFrom.rfind("vigilo@", 0), 0u) << mails[i].envelopeFrom;
  }
}

TEST_F(QuennetLibraryTest, TextsOutsideAsciiArriveAsUtf8) {
  SmtpTestServer server(dir_ / "mail", {});
  WriteSettingsFor(server.Port());
  // cp1252, as the programs hold their texts.
  Outcome o = Send3("a@example.org", "Alarme \x80 \xE9t\xE9",
                    "\"Base de donn\xE9"
                    "es\",fin",
                    "", nullptr);
  ASSERT_EQ(o.result, 1) << o.error;
  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject, "Alarme \xE2\x82\xAC \xC3\xA9t\xC3\xA9");
  EXPECT_NE(mails[0].raw.find("Subject: =?UTF-8?B?"), std::string::npos);
  EXPECT_EQ(mails[0].body,
            "Base de donn\xC3\xA9"
            "es\r\nfin\r\n");
  EXPECT_EQ(mails[0].bodyType, "text/plain; charset=utf-8");
}

TEST_F(QuennetLibraryTest, StartTlsWithAuth) {
  const Certificate cert = mailtest::MakeCertificate(dir_);
  SmtpTestServer::Options options;
  options.startTls = cert;
  options.user = "alarm@example.org";
  options.password = "s3cret";
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettingsFor(1, cert.cert.string());
  const TMailServerParams record = Record(server.Port(), "alarm@example.org", "s3cret");
  Outcome o = Send("boss@example.org", &record);
  ASSERT_EQ(o.result, 1) << o.error;
  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_TRUE(mails[0].tls);
  EXPECT_EQ(mails[0].auth, "alarm@example.org");
  // No From configured: the user name, since it is an address.
  EXPECT_EQ(mails[0].envelopeFrom, "alarm@example.org");
}

TEST_F(QuennetLibraryTest, StartTlsWhenOfferedEvenWithoutAuth) {
  const Certificate cert = mailtest::MakeCertificate(dir_);
  SmtpTestServer::Options options;
  options.startTls = cert;
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettingsFor(server.Port(), cert.cert.string());
  Outcome o = Send("boss@example.org");
  ASSERT_EQ(o.result, 1) << o.error;
  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_TRUE(mails[0].tls);
  EXPECT_EQ(mails[0].auth, "");
}

TEST_F(QuennetLibraryTest, ImplicitTls) {
  const Certificate cert = mailtest::MakeCertificate(dir_);
  SmtpTestServer::Options options;
  options.implicitTls = cert;
  options.user = "alarm";
  options.password = "pw";
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettingsFor(1, cert.cert.string(), std::to_string(server.Port()));
  const TMailServerParams record = Record(server.Port(), "alarm", "pw");
  Outcome o = Send("boss@example.org", &record);
  ASSERT_EQ(o.result, 1) << o.error;
  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_TRUE(mails[0].tls);
  EXPECT_EQ(mails[0].auth, "alarm");
}

TEST_F(QuennetLibraryTest, NoPasswordWithoutTls) {
  SmtpTestServer server(dir_ / "mail", {});
  WriteSettingsFor(1);
  const TMailServerParams record = Record(server.Port(), "alarm@example.org", "s3cret");
  Outcome o = Send("boss@example.org", &record);
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.error.find("SSL"), std::string::npos) << o.error;
  EXPECT_TRUE(server.Messages().empty());
}

TEST_F(QuennetLibraryTest, UntrustedCertificateIsRefused) {
  const Certificate cert = mailtest::MakeCertificate(dir_);
  for (bool implicitTls : {false, true}) {
    SCOPED_TRACE(implicitTls ? "implicit TLS" : "STARTTLS");
    SmtpTestServer::Options options;
    (implicitTls ? options.implicitTls : options.startTls) = cert;
    SmtpTestServer server(dir_ / (implicitTls ? "mail-tls" : "mail-starttls"), options);
    // No CA file: the system's certificates, which do not know this one.
    WriteSettingsFor(1, "", implicitTls ? std::to_string(server.Port()) : "");
    const TMailServerParams record = Record(server.Port());
    Outcome o = Send("boss@example.org", &record);
    EXPECT_EQ(o.result, 0);
    EXPECT_NE(o.error.find("certificate"), std::string::npos) << o.error;
    EXPECT_TRUE(server.Messages().empty());
  }
}

TEST_F(QuennetLibraryTest, RefusedRecipient) {
  SmtpTestServer::Options options;
  options.refuse = "nobody@example.org";
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettingsFor(server.Port());
  Outcome o = Send("nobody@example.org");
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.error.find("550"), std::string::npos) << o.error;
  EXPECT_NE(o.error.find("Mailbox unavailable"), std::string::npos) << o.error;
  EXPECT_TRUE(server.Messages().empty());
}

// A server's refusal in UTF-8 (as a server speaking SMTPUTF8 words it)
// comes back in the callers' cp1252, a letter cp1252 lacks as "?".
TEST_F(QuennetLibraryTest, ARefusalInUtf8ComesBackInCp1252) {
  SmtpTestServer::Options options;
  options.refuse = "nobody@example.org";
  options.refusal = "Bo\xC3\xAEte pleine \xE2\x84\xA6";  // "Boîte pleine Ω"
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettingsFor(server.Port());
  Outcome o = Send("nobody@example.org");
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.error.find("550 5.1.1 Bo\xEEte pleine ?"), std::string::npos) << o.error;
  EXPECT_EQ(o.error.find('\xC3'), std::string::npos) << o.error;
}

TEST_F(QuennetLibraryTest, ClosedPortAndSilentServerFailWithinTheTimeOut) {
  SilentListener silent;
  const int closed = ClosedPort();
  struct Case {
    int port;
    const char* text;
  };
  const Case cases[] = {{closed, "connect"}, {silent.Port(), "imeout"}};
  WriteSettings({{"Options", {{"ConnectTimeout", "1"}, {"Timeout", "1"}}}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    const TMailServerParams record = Record(c.port);
    Outcome o = Send("boss@example.org", &record);
    EXPECT_EQ(o.result, 0);
    EXPECT_NE(o.error.find("127.0.0.1:" + std::to_string(c.port)), std::string::npos) << o.error;
    EXPECT_NE(o.error.find(c.text), std::string::npos) << o.error;
  }
}

TEST_F(QuennetLibraryTest, FailuresBeforeAnyConnection) {
  WriteSettings(
      {{"Server", {{"SmtpHost", "127.0.0.1"}, {"SmtpPort", std::to_string(ClosedPort())}}}});
  const fs::path missing = dir_ / "no_such_report.html";
  const fs::path fifo = dir_ / "alert_report.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string recipients;
    std::string attachments;
    std::optional<TMailServerParams> record;
    std::string error;
  };
  const Case cases[] = {
      {"", "", std::nullopt, "No recipient given"},
      {",,", "", std::nullopt, "No recipient given"},
      {"a@example.org>\r\nDATA", "", std::nullopt,
       "Invalid recipient address: a@example.org>\r\nDATA"},
      {"a@example.org", "\"" + missing.string() + "\"", std::nullopt,
       "Attachment not found: " + missing.string()},
      {"a@example.org", "\"" + dir_.string() + "\"", std::nullopt,
       "Attachment is not a file: " + dir_.string()},
      {"a@example.org", "\"" + fifo.string() + "\"", std::nullopt,
       "Attachment is not a file: " + fifo.string()},
      {"a@example.org", "", MakeMailServerParams("", 0, "", 25, "", ""),
       "No SMTP server configured"},
      {"a@example.org", "", MakeMailServerParams("", 0, "evil.org/x?", 25, "", ""),
       "Invalid SMTP server name: evil.org/x?"},
      {"a@example.org", "", MakeMailServerParams("", 0, "127.0.0.1", 0, "", ""),
       "Invalid SMTP port: 0"},
      // The user name as sender; the text keeps the caller's cp1252 bytes.
      {"a@example.org", "", MakeMailServerParams("", 0, "127.0.0.1", 25, "alerte \xE9@x.org", ""),
       "Invalid sender address: alerte \xE9@x.org"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    Outcome o = Send3(c.recipients, "s", "b", c.attachments, c.record ? &*c.record : nullptr);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.error, c.error);
  }
}

TEST_F(QuennetLibraryTest, RecordTextsWithoutTheirZeroAreReadInsideTheirFields) {
  TMailServerParams record;
  // "/" is no host name character, so nothing is looked up.
  std::memset(&record, '/', sizeof record);
  record.SmtpPort = 25;
  WriteSettings({});
  Outcome o = Send("a@example.org", &record);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.error, "Invalid SMTP server name: " + std::string(128, '/'));
}

TEST_F(QuennetLibraryTest, ErrorTextStaysInsideTheGivenSizeAndNullTextsAreEmpty) {
  Load();
  for (int32_t size : {0, 1, 8, 64}) {
    SCOPED_TRACE(size);
    char buffer[80];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(def_(nullptr, nullptr, nullptr, nullptr, buffer, size), 0);
    const std::string text = "No recipient given";
    if (size > 0) {
      const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(size) - 1);
      EXPECT_EQ(std::string(buffer, n), text.substr(0, n));
      EXPECT_EQ(buffer[n], '\0');
    }
    for (size_t i = static_cast<size_t>(size); i < sizeof buffer; ++i)
      ASSERT_EQ(buffer[i], '#') << i;
  }
  EXPECT_EQ(def_("a@example.org", "s", "b", "", nullptr, 512), 0);
}

TEST_F(QuennetLibraryTest, UnloadsWhenReleased) {
  Outcome o = Send("");
  EXPECT_EQ(o.result, 0);
  EXPECT_TRUE(mailtest::IsMapped(library_.string()));
  lib_.Close();
  EXPECT_FALSE(mailtest::IsMapped(library_.string()));
}

// The whole road: SendSecureMail in a program whose folder holds the library.
TEST_F(QuennetLibraryTest, SendSecureMailThroughTheLibraryBesideTheProgram) {
  const fs::path probe = library_.parent_path() / "mail_probe";
  fs::copy_file(MAIL_PROBE, probe);
  const fs::path report = dir_ / "alert_report_SHOPS1.html";
  mailtest::WriteFileText(report, "<html>r\xC3\xA9sultat</html>\r\n");

  SmtpTestServer::Options options;
  options.refuse = "refused@example.org";
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettings(
      {{"Server", {{"SmtpHost", "127.0.0.1"}, {"SmtpPort", std::to_string(server.Port())}}},
       {"Options", {{"From", "alert@example.org"}}}});
  const testing_support::EnvChanges env = {{"LD_LIBRARY_PATH", std::nullopt}};

  testing_support::ProgramResult sent = testing_support::RunProgram(
      {probe.string(), "1", "a@example.org, b@example.org  c@example.org",
       "Message de alarme du Alert Service - SHOPS1", "\"CORVANTE Alert Service 1.0\",Bonjour",
       "\"" + report.string() + "\"", "", "0", "0"},
      {.env = env});
  ASSERT_EQ(sent.exitCode, 0);
  std::vector<mailtest::Fields> lines = mailtest::ParseFieldLines(sent.output);
  ASSERT_EQ(lines.size(), 1u) << sent.output;
  mailtest::Fields fields = lines[0];
  EXPECT_EQ(fields["result"], "1") << mailtest::Unhex(fields["error"]);
  EXPECT_EQ(fields["loaded"], "0");

  // The record's server refuses the recipient: the library's text comes back.
  testing_support::ProgramResult refused = testing_support::RunProgram(
      {probe.string(), "1", "refused@example.org", "s", "b", "", "", "0", "0", "", "0", "127.0.0.1",
       std::to_string(server.Port()), "", ""},
      {.env = env});
  ASSERT_EQ(refused.exitCode, 0);
  lines = mailtest::ParseFieldLines(refused.output);
  ASSERT_EQ(lines.size(), 1u) << refused.output;
  fields = lines[0];
  EXPECT_EQ(fields["result"], "0");
  EXPECT_NE(mailtest::Unhex(fields["error"]).find("550 5.1.1 Mailbox unavailable"),
            std::string::npos)
      << mailtest::Unhex(fields["error"]);
  EXPECT_EQ(fields["loaded"], "0");

  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].recipients,
            (std::vector<std::string>{"a@example.org", "b@example.org", "c@example.org"}));
  EXPECT_EQ(mails[0].body, "CORVANTE Alert Service 1.0\r\nBonjour\r\n");
  ASSERT_EQ(mails[0].attachments.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0].data, mailtest::ReadFileText(report));
}

// A 100 MB attachment goes out as it is read and encoded: the sending
// program's resident memory stays far below the attachment's size (it once
// held the attachment five times over). The name, outside ASCII, arrives too.
TEST_F(QuennetLibraryTest, AHundredMegabyteAttachmentIsSentWithLittleMemory) {
  const fs::path probe = library_.parent_path() / "mail_probe";
  fs::copy_file(MAIL_PROBE, probe);
  // On disk in UTF-8; the programs name it in cp1252.
  const fs::path file = dir_ / "r\xC3\xA9sum\xC3\xA9 big.bin";
  const std::string fileText = (dir_ / "r\xE9sum\xE9 big.bin").string();
  std::string data(100 << 20, '\0');
  uint64_t x = 88172645463325252ull;  // xorshift: every byte value, nothing repeated
  for (char& c : data) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 32);
  }
  mailtest::WriteFileText(file, data);

  SmtpTestServer::Options options;
  options.sizeLimit = 0;
  SmtpTestServer server(dir_ / "mail", options);
  WriteSettings(
      {{"Server", {{"SmtpHost", "127.0.0.1"}, {"SmtpPort", std::to_string(server.Port())}}},
       {"Options", {{"From", "alert@example.org"}, {"Timeout", "600"}}}});
  testing_support::ProgramResult sent = testing_support::RunProgram(
      {probe.string(), "1", "a@example.org", "Message de alarme du Alert Service - BIG", "Bonjour",
       "\"" + fileText + "\"", "", "0", "0"},
      {.env = {{"LD_LIBRARY_PATH", std::nullopt}}});
  ASSERT_EQ(sent.exitCode, 0);
  std::vector<mailtest::Fields> lines = mailtest::ParseFieldLines(sent.output);
  ASSERT_EQ(lines.size(), 1u) << sent.output;
  EXPECT_EQ(lines[0]["result"], "1") << mailtest::Unhex(lines[0]["error"]);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory and quarantine say nothing of the program's own.
  std::printf("peak resident memory %s KiB (not checked under a sanitizer)\n",
              lines[0]["peak"].c_str());
#else
  EXPECT_LT(std::stol(lines[0]["peak"]), 50 * 1024) << "KiB at the peak";
#endif

  std::vector<ReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  ASSERT_EQ(mails[0].attachments.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0].name, "r\xC3\xA9sum\xC3\xA9 big.bin");
  EXPECT_EQ(mails[0].attachments[0].type, "application/octet-stream");
  EXPECT_TRUE(mails[0].attachments[0].data == data) << "the attachment arrived changed";
}

}  // namespace
