// The relay's state in one SQLite database file.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "relay_server/store.h"

namespace vek::relay_server {

class Database;

/// Store on SQLite in WAL mode: readers never block the writer, a process killed at any moment
/// leaves every committed transaction in place, and `PRAGMA user_version` records which
/// migrations have run. One connection serves all calls, one at a time; callers keep these calls
/// off their I/O threads.
class SqliteStore : public Store {
 public:
  /// Opens or creates the database and brings its schema up to date. Throws SqliteError, or
  /// VEKError when the file was written by a newer relay.
  explicit SqliteStore(const std::filesystem::path& file);
  ~SqliteStore() override;

  void write(const std::function<void(StoreTransaction&)>& work) override;
  /// Every write here is exclusive already.
  void writeExclusively(const std::function<void(StoreTransaction&)>& work) override;
  void read(const std::function<void(StoreTransaction&)>& work) override;
  bool shared() const override { return false; }
  std::size_t concurrency() const override { return 1; }
  std::optional<PoolUsage> poolUsage() const override { return std::nullopt; }

  /// The schema version this build creates and understands.
  static int schemaVersion();

 private:
  void transact(const char* begin, const std::function<void(StoreTransaction&)>& work);

  std::mutex mutex_;
  std::unique_ptr<Database> db_;
};

}  // namespace vek::relay_server
