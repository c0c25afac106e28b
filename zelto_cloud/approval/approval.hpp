// Shared between the sources of zelto_cloud.approval.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"
#include "zelto_cloud/cloud_defaults.hpp"

namespace zelto::approval {

extern const FunctionDef build_temporal_idempotency_key_def;
extern const FunctionDef extract_temporal_heartbeat_request_id_def;
extern const FunctionDef cloud_approval_def;
extern const FunctionDef poll_until_resolved_def;
extern const FunctionDef extract_signed_approvals_def;
extern const FunctionDef temporal_cloud_approval_def;

// TemporalCloudApprovalHandler, built at import.
Ref make_temporal_handler_class(PyObject* module);

} // namespace zelto::approval
