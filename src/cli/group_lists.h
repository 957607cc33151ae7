// The group-wide lists of `vek projects list` and `vek devices`, made from the relay's group
// answer (GET /v1/group): one entry per Mac that is still a member, in the relay's order.
#pragma once

#include <string_view>

#include "foundation/json.h"
#include "relay_client/api.h"

namespace vek::cli {

/// For each device of `group`["devices"] that is not revoked, an object with "mac_id", "mac_name"
/// and "online" (its "id", "name" and "online") and `member` ("projects" or "phones") taken from
/// its "inventory". Values are copied as they came, whatever their kind; a missing one is null.
/// A device counts as revoked when "revoked" is true or a number whose integer part is not 0;
/// a missing "devices" array gives an empty list.
JSON groupList(const JSON& group, std::string_view member);

/// The relay's group answer (GET /v1/group), also kept as what this Mac last saw of its group for
/// shell completion (GroupCache). Throws as API::call.
JSON fetchGroup(const API& api);

}  // namespace vek::cli
