// `vek-relay copy-database`: moving a relay from SQLite to PostgreSQL.
#pragma once

#include <functional>
#include <string>

#include "relay_server/config.h"

namespace vek::relay_server {

/// Copies the relay state in the SQLite database `copy.from` into the PostgreSQL database
/// `copy.to`, creating the schema there, in one transaction that commits only when every table
/// holds as many rows as in the source. `progress` gets one line per table. Throws VEKError when
/// a relay is running on the source, when the target already holds relay data or when a count
/// differs (the target is then left as it was), StoreError when either database fails.
void copyDatabase(const CopyDatabase& copy,
                  const std::function<void(const std::string&)>& progress);

}  // namespace vek::relay_server
