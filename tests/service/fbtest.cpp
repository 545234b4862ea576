#include "tests/service/fbtest.h"

#include <ibase.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace fbtest {
namespace {

constexpr const char* kPasswordFile = "/etc/firebird/3.0/SYSDBA.password";

[[noreturn]] void ThrowStatus(const std::string& what, const ISC_STATUS* status) {
  std::string message = what;
  char line[512];
  const ISC_STATUS* cursor = status;
  while (fb_interpret(line, sizeof line, &cursor) > 0) {
    message += "\n  ";
    message.append(line, strnlen(line, sizeof line));
  }
  throw std::runtime_error(message);
}

std::string Dpb(bool withCharset) {
  const Credentials& sysdba = Sysdba();
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  auto add = [&](char code, const std::string& value) {
    dpb += code;
    dpb += static_cast<char>(value.size());
    dpb += value;
  };
  add(isc_dpb_user_name, sysdba.User);
  add(isc_dpb_password, sysdba.Password);
  if (withCharset) add(isc_dpb_lc_ctype, "WIN1252");
  return dpb;
}

isc_db_handle Attach(const std::string& connectionString, const std::string& dpb) {
  ISC_STATUS_ARRAY status;
  isc_db_handle db = 0;
  if (isc_attach_database(status, 0, connectionString.c_str(), &db, static_cast<short>(dpb.size()),
                          dpb.data())) {
    ThrowStatus("attach " + connectionString, status);
  }
  return db;
}

void Detach(isc_db_handle& db) {
  ISC_STATUS_ARRAY status;
  isc_detach_database(status, &db);
}

std::string Quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) {
    result += c;
    if (c == '\'') result += '\'';
  }
  return result + "'";
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string PathOf(const std::string& connectionString) {
  return connectionString.substr(connectionString.find(':') + 1);
}

}  // namespace

const Credentials& Sysdba() {
  static const Credentials credentials = [] {
    Credentials c;
    const char* user = std::getenv("ISC_USER");
    const char* password = std::getenv("ISC_PASSWORD");
    c.User = user && *user ? user : "SYSDBA";
    if (password && *password) {
      c.Password = password;
      return c;
    }
    // Lines of the form ISC_PASSWORD="secret" (a shell fragment).
    std::ifstream file(kPasswordFile);
    for (std::string text; std::getline(file, text);) {
      const size_t eq = text.find('=');
      if (eq == std::string::npos || Trimmed(text.substr(0, eq)) != "ISC_PASSWORD") continue;
      std::string value = Trimmed(text.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      c.Password = value;
    }
    if (c.Password.empty()) {
      throw std::runtime_error(std::string("no SYSDBA password: set ISC_PASSWORD or make ") +
                               kPasswordFile + " readable");
    }
    return c;
  }();
  return credentials;
}

DatabaseFolder::DatabaseFolder() {
  // Below /tmp, not TMPDIR: the server runs as its own user and must reach
  // the folder, which a private temporary folder may not allow.
  char pattern[] = "/tmp/vigilo-fb-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  // The server creates the database files, as its own user.
  chmod(path_.c_str(), 0777);
}

DatabaseFolder::DatabaseFolder(std::string path) : path_(std::move(path)) {}

DatabaseFolder::~DatabaseFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string DatabaseFolder::ConnectionString(const std::string& name) const {
  return "localhost:" + path_ + "/" + name;
}

void CreateDatabase(const std::string& connectionString,
                    const std::vector<std::string>& statements) {
  const Credentials& sysdba = Sysdba();
  const std::string create = "CREATE DATABASE " + Quoted(connectionString) + " USER " +
                             Quoted(sysdba.User) + " PASSWORD " + Quoted(sysdba.Password) +
                             " PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252";
  ISC_STATUS_ARRAY status;
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  if (isc_dsql_execute_immediate(status, &db, &tr, 0, create.c_str(), 3, nullptr)) {
    ThrowStatus("create " + connectionString, status);
  }
  Detach(db);
  db = Attach(connectionString, Dpb(true));
  for (const std::string& sql : statements) {
    tr = 0;
    if (isc_start_transaction(status, &tr, 1, &db, 0, nullptr)) {
      Detach(db);
      ThrowStatus("start", status);
    }
    if (isc_dsql_execute_immediate(status, &db, &tr, 0, sql.c_str(), 3, nullptr)) {
      ISC_STATUS_ARRAY ignored;
      isc_rollback_transaction(ignored, &tr);
      Detach(db);
      ThrowStatus("execute " + sql, status);
    }
    if (isc_commit_transaction(status, &tr)) {
      Detach(db);
      ThrowStatus("commit " + sql, status);
    }
  }
  Detach(db);
}

void DropDatabase(const std::string& connectionString) {
  try {
    isc_db_handle db = Attach(connectionString, Dpb(false));
    ISC_STATUS_ARRAY status;
    if (isc_drop_database(status, &db)) Detach(db);
  } catch (const std::exception&) {
    // Already gone, or the server is: the folder's removal takes the file.
  }
  unlink(PathOf(connectionString).c_str());
}

TDateTime FixtureToday() {
  return EncodeDate(2024, 3, 14);
}

namespace {

const std::vector<std::string> kFullSchema = {
    "CREATE TABLE SHOPS (IDSHOP INTEGER NOT NULL PRIMARY KEY, SHOPNAME VARCHAR(60))",
    "CREATE TABLE VISITORS (IDSHOP INTEGER NOT NULL, DDATE TIMESTAMP, ENTERS INTEGER, "
    "ENTERS_C INTEGER)",
    "CREATE TABLE CORRCOEFFS (IDSHOP INTEGER, COEFF DOUBLE PRECISION)",
    "CREATE TABLE HEATMAP (IDSHOP INTEGER, CELL INTEGER, HITS INTEGER)",
};

std::vector<std::string> With(std::vector<std::string> statements,
                              const std::vector<std::string>& more) {
  statements.insert(statements.end(), more.begin(), more.end());
  return statements;
}

std::string Shop(int id, const std::string& nameLiteral) {
  return "INSERT INTO SHOPS (IDSHOP, SHOPNAME) VALUES (" + std::to_string(id) + ", " + nameLiteral +
         ")";
}

std::string Visit(int id, const std::string& stampLiteral, int enters) {
  return "INSERT INTO VISITORS (IDSHOP, DDATE, ENTERS) VALUES (" + std::to_string(id) + ", " +
         stampLiteral + ", " + std::to_string(enters) + ")";
}

std::string Day(const std::string& isoDate) {
  return "'" + isoDate + " 00:00:00'";
}

}  // namespace

Fixture FixtureIn(const std::string& folder) {
  const auto at = [&](const char* name) { return "localhost:" + folder + "/" + name; };
  return Fixture{folder,          at("rule.fdb"),     at("bare.fdb"),   at("noshops.fdb"),
                 at("empty.fdb"), at("refusing.fdb"), at("probed.fdb"), at("textdates.fdb"),
                 at("logged.fdb")};
}

void BuildFixture(const Fixture& fixture) {
  CreateDatabase(fixture.Rule, With(kFullSchema, {
                                                     Shop(1, "'Today'"),
                                                     Visit(1, Day("2024-03-13"), 4),
                                                     Visit(1, Day("2024-03-14"), 7),
                                                     Shop(2, "'Future'"),
                                                     Visit(2, Day("2024-03-20"), 3),
                                                     Shop(3, "'Yesterday'"),
                                                     Visit(3, Day("2024-03-13"), 9),
                                                     Shop(4, "'Tuesday'"),
                                                     Visit(4, Day("2024-03-11"), 2),
                                                     Visit(4, Day("2024-03-12"), 5),
                                                     Visit(4, Day("2024-03-13"), 0),
                                                     Shop(5, "'Gap'"),
                                                     Visit(5, Day("2024-03-11"), 1),
                                                     Visit(5, Day("2024-03-13"), 6),
                                                     Shop(6, "'Weeks'"),
                                                     Visit(6, Day("2024-02-18"), 8),
                                                     Visit(6, Day("2024-02-19"), 8),
                                                     Visit(6, Day("2024-02-20"), 8),
                                                     Shop(7, "'Zero'"),
                                                     Visit(7, Day("2024-03-12"), 0),
                                                     Visit(7, Day("2024-03-13"), 0),
                                                     Shop(8, "'NoRows'"),
                                                     Shop(9, "'Twin'"),
                                                     Visit(9, Day("2024-03-05"), 3),
                                                     Shop(10, "'Twin'"),
                                                     Visit(10, Day("2024-03-11"), 3),
                                                     Shop(11, "'NullDate'"),
                                                     Visit(11, "NULL", 5),
                                                     Shop(12, "'Late'"),
                                                     Visit(12, "'2024-03-11 23:59:59'", 1),
                                                     Shop(13, "NULL"),
                                                     Visit(13, Day("2024-03-10"), 2),
                                                     Shop(14, "'Caf\xE9 H\xF4tel'"),
                                                     Visit(14, Day("2024-03-12"), 2),
                                                     Shop(15, "'<b>&\"Sale\"</b>'"),
                                                     Visit(15, Day("2024-03-11"), 2),
                                                 }));
  CreateDatabase(
      fixture.Bare,
      {
          "CREATE TABLE SHOPS (IDSHOP INTEGER NOT NULL PRIMARY KEY, SHOPNAME VARCHAR(60))",
          "CREATE TABLE VISITORS (IDSHOP INTEGER NOT NULL, DDATE TIMESTAMP, "
          "ENTERS INTEGER)",
          Shop(1, "'Lone'"),
          Visit(1, Day("2024-03-11"), 4),
      });
  CreateDatabase(fixture.NoShops,
                 {
                     "CREATE TABLE VISITORS (IDSHOP INTEGER NOT NULL, DDATE TIMESTAMP, "
                     "ENTERS INTEGER, ENTERS_C INTEGER)",
                     Visit(1, Day("2024-03-11"), 4),
                 });
  CreateDatabase(fixture.Empty, With(kFullSchema, {
                                                      Shop(1, "'Closed'"),
                                                      Visit(1, Day("2024-03-11"), 0),
                                                  }));
  CreateDatabase(fixture.TextDates,
                 {
                     kFullSchema[0],
                     "CREATE TABLE VISITORS (IDSHOP INTEGER NOT NULL, DDATE VARCHAR(20), "
                     "ENTERS INTEGER)",
                     Shop(1, "'One'"),
                     Visit(1, "'2024-03-01'", 4),
                     Shop(2, "'Two'"),
                     Visit(2, "'2024-03-02'", 4),
                 });
  CreateDatabase(fixture.Probed,
                 {
                     kFullSchema[0],
                     kFullSchema[1],
                     kFullSchema[2],
                     "CREATE TABLE TXLOG (TX BIGINT)",
                     "CREATE TRIGGER LOG_TRANSACTIONS ACTIVE ON TRANSACTION START "
                     "AS BEGIN INSERT INTO TXLOG (TX) VALUES (CURRENT_TRANSACTION); END",
                 });
  // A view for each table the statements read, over a procedure that logs
  // the statement (MON$STATE 1: the one running now).
  std::vector<std::string> logged = {
      kFullSchema[0],
      "CREATE TABLE SQLLOG (N INTEGER, SQLTEXT VARCHAR(1000))",
      "CREATE SEQUENCE SQLLOG_N",
      "CREATE PROCEDURE LOG_RUNNING AS BEGIN IN AUTONOMOUS TRANSACTION DO "
      "INSERT INTO SQLLOG (N, SQLTEXT) SELECT NEXT VALUE FOR SQLLOG_N, "
      "CAST(S.MON$SQL_TEXT AS VARCHAR(1000)) FROM MON$STATEMENTS S "
      "WHERE S.MON$ATTACHMENT_ID = CURRENT_CONNECTION AND S.MON$STATE = 1; END",
  };
  struct View {
    std::string name, columns, names, targets;
  };
  for (const View& v : {
           View{"VISITORS", "IDSHOP INTEGER, DDATE TIMESTAMP, ENTERS INTEGER, ENTERS_C INTEGER",
                "IDSHOP, DDATE, ENTERS, ENTERS_C", ":IDSHOP, :DDATE, :ENTERS, :ENTERS_C"},
           View{"CORRCOEFFS", "IDSHOP INTEGER, COEFF DOUBLE PRECISION", "IDSHOP, COEFF",
                ":IDSHOP, :COEFF"},
           View{"HEATMAP", "IDSHOP INTEGER, CELL INTEGER, HITS INTEGER", "IDSHOP, CELL, HITS",
                ":IDSHOP, :CELL, :HITS"},
       }) {
    logged.push_back("CREATE TABLE " + v.name + "_ROWS (" + v.columns + ")");
    logged.push_back("CREATE PROCEDURE " + v.name + "_LOGGED RETURNS (" + v.columns +
                     ") AS BEGIN EXECUTE PROCEDURE LOG_RUNNING; FOR SELECT " + v.names + " FROM " +
                     v.name + "_ROWS INTO " + v.targets + " DO SUSPEND; END");
    logged.push_back("CREATE VIEW " + v.name + " AS SELECT " + v.names + " FROM " + v.name +
                     "_LOGGED");
  }
  logged.push_back(Shop(1, "'Lone'"));
  logged.push_back("INSERT INTO VISITORS_ROWS (IDSHOP, DDATE, ENTERS) VALUES (1, " +
                   Day("2024-03-11") + ", 4)");
  CreateDatabase(fixture.Logged, logged);
  // Last: once the trigger exists, no transaction starts in this database.
  CreateDatabase(
      fixture.Refusing,
      With(kFullSchema, {
                            Shop(1, "'Lone'"),
                            Visit(1, Day("2024-03-11"), 4),
                            "CREATE EXCEPTION NO_TRANSACTIONS 'transactions are refused'",
                            "CREATE TRIGGER REFUSE_TRANSACTIONS ACTIVE ON TRANSACTION START "
                            "AS BEGIN EXCEPTION NO_TRANSACTIONS; END",
                        }));
}

void RemoveFixture(const Fixture& fixture) {
  for (const std::string* db :
       {&fixture.Rule, &fixture.Bare, &fixture.NoShops, &fixture.Empty, &fixture.Refusing,
        &fixture.Probed, &fixture.TextDates, &fixture.Logged}) {
    DropDatabase(*db);
  }
  DatabaseFolder adopted(fixture.Folder);
}

const Fixture& Databases() {
  static const Fixture shared = []() -> Fixture {
    const char* pointer = std::getenv("VIGILO_FB_FIXTURE");
    if (pointer && *pointer) {
      std::ifstream file(pointer);
      std::string folder;
      if (std::getline(file, folder) && !folder.empty() &&
          std::filesystem::exists(folder + "/rule.fdb")) {
        return FixtureIn(folder);
      }
    }
    // Run outside CTest: a private copy for this process.
    static DatabaseFolder own;
    static struct Remover {
      Fixture fixture;
      ~Remover() { RemoveFixture(fixture); }
    } remover{FixtureIn(own.Path())};
    own.Release();
    BuildFixture(remover.fixture);
    return remover.fixture;
  }();
  return shared;
}

}  // namespace fbtest
