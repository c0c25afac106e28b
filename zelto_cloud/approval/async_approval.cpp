// The asynchronous cloud approval handler: the same create-poll-resolve road as
// the synchronous one, awaited on the caller's event loop; where no loop runs,
// on a fresh loop in a one-thread pool.
#include "zelto_cloud/approval/approval.hpp"

#include "support/coroutine.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

#include <optional>

namespace zelto::approval {

namespace {

Name logger_name{"logger"};
Name client_class_name{"AsyncZeltoCloudClient"};
Name build_payload_name{"build_approval_request_payload"};
Name poll_name{"_async_poll_until_resolved"};
Name timeout_error_name{"ApprovalTimeoutError"};
Name asyncio_name{"asyncio"};
Name time_name{"time"};

// Closure cells of _handle, sorted by name as a Python closure keeps them.
enum HandleCell : size_t { core_cell, concurrent_cell };

const char* const returns_approvals = "Union['SignedApproval', List['SignedApproval']]";

// The synchronous steps between the awaits live in plain functions, so that a
// waiting coroutine keeps only what it needs after its current await.

Ref build_payload(const Frame& frame) {
    return call(frame.global(build_payload_name), frame[HandlerArg::request],
                kw("signing_key", frame.cell(signing_key_cell)));
}

Ref open_client(const Frame& frame) {
    return call(frame.global(client_class_name), frame.cell(api_key_cell),
                kw("base_url", frame.cell(base_url_cell)));
}

// client.create_request(**payload.to_create_request_kwargs()), to be awaited.
Ref start_create(const Ref& client, const Ref& payload) {
    Ref kwargs = call_method(payload, "to_create_request_kwargs");
    Ref create = getattr(client, "create_request");
    return call_with(create, Ref::steal(PyTuple_New(0)), kwargs);
}

// Logs the new request and starts polling it, to be awaited.
Ref start_polling(const Frame& frame, const Ref& client, const Ref& created) {
    Ref request_id = subscript(created, "id");
    log(frame.global(logger_name), "info", "approval request %s created for %s", request_id,
        getattr(frame[HandlerArg::request], "tool"));
    return call(frame.global(poll_name), client, request_id,
                kw("poll_interval", frame.cell(poll_interval_cell)),
                kw("timeout", frame.cell(timeout_cell)));
}

// Create the request, wait until it is resolved, and answer in the SDK's
// terms; the client errors of these steps are translated.
Task create_and_wait(Frame& frame, Handle denied_class, Ref client, Ref payload) {
    std::optional<Caught> caught;
    Ref result;
    try {
        Ref created = co_await awaiting(start_create(client, payload));
        payload = Ref();
        Ref polling = start_polling(frame, client, created);
        created = Ref(); // the create response is not needed while polling
        Ref final_response = co_await awaiting(polling);
        result =
            resolve_final_status(frame, denied_class, frame[HandlerArg::request], final_response);
    } catch (const PythonError&) {
        caught.emplace();
    }
    if (caught) {
        translate_client_error(frame, denied_class, *caught);
    }
    co_return result;
}

// Build the payload, open the client, and create and wait; the client is
// closed on every way out.
Task open_and_wait(Frame& frame, Handle denied_class) {
    Ref payload = build_payload(frame);
    Ref client = open_client(frame);
    co_return co_await try_finally(
        [&] { return create_and_wait(frame, denied_class, client, std::move(payload)); },
        [&] { return await_in_place(call_method(client, "close")); });
}

Task core(Frame frame) {
    Ref denied_class = import_from("zelto.approval", "ApprovalDenied");
    // Set in the awaiting task's context, so that every call below ends by
    // the time-out; the finally restores the context.
    Ref deadline = begin_handler_deadline(checked_handler_values(frame, false));
    co_return co_await try_finally([&] { return open_and_wait(frame, denied_class); },
                                   [&] {
                                       end_handler_deadline(deadline);
                                       return none();
                                   });
}

constexpr FunctionDef core_def{
    .name = "_core",
    .params = {param("request", "Any")},
    .returns = returns_approvals,
    .coroutine = core,
};
static_assert(args_match<HandlerArg>(core_def));

// _core's body, for _handle to await in place while _core is still its own
// (none when it is not). A plain function: GCC cannot build the braced
// argument list inside a co_await, and the cell is not held across the wait.
std::optional<Task> core_in_place(const Frame& frame) {
    Ref core_function = frame.cell(core_cell);
    if (!is_function_of(core_function, core_def)) {
        return std::nullopt;
    }
    return call_direct_task(core_function, {frame[HandlerArg::request]});
}

bool loop_is_running(const Frame& frame) {
    try {
        call_method(frame.global(asyncio_name), "get_running_loop");
        return true;
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_RuntimeError);
        return false;
    }
}

// No loop runs in this thread: run _core on a fresh loop in a one-thread pool
// and wait for it. The caller's context variables (the SDK's key scope among
// them) go with it.
Ref run_on_fresh_loop(const Frame& frame) {
    Ref futures = getattr(frame.cell(concurrent_cell), "futures");
    Ref executor = call(getattr(futures, "ThreadPoolExecutor"), kw("max_workers", 1));
    return with_context(executor, [&](PyObject* pool) {
        Ref context = call(import_from("contextvars", "copy_context"));
        Ref run = getattr(frame.global(asyncio_name), "run");
        Ref coroutine = call(frame.cell(core_cell), frame[HandlerArg::request]);
        Ref future = call_method(pool, "submit", getattr(context, "run"), run, coroutine);
        return call_method(future, "result");
    });
}

Task handle(Frame frame) {
    // Only the probe selects the fallback: whatever _core raises on the
    // caller's loop, RuntimeError included, is the caller's to see, and a
    // second run would ask the approvers twice.
    if (loop_is_running(frame)) {
        // While _core is still the handler's own, its body runs inside this
        // coroutine: no coroutine object of its own held for the whole wait.
        if (std::optional<Task> in_place = core_in_place(frame)) {
            co_return co_await awaiting(std::move(*in_place));
        }
        co_return co_await awaiting(call(frame.cell(core_cell), frame[HandlerArg::request]));
    }
    co_return run_on_fresh_loop(frame);
}

constexpr FunctionDef handle_def{
    .name = "_handle",
    .params = {param("request", "Any")},
    .returns = returns_approvals,
    .coroutine = handle,
};
static_assert(args_match<HandlerArg>(handle_def));

Ref async_cloud_approval(Frame& frame) {
    import_module("concurrent.futures");
    Ref concurrent = import_module("concurrent");
    Ref core_function =
        make_function(core_def, frame.globals(), "async_cloud_approval.<locals>._core",
                      {frame[CloudHandlerArg::api_key], frame[CloudHandlerArg::base_url],
                       frame[CloudHandlerArg::poll_interval], frame[CloudHandlerArg::signing_key],
                       frame[CloudHandlerArg::timeout]});
    return make_function(handle_def, frame.globals(), "async_cloud_approval.<locals>._handle",
                         {core_function, concurrent});
}

ZELTO_ARGS(PollArg, client, request_id, poll_interval, timeout);

Ref poll_deadline(const Frame& frame) {
    Ref now = call_method(frame.global(time_name), "monotonic");
    return within_handler_deadline(now,
                                   Ref::steal(PyNumber_Add(now.get(), frame[PollArg::timeout])));
}

// After a poll: nothing when the request left "pending", else the sleep to
// await before the next poll; ApprovalTimeoutError once the deadline passed.
Ref next_sleep(const Frame& frame, const Ref& response, const Ref& deadline) {
    Handle request_id = frame[PollArg::request_id];
    Handle poll_interval = frame[PollArg::poll_interval];
    Ref status = get_item(response, "status", interned(""));
    if (check(PyObject_RichCompareBool(status.get(), interned("pending").get(), Py_NE))) {
        return Ref();
    }
    Ref now = call_method(frame.global(time_name), "monotonic");
    Ref remaining = Ref::steal(PyNumber_Subtract(deadline.get(), now.get()));
    if (check(PyObject_RichCompareBool(remaining.get(), to_py(0).get(), Py_LE))) {
        raise(call(frame.global(timeout_error_name), request_id, frame[PollArg::timeout]));
    }
    bool shorter = check(PyObject_RichCompareBool(remaining.get(), poll_interval, Py_LT));
    Ref sleep_time = shorter ? remaining : Ref::borrow(poll_interval);
    Ref extra = dict_of({{"request_id", Ref::borrow(request_id)}, {"sleep", sleep_time}});
    // An interned message: this runs once per poll of every waiting call.
    call_method(frame.global(logger_name), "debug",
                interned("approval still pending, polling again"), kw("extra", extra));
    return call_method(frame.global(asyncio_name), "sleep", sleep_time);
}

Task async_poll_until_resolved(Frame frame) {
    Ref deadline = poll_deadline(frame);
    for (;;) {
        Ref response = co_await awaiting(
            call_method(frame[PollArg::client], "get_request", frame[PollArg::request_id]));
        Ref sleep = next_sleep(frame, response, deadline);
        if (!sleep) {
            co_return response;
        }
        response = Ref();
        co_await awaiting(sleep);
    }
}

} // namespace

constexpr FunctionDef async_cloud_approval_def{
    .name = "async_cloud_approval",
    .params = cloud_handler_params,
    .doc = "Create an async approval handler backed by Zelto Cloud.\n"
           "\n"
           "The asynchronous twin of ``cloud_approval``, for async frameworks such as\n"
           "LangGraph or async MCP servers: awaiting the handler creates an approval\n"
           "request in the cloud and polls it on the running event loop, without\n"
           "blocking it, until a human resolves it. Driven where no event loop runs,\n"
           "it waits on a fresh loop in a worker thread.\n"
           "\n"
           "Args:\n"
           "    api_key: Cloud API key (or OAuth bearer credential) allowed to create\n"
           "        and poll approval requests.\n"
           "    signing_key: Optional holder ``SigningKey``; when None the holder key\n"
           "        is resolved from the active warrant context.\n"
           "    base_url: Cloud API base URL.\n"
           "    poll_interval: Seconds between status polls.\n"
           "    timeout: Maximum seconds to wait for resolution.\n"
           "\n"
           "Returns:\n"
           "    An async ``ApprovalHandler``: a coroutine function that takes the\n"
           "    approval-gate request and returns the signed approval(s), or raises\n"
           "    ``ApprovalDenied``.\n",
    .impl = async_cloud_approval,
};
static_assert(args_match<CloudHandlerArg>(async_cloud_approval_def));

constexpr FunctionDef async_poll_until_resolved_def{
    .name = "_async_poll_until_resolved",
    .params =
        {
            param("client", "AsyncZeltoCloudClient"),
            param("request_id", "str"),
            keyword_param("poll_interval", "float"),
            keyword_param("timeout", "float"),
        },
    .returns = "Dict[str, Any]",
    .doc = "Async version of ``_poll_until_resolved``: poll the cloud API until the\n"
           "approval request leaves the pending status, sleeping with asyncio.sleep.",
    .coroutine = async_poll_until_resolved,
};
static_assert(args_match<PollArg>(async_poll_until_resolved_def));

} // namespace zelto::approval
