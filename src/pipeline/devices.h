// The iPhones and iPads attached to this Mac, and whether each can take an install now.
//
// devicectl is asked for its device list as a JSON file; every entry it reports is reduced to one
// flat record of ten members and everything that is not a physical iPhone or iPad with a usable
// UDID is dropped. devicectl has written two shapes of entry over time: a nested one
// ("properties" → "hardware", "state", "connection", "software") and a flat one
// ("hardwareProperties", "deviceProperties", "connectionProperties"); each member is taken from the
// nested place first and from the flat one otherwise, so both shapes, and mixtures, read alike.
//
// A device record is a JSON object with exactly these members:
//   "udid"            string, never empty
//   "core_id"         the entry's "identifier" as found (null when absent)
//   "name"            string ("" when absent)
//   "model"           the hardware block's "marketingName" as found (null when absent)
//   "product_type"    the hardware block's "productType" as found (null when absent)
//   "os"              string ("" when absent)
//   "state"           string: the connection or tunnel state ("" when absent)
//   "developer_mode"  bool
//   "available"       bool: state is "connected" or "available", and developer_mode
//   "transport"       string ("" when absent)
#pragma once

#include <string_view>

#include "foundation/json.h"

namespace vek::Devices {

/// The message `require` fails with.
inline constexpr std::string_view unavailableMessage =
    "The selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable Developer Mode, "
    "and unlock it.";

/// The device records of the attached devices, as a JSON array in devicectl's order (no sorting,
/// no de-duplication). devicectl writes its answer to a scratch file
/// "vek-devices-<UPPER-CASE UUID>.json" in the temporary directory, which is removed on every way
/// out. Throws whatever the process runner throws (devicectl missing, failing, or still running
/// after 30 seconds), SystemError when devicectl wrote no file, DecodingError when the file is not
/// JSON; never returns a partial list.
JSON list();

/// The device records in devicectl's decoded output `output` ("result" → "devices"). Never fails:
/// unexpected input gives fewer records, or none.
JSON parse(const JSON& output);

/// The first attached device whose "udid" equals `udid` and whose "available" is true. Throws
/// VEKError(unavailableMessage) when there is none, and passes `list`'s failures on unchanged.
JSON require(std::string_view udid);

}  // namespace vek::Devices
