#include "postgres_server.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace vek::testing {

namespace {

bool underCI() {
  const char* ci = std::getenv("CI");
  return ci && *ci && std::string(ci) != "false";
}

std::string uniqueName() {
  std::random_device random;
  std::string name = "vek_test_";
  for (int i = 0; i < 12; ++i)
    name += "0123456789abcdef"[random() % 16];
  return name;
}

}  // namespace

std::optional<std::string> testPostgres() {
  const char* server = std::getenv("VEK_TEST_POSTGRES");
  if (!server || !*server) return std::nullopt;
  return std::string(server);
}

std::string postgresMissing() {
  if (testPostgres()) return "";
  return "No PostgreSQL server for the tests: VEK_TEST_POSTGRES is not set. scripts/test starts "
         "one; by hand: export VEK_TEST_POSTGRES=$(scripts/test-postgres start DIR)";
}

void requirePostgres() {
  std::string missing = postgresMissing();
  if (missing.empty()) return;
  if (underCI()) {
    ADD_FAILURE() << missing;
    return;
  }
  GTEST_SKIP() << missing;
}

void runSql(const std::string& conninfo, const std::string& sql) {
  PGconn* connection = PQconnectdb(conninfo.c_str());
  if (PQstatus(connection) != CONNECTION_OK) {
    std::string reason = PQerrorMessage(connection);
    PQfinish(connection);
    throw std::runtime_error("Cannot connect to PostgreSQL: " + reason);
  }
  PGresult* result = PQexec(connection, sql.c_str());
  ExecStatusType status = PQresultStatus(result);
  std::string reason = PQresultErrorMessage(result);
  PQclear(result);
  PQfinish(connection);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error("PostgreSQL refused \"" + sql + "\": " + reason);
  }
}

PostgresDatabase::PostgresDatabase(std::string server)
    : server_(std::move(server)), name_(uniqueName()) {
  runSql(server_, "CREATE DATABASE " + name_);
  // In a connection string the last value of a keyword wins.
  conninfo_ = server_ + " dbname=" + name_;
}

PostgresDatabase::~PostgresDatabase() {
  try {
    runSql(server_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::exception& error) {
    ADD_FAILURE() << error.what();
  }
}

PostgresServer::PostgresServer() {
  start();
}

PostgresServer::~PostgresServer() {
  if (running_) {
    try {
      stop();
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what();
    }
  }
}

void PostgresServer::stop() {
  control("stop");
  running_ = false;
}

void PostgresServer::start() {
  control("start");
  running_ = true;
}

void PostgresServer::control(const std::string& command) {
  ProgramResult result =
      runProgram(sourceDirectory() / "scripts/test-postgres", {command, folder_.path().string()});
  if (result.status != 0) {
    throw std::runtime_error("scripts/test-postgres " + command + " failed: " + result.err);
  }
  if (command == "start") {
    conninfo_ = result.out;
    while (!conninfo_.empty() && conninfo_.back() == '\n')
      conninfo_.pop_back();
  }
}

}  // namespace vek::testing
