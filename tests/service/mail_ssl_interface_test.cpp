#include "service/mail_ssl_interface.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "tests/maillib/probe_output.h"
#include "tests/support/child_runner.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using mailtest::Fields;
using mailtest::ParseFieldLines;
using mailtest::Unhex;

TEST(NormalizeMailRecipientsTest, Cases) {
  struct Case {
    const char* given;
    const char* passed;
  };
  const Case cases[] = {
      {"first, second", "first,second"},
      {"first second", "first,second"},
      {"first,   second", "first,second"},
      {"first ,second", "first,,second"},
      {" first", ",first"},
      {"first ", "first,"},
      {"first;second", "first;second"},
      {"a  b     c", "a,b,c"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizeMailRecipients(c.given), c.passed) << c.given;
}

TEST(MakeMailServerParamsTest, FillsEveryFieldAtItsOffsetAndCutsTexts) {
  const std::string longHost(200, 'h');
  const std::string longUser(70, 'u');
  TMailServerParams params =
      MakeMailServerParams("pop.example.org", 110, longHost, 587, longUser, "secret");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&params);

  std::vector<unsigned char> expected(392, 0);
  std::memcpy(&expected[0], "pop.example.org", 15);
  expected[128] = 110;
  std::memset(&expected[132], 'h', 127);
  expected[260] = 587 & 0xff;
  expected[261] = 587 >> 8;
  std::memset(&expected[264], 'u', 63);
  std::memcpy(&expected[328], "secret", 6);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 392), expected);
}

// A program folder in a temporary folder: the probe copied there, and
// optionally one of the test libraries as libquennet.so beside it.
class MailInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = root_ / "bin";
    fs::create_directories(program_);
    fs::copy_file(MAIL_PROBE, program_ / "mail_probe");
    report_ = (root_ / "report.txt").string();
  }

  static fs::path Variant(const std::string& name) {
    return fs::path(FAKE_LIBRARY_DIR) / ("libfake_quennet_" + name + ".so");
  }
  void InstallBesideProgram(const std::string& variant) {
    fs::copy_file(Variant(variant), program_ / kMailLibraryName);
  }

  // Runs the probe; returns one set of fields per call.
  std::vector<Fields> Probe(std::vector<std::string> args, const std::string& mode = "ok",
                            testing_support::EnvChanges env = {}) {
    args.insert(args.begin(), (program_ / "mail_probe").string());
    env["FAKE_QUENNET_MODE"] = mode;
    env["FAKE_QUENNET_REPORT"] = report_;
    if (!env.count("LD_LIBRARY_PATH")) env["LD_LIBRARY_PATH"] = std::nullopt;
    testing_support::ProgramResult result = testing_support::RunProgram(args, {.env = env});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    return ParseFieldLines(result.output);
  }
  static std::vector<std::string> Args(const std::string& calls = "1") {
    return {calls, "one@example.org", "Subject", "\"line 1\",line2", "\"/tmp/r.html\"", "", "0",
            "0"};
  }
  static std::vector<std::string> ArgsWithRecord(const std::string& smtpHost = "smtp.example.org") {
    std::vector<std::string> args = Args();
    for (const char* v : {"pop.example.org", "110"}) args.push_back(v);
    for (const std::string& v :
         {smtpHost, std::string("25"), std::string("user@example.org"), std::string("pw")})
      args.push_back(v);
    return args;
  }
  std::vector<Fields> Reports() const {
    std::ifstream in(report_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return ParseFieldLines(text.str());
  }

  testing_support::TempFolder temp_;
  const fs::path root_ = temp_.Path();
  fs::path program_;
  std::string report_;
};

TEST_F(MailInterfaceTest, CallsTheNewestEntryPointAndPassesTheRecordOnlyToDef3) {
  struct Case {
    const char* variant;
    const char* entry;
  };
  const Case cases[] = {
      {"def3", "Def3"}, {"def2", "Def2"}, {"def", "Def"}, {"all", "Def3"}, {"def2def", "Def2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    fs::remove(program_ / kMailLibraryName);
    fs::remove(report_);
    InstallBesideProgram(c.variant);
    std::vector<Fields> calls = Probe(ArgsWithRecord());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["result"], "1");
    EXPECT_EQ(Unhex(calls[0]["error"]), "");
    std::vector<Fields> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["entry"], c.entry);
    EXPECT_EQ(reports[0].count("params"), std::string(c.entry) == "Def3" ? 1u : 0u);
    EXPECT_EQ(reports[0].count("extra"), std::string(c.entry) == "Def" ? 0u : 1u);
  }
}

TEST_F(MailInterfaceTest, PassesEveryArgumentAsGiven) {
  InstallBesideProgram("all");
  std::vector<std::string> args = ArgsWithRecord(std::string(200, 'h'));
  args[1] = "a@x.org,  b@y.org c@z.org";
  args[5] = "extra text";
  args[6] = "7";
  args[7] = "-3";
  std::vector<Fields> calls = Probe(args);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["result"], "1");

  std::vector<Fields> reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  Fields& r = reports[0];
  EXPECT_EQ(Unhex(r["recipients"]), "a@x.org,b@y.org,c@z.org");
  EXPECT_EQ(Unhex(r["subject"]), "Subject");
  EXPECT_EQ(Unhex(r["body"]), "\"line 1\",line2");
  EXPECT_EQ(Unhex(r["attachments"]), "\"/tmp/r.html\"");
  EXPECT_EQ(Unhex(r["extra"]), "extra text");
  EXPECT_EQ(r["n1"], "7");
  EXPECT_EQ(r["n2"], "-3");
  EXPECT_EQ(r["size"], "512");

  const std::string record = Unhex(r["params"]);
  ASSERT_EQ(record.size(), 392u);
  EXPECT_EQ(record.substr(0, 16), std::string("pop.example.org") + '\0');
  EXPECT_EQ(record.substr(132, 128), std::string(127, 'h') + '\0');
  EXPECT_EQ(record.substr(264, 17), std::string("user@example.org") + '\0');
  EXPECT_EQ(record.substr(328, 3), std::string("pw") + '\0');
  int32_t smtpPort;
  std::memcpy(&smtpPort, record.data() + 260, 4);
  EXPECT_EQ(smtpPort, 25);
}

TEST_F(MailInterfaceTest, PassesNoRecordWhenNoneIsGiven) {
  InstallBesideProgram("def3");
  ASSERT_EQ(Probe(Args()).size(), 1u);
  std::vector<Fields> reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["params"], "null");
}

TEST_F(MailInterfaceTest, ReportsTheOutcomeAndReleasesTheLibraryAfterEveryCall) {
  struct Case {
    const char* mode;
    const char* result;
    std::string error;
    std::string exception;
  };
  const Case cases[] = {
      {"ok", "1", "", ""},
      {"fail", "0", "Refused by the test library", ""},
      {"fill", "0", std::string(512, 'x'), ""},
      {"silent", "0", "", ""},
      {"throw", "0", "", "Failure inside the test library"},
  };
  InstallBesideProgram("all");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    fs::remove(report_);
    std::vector<Fields> calls = Probe(Args("2"), c.mode);
    ASSERT_EQ(calls.size(), 2u);
    for (Fields& call : calls) {
      EXPECT_EQ(call["result"], c.result);
      EXPECT_EQ(Unhex(call["error"]), c.error);
      EXPECT_EQ(Unhex(call["exception"]), c.exception);
      EXPECT_EQ(call["loaded"], "0");
    }
    // A copy that stayed loaded would count on to 2.
    std::vector<Fields> reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    for (Fields& report : reports) EXPECT_EQ(report["count"], "1");
  }
}

TEST_F(MailInterfaceTest, ErrorBufferArrivesZeroFilled) {
  InstallBesideProgram("def");
  std::vector<Fields> calls = Probe(Args(), "silent");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["result"], "0");
  EXPECT_EQ(Unhex(calls[0]["error"]), "");
  std::vector<Fields> reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["size"], "512");
  EXPECT_EQ(reports[0]["dirty"], "0");
}

TEST_F(MailInterfaceTest, MissingLibraryOrEntryPointsGiveFalseWithoutText) {
  for (const char* variant : {"", "none"}) {
    SCOPED_TRACE(variant);
    fs::remove(program_ / kMailLibraryName);
    if (*variant) InstallBesideProgram(variant);
    std::vector<Fields> calls = Probe(Args());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["result"], "0");
    EXPECT_EQ(Unhex(calls[0]["error"]), "");
    EXPECT_EQ(Unhex(calls[0]["exception"]), "");
    EXPECT_EQ(calls[0]["loaded"], "0");
  }
  EXPECT_FALSE(fs::exists(report_));
}

TEST_F(MailInterfaceTest, ProgramFolderComesBeforeTheSystemSearch) {
  const fs::path searched = root_ / "lib";
  fs::create_directories(searched);
  fs::copy_file(Variant("def2"), searched / kMailLibraryName);

  std::vector<Fields> calls = Probe(Args(), "ok", {{"LD_LIBRARY_PATH", searched.string()}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["result"], "1");
  InstallBesideProgram("def3");
  calls = Probe(Args(), "ok", {{"LD_LIBRARY_PATH", searched.string()}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["result"], "1");

  std::vector<Fields> reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0]["entry"], "Def2");
  EXPECT_EQ(Unhex(reports[0]["path"]), (searched / kMailLibraryName).string());
  EXPECT_EQ(reports[1]["entry"], "Def3");
  EXPECT_EQ(Unhex(reports[1]["path"]), (program_ / kMailLibraryName).string());
}

}  // namespace
