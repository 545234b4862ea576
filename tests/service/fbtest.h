// Databases on the local Firebird server for the tests and benchmarks.
//
// The server (started by scripts/services.d/firebird.sh) runs as its own
// user, so databases live in a folder below /tmp that it can write to, and
// every connection string is "localhost:<path>". SYSDBA's password comes from
// ISC_PASSWORD in the environment, else from the package's
// /etc/firebird/3.0/SYSDBA.password.
#pragma once

#include <string>
#include <vector>

#include "common/datetime.h"

namespace fbtest {

struct Credentials {
  std::string User;
  std::string Password;
};
// Throws std::runtime_error when no password can be found.
const Credentials& Sysdba();

// A fresh folder below /tmp that the server can write into. Removed, with the
// databases in it, when the object goes.
class DatabaseFolder {
 public:
  DatabaseFolder();
  // Adopts an existing folder, for the fixture's cleanup step.
  explicit DatabaseFolder(std::string path);
  ~DatabaseFolder();
  DatabaseFolder(const DatabaseFolder&) = delete;
  DatabaseFolder& operator=(const DatabaseFolder&) = delete;

  const std::string& Path() const { return path_; }
  // "localhost:" + the path of the file `name` in the folder.
  std::string ConnectionString(const std::string& name) const;
  // Keeps the folder when the object goes.
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

// Creates a dialect 3 database with default character set WIN1252 and runs
// the statements, each in a transaction of its own, as SYSDBA with the
// connection's character set WIN1252 (so cp1252 literals arrive unchanged).
// Throws std::runtime_error with the client's text.
void CreateDatabase(const std::string& connectionString,
                    const std::vector<std::string>& statements);
// Drops the database; errors are ignored.
void DropDatabase(const std::string& connectionString);

// The databases that the tests share. "Today" for them is Thursday
// 14 March 2024 (FixtureToday).
//
// Rule: the full schema (SHOPS, VISITORS with ENTERS_C, CORRCOEFFS, HEATMAP).
// Shops and their last counted day (a VISITORS row with ENTERS > 0):
//   "Today"            14/03/2024 (today)
//   "Future"           20/03/2024
//   "Yesterday"        13/03/2024
//   "Tuesday"          12/03/2024, and 13/03/2024 with ENTERS = 0
//   "Gap"              13/03/2024, with no row for 12/03/2024
//   "Weeks"            20/02/2024, after a run of counted days
//   "Zero"             none: only rows with ENTERS = 0
//   "NoRows"           none: no VISITORS row
//   "Twin" (two shops) 05/03/2024 and 11/03/2024
//   "NullDate"         one counted row whose DDATE is NULL
//   "Late"             11/03/2024 23:59:59
//   NULL name          10/03/2024
//   "Caf\xE9 H\xF4tel" (cp1252) 12/03/2024
//   "<b>&\"Sale\"</b>" 11/03/2024
// Bare: no CORRCOEFFS, no HEATMAP, VISITORS without ENTERS_C; shop "Lone"
//   counted 11/03/2024.
// NoShops: VISITORS only, with counted rows.
// Empty: the full schema, one shop with only ENTERS = 0 rows.
// Refusing: the full schema with shop "Lone" and a trigger that refuses every
//   transaction at its start.
// TextDates: SHOPS, and VISITORS whose DDATE is text; two counted shops.
// Probed: the full schema but HEATMAP, and a trigger that writes the number
//   of every transaction at its start into TXLOG (TX), so that TXLOG counts
//   the transactions that were committed.
// Logged: VISITORS, CORRCOEFFS and HEATMAP are views whose rows come from a
//   procedure that first writes the text of the statement running on the
//   connection into SQLLOG (SQLTEXT, in the order of N), in a transaction of
//   its own; SHOPS is a table. Shop "Lone" counted 11/03/2024.
struct Fixture {
  std::string Folder;
  std::string Rule;
  std::string Bare;
  std::string NoShops;
  std::string Empty;
  std::string Refusing;
  std::string Probed;
  std::string TextDates;
  std::string Logged;
};

// The fixture built once per test run by the setup step (its folder named by
// the file in VIGILO_FB_FIXTURE); without one, a private copy built at the
// first call and removed at exit.
const Fixture& Databases();
// The fixture's databases in `folder`.
Fixture FixtureIn(const std::string& folder);
void BuildFixture(const Fixture& fixture);
void RemoveFixture(const Fixture& fixture);

TDateTime FixtureToday();

}  // namespace fbtest
