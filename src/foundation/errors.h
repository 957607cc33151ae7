// The error types of the system.
//
// An operation either returns or throws. `VEKError` is the one error the system raises on its own
// account: its message is the complete text shown to the user. Failures of the platform (files,
// processes, decoding, the secret store, the network) travel as their own types, each with a
// `what()` that is one clear sentence naming the thing that failed. Exceptions are caught only at
// boundaries (a program's main, the agent's job task, one relay request), where `what()` is shown.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vek {

/// The system's own error. `message()` is shown to the user unchanged, with nothing added.
class VEKError : public std::exception {
 public:
  explicit VEKError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// A failure of the operating system: a file, a directory, a process. `what()` names the action,
/// the path when there is one, and the system's reason, e.g.
/// "Cannot open /tmp/x: No such file or directory".
class SystemError : public std::runtime_error {
 public:
  SystemError(std::string_view action, const std::filesystem::path& path, int error);
  SystemError(std::string_view action, int error);
  /// A failure the system detected itself, with its own reason: "Cannot write /x: it is not a
  /// regular file". `error` is the closest errno value.
  SystemError(std::string_view action, const std::filesystem::path& path, std::string_view reason,
              int error);
  /// The errno value behind the failure.
  int code() const noexcept { return code_; }

 private:
  int code_;
};

/// Text that is not the structured data it was expected to be (JSON, Base64, a record).
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A failure of the cryptographic library: a record that does not authenticate (wrong key, wrong
/// job, records reordered, replaced or altered) or the library failing to do its work.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Thrown by a cancellable wait when the task it belongs to has been asked to stop.
class CancellationError : public std::runtime_error {
 public:
  CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

}  // namespace vek
