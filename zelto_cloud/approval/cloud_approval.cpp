// The synchronous cloud approval handler: create the approval request, poll it
// until a human resolves it, and hand back the signed approvals, or raise the
// SDK's ApprovalDenied.
#include "zelto_cloud/approval/approval.hpp"

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace zelto::approval {

namespace {

Name logger_name{"logger"};
Name client_class_name{"ZeltoCloudClient"};
Name build_payload_name{"build_approval_request_payload"};
Name poll_name{"_poll_until_resolved"};
Name extract_name{"_extract_signed_approvals"};
Name denied_error_name{"ApprovalDeniedError"};
Name expired_error_name{"ApprovalExpiredError"};
Name timeout_error_name{"ApprovalTimeoutError"};
Name time_name{"time"};

[[noreturn]] void deny(Handle denied_class, Handle request, const Ref& reason) {
    raise(call(denied_class, request, kw("reason", reason)));
}

} // namespace

Ref resolve_final_status(Frame& frame, Handle denied_class, Handle request,
                         const Ref& final_response) {
    Ref status = subscript(final_response, "status");
    if (equals(status, "approved")) {
        return call(frame.global(extract_name), final_response);
    }
    if (equals(status, "denied")) {
        Ref reason = get_item(final_response, "denied_reason");
        if (!truthy(reason)) {
            reason = interned("denied in Zelto Cloud");
        }
        deny(denied_class, request, reason);
    }
    if (equals(status, "expired")) {
        deny(denied_class, request, interned("approval request expired"));
    }
    Ref reason = format("unexpected status: ", status);
    deny(denied_class, request, reason);
}

double checked_handler_values(const Frame& frame, bool sleeps_in_thread) {
    check_signing_key(frame.cell(signing_key_cell), true);
    check_pause(frame.cell(poll_interval_cell), "poll_interval", sleeps_in_thread);
    return check_seconds(frame.cell(timeout_cell), "timeout", true, true);
}

[[noreturn]] void translate_client_error(Frame& frame, Handle denied_class, Caught& caught) {
    Handle request = frame[HandlerArg::request];
    if (caught.matches(frame.global(denied_error_name)) ||
        caught.matches(frame.global(expired_error_name))) {
        Handling scope(caught);
        Ref denial = call(denied_class, request, kw("reason", py_str(caught)));
        raise_from(denial, caught);
    }
    if (caught.matches(frame.global(timeout_error_name))) {
        Handling scope(caught);
        Ref reason =
            format("timed out after ", frame.cell(timeout_cell), "s waiting for cloud approval");
        deny(denied_class, request, reason);
    }
    caught.reraise();
}

namespace {

// Where a person decides the request: ZELTO_DASHBOARD_URL when set; else the
// cloud's dashboard for the cloud's own API, or the handler's base URL for a
// self-hosted cloud, which serves its dashboard beside the API.
Ref approval_link(const Ref& base_url, const Ref& request_id) {
    Ref environ = getattr(import_module("os"), "environ");
    Ref dashboard = call_method(environ, "get", "ZELTO_DASHBOARD_URL", "");
    if (!truthy(dashboard)) {
        dashboard =
            equals(base_url, default_base_url) ? str(default_dashboard_url) : py_str(base_url);
    }
    return format(call_method(dashboard, "rstrip", "/"), "/approvals?request=", py_str(request_id));
}

Ref create_and_wait(Frame& frame, Handle denied_class, const Ref& client, const Ref& payload) {
    Handle request = frame[HandlerArg::request];
    Ref kwargs = call_method(payload, "to_create_request_kwargs");
    Ref created = call_with(getattr(client, "create_request"), Ref::steal(PyTuple_New(0)), kwargs);
    Ref request_id = subscript(created, "id");
    Ref link = approval_link(frame.cell(base_url_cell), request_id);
    Ref extra = dict_of(
        {{"request_id", request_id}, {"tool", getattr(request, "tool")}, {"approval_url", link}});
    log(frame.global(logger_name), "info", "approval request created in cloud: request %s - %s",
        request_id, link, kw("extra", extra));
    Ref final_response = call(frame.global(poll_name), client, request_id,
                              kw("poll_interval", frame.cell(poll_interval_cell)),
                              kw("timeout", frame.cell(timeout_cell)));
    return resolve_final_status(frame, denied_class, request, final_response);
}

Ref handle(Frame& frame) {
    Ref denied_class = import_from("zelto.approval", "ApprovalDenied");
    Ref deadline = begin_handler_deadline(checked_handler_values(frame, true));
    return with_finally(
        [&] {
            Ref payload = call(frame.global(build_payload_name), frame[HandlerArg::request],
                               kw("signing_key", frame.cell(signing_key_cell)));
            Ref client = call(frame.global(client_class_name), frame.cell(api_key_cell),
                              kw("base_url", frame.cell(base_url_cell)));
            return with_finally(
                [&] {
                    try {
                        return create_and_wait(frame, denied_class, client, payload);
                    } catch (const PythonError&) {
                        Caught caught;
                        translate_client_error(frame, denied_class, caught);
                    }
                },
                [&] { call_method(client, "close"); });
        },
        [&] { end_handler_deadline(deadline); });
}

constexpr FunctionDef handle_def{
    .name = "_handle",
    .params = {param("request", "Any")},
    .returns = "Union[SignedApproval, List[SignedApproval]]",
    .impl = handle,
};
static_assert(args_match<HandlerArg>(handle_def));

Ref cloud_approval(Frame& frame) {
    return make_function(handle_def, frame.globals(), "cloud_approval.<locals>._handle",
                         {frame[CloudHandlerArg::api_key], frame[CloudHandlerArg::base_url],
                          frame[CloudHandlerArg::poll_interval],
                          frame[CloudHandlerArg::signing_key], frame[CloudHandlerArg::timeout]});
}

ZELTO_ARGS(PollUntilResolvedArg, client, request_id, poll_interval, timeout);

Ref poll_until_resolved(Frame& frame) {
    Handle client = frame[PollUntilResolvedArg::client];
    Handle request_id = frame[PollUntilResolvedArg::request_id];
    Handle poll_interval = frame[PollUntilResolvedArg::poll_interval];
    Handle timeout = frame[PollUntilResolvedArg::timeout];
    Ref clock = frame.global(time_name);
    Ref start = call_method(clock, "monotonic");
    Ref deadline = within_handler_deadline(start, Ref::steal(PyNumber_Add(start.get(), timeout)));
    Ref zero = to_py(0);
    for (;;) {
        Ref response = call_method(client, "get_request", request_id);
        Ref status = get_item(response, "status", interned(""));
        Ref pending = interned("pending");
        if (check(PyObject_RichCompareBool(status.get(), pending.get(), Py_NE))) {
            return response;
        }
        Ref now = call_method(frame.global(time_name), "monotonic");
        Ref remaining = Ref::steal(PyNumber_Subtract(deadline.get(), now.get()));
        if (check(PyObject_RichCompareBool(remaining.get(), zero.get(), Py_LE))) {
            raise(call(frame.global(timeout_error_name), request_id, timeout));
        }
        bool shorter = check(PyObject_RichCompareBool(remaining.get(), poll_interval, Py_LT));
        Ref sleep_time = shorter ? remaining : Ref::borrow(poll_interval);
        Ref extra = dict_of({{"request_id", Ref::borrow(request_id)}, {"sleep", sleep_time}});
        log(frame.global(logger_name), "debug", "approval still pending, polling again",
            kw("extra", extra));
        call_method(frame.global(time_name), "sleep", sleep_time);
    }
}

} // namespace

constexpr FunctionDef cloud_approval_def{
    .name = "cloud_approval",
    .params = cloud_handler_params,
    .doc = "Create an approval handler backed by Zelto Cloud.\n"
           "\n"
           "The handler follows the SDK's ``ApprovalHandler`` protocol: give it as the\n"
           "``approval_handler`` argument of the SDK's ``guard`` decorator, or to\n"
           "``GuardBuilder.on_approval``. Each call creates an approval request in the\n"
           "cloud, polls it until a human resolves it, and returns the signed\n"
           "approval(s), or raises ``ApprovalDenied``.\n"
           "\n"
           "Args:\n"
           "    api_key: Cloud API key (or OAuth bearer credential) allowed to create\n"
           "        and poll approval requests.\n"
           "    signing_key: Optional holder ``SigningKey``; when None the holder key\n"
           "        is resolved from the active warrant context.\n"
           "    base_url: Cloud API base URL.\n"
           "    poll_interval: Seconds between status polls.\n"
           "    timeout: Maximum seconds to wait for the request to be resolved. Longer\n"
           "        values suit asynchronous, Slack or e-mail based approval flows.\n",
    .impl = cloud_approval,
};
static_assert(args_match<CloudHandlerArg>(cloud_approval_def));

constexpr FunctionDef poll_until_resolved_def{
    .name = "_poll_until_resolved",
    .params =
        {
            param("client", "ZeltoCloudClient"),
            param("request_id", "str"),
            keyword_param("poll_interval", "float"),
            keyword_param("timeout", "float"),
        },
    .returns = "Dict[str, Any]",
    .doc = "Poll the cloud API until the approval request leaves the pending status.",
    .impl = poll_until_resolved,
};
static_assert(args_match<PollUntilResolvedArg>(poll_until_resolved_def));

} // namespace zelto::approval
