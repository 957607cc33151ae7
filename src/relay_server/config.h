// The relay's command line: every setting of one run, with its default.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vek::relay_server {

/// The most connections to PostgreSQL a process opens unless told otherwise: twice the cores, 4 to
/// 16. Transactions beyond what the cores can serve at once only queue inside the server.
unsigned defaultDatabaseConnections();

/// Everything one run of the relay is configured with.
struct Config {
  /// Address to bind: an IPv4 or IPv6 literal ("::" and "0.0.0.0" bind every interface).
  std::string listenHost = "127.0.0.1";
  /// Port to bind; 0 lets the system choose (the start line shows the chosen one).
  std::uint16_t listenPort = 8787;
  /// Address and port of the metrics listener (GET /metrics only); absent: no such listener.
  std::optional<std::string> metricsHost;
  std::uint16_t metricsPort = 0;
  /// Holds relay.db, the artifacts folder and the generated bootstrap token.
  std::filesystem::path dataDirectory;
  /// A PostgreSQL connection string or URL (libpq's syntax); absent: SQLite in DATA/relay.db.
  std::optional<std::string> database;
  /// The most connections to PostgreSQL this process opens.
  unsigned databaseConnections = defaultDatabaseConnections();
  /// The folder of the encrypted builds; absent: DATA/artifacts.
  std::optional<std::filesystem::path> artifactDirectory;
  /// PEM certificate chain and private key; both or neither. Without them the relay speaks plain
  /// HTTP (loopback, or behind a TLS-terminating proxy).
  std::optional<std::filesystem::path> tlsCertificate;
  std::optional<std::filesystem::path> tlsKey;
  /// File listing the accepted bootstrap tokens, one a line; absent: DATA/bootstrap-token.
  std::optional<std::filesystem::path> bootstrapTokenFile;
  /// Largest artifact accepted, in bytes (refused from Content-Length before the body is read).
  std::uint64_t maxArtifactBytes = std::uint64_t{8} << 30;
  /// Threads serving connections.
  unsigned threads = 2;
  /// Most client connections open at once; absent: derived from the descriptor limit
  /// (connection_limit.h).
  std::optional<std::size_t> maxConnections;
  /// How long an ended job and its events are kept after it ended.
  std::chrono::seconds jobRetention{30 * 24 * 3600};
  /// The longest a claim or an event read is held (its "wait" is cut to this); 0 answers every
  /// request at once, as a relay without held requests does.
  std::chrono::seconds maxWait{25};

  // Durations the contract fixes; changeable so tests need not wait for them.
  std::chrono::seconds leaseDuration{60};
  std::chrono::seconds sweepInterval{5};
  std::chrono::seconds artifactMaxAge{24 * 3600};
  std::chrono::seconds inviteLifetime{900};
  std::chrono::seconds headerTimeout{30};
  /// How long a new connection may stay silent; never longer than headerTimeout.
  std::chrono::seconds firstByteTimeout{10};
  std::chrono::seconds idleTimeout{75};
};

/// `vek-relay copy-database --from FILE --to URL`.
struct CopyDatabase {
  std::filesystem::path from;  // a relay's SQLite database
  std::string to;              // a PostgreSQL connection string or URL
};

/// What the command line asks for.
struct Command {
  enum class Kind { run, help, version, copyDatabase };
  Kind kind = Kind::run;
  Config config;
  CopyDatabase copy;  // for Kind::copyDatabase
};

/// Looks up an environment variable; absent when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

/// Parses the arguments after the program name. Options take their value as the next argument or
/// after "=". Throws VEKError with a sentence naming the bad option or value. The data directory
/// defaults to ${XDG_DATA_HOME:-$HOME/.local/share}/vek-relay (XDG_DATA_HOME only when absolute).
/// A first argument "copy-database" selects that command, with its own two options.
Command parseCommandLine(const std::vector<std::string>& arguments,
                         const EnvironmentLookup& environment);

/// The text `vek-relay --help` prints.
std::string helpText();

}  // namespace vek::relay_server
