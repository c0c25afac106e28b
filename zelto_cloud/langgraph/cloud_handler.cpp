// The asynchronous approval handler that LangGraph agents install: create the
// cloud approval request, log the dashboard link, poll on the caller's event
// loop until a human resolves it, and hand back the signed approvals, or
// raise the SDK's ApprovalDenied.
#include "zelto_cloud/langgraph/langgraph.hpp"

#include "zelto_cloud/handler_checks.hpp"

#include "support/coroutine.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

#include <optional>

namespace zelto::langgraph {

namespace {

Name asyncio_name{"asyncio"};
Name logger_name{"logger"};
Name client_class_name{"AsyncZeltoCloudClient"};
Name build_payload_name{"build_approval_request_payload"};
Name idempotency_key_name{"_get_idempotency_key"};
Name handler_factory_name{"langgraph_cloud_approval"};
Name denied_error_name{"ApprovalDeniedError"};
Name expired_error_name{"ApprovalExpiredError"};
Name timeout_error_name{"ApprovalTimeoutError"};

// Closure cells of _handle, in the order a Python closure keeps its free
// variables (sorted by name).
enum Cell : size_t {
    dashboard_url_cell,
    extract_cell,
    timeout_cell,
    api_key_cell,
    base_url_cell,
    poll_interval_cell,
    signing_key_cell,
};

Ref timeout_message(const Frame& frame) {
    Ref seconds = Ref::steal(PyObject_Repr(frame.cell(timeout_cell).get()));
    return format("timed out after ", seconds,
                  "s waiting for cloud approval. Increase via "
                  "langgraph_cloud_approval(timeout=...) or ZELTO_APPROVAL_TIMEOUT env var.");
}

[[noreturn]] void deny(Handle denied_class, Handle request, const Ref& reason) {
    raise(call(denied_class, request, kw("reason", reason)));
}

// What `f(**kwargs)` accepts: a dict as it is, any other mapping copied into one.
Ref keyword_dict(const Ref& kwargs) {
    if (PyDict_CheckExact(kwargs.get())) {
        return kwargs;
    }
    Ref copy = Ref::steal(PyDict_New());
    if (PyDict_Update(copy.get(), kwargs.get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(kwargs.get())->tp_name);
        }
        throw_error();
    }
    return copy;
}

// The approval handler's one argument (its frame is the one the helpers
// below are given).
ZELTO_ARGS(HandlerArg, request);

// Client errors in the SDK's vocabulary; anything else unchanged.
[[noreturn]] void translate(const Frame& frame, Handle denied_class, Caught& caught) {
    Handle request = frame[HandlerArg::request];
    if (caught.matches(frame.global(denied_error_name)) ||
        caught.matches(frame.global(expired_error_name))) {
        Handling scope(caught);
        raise_from(call(denied_class, request, kw("reason", py_str(caught))), caught);
    }
    if (caught.matches(frame.global(timeout_error_name))) {
        Handling scope(caught);
        deny(denied_class, request, timeout_message(frame));
    }
    caught.reraise();
}

// Create the request, log its link, and poll until it is resolved or the
// deadline passes; the result of the extraction, or ApprovalDenied.
Task wait_for_decision(const Frame& frame, Ref denied_class, Ref client, Ref payload) {
    Handle request = frame[HandlerArg::request];
    Ref kwargs = keyword_dict(call_method(payload, "to_create_request_kwargs"));
    Ref create = call_with(getattr(client, "create_request"), Ref::steal(PyTuple_New(0)), kwargs);
    Ref created = co_await awaiting(create);
    Ref request_id = subscript(created, "id");
    Ref link = concat(
        {frame.cell(dashboard_url_cell), interned("/approvals?request="), py_str(request_id)});
    log(frame.global(logger_name), "info", "approval gate for '%s' - request %s - %s",
        getattr(request, "tool"), request_id, link);

    Ref loop = call_method(frame.global(asyncio_name), "get_running_loop");
    Ref start = call_method(loop, "time");
    Ref deadline = within_handler_deadline(
        start, Ref::steal(PyNumber_Add(start.get(), frame.cell(timeout_cell).get())));
    Ref zero = to_py(0);
    for (;;) {
        Ref record = co_await awaiting(call_method(client, "get_request", request_id));
        Ref raw_status = get_item(record, "status", interned(""));
        Ref status = call_method(py_str(raw_status), "lower");
        if (equals(status, "approved")) {
            log(frame.global(logger_name), "info", "approval granted for '%s' (request %s)",
                getattr(request, "tool"), request_id);
            co_return call(frame.cell(extract_cell), record);
        }
        if (equals(status, "denied") || equals(status, "rejected")) {
            Ref reason = get_item(record, "denied_reason");
            deny(denied_class, request, truthy(reason) ? reason : status);
        }
        if (equals(status, "expired")) {
            deny(denied_class, request, interned("approval request expired"));
        }
        Ref remaining =
            Ref::steal(PyNumber_Subtract(deadline.get(), call_method(loop, "time").get()));
        if (compare(remaining, zero, Py_LE)) {
            deny(denied_class, request, timeout_message(frame));
        }
        Ref interval = frame.cell(poll_interval_cell);
        Ref pause = compare(remaining, interval, Py_LT) ? remaining : interval;
        co_await awaiting(call_method(frame.global(asyncio_name), "sleep", pause));
    }
}

Task handle(Frame frame) {
    Handle request = frame[HandlerArg::request];
    Ref denied_class = import_from("zelto.approval", "ApprovalDenied");
    Ref key = call(frame.global(idempotency_key_name), request);
    Ref payload = call(frame.global(build_payload_name), request,
                       kw("signing_key", frame.cell(signing_key_cell)), kw("idempotency_key", key));
    Ref client = call(frame.global(client_class_name), frame.cell(api_key_cell),
                      kw("base_url", frame.cell(base_url_cell)));
    frame.hold(client);
    // Every client call below ends by the time-out (set in the awaiting
    // task's context, restored on the way out).
    Ref deadline = begin_handler_deadline(PyFloat_AsDouble(frame.cell(timeout_cell).get()));
    co_return co_await try_finally(
        [&]() -> Task {
            std::optional<Caught> caught;
            Ref result;
            try {
                result = co_await awaiting(wait_for_decision(frame, denied_class, client, payload));
            } catch (const PythonError&) {
                caught.emplace();
            }
            if (caught) {
                translate(frame, denied_class, *caught);
            }
            co_return result;
        },
        [&] {
            end_handler_deadline(deadline);
            return await_in_place(call_method(client, "close"));
        });
}

constexpr FunctionDef handle_def{
    .name = "_handle",
    .params = {param("request", "Any")},
    .returns = "Union[Any, List[Any]]",
    .coroutine = handle,
};
static_assert(args_match<HandlerArg>(handle_def));

// float(timeout) for a real number; text, and NaN, which would wait for
// ever, are refused naming the argument.
Ref real_seconds(Handle timeout) {
    return to_py(check_seconds(timeout, "timeout", true, false));
}

Ref resolve_timeout(const Frame& frame, Handle timeout) {
    if (timeout != Py_None) {
        return real_seconds(timeout);
    }
    Ref text = environ_get(frame, "ZELTO_APPROVAL_TIMEOUT", "900");
    Ref seconds;
    try {
        seconds = call((PyObject*)&PyFloat_Type, text);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw;
        }
        refuse(PyExc_ValueError,
               "ZELTO_APPROVAL_TIMEOUT must be a number of seconds (such as 900 or 1.5e3), not %R",
               text.get());
    }
    if (std::isnan(PyFloat_AS_DOUBLE(seconds.get()))) {
        refuse(PyExc_ValueError, "ZELTO_APPROVAL_TIMEOUT must be a number of seconds, not %R",
               text.get());
    }
    return seconds;
}

Ref resolve_dashboard_url(const Frame& frame, Handle dashboard_url) {
    Ref url = Ref::borrow(dashboard_url);
    if (truthy(url) && !PyUnicode_Check(dashboard_url)) {
        refuse(PyExc_TypeError, "dashboard_url must be text, not %.200s",
               Py_TYPE(dashboard_url)->tp_name);
    }
    if (!truthy(url)) {
        url = environ_get(frame, "ZELTO_DASHBOARD_URL", "");
    }
    if (!truthy(url)) {
        url = str(default_dashboard_url);
    }
    return call_method(url, "rstrip", "/");
}

ZELTO_ARGS(LanggraphCloudApprovalArg, api_key, signing_key, base_url, dashboard_url, poll_interval,
           timeout);

Ref langgraph_cloud_approval(Frame& frame) {
    Ref extract = import_from("zelto_cloud.approval", "_extract_signed_approvals");
    Ref timeout = resolve_timeout(frame, frame[LanggraphCloudApprovalArg::timeout]);
    check_pause(frame[LanggraphCloudApprovalArg::poll_interval], "poll_interval", false);
    check_signing_key(frame[LanggraphCloudApprovalArg::signing_key], true);
    Ref dashboard_url =
        resolve_dashboard_url(frame, frame[LanggraphCloudApprovalArg::dashboard_url]);
    return make_function(handle_def, frame.globals(), "langgraph_cloud_approval.<locals>._handle",
                         {dashboard_url, extract, timeout,
                          frame[LanggraphCloudApprovalArg::api_key],
                          frame[LanggraphCloudApprovalArg::base_url],
                          frame[LanggraphCloudApprovalArg::poll_interval],
                          frame[LanggraphCloudApprovalArg::signing_key]});
}

ZELTO_ARGS(GetIdempotencyKeyArg, request);

Ref get_idempotency_key(Frame& frame) {
    Ref value = getattr_or(frame[GetIdempotencyKeyArg::request], "request_id", Py_None);
    if (value.is_none()) {
        return value;
    }
    if (PyBytes_Check(value.get()) || PyByteArray_Check(value.get())) {
        return call_method(value, "hex");
    }
    return py_str(value);
}

// ZELTO_CONTROL_PLANE_URL, when set, is where the handler calls, as it is for
// the Temporal worker; the approval links follow it (a self-hosted cloud serves
// its dashboard beside the API) unless ZELTO_DASHBOARD_URL names another place.
// Unset, no keyword is added, so the factory sees exactly the caller's.
void point_at_control_plane(const Frame& frame, Handle overrides, Handle kwargs) {
    Ref url = environ_get(frame, "ZELTO_CONTROL_PLANE_URL", "");
    if (!truthy(url) || check(PyDict_ContainsString(overrides, "base_url"))) {
        return;
    }
    check(PyDict_SetItemString(kwargs, "base_url", url.get()));
    if (check(PyDict_ContainsString(overrides, "dashboard_url")) ||
        truthy(environ_get(frame, "ZELTO_DASHBOARD_URL", "")) || equals(url, default_base_url)) {
        return;
    }
    check(PyDict_SetItemString(kwargs, "dashboard_url", url.get()));
}

Ref auto_approval_handler(Frame& frame) {
    PyObject* overrides = frame.varkw();
    Ref api_key = get_item(overrides, "api_key");
    if (!truthy(api_key)) {
        api_key = environ_get(frame, "ZELTO_API_KEY", "");
    }
    if (!truthy(api_key)) {
        return none();
    }
    Ref kwargs = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(kwargs.get(), "api_key", api_key.get()));
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(overrides, &position, &name, &value)) {
        if (PyUnicode_CompareWithASCIIString(name, "api_key") != 0) {
            dict_set(kwargs, name, value);
        }
    }
    point_at_control_plane(frame, overrides, kwargs);
    return call_with(frame.global(handler_factory_name), Ref::steal(PyTuple_New(0)), kwargs);
}

} // namespace

constexpr FunctionDef langgraph_cloud_approval_def{
    .name = "langgraph_cloud_approval",
    .params =
        {
            param("api_key", "str"),
            keyword_param("signing_key", "Any", Default::None()),
            base_url_param,
            keyword_param("dashboard_url", "str", Default::Text("")),
            keyword_param("poll_interval", "float", Default::Real(3.0)),
            keyword_param("timeout", "Optional[float]", Default::None()),
        },
    .returns = "Any",
    .doc = "Create an async approval handler for the SDK's LangGraph integration.\n"
           "\n"
           "Give the handler as ``approval_handler`` to ``ZeltoMiddleware`` or\n"
           "``ZeltoToolNode``. Each approval gate creates an approval request in the\n"
           "cloud, logs its dashboard link, and polls on the running event loop until\n"
           "a human resolves it. Denials, expiries and time-outs raise\n"
           "``ApprovalDenied``.\n"
           "\n"
           "Args:\n"
           "    api_key: Cloud API key allowed to create and poll approval requests.\n"
           "    signing_key: Optional holder ``SigningKey``; when None the holder key\n"
           "        is resolved from the active warrant context.\n"
           "    base_url: Cloud API base URL.\n"
           "    dashboard_url: Dashboard base for the logged approval links; defaults to\n"
           "        ``ZELTO_DASHBOARD_URL``, then the cloud dashboard.\n"
           "    poll_interval: Seconds between status polls.\n"
           "    timeout: Seconds to wait for a decision; defaults to\n"
           "        ``ZELTO_APPROVAL_TIMEOUT``, then 900.\n",
    .impl = langgraph_cloud_approval,
};
static_assert(args_match<LanggraphCloudApprovalArg>(langgraph_cloud_approval_def));

constexpr FunctionDef get_idempotency_key_def{
    .name = "_get_idempotency_key",
    .params = {param("request", "Any")},
    .returns = "Optional[str]",
    .doc = "The idempotency key of an approval gate: its request id as text, or None.",
    .impl = get_idempotency_key,
};
static_assert(args_match<GetIdempotencyKeyArg>(get_idempotency_key_def));

const FunctionDef auto_approval_handler_def{
    .name = "_auto_approval_handler",
    .params = {varkw_param("overrides", "Any")},
    .returns = "Optional[Any]",
    .doc = "A cloud approval handler when an API key is given or in ZELTO_API_KEY, else None.\n"
           "\n"
           "It calls ``ZELTO_CONTROL_PLANE_URL`` when that is set and no ``base_url`` is\n"
           "given; its approval links then follow that address unless\n"
           "``ZELTO_DASHBOARD_URL`` (or ``dashboard_url``) names the dashboard.\n",
    .impl = auto_approval_handler,
};

} // namespace zelto::langgraph
