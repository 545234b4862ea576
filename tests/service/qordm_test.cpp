#include "service/qordm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ibase.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/service/fbtest.h"

namespace {

using ::testing::HasSubstr;

class DmQorTest : public ::testing::Test {
 protected:
  void Connect(const std::string& connectionString) {
    dm.Username = fbtest::Sysdba().User;
    dm.Password = fbtest::Sysdba().Password;
    dm.SetDatabaseName(connectionString);
    dm.Connect(true);
  }
  TDmQor dm;
};

TEST_F(DmQorTest, ConnectRunsTheProbesWithOrWithoutTheirTables) {
  for (const std::string& db : {fbtest::Databases().Rule, fbtest::Databases().Bare}) {
    Connect(db);
    EXPECT_TRUE(dm.IsConnected()) << db;
    // Every probe's transaction ended, committed or rolled back.
    EXPECT_FALSE(dm.QorTransRead.InTransaction()) << db;
    EXPECT_FALSE(dm.QryRead.Active()) << db;
    EXPECT_EQ(dm.QorDatabase.Params,
              (std::vector<std::string>{"user_name=" + fbtest::Sysdba().User,
                                        "password=" + fbtest::Sysdba().Password}));
    dm.Connect(false);
    EXPECT_FALSE(dm.IsConnected()) << db;
  }
}

TEST_F(DmQorTest, EachProbeHasATransactionCommittedOnlyWhenItsStatementSucceeds) {
  // TXLOG gains a row for every transaction that is committed; the reading
  // transaction sees its own row too, the same in both readings.
  const auto committed = [&] {
    Connect(fbtest::Databases().Probed);
    dm.QorTransRead.StartTransaction();
    dm.QryRead.SQL = "SELECT COUNT(*) AS N FROM TXLOG";
    dm.QryRead.Open();
    const long long count = std::stoll(dm.QryRead.FieldByName("N").AsString());
    dm.QryRead.Close();
    dm.QorTransRead.Rollback();
    dm.Connect(false);
    return count;
  };
  const long long first = committed();
  // Without HEATMAP only the first two probes succeed and commit.
  EXPECT_EQ(committed() - first, 2);
}

TEST_F(DmQorTest, ProbeWhoseTransactionCannotStartLeavesNoConnectionOpen) {
  try {
    Connect(fbtest::Databases().Refusing);
    FAIL() << "connected";
  } catch (const EDatabaseError& e) {
    EXPECT_THAT(e.Message(), HasSubstr("transactions are refused"));
  }
  EXPECT_FALSE(dm.IsConnected());
  EXPECT_FALSE(dm.QorTransRead.InTransaction());
}

TEST_F(DmQorTest, FailingOpenReportsTheClientTextAndStaysClosed) {
  const fbtest::Credentials& sysdba = fbtest::Sysdba();
  struct Case {
    std::string database;
    std::string user;
    std::string password;
    std::string message;
  };
  const Case cases[] = {
      {"localhost:/tmp/vigilo-no-such-folder/x.fdb", sysdba.User, sysdba.Password, "I/O error"},
      {fbtest::Databases().Rule, sysdba.User, "wrong", "user name and password are not defined"},
      // 255 bytes still fit the parameter block, so the client goes on to the
      // network. Not to the server of the tests: Firebird 3.0 servers crash on
      // user names longer than 31 bytes. Nothing listens on port 3051.
      {"localhost/3051:/tmp/x.fdb", std::string(255, 'u'), sysdba.Password,
       "Unable to complete network request to host"},
      {fbtest::Databases().Rule, std::string(256, 'u'), sysdba.Password,
       "The connection parameter \"user_name\" is longer than 255 bytes"},
      {fbtest::Databases().Rule, sysdba.User, std::string(300, 'p'),
       "The connection parameter \"password\" is longer than 255 bytes"},
  };
  for (const Case& c : cases) {
    dm.Username = c.user;
    dm.Password = c.password;
    dm.SetDatabaseName(c.database);
    try {
      dm.Connect(true);
      ADD_FAILURE() << "connected to " << c.database;
    } catch (const EDatabaseError& e) {
      EXPECT_THAT(e.Message(), HasSubstr(c.message));
    }
    EXPECT_FALSE(dm.IsConnected());
  }
}

// The client writes UTF-8: the names it was given come back in its text as
// it spelt them, the server's words too.
TEST(ClientErrorTextTest, TheClientsUtf8BecomesCp1252) {
  const struct {
    const char* name;
    std::string utf8;
    std::string cp1252;
  } cases[] = {
      {"ASCII", "/db/x.fdb", "/db/x.fdb"},
      {"a letter of cp1252", "/db/g\xC3\xB4ne/x.fdb", "/db/g\xF4ne/x.fdb"},
      {"a sign of cp1252's own row", "/db/\xE2\x82\xAC.fdb", "/db/\x80.fdb"},
      {"a letter cp1252 has none for", "/db/\xCE\xA9mega.fdb", "/db/?mega.fdb"},
      {"beyond the BMP", "/db/\xF0\x9F\x98\x80.fdb", "/db/?.fdb"},
      {"a cp1252 byte, no UTF-8", "/db/caf\xE9.fdb", "/db/caf?.fdb"},
      {"a sequence cut short", "/db/g\xC3", "/db/g?"},
      {"an overlong form", "/db/\xC0\xAF", "/db/??"},
  };
  for (const auto& c : cases) {
    const ISC_STATUS status[] = {isc_arg_gds,    isc_io_error,
                                 isc_arg_string, reinterpret_cast<ISC_STATUS>("open"),
                                 isc_arg_string, reinterpret_cast<ISC_STATUS>(c.utf8.c_str()),
                                 isc_arg_gds,    isc_io_open_err,
                                 isc_arg_unix,   ENOENT,
                                 isc_arg_end};
    EXPECT_EQ(ClientErrorText(status), "I/O error during \"open\" operation for file \"" +
                                           c.cp1252 +
                                           "\"\r\nError while trying to open file\r\n"
                                           "No such file or directory")
        << c.name;
  }
}

TEST_F(DmQorTest, AnAccentedPathComesBackInTheErrorAsItWasGiven) {
  // As the service runs: the client takes the name in UTF-8.
  platform::UseUtf8CharacterType();
  const std::string path = "/tmp/vigilo-no-such-folder/g\xF4ne/counts.fdb";
  try {
    Connect("localhost:" + path);
    FAIL() << "connected";
  } catch (const EDatabaseError& e) {
    EXPECT_THAT(e.Message(), HasSubstr("for file \"" + path + "\""));
  }
  EXPECT_FALSE(dm.IsConnected());
}

TEST_F(DmQorTest, OnlyANewDatabaseNameClosesTheConnection) {
  Connect(fbtest::Databases().Rule);
  dm.SetDatabaseName(fbtest::Databases().Rule);
  EXPECT_TRUE(dm.IsConnected());
  dm.SetDatabaseName(fbtest::Databases().Bare);
  EXPECT_FALSE(dm.IsConnected());
  EXPECT_EQ(dm.QorDatabase.DatabaseName, fbtest::Databases().Bare);
}

TEST_F(DmQorTest, DisconnectEndsAnOpenQueryAndTransaction) {
  Connect(fbtest::Databases().Rule);
  dm.QorTransRead.StartTransaction();
  dm.QryRead.SQL = "SELECT SHOPNAME FROM SHOPS";
  dm.QryRead.Open();
  dm.Connect(false);
  EXPECT_FALSE(dm.IsConnected());
  EXPECT_FALSE(dm.QorTransRead.InTransaction());
  EXPECT_FALSE(dm.QryRead.Active());
  // The module connects again afterwards.
  Connect(fbtest::Databases().Rule);
  EXPECT_TRUE(dm.IsConnected());
}

TEST_F(DmQorTest, ColumnsReadAsTextAndAsDateTime) {
  Connect(fbtest::Databases().Rule);
  dm.QorTransRead.StartTransaction();
  TQorQuery& q = dm.QryRead;
  q.SQL =
      "SELECT CAST('2024-03-14' AS DATE) AS D, "
      "CAST('2024-03-11 23:59:59' AS TIMESTAMP) AS TS, "
      "CAST(NULL AS TIMESTAMP) AS NTS, "
      "CAST('1899-12-29 06:00:00' AS TIMESTAMP) AS OLD, "
      "CAST('12:00:00' AS TIME) AS T, "
      "CAST('ab' AS CHAR(4)) AS C, "
      "CAST('x' AS VARCHAR(10)) AS V, "
      "CAST(NULL AS VARCHAR(5)) AS NV, "
      "CAST(-123.45 AS NUMERIC(9,2)) AS N, "
      "CAST(5 AS NUMERIC(4,3)) AS SMALL, "
      "CAST(9000000000 AS BIGINT) AS BIG, "
      "42 AS I "
      "FROM RDB$DATABASE";
  q.Open();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldCount(), 12);
  EXPECT_DOUBLE_EQ(q.FieldByName("D").AsDateTime(), EncodeDate(2024, 3, 14));
  EXPECT_DOUBLE_EQ(q.FieldByName("ts").AsDateTime(),
                   EncodeDate(2024, 3, 11) + EncodeTime(23, 59, 59, 0));
  EXPECT_TRUE(q.FieldByName("NTS").IsNull());
  EXPECT_EQ(q.FieldByName("NTS").AsDateTime(), 0);
  EXPECT_DOUBLE_EQ(q.FieldByName("OLD").AsDateTime(), -1.25);
  EXPECT_DOUBLE_EQ(q.FieldByName("T").AsDateTime(), 0.5);
  EXPECT_EQ(q.FieldByName("C").AsString(), "ab  ");
  EXPECT_EQ(q.FieldByName("V").AsString(), "x");
  EXPECT_FALSE(q.FieldByName("V").IsNull());
  EXPECT_EQ(q.FieldByName("NV").AsString(), "");
  EXPECT_TRUE(q.FieldByName("NV").IsNull());
  EXPECT_EQ(q.FieldByName("N").AsString(), "-123.45");
  EXPECT_EQ(q.FieldByName("SMALL").AsString(), "5.000");
  EXPECT_EQ(q.FieldByName("BIG").AsString(), "9000000000");
  EXPECT_EQ(q.FieldByName("I").AsString(), "42");
  EXPECT_THROW(q.FieldByName("V").AsDateTime(), EDatabaseError);
  try {
    q.FieldByName("NOPE");
    ADD_FAILURE() << "found";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'NOPE' not found");
  }
  q.Next();
  EXPECT_TRUE(q.Eof());
  q.Close();
  dm.QorTransRead.Commit();
  EXPECT_FALSE(dm.QorTransRead.InTransaction());
}

TEST_F(DmQorTest, StatementErrorCarriesTheClientText) {
  Connect(fbtest::Databases().Rule);
  dm.QorTransRead.StartTransaction();
  dm.QryRead.SQL = "SELECT X FROM NO_SUCH_TABLE";
  try {
    dm.QryRead.Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_THAT(e.Message(), HasSubstr("Table unknown\r\nNO_SUCH_TABLE"));
    EXPECT_EQ(e.SqlCode(), -204);
    EXPECT_NE(e.GdsCode(), 0);
  }
  EXPECT_FALSE(dm.QryRead.Active());
  EXPECT_TRUE(dm.QorTransRead.InTransaction());
  dm.QorTransRead.Rollback();
}

TEST_F(DmQorTest, OperationsOutOfOrderAreRefused) {
  struct Case {
    const char* what;
    std::function<void()> run;
    const char* message;
  };
  const Case cases[] = {
      {"start unconnected", [&] { dm.QorTransRead.StartTransaction(); }, "Database not connected"},
      {"commit inactive", [&] { dm.QorTransRead.Commit(); }, "Transaction not active"},
      {"rollback inactive", [&] { dm.QorTransRead.Rollback(); }, "Transaction not active"},
      {"open unconnected", [&] { dm.QryRead.Open(); }, "Database not connected"},
      {"next closed", [&] { dm.QryRead.Next(); }, "Query not open"},
  };
  for (const Case& c : cases) {
    try {
      c.run();
      ADD_FAILURE() << c.what;
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.what;
    }
  }
  Connect(fbtest::Databases().Rule);
  dm.QryRead.SQL = "SELECT 1 AS ONE FROM RDB$DATABASE";
  EXPECT_THROW(dm.QryRead.Open(), EDatabaseError);  // no transaction
  dm.QorTransRead.StartTransaction();
  EXPECT_THROW(dm.QorTransRead.StartTransaction(), EDatabaseError);
  dm.QorTransRead.Rollback();
}

}  // namespace
