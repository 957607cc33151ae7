// The requests themselves: one libcurl easy handle per request, run in the shared pool.
//
// Callbacks run on whichever thread drives the pool, so they never throw: a failure inside one
// (a full disk, an answer too large to keep) is stored in the exchange and rethrown by the thread
// that made the request, after libcurl has given the handle back.
//
// A download that continues a partial file learns only from the answer's first byte where that
// answer starts: a part (206) must start exactly where the file ends, a whole build (200, from a
// relay that ignores ranges or has another build) starts the file over. The digest of the whole
// file trails the writes from then on, its first bytes read back from the file.
#include "relay_client/api.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "artifacts/artifact_crypto.h"
#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/random.h"
#include "foundation/sha256.h"
#include "foundation/task.h"
#include "foundation/text.h"
#include "relay_client/connection_pool.h"
#include "relay_client/content_range.h"
#include "relay_client/libcurl.h"

namespace vek {

namespace {

// JSON answers are small records and lists; anything larger than this is not an answer the
// system expects and is refused rather than held in memory.
constexpr std::size_t defaultAnswerLimit = 64 * 1024 * 1024;
// A refusal's body only has to carry an "error" sentence; beyond this it is cut off.
constexpr std::size_t maxRefusalBytes = 1024 * 1024;
// The relay's answers carry a dozen headers; the rest of an endless list is not kept.
constexpr std::size_t maxAnswerHeaders = 100;
// Socket buffer sizes for artifact transfers (libcurl's largest allowed upload buffer is 2 MiB,
// its largest receive buffer 512 KiB).
constexpr long uploadBufferBytes = 2 * 1024 * 1024;
constexpr long downloadBufferBytes = 512 * 1024;

const std::string originMessage =
    "Server must be an HTTPS origin. HTTP is allowed only for localhost testing.";
const std::string invalidAnswer = "Invalid server response";
constexpr std::string_view tusVersion = "1.0.0";

RelayOrigin checkedOrigin(std::string_view server) {
  auto origin = RelayOrigin::parse(server);
  if (!origin) throw VEKError(originMessage);
  return std::move(*origin);
}

class HeaderList {
 public:
  HeaderList() = default;
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList() { relay_client::libcurl().slist_free_all(list_); }

  /// Adds "name: value". A value holding a line break or another control character would let it
  /// write further headers (a token from a relay answer, a bootstrap file of several lines), so
  /// it is refused.
  void add(std::string_view name, std::string_view value) {
    for (unsigned char c : value) {
      if (c < 0x20 && c != '\t')
        throw VEKError("Cannot send the " + std::string(name) +
                       " header: its value contains a line break or another control character.");
    }
    // libcurl reads "Name:" with nothing after it as "do not send Name"; "Name;" sends it empty.
    append(value.empty() ? std::string(name) + ";" : std::string(name) + ": " + std::string(value));
  }
  /// Stops libcurl from sending a header it would otherwise add on its own.
  void suppress(std::string_view name) { append(std::string(name) + ":"); }
  curl_slist* get() const { return list_; }

 private:
  void append(const std::string& line) {
    curl_slist* grown = relay_client::libcurl().slist_append(list_, line.c_str());
    if (!grown) throw std::bad_alloc();
    list_ = grown;
  }
  curl_slist* list_ = nullptr;
};

bool isSuccess(long status) {
  return status >= 200 && status <= 299;
}

// "64 MiB", "512 KiB" or "100 bytes".
std::string sizeText(std::size_t bytes) {
  if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

struct API::DownloadDigest::State {
  std::unique_ptr<Sha256> digest = std::make_unique<Sha256>();
  std::uint64_t hashed = 0;  // how many of the file's first bytes `digest` has taken

  void reset() {
    digest = std::make_unique<Sha256>();
    hashed = 0;
  }
};

API::DownloadDigest::DownloadDigest() : state_(std::make_unique<State>()) {}
API::DownloadDigest::~DownloadDigest() = default;

namespace {

using DigestState = API::DownloadDigest::State;

// Hashes a file while another thread writes it, trailing the writer through the page cache, so
// the digest of a large download is ready almost as soon as its last byte is written, and the
// hashing runs on a core of its own instead of slowing down the transfer. It continues `state`,
// the digest of the file's first bytes, which outlives it when the transfer breaks off.
class TrailingDigest {
 public:
  /// Trails the writes to `path`, which holds `written` bytes already.
  TrailingDigest(const std::filesystem::path& path, std::uint64_t written, DigestState& state)
      : in_(openFile(path, O_RDONLY)),
        path_(path),
        written_(written),
        announced_(written),
        state_(state),
        thread_([this] { run(); }) {}
  ~TrailingDigest() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  TrailingDigest(const TrailingDigest&) = delete;
  TrailingDigest& operator=(const TrailingDigest&) = delete;

  /// The file now holds `written` bytes.
  void advance(std::uint64_t written) {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      written_ = written;
      wake = written_ - announced_ >= step;
      if (wake) announced_ = written_;
    }
    if (wake) changed_.notify_one();
  }

  /// The digest of the whole file, once the writer is done. Throws the read error, if any.
  std::string finish() {
    {
      std::lock_guard lock(mutex_);
      complete_ = true;
    }
    changed_.notify_one();
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    std::string digest = state_.digest->hexDigest();
    state_.reset();
    return digest;
  }

 private:
  static constexpr std::uint64_t step = 1024 * 1024;

  void run() {
    try {
      auto buffer = std::make_unique_for_overwrite<unsigned char[]>(step);
      std::uint64_t& hashed = state_.hashed;
      while (true) {
        std::uint64_t available;
        bool complete;
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return stopped_ || complete_ || written_ - hashed >= step; });
          if (stopped_) return;
          available = written_;
          complete = complete_;
        }
        while (hashed < available) {
          std::size_t want = static_cast<std::size_t>(std::min(step, available - hashed));
          std::size_t got = readFullyAt(in_.get(), reinterpret_cast<char*>(buffer.get()), want,
                                        static_cast<off_t>(hashed), path_);
          if (got < want) throw SystemError("Cannot read", path_, EIO);
          state_.digest->update(buffer.get(), got);
          hashed += got;
        }
        if (complete) return;
      }
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  UniqueFd in_;
  std::filesystem::path path_;
  std::uint64_t written_;
  std::uint64_t announced_;
  DigestState& state_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool complete_ = false;
  bool stopped_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

// Where a download's body goes: the partial file from the byte the answer starts at, with the
// digest of the whole file trailing the writes.
class DownloadBody {
 public:
  DownloadBody(int fd, const std::filesystem::path& path, std::uint64_t held,
               const TransferProgress& progress, DigestState& state)
      : fd_(fd), path_(path), written_(held), progress_(progress), state_(state) {
    // A digest of more than the file holds is of another file.
    if (state_.hashed > held) state_.reset();
  }

  bool begun() const { return digest_.has_value(); }
  std::uint64_t written() const { return written_; }

  /// Takes the start of a success answer: a part must continue the file; anything else is the
  /// whole build, which replaces it.
  void begin(long status, const std::optional<std::string>& contentRange,
             std::uint64_t contentLength) {
    if (status == 206) {
      std::optional<ContentRange> part;
      if (contentRange) part = parseContentRange(*contentRange);
      if (!part || part->first != written_ || part->last + 1 != part->size) {
        throw VEKError(invalidAnswer);
      }
      total_ = part->size;
    } else {
      // Only a file that holds something is cut back: ext4 flushes a file truncated to nothing
      // when it is closed (its guard for files rewritten in place), which would cost the whole
      // download a wait for the disk. The writes start at the beginning either way.
      if ((written_ > 0 && ::ftruncate(fd_, 0) != 0) || ::lseek(fd_, 0, SEEK_SET) != 0) {
        throw SystemError("Cannot write", path_, errno);
      }
      written_ = 0;
      total_ = contentLength;
      state_.reset();
    }
    digest_.emplace(path_, written_, state_);
  }

  void write(std::string_view bytes) {
    writeFully(fd_, bytes, path_);
    written_ += bytes.size();
    digest_->advance(written_);
    if (progress_) progress_(written_, std::max(total_, written_));
  }

  /// The digest of the whole file, once the transfer ended. Throws the read error, if any.
  std::string finish() {
    if (!digest_) digest_.emplace(path_, written_, state_);
    return digest_->finish();
  }

 private:
  int fd_;
  std::filesystem::path path_;
  std::uint64_t written_;
  std::uint64_t total_ = 0;
  const TransferProgress& progress_;
  DigestState& state_;
  std::optional<TrailingDigest> digest_;  // destroyed before `state_` is touched again
};

}  // namespace

// One request and what comes back: the easy handle, its headers, where the answer's body goes,
// and a failure raised inside a callback.
class API::Exchange {
 public:
  Exchange(const std::string& url, HeaderList& headers)
      : easy_(relay_client::libcurl().easy_init()) {
    if (!easy_) throw std::bad_alloc();
    errorText_[0] = '\0';
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1});
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_NOPROGRESS, 1L);
    set(CURLOPT_USERAGENT, userAgent().c_str());
    set(CURLOPT_CONNECTTIMEOUT, idleTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, idleTimeoutSeconds);
    set(CURLOPT_TIMEOUT, transferTimeoutSeconds);
    set(CURLOPT_ERRORBUFFER, errorText_);
    set(CURLOPT_HTTPHEADER, headers.get());
    set(CURLOPT_WRITEFUNCTION, &Exchange::receive);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_HEADERFUNCTION, &Exchange::receiveHeader);
    set(CURLOPT_HEADERDATA, this);
  }
  ~Exchange() { relay_client::libcurl().easy_cleanup(easy_); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  template <typename Value>
  void set(CURLoption option, Value value) {
    CURLcode result = relay_client::libcurl().easy_setopt(easy_, option, value);
    if (result != CURLE_OK)
      throw std::runtime_error(std::string("Cannot prepare the relay request: ") +
                               relay_client::libcurl().easy_strerror(result));
  }

  /// The method and, when given, the body. Methods that carry a body get an explicit empty one
  /// when there is none, so that they are sent with "Content-Length: 0".
  void setMethod(std::string_view method, const std::string* body) {
    methodText_ = std::string(method);
    if (body) {
      set(CURLOPT_POSTFIELDS, body->data());
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
      if (method != "POST") set(CURLOPT_CUSTOMREQUEST, methodText_.c_str());
    } else if (method == "POST" || method == "PUT" || method == "PATCH") {
      set(CURLOPT_POSTFIELDS, "");
      set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
      if (method != "POST") set(CURLOPT_CUSTOMREQUEST, methodText_.c_str());
    } else {
      set(CURLOPT_HTTPGET, 1L);
      if (method != "GET") set(CURLOPT_CUSTOMREQUEST, methodText_.c_str());
    }
  }

  /// Sends 2xx bodies to `body` instead of memory (the artifact download).
  void receiveSuccessInto(DownloadBody& body) { successBody_ = &body; }

  /// Streams the request body from `fd`, the bytes from `first` to the end of a file of `size`
  /// bytes (the artifact upload), telling `progress` how far it is.
  void sendFrom(int fd, const std::filesystem::path& path, std::uint64_t first, std::uint64_t size,
                const TransferProgress& progress) {
    sourceFd_ = fd;
    sourcePath_ = path;
    sourceFirst_ = first;
    sourceSize_ = static_cast<curl_off_t>(size - first);
    sourceProgress_ = &progress;
    set(CURLOPT_UPLOAD, 1L);
    set(CURLOPT_INFILESIZE_LARGE, sourceSize_);
    set(CURLOPT_READFUNCTION, &Exchange::send);
    set(CURLOPT_READDATA, this);
    set(CURLOPT_SEEKFUNCTION, &Exchange::seek);
    set(CURLOPT_SEEKDATA, this);
    set(CURLOPT_UPLOAD_BUFFERSIZE, uploadBufferBytes);
  }

  /// Fails when the answer grows beyond `bytes`.
  void limitAnswer(std::size_t bytes) { answerLimit_ = bytes; }

  /// Keeps only the first `bytes` of the answer (when only a refusal's text matters) instead of
  /// failing on a larger one.
  void truncateAnswer(std::size_t bytes) {
    answerLimit_ = bytes;
    truncateAnswer_ = true;
  }

  CURL* easy() const { return easy_; }
  const char* errorText() const { return errorText_; }
  const std::string& body() const { return body_; }
  /// The value of the answer's header `name` (lower case), when it has one.
  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [field, value] : headers_) {
      if (field == name) return value;
    }
    return std::nullopt;
  }
  /// Rethrows the failure a callback recorded, if any.
  void rethrowCallbackFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

  std::string relayName;

 private:
  static const std::string& userAgent() {
    static const std::string agent = "VEK/" + std::string(VEK::version);
    return agent;
  }

  // Keeps the header lines of the last answer (an interim 100 Continue comes first), names in
  // lower case, values without surrounding white space.
  static std::size_t receiveHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<Exchange*>(user);
    std::size_t bytes = size * count;
    try {
      std::string_view line(data, bytes);
      if (line.starts_with("HTTP/")) {
        self->headers_.clear();
        return bytes;
      }
      std::size_t colon = line.find(':');
      if (colon == std::string_view::npos || self->headers_.size() >= maxAnswerHeaders) {
        return bytes;
      }
      std::string name(line.substr(0, colon));
      for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
      self->headers_.emplace_back(std::move(name), std::string(value));
      return bytes;
    } catch (...) {
      self->failure_ = std::current_exception();
      return 0;
    }
  }

  static std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<Exchange*>(user);
    std::size_t bytes = size * count;
    try {
      if (self->successBody_) {
        long status = 0;
        relay_client::libcurl().easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &status);
        if (isSuccess(status)) {
          if (!self->successBody_->begun()) {
            curl_off_t length = 0;
            relay_client::libcurl().easy_getinfo(self->easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                                                 &length);
            self->successBody_->begin(status, self->header("content-range"),
                                      static_cast<std::uint64_t>(std::max<curl_off_t>(length, 0)));
          }
          self->successBody_->write(std::string_view(data, bytes));
          return bytes;
        }
        // A refusal only needs its "error" text; the rest of a long body is dropped.
        std::size_t room = maxRefusalBytes - std::min(maxRefusalBytes, self->body_.size());
        self->body_.append(data, std::min(room, bytes));
        return bytes;
      }
      if (self->body_.size() + bytes > self->answerLimit_) {
        if (self->truncateAnswer_) {
          self->body_.append(data, self->answerLimit_ - self->body_.size());
          return bytes;
        }
        throw TransportError("The answer from the relay at " + self->relayName +
                             " is larger than " + sizeText(self->answerLimit_));
      }
      self->body_.append(data, bytes);
      return bytes;
    } catch (...) {
      self->failure_ = std::current_exception();
      return CURL_WRITEFUNC_ERROR;
    }
  }

  static std::size_t send(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<Exchange*>(user);
    curl_off_t remaining = self->sourceSize_ - self->sourceOffset_;
    std::size_t wanted = std::min<std::size_t>(size * count, static_cast<std::size_t>(remaining));
    if (wanted == 0) return 0;
    std::size_t got;
    try {
      got = readFullyAt(self->sourceFd_, buffer, wanted,
                        static_cast<off_t>(self->sourceFirst_ + self->sourceOffset_),
                        self->sourcePath_);
    } catch (...) {
      self->failure_ = std::current_exception();
      return CURL_READFUNC_ABORT;
    }
    if (got == 0) {
      // The relay was promised `sourceSize_` bytes; sending fewer would leave it waiting.
      self->failure_ = std::make_exception_ptr(
          std::runtime_error("Cannot read " + self->sourcePath_.string() +
                             ": the file became shorter during the upload"));
      return CURL_READFUNC_ABORT;
    }
    self->sourceOffset_ += static_cast<curl_off_t>(got);
    if (*self->sourceProgress_) {
      std::uint64_t done = self->sourceFirst_ + static_cast<std::uint64_t>(self->sourceOffset_);
      (*self->sourceProgress_)(done,
                               self->sourceFirst_ + static_cast<std::uint64_t>(self->sourceSize_));
    }
    return got;
  }

  static int seek(void* user, curl_off_t offset, int origin) {
    auto* self = static_cast<Exchange*>(user);
    if (origin != SEEK_SET || offset < 0 || offset > self->sourceSize_) return CURL_SEEKFUNC_FAIL;
    self->sourceOffset_ = offset;
    return CURL_SEEKFUNC_OK;
  }

  CURL* easy_;
  char errorText_[CURL_ERROR_SIZE];
  std::string methodText_;
  std::string body_;
  std::size_t answerLimit_ = defaultAnswerLimit;
  bool truncateAnswer_ = false;
  std::exception_ptr failure_;
  std::vector<std::pair<std::string, std::string>> headers_;
  DownloadBody* successBody_ = nullptr;
  int sourceFd_ = -1;
  std::filesystem::path sourcePath_;
  std::uint64_t sourceFirst_ = 0;
  curl_off_t sourceSize_ = 0;
  curl_off_t sourceOffset_ = 0;
  const TransferProgress* sourceProgress_ = nullptr;
};

namespace {

// One sentence for a transfer that failed below HTTP, naming the relay and what went wrong.
[[noreturn]] void throwTransportFailure(CURLcode code, CURL* easy, const char* detail,
                                        const std::string& relay) {
  std::string reason = detail && *detail ? detail : relay_client::libcurl().easy_strerror(code);
  long osError = 0;
  relay_client::libcurl().easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
  std::string systemReason = osError != 0 ? std::strerror(static_cast<int>(osError)) : reason;
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:  // an HTTP/0.9-style answer without a status line
    case CURLE_WEIRD_SERVER_REPLY:
      throw VEKError("Invalid server response");
    case CURLE_COULDNT_RESOLVE_HOST:
      throw TransportError("Cannot reach the relay at " + relay +
                           ": its host name cannot be resolved");
    case CURLE_COULDNT_RESOLVE_PROXY:
      throw TransportError("Cannot reach the relay at " + relay +
                           ": the proxy's host name cannot be resolved");
    case CURLE_COULDNT_CONNECT:
      throw TransportError("Cannot reach the relay at " + relay + ": " + systemReason);
    case CURLE_OPERATION_TIMEDOUT: {
      double total = 0;
      relay_client::libcurl().easy_getinfo(easy, CURLINFO_TOTAL_TIME, &total);
      if (total >= static_cast<double>(API::transferTimeoutSeconds))
        throw TransportError("The transfer with the relay at " + relay + " took longer than " +
                             std::to_string(API::transferTimeoutSeconds) + " seconds");
      double connectTime = 0;
      relay_client::libcurl().easy_getinfo(easy, CURLINFO_CONNECT_TIME, &connectTime);
      if (connectTime == 0 && reason.starts_with("Connection timed out"))
        throw TransportError("Cannot reach the relay at " + relay + ": the connection timed out");
      throw TransportError("The relay at " + relay + " stopped responding (nothing received for " +
                           std::to_string(API::idleTimeoutSeconds) + " seconds)");
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      throw TransportError("Cannot make a secure connection to the relay at " + relay + ": " +
                           reason);
    case CURLE_GOT_NOTHING:
      throw TransportError("The relay at " + relay + " closed the connection without answering");
    case CURLE_PARTIAL_FILE:
      throw TransportError("The answer from the relay at " + relay + " was cut short: " + reason);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      throw TransportError("The connection to the relay at " + relay + " broke: " + systemReason);
    default:
      throw TransportError("The request to the relay at " + relay + " failed: " + reason);
  }
}

}  // namespace

bool relayUnreachable(const std::exception& error) noexcept {
  if (dynamic_cast<const TransportError*>(&error)) return true;
  const auto* refusal = dynamic_cast<const RelayRefusal*>(&error);
  return refusal &&
         (refusal->status() == 502 || refusal->status() == 503 || refusal->status() == 504);
}

API::API(std::string_view server, std::optional<Credentials> credentials)
    : origin_(checkedOrigin(server)),
      credentials_(std::move(credentials)),
      answerLimit_(defaultAnswerLimit),
      pool_(std::make_shared<relay_client::ConnectionPool>()) {}

API::API(const Credentials& credentials) : API(credentials.server, credentials) {}

API API::withAnswerLimit(std::size_t bytes) const {
  API limited = *this;
  limited.answerLimit_ = bytes;
  return limited;
}

std::string API::waitQuery(std::chrono::milliseconds wait) {
  long long milliseconds =
      std::clamp<long long>(wait.count(), 0, std::chrono::milliseconds(longestWait).count());
  std::string text = "wait=" + std::to_string(milliseconds / 1000);
  if (long long fraction = milliseconds % 1000; fraction != 0) {
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0')
      digits.pop_back();
    text += "." + digits;
  }
  return text;
}

void API::check(long status, std::string_view body) {
  if (isSuccess(status)) return;
  try {
    JSON answer = JSON::decode(body);
    if (auto error = answer["error"].string()) throw RelayRefusal(std::move(*error), status);
  } catch (const DecodingError&) {
    // Not JSON: the status is all there is to report.
  }
  throw RelayRefusal("Relay returned HTTP " + std::to_string(status), status);
}

bool API::namesRevokedCredential(std::string_view message) {
  return message.find("revoked device credential") != std::string_view::npos;
}

long API::perform(Exchange& exchange) const {
  CURLcode result = pool_->perform(exchange.easy(), task::current());
  exchange.rethrowCallbackFailure();
  if (result != CURLE_OK)
    throwTransportFailure(result, exchange.easy(), exchange.errorText(), exchange.relayName);
  long status = 0;
  relay_client::libcurl().easy_getinfo(exchange.easy(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

namespace {

// The headers every request carries: the device's authorization and the job lease when present.
void addIdentity(HeaderList& headers, const std::optional<Credentials>& credentials,
                 const std::optional<std::string>& lease) {
  if (credentials) headers.add("Authorization", credentials->authorization());
  if (lease) headers.add("X-VEK-Lease", *lease);
}

}  // namespace

JSON API::call(std::string_view method, std::string_view path, const std::optional<JSON>& body,
               const std::optional<std::string>& lease,
               const std::optional<std::string>& bootstrap) const {
  std::string url = origin_.resolve(path);
  HeaderList headers;
  addIdentity(headers, credentials_, lease);
  std::string payload;
  if (body) {
    payload = body->data();
    headers.add("Content-Type", "application/json");
  } else {
    headers.suppress("Content-Type");
  }
  if (bootstrap) headers.add("X-VEK-Bootstrap", *bootstrap);

  Exchange exchange(url, headers);
  exchange.relayName = origin_.authority();
  exchange.limitAnswer(answerLimit_);
  exchange.setMethod(method, body ? &payload : nullptr);
  long status = perform(exchange);
  check(status, exchange.body());
  return JSON::decode(exchange.body(), "The relay's answer is not valid JSON");
}

void API::upload(std::string_view job, std::string_view lease,
                 const std::filesystem::path& file) const {
  upload(job, lease, file, ArtifactCrypto::sha256(file));
}

namespace {

std::uint64_t sizeOf(int fd, const std::filesystem::path& path) {
  struct stat status;
  if (::fstat(fd, &status) != 0) throw SystemError("Cannot read", path, errno);
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

void API::upload(std::string_view job, std::string_view lease, const std::filesystem::path& file,
                 std::string_view sha256, const TransferProgress& progress) const {
  std::string url = origin_.resolve("/v1/jobs/" + pathSegment(job) + "/artifact");
  UniqueFd fd = openFile(file, O_RDONLY);
  std::uint64_t size = sizeOf(fd.get(), file);

  HeaderList headers;
  addIdentity(headers, credentials_, std::string(lease));
  headers.add("Content-Type", "application/octet-stream");
  headers.add("X-VEK-SHA256", sha256);

  Exchange exchange(url, headers);
  exchange.relayName = origin_.authority();
  exchange.sendFrom(fd.get(), file, 0, size, progress);
  exchange.truncateAnswer(maxRefusalBytes);
  long answer = perform(exchange);
  check(answer, exchange.body());
}

std::optional<HeldUpload> API::heldUpload(std::string_view job, std::string_view lease) const {
  std::string url = origin_.resolve("/v1/jobs/" + pathSegment(job) + "/artifact");
  HeaderList headers;
  addIdentity(headers, credentials_, std::string(lease));
  headers.add("Tus-Resumable", tusVersion);

  Exchange exchange(url, headers);
  exchange.relayName = origin_.authority();
  exchange.setMethod("HEAD", nullptr);
  exchange.set(CURLOPT_NOBODY, 1L);
  long status = perform(exchange);
  std::optional<std::uint64_t> offset;
  if (auto value = exchange.header("upload-offset")) offset = text::parseDecimal(*value);
  if (!isSuccess(status) || exchange.header("tus-resumable") != tusVersion || !offset) {
    return std::nullopt;
  }
  HeldUpload held{*offset, std::nullopt, exchange.header("x-vek-sha256")};
  if (auto value = exchange.header("upload-length")) held.length = text::parseDecimal(*value);
  return held;
}

void API::uploadFrom(std::string_view job, std::string_view lease,
                     const std::filesystem::path& file, std::string_view sha256,
                     std::uint64_t offset, const TransferProgress& progress) const {
  std::string url = origin_.resolve("/v1/jobs/" + pathSegment(job) + "/artifact");
  UniqueFd fd = openFile(file, O_RDONLY);
  std::uint64_t size = sizeOf(fd.get(), file);
  if (offset > size) throw VEKError(invalidAnswer);

  HeaderList headers;
  addIdentity(headers, credentials_, std::string(lease));
  headers.add("Tus-Resumable", tusVersion);
  headers.add("Content-Type", "application/offset+octet-stream");
  headers.add("Upload-Offset", std::to_string(offset));
  headers.add("Upload-Length", std::to_string(size));
  headers.add("X-VEK-SHA256", sha256);

  Exchange exchange(url, headers);
  exchange.relayName = origin_.authority();
  exchange.set(CURLOPT_CUSTOMREQUEST, "PATCH");
  exchange.sendFrom(fd.get(), file, offset, size, progress);
  exchange.truncateAnswer(maxRefusalBytes);
  long answer = perform(exchange);
  check(answer, exchange.body());
}

void API::download(std::string_view job, std::string_view lease, const std::filesystem::path& to,
                   std::string_view expectedSHA) const {
  // Beside the destination, so that the final rename stays within one file system.
  std::filesystem::path directory = to.parent_path().empty() ? "." : to.parent_path();
  TemporaryFile temporary(directory / ("." + to.filename().string() + ".download-" + randomUUID()));
  openFile(temporary.path(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  DownloadDigest digest;
  if (resumeDownload(job, lease, temporary.path(), to, expectedSHA, digest) != Download::verified) {
    throw VEKError("Downloaded build checksum mismatch");
  }
  temporary.keep();
}

API::Download API::resumeDownload(std::string_view job, std::string_view lease,
                                  const std::filesystem::path& partial,
                                  const std::filesystem::path& to, std::string_view expectedSHA,
                                  DownloadDigest& digestSoFar,
                                  const TransferProgress& progress) const {
  DigestState& state = *digestSoFar.state_;
  std::string url = origin_.resolve("/v1/jobs/" + pathSegment(job) + "/artifact");
  UniqueFd fd = openFile(partial, O_WRONLY | O_CREAT, 0600);
  std::uint64_t held = sizeOf(fd.get(), partial);
  if (::lseek(fd.get(), 0, SEEK_END) < 0) throw SystemError("Cannot write", partial, errno);

  std::string digest;
  // A second request only when the relay says the file holds more than the whole build.
  for (int request = 0;; ++request) {
    HeaderList headers;
    addIdentity(headers, credentials_, std::string(lease));
    // The rest of this build, or else all of whatever the relay has now.
    if (held > 0) headers.add("If-Range", "\"" + std::string(expectedSHA) + "\"");
    DownloadBody body(fd.get(), partial, held, progress, state);
    Exchange exchange(url, headers);
    exchange.relayName = origin_.authority();
    exchange.setMethod("GET", nullptr);
    exchange.set(CURLOPT_BUFFERSIZE, downloadBufferBytes);
    std::string range = std::to_string(held) + "-";
    if (held > 0) exchange.set(CURLOPT_RANGE, range.c_str());
    exchange.receiveSuccessInto(body);
    long status = perform(exchange);
    if (status == 416 && held > 0 && request == 0) {
      std::optional<std::uint64_t> size;
      if (auto value = exchange.header("content-range")) size = parseUnsatisfiedRange(*value);
      if (size && *size == held) {
        digest = body.finish();
        break;
      }
      if (::ftruncate(fd.get(), 0) != 0) throw SystemError("Cannot write", partial, errno);
      held = 0;
      state.reset();
      continue;
    }
    check(status, exchange.body());
    digest = body.finish();
    break;
  }
  if (::close(fd.release()) != 0) throw SystemError("Cannot write", partial, errno);
  if (digest != expectedSHA) {
    removeQuietly(partial);
    return Download::checksumMismatch;
  }
  // rename(2) replaces an existing destination in one step: a reader sees the old file or the
  // whole new one. No fsync: the build is decrypted (and every record authenticated) right after,
  // and a Mac that crashes before that downloads the job again.
  if (::rename(partial.c_str(), to.c_str()) != 0)
    throw SystemError("Cannot move the download to", to, errno);
  return Download::verified;
}

}  // namespace vek
