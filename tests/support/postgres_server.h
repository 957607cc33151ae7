// PostgreSQL for tests: the server the test run started (scripts/test-postgres, announced in
// VEK_TEST_POSTGRES), a database of its own for each test, and private servers for the tests that
// stop and start one.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "test_support.h"

namespace vek::testing {

/// The connection string of the run's server; nullopt when the run has none.
std::optional<std::string> testPostgres();

/// Why a test that needs PostgreSQL cannot run, or an empty string when it can. Under CI (the
/// variable CI set) a missing server is a failure of the run, so callers fail rather than skip.
std::string postgresMissing();

/// Skips the test (fails it under CI) when the run has no PostgreSQL server. Use in SetUp or a
/// test body, and return at once when `IsSkipped()` or `HasFatalFailure()` says so.
void requirePostgres();

/// Runs `sql` (one or more statements) on the database `conninfo` names. Throws
/// std::runtime_error with PostgreSQL's message.
void runSql(const std::string& conninfo, const std::string& sql);

/// A fresh, empty database on `server`, dropped on destruction.
class PostgresDatabase {
 public:
  explicit PostgresDatabase(std::string server);
  ~PostgresDatabase();
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;

  /// The connection string of this database.
  const std::string& conninfo() const { return conninfo_; }

 private:
  std::string server_;
  std::string name_;
  std::string conninfo_;
};

/// A private server in a temporary folder, for a test that stops and starts it; stopped on
/// destruction. Throws std::runtime_error when it cannot start.
class PostgresServer {
 public:
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  void stop();
  /// Starts it again on the same data and socket.
  void start();
  /// The connection string of its "postgres" database.
  const std::string& conninfo() const { return conninfo_; }

 private:
  void control(const std::string& command);

  TempDir folder_;
  std::string conninfo_;
  bool running_ = false;
};

}  // namespace vek::testing
