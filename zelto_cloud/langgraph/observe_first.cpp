// Observe-first for the middleware: a tool call that the SDK's enforcement
// denied is logged and run anyway, so that a warrant roll-out can be watched
// before it fails closed.
#include "zelto_cloud/langgraph/langgraph.hpp"

#include "support/coroutine.hpp"
#include "support/logging.hpp"

namespace zelto::langgraph {

namespace {

Name asyncio_name{"asyncio"};
Name logger_name{"logger"};
Name is_denial_name{"_is_denial_tool_message"};

// Texts the SDK puts in the tool message of a refused call (constants, as in
// compiled code: made once).
constexpr Literal denial_markers[] = {
    "Authorization denied",
    "Security configuration error",
    "Configuration error:",
};

ZELTO_ARGS(IsDenialToolMessageArg, result);

Name empty_name{""};
Name error_name{"error"};

// status != "error", as the comparison operator answers it. None and exact
// str (what a tool message carries) are answered here: neither has a
// comparison of its own that could answer otherwise.
bool is_not_error(Handle status) {
    PyObject* error = error_name.get();
    if (status.ptr() == Py_None) {
        return true;
    }
    if (PyUnicode_CheckExact(status.ptr())) {
        return PyUnicode_Compare(status, error) != 0;
    }
    return check(PyObject_RichCompareBool(status, error, Py_NE));
}

Ref is_denial_tool_message(Frame& frame) {
    Handle result = frame[IsDenialToolMessageArg::result];
    PyObject* empty = empty_name.get();
    Ref status = getattr_or(result, "status", Py_None);
    Ref content = getattr_or(result, "content", empty);
    if (!truthy(content)) {
        content = Ref::borrow(empty);
    }
    content = py_str(content);
    if (is_not_error(status)) {
        return py_bool(false);
    }
    for (Literal marker : denial_markers) {
        if (check(PySequence_Contains(content.get(), interned(marker).get()))) {
            return py_bool(true);
        }
    }
    return py_bool(false);
}

Ref tool_name(Handle request) {
    Ref call = getattr_or(request, "tool_call", Py_None);
    if (!truthy(call)) {
        return interned("unknown");
    }
    if (!PyDict_Check(call.get())) {
        return interned("unknown");
    }
    return get_item(call, "name", interned("unknown"));
}

// The arguments of both paths, the synchronous and the asynchronous one.
ZELTO_ARGS(ObserveArg, result, request, handler, dry_run);

// Steps shared by both paths: true when the denial is to be overridden (and
// has been logged).
bool observe_denial(const Frame& frame) {
    if (!truthy(frame[ObserveArg::dry_run])) {
        return false;
    }
    if (!truthy(call_own_or_replaced(frame.global(is_denial_name), is_denial_tool_message_def,
                                     {frame[ObserveArg::result]}))) {
        return false;
    }
    log(frame.global(logger_name), "info",
        "zelto_cloud.langgraph: observe-first allowing '%s' after denial",
        tool_name(frame[ObserveArg::request]));
    return true;
}

Ref observe_or_result(Frame& frame) {
    if (!observe_denial(frame)) {
        return Ref::borrow(frame[ObserveArg::result]);
    }
    return call(frame[ObserveArg::handler], frame[ObserveArg::request]);
}

Task observe_or_result_async(Frame frame) {
    Observed observed = observe_step(frame);
    if (observed.awaitable) {
        co_return co_await awaiting(std::move(observed.value));
    }
    co_return std::move(observed.value);
}

} // namespace

Observed observe_step(const Frame& frame) {
    if (!observe_denial(frame)) {
        return {Ref::borrow(frame[ObserveArg::result]), false};
    }
    Ref rerun = call(frame[ObserveArg::handler], frame[ObserveArg::request]);
    bool awaitable = truthy(call_method(frame.global(asyncio_name), "iscoroutine", rerun));
    return {std::move(rerun), awaitable};
}

constexpr FunctionDef is_denial_tool_message_def{
    .name = "_is_denial_tool_message",
    .params = {param("result", "Any")},
    .returns = "bool",
    .doc = "True when a tool result is the SDK's refusal of the call.",
    .impl = is_denial_tool_message,
};
static_assert(args_match<IsDenialToolMessageArg>(is_denial_tool_message_def));

constexpr FunctionDef observe_or_result_def{
    .name = "_observe_or_result",
    .params =
        {
            param("result", "Any"),
            param("request", "Any"),
            param("handler", "Any"),
            param("dry_run", "bool"),
        },
    .returns = "Any",
    .doc = "In observe-first mode, run the tool after a denial; otherwise return result.",
    .impl = observe_or_result,
};
static_assert(args_match<ObserveArg>(observe_or_result_def));

constexpr FunctionDef observe_or_result_async_def{
    .name = "_observe_or_result_async",
    .params =
        {
            param("result", "Any"),
            param("request", "Any"),
            param("handler", "Any"),
            param("dry_run", "bool"),
        },
    .returns = "Any",
    .doc = "Async counterpart of _observe_or_result: a coroutine result of the rerun is awaited.",
    .coroutine = observe_or_result_async,
};
static_assert(args_match<ObserveArg>(observe_or_result_async_def));

} // namespace zelto::langgraph
