// Measures what running a tool through ProcessRunner costs, against baselines taken in the same
// process and the same run:
//
//   overhead  per-run time of ProcessRunner::run on /bin/true, against a bare posix_spawn +
//             waitpid of /bin/true. The two loops alternate in rounds so that machine noise hits
//             both alike; the medians of the rounds are compared.
//   memory    peak resident memory of this process while a tool writes 1 GiB to standard output
//             through `run` with a transcript, against the peak before that run. Captures and the
//             log go to a private temporary directory that is removed afterwards.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/process_runner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsPerRun(Clock::duration elapsed, int runs) {
  return std::chrono::duration<double, std::micro>(elapsed).count() / runs;
}

void bareSpawn() {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) std::abort();
  int status;
  while (waitpid(pid, &status, 0) < 0) {
  }
}

void runnerSpawn() {
  vek::ProcessRunner::run({.executable = "/bin/true", .timeout = 30});
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long peakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int overhead(int rounds, int runs) {
  for (int i = 0; i < 50; ++i) {
    bareSpawn();
    runnerSpawn();
  }
  std::vector<double> bare, runner;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    for (int i = 0; i < runs; ++i)
      bareSpawn();
    bare.push_back(microsecondsPerRun(Clock::now() - start, runs));
    start = Clock::now();
    for (int i = 0; i < runs; ++i)
      runnerSpawn();
    runner.push_back(microsecondsPerRun(Clock::now() - start, runs));
  }
  double b = median(bare), r = median(runner);
  std::printf("bare posix_spawn + waitpid of /bin/true   median %8.1f us per run   (baseline)\n",
              b);
  std::printf(
      "ProcessRunner::run of /bin/true          median %8.1f us per run   (+%.1f us, %.2fx; "
      "target: under 2x)\n",
      r, r - b, r / b);
  std::printf("  %d rounds of %d runs each, alternating\n", rounds, runs);
  return 0;
}

int memory() {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "vek-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  fs::path scratch = pattern;
  setenv("TMPDIR", scratch.c_str(), 1);
  fs::path log = scratch / "build.log";

  runnerSpawn();  // the runner's own code and buffers are in the baseline
  long before = peakKiB();
  auto start = Clock::now();
  vek::ProcessResult result =
      vek::ProcessRunner::run({.executable = "/usr/bin/head",
                               .arguments = {"-c", "1073741824", "/dev/zero"},
                               .log = log,
                               .timeout = 600});
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  long after = peakKiB();
  std::uintmax_t logged = fs::file_size(log);
  std::size_t kept = result.output.size();
  fs::remove_all(scratch);

  std::printf("peak RSS before the run                  %8.1f MiB   (baseline)\n", before / 1024.0);
  std::printf(
      "peak RSS after 1 GiB through run + log   %8.1f MiB   (+%.1f MiB; target: under "
      "24 MiB)\n",
      after / 1024.0, (after - before) / 1024.0);
  std::printf("  log %ju bytes, output kept %zu bytes, %.1f s\n", logged, kept, seconds);
  bool complete = logged == (1u << 30) + std::string("\n$ head -c 1073741824 /dev/zero\n").size() &&
                  kept == (8u << 20);
  if (!complete) std::printf("  UNEXPECTED: the log or the kept output has the wrong size\n");
  return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "overhead") {
    int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    int runs = argc > 3 ? std::atoi(argv[3]) : 100;
    return overhead(rounds, runs);
  }
  if (mode == "memory") return memory();
  std::fprintf(stderr, "usage: %s overhead [ROUNDS RUNS] | memory\n", argv[0]);
  return 2;
}
