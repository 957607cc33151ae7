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

void PgConnection::exec(const std::string& sql) {
  PGresult* result = PQexec(conn_, sql.c_str());
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(result, sql);
  PQclear(result);
}

PgResult PgConnection::query(const std::string& sql, const PgParams& params) {
  auto found = prepared_.find(sql);
  if (found == prepared_.end()) {
    std::string name = "s" + std::to_string(prepared_.size());
    PGresult* result =
        PQprepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(params.types_.size()),
                  reinterpret_cast<const Oid*>(params.types_.data()));
    if (!result || PQresultStatus(result) != PGRES_COMMAND_OK) fail(result, sql);
    PQclear(result);
    found = prepared_.emplace(sql, name).first;
  }
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const auto& value : params.values_) {
    values.push_back(value ? value->data() : nullptr);
    lengths.push_back(value ? static_cast<int>(value->size()) : 0);
    formats.push_back(kBinary);
  }
  PGresult* result = PQexecPrepared(conn_, found->second.c_str(), static_cast<int>(values.size()),
                                    values.data(), lengths.data(), formats.data(), kBinary);
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(result, sql);
  return PgResult(result);
}

bool PgConnection::healthy() const {
  return PQstatus(conn_) == CONNECTION_OK;
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
