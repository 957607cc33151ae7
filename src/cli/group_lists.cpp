#include "cli/group_lists.h"

#include <string>

#include "relay_client/group_cache.h"

namespace vek::cli {

namespace {

// The relay sends 0 or 1; older relays sent a boolean. Both are honoured.
bool revoked(const JSON& device) {
  const JSON& value = device["revoked"];
  return value.flag() || (value.isNumber() && value.integer() != 0);
}

}  // namespace

JSON groupList(const JSON& group, std::string_view member) {
  JSON list = JSON::array();
  for (const JSON& device : group["devices"].items()) {
    if (revoked(device)) continue;
    list.push(JSON::object({{"mac_id", device["id"]},
                            {"mac_name", device["name"]},
                            {"online", device["online"]},
                            {std::string(member), device["inventory"][member]}}));
  }
  return list;
}

JSON fetchGroup(const API& api) {
  JSON group = api.call("GET", "/v1/group");
  GroupCache::remember(group);
  return group;
}

}  // namespace vek::cli
