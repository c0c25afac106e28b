// Shared between the sources of zelto_cloud.langgraph.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"

namespace zelto::langgraph {

// The package's defaults (zelto_cloud.client.DEFAULT_BASE_URL and
// DEFAULT_DASHBOARD_URL).
inline constexpr const char* default_base_url = "https://api.zelto.cloud";
inline constexpr const char* default_dashboard_url = "https://app.zelto.cloud";

extern const FunctionDef langgraph_cloud_approval_def;
extern const FunctionDef get_idempotency_key_def;
extern const FunctionDef auto_approval_handler_def;

extern const FunctionDef is_denial_tool_message_def;
extern const FunctionDef observe_or_result_def;
extern const FunctionDef observe_or_result_async_def;
extern const FunctionDef make_cloud_middleware_class_def;
extern const FunctionDef make_cloud_tool_node_class_def;

} // namespace zelto::langgraph
