// The cloud's default addresses, shared by the modules that talk to it; they
// match zelto_cloud.client.DEFAULT_BASE_URL and DEFAULT_DASHBOARD_URL. And
// the parameters that carry them.
#pragma once

#include "support/function.hpp"

namespace zelto {

inline constexpr const char* default_base_url = "https://api.zelto.cloud";
inline constexpr const char* default_dashboard_url = "https://app.zelto.cloud";

// Parameters that several entry points take, with the same defaults.
inline constexpr Param base_url_param =
    keyword_param("base_url", "str", Default::Text(default_base_url));
inline constexpr Param fast_poll_seconds_param =
    keyword_param("fast_poll_seconds", "float", Default::Real(2.0));
inline constexpr Param fast_poll_attempts_param =
    keyword_param("fast_poll_attempts", "int", Default::Integer(3));

} // namespace zelto
