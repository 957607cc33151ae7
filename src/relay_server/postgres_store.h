// The relay's state in a PostgreSQL database that several relay processes share.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "relay_server/store.h"

namespace vek::relay_server {

class PgConnection;

/// Store on PostgreSQL with a small pool of connections, opened as calls need them. See
/// postgres_store.cpp for how writes are kept apart.
class PostgresStore : public Store {
 public:
  /// Connects with `conninfo`, creates the schema in an empty database or brings it up to date
  /// (one process at a time, under an advisory lock). Throws StoreUnavailable when the server
  /// cannot be reached, VEKError when the database was written by a newer relay.
  PostgresStore(std::string conninfo, std::size_t connections);
  ~PostgresStore() override;

  void write(const std::function<void(StoreTransaction&)>& work) override;
  void writeExclusively(const std::function<void(StoreTransaction&)>& work) override;
  void read(const std::function<void(StoreTransaction&)>& work) override;
  bool shared() const override { return true; }
  std::size_t concurrency() const override { return limit_; }
  std::optional<PoolUsage> poolUsage() const override;

  /// "host:port/database" as first connected, never the password.
  const std::string& description() const { return description_; }

  /// The schema version this build creates and understands.
  static int schemaVersion();

  /// Brings the database `connection` is connected to up to date; the version it had before.
  static int migrate(PgConnection& connection);

 private:
  enum class Mode { read, write, exclusive };
  void transact(Mode mode, const std::function<void(StoreTransaction&)>& work);
  std::unique_ptr<PgConnection> checkOut();
  void checkIn(std::unique_ptr<PgConnection> connection);

  std::string conninfo_;
  std::size_t limit_;
  std::string description_;

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<std::unique_ptr<PgConnection>> idle_;
  std::size_t open_ = 0;  // idle plus checked out
  std::size_t busy_ = 0;
  std::uint64_t waits_ = 0;
};

}  // namespace vek::relay_server
