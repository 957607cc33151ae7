#include "relay_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "test_support.h"

namespace vek::testing {

namespace {

std::string slurp(const std::filesystem::path& file) {
  return readText(file);
}

}  // namespace

RelayProcess::RelayProcess(std::vector<std::string> arguments)
    : data_(root_ / "data"), arguments_(std::move(arguments)) {}

RelayProcess::~RelayProcess() {
  // Every test ends with a clean stop: a relay that cannot stop cleanly, or that reported a
  // sanitizer finding (sanitizer builds), fails the test that ran it.
  if (pid_ > 0) {
    int status = stop();
    std::string report = errors();
    if (status != 0 || report.find("Sanitizer") != std::string::npos ||
        report.find("runtime error") != std::string::npos) {
      ADD_FAILURE() << "vek-relay ended with status " << status << ":\n" << report;
    }
  }
}

void RelayProcess::start() {
  ++starts_;
  // Output goes to files, never to a pipe nobody drains.
  std::filesystem::path out = root_ / ("stdout-" + std::to_string(starts_));
  std::filesystem::path err = root_ / ("stderr-" + std::to_string(starts_));
  const std::string program = (programDirectory() / "vek-relay").string();
  // A restart listens on the port of the first start, so clients keep their origin.
  std::vector<std::string> argv = {program, "--listen", "127.0.0.1:" + std::to_string(port_),
                                   "--data", data_.string()};
  argv.insert(argv.end(), arguments_.begin(), arguments_.end());
  std::vector<char*> pointers;
  for (auto& argument : argv)
    pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  // fork + exec rather than posix_spawn: the child asks to be killed when the test process dies,
  // so a crashing test never leaves relays behind.
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("Cannot fork");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    if (limited_ && ::setrlimit(RLIMIT_NOFILE, &descriptors_) != 0) ::_exit(127);
    ::execv(program.c_str(), pointers.data());
    ::_exit(127);
  }

  // Wait for the start line; a loaded machine may take a while, so only an exit ends the wait.
  std::regex listening("listening on (https?)://127\\.0\\.0\\.1:([0-9]+)");
  for (int attempt = 0; attempt < 6000; ++attempt) {
    std::smatch match;
    std::string text = slurp(out);
    if (std::regex_search(text, match, listening)) {
      scheme_ = match[1];
      port_ = std::stoi(match[2]);
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("vek-relay exited at start: " + slurp(err));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("vek-relay did not report its port");
}

int RelayProcess::stop() {
  ::kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void RelayProcess::kill() {
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string RelayProcess::output() const {
  return slurp(root_ / ("stdout-" + std::to_string(starts_)));
}

std::string RelayProcess::errors() const {
  return slurp(root_ / ("stderr-" + std::to_string(starts_)));
}

std::string RelayProcess::bootstrapToken() const {
  return text::trim(slurp(data_ / "bootstrap-token"));
}

int RelayProcess::metricsPort() const {
  std::smatch match;
  std::string text = output();
  if (!std::regex_search(text, match,
                         std::regex("metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics"))) {
    return 0;
  }
  return std::stoi(match[1]);
}

std::optional<double> RelayProcess::metric(const std::string& series) const {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("Cannot open a socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(metricsPort()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n";
    if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  std::istringstream lines(answer.substr(std::min(answer.size(), answer.find("\r\n\r\n"))));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(series + " ")) return std::stod(line.substr(series.size() + 1));
  }
  return std::nullopt;
}

}  // namespace vek::testing
