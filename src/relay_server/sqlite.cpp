#include "relay_server/sqlite.h"

#include <sqlite3.h>

namespace vek::relay_server {

namespace {

[[noreturn]] void raise(sqlite3* db, std::string_view what) {
  throw SqliteError("The relay database failed (" + std::string(what) +
                    "): " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

Statement& Statement::bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) raise(db_, "bind");
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8) != SQLITE_OK) {
    raise(db_, "bind");
  }
  return *this;
}

Statement& Statement::bindBlob(int index, std::string_view bytes) {
  if (sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT) !=
      SQLITE_OK) {
    raise(db_, "bind");
  }
  return *this;
}

Statement& Statement::bind(int index, const std::optional<std::string>& text) {
  return text ? bind(index, std::string_view(*text)) : bindNull(index);
}

Statement& Statement::bindBlob(int index, const std::optional<std::string>& bytes) {
  return bytes ? bindBlob(index, std::string_view(*bytes)) : bindNull(index);
}

Statement& Statement::bindNull(int index) {
  if (sqlite3_bind_null(statement_, index) != SQLITE_OK) raise(db_, "bind");
  return *this;
}

bool Statement::step() {
  int status = sqlite3_step(statement_);
  if (status == SQLITE_ROW) return true;
  if (status == SQLITE_DONE) return false;
  raise(db_, sqlite3_sql(statement_));
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset() noexcept {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::text(int column) const {
  // Blobs and texts alike: the bytes as stored.
  const void* data = sqlite3_column_blob(statement_, column);
  int size = sqlite3_column_bytes(statement_, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
              : std::string();
}

std::optional<std::string> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

Database::Database(const std::filesystem::path& file) : file_(file) {
  int status =
      sqlite3_open_v2(file.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (status != SQLITE_OK) {
    std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw SqliteError("Cannot open the relay database " + file.string() + ": " + reason);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  statements_.clear();  // finalize before closing, or the close fails with SQLITE_BUSY
  sqlite3_close(db_);
}

void Database::exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string reason = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw SqliteError("The relay database " + file_.string() + " failed: " + reason);
  }
}

Statement& Database::prepare(const std::string& sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) {
    found->second->reset();
    return *found->second;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &statement, nullptr) != SQLITE_OK) {
    raise(db_, sql);
  }
  auto& slot = statements_[sql];
  slot = std::make_unique<Statement>(db_, statement);
  return *slot;
}

std::int64_t Database::lastInsertRowId() const {
  return sqlite3_last_insert_rowid(db_);
}

int Database::changes() const {
  return sqlite3_changes(db_);
}

void Database::resetAll() noexcept {
  for (auto& [sql, statement] : statements_)
    statement->reset();
}

}  // namespace vek::relay_server
