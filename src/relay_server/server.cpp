// Process-level wiring of the relay.
//
// One io_context runs on `threads` I/O threads; each accepted connection gets its own strand.
// Store calls go to a database pool as large as the store can use at once: one thread for SQLite
// (it serialises writers anyway, and one thread keeps its connection's statement cache warm), one
// per connection for PostgreSQL. Blocking file work (fsync of a finished upload) goes to a small
// file pool so that it delays neither requests nor the database. A sweep runs on a timer.
//
// The data directory is locked so that no two relays on SQLite use it; relays on PostgreSQL share
// their state through the database and may share the directory and the artifact folder, so they
// take the same locks shared, which still keeps a relay on SQLite out. On SIGINT/SIGTERM the
// acceptor closes, idle connections close at once, busy ones after their current answer, and after
// a grace period whatever is left is cut; the pools are drained before the database is closed.
#include "relay_server/server.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <iostream>
#include <thread>

#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "relay_server/asio.h"
#include "relay_server/bootstrap.h"
#include "relay_server/connection_limit.h"
#include "relay_server/endpoints.h"
#include "relay_server/http_session.h"
#include "relay_server/metrics.h"
#include "relay_server/metrics_listener.h"
#include "relay_server/offload.h"
#include "relay_server/postgres_broadcast.h"
#include "relay_server/postgres_store.h"
#include "relay_server/relay.h"
#include "relay_server/server_context.h"
#include "relay_server/sqlite_store.h"

namespace vek::relay_server {

namespace {

constexpr auto kShutdownGrace = std::chrono::seconds(5);

void makePrivateDirectory(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) throw SystemError("Cannot create", directory, error.value());
  if (::chmod(directory.c_str(), 0700) != 0) {
    throw SystemError("Cannot set permissions of", directory, errno);
  }
}

// TLS 1.2 offers only forward-secret AEAD suites (ECDHE with AES-GCM or ChaCha20-Poly1305); the
// CBC suites OpenSSL also enables by default are open to padding-oracle attacks such as LUCKY13.
// TLS 1.3 has only AEAD suites and keeps OpenSSL's defaults.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

void restrictCiphers(asio::ssl::context& tls) {
  if (SSL_CTX_set_cipher_list(tls.native_handle(), kTls12Ciphers) != 1) {
    throw VEKError("This OpenSSL offers none of the TLS 1.2 cipher suites the relay allows.");
  }
}

// Locks `file` (created if missing) for a relay that shares `what` with others (`shared`) or keeps
// it to itself.
UniqueFd lockFor(const std::filesystem::path& file, bool shared, const std::string& what) {
  UniqueFd lock = openFile(file, O_RDWR | O_CREAT, 0600);
  if (::flock(lock.get(), (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return lock;
  if (errno == EWOULDBLOCK) {
    throw VEKError("Another vek-relay is already using " + what +
                   (shared ? " without sharing it" : "") + ".");
  }
  throw SystemError("Cannot lock", file, errno);
}

std::string originOf(const tcp::endpoint& endpoint, bool tls) {
  std::string host = endpoint.address().to_string();
  if (endpoint.address().is_v6()) host = "[" + host + "]";
  return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(endpoint.port());
}

}  // namespace

struct Server::State {
  Config config;
  UniqueFd lock;
  UniqueFd artifactsLock;
  std::unique_ptr<Store> store;
  std::unique_ptr<ArtifactStore> artifacts;
  Notifier notifier;
  std::unique_ptr<Relay> relay;
  std::unique_ptr<asio::ssl::context> tls;
  std::size_t connectionLimit = 0;
  std::vector<std::string> startLines;
};

Server::Server(Config config) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.config = std::move(config);
  const auto& data = s.config.dataDirectory;
  std::uint64_t descriptors = raiseDescriptorLimit();
  s.connectionLimit = connectionLimit(s.config.maxConnections, descriptors);
  s.startLines.push_back("serving at most " + std::to_string(s.connectionLimit) +
                         " connection(s) at once; descriptor limit " + std::to_string(descriptors));
  makePrivateDirectory(data);

  bool shared = s.config.database.has_value();
  s.lock = lockFor(data / "relay.lock", shared, "the data directory " + data.string());

  BootstrapTokens bootstrap;
  if (s.config.bootstrapTokenFile) {
    bootstrap = BootstrapTokens::fromFile(*s.config.bootstrapTokenFile);
    s.startLines.push_back("accepting " + std::to_string(bootstrap.size()) +
                           " bootstrap token(s) from " + s.config.bootstrapTokenFile->string());
  } else {
    bool created = false;
    std::filesystem::path file = data / "bootstrap-token";
    bootstrap = BootstrapTokens::generatedIn(file, created);
    s.startLines.push_back(std::string("bootstrap token for creating groups") +
                           (created ? " (new)" : "") + ": " + file.string());
  }

  if (s.config.tlsCertificate) {
    s.tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    s.tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    restrictCiphers(*s.tls);
    try {
      s.tls->use_certificate_chain_file(s.config.tlsCertificate->string());
    } catch (const boost::system::system_error& error) {
      throw VEKError("Cannot load the TLS certificate " + s.config.tlsCertificate->string() + ": " +
                     error.code().message() + ".");
    }
    try {
      s.tls->use_private_key_file(s.config.tlsKey->string(), asio::ssl::context::pem);
    } catch (const boost::system::system_error& error) {
      throw VEKError("Cannot load the TLS private key " + s.config.tlsKey->string() + ": " +
                     error.code().message() + ".");
    }
  }

  if (s.config.database) {
    auto store = std::make_unique<PostgresStore>(*s.config.database, s.config.databaseConnections);
    s.startLines.push_back("database PostgreSQL " + store->description());
    s.store = std::move(store);
  } else {
    s.store = std::make_unique<SqliteStore>(data / "relay.db");
  }
  std::filesystem::path artifacts = s.config.artifactDirectory.value_or(data / "artifacts");
  s.artifacts = std::make_unique<ArtifactStore>(artifacts);
  if (s.config.artifactDirectory) {
    s.artifactsLock =
        lockFor(artifacts / ".relay.lock", shared, "the artifact folder " + artifacts.string());
    s.startLines.push_back("encrypted builds in " + artifacts.string());
  }
  s.relay =
      std::make_unique<Relay>(*s.store, *s.artifacts, std::move(bootstrap), s.config, s.notifier);
  RecoveryReport recovery = s.relay->recover();
  if (recovery.leftoversDeleted > 0 || recovery.artifactsMissing > 0) {
    s.startLines.push_back(
        "cleaned up after an unclean stop: deleted " + std::to_string(recovery.leftoversDeleted) +
        " unfinished or orphaned artifact file(s); " + std::to_string(recovery.artifactsMissing) +
        " job(s) had lost their artifact");
  }
}

Server::~Server() = default;

int Server::run() {
  State& s = *state_;
  asio::io_context io(static_cast<int>(s.config.threads));
  asio::thread_pool database(s.store->concurrency());
  asio::thread_pool files(2);
  AccessLog log(1);
  SessionRegistry sessions(s.connectionLimit);
  Metrics metrics(relayRoutes());
  // Relays sharing a database wake each other's held requests through it.
  std::unique_ptr<PostgresBroadcast> broadcast;
  if (s.config.database) {
    broadcast = std::make_unique<PostgresBroadcast>(
        *s.config.database, [&s](const Topic& topic) { s.notifier.deliver(topic); });
    s.notifier.setBroadcaster([&broadcast](const Topic& topic) { broadcast->send(topic); });
  }
  ServerContext context{s.config, *s.relay, s.notifier, *s.artifacts, database,
                        files,    log,      sessions,   metrics};

  tcp::acceptor acceptor(io);
  tcp::endpoint endpoint(asio::ip::make_address(s.config.listenHost), s.config.listenPort);
  error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw VEKError("Cannot listen on " + originOf(endpoint, s.tls != nullptr) + ": " +
                   ec.message() + ".");
  }

  tcp::acceptor metricsAcceptor(io);
  if (s.config.metricsHost) {
    tcp::endpoint metricsEndpoint(asio::ip::make_address(*s.config.metricsHost),
                                  s.config.metricsPort);
    metricsAcceptor.open(metricsEndpoint.protocol(), ec);
    if (!ec) metricsAcceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) metricsAcceptor.bind(metricsEndpoint, ec);
    if (!ec) metricsAcceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      throw VEKError("Cannot listen for metrics on " + originOf(metricsEndpoint, false) + ": " +
                     ec.message() + ".");
    }
  }

  std::cout << "vek-relay " << VEK::version << ": data directory "
            << s.config.dataDirectory.string() << "\n";
  for (const auto& line : s.startLines)
    std::cout << "vek-relay: " << line << "\n";
  if (metricsAcceptor.is_open()) {
    std::cout << "vek-relay: metrics on " << originOf(metricsAcceptor.local_endpoint(), false)
              << "/metrics\n";
    serveMetrics(context, metricsAcceptor);
  }
  std::cout << "vek-relay: listening on " << originOf(acceptor.local_endpoint(), s.tls != nullptr)
            << std::endl;

  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        bool refusing = false;  // reported once per streak of refusals
        while (true) {
          tcp::socket socket(asio::make_strand(io));
          error_code error;
          co_await acceptor.async_accept(socket, asio::redirect_error(asio::use_awaitable, error));
          if (context.stopping || !acceptor.is_open()) break;
          if (error) {
            // Out of descriptors or a connection reset before accept: pause briefly, go on.
            asio::steady_timer pause(io, std::chrono::milliseconds(50));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, error));
            continue;
          }
          SessionRegistry::Admission admission = sessions.admit();
          if (admission == SessionRegistry::Admission::refused) {
            metrics.countRefusedConnection();
            if (!refusing) {
              std::cerr << "vek-relay: all " << sessions.limit()
                        << " connections are busy with requests; refusing new ones" << std::endl;
            }
            refusing = true;
            socket.close(error);
            continue;
          }
          refusing = false;
          if (admission == SessionRegistry::Admission::dropped) metrics.countDroppedConnection();
          socket.set_option(tcp::no_delay(true), error);
          startSession(context, std::move(socket), s.tls.get());
        }
      },
      asio::detached);

  asio::steady_timer sweepTimer(io);
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        while (!context.stopping) {
          sweepTimer.expires_after(s.config.sweepInterval);
          error_code error;
          co_await sweepTimer.async_wait(asio::redirect_error(asio::use_awaitable, error));
          if (context.stopping) break;
          try {
            SweepReport report = co_await offload(database, [&] { return s.relay->sweep(); });
            if (report.lapsed > 0 || report.expired > 0) {
              std::cerr << "vek-relay: failed " << report.lapsed
                        << " job(s) whose lease lapsed and " << report.expired
                        << " job(s) whose build expired" << std::endl;
            }
          } catch (const std::exception& failure) {
            std::cerr << "vek-relay: the sweep failed: " << failure.what() << std::endl;
            if (dynamic_cast<const StoreError*>(&failure)) metrics.countDatabaseError();
            if (dynamic_cast<const SystemError*>(&failure)) metrics.countDiskError();
          }
        }
      },
      asio::detached);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  asio::steady_timer graceTimer(io);
  signals.async_wait([&](const error_code& error, int) {
    if (error) return;
    std::cerr << "vek-relay: stopping" << std::endl;
    context.stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    metricsAcceptor.close(ignored);
    sweepTimer.cancel();
    sessions.stopAll();
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          auto deadline = std::chrono::steady_clock::now() + kShutdownGrace;
          while (sessions.size() > 0 && std::chrono::steady_clock::now() < deadline) {
            graceTimer.expires_after(std::chrono::milliseconds(20));
            error_code waited;
            co_await graceTimer.async_wait(asio::redirect_error(asio::use_awaitable, waited));
          }
          io.stop();
        },
        asio::detached);
  });

  std::vector<std::thread> threads;
  for (unsigned i = 1; i < s.config.threads; ++i)
    threads.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& thread : threads)
    thread.join();
  // Work already handed to the pools finishes before the io_context (and with it every
  // suspended request) is destroyed and before the database closes.
  database.join();
  files.join();
  s.notifier.setBroadcaster(nullptr);
  broadcast.reset();
  std::cerr << "vek-relay: stopped" << std::endl;
  return 0;
}

}  // namespace vek::relay_server
