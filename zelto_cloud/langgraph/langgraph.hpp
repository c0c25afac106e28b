// Shared between the sources of zelto_cloud.langgraph.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"
#include "zelto_cloud/cloud_defaults.hpp"

namespace zelto::langgraph {

extern const FunctionDef langgraph_cloud_approval_def;
extern const FunctionDef get_idempotency_key_def;
extern const FunctionDef auto_approval_handler_def;

extern const FunctionDef is_denial_tool_message_def;
extern const FunctionDef observe_or_result_def;
extern const FunctionDef observe_or_result_async_def;
extern const FunctionDef make_cloud_middleware_class_def;

// _observe_or_result_async's work up to its one await, for a frame bound to
// that function: the result as it stands, or the rerun's outcome and whether
// it is a coroutine to await. The middleware's hook runs it in place while
// the module global is still the module's own function.
struct Observed {
    Ref value;
    bool awaitable;
};
Observed observe_step(const Frame& frame);
extern const FunctionDef make_cloud_tool_node_class_def;

} // namespace zelto::langgraph
