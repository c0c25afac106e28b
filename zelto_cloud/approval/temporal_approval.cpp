// The Temporal-aware approval handler. Inside an activity a worker thread must
// not wait minutes for a person, so the handler checks the request a few
// times, heartbeats what it saw, and hands a pending request back to Temporal
// as a retryable error. The next attempt resumes the request from the
// heartbeat details, or finds it again through an idempotency key that is the
// same for every attempt of one workflow run, activity and tool.
#include "zelto_cloud/approval/approval.hpp"

#include "support/classes.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace zelto::approval {

namespace {

Name logger_name{"logger"};
Name hashlib_name{"hashlib"};
Name base64_name{"base64"};
Name time_name{"time"};
Name client_class_name{"ZeltoCloudClient"};
Name cloud_error_name{"ZeltoCloudError"};
Name build_payload_name{"build_approval_request_payload"};
Name key_function_name{"_build_temporal_approval_idempotency_key"};
Name heartbeat_id_name{"_extract_temporal_heartbeat_request_id"};
Name handler_class_name{"TemporalCloudApprovalHandler"};

constexpr double client_timeout = 10.0;
constexpr long not_found = 404;

bool is_nonempty_text(Handle value) {
    return PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) > 0;
}

Ref text_or_empty_if_falsy(Ref value) {
    return truthy(value) ? value : interned("");
}

// Runs body and swallows what it raises, as `except Exception: pass` does.
template <typename Body>
void ignoring_errors(Body&& body) {
    try {
        body();
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
    }
}

// ---- module functions ----------------------------------------------------------

ZELTO_ARGS(BuildIdempotencyKeyArg, request, workflow_id, workflow_run_id, activity_id);

Ref build_idempotency_key(Frame& frame) {
    Ref tool = py_str(getattr_or(frame[BuildIdempotencyKeyArg::request], "tool", interned("")));
    Ref parts = tuple_of({tool, frame[BuildIdempotencyKeyArg::workflow_id],
                          frame[BuildIdempotencyKeyArg::workflow_run_id],
                          frame[BuildIdempotencyKeyArg::activity_id]});
    Ref joined = Ref::steal(PyUnicode_Join(interned("|").get(), parts.get()));
    Ref encoded = call_method(joined, "encode", "utf-8");
    Ref digest =
        call_method(call_method(frame.global(hashlib_name), "sha256", encoded), "hexdigest");
    return concat({interned("appr_"), digest});
}

ZELTO_ARGS(ExtractHeartbeatRequestIdArg, details);

Ref extract_heartbeat_request_id(Frame& frame) {
    Ref details = Ref::borrow(frame[ExtractHeartbeatRequestIdArg::details]);
    if (!truthy(details)) {
        return none();
    }
    if (PyList_Check(details.get()) || PyTuple_Check(details.get())) {
        details = Ref::steal(PyObject_GetItem(details.get(), to_py(0).get()));
    }
    if (PyDict_Check(details.get())) {
        Ref value = get_item(details, "approval_request_id");
        if (is_nonempty_text(value)) {
            return value;
        }
    }
    Ref value = getattr_or(details, "approval_request_id", Py_None);
    return is_nonempty_text(value) ? value : none();
}

ZELTO_ARGS(TemporalCloudApprovalArg, api_key, signing_key, base_url, fast_poll_seconds,
           fast_poll_attempts);

Ref temporal_cloud_approval(Frame& frame) {
    return call(frame.global(handler_class_name), frame[TemporalCloudApprovalArg::api_key],
                frame[TemporalCloudApprovalArg::signing_key],
                kw("base_url", frame[TemporalCloudApprovalArg::base_url]),
                kw("fast_poll_seconds", frame[TemporalCloudApprovalArg::fast_poll_seconds]),
                kw("fast_poll_attempts", frame[TemporalCloudApprovalArg::fast_poll_attempts]));
}

// ---- the class -----------------------------------------------------------------

ZELTO_ARGS(HandlerInitArg, self, api_key, signing_key, base_url, fast_poll_seconds,
           fast_poll_attempts);

Ref handler_init(Frame& frame) {
    Handle self = frame[HandlerInitArg::self];
    Handle signing_key = frame[HandlerInitArg::signing_key];
    setattr(self, "_api_key", frame[HandlerInitArg::api_key]);
    setattr(self, "_signing_key", signing_key);
    check_signing_key(signing_key, false);
    setattr(self, "_holder", getattr(signing_key, "public_key"));
    Ref holder_bytes = call_method(getattr(signing_key, "public_key"), "to_bytes");
    setattr(self, "_holder_bytes", holder_bytes);
    setattr(self, "_base_url", frame[HandlerInitArg::base_url]);
    // Refused here rather than by time.sleep after the request was created.
    check_pause(frame[HandlerInitArg::fast_poll_seconds], "fast_poll_seconds", true);
    if (!PyIndex_Check(frame[HandlerInitArg::fast_poll_attempts])) {
        refuse(PyExc_TypeError, "fast_poll_attempts must be a whole number, not %.200s",
               Py_TYPE(frame[HandlerInitArg::fast_poll_attempts])->tp_name);
    }
    setattr(self, "_fast_poll_seconds", frame[HandlerInitArg::fast_poll_seconds]);
    Ref one = to_py(1);
    bool below_one = compare(one, frame[HandlerInitArg::fast_poll_attempts], Py_GT);
    setattr(self, "_fast_poll_attempts",
            below_one ? Handle(one) : frame[HandlerInitArg::fast_poll_attempts]);
    return none();
}

ZELTO_ARGS(HandlerBuildAttestationArg, self, request);

Ref handler_build_attestation(Frame& frame) {
    Handle self = frame[HandlerBuildAttestationArg::self];
    Handle request = frame[HandlerBuildAttestationArg::request];
    Ref build = import_from("zelto_core", "py_build_approval_context_attestation");
    Ref result =
        call(build, getattr(self, "_signing_key"), getattr(request, "warrant_id"),
             getattr(request, "tool"), getattr(request, "arguments"), getattr(self, "_holder"));
    auto [args_b64, attestation] = unpack<2>(result);
    Ref copied = call((PyObject*)&PyDict_Type, attestation);
    return tuple_of({args_b64, copied});
}

// SignedApproval.from_bytes(decode(value)), or nothing after one warning.
template <typename Decode>
Ref try_decode(const Frame& frame, Handle signed_class, Literal warning, Decode&& decode) {
    try {
        return call_method(signed_class, "from_bytes", decode());
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
        Handling scope(caught);
        log(frame.global(logger_name), "warning", warning, caught.ref());
        return Ref();
    }
}

ZELTO_ARGS(HandlerExtractApprovalArg, data);

Ref handler_extract_approval(Frame& frame) {
    Ref signed_class = import_from("zelto_core", "SignedApproval");
    Ref responses =
        get_item(frame[HandlerExtractApprovalArg::data], "responses", Ref::steal(PyList_New(0)));
    if (!truthy(responses)) {
        return none();
    }
    Ref iterator = Ref::steal(PyObject_GetIter(responses.get()));
    while (Ref entry = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
        Ref value = get_item(entry, "signed_approval", interned(""));
        if (!truthy(value)) {
            continue;
        }
        Ref decoded =
            try_decode(frame, signed_class, "failed to decode signed_approval as base64: %s",
                       [&] { return call_method(frame.global(base64_name), "b64decode", value); });
        if (!decoded) {
            decoded =
                try_decode(frame, signed_class, "failed to decode signed_approval as hex: %s",
                           [&] { return call_method((PyObject*)&PyBytes_Type, "fromhex", value); });
        }
        if (decoded) {
            return decoded;
        }
    }
    if (PyErr_Occurred()) {
        throw_error();
    }
    return none();
}

// One call of the handler: what it needs from Temporal and the request id it
// works on.
struct Attempt {
    Frame& frame;
    PyObject* self;
    PyObject* request;
    Ref activity;
    Ref application_error;
    Ref request_id = interned("");

    [[noreturn]] void fail(const Ref& message, const char* kind, bool non_retryable,
                           const Caught* cause = nullptr) {
        Ref error =
            call(application_error, message, kw("type", kind), kw("non_retryable", non_retryable));
        if (cause) {
            Handling scope(*cause);
            raise_from(error, cause->get());
        }
        raise(error);
    }

    [[noreturn]] void transport_failed(Ref message, Caught& caught) {
        fail(message, "ApprovalTransportError", false, &caught);
    }

    Ref poll_failed_message(const Caught& caught) {
        return format("approval poll failed for ", request_id, ": ", caught);
    }

    Ref fetch(PyObject* client) {
        try {
            return call_method(client, "get_request", request_id);
        } catch (const PythonError&) {
            Caught caught;
            caught.reraise_unless(frame.global(cloud_error_name));
            transport_failed(poll_failed_message(caught), caught);
        }
    }

    // The response of the heartbeat's request, or nothing when the cloud no
    // longer knows it.
    Ref resume(PyObject* client) {
        try {
            Ref response = call_method(client, "get_request", request_id);
            log(frame.global(logger_name), "info",
                "resuming approval request %s for %s from heartbeat", request_id,
                getattr(request, "tool"));
            return response;
        } catch (const PythonError&) {
            Caught caught;
            caught.reraise_unless(frame.global(cloud_error_name));
            if (!is_not_found(caught)) {
                transport_failed(poll_failed_message(caught), caught);
            }
            request_id = interned("");
            return Ref();
        }
    }

    bool is_not_found(const Caught& caught) {
        Handling scope(caught);
        Ref status = getattr(caught, "status_code");
        Ref code = to_py(not_found);
        if (compare(status, code, Py_EQ)) {
            return true;
        }
        Ref text = py_str(caught);
        return check(PySequence_Contains(text.get(), interned("404").get())) != 0;
    }

    Ref create(PyObject* client, const Ref& payload) {
        Ref created;
        try {
            Ref kwargs = call_method(payload, "to_create_request_kwargs");
            Ref create_request = getattr(client, "create_request");
            created = call_with(create_request, Ref::steal(PyTuple_New(0)), kwargs);
        } catch (const PythonError&) {
            Caught caught;
            caught.reraise_unless(frame.global(cloud_error_name));
            transport_failed(format("approval request submission failed: ", caught), caught);
        }
        Ref id = get_item(created, "id");
        if (!truthy(id)) {
            id = get_item(created, "request_id");
        }
        request_id = truthy(id) ? py_str(id) : interned("");
        if (!truthy(request_id)) {
            fail(interned("approval response missing id field"), "ApprovalMalformedResponse", true);
        }
        log(frame.global(logger_name), "info", "approval request %s created for %s", request_id,
            getattr(request, "tool"));
        return created;
    }

    Ref status_of(const Ref& response) {
        Ref status = get_item(response, "status", interned(""));
        return call_method(py_str(status), "lower");
    }

    // Heartbeats what the response says; the signed approval when it is
    // approved, nothing while it is still open, a non-retryable error when it
    // is refused.
    Ref evaluate(const Ref& response) {
        Ref status = status_of(response);
        ignoring_errors([&] {
            Ref details =
                dict_of({{"approval_request_id", request_id}, {"approval_status", status}});
            unless_exception(try_call_method(activity, "heartbeat", details));
        });
        if (equals(status, "approved")) {
            Ref approval = call_method(self, "_extract_approval", response);
            if (!approval.is_none()) {
                return approval;
            }
            fail(format("approved but missing SignedApproval payload for ", request_id),
                 "ApprovalMalformedResponse", true);
        }
        if (equals(status, "denied") || equals(status, "rejected") || equals(status, "expired")) {
            Ref reason = get_item(response, "denied_reason");
            if (!truthy(reason)) {
                reason = get_item(response, "reason");
            }
            if (!truthy(reason)) {
                reason = status;
            }
            fail(format("approval ", status, " for ", request_id, ": ", reason), "ApprovalDenied",
                 true);
        }
        return Ref();
    }

    // The signed approval, or a null Ref while the request is still pending.
    Ref run(PyObject* client, const Ref& payload, const Ref& heartbeat_id) {
        Ref response;
        if (!heartbeat_id.is_none() && truthy(heartbeat_id)) {
            request_id = heartbeat_id;
            response = resume(client);
        }
        if (!truthy(request_id)) {
            response = create(client, payload);
        }
        if (response) {
            if (Ref approval = evaluate(response)) {
                return approval;
            }
        }
        Ref attempts = getattr(self, "_fast_poll_attempts");
        Py_ssize_t count = PyNumber_AsSsize_t(attempts.get(), PyExc_OverflowError);
        if (count == -1 && PyErr_Occurred()) {
            throw_error();
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            call_method(frame.global(time_name), "sleep", getattr(self, "_fast_poll_seconds"));
            response = fetch(client);
            log(frame.global(logger_name), "info", "approval poll %d/%d for %s: %s",
                to_py((long long)i + 1), attempts, request_id, status_of(response));
            if (Ref approval = evaluate(response)) {
                return approval;
            }
        }
        return Ref();
    }
};

struct ActivityContext {
    Ref activity_id = interned("");
    Ref workflow_id = interned("");
    Ref workflow_run_id = interned("");
    Ref heartbeat_id = none();
};

// What Temporal knows about the running activity; outside one, empty ids.
ActivityContext activity_context(Frame& frame, Handle activity) {
    ActivityContext context;
    // Outside an activity info() raises: the usual case outside Temporal, so no C++ throw.
    Ref info = unless_exception(try_call_method(activity, "info"));
    if (!info) {
        return context;
    }
    ignoring_errors([&] {
        Ref empty = interned("");
        context.activity_id = text_or_empty_if_falsy(getattr_or(info, "activity_id", empty));
        context.workflow_id = text_or_empty_if_falsy(getattr_or(info, "workflow_id", empty));
        context.workflow_run_id =
            text_or_empty_if_falsy(getattr_or(info, "workflow_run_id", empty));
        context.heartbeat_id =
            call(frame.global(heartbeat_id_name), getattr_or(info, "heartbeat_details", Py_None));
    });
    return context;
}

ZELTO_ARGS(HandlerCallArg, self, request);

Ref handler_call(Frame& frame) {
    Handle self = frame[HandlerCallArg::self];
    Handle request = frame[HandlerCallArg::request];
    Attempt attempt{frame, self, request, import_from("temporalio", "activity"),
                    import_from("temporalio.exceptions", "ApplicationError")};
    ActivityContext context = activity_context(frame, attempt.activity);
    Ref key = call(frame.global(key_function_name), request, kw("workflow_id", context.workflow_id),
                   kw("workflow_run_id", context.workflow_run_id),
                   kw("activity_id", context.activity_id));
    Ref payload =
        call(frame.global(build_payload_name), request,
             kw("signing_key", getattr(self, "_signing_key")), kw("idempotency_key", key));
    Ref client = call(frame.global(client_class_name), getattr(self, "_api_key"),
                      kw("base_url", getattr(self, "_base_url")), kw("timeout", client_timeout));
    // Null when still pending, or when the client's __exit__ swallowed an error.
    Ref approval = with_context(client, [&](PyObject* entered) {
        return attempt.run(entered, payload, context.heartbeat_id);
    });
    if (approval) {
        return approval;
    }
    Ref message = format("approval pending for ", attempt.request_id, "; will retry via Temporal");
    // A pending request is the expected way of waiting, not a failure: marked
    // benign, the worker logs each retry at DEBUG instead of a WARNING with its
    // traceback (temporalio without error categories gets the plain error).
    Ref categories =
        getattr_or(import_module("temporalio.exceptions"), "ApplicationErrorCategory", Py_None);
    if (categories.is_none()) {
        attempt.fail(message, "ApprovalPendingRetry", false);
    }
    raise(call(attempt.application_error, message, kw("type", "ApprovalPendingRetry"),
               kw("non_retryable", false), kw("category", getattr(categories, "BENIGN"))));
}

// ---- definitions -----------------------------------------------------------------

constexpr FunctionDef init_def{
    .name = "__init__",
    .params =
        {
            param("self"),
            param("api_key", "str"),
            param("signing_key", "Any"),
            base_url_param,
            fast_poll_seconds_param,
            fast_poll_attempts_param,
        },
    .returns = "None",
    .impl = handler_init,
};
static_assert(args_match<HandlerInitArg>(init_def));

constexpr FunctionDef build_attestation_def{
    .name = "_build_attestation",
    .params =
        {
            param("self"),
            param("request", "Any"),
        },
    .returns = "tuple[str, Dict[str, Any]]",
    .doc = "Return the base64 canonical-CBOR arguments and the attestation dict,\n"
           "computed by the native core with the worker's signing key.",
    .impl = handler_build_attestation,
};
static_assert(args_match<HandlerBuildAttestationArg>(build_attestation_def));

constexpr FunctionDef extract_approval_def{
    .name = "_extract_approval",
    .params = {param("data", "Dict[str, Any]")},
    .returns = "Any",
    .doc = "Decode the first SignedApproval from the approval response (base64\n"
           "first, then hex); None when no entry decodes.",
    .impl = handler_extract_approval,
};
static_assert(args_match<HandlerExtractApprovalArg>(extract_approval_def));

constexpr FunctionDef call_def{
    .name = "__call__",
    .params =
        {
            param("self"),
            param("request", "Any"),
        },
    .returns = "Any",
    .doc = "Create or resume the approval request and check it a few times.\n"
           "\n"
           "Returns the SignedApproval once the request is approved. Raises a\n"
           "non-retryable ApplicationError when it is denied, rejected or expired\n"
           "or the answer is malformed, and a retryable one while it is pending or\n"
           "the cloud cannot be reached, so that Temporal retries the activity.\n"
           "\n"
           "The SDK calls this synchronously from its event-loop thread, so it must\n"
           "stay synchronous: an async handler would deadlock.",
    .impl = handler_call,
};
static_assert(args_match<HandlerCallArg>(call_def));

constexpr const char* handler_doc =
    "Temporal-aware approval handler for Zelto Cloud.\n"
    "\n"
    "Inside a Temporal activity a handler must not block a worker thread for the\n"
    "minutes a person needs to review a call. This handler short-polls instead:\n"
    "it creates (or resumes) the approval request, checks its status\n"
    "``fast_poll_attempts`` times, ``fast_poll_seconds`` apart, and heartbeats\n"
    "the request id and status to Temporal after every check. While the request\n"
    "is still pending it raises a retryable ``ApplicationError``\n"
    "(\"ApprovalPendingRetry\"), so that Temporal retries the activity later.\n"
    "\n"
    "The retry resumes the same request from the previous attempt's heartbeat\n"
    "details. Without them it creates the request again under an idempotency\n"
    "key that is the same for every attempt of one workflow run, activity and\n"
    "tool, and the cloud answers with the request that already exists.\n"
    "\n"
    "Approvers and thresholds come from the warrant (``required_approvers``,\n"
    "``min_approvals``); no cloud-managed policy is needed.\n";

} // namespace

constexpr FunctionDef build_temporal_idempotency_key_def{
    .name = "_build_temporal_approval_idempotency_key",
    .params =
        {
            param("request", "Any"),
            keyword_param("workflow_id", "str", Default::Text("")),
            keyword_param("workflow_run_id", "str", Default::Text("")),
            keyword_param("activity_id", "str", Default::Text("")),
        },
    .returns = "str",
    .doc = "Build a stable, per-workflow-run idempotency key for approval requests.\n"
           "\n"
           "Temporal retries of the same activity should dedupe to one approval\n"
           "request, but distinct workflow runs must not reuse each other's approval\n"
           "records.",
    .impl = build_idempotency_key,
};
static_assert(args_match<BuildIdempotencyKeyArg>(build_temporal_idempotency_key_def));

constexpr FunctionDef extract_temporal_heartbeat_request_id_def{
    .name = "_extract_temporal_heartbeat_request_id",
    .params = {param("details", "Any")},
    .returns = "Optional[str]",
    .doc = "Extract prior approval_request_id from Temporal heartbeat details.",
    .impl = extract_heartbeat_request_id,
};
static_assert(args_match<ExtractHeartbeatRequestIdArg>(extract_temporal_heartbeat_request_id_def));

constexpr FunctionDef temporal_cloud_approval_def{
    .name = "temporal_cloud_approval",
    .params =
        {
            param("api_key", "str"),
            param("signing_key", "Any"),
            base_url_param,
            fast_poll_seconds_param,
            fast_poll_attempts_param,
        },
    .returns = "TemporalCloudApprovalHandler",
    .doc = "Create a Temporal-aware approval handler backed by Zelto Cloud.\n"
           "\n"
           "Args:\n"
           "    api_key: Cloud API key allowed to create and poll approval requests.\n"
           "    signing_key: The worker's ``SigningKey``.\n"
           "    base_url: Cloud API base URL.\n"
           "    fast_poll_seconds: Seconds between short-poll iterations.\n"
           "    fast_poll_attempts: Number of polls before raising retriable error.\n"
           "\n"
           "Example::\n"
           "\n"
           "    from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig\n"
           "    from zelto_cloud import temporal_cloud_approval\n"
           "\n"
           "    config = ZeltoPluginConfig(\n"
           "        signing_key=worker_key,\n"
           "        activity_fns=[transfer_funds],\n"
           "        approval_handler=temporal_cloud_approval(api_key, worker_key),\n"
           "    )\n"
           "    worker = Worker(client, task_queue=\"payments\", plugins=[ZeltoPlugin(config)])\n",
    .impl = temporal_cloud_approval,
};
static_assert(args_match<TemporalCloudApprovalArg>(temporal_cloud_approval_def));

Ref make_temporal_handler_class(Handle module) {
    return ClassBuilder(module, "TemporalCloudApprovalHandler")
        .doc(handler_doc)
        .method(init_def)
        .method(build_attestation_def)
        .staticmethod(extract_approval_def)
        .method(call_def)
        .build();
}

} // namespace zelto::approval
