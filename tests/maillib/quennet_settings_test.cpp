#include "maillib/quennet_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "maillib/mail_text.h"
#include "tests/maillib/smtp_test_server.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class QuennetSettingsTest : public ::testing::Test {
 protected:
  testing_support::TempFolder temp_;
  const fs::path dir_ = temp_.Path();
};

TEST_F(QuennetSettingsTest, MissingFileGivesTheDefaults) {
  quennet::QuennetSettings s = quennet::LoadQuennetSettings((dir_ / "quennet.ini").string());
  EXPECT_EQ(s.server.host, "");
  EXPECT_EQ(s.server.port, 25);
  EXPECT_EQ(s.server.user, "");
  EXPECT_EQ(s.from, "");
  EXPECT_EQ(s.caFile, "");
  EXPECT_EQ(s.connectTimeoutSeconds, 10);
  EXPECT_EQ(s.timeoutSeconds, 60);
  EXPECT_EQ(s.implicitTlsPort, 465);
}

TEST_F(QuennetSettingsTest, ReadsEveryKey) {
  const fs::path ini = dir_ / "quennet.ini";
  mailtest::WriteFileText(ini,
                          "; library settings\r\n"
                          "[ server ]\r\n"
                          "smtphost = mail.example.org \r\n"
                          "SMTPPORT=587\r\n"
                          "User=\"alarm@example.org\"\r\n"
                          "Password='p w'\r\n"
                          "SmtpHost=second.example.org\r\n"
                          "[Options]\n"
                          "# comment\n"
                          "From=vigilo@example.org\n"
                          "CAFile=/etc/ssl/mine.pem\n"
                          "ConnectTimeout=3\n"
                          "Timeout=7\n"
                          "ImplicitTlsPort=2465\n");
  quennet::QuennetSettings s = quennet::LoadQuennetSettings(ini.string());
  EXPECT_EQ(s.server.host, "mail.example.org");
  EXPECT_EQ(s.server.port, 587);
  EXPECT_EQ(s.server.user, "alarm@example.org");
  EXPECT_EQ(s.server.password, "p w");
  EXPECT_EQ(s.from, "vigilo@example.org");
  EXPECT_EQ(s.caFile, "/etc/ssl/mine.pem");
  EXPECT_EQ(s.connectTimeoutSeconds, 3);
  EXPECT_EQ(s.timeoutSeconds, 7);
  EXPECT_EQ(s.implicitTlsPort, 2465);
}

TEST_F(QuennetSettingsTest, NumbersThatDoNotReadGiveTheirDefaults) {
  const fs::path ini = dir_ / "quennet.ini";
  mailtest::WriteFileText(ini,
                          "[Server]\nSmtpPort=abc\n"
                          "[Options]\nConnectTimeout=0\nTimeout=-4\nImplicitTlsPort=70000\n");
  quennet::QuennetSettings s = quennet::LoadQuennetSettings(ini.string());
  EXPECT_EQ(s.server.port, 25);
  EXPECT_EQ(s.connectTimeoutSeconds, 10);
  EXPECT_EQ(s.timeoutSeconds, 60);
  EXPECT_EQ(s.implicitTlsPort, 465);
}

TEST_F(QuennetSettingsTest, AFileThatCannotBeReadIsAnError) {
  fs::create_directories(dir_ / "quennet.ini");
  try {
    quennet::LoadQuennetSettings((dir_ / "quennet.ini").string());
    FAIL() << "no error";
  } catch (const quennet::MailError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot read " + (dir_ / "quennet.ini").string(), 0), 0u)
        << e.what();
  }
}

}  // namespace
