#include "relay_server/postgres.h"

#include <arpa/inet.h>
#include <libpq-fe.h>

#include <cstring>

namespace vek::relay_server {

namespace {

// Type OIDs of the values exchanged (pg_type.h of the server, stable across versions).
constexpr Oid kBool = 16;
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kText = 25;

constexpr int kBinary = 1;

std::string bigEndian(std::int64_t value) {
  auto bits = static_cast<std::uint64_t>(value);
  std::string bytes(8, '\0');
  for (int i = 7; i >= 0; --i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<char>(bits & 0xff);
    bits >>= 8;
  }
  return bytes;
}

std::int64_t fromBigEndian(const char* bytes, int size) {
  std::uint64_t bits = 0;
  for (int i = 0; i < size; ++i)
    bits = (bits << 8) | static_cast<unsigned char>(bytes[i]);
  // Sign-extend the narrower integer types.
  if (size < 8 && size > 0 && (static_cast<unsigned char>(bytes[0]) & 0x80)) {
    bits |= ~std::uint64_t{0} << (size * 8);
  }
  return static_cast<std::int64_t>(bits);
}

// libpq's messages end with a line feed; ours do not.
std::string trimmed(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

// Connection failures, and the server refusing work because it is shutting down or starting up.
bool unavailable(const std::string& sqlState) {
  return sqlState.empty() || sqlState.starts_with("08") || sqlState == "57P01" ||
         sqlState == "57P02" || sqlState == "57P03";
}

}  // namespace

PgParams& PgParams::add(std::int64_t value) {
  push(kInt8, bigEndian(value));
  return *this;
}

PgParams& PgParams::add(std::optional<std::int64_t> value) {
  push(kInt8, value ? std::optional<std::string>(bigEndian(*value)) : std::nullopt);
  return *this;
}

PgParams& PgParams::add(bool value) {
  push(kBool, std::string(1, value ? '\1' : '\0'));
  return *this;
}

PgParams& PgParams::add(std::string_view text) {
  push(kText, std::string(text));
  return *this;
}

PgParams& PgParams::add(const std::optional<std::string>& text) {
  push(kText, text);
  return *this;
}

PgParams& PgParams::addBytes(std::string_view bytes) {
  push(kBytea, std::string(bytes));
  return *this;
}

PgParams& PgParams::addBytes(const std::optional<std::string>& bytes) {
  push(kBytea, bytes);
  return *this;
}

void PgParams::push(unsigned type, std::optional<std::string> value) {
  types_.push_back(type);
  values_.push_back(std::move(value));
}

PgResult::~PgResult() {
  PQclear(result_);
}

int PgResult::rows() const {
  return PQntuples(result_);
}

std::uint64_t PgResult::changed() const {
  const char* count = PQcmdTuples(result_);
  return count && *count ? std::stoull(count) : 0;
}

bool PgResult::isNull(int row, int column) const {
  return PQgetisnull(result_, row, column) != 0;
}

std::int64_t PgResult::integer(int row, int column) const {
  if (isNull(row, column)) return 0;
  Oid type = PQftype(result_, column);
  if (type != kInt8 && type != kInt4 && type != kInt2 && type != kBool) {
    throw PostgresError("The relay database returned column " + std::to_string(column) +
                            " with type " + std::to_string(type) + " where a number was expected.",
                        "");
  }
  return fromBigEndian(PQgetvalue(result_, row, column), PQgetlength(result_, row, column));
}

std::string PgResult::text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

std::optional<std::string> PgResult::optionalText(int row, int column) const {
  if (isNull(row, column)) return std::nullopt;
  return text(row, column);
}

PgConnection::PgConnection(const std::string& conninfo) {
  // Defaults come before the caller's string, so anything it says wins. Dead peers are noticed
  // within a minute instead of the system's two hours.
  const char* keywords[] = {"fallback_application_name",
                            "connect_timeout",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "dbname",
                            nullptr};
  const char* values[] = {"vek-relay", "10", "30", "10", "3", conninfo.c_str(), nullptr};
  conn_ = PQconnectdbParams(keywords, values, 1);
  if (!conn_) throw StoreUnavailable("Cannot connect to the relay database: out of memory.");
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string reason = trimmed(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw StoreUnavailable("Cannot connect to the relay database: " + reason);
  }
  // Notices ("relation already exists, skipping") are not problems; errors arrive as results.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
}

PgConnection::~PgConnection() {
  PQfinish(conn_);
}

void PgConnection::fail(PGresult* result, std::string_view what) {
  std::string state, message;
  if (result) {
    const char* code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    state = code ? code : "";
    // The primary message only: the detail may quote row values.
    message = trimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
  }
  if (message.empty()) message = trimmed(PQerrorMessage(conn_));
  PQclear(result);
  if (PQstatus(conn_) != CONNECTION_OK) state.clear();
  std::string text = "The relay database failed (" + std::string(what) + "): " + message;
  if (unavailable(state)) throw StoreUnavailable(text);
  throw PostgresError(text, state);
}

namespace {

// A statement's parameters as libpq takes them, every one in binary.
struct Arguments {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;

  explicit Arguments(const std::vector<std::optional<std::string>>& params) {
    for (const auto& value : params) {
      values.push_back(value ? value->data() : nullptr);
      lengths.push_back(value ? static_cast<int>(value->size()) : 0);
      formats.push_back(kBinary);
    }
  }
  int count() const { return static_cast<int>(values.size()); }
};

bool succeeded(ExecStatusType status) {
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

}  // namespace

void PgConnection::exec(const std::string& sql) {
  if (!deferred_.empty()) {
    PQclear(runPipeline({sql, {}, false}));
    return;
  }
  PGresult* result = PQexec(conn_, sql.c_str());
  if (!result || !succeeded(PQresultStatus(result))) fail(result, sql);
  PQclear(result);
}

// A statement prepared in a pipeline is prepared in the same round trip as its first run.
PgResult PgConnection::query(const std::string& sql, const PgParams& params) {
  return PgResult(runPipeline({sql, params, true}));
}

void PgConnection::defer(std::string sql, PgParams params) {
  deferred_.push_back({std::move(sql), std::move(params), true});
}

void PgConnection::discardDeferred() noexcept {
  deferred_.clear();
}

// The pipeline's messages go out in one write when it is synced; the server answers each
// statement in order (a new statement's preparation first), skips everything after the first
// failure up to the sync, and ends with the sync's own answer. A connection left half-way through
// (a send failed, the server went away) is marked broken, so the pool replaces it.
PGresult* PgConnection::runPipeline(Statement last) {
  std::vector<Statement> batch = std::move(deferred_);
  deferred_.clear();
  batch.push_back(std::move(last));
  if (PQenterPipelineMode(conn_) != 1) fail(nullptr, "starting a pipeline");

  struct Sent {
    std::size_t statement;
    bool preparation;
  };
  std::vector<Sent> sent;
  std::unordered_map<std::string, std::string> preparing;  // prepared in this pipeline
  for (std::size_t index = 0; index < batch.size(); ++index) {
    const Statement& statement = batch[index];
    bool queued;
    if (!statement.prepared) {
      queued = PQsendQueryParams(conn_, statement.sql.c_str(), 0, nullptr, nullptr, nullptr,
                                 nullptr, kBinary) == 1;
    } else {
      const std::string* name = nullptr;
      if (auto known = prepared_.find(statement.sql); known != prepared_.end()) {
        name = &known->second;
      } else if (auto pending = preparing.find(statement.sql); pending != preparing.end()) {
        name = &pending->second;
      } else {
        std::string fresh = "s" + std::to_string(prepared_.size() + preparing.size());
        name = &preparing.emplace(statement.sql, std::move(fresh)).first->second;
        if (PQsendPrepare(conn_, name->c_str(), statement.sql.c_str(),
                          static_cast<int>(statement.params.types_.size()),
                          reinterpret_cast<const Oid*>(statement.params.types_.data())) != 1) {
          broken_ = true;
          fail(nullptr, statement.sql);
        }
        sent.push_back({index, true});
      }
      Arguments arguments(statement.params.values_);
      queued =
          PQsendQueryPrepared(conn_, name->c_str(), arguments.count(), arguments.values.data(),
                              arguments.lengths.data(), arguments.formats.data(), kBinary) == 1;
    }
    if (!queued) {
      broken_ = true;
      fail(nullptr, statement.sql);
    }
    sent.push_back({index, false});
  }
  if (PQpipelineSync(conn_) != 1) {
    broken_ = true;
    fail(nullptr, "sending statements");
  }

  PGresult* answer = nullptr;
  PGresult* failure = nullptr;
  std::string failed;
  for (const Sent& item : sent) {
    PGresult* result = PQgetResult(conn_);
    // Each statement's answer is followed by a null; a broken connection may end without one.
    if (result) {
      while (PGresult* extra = PQgetResult(conn_))
        PQclear(extra);
    }
    ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    const std::string& sql = batch[item.statement].sql;
    if (succeeded(status) && item.preparation) {
      prepared_.emplace(sql, preparing.at(sql));
      PQclear(result);
    } else if (succeeded(status) && item.statement + 1 == batch.size()) {
      answer = result;
    } else if (!succeeded(status) && status != PGRES_PIPELINE_ABORTED && !failure) {
      failure = result;
      failed = sql;
    } else {
      PQclear(result);
    }
    if (!result || PQstatus(conn_) != CONNECTION_OK) break;
  }
  PGresult* sync = PQstatus(conn_) == CONNECTION_OK ? PQgetResult(conn_) : nullptr;
  if (!sync || PQresultStatus(sync) != PGRES_PIPELINE_SYNC || PQexitPipelineMode(conn_) != 1)
    broken_ = true;
  PQclear(sync);
  if (failure || !answer) {
    PQclear(answer);
    fail(failure, failure ? failed : batch.back().sql);
  }
  return answer;
}

bool PgConnection::healthy() const {
  return !broken_ && PQstatus(conn_) == CONNECTION_OK;
}

int PgConnection::backendPid() const {
  return PQbackendPID(conn_);
}

int PgConnection::socket() const {
  return PQsocket(conn_);
}

std::vector<PgNotification> PgConnection::notifications() {
  if (PQconsumeInput(conn_) != 1) fail(nullptr, "reading notifications");
  std::vector<PgNotification> received;
  while (PGnotify* notify = PQnotifies(conn_)) {
    received.push_back({notify->relname, notify->extra ? notify->extra : "", notify->be_pid});
    PQfreemem(notify);
  }
  return received;
}

std::string PgConnection::description() const {
  std::string host = PQhost(conn_) ? PQhost(conn_) : "";
  std::string port = PQport(conn_) ? PQport(conn_) : "";
  std::string where = host.starts_with("/") ? "socket " + host : host;
  if (!port.empty()) where += ":" + port;
  return where + "/" + (PQdb(conn_) ? PQdb(conn_) : "");
}

}  // namespace vek::relay_server
