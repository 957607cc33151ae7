// A thin RAII layer over libpq: one connection, statements prepared once per connection and run
// with binary parameters and results, and errors that keep PostgreSQL's SQLSTATE so callers can
// tell a lost connection or a deadlock from a mistake.
//
// Values travel in PostgreSQL's binary format both ways: a bigint is 8 bytes in network order,
// text and bytea are their bytes as they are, so nothing is escaped or parsed as text.
//
// Round trips: a statement whose answer nobody reads (a transaction's BEGIN, an UPDATE whose
// count is not checked) can be deferred. It then goes out with the next statement whose answer is
// needed, all of them in one libpq pipeline: one write, one wait for the server, the answers read
// in order. The server runs them one after another as it would have anyway; the first failure
// skips the rest and is thrown by that next call, which inside a transaction fails it just as the
// deferred statement would have failed it on its own. A heartbeat's transaction (BEGIN and its
// lock, the device lookup, the UPDATE, COMMIT) costs two round trips instead of four.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "relay_server/store.h"

struct pg_conn;
struct pg_result;

namespace vek::relay_server {

/// A statement PostgreSQL refused, or a connection that failed. `sqlState()` is the five-character
/// SQLSTATE, empty when the failure came from the client library (the connection broke).
class PostgresError : public StoreError {
 public:
  PostgresError(const std::string& message, std::string sqlState)
      : StoreError(message), sqlState_(std::move(sqlState)) {}
  const std::string& sqlState() const noexcept { return sqlState_; }
  /// A deadlock or serialisation failure: running the transaction again may well succeed.
  bool collision() const noexcept { return sqlState_ == "40P01" || sqlState_ == "40001"; }

 private:
  std::string sqlState_;
};

/// The parameters of one statement, $1 first.
class PgParams {
 public:
  PgParams& add(std::int64_t value);
  PgParams& add(std::optional<std::int64_t> value);
  PgParams& add(bool value);
  PgParams& add(std::string_view text);
  PgParams& add(const std::string& text) { return add(std::string_view(text)); }
  PgParams& add(const char* text) { return add(std::string_view(text)); }
  PgParams& add(const std::optional<std::string>& text);
  PgParams& addBytes(std::string_view bytes);
  PgParams& addBytes(const std::string& bytes) { return addBytes(std::string_view(bytes)); }
  PgParams& addBytes(const std::optional<std::string>& bytes);

 private:
  friend class PgConnection;
  void push(unsigned type, std::optional<std::string> value);

  std::vector<unsigned> types_;
  std::vector<std::optional<std::string>> values_;
};

/// The rows a statement returned.
class PgResult {
 public:
  explicit PgResult(pg_result* result) : result_(result) {}
  ~PgResult();
  PgResult(PgResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  PgResult& operator=(PgResult&&) = delete;

  int rows() const;
  /// Rows a command changed (UPDATE, DELETE, INSERT).
  std::uint64_t changed() const;
  bool isNull(int row, int column) const;
  /// A bigint, integer, smallint or boolean column as a number.
  std::int64_t integer(int row, int column) const;
  /// A text or bytea column's bytes.
  std::string text(int row, int column) const;
  std::optional<std::string> optionalText(int row, int column) const;

 private:
  pg_result* result_;
};

/// A notification received on a channel this connection listens to.
struct PgNotification {
  std::string channel;
  std::string payload;
  int senderPid = 0;
};

/// One connection to PostgreSQL. Not thread-safe: its owner serialises use.
class PgConnection {
 public:
  /// Connects with `conninfo` (any connection string or URL libpq accepts). Throws
  /// StoreUnavailable with libpq's reason when the server cannot be reached or refuses us.
  explicit PgConnection(const std::string& conninfo);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  /// Runs one or more statements with the simple protocol, ignoring any rows. With statements
  /// deferred, `sql` must be one statement; it goes out after them.
  void exec(const std::string& sql);
  /// Runs `sql` (prepared on first use on this connection) with `params`, after any deferred
  /// statements.
  PgResult query(const std::string& sql, const PgParams& params = {});
  /// Holds `sql` with `params` back until the next `exec` or `query`, which sends it first and
  /// throws its failure.
  void defer(std::string sql, PgParams params = {});
  /// Forgets the deferred statements unsent, as before a ROLLBACK.
  void discardDeferred() noexcept;

  /// False once the connection broke; it is then of no further use.
  bool healthy() const;
  /// The server process serving this connection.
  int backendPid() const;
  /// The socket, to wait for notifications.
  int socket() const;
  /// Reads what arrived on the socket and returns the notifications in it. Throws PostgresError
  /// when the connection broke.
  std::vector<PgNotification> notifications();
  /// "host:port/database" as connected, for the start line; never the password.
  std::string description() const;

 private:
  struct Statement {
    std::string sql;
    PgParams params;
    bool prepared;  // run as a prepared statement, or as a one-off without parameters
  };

  [[noreturn]] void fail(pg_result* result, std::string_view what);
  /// Sends the deferred statements and `last` in one pipeline and returns `last`'s result.
  pg_result* runPipeline(Statement last);

  pg_conn* conn_ = nullptr;
  std::unordered_map<std::string, std::string> prepared_;  // SQL text -> statement name
  std::vector<Statement> deferred_;
  /// Left in an unknown state by a pipeline that failed half-way: of no further use.
  bool broken_ = false;
};

}  // namespace vek::relay_server
