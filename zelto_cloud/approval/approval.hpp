// Shared between the sources of zelto_cloud.approval.
#pragma once

#include "support/call.hpp"
#include "support/errors.hpp"
#include "support/function.hpp"
#include "zelto_cloud/cloud_defaults.hpp"
#include "zelto_cloud/handler_checks.hpp"

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

// The handlers' one argument.
ZELTO_ARGS(HandlerArg, request);

// cloud_approval and async_cloud_approval take the same arguments: only
// api_key positionally, the rest by keyword.
ZELTO_ARGS(CloudHandlerArg, api_key, signing_key, base_url, poll_interval, timeout);
inline constexpr std::initializer_list<Param> cloud_handler_params = {
    param("api_key", "str"),
    keyword_param("signing_key", "Any", Default::None()),
    base_url_param,
    keyword_param("poll_interval", "float", Default::Real(2.0)),
    keyword_param("timeout", "float", Default::Real(300.0)),
};
static_assert(args_match<CloudHandlerArg>(cloud_handler_params));

// The final status of a resolved request in the SDK's terms: the signed
// approvals, or ApprovalDenied. frame is the handler's (request first, the
// cells above).
Ref resolve_final_status(Frame& frame, Handle denied_class, Handle request,
                         const Ref& final_response);
// A client error escaping the create-and-poll steps, in the SDK's vocabulary;
// anything else is raised again unchanged.
[[noreturn]] void translate_client_error(Frame& frame, Handle denied_class, Caught& caught);
// The handler's values, checked at its call before anything is sent (the
// factories take them unchecked), the poll interval as the handler's sleep
// takes it; the time-out in seconds.
double checked_handler_values(const Frame& frame, bool sleeps_in_thread);

extern const FunctionDef cloud_approval_def;
extern const FunctionDef async_cloud_approval_def;
extern const FunctionDef poll_until_resolved_def;
extern const FunctionDef async_poll_until_resolved_def;
extern const FunctionDef extract_signed_approvals_def;
extern const FunctionDef temporal_cloud_approval_def;

// TemporalCloudApprovalHandler, built at import.
Ref make_temporal_handler_class(Handle module);

} // namespace zelto::approval
