#include "foundation/constants.h"

#ifndef VEK_DEFAULT_SERVER
#error "VEK_DEFAULT_SERVER must be set by the build"
#endif

namespace vek {

const std::string_view VEK::server = VEK_DEFAULT_SERVER;

}  // namespace vek
