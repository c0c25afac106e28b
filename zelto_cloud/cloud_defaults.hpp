// The cloud's default addresses, shared by the modules that talk to it; they
// match zelto_cloud.client.DEFAULT_BASE_URL and DEFAULT_DASHBOARD_URL.
#pragma once

namespace zelto {

inline constexpr const char* default_base_url = "https://api.zelto.cloud";
inline constexpr const char* default_dashboard_url = "https://app.zelto.cloud";

} // namespace zelto
