// Feeds arbitrary text, as zipinfo's listings of an IPA, to the checks that decide whether the IPA
// may be unpacked. Every entry name the check lets through is checked again, independently, by
// normalising it as a path: none may be absolute or climb above the destination.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "pipeline/ipa_extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool symlink = vek::BuildPipeline::ipaListingHasSymbolicLink(input);
  if (symlink != (input.starts_with('l') || input.find("\nl") != std::string_view::npos)) {
    std::abort();
  }
  if (!vek::BuildPipeline::ipaEntryNamesAreSafe(input)) return 0;

  std::string_view rest = input;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view name = rest.substr(0, end);
    if (!name.empty()) {
      const std::filesystem::path path(name);
      const std::filesystem::path normal = path.lexically_normal();
      if (path.is_absolute() || name.find('\\') != std::string_view::npos ||
          (!normal.empty() && *normal.begin() == "..")) {
        std::abort();
      }
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return 0;
}
