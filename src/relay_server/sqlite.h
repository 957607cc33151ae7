// A thin RAII layer over the SQLite C API: one connection, cached prepared statements, and
// errors that say which statement failed and why.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "relay_server/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vek::relay_server {

/// A failure reported by SQLite; `what()` names the database and SQLite's reason.
class SqliteError : public StoreError {
 public:
  using StoreError::StoreError;
};

/// One prepared statement. `bind*` take 1-based parameter indexes; `step` returns true while a
/// row is available. The statement is reset (and its bindings cleared) by `reset`, which the
/// owning Database does before handing it out again.
class Statement {
 public:
  Statement(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const std::string& text) {
    return bind(index, std::string_view(text));
  }
  Statement& bindBlob(int index, std::string_view bytes);
  Statement& bindBlob(int index, const std::string& bytes) {
    return bindBlob(index, std::string_view(bytes));
  }
  Statement& bind(int index, const std::optional<std::string>& text);
  Statement& bindBlob(int index, const std::optional<std::string>& bytes);
  Statement& bindNull(int index);

  bool step();
  /// Steps a statement that returns no rows.
  void run();
  void reset() noexcept;

  std::int64_t integer(int column) const;
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;
  bool isNull(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
};

/// One connection. Not thread-safe: the owner serialises use.
class Database {
 public:
  /// Opens (creating if needed) the database file.
  explicit Database(const std::filesystem::path& file);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  /// Runs one or more statements without results.
  void exec(const std::string& sql);
  /// The cached prepared statement for `sql`, reset and ready to bind.
  Statement& prepare(const std::string& sql);
  std::int64_t lastInsertRowId() const;
  /// How many rows the last statement changed.
  int changes() const;
  /// Resets every cached statement, ending any read still in progress (before COMMIT/ROLLBACK).
  void resetAll() noexcept;

 private:
  sqlite3* db_ = nullptr;
  std::filesystem::path file_;
  std::unordered_map<std::string, std::unique_ptr<Statement>> statements_;
};

}  // namespace vek::relay_server
