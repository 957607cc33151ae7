#include "relay_server/metrics.h"

#include <charconv>

namespace vek::relay_server {

namespace {

// A label value with backslash, double quote and line feed escaped, as the format requires.
std::string labelValue(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// The shortest text that reads back as `value`.
std::string number(double value) {
  char text[32];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : "NaN";
}

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, std::string_view name, std::string_view labels, std::uint64_t value) {
  out += name;
  if (!labels.empty()) {
    out += '{';
    out += labels;
    out += '}';
  }
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

}  // namespace

Metrics::Metrics(std::span<const Route> routes)
    : routes_(routes), requests_(new std::atomic<std::uint64_t>[(routes.size() + 1) * kStatuses]) {
  for (std::size_t i = 0; i < (routes.size() + 1) * kStatuses; ++i)
    requests_[i] = 0;
  for (const auto& route : routes_) {
    if (route.method == "POST" && route.path == "/v1/heartbeat") heartbeat_ = &route;
  }
}

void Metrics::recordRequest(const Route* route, int status,
                            std::chrono::steady_clock::duration duration) noexcept {
  std::size_t row = routes_.size();
  if (route >= routes_.data() && route < routes_.data() + routes_.size()) {
    row = static_cast<std::size_t>(route - routes_.data());
  }
  if (status >= kFirstStatus && status < kFirstStatus + kStatuses) {
    requests_[row * kStatuses + static_cast<std::size_t>(status - kFirstStatus)].fetch_add(
        1, std::memory_order_relaxed);
  }
  if (route != nullptr && route == heartbeat_ && status == 200) {
    heartbeats_.fetch_add(1, std::memory_order_relaxed);
  }

  auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  if (nanoseconds < 0) nanoseconds = 0;
  double seconds = static_cast<double>(nanoseconds) / 1e9;
  std::size_t bucket = 0;
  while (bucket < kBuckets.size() && seconds > kBuckets[bucket])
    ++bucket;
  durations_[bucket].fetch_add(1, std::memory_order_relaxed);
  durationNanoseconds_.fetch_add(static_cast<std::uint64_t>(nanoseconds),
                                 std::memory_order_relaxed);
}

std::string Metrics::render(const StoredState& state) const {
  std::string out;
  family(out, "vek_relay_http_requests_total", "counter",
         "HTTP requests answered, by route and status code.");
  for (std::size_t row = 0; row <= routes_.size(); ++row) {
    std::string route = "unmatched";
    if (row < routes_.size()) {
      route = std::string(routes_[row].method) + " " + std::string(routes_[row].path);
    }
    for (int status = 0; status < kStatuses; ++status) {
      std::uint64_t count = requests_[row * kStatuses + static_cast<std::size_t>(status)].load(
          std::memory_order_relaxed);
      if (count == 0) continue;
      sample(out, "vek_relay_http_requests_total",
             "route=\"" + labelValue(route) + "\",status=\"" +
                 std::to_string(status + kFirstStatus) + "\"",
             count);
    }
  }

  family(out, "vek_relay_http_request_duration_seconds", "histogram",
         "Time from a request's header to the end of its answer, less the time a held request "
         "waited.");
  std::uint64_t cumulative = 0;
  for (std::size_t bucket = 0; bucket <= kBuckets.size(); ++bucket) {
    cumulative += durations_[bucket].load(std::memory_order_relaxed);
    std::string bound = bucket < kBuckets.size() ? number(kBuckets[bucket]) : "+Inf";
    sample(out, "vek_relay_http_request_duration_seconds_bucket", "le=\"" + bound + "\"",
           cumulative);
  }
  out += "vek_relay_http_request_duration_seconds_sum " +
         number(static_cast<double>(durationNanoseconds_.load(std::memory_order_relaxed)) / 1e9) +
         "\n";
  sample(out, "vek_relay_http_request_duration_seconds_count", "", cumulative);

  family(out, "vek_relay_open_connections", "gauge", "Client connections open now.");
  sample(out, "vek_relay_open_connections", "", state.openConnections);
  family(out, "vek_relay_held_requests", "gauge",
         "Claims and event reads held open now, waiting for work or a change.");
  sample(out, "vek_relay_held_requests", "", state.heldRequests);
  family(out, "vek_relay_held_request_wakes_total", "counter",
         "Times a held request was woken to look again.");
  sample(out, "vek_relay_held_request_wakes_total", "", state.heldRequestWakes);
  family(out, "vek_relay_connection_limit", "gauge", "Client connections kept open at most.");
  sample(out, "vek_relay_connection_limit", "", state.connectionLimit);
  family(out, "vek_relay_connections_dropped_total", "counter",
         "Connections closed before their request header to make room for new ones.");
  sample(out, "vek_relay_connections_dropped_total", "",
         droppedConnections_.load(std::memory_order_relaxed));
  family(out, "vek_relay_connections_refused_total", "counter",
         "New connections closed at once because every open one was busy with a request.");
  sample(out, "vek_relay_connections_refused_total", "",
         refusedConnections_.load(std::memory_order_relaxed));
  family(out, "vek_relay_heartbeats_total", "counter", "Heartbeats accepted from agents.");
  sample(out, "vek_relay_heartbeats_total", "", heartbeats_.load(std::memory_order_relaxed));

  if (state.jobsByState) {
    family(out, "vek_relay_jobs", "gauge", "Jobs kept by the relay, by state.");
    for (const auto& [jobState, count] : *state.jobsByState) {
      sample(out, "vek_relay_jobs", "state=\"" + labelValue(jobState) + "\"", count);
    }
  }
  if (state.builds) {
    family(out, "vek_relay_builds_stored", "gauge", "Encrypted builds stored on disk.");
    sample(out, "vek_relay_builds_stored", "", *state.builds);
  }
  if (state.buildBytes) {
    family(out, "vek_relay_builds_stored_bytes", "gauge", "Size of the stored builds.");
    sample(out, "vek_relay_builds_stored_bytes", "", *state.buildBytes);
  }

  if (state.pool) {
    family(out, "vek_relay_database_connections", "gauge",
           "Connections of this process to the database, by whether a call is using them.");
    sample(out, "vek_relay_database_connections", "state=\"busy\"", state.pool->busy);
    sample(out, "vek_relay_database_connections", "state=\"idle\"",
           state.pool->open - state.pool->busy);
    family(out, "vek_relay_database_connections_limit", "gauge",
           "The most connections this process opens to the database.");
    sample(out, "vek_relay_database_connections_limit", "", state.pool->limit);
    family(out, "vek_relay_database_connection_waits_total", "counter",
           "Database calls that had to wait for a free connection.");
    sample(out, "vek_relay_database_connection_waits_total", "", state.pool->waits);
  }

  family(out, "vek_relay_transfer_received_bytes_total", "counter",
         "Bytes of builds received in uploads.");
  sample(out, "vek_relay_transfer_received_bytes_total", "",
         received_.load(std::memory_order_relaxed));
  family(out, "vek_relay_transfer_sent_bytes_total", "counter",
         "Bytes of builds sent in downloads.");
  sample(out, "vek_relay_transfer_sent_bytes_total", "", sent_.load(std::memory_order_relaxed));
  family(out, "vek_relay_database_errors_total", "counter", "Database operations that failed.");
  sample(out, "vek_relay_database_errors_total", "",
         databaseErrors_.load(std::memory_order_relaxed));
  family(out, "vek_relay_disk_errors_total", "counter",
         "Failures reading or writing the data directory.");
  sample(out, "vek_relay_disk_errors_total", "", diskErrors_.load(std::memory_order_relaxed));
  return out;
}

}  // namespace vek::relay_server
