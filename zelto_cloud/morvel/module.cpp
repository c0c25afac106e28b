// zelto_cloud.morvel: the body of a cloud approval request, built from the
// SDK's approval-gate request.
#include "zelto_cloud/morvel/morvel.hpp"

#include "support/logging.hpp"
#include "support/module.hpp"

namespace zelto::morvel {
namespace {

void exec_morvel(Handle module) {
    add(module, "logger", get_logger("zelto_cloud.morvel"));
    add(module, "ZeltoCloudError", import_from("zelto_cloud.exceptions", "ZeltoCloudError"));
    add(module, "ApprovalRequestPayload", payload_class(module));
    for (const FunctionDef* def :
         {&resolve_holder_key_def, &resolve_signing_key_def, &normalize_request_hash_def,
          &extract_policy_id_def, &extract_inline_rules_def, &build_attestation_fields_def,
          &build_approval_request_payload_def}) {
        add_function(module, *def);
    }
}

} // namespace
} // namespace zelto::morvel

ZELTO_MODULE(morvel, "zelto_cloud.morvel",
             "Approval request payload builder: the body of a cloud approval request,\n"
             "built from the SDK's approval-gate request.",
             zelto::morvel::exec_morvel)
