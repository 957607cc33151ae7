// Arbitrary command lines for vek's argument parser: the input is split at NUL bytes into
// arguments. Parsing either succeeds or fails with the system's own error, and so does reading
// the time-out from whatever it parsed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "foundation/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[i]);
    }
  }
  try {
    vek::cli::Arguments arguments(words);
    (void)arguments.positionalAt(1);
    (void)vek::cli::timeout(arguments);
  } catch (const vek::VEKError&) {
  }
  return 0;
}
