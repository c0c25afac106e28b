// Shared between the sources of zelto_cloud.enforcement.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"

namespace zelto::enforcement {

extern const FunctionDef observe_first_from_env_def;

} // namespace zelto::enforcement
