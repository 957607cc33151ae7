// Copying a relay's SQLite database into PostgreSQL, table by table.
//
// The source is first brought to the current schema by opening it as the relay would, so both
// sides have the same tables. Rows go over in foreign-key order (groups, devices, invites, jobs,
// events), each with its own ids and sequence numbers, so job order and event cursors that
// clients hold stay valid; the identity sequences are then moved past the copied numbers. The
// whole copy is one transaction with the tables locked, and it commits only after every table's
// count matches the source's: a failed copy leaves an empty target behind.
#include "relay_server/copy_database.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "relay_server/postgres.h"
#include "relay_server/postgres_store.h"
#include "relay_server/sqlite.h"
#include "relay_server/sqlite_store.h"

namespace vek::relay_server {

namespace {

enum class Kind { text, bytes, integer, boolean };

struct Column {
  const char* name;
  Kind kind;
  const char* source = nullptr;  // the SQLite expression, when it is not the name
};

struct Table {
  const char* name;
  std::vector<Column> columns;
  const char* identity = nullptr;  // the column PostgreSQL numbers itself
};

const std::vector<Table>& tables() {
  using K = Kind;
  static const std::vector<Table> all = {
      {"groups", {{"id", K::text}, {"name", K::text}, {"created", K::integer}}},
      {"devices",
       {{"seq", K::integer, "rowid"},
        {"id", K::text},
        {"group_id", K::text},
        {"name", K::text},
        {"token_digest", K::bytes},
        {"revoked", K::boolean},
        {"created", K::integer},
        {"last_seen", K::integer},
        {"inventory", K::text}},
       "seq"},
      {"invites",
       {{"code_digest", K::bytes},
        {"group_id", K::text},
        {"created_by", K::text},
        {"created", K::integer},
        {"expires", K::integer},
        {"used_by", K::text},
        {"used_at", K::integer}}},
      {"jobs",
       {{"seq", K::integer},
        {"id", K::text},
        {"group_id", K::text},
        {"state", K::text},
        {"builder_id", K::text},
        {"receiver_id", K::text},
        {"parameters", K::text},
        {"error", K::text},
        {"manifest", K::text},
        {"artifact_sha", K::text},
        {"artifact_file", K::text},
        {"artifact_size", K::integer},
        {"artifact_uploaded", K::integer},
        {"lease_digest", K::bytes},
        {"lease_holder", K::text},
        {"lease_expires_ms", K::integer},
        {"created", K::integer},
        {"updated", K::integer}},
       "seq"},
      {"events",
       {{"id", K::integer},
        {"job_id", K::text},
        {"device_id", K::text},
        {"message", K::text},
        {"created", K::integer}},
       "id"},
  };
  return all;
}

// The relay keeps an exclusive lock on DATA/relay.lock while it runs.
void requireStoppedRelay(const std::filesystem::path& database) {
  std::filesystem::path lockFile = database.parent_path() / "relay.lock";
  int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;  // a database copied out of its data directory
  UniqueFd lock(fd);
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    throw VEKError("A vek-relay is running on " + database.string() +
                   "; stop it before copying its database.");
  }
}

void bindValue(PgParams& params, const Statement& row, int index, Kind kind) {
  bool null = row.isNull(index);
  switch (kind) {
    case Kind::text:
      params.add(null ? std::nullopt : std::optional<std::string>(row.text(index)));
      break;
    case Kind::bytes:
      params.addBytes(null ? std::nullopt : std::optional<std::string>(row.text(index)));
      break;
    case Kind::integer:
      params.add(null ? std::nullopt : std::optional<std::int64_t>(row.integer(index)));
      break;
    case Kind::boolean:
      params.add(row.integer(index) != 0);
      break;
  }
}

std::int64_t countRows(Database& source, const std::string& table) {
  Statement& count = source.prepare("SELECT count(*) FROM " + table);
  count.step();
  std::int64_t rows = count.integer(0);
  count.reset();
  return rows;
}

// Copies one table's rows; returns how many went.
std::int64_t copyTable(Database& source, PgConnection& target, const Table& table) {
  std::string selected, inserted, placeholders;
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    const Column& column = table.columns[i];
    std::string separator = i == 0 ? "" : ", ";
    selected += separator + (column.source ? column.source : column.name);
    inserted += separator + column.name;
    placeholders += separator + "$" + std::to_string(i + 1);
  }
  std::string insert = "INSERT INTO " + std::string(table.name) + " (" + inserted + ") VALUES (" +
                       placeholders + ")";
  Statement& rows =
      source.prepare("SELECT " + selected + " FROM " + table.name + " ORDER BY rowid");
  std::int64_t copied = 0;
  while (rows.step()) {
    PgParams params;
    for (std::size_t i = 0; i < table.columns.size(); ++i)
      bindValue(params, rows, static_cast<int>(i), table.columns[i].kind);
    target.query(insert, params);
    ++copied;
  }
  if (table.identity) {
    target.query("SELECT setval(pg_get_serial_sequence('" + std::string(table.name) + "', '" +
                 table.identity + "'), coalesce(max(" + table.identity + "), 0) + 1, false) FROM " +
                 table.name);
  }
  return copied;
}

}  // namespace

void copyDatabase(const CopyDatabase& copy,
                  const std::function<void(const std::string&)>& progress) {
  if (!std::filesystem::is_regular_file(copy.from)) {
    throw VEKError("There is no relay database at " + copy.from.string() +
                   " (it is DATA/relay.db of the relay to move).");
  }
  requireStoppedRelay(copy.from);
  { SqliteStore upToDate(copy.from); }
  Database source(copy.from);

  PgConnection target(copy.to);
  PostgresStore::migrate(target);
  std::string names;
  for (const Table& table : tables())
    names += std::string(names.empty() ? "" : ", ") + table.name;

  target.exec("BEGIN");
  try {
    target.exec("LOCK TABLE " + names + " IN EXCLUSIVE MODE");
    for (const Table& table : tables()) {
      if (target.query("SELECT count(*) FROM " + std::string(table.name)).integer(0, 0) > 0) {
        throw VEKError("The database " + target.description() +
                       " already holds relay data (its table " + table.name +
                       " has rows); copy only into an empty database.");
      }
    }
    for (const Table& table : tables()) {
      std::int64_t expected = countRows(source, table.name);
      std::int64_t copied = copyTable(source, target, table);
      std::int64_t stored =
          target.query("SELECT count(*) FROM " + std::string(table.name)).integer(0, 0);
      if (copied != expected || stored != expected) {
        throw VEKError("Copying the table " + std::string(table.name) +
                       " went wrong: " + std::to_string(expected) +
                       " rows in the SQLite database, " + std::to_string(stored) +
                       " in PostgreSQL. Nothing was kept; the SQLite database is unchanged.");
      }
      progress(std::string(table.name) + ": " + std::to_string(stored) + " rows");
    }
    target.exec("COMMIT");
  } catch (...) {
    if (target.healthy()) {
      try {
        target.exec("ROLLBACK");
      } catch (const StoreError&) {
        // Lost meanwhile: the server rolls back on its own.
      }
    }
    throw;
  }
}

}  // namespace vek::relay_server
