#include "relay_server/config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <thread>

#include "foundation/errors.h"

namespace vek::relay_server {

namespace {

[[noreturn]] void fail(const std::string& message) {
  throw VEKError(message + " Run vek-relay --help for the options.");
}

std::uint64_t parseCount(const std::string& option, const std::string& value, std::uint64_t low,
                         std::uint64_t high) {
  std::uint64_t number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size() || number < low ||
      number > high) {
    fail(option + " must be a whole number from " + std::to_string(low) + " to " +
         std::to_string(high) + ", not \"" + value + "\".");
  }
  return number;
}

void parseListen(const std::string& option, const std::string& value, std::string& targetHost,
                 std::uint16_t& targetPort) {
  std::string host, port;
  if (value.starts_with("[")) {
    std::size_t close = value.find(']');
    if (close == std::string::npos || close + 1 >= value.size() || value[close + 1] != ':') {
      fail(option + " must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787, not \"" + value +
           "\".");
    }
    host = value.substr(1, close - 1);
    port = value.substr(close + 2);
  } else {
    std::size_t colon = value.rfind(':');
    if (colon == std::string::npos || value.find(':') != colon) {
      fail(option + " must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787, not \"" + value +
           "\".");
    }
    host = value.substr(0, colon);
    port = value.substr(colon + 1);
  }
  if (host == "localhost") host = "127.0.0.1";
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) != 1 &&
      inet_pton(AF_INET6, host.c_str(), address) != 1) {
    fail(option + " needs an IP address as host (such as 127.0.0.1, 0.0.0.0 or ::), not \"" + host +
         "\".");
  }
  targetHost = host;
  targetPort = static_cast<std::uint16_t>(parseCount(option + "'s port", port, 0, 65535));
}

using Setter = std::function<void(const std::string&, const std::string&)>;
using Options = std::map<std::string, Setter, std::less<>>;

// Applies arguments[first...] to `options`. False when --help or --version cut the command line
// short (`command.kind` then says which).
bool applyOptions(const std::vector<std::string>& arguments, std::size_t first,
                  const Options& options, Command& command) {
  for (std::size_t i = first; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      command.kind = Command::Kind::help;
      return false;
    }
    if (argument == "--version") {
      command.kind = Command::Kind::version;
      return false;
    }
    std::string name = argument, value;
    bool inlineValue = false;
    if (std::size_t equals = argument.find('=');
        argument.starts_with("--") && equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      inlineValue = true;
    }
    auto option = options.find(name);
    if (option == options.end()) {
      if (!argument.starts_with("-")) fail("Unexpected argument \"" + argument + "\".");
      fail("Unknown option " + name + ".");
    }
    if (!inlineValue) {
      if (i + 1 >= arguments.size()) fail(name + " needs a value.");
      value = arguments[++i];
    }
    option->second(name, value);
  }
  return true;
}

Command parseCopyDatabase(const std::vector<std::string>& arguments) {
  Command command;
  command.kind = Command::Kind::copyDatabase;
  Options options = {
      {"--from",
       [&](const std::string& option, const std::string& value) {
         if (value.empty()) fail(option + " needs a file name.");
         command.copy.from = value;
       }},
      {"--to",
       [&](const std::string& option, const std::string& value) {
         if (value.empty()) fail(option + " needs a PostgreSQL connection string or URL.");
         command.copy.to = value;
       }},
  };
  if (!applyOptions(arguments, 1, options, command)) return command;
  if (command.copy.from.empty() || command.copy.to.empty()) {
    fail("copy-database needs --from with the SQLite file and --to with the PostgreSQL URL.");
  }
  return command;
}

std::filesystem::path defaultDataDirectory(const EnvironmentLookup& environment) {
  auto xdg = environment("XDG_DATA_HOME");
  if (xdg && !xdg->empty() && xdg->front() == '/') {
    return std::filesystem::path(*xdg) / "vek-relay";
  }
  auto home = environment("HOME");
  if (home && !home->empty()) return std::filesystem::path(*home) / ".local/share/vek-relay";
  return {};
}

}  // namespace

unsigned defaultDatabaseConnections() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 4 : std::clamp(2 * cores, 4u, 16u);
}

Command parseCommandLine(const std::vector<std::string>& arguments,
                         const EnvironmentLookup& environment) {
  if (!arguments.empty() && arguments.front() == "copy-database") {
    return parseCopyDatabase(arguments);
  }
  Command command;
  Config& config = command.config;
  unsigned cores = std::thread::hardware_concurrency();
  config.threads = cores == 0 ? 2 : std::min(cores, 8u);

  auto seconds = [](std::chrono::seconds& target) {
    return [&target](const std::string& option, const std::string& value) {
      target = std::chrono::seconds(parseCount(option, value, 1, 10'000'000));
    };
  };
  auto path = [](std::optional<std::filesystem::path>& target) {
    return [&target](const std::string& option, const std::string& value) {
      if (value.empty()) fail(option + " needs a file name.");
      target = value;
    };
  };
  Options options = {
      {"--listen",
       [&](const std::string& option, const std::string& value) {
         parseListen(option, value, config.listenHost, config.listenPort);
       }},
      {"--metrics-listen",
       [&](const std::string& option, const std::string& value) {
         std::string host;
         parseListen(option, value, host, config.metricsPort);
         config.metricsHost = host;
       }},
      {"--data",
       [&](const std::string& option, const std::string& value) {
         if (value.empty()) fail(option + " needs a directory.");
         config.dataDirectory = value;
       }},
      {"--database",
       [&](const std::string& option, const std::string& value) {
         if (value.empty()) fail(option + " needs a PostgreSQL connection string or URL.");
         config.database = value;
       }},
      {"--database-connections",
       [&](const std::string& option, const std::string& value) {
         config.databaseConnections = static_cast<unsigned>(parseCount(option, value, 1, 64));
       }},
      {"--artifacts",
       [&](const std::string& option, const std::string& value) {
         if (value.empty()) fail(option + " needs a directory.");
         config.artifactDirectory = value;
       }},
      {"--tls-cert", path(config.tlsCertificate)},
      {"--tls-key", path(config.tlsKey)},
      {"--bootstrap-token-file", path(config.bootstrapTokenFile)},
      {"--max-artifact-bytes",
       [&](const std::string& option, const std::string& value) {
         config.maxArtifactBytes = parseCount(option, value, 1, std::uint64_t{1} << 50);
       }},
      {"--threads",
       [&](const std::string& option, const std::string& value) {
         config.threads = static_cast<unsigned>(parseCount(option, value, 1, 64));
       }},
      {"--max-connections",
       [&](const std::string& option, const std::string& value) {
         config.maxConnections = parseCount(option, value, 1, 10'000'000);
       }},
      {"--job-retention-days",
       [&](const std::string& option, const std::string& value) {
         auto days = static_cast<std::int64_t>(parseCount(option, value, 1, 36500));
         config.jobRetention = std::chrono::seconds(days * 24 * 3600);
       }},
      {"--max-wait-seconds",
       [&](const std::string& option, const std::string& value) {
         config.maxWait = std::chrono::seconds(parseCount(option, value, 0, 25));
       }},
      {"--lease-seconds", seconds(config.leaseDuration)},
      {"--sweep-seconds", seconds(config.sweepInterval)},
      {"--artifact-max-age-seconds", seconds(config.artifactMaxAge)},
      {"--invite-seconds", seconds(config.inviteLifetime)},
      {"--header-timeout-seconds", seconds(config.headerTimeout)},
      {"--first-byte-timeout-seconds", seconds(config.firstByteTimeout)},
      {"--idle-timeout-seconds", seconds(config.idleTimeout)},
  };

  if (!applyOptions(arguments, 0, options, command)) return command;

  if (config.tlsCertificate.has_value() != config.tlsKey.has_value()) {
    fail("--tls-cert and --tls-key must be given together.");
  }
  if (config.dataDirectory.empty()) {
    config.dataDirectory = defaultDataDirectory(environment);
    if (config.dataDirectory.empty()) {
      fail("No data directory: HOME is not set, so pass --data DIR.");
    }
  }
  return command;
}

std::string helpText() {
  return R"(Usage: vek-relay [options]
       vek-relay copy-database --from FILE --to URL

The relay every Mac of a VEK group talks to. It keeps the groups, their devices, invites, jobs,
job events and the encrypted builds on their way from the builder Mac to the receiving Mac. It
never sees a group's encryption key: builds arrive encrypted and leave as they came.

Commands:
  vek-relay copy-database --from FILE --to URL
                            Copy a relay's SQLite database (DATA/relay.db) into an empty
                            PostgreSQL database and check that every table arrived whole. Stop
                            the relay first; afterwards start it with --database URL (and
                            --artifacts DATA/artifacts when its data directory changes).

Options:
  --listen HOST:PORT        Address and port to serve (default 127.0.0.1:8787). HOST is an IP
                            address: 0.0.0.0 or :: for every interface, [::1] for IPv6 loopback.
                            Port 0 picks a free port; the start line shows the one bound.
  --data DIR                Data directory (default ${XDG_DATA_HOME:-$HOME/.local/share}/vek-relay).
                            Holds relay.db (SQLite, WAL), artifacts/ (encrypted builds, deleted
                            when their job ends and at the latest 24 hours after upload) and the
                            generated bootstrap-token. Created with mode 0700. One relay per
                            directory: a second one refuses to start (relays on PostgreSQL may
                            share one).
  --database URL            Keep the relay's state in PostgreSQL instead of DATA/relay.db, for
                            example postgresql://vek@db.example.com/vek (any connection string
                            libpq accepts). The relay creates its tables in an empty database.
                            Any number of relay processes, on any number of machines, may share
                            one database and one --artifacts folder. Keep the password out of
                            the URL, which every user of the machine can see: put it in a
                            passfile (~/.pgpass, PGPASSFILE, or passfile= in the URL).
  --database-connections N  Most connections to PostgreSQL this process opens (default: twice
                            the number of cores, from 4 to 16).
  --artifacts DIR           Folder of the encrypted builds (default DATA/artifacts). Relays
                            sharing a database must share this folder too: NFS or another
                            shared file system when they run on several machines.
  --tls-cert FILE           PEM certificate chain; serve HTTPS (TLS 1.2 or later). Needs --tls-key.
  --tls-key FILE            PEM private key for --tls-cert.
  --bootstrap-token-file FILE
                            Accept the bootstrap tokens listed in FILE, one a line (blank lines
                            and lines starting with # are skipped; each token needs at least 16
                            characters). Without this option the relay creates one random token
                            at first start in DATA/bootstrap-token (mode 0600) and prints that
                            file's path, never the token.
  --max-artifact-bytes N    Largest build accepted, in bytes (default 8589934592, 8 GiB). Larger
                            uploads are refused from their Content-Length before any byte is read.
  --threads N               Threads serving connections (default: the number of cores, at most 8).
  --max-connections N       Client connections kept open at once (default: the descriptor limit
                            less 64 and an eighth, which stay for the database and builds in
                            transfer; at most 65536). The relay raises its soft descriptor limit
                            to the hard one at start. N must leave 64 descriptors free. At the
                            cap, the connection that has waited longest for a request header is
                            closed to make room; one busy with a request never is.
  --job-retention-days N    Days a job that ended (succeeded, failed or cancelled) is kept with
                            its progress messages (default 30); the periodic sweep then deletes
                            both from the database.
  --metrics-listen HOST:PORT
                            Also serve metrics in the Prometheus text format at GET /metrics on
                            this address, for example 127.0.0.1:9464 (off by default). This
                            listener answers nothing else; keep it on loopback or a private
                            network.
  --max-wait-seconds N      The longest the relay holds a claim or an event read that asks to
                            wait (default 25, the most a client may ask for; 0 to 25). 0 answers
                            at once, as a relay without held requests does; Macs then poll.
  --help                    Show this text.
  --version                 Show the version.

Creating a group:
  A group is created by the first Mac with `vek group create --server ORIGIN --bootstrap-file F`,
  where F holds a bootstrap token this relay accepts. Give the token only to people who may create
  groups on this relay; any number of groups can be created with it. Further Macs join with
  invites issued by members (single use, valid 15 minutes).

Limits:
  The job list answers a group's newest 100 jobs; older ones can still be read by id until they
  are deleted. A job keeps at most 1000 progress messages, so its whole log fits one answer;
  further ones are refused with 409. A Mac's inventory and a build manifest are each kept only up
  to 64 KiB of compact JSON (larger ones are refused with 413) and 16 levels of nesting (deeper
  ones are refused with 400). JSON request bodies are read up to 1 MiB.

Running on the internet:
  Macs insist on https:// for any host other than localhost. Either
    - let the relay speak TLS itself:
        vek-relay --listen 0.0.0.0:443 --tls-cert fullchain.pem --tls-key privkey.pem
      (restart it to load renewed certificates), or
    - keep the relay on loopback and put a TLS-terminating reverse proxy in front of it
      (nginx, Caddy, ...), forwarding https://relay.example.com/ to http://127.0.0.1:8787/.
      Let the proxy pass request bodies through unbuffered and allow bodies as large as
      --max-artifact-bytes (nginx: client_max_body_size 0; proxy_request_buffering off;
      proxy_buffering off), let a request take at least 30 seconds without a byte moving
      (held requests, below), and never follow redirects: clients treat one as a failure.
  Back up DATA with the relay stopped, or copy relay.db with `sqlite3 relay.db .backup`; on
  PostgreSQL, back up the database with its own tools (pg_dump).

Held requests:
  A Mac's idle claim (POST /v1/claim?wait=SECONDS) and an event read of a job it follows
  (GET /v1/jobs/ID/events?after=N&wait=SECONDS) may ask to wait: SECONDS is a number from 0 to
  25, such as 5 or 2.5 (anything else is refused with 400). Without work for the Mac, or without
  events after N, the relay holds the request until a job becomes claimable for that Mac (queued
  for it as builder, built for it as receiver), the job posts an event or changes state, or the
  wait runs out, then answers as it would have at once; a held event read's answer also names
  its "wait". A held request costs no thread and no database connection, and a client that
  closes its connection abandons it. So a deployment starts the moment it is queued and its
  progress shows the moment it is posted. A proxy in front of the relay must therefore let a
  request go 30 seconds without an answer; one that cuts sooner needs --max-wait-seconds lower
  than its limit.

Logging and signals:
  One line per request on standard output: time, peer, method, path (query values left out),
  status, duration and the device id when the caller was authenticated. Tokens, leases, invite
  codes and bodies are never logged. Problems of the relay itself go to standard error.
  SIGINT or SIGTERM stops accepting, lets requests in flight finish for up to 5 seconds, then
  closes the database cleanly. Exit status: 0 after such a stop, 1 when the relay cannot start
  or fails, 2 for a bad command line.

Testing aids (defaults are what clients rely on; change them only for tests):
  --lease-seconds N             Lease lifetime after claim or heartbeat (default 60).
  --sweep-seconds N             Interval of the sweep that fails lapsed jobs and deletes old
                                builds (default 5).
  --artifact-max-age-seconds N  Age at which an unfinished build expires (default 86400).
  --invite-seconds N            Invite lifetime (default 900).
  --header-timeout-seconds N    Time a client gets to send a request's header, or a JSON body
                                (default 30).
  --first-byte-timeout-seconds N
                                Time a new connection may stay silent before its first byte
                                (default 10, never more than the header time-out).
  --idle-timeout-seconds N      Time an idle keep-alive connection stays open (default 75).
)";
}

}  // namespace vek::relay_server
