// How `vek` hands over its result and its error, and why a result that did not arrive is a failure.
//
// A result that could not be written (a full disk, a reader that went away, a closed descriptor)
// must not end in exit status 0: `vek group invite > file` spends a single-use invite, and a
// script would take an empty file for success. So SIGPIPE is ignored, turning a reader that went
// away into EPIPE here instead of a silent death, and the result is written and checked in full.
//
// A standard descriptor that was closed when the program started is taken by /dev/null opened
// read-only: no file the command opens can then get its number and receive the result by mistake,
// and writing to it still fails (EBADF) as writing to the closed descriptor would have.
#pragma once

#include <string_view>

namespace vek::cli {

/// Ignores SIGPIPE and occupies closed standard descriptors as described above. Called first in
/// main, before any file is opened.
void prepareStandardStreams();

/// Writes `text` and a line break to standard output, all of it. Throws SystemError ("Cannot
/// write standard output: " + the system's reason) when that fails.
void writeResult(std::string_view text);

/// Writes `text` and a line break to standard error as far as it goes; a failure is ignored, as
/// there is nowhere left to report it.
void writeError(std::string_view text) noexcept;

}  // namespace vek::cli
