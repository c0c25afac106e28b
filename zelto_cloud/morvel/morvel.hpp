// Shared between the sources of zelto_cloud.morvel.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"

namespace zelto::morvel {

extern const FunctionDef resolve_holder_key_def;
extern const FunctionDef resolve_signing_key_def;
extern const FunctionDef normalize_request_hash_def;
extern const FunctionDef extract_policy_id_def;
extern const FunctionDef extract_inline_rules_def;
extern const FunctionDef build_attestation_fields_def;
extern const FunctionDef build_approval_request_payload_def;

// ApprovalRequestPayload, built at import; the fast paths know it as the
// module's own class from then on.
Ref payload_class(Handle module);

} // namespace zelto::morvel
