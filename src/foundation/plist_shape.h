// The shape check every property list passes before libplist parses it.
//
// libplist 2.2 parses an element inside another by recursing, and rebuilds a binary list's object
// once per reference to it: a deep document exhausts the stack and a binary one whose arrays refer
// twice to the next array doubles its size at every level. Neither is rejected by the library, so
// these checks bound both before it runs. They only look at structure; whether the document is a
// valid property list is still libplist's to judge.
#pragma once

#include <cstddef>
#include <string_view>

namespace vek::plist_shape {

/// True when `bytes` start with the binary property-list magic, as libplist decides.
bool isBinary(std::string_view bytes) noexcept;

/// Throws DecodingError when the XML text holds a NUL character (which XML does not allow, and
/// which makes libplist 2.2 abort on a key) or nests elements deeper than `maxDepth`. Counts over
/// rather than under: every start tag opens a level, wherever it stands (inside a comment too),
/// and only end tags outside comments, processing instructions, DOCTYPE declarations and CDATA
/// sections close one.
void checkXML(std::string_view bytes, std::size_t maxDepth);

/// Throws DecodingError when the binary list's object table cannot be walked (offsets or
/// references out of bounds), when objects refer to themselves in a cycle, when a dictionary key
/// is not a string or holds a NUL character, or when the top object nests deeper than `maxDepth`
/// or expands to more than `maxValues` values.
void checkBinary(std::string_view bytes, std::size_t maxDepth, std::size_t maxValues);

}  // namespace vek::plist_shape
