// zelto_cloud.langgraph: LangGraph agents whose approval gates are resolved by
// people through Zelto Cloud.
#include "zelto_cloud/langgraph/langgraph.hpp"

#include "support/logging.hpp"
#include "support/module.hpp"

namespace zelto::langgraph {
namespace {

void exec_langgraph(Handle module) {
    for (Literal name : std::initializer_list<Literal>{"asyncio", "logging", "os"}) {
        add(module, name, import_module(name));
    }
    for (Literal name : std::initializer_list<Literal>{"Any", "List", "Optional", "Union"}) {
        add(module, name, import_from("typing", name));
    }
    add(module, "build_approval_request_payload",
        import_from("zelto_cloud.morvel", "build_approval_request_payload"));
    add(module, "AsyncZeltoCloudClient",
        import_from("zelto_cloud.client", "AsyncZeltoCloudClient"));
    add(module, "observe_first_from_env",
        import_from("zelto_cloud.enforcement", "observe_first_from_env"));
    for (Literal name : std::initializer_list<Literal>{
             "ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError"}) {
        add(module, name, import_from("zelto_cloud.exceptions", name));
    }
    add(module, "logger", get_logger("zelto_cloud.langgraph"));
    for (const FunctionDef* def :
         {&langgraph_cloud_approval_def, &get_idempotency_key_def, &auto_approval_handler_def,
          &make_cloud_middleware_class_def, &make_cloud_tool_node_class_def,
          &is_denial_tool_message_def, &observe_or_result_def, &observe_or_result_async_def}) {
        add_function(module, *def);
    }
    PyObject* globals = PyModule_GetDict(module);
    add(module, "ZeltoMiddleware", call(global(globals, "_make_cloud_middleware_class")));
    add(module, "ZeltoToolNode", call(global(globals, "_make_cloud_tool_node_class")));
}

} // namespace
} // namespace zelto::langgraph

ZELTO_MODULE(langgraph, "zelto_cloud.langgraph",
             "LangGraph integration for Zelto Cloud approvals.\n"
             "\n"
             "Migrating from the SDK is a change of import line::\n"
             "\n"
             "    # from zelto.langgraph import ZeltoMiddleware, ZeltoToolNode\n"
             "    from zelto_cloud.langgraph import ZeltoMiddleware, ZeltoToolNode\n"
             "\n"
             "With ``ZELTO_API_KEY`` in the environment (or an API key passed\n"
             "explicitly), approval gates are resolved by people through Zelto Cloud;\n"
             "without one the classes behave like the SDK's.\n"
             "\n"
             "``langgraph_cloud_approval`` remains for callers who want explicit\n"
             "control of the handler's configuration::\n"
             "\n"
             "    handler = langgraph_cloud_approval(api_key, timeout=600)\n"
             "    middleware = ZeltoMiddleware(approval_handler=handler)\n",
             zelto::langgraph::exec_langgraph)
