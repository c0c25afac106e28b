// zelto_cloud.approval: the approval handlers that bridge the SDK's approval
// gates with the cloud control plane.
#include "zelto_cloud/approval/approval.hpp"

#include "support/logging.hpp"
#include "support/module.hpp"

namespace zelto::approval {
namespace {

using Names = std::initializer_list<Literal>;

void exec_approval(Handle module) {
    for (Literal name : Names{"asyncio", "base64", "hashlib", "logging", "time"}) {
        add(module, name, import_module(name));
    }
    for (Literal name : Names{"AsyncZeltoCloudClient", "ZeltoCloudClient"}) {
        add(module, name, import_from("zelto_cloud.client", name));
    }
    for (Literal name : Names{"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError",
                              "ZeltoCloudError"}) {
        add(module, name, import_from("zelto_cloud.exceptions", name));
    }
    add(module, "build_approval_request_payload",
        import_from("zelto_cloud.morvel", "build_approval_request_payload"));
    add(module, "logger", get_logger("zelto_cloud.approval"));
    // The functions and the class, in definition order.
    add_function(module, build_temporal_idempotency_key_def);
    add_function(module, extract_temporal_heartbeat_request_id_def);
    for (const FunctionDef* def :
         {&cloud_approval_def, &async_cloud_approval_def, &poll_until_resolved_def,
          &async_poll_until_resolved_def, &extract_signed_approvals_def}) {
        add_function(module, *def);
    }
    add(module, "TemporalCloudApprovalHandler", make_temporal_handler_class(module));
    add_function(module, temporal_cloud_approval_def);
}

} // namespace
} // namespace zelto::approval

ZELTO_MODULE(approval, "zelto_cloud.approval",
             "Approval handlers that bridge the SDK's approval gates with Zelto Cloud.\n"
             "\n"
             "    from zelto_cloud import cloud_approval\n"
             "\n"
             "    handler = cloud_approval(api_key)\n",
             zelto::approval::exec_approval)
