// How many client connections the relay keeps open at once.
//
// Every connection holds a descriptor, and so do the database (with its WAL and shared-memory
// files), the listeners, the lock file and every build being uploaded or downloaded. A relay that
// accepted connections until the descriptors ran out could then open neither the database nor a
// build, and could accept no member either. So the relay first raises its soft descriptor limit
// to the hard one (the soft default of 1024 is a relic of select(2), which the relay does not
// use), then keeps a reserve of it for its own files: 64 descriptors plus an eighth of the limit
// for builds in transfer. The rest, at most kDefaultConnectionCeiling, is the default cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vek::relay_server {

/// Descriptors never given to connections, whatever cap is asked for.
inline constexpr std::uint64_t kReservedDescriptors = 64;
/// The highest default cap: idle connections cost memory too.
inline constexpr std::size_t kDefaultConnectionCeiling = 65536;

/// Raises this process's soft limit on open descriptors to its hard limit, as far as the system
/// allows. Returns the soft limit in force afterwards.
std::uint64_t raiseDescriptorLimit();

/// The cap on open connections for a process that may open `descriptors` files: `requested`
/// when given, else the default derived above. Throws VEKError when `requested` leaves fewer
/// than kReservedDescriptors for the relay's own files.
std::size_t connectionLimit(std::optional<std::size_t> requested, std::uint64_t descriptors);

}  // namespace vek::relay_server
