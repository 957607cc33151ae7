// The checks an IPA passes before it is unpacked, as one process, so that the `run` script can
// time them from fork to exit and read their peak memory.
//
//   ipa_bench check IPA    inspectIPA over the file: the central directory, then every entry's
//                          local header and data, inflated into a scratch buffer; prints the
//                          number of entries and the bytes they unpack to
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "pipeline/ipa_extraction.h"

int main(int argc, char** argv) {
  using namespace vek;
  if (argc != 3 || std::string(argv[1]) != "check") {
    std::fputs("usage: ipa_bench check IPA\n", stderr);
    return 2;
  }
  try {
    const std::filesystem::path ipa = argv[2];
    const UniqueFd file = openFile(ipa, O_RDONLY);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throw SystemError("Cannot inspect", ipa, errno);
    const BuildPipeline::IpaContents contents = BuildPipeline::inspectIPA(
        [&](char* buffer, std::size_t size, std::uint64_t offset) {
          return readFullyAt(file.get(), buffer, size, static_cast<off_t>(offset), ipa);
        },
        static_cast<std::uint64_t>(status.st_size));
    std::printf("%llu entries, %llu bytes\n", static_cast<unsigned long long>(contents.entries),
                static_cast<unsigned long long>(contents.unpackedBytes));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ipa_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
