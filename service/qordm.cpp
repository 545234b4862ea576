#include "service/qordm.h"

#include <ibase.h>

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>

#include "platform/ascii.h"
#include "platform/cp1252.h"
#include "platform/text.h"

static_assert(std::is_same_v<isc_db_handle, TFbHandle>);
static_assert(std::is_same_v<isc_tr_handle, TFbHandle>);
static_assert(std::is_same_v<isc_stmt_handle, TFbHandle>);
static_assert(std::is_same_v<ISC_STATUS, TFbStatus>);

namespace {

// The schema probes every connect runs; their outcome is not used.
constexpr const char* kProbeCorrCoeffs =
    "SELECT DISTINCT C.IDSHOP AS FLD_RESULT FROM CORRCOEFFS C WHERE (C.IDSHOP=0)";
constexpr const char* kProbeVisitors =
    "SELECT   T.IDSHOP AS FLD_RESULT1,   SUM(T.ENTERS_C) AS FLD_RESULT2 FROM VISITORS T "
    "WHERE (T.IDSHOP=0) GROUP BY 1";
constexpr const char* kProbeHeatmap =
    "SELECT   T.IDSHOP AS FLD_RESULT FROM HEATMAP T WHERE (T.IDSHOP=0)";

constexpr unsigned short kSqlDialect = 3;
// A parameter block stores a value's length in one byte.
constexpr size_t kMaxParamLength = 255;
// Days from 17 November 1858, the client's day 0, to 30 December 1899.
constexpr int32_t kClientDayOffset = 15018;
constexpr double kTimeUnitsPerDay = 86400.0 * ISC_TIME_SECONDS_PRECISION;

[[noreturn]] void ThrowClientError(const ISC_STATUS* status) {
  throw EDatabaseError(ClientErrorText(status), static_cast<int32_t>(isc_sqlcode(status)),
                       static_cast<intptr_t>(status[1]));
}

// The connect time-out item, a four-byte value in the client's byte order.
void AppendConnectTimeout(std::string& dpb) {
  const int32_t seconds = kConnectTimeoutSeconds;
  dpb += static_cast<char>(isc_dpb_connect_timeout);
  dpb += static_cast<char>(sizeof seconds);
  dpb.append(reinterpret_cast<const char*>(&seconds), sizeof seconds);
}

template <typename T>
T Load(const char* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// A scaled integer in decimal: 12345 with scale -2 gives "123.45".
std::string ScaledToString(int64_t value, short scale) {
  if (scale >= 0) {
    std::string text = std::to_string(value);
    if (value != 0) text.append(static_cast<size_t>(scale), '0');
    return text;
  }
  const bool negative = value < 0;
  // Negating through unsigned keeps INT64_MIN defined.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  const size_t decimals = static_cast<size_t>(-scale);
  if (digits.size() <= decimals) digits.insert(0, decimals - digits.size() + 1, '0');
  digits.insert(digits.size() - decimals, ".");
  return negative ? "-" + digits : digits;
}

TDateTime ClientDateTime(ISC_DATE date, ISC_TIME time) {
  const double days = static_cast<double>(date) - kClientDayOffset;
  const double fraction = static_cast<double>(time) / kTimeUnitsPerDay;
  // Before 30 December 1899 the whole part counts back and the fraction still
  // counts forward from midnight: -1.25 is 29 December 1899, 06:00.
  return days < 0 ? days - fraction : days + fraction;
}

// The database name as the client reads it with isc_dpb_utf8_filename: the
// host part ("host:", "host/port:", none for a local path) as it is, the
// file's path, cp1252 like every text here, in UTF-8 as the server's file
// system spells it.
std::string ClientDatabaseName(const std::string& Name) {
  const size_t colon = Name.find(':');
  const size_t host = Name.empty() || Name[0] == '/' || colon == std::string::npos ? 0 : colon + 1;
  return Name.substr(0, host) + platform::Cp1252ToUtf8(std::string_view(Name).substr(host));
}

}  // namespace

// Read line by line into a bounded buffer: fb_interpret never writes past
// the size it is given.
std::string ClientErrorText(const TFbStatus* status) {
  std::string message;
  char line[512];
  const ISC_STATUS* cursor = status;
  while (fb_interpret(line, sizeof line, &cursor) > 0) {
    if (!message.empty()) message += "\r\n";
    message.append(line, strnlen(line, sizeof line));
  }
  if (message.empty()) return "Database error " + std::to_string(status[1]);
  return platform::Utf8ToCp1252(message);
}

// One attach on its thread, shared by the thread and by Open, which may give
// it up and leave it to the thread.
struct TAttachCall {
  std::string name;
  std::string dpb;
  std::mutex lock;
  std::condition_variable returned;
  // Guarded by lock.
  bool done = false;       // returned while Open waits: the outcome is Open's
  bool abandoned = false;  // Open has given up: the outcome is the thread's
  isc_db_handle handle = 0;
  std::exception_ptr error;
};

namespace {

std::atomic<int> abandonedAttachesRunning{0};

// The attach thread's body.
void RunAttach(const std::shared_ptr<TAttachCall>& call) noexcept {
  ISC_STATUS_ARRAY status;
  isc_db_handle handle = 0;
  // Length 0: the name is read up to its terminating zero.
  const bool failed =
      isc_attach_database(status, 0, call->name.c_str(), &handle,
                          static_cast<short>(call->dpb.size()), call->dpb.data()) != 0;
  // The text is read on the thread that made the call: the strings a status
  // vector points to are the client's, kept for the thread that got them.
  std::exception_ptr error;
  try {
    if (failed) ThrowClientError(status);
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> guard(call->lock);
    if (!call->abandoned) {
      call->done = true;
      call->handle = handle;
      call->error = error;
      call->returned.notify_one();
      return;
    }
  }
  if (!failed) {
    // Nobody wants the connection any more. A detach that fails leaves
    // nothing behind here: the client releases the handle either way.
    ISC_STATUS_ARRAY ignored;
    isc_detach_database(ignored, &handle);
  }
  --abandonedAttachesRunning;
}

}  // namespace

// ---- TQorDatabase ----

TQorDatabase::~TQorDatabase() {
  try {
    Close();
  } catch (const std::exception&) {
    // Nothing more can be done for a connection that fails to detach.
  }
}

void TQorDatabase::Open() {
  if (Connected()) return;
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  for (const std::string& param : Params) {
    const size_t eq = param.find('=');
    const std::string name = param.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : param.substr(eq + 1);
    char code;
    if (name == "user_name") {
      code = isc_dpb_user_name;
    } else if (name == "password") {
      code = isc_dpb_password;
    } else {
      throw EDatabaseError("Unknown connection parameter \"" + name + "\"");
    }
    if (value.size() > kMaxParamLength) {
      throw EDatabaseError("The connection parameter \"" + name + "\" is longer than " +
                           std::to_string(kMaxParamLength) + " bytes");
    }
    dpb += code;
    dpb += static_cast<char>(value.size());
    dpb += value;
  }
  // The name goes in UTF-8. The client still passes it through the
  // process's character set, which must be UTF-8 for a letter outside ASCII
  // (platform::UseUtf8CharacterType): the C locale's refuses it.
  dpb.append({static_cast<char>(isc_dpb_utf8_filename), '\0'});
  AppendConnectTimeout(dpb);
  auto call = std::make_shared<TAttachCall>();
  call->name = ClientDatabaseName(DatabaseName);
  call->dpb = std::move(dpb);
  const auto share = [this](std::shared_ptr<TAttachCall> attach) {
    std::lock_guard<std::mutex> guard(attachLock_);
    attach_ = std::move(attach);
  };
  share(call);
  std::thread thread;
  try {
    thread = std::thread([call] { RunAttach(call); });
  } catch (const std::system_error& e) {
    share(nullptr);
    throw EDatabaseError(std::string("The attach cannot start its thread: ") + e.what());
  }
  bool abandoned;
  {
    std::unique_lock<std::mutex> lock(call->lock);
    call->returned.wait(lock, [&] { return call->done || call->abandoned; });
    abandoned = call->abandoned;
  }
  share(nullptr);
  if (abandoned) {
    thread.detach();
    throw EDatabaseError("The attach to \"" + DatabaseName + "\" was abandoned");
  }
  thread.join();
  if (call->error) std::rethrow_exception(call->error);
  handle_ = call->handle;
  abortHandle_ = call->handle;
}

void TQorDatabase::Close() {
  if (!Connected()) return;
  ISC_STATUS_ARRAY status;
  // A detach can wait on a silent server too: the handle stays abortable
  // until it has returned.
  const bool failed = isc_detach_database(status, &handle_) != 0;
  abortHandle_ = 0;
  handle_ = 0;
  if (failed) ThrowClientError(status);
}

bool TQorDatabase::Abort() noexcept {
  isc_db_handle handle = abortHandle_;
  if (handle == 0) return false;
  // The client looks the handle up under its own lock: one that a detach has
  // just released is refused, never used.
  ISC_STATUS_ARRAY status;
  return fb_cancel_operation(status, &handle, fb_cancel_abort) == 0;
}

bool TQorDatabase::AbandonAttach() noexcept {
  std::shared_ptr<TAttachCall> call;
  {
    std::lock_guard<std::mutex> guard(attachLock_);
    call = attach_;
  }
  if (!call) return false;
  std::lock_guard<std::mutex> guard(call->lock);
  if (call->done || call->abandoned) return false;
  call->abandoned = true;
  ++abandonedAttachesRunning;
  call->returned.notify_one();
  return true;
}

int TQorDatabase::AbandonedAttachesRunning() noexcept {
  return abandonedAttachesRunning;
}

void EndIfAttachAbandoned(int Status) {
  if (TQorDatabase::AbandonedAttachesRunning() == 0) return;
  // The client library's exit handler (fb_shutdown) waits for every call
  // still inside it: an abandoned attach would hold the program's end until
  // its connect time-out. The exit handlers have nothing else to save: the
  // databases are only read and the log is written line by line. Only the
  // standard streams still hold text.
  std::fflush(nullptr);
  std::_Exit(Status);
}

// ---- TQorTransaction ----

TQorTransaction::~TQorTransaction() {
  if (!InTransaction()) return;
  try {
    Rollback();
  } catch (const std::exception&) {
    // The handle is released either way.
  }
}

void TQorTransaction::StartTransaction() {
  if (!database_.Connected()) throw EDatabaseError("Database not connected");
  if (InTransaction()) throw EDatabaseError("Transaction already active");
  std::string tpb(1, static_cast<char>(isc_tpb_version3));
  for (const std::string& param : Params) {
    if (param == "read_committed") {
      tpb += static_cast<char>(isc_tpb_read_committed);
    } else if (param == "rec_version") {
      tpb += static_cast<char>(isc_tpb_rec_version);
    } else if (param == "nowait") {
      tpb += static_cast<char>(isc_tpb_nowait);
    } else {
      throw EDatabaseError("Unknown transaction parameter \"" + param + "\"");
    }
  }
  // The client's transaction existence block: database, parameter length,
  // parameter block.
  struct {
    isc_db_handle* database;
    int tpbLength;
    const char* tpb;
  } teb{database_.Handle(), static_cast<int>(tpb.size()), tpb.data()};
  ISC_STATUS_ARRAY status;
  isc_tr_handle handle = 0;
  if (isc_start_multiple(status, &handle, 1, &teb)) ThrowClientError(status);
  handle_ = handle;
}

void TQorTransaction::Commit() {
  if (!InTransaction()) throw EDatabaseError("Transaction not active");
  ISC_STATUS_ARRAY status;
  // On failure the transaction stays active, for the caller to roll back.
  if (isc_commit_transaction(status, &handle_)) ThrowClientError(status);
  handle_ = 0;
}

void TQorTransaction::Rollback() {
  if (!InTransaction()) throw EDatabaseError("Transaction not active");
  ISC_STATUS_ARRAY status;
  if (isc_rollback_transaction(status, &handle_)) {
    // A transaction of a lost connection cannot be rolled back: release the
    // client's handle so the module does not stay "in transaction".
    ISC_STATUS_ARRAY ignored;
    fb_disconnect_transaction(ignored, &handle_);
    handle_ = 0;
    ThrowClientError(status);
  }
  handle_ = 0;
}

// ---- TQorField ----

TQorField::~TQorField() = default;

bool TQorField::IsNull() const {
  return indicator_ < 0;
}

std::string TQorField::AsString() const {
  if (IsNull()) return "";
  const char* data = data_.get();
  switch (type_) {
    case SQL_TEXT:
      return std::string(data, static_cast<size_t>(length_));
    case SQL_VARYING: {
      const auto size = Load<short>(data);
      return std::string(data + sizeof(short), static_cast<size_t>(size < 0 ? 0 : size));
    }
    case SQL_SHORT:
      return ScaledToString(Load<int16_t>(data), scale_);
    case SQL_LONG:
      return ScaledToString(Load<int32_t>(data), scale_);
    case SQL_INT64:
      return ScaledToString(Load<int64_t>(data), scale_);
    case SQL_FLOAT:
    case SQL_DOUBLE: {
      const double value = type_ == SQL_FLOAT ? Load<float>(data) : Load<double>(data);
      char text[32];
      std::snprintf(text, sizeof text, "%.15g", value);
      return text;
    }
    case SQL_TYPE_DATE:
    case SQL_TIMESTAMP:
      return DateTimeToStr(AsDateTime(), LocaleFormatSettings());
    case SQL_TYPE_TIME: {
      const TFormatSettings settings = LocaleFormatSettings();
      return FormatDateTime(settings.LongTimeFormat, AsDateTime(), settings);
    }
    default:
      throw EDatabaseError("Field '" + name_ + "' cannot be read as text");
  }
}

TDateTime TQorField::AsDateTime() const {
  if (type_ != SQL_TYPE_DATE && type_ != SQL_TYPE_TIME && type_ != SQL_TIMESTAMP) {
    throw EDatabaseError("Field '" + name_ + "' is not a date or time");
  }
  if (IsNull()) return 0;
  const char* data = data_.get();
  switch (type_) {
    case SQL_TYPE_DATE:
      return ClientDateTime(Load<ISC_DATE>(data), 0);
    case SQL_TYPE_TIME:
      return static_cast<double>(Load<ISC_TIME>(data)) / kTimeUnitsPerDay;
    default: {
      const auto stamp = Load<ISC_TIMESTAMP>(data);
      return ClientDateTime(stamp.timestamp_date, stamp.timestamp_time);
    }
  }
}

// ---- TQorQuery ----

TQorQuery::~TQorQuery() {
  Close();
}

void TQorQuery::Open() {
  if (!database_.Connected()) throw EDatabaseError("Database not connected");
  if (!transaction_.InTransaction()) throw EDatabaseError("Transaction not active");
  if (Active()) throw EDatabaseError("Query already open");
  ISC_STATUS_ARRAY status;
  if (isc_dsql_alloc_statement2(status, database_.Handle(), &statement_)) {
    statement_ = 0;
    ThrowClientError(status);
  }
  try {
    auto allocate = [this](short columns) {
      sqlda_ = std::make_unique<char[]>(XSQLDA_LENGTH(columns));
      auto* da = reinterpret_cast<XSQLDA*>(sqlda_.get());
      da->version = SQLDA_VERSION1;
      da->sqln = columns;
      return da;
    };
    XSQLDA* da = allocate(1);
    // Length 0: the statement is read up to its terminating zero.
    if (isc_dsql_prepare(status, transaction_.Handle(), &statement_, 0, SQL.c_str(), kSqlDialect,
                         da)) {
      ThrowClientError(status);
    }
    if (da->sqld > da->sqln) {
      da = allocate(da->sqld);
      if (isc_dsql_describe(status, &statement_, SQLDA_VERSION1, da)) ThrowClientError(status);
    }
    for (short i = 0; i < da->sqld; ++i) {
      XSQLVAR& var = da->sqlvar[i];
      auto field = std::make_unique<TQorField>();
      field->name_.assign(var.aliasname, static_cast<size_t>(var.aliasname_length));
      field->type_ = static_cast<short>(var.sqltype & ~1);
      field->scale_ = var.sqlscale;
      field->length_ = var.sqllen;
      const size_t size = static_cast<size_t>(var.sqllen) + (field->type_ == SQL_VARYING ? 2 : 0);
      field->data_ = std::make_unique<char[]>(size == 0 ? 1 : size);
      var.sqldata = field->data_.get();
      var.sqlind = &field->indicator_;
      fields_.push_back(std::move(field));
    }
    if (isc_dsql_execute(status, transaction_.Handle(), &statement_, SQLDA_VERSION1, nullptr)) {
      ThrowClientError(status);
    }
    eof_ = false;
    if (fields_.empty()) {
      eof_ = true;  // not a SELECT: nothing to fetch
    } else {
      Fetch();
    }
  } catch (...) {
    Close();
    throw;
  }
}

void TQorQuery::Fetch() {
  ISC_STATUS_ARRAY status;
  const ISC_STATUS result =
      isc_dsql_fetch(status, &statement_, SQLDA_VERSION1, reinterpret_cast<XSQLDA*>(sqlda_.get()));
  if (result == 100) {
    eof_ = true;
  } else if (result != 0) {
    ThrowClientError(status);
  }
}

void TQorQuery::Next() {
  if (!Active()) throw EDatabaseError("Query not open");
  if (!eof_) Fetch();
}

void TQorQuery::Close() {
  if (statement_ != 0) {
    ISC_STATUS_ARRAY status;
    // A statement of a connection that is gone cannot be freed on the server;
    // the client's handle is released all the same.
    isc_dsql_free_statement(status, &statement_, DSQL_drop);
    statement_ = 0;
  }
  fields_.clear();
  sqlda_.reset();
  eof_ = true;
}

TQorField& TQorQuery::FieldByName(const std::string& Name) {
  for (auto& field : fields_) {
    if (platform::AsciiEqualNoCase(field->name_, Name)) return *field;
  }
  throw EDatabaseError("Field '" + Name + "' not found");
}

// ---- TDmQor ----

TDmQor::TDmQor() : QorTransRead(QorDatabase), QryRead(QorDatabase, QorTransRead) {
  QorTransRead.Params = {"read_committed", "rec_version", "nowait"};
}

TDmQor::~TDmQor() {
  try {
    CloseConnection();
  } catch (const std::exception&) {
    // At program end a failing detach has no one left to tell.
  }
}

void TDmQor::SetDatabaseName(const std::string& Value) {
  if (Value == QorDatabase.DatabaseName) return;
  if (IsConnected()) CloseConnection();
  QorDatabase.DatabaseName = Value;
}

void TDmQor::Connect(bool Value) {
  if (!Value) {
    CloseConnection();
    return;
  }
  QorDatabase.Params = {"user_name=" + Username, "password=" + Password};
  QorDatabase.Open();
  try {
    RunProbe(kProbeCorrCoeffs);
    RunProbe(kProbeVisitors);
    RunProbe(kProbeHeatmap);
  } catch (...) {
    // A connect that fails must not leave the connection open behind it.
    try {
      CloseConnection();
    } catch (const std::exception&) {
      // The probe's error is the one to report.
    }
    throw;
  }
}

void TDmQor::RunProbe(const char* Sql) {
  QorTransRead.StartTransaction();
  try {
    QryRead.SQL = Sql;
    QryRead.Open();
    QryRead.Close();
    QorTransRead.Commit();
  } catch (const std::exception&) {
    QryRead.Close();
    QorTransRead.Rollback();
  }
}

void TDmQor::CloseConnection() {
  QryRead.Close();
  std::exception_ptr first;
  if (QorTransRead.InTransaction()) {
    try {
      QorTransRead.Rollback();
    } catch (...) {
      first = std::current_exception();
    }
  }
  try {
    QorDatabase.Close();
  } catch (...) {
    if (!first) first = std::current_exception();
  }
  if (first) std::rethrow_exception(first);
}
