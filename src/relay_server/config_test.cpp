// The command line of vek-relay.
#include "relay_server/config.h"

#include <gtest/gtest.h>

#include <map>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "relay_server/relay.h"
#include "relay_server/requests.h"
#include "test_support.h"

namespace vek::relay_server {
namespace {

Config parse(std::vector<std::string> arguments,
             std::map<std::string, std::string> env = {{"HOME", "/home/admin"}}) {
  return parseCommandLine(arguments,
                          [&env](const char* name) -> std::optional<std::string> {
                            auto found = env.find(name);
                            if (found == env.end()) return std::nullopt;
                            return found->second;
                          })
      .config;
}

std::string failure(std::vector<std::string> arguments) {
  try {
    parse(arguments);
    return "";
  } catch (const VEKError& error) {
    return error.message();
  }
}

TEST(CommandLine, DefaultsFollowTheXDGLayout) {
  Config config = parse({});
  EXPECT_EQ(config.listenHost, "127.0.0.1");
  EXPECT_EQ(config.listenPort, 8787);
  EXPECT_EQ(config.dataDirectory, "/home/admin/.local/share/vek-relay");
  EXPECT_EQ(config.maxArtifactBytes, 8ull << 30);
  EXPECT_EQ(parse({}, {{"HOME", "/h"}, {"XDG_DATA_HOME", "/xdg"}}).dataDirectory, "/xdg/vek-relay");
  // A relative XDG_DATA_HOME is invalid and ignored.
  EXPECT_EQ(parse({}, {{"HOME", "/h"}, {"XDG_DATA_HOME", "rel"}}).dataDirectory,
            "/h/.local/share/vek-relay");
  EXPECT_THROW(parse({}, {}), VEKError);
  EXPECT_EQ(parse({"--data", "/d"}, {}).dataDirectory, "/d");
}

TEST(CommandLine, ListenAcceptsIPv4AndBracketedIPv6) {
  Config v6 = parse({"--listen=[::1]:0"});
  EXPECT_EQ(v6.listenHost, "::1");
  EXPECT_EQ(v6.listenPort, 0);
  Config any = parse({"--listen", "0.0.0.0:443"});
  EXPECT_EQ(any.listenHost, "0.0.0.0");
  EXPECT_EQ(any.listenPort, 443);
  EXPECT_EQ(parse({"--listen", "localhost:1"}).listenHost, "127.0.0.1");
  for (std::string bad :
       std::vector<std::string>{"127.0.0.1", "127.0.0.1:65536", "relay.example.com:80", "::1:80",
                                "[::1]80", "127.0.0.1:-1", ":80"}) {
    EXPECT_NE(failure({"--listen", bad}), "") << bad;
  }
}

TEST(CommandLine, MetricsListenerIsOffUnlessAskedFor) {
  EXPECT_FALSE(parse({}).metricsHost.has_value());
  Config config = parse({"--metrics-listen", "[::1]:9464", "--listen", "0.0.0.0:8787"});
  EXPECT_EQ(config.metricsHost, "::1");
  EXPECT_EQ(config.metricsPort, 9464);
  EXPECT_EQ(config.listenHost, "0.0.0.0");
  EXPECT_EQ(config.listenPort, 8787);
  EXPECT_NE(failure({"--metrics-listen", "metrics.example:9464"}).find("--metrics-listen needs"),
            std::string::npos);
  EXPECT_NE(failure({"--metrics-listen", "9464"}).find("--metrics-listen must"), std::string::npos);
}

// The manual page is written by hand; an option added to the program must not be missing there.
TEST(CommandLine, TheManualPageDescribesEveryOption) {
  std::string page = readFile(testing::sourceDirectory() / "docs/man/vek-relay.8.scd");
  std::string help = helpText();
  for (std::size_t at = help.find("  --"); at != std::string::npos;
       at = help.find("  --", at + 1)) {
    std::string option = help.substr(at + 2, help.find_first_of(" \n", at + 2) - at - 2);
    EXPECT_NE(page.find("*" + option + "*"), std::string::npos) << option;
  }
}

TEST(CommandLine, RefusesWhatItCannotHonour) {
  EXPECT_NE(failure({"--tls-cert", "c.pem"}).find("together"), std::string::npos);
  EXPECT_NE(failure({"--max-artifact-bytes", "0"}).find("--max-artifact-bytes"), std::string::npos);
  EXPECT_NE(failure({"--max-artifact-bytes", "12abc"}), "");
  EXPECT_NE(failure({"--lease-seconds", "0"}), "");
  EXPECT_NE(failure({"--frobnicate"}).find("Unknown option --frobnicate"), std::string::npos);
  EXPECT_NE(failure({"--data"}).find("needs a value"), std::string::npos);
  EXPECT_NE(failure({"stray"}), "");
  EXPECT_NE(failure({"--max-connections", "0"}).find("--max-connections"), std::string::npos);
  Config config = parse({"--lease-seconds", "2", "--sweep-seconds=1", "--max-artifact-bytes", "10",
                         "--max-connections=500"});
  EXPECT_EQ(parse({}).maxConnections, std::nullopt);
  EXPECT_EQ(config.maxConnections, 500u);
  EXPECT_EQ(config.leaseDuration.count(), 2);
  EXPECT_EQ(config.sweepInterval.count(), 1);
  EXPECT_EQ(config.maxArtifactBytes, 10u);
}

TEST(CommandLine, JobRetentionIsCountedInDays) {
  EXPECT_EQ(parse({}).jobRetention, std::chrono::hours(30 * 24));
  EXPECT_EQ(parse({"--job-retention-days", "2"}).jobRetention, std::chrono::hours(48));
  EXPECT_NE(failure({"--job-retention-days", "0"}).find("--job-retention-days"), std::string::npos);
  EXPECT_NE(failure({"--job-retention-days", "36501"}), "");
}

// Operators learn the relay's limits from --help; it must name the ones the relay enforces.
TEST(CommandLine, HelpStatesTheLimitsTheRelayEnforces) {
  std::string help = helpText();
  for (std::string stated :
       {"newest " + std::to_string(kJobListLimit) + " jobs",
        "at most " + std::to_string(kMaxEventsPerJob) + " progress messages",
        std::to_string(kMaxInventoryBytes / 1024) + " KiB",
        std::to_string(kMaxStoredJsonDepth) + " levels",
        "(default " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::hours>(Config{}.jobRetention).count() /
                24) +
            ")"}) {
    EXPECT_NE(help.find(stated), std::string::npos) << stated;
  }
}

}  // namespace
}  // namespace vek::relay_server
