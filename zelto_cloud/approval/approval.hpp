// Shared between the sources of zelto_cloud.approval.
#pragma once

#include "support/call.hpp"
#include "support/errors.hpp"
#include "support/function.hpp"

namespace zelto::approval {

// The package's default cloud API base URL (zelto_cloud.client.DEFAULT_BASE_URL).
inline constexpr const char* default_base_url = "https://api.zelto.cloud";

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

} // namespace zelto::approval
