// Database access of the alarm service: the data module TDmQor with its one
// connection to a chain database (a Firebird database reached through the
// client library's C interface), its read transaction and the query through
// which every statement runs. The service only reads the databases.
//
// Errors are EDatabaseError exceptions; for a failure that the client reports
// the message is the client's own text (ClientErrorText). Used by the service
// thread only, but for TQorDatabase::Abort and TQorDatabase::AbandonAttach,
// which another thread calls to end a call that waits on a silent server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "common/exceptions.h"

class EDatabaseError : public Exception {
 public:
  explicit EDatabaseError(const std::string& message, int32_t sqlCode = 0, intptr_t gdsCode = 0)
      : Exception(message), sqlCode_(sqlCode), gdsCode_(gdsCode) {}
  // The client's SQLCODE and first error code; 0 for errors raised here.
  int32_t SqlCode() const { return sqlCode_; }
  intptr_t GdsCode() const { return gdsCode_; }

 private:
  int32_t sqlCode_;
  intptr_t gdsCode_;
};

// The client library's handles (FB_API_HANDLE) and the elements of its
// status vectors (ISC_STATUS).
using TFbHandle = unsigned int;
using TFbStatus = intptr_t;

// The client's text for the status vector `status`: its lines joined by CR
// LF, in cp1252 like every text here. The client writes them in UTF-8 (the
// file names it was given, the server's words); a character cp1252 has no
// byte for, and every byte that is not well-formed UTF-8, becomes "?".
// "Database error N" when the client has no text for the error.
std::string ClientErrorText(const TFbStatus* status);

// How long an attach waits for the server's first answer, in seconds (the
// client's isc_dpb_connect_timeout, whose own default is 180). A server
// answers a connect within a second, across a slow link within a few: 15 s
// leaves a wide margin, yet a chain whose server accepts and then says
// nothing costs a check 15 s instead of three minutes. An attach under way
// cannot be aborted: a stop leaves it behind instead (TQorDatabase::
// AbandonAttach), and it ends on its own at this time-out. It covers the
// opening of the connection only: once the server has accepted, the rest of
// the attach waits as the client does.
constexpr int32_t kConnectTimeoutSeconds = 15;

struct TAttachCall;

// One connection. DatabaseName is "host:path", cp1252 text, whose path
// reaches the server in UTF-8 (a path outside ASCII needs the process's
// character type UTF-8, platform::UseUtf8CharacterType); Params are "name=value"
// entries, of which "user_name" and "password" are known (at most 255 bytes
// each, as the parameter block holds). Closing leaves the text fields alone.
class TQorDatabase {
 public:
  TQorDatabase() = default;
  ~TQorDatabase();
  TQorDatabase(const TQorDatabase&) = delete;
  TQorDatabase& operator=(const TQorDatabase&) = delete;

  // Attaches. The client's call runs on a thread of its own, so that
  // AbandonAttach can end the wait for it. Throws EDatabaseError; the
  // connection then stays closed.
  void Open();
  // Detaches. The handle is released even when the client reports an error,
  // which is then thrown. Closing a closed connection does nothing.
  void Close();
  bool Connected() const { return handle_ != 0; }
  TFbHandle* Handle() { return &handle_; }
  // From any thread: aborts what the client does on this connection
  // (fb_cancel_operation with fb_cancel_abort), so that a call blocked on a
  // silent server returns with an error; the connection can only be closed
  // then. False when there is no connection to abort: none was attached yet
  // (an attach under way cannot be aborted), or it was closed.
  bool Abort() noexcept;
  // From any thread: gives up the attach under way, which the client cannot
  // abort. Open throws at once and the connection stays closed; the client's
  // call runs on until the server answers or the connect time-out, touches
  // nothing of this object, and detaches at once a connection it still gets.
  // Meant for a program on its way out (see EndIfAttachAbandoned), which
  // loses nothing, since it only reads. False when no attach is under way,
  // or it has just returned (the connection is then Abort's).
  bool AbandonAttach() noexcept;
  // In the whole process: the abandoned attaches whose client call has not
  // returned yet.
  static int AbandonedAttachesRunning() noexcept;

  std::string DatabaseName;
  std::vector<std::string> Params;

 private:
  TFbHandle handle_ = 0;
  // The handle as Abort sees it from another thread: set once the attach has
  // returned it, cleared once the detach has returned.
  std::atomic<TFbHandle> abortHandle_{0};
  // The attach under way, shared with its thread; guarded by attachLock_.
  std::shared_ptr<TAttachCall> attach_;
  std::mutex attachLock_;
};

// Ends the program at once with Status, without its exit handlers, when an
// abandoned attach is still inside the client; returns otherwise.
void EndIfAttachAbandoned(int Status);

// A transaction on one database. Params name its options, of which
// "read_committed", "rec_version" and "nowait" are known.
class TQorTransaction {
 public:
  explicit TQorTransaction(TQorDatabase& Database) : database_(Database) {}
  ~TQorTransaction();
  TQorTransaction(const TQorTransaction&) = delete;
  TQorTransaction& operator=(const TQorTransaction&) = delete;

  // Throws EDatabaseError when the database is not connected, the
  // transaction is already active, or the client refuses it.
  void StartTransaction();
  // Throw EDatabaseError when the transaction is not active or the client
  // fails. A failed rollback still releases the handle.
  void Commit();
  void Rollback();
  bool InTransaction() const { return handle_ != 0; }
  TFbHandle* Handle() { return &handle_; }
  TQorDatabase& Database() { return database_; }

  std::vector<std::string> Params;

 private:
  TQorDatabase& database_;
  TFbHandle handle_ = 0;
};

// One result column of an open query, holding the value of the current row.
class TQorField {
 public:
  ~TQorField();
  bool IsNull() const;
  // Text columns as their bytes (no character set conversion), numbers in
  // decimal with "." as decimal point, dates, times and time stamps in the
  // locale's short date and long time formats; empty for null. Throws
  // EDatabaseError for a type that has no text form here (blobs, arrays).
  std::string AsString() const;
  // DATE, TIME and TIMESTAMP columns; 0 for null. Throws EDatabaseError for
  // another type.
  TDateTime AsDateTime() const;

 private:
  friend class TQorQuery;
  std::string name_;
  short type_ = 0;  // without the "nullable" bit
  short scale_ = 0;
  short length_ = 0;
  std::unique_ptr<char[]> data_;
  short indicator_ = 0;
};

// A SELECT statement run through a transaction.
class TQorQuery {
 public:
  TQorQuery(TQorDatabase& Database, TQorTransaction& Transaction)
      : database_(Database), transaction_(Transaction) {}
  ~TQorQuery();
  TQorQuery(const TQorQuery&) = delete;
  TQorQuery& operator=(const TQorQuery&) = delete;

  // Prepares and executes SQL and stands on the first row. Throws
  // EDatabaseError when the database is not connected, the transaction is
  // not active, the query is open, or the client fails; the query is closed
  // then.
  void Open();
  // Releases the statement; never throws.
  void Close();
  bool Active() const { return statement_ != 0; }
  // True after the last row (at once for an empty result).
  bool Eof() const { return eof_; }
  // Fetches the next row. Throws EDatabaseError.
  void Next();
  // The column whose result name is Name, without regard to ASCII case; it
  // stays valid until Close. Throws EDatabaseError "Field 'NAME' not found".
  TQorField& FieldByName(const std::string& Name);
  int32_t FieldCount() const { return static_cast<int32_t>(fields_.size()); }

  std::string SQL;

 private:
  void Fetch();

  TQorDatabase& database_;
  TQorTransaction& transaction_;
  TFbHandle statement_ = 0;
  std::unique_ptr<char[]> sqlda_;
  std::vector<std::unique_ptr<TQorField>> fields_;
  bool eof_ = true;
};

// The data module: the connection, its read transaction and the query.
class TDmQor {
 public:
  TDmQor();
  ~TDmQor();
  TDmQor(const TDmQor&) = delete;
  TDmQor& operator=(const TDmQor&) = delete;

  // A name that differs from the current one closes an open connection first.
  void SetDatabaseName(const std::string& Value);
  // True: rebuilds the two connection parameters from Username and Password,
  // attaches, and runs the three schema probes, whose statement errors are
  // dropped. Any other error leaves the connection closed and is thrown.
  // False: closes the connection (the open query and transaction first).
  void Connect(bool Value);
  bool IsConnected() const { return QorDatabase.Connected(); }

  TQorDatabase QorDatabase;
  TQorTransaction QorTransRead;
  TQorQuery QryRead;
  std::string Username;
  std::string Password;

 private:
  void RunProbe(const char* Sql);
  void CloseConnection();
};
