// Names with letters outside ASCII, end to end: the program installed in an
// accented folder and a chain whose database lies in one, run as an
// installation runs them (svcmgr and vigilo as real processes, the database
// on the local Firebird server, a real SMTP server, the shortcut read back by
// lnkinfo); a missing database in an accented folder, as the log and the
// info pipe name it; a folder the programs' character set cannot spell; and
// what vigilo says when a person runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "pipes/pipe_messages.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/syserror.h"
#include "tests/maillib/smtp_test_server.h"
#include "tests/service/fbtest.h"
#include "tests/service/lnkinfo_reader.h"
#include "tests/service/service_test_support.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using service_test::LogTexts;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using testing_support::ReadFile;
using testing_support::WaitUntil;

// File names on disk and the log are UTF-8; the settings files are cp1252.
constexpr char kProgFolderUtf8[] = "d\xC3\xA9p\xC3\xB4t/app";  // dépôt/app
constexpr char kDbFolderUtf8[] = "db/\xC3\xA9lan";             // db/élan
constexpr char kDbFolderCp1252[] = "db/\xE9lan";
constexpr char kChainCp1252[] = "Cha\xEEne \xC9lan";  // Chaîne Élan
constexpr char kFolderNameUtf8[] = "\xC3\x89LAN";     // ÉLAN

// Runs `args` to its end; its exit status and what it wrote to standard
// output and standard error, in one text.
testing_support::ProgramResult RunWithErrors(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::RunProgram(argv, {.env = {{"VIGILO_SCM_FD", std::nullopt}}});
}

// Runs `args` to its end; its exit status, what it wrote to standard output
// and, apart, what it wrote to standard error.
testing_support::ProgramResult RunApart(const std::vector<std::string>& args) {
  return testing_support::RunProgram(
      args, {.env = {{"VIGILO_SCM_FD", std::nullopt}}, .captureErrors = true});
}

class VigiloAccentsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (manager > 0) testing_support::StopChild(manager);
    service_test::ClearInstallationEnvironment();
  }

  // Registers the program of `prog` as an installation does and starts the
  // manager, which starts it; returns once its first check is done.
  void RunToTheFirstCheck(const std::string& prog) {
    ASSERT_EQ(testing_support::RunProgram({prog + "vigilo", "-install", "-silent"}).exitCode, 0);
    manager = testing_support::StartChild(SVCMGR_PROGRAM);
    ASSERT_GT(manager, 0);
    const std::string log = prog + "vigilo.log";
    ASSERT_TRUE(WaitUntil([&] {
      return ReadFile(log).find("Data check done") != std::string::npos;
    })) << ReadFile(log);
  }

  testing_support::TempFolder root;
  pid_t manager = -1;
};

TEST_F(VigiloAccentsTest, AnAccentedInstallationChecksAChainInAnAccentedFolder) {
  const TDateTime started = Now();
  if (service_test::HoursMinutes(started) == "23:59") GTEST_SKIP() << "the day changes";
  const std::string prog = service_test::MakeInstallation(root, kProgFolderUtf8);

  // The chain's database, made by the server in the accented folder. The
  // client takes the name in the process's character set, as the service's.
  platform::UseUtf8CharacterType();
  fbtest::DatabaseFolder databases;
  const std::string dbFolder = databases.Path() + "/" + kDbFolderUtf8;
  fs::create_directories(dbFolder);
  for (const std::string& folder : {databases.Path() + "/db", dbFolder}) {
    ::chmod(folder.c_str(), 0777);
  }
  fbtest::CreateDatabase(
      "localhost:" + dbFolder + "/qor.fdb",
      {"CREATE TABLE SHOPS (IDSHOP INTEGER NOT NULL PRIMARY KEY, SHOPNAME VARCHAR(60))",
       "CREATE TABLE VISITORS (IDSHOP INTEGER, DDATE TIMESTAMP, ENTERS INTEGER)",
       "INSERT INTO SHOPS VALUES (1, 'Behind')",
       "INSERT INTO VISITORS VALUES (1, CURRENT_DATE - 4, 12)"});
  ASSERT_TRUE(fs::exists(dbFolder + "/qor.fdb"));

  // The settings in cp1252, as the data-acquisition service writes them.
  const fbtest::Credentials& sysdba = fbtest::Sysdba();
  root.Write(std::string(kProgFolderUtf8) + "/qorsvc.ini",
             std::string("[Directory0]\r\nTrackDirectory=") + kChainCp1252 +
                 "\r\nHost=localhost\r\nDatabase=" + databases.Path() + "/" + kDbFolderCp1252 +
                 "/qor.fdb\r\nUsername=" + sysdba.User + "\r\nPassword=" + sysdba.Password +
                 "\r\n");
  mailtest::SmtpTestServer smtp(root.File("mail"), mailtest::SmtpTestServer::Options{});
  root.Write(std::string(kProgFolderUtf8) + "/vigilo.ini",
             "[General]\r\nLogDetailed=1\r\nExactTime=" + service_test::HoursMinutes(started) +
                 "\r\n[Alarms]\r\nUseEmail=1\r\nAlarmMailDefault=0\r\n"
                 "AlarmMailAddr=ops@example.test\r\nAlarmMailSmtpHost=127.0.0.1\r\n"
                 "AlarmMailSmtpPort=" +
                 std::to_string(smtp.Port()) + "\r\n");

  ASSERT_NO_FATAL_FAILURE(RunToTheFirstCheck(prog));
  const std::string log = prog + "vigilo.log";

  // Checked: the chain under its folder's name (the log is UTF-8), and no error.
  const std::vector<std::string> texts = LogTexts(log);
  EXPECT_THAT(texts, Contains(std::string("Check ") + kFolderNameUtf8)) << ReadFile(log);
  EXPECT_THAT(texts, Not(Contains(HasSubstr("Invalid connection string")))) << ReadFile(log);

  // The chain's report, named in UTF-8 on disk, written in UTF-8.
  const std::string chainReport =
      prog + "Reports/alert_report_" + std::string(kFolderNameUtf8) + ".html";
  ASSERT_TRUE(fs::exists(chainReport)) << ReadFile(log);
  EXPECT_THAT(ReadFile(chainReport), HasSubstr("Behind"));
  EXPECT_THAT(ReadFile(chainReport), HasSubstr(kFolderNameUtf8));
  EXPECT_THAT(ReadFile(chainReport), HasSubstr("g\xC3\xA9n\xC3\xA9r\xC3\xA9"));

  // The mail names the chain and carries its report.
  std::vector<mailtest::ReceivedMail> mails;
  ASSERT_TRUE(WaitUntil([&] {
    mails = smtp.Messages();
    return !mails.empty();
  }));
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject,
            std::string("Message de alarme du Alert Service - ") + kFolderNameUtf8);
  ASSERT_EQ(mails[0].attachments.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0].name, "alert_report_" + std::string(kFolderNameUtf8) + ".html");
  EXPECT_EQ(mails[0].attachments[0].data, ReadFile(chainReport));

  // The shortcut leads into the folder as it is spelt on disk.
  testing_support::LnkInfo link =
      testing_support::ReadWithLnkinfo(root.File("desktop/Alert_Report.lnk"));
  ASSERT_EQ(link.exitStatus, 0) << link.output;
  EXPECT_EQ(link.fields["Local path"], prog + "Reports/alert_report.html") << link.output;
  EXPECT_EQ(link.fields["Working directory"], prog + "Reports") << link.output;
  EXPECT_EQ(link.fields["Icon location"], prog + "report.ico") << link.output;
  EXPECT_TRUE(fs::exists(link.fields["Local path"]));

  // Log, settings and reports lie in the program's folder, and nothing was
  // made under a misspelt one.
  EXPECT_THAT(ReadFile(prog + "vigilo.ini"),
              HasSubstr(std::string("TrackedChain=") + kChainCp1252));
  EXPECT_THAT(ReadFile(prog + "vigilo.ini"), Not(HasSubstr("LastCheckAt=30/12/1899")));
  EXPECT_TRUE(fs::exists(prog + "Reports/alert_report.html"));
  const auto names = [](const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
      found.push_back(entry.path().filename().string());
    }
    return found;
  };
  EXPECT_THAT(names(root.Path()),
              UnorderedElementsAre("d\xC3\xA9p\xC3\xB4t", "desktop", "mail", "run", "scm"));
  EXPECT_THAT(names(prog), UnorderedElementsAre("vigilo", "libquennet.so", "report.ico", "Reports",
                                                "qorsvc.ini", "vigilo.ini", "vigilo.log"));
}

// The database client answers in UTF-8: its error names the accented path
// once in the log (UTF-8 as well), and in cp1252 on the info pipe, as every
// text there.
TEST_F(VigiloAccentsTest, AMissingDatabaseInAnAccentedFolderIsNamedRightInLogAndStatus) {
  const TDateTime started = Now();
  if (service_test::HoursMinutes(started) == "23:59") GTEST_SKIP() << "the day changes";
  const std::string prog = service_test::MakeInstallation(root);
  fbtest::DatabaseFolder databases;
  const std::string missingUtf8 = databases.Path() + "/db/g\xC3\xB4ne/counts.fdb";  // gône
  const std::string missingCp1252 = databases.Path() + "/db/g\xF4ne/counts.fdb";
  const fbtest::Credentials& sysdba = fbtest::Sysdba();
  root.Write("prog/qorsvc.ini",
             "[Directory0]\r\nTrackDirectory=Counts\r\nHost=localhost\r\n"
             "Database=" +
                 missingCp1252 + "\r\nUsername=" + sysdba.User + "\r\nPassword=" + sysdba.Password +
                 "\r\n");
  root.Write("prog/vigilo.ini", "[General]\r\nExactTime=" + service_test::HoursMinutes(started) +
                                    "\r\n[Alarms]\r\nUseEmail=0\r\n");

  ASSERT_NO_FATAL_FAILURE(RunToTheFirstCheck(prog));
  const std::string log = prog + "vigilo.log";
  const std::optional<TAlrSrvStatusBlock> status =
      service_test::StatusOf(service_test::CallPipe("VigiloInfo", "REQGETSTATS"));
  ASSERT_TRUE(status);

  // One line names the file, spelt as on disk.
  std::vector<std::string> named;
  for (const std::string& text : LogTexts(log)) {
    if (text.find("counts.fdb") != std::string::npos) named.push_back(text);
  }
  ASSERT_EQ(named.size(), 1u) << ReadFile(log);
  EXPECT_THAT(named[0], HasSubstr("for file \"" + missingUtf8 + "\"")) << named[0];
  EXPECT_THAT(ReadFile(log), Not(HasSubstr("g\xC3\x83\xC2\xB4ne"))) << "no UTF-8 made twice";

  const std::string lastError = StatusText(status->LastErrorText);
  EXPECT_THAT(lastError, HasSubstr("for file \"" + missingCp1252 + "\"")) << lastError;
  EXPECT_THAT(lastError, Not(HasSubstr("g\xC3\xB4ne"))) << "no UTF-8 among the cp1252";
}

TEST_F(VigiloAccentsTest, AFolderTheCharacterSetCannotSpellStopsTheProgramAtStart) {
  // "Ωmega": cp1252 has no Greek letters.
  const std::string prog = service_test::MakeInstallation(root, "\xCE\xA9mega");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{prog + "vigilo"}, {prog + "vigilo", "-install"}}) {
    const testing_support::ProgramResult run = RunWithErrors(args);
    EXPECT_EQ(run.exitCode, 1) << args.back();
    EXPECT_THAT(run.output, HasSubstr("character set (Windows-1252) cannot hold")) << args.back();
  }
  EXPECT_FALSE(fs::exists(prog + "vigilo.log"));
  EXPECT_TRUE(fs::is_empty(root.File("scm/services"))) << "nothing registered";
}

TEST_F(VigiloAccentsTest, HelpVersionAndAStartByHand) {
  const std::string prog = service_test::MakeInstallation(root);
  // What was asked for goes to standard output, so that it can be paged or
  // kept; standard error stays empty.
  const testing_support::ProgramResult help = RunApart({prog + "vigilo", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output.rfind("Usage: vigilo [-install | -uninstall] [-silent]\n", 0), 0u)
      << help.output;
  EXPECT_THAT(help.output, HasSubstr("svcmgr"));
  EXPECT_THAT(help.output, Not(HasSubstr("could not connect")));
  EXPECT_EQ(help.errors, "");

  const testing_support::ProgramResult version = RunApart({prog + "vigilo", "--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output, "vigilo (CORVANTE Alert Service) " VIGILO_VERSION "\n");
  EXPECT_EQ(version.errors, "");

  // A failure is told on standard error alone.
  const testing_support::ProgramResult byHand = RunApart({prog + "vigilo"});
  EXPECT_EQ(byHand.exitCode, 1);
  EXPECT_EQ(byHand.output, "");
  EXPECT_THAT(byHand.errors,
              HasSubstr(platform::SystemErrorText(platform::kErrorFailedServiceControllerConnect)));
  EXPECT_THAT(byHand.errors, HasSubstr("started by the service manager svcmgr"));
  EXPECT_THAT(byHand.errors, HasSubstr("\"vigilo -install\""));

  // The framework's switches, after "-" or "/", in any case, as before.
  const testing_support::ProgramResult install = RunWithErrors({prog + "vigilo", "/Install"});
  EXPECT_EQ(install.exitCode, 0);
  EXPECT_EQ(install.output, "Service installed successfully\n");
  const auto registration = platform::ReadServiceRegistration("VazidEre");
  ASSERT_TRUE(registration);
  EXPECT_EQ(registration->ImagePath, prog + "vigilo");
  const testing_support::ProgramResult uninstall =
      RunWithErrors({prog + "vigilo", "-UNINSTALL", "/silent"});
  EXPECT_EQ(uninstall.exitCode, 0);
  EXPECT_EQ(uninstall.output, "");
  EXPECT_FALSE(platform::ReadServiceRegistration("VazidEre"));
}

}  // namespace
