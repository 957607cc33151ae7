// vek-artifact: the artifact and package operations as a command, for scripts, benchmarks and
// looking inside a build by hand. Same conventions as `vek`: a result is one pretty JSON document
// on standard output with exit status 0; any failure is {"error" : message} on standard error
// with exit status 1.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "artifacts/artifact_crypto.h"
#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/json.h"
#include "foundation/text.h"

namespace vek {
namespace {

constexpr const char* help =
    "vek-artifact — encrypted builds and build packages.\n"
    "\n"
    "vek-artifact newkey                  # a new group key\n"
    "vek-artifact encrypt IN OUT --key-file KEY_FILE --job JOB_ID\n"
    "vek-artifact decrypt IN OUT --key-file KEY_FILE --job JOB_ID\n"
    "vek-artifact pack IPA MANIFEST.json OUT\n"
    "vek-artifact unpack PACKAGE IPA_OUT  # prints the manifest\n"
    "vek-artifact sha256 FILE\n"
    "\n"
    "KEY_FILE holds the group key in standard Base64 (32 bytes); - reads it from standard\n"
    "input. --key KEY gives the key itself, but a command line is visible to other users of\n"
    "this machine (ps) and stays in shell history: prefer --key-file.\n"
    "Files are written with mode 0600. A failed decrypt leaves no output file.";

// A key file holds 44 characters of Base64 and perhaps a line break; anything much larger is
// not a key file, and is refused without reading it all.
constexpr std::size_t maxKeyFileSize = 4096;

// A manifest file may be pretty-printed, so it can be larger than the compact form the package
// holds; anything beyond this bound cannot shrink below 1 MiB and is refused without reading it.
constexpr std::size_t maxManifestFileSize = 16 * 1024 * 1024;

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;

  Arguments(int argc, char** argv) {
    static const std::set<std::string> flagNames = {"--help", "--version"};
    static const std::set<std::string> valueNames = {"--key", "--key-file", "--job"};
    for (int i = 1; i < argc; ++i) {
      std::string argument = argv[i];
      if (flagNames.contains(argument)) {
        flags.insert(argument);
      } else if (valueNames.contains(argument)) {
        if (i + 1 == argc || std::string_view(argv[i + 1]).starts_with("--")) {
          throw VEKError("Missing value for " + argument);
        }
        values[argument] = argv[++i];
      } else if (argument.starts_with("-")) {
        throw VEKError("Unknown option: " + argument);
      } else {
        positional.push_back(argument);
      }
    }
  }

  const std::string& require(const std::string& option) const {
    auto found = values.find(option);
    if (found == values.end() || found->second.empty()) {
      throw VEKError("Required option: " + option);
    }
    return found->second;
  }
};

// The group key from --key-file (a file, or standard input for "-") or --key, exactly one of them.
std::string groupKey(const Arguments& arguments) {
  auto file = arguments.values.find("--key-file");
  if (file == arguments.values.end()) {
    if (!arguments.values.contains("--key")) throw VEKError("Required option: --key-file");
    return arguments.require("--key");
  }
  if (arguments.values.contains("--key"))
    throw VEKError("Give the key with --key-file or --key, not both");
  const bool standardInput = file->second == "-";
  UniqueFd opened;
  int fd = STDIN_FILENO;
  if (!standardInput) {
    opened = openFile(file->second, O_RDONLY);
    fd = opened.get();
  }
  const std::string name = standardInput ? std::string("standard input") : file->second;
  std::string text;
  char piece[1024];
  while (std::size_t size = readFully(fd, piece, sizeof piece, name)) {
    text.append(piece, size);
    if (text.size() > maxKeyFileSize)
      throw VEKError("The key file " + name + " holds more than a key");
  }
  return text::trim(text);
}

JSON written(const std::filesystem::path& path) {
  return JSON::object({{"output", path.string()},
                       {"size", static_cast<std::uint64_t>(std::filesystem::file_size(path))}});
}

JSON readManifest(const std::filesystem::path& path) {
  UniqueFd fd = openFile(path, O_RDONLY);
  std::string text;
  char piece[65536];
  while (std::size_t size = readFully(fd.get(), piece, sizeof piece, path)) {
    text.append(piece, size);
    if (text.size() > maxManifestFileSize) throw VEKError("Manifest too large");
  }
  return JSON::decode(text);
}

JSON execute(const Arguments& arguments) {
  const auto& p = arguments.positional;
  const std::string& command = p.front();
  auto expect = [&](std::size_t count, const char* usage) {
    if (p.size() != count + 1) throw VEKError(std::string("Usage: vek-artifact ") + usage);
  };
  if (command == "newkey") {
    expect(0, "newkey");
    return JSON::object({{"key", ArtifactCrypto::newKey()}});
  }
  if (command == "encrypt" || command == "decrypt") {
    expect(2, command == "encrypt" ? "encrypt IN OUT --key-file KEY_FILE --job JOB_ID"
                                   : "decrypt IN OUT --key-file KEY_FILE --job JOB_ID");
    const std::string key = groupKey(arguments);
    const std::string& job = arguments.require("--job");
    if (command == "encrypt") {
      ArtifactCrypto::encrypt(p[1], p[2], key, job);
    } else {
      ArtifactCrypto::decrypt(p[1], p[2], key, job);
    }
    return written(p[2]);
  }
  if (command == "pack") {
    expect(3, "pack IPA MANIFEST.json OUT");
    ArtifactCrypto::package(p[1], readManifest(p[2]), p[3]);
    return written(p[3]);
  }
  if (command == "unpack") {
    expect(2, "unpack PACKAGE IPA_OUT");
    return ArtifactCrypto::unpack(p[1], p[2]);
  }
  if (command == "sha256") {
    expect(1, "sha256 FILE");
    return JSON::object({{"sha256", ArtifactCrypto::sha256(p[1])}});
  }
  throw VEKError("Unknown command. Run vek-artifact --help.");
}

int run(int argc, char** argv) {
  try {
    Arguments arguments(argc, argv);
    if (arguments.flags.contains("--version")) {
      std::printf("%s\n", std::string(VEK::version).c_str());
      return 0;
    }
    if (arguments.flags.contains("--help") || arguments.positional.empty()) {
      std::printf("%s\n", help);
      return 0;
    }
    std::string result = execute(arguments).pretty() + "\n";
    std::fwrite(result.data(), 1, result.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const std::exception& error) {
    std::string report = JSON::object({{"error", error.what()}}).pretty() + "\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    return 1;
  }
}

}  // namespace
}  // namespace vek

int main(int argc, char** argv) {
  return vek::run(argc, argv);
}
