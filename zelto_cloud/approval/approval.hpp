// Shared between the sources of zelto_cloud.approval.
#pragma once

#include "support/call.hpp"
#include "support/errors.hpp"
#include "support/function.hpp"
#include "zelto_cloud/cloud_defaults.hpp"

namespace zelto::approval {

extern const FunctionDef build_temporal_idempotency_key_def;
extern const FunctionDef extract_temporal_heartbeat_request_id_def;

// Closure cells of the handlers that create and poll a request, in the order a
// Python closure keeps its free variables (sorted by name).
enum Cell : size_t {
    api_key_cell,
    base_url_cell,
    poll_interval_cell,
    signing_key_cell,
    timeout_cell
};

// The final status of a resolved request in the SDK's terms: the signed
// approvals, or ApprovalDenied. frame is the handler's (request first, the
// cells above).
Ref resolve_final_status(Frame& frame, PyObject* denied_class, PyObject* request,
                         const Ref& final_response);
// A client error escaping the create-and-poll steps, in the SDK's vocabulary;
// anything else is raised again unchanged.
[[noreturn]] void translate_client_error(Frame& frame, PyObject* denied_class, Caught& caught);

extern const FunctionDef cloud_approval_def;
extern const FunctionDef async_cloud_approval_def;
extern const FunctionDef poll_until_resolved_def;
extern const FunctionDef async_poll_until_resolved_def;
extern const FunctionDef extract_signed_approvals_def;
extern const FunctionDef temporal_cloud_approval_def;

// TemporalCloudApprovalHandler, built at import.
Ref make_temporal_handler_class(PyObject* module);

} // namespace zelto::approval
