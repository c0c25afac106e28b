// The connect-token bootstrap of a worker, and the older one-call worker
// set-up kept for existing deployments.
#include "zelto_cloud/temporal/temporal.hpp"

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace zelto::temporal {

namespace {

Name logger_name{"logger"};
Name resolve_name{"_resolve_signing_key"};

constexpr const char* deprecation_message =
    "configure_temporal_worker is deprecated; use ZeltoPluginConfig.from_env(activity_fns="
    "activity_fns) with ZeltoTemporalPlugin instead. Will be removed in 0.2.0.";

// The worker's public key as lower-case hex, or None when it cannot be had.
Ref public_key_hex(Handle signing_key) {
    if (signing_key == Py_None) {
        return none();
    }
    try {
        Ref raw = call_method(getattr(signing_key, "public_key"), "to_bytes");
        return call_method(raw, "hex");
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
        return none();
    }
}

ZELTO_ARGS(MaybeConnectFromEnvArg, signing_key);

Ref maybe_connect_from_env(Frame& frame) {
    Ref token = environ_get(frame, "ZELTO_CONNECT_TOKEN", Py_None);
    if (token.is_none() || !truthy(token)) {
        return none();
    }
    Ref connect = import_from("zelto_cloud.connect", "connect");
    Ref key_hex = public_key_hex(frame[MaybeConnectFromEnvArg::signing_key]);
    try {
        Ref connection =
            call(connect, kw("public_key_hex", key_hex), kw("claim", true), kw("apply_env", true));
        Ref close = getattr_or(connection, "close", Py_None);
        if (PyCallable_Check(close.get())) {
            call(close);
        }
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
        Handling scope(caught);
        log(frame.global(logger_name), "warning", "ZELTO_CONNECT_TOKEN bootstrap failed: %s",
            caught.ref());
    }
    return none();
}

// The argument when it is truthy, else the environment variable.
Ref argument_or_env(const Frame& frame, Handle given, Literal variable, Handle fallback) {
    return truthy(given) ? Ref::borrow(given) : environ_get(frame, variable, fallback);
}

Ref load_signing_key(Frame& frame) {
    Ref hex = environ_get(frame, "ZELTO_SIGNING_KEY", "");
    Ref secret_id = environ_get(frame, "ZELTO_WORKER_SECRET_ID", "zelto-keys-worker");
    Ref project = environ_get(frame, "GCP_PROJECT", "zelto-cloud");
    try {
        return call(frame.global(resolve_name), hex, secret_id, project);
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
        Handling scope(caught);
        Ref message =
            format("Could not load Zelto worker signing key. Set ZELTO_SIGNING_KEY (hex) or "
                   "ZELTO_WORKER_SECRET_ID + GCP_PROJECT for GCP Secret Manager. "
                   "Underlying error: ",
                   py_str(caught));
        raise_from(call(PyExc_RuntimeError, message), caught);
    }
}

ZELTO_ARGS(ConfigureTemporalWorkerArg, activity_fns, api_key, signing_key, control_plane_url,
           dashboard_root_key_hex, authorizer_name, fast_poll_seconds, fast_poll_attempts);

Ref configure_temporal_worker(Frame& frame) {
    // Level 1 is the caller's line: a native function has no frame of its own.
    Ref warnings = import_module("warnings");
    call_method(warnings, "warn", deprecation_message, (PyObject*)PyExc_DeprecationWarning,
                kw("stacklevel", 1));
    Ref plugin_class = import_from("zelto.temporal", "ZeltoPlugin");
    Ref config_class = import_from("zelto.temporal", "ZeltoPluginConfig");
    Ref control_plane_class = import_from("zelto.control_plane", "ControlPlaneClient");
    Ref public_key_class = import_from("zelto_core", "PublicKey");
    Ref temporal_cloud_approval = import_from("zelto_cloud.approval", "temporal_cloud_approval");

    Ref api_key = argument_or_env(frame, frame[ConfigureTemporalWorkerArg::api_key],
                                  "ZELTO_API_KEY", str(""));
    Ref url = argument_or_env(frame, frame[ConfigureTemporalWorkerArg::control_plane_url],
                              "ZELTO_CONTROL_PLANE_URL", str(default_base_url));
    Ref root_hex = argument_or_env(frame, frame[ConfigureTemporalWorkerArg::dashboard_root_key_hex],
                                   "ZELTO_DASHBOARD_ROOT_KEY", str(""));
    Ref signing_key = Ref::borrow(frame[ConfigureTemporalWorkerArg::signing_key]);
    if (signing_key.is_none()) {
        signing_key = load_signing_key(frame);
    }
    Ref roots = Ref::steal(PyList_New(0));
    list_append(roots, getattr(signing_key, "public_key"));
    if (truthy(root_hex)) {
        Ref raw = call_method((PyObject*)&PyBytes_Type, "fromhex", root_hex);
        list_append(roots, call_method(public_key_class, "from_bytes", raw));
    }
    Ref control_plane = none();
    Ref handler = none();
    if (truthy(api_key)) {
        control_plane =
            call(control_plane_class, kw("url", url), kw("api_key", api_key),
                 kw("authorizer_name", frame[ConfigureTemporalWorkerArg::authorizer_name]),
                 kw("signing_key", signing_key));
        handler =
            call(temporal_cloud_approval, kw("api_key", api_key), kw("signing_key", signing_key),
                 kw("base_url", url),
                 kw("fast_poll_seconds", frame[ConfigureTemporalWorkerArg::fast_poll_seconds]),
                 kw("fast_poll_attempts", frame[ConfigureTemporalWorkerArg::fast_poll_attempts]));
    }
    Ref activity_fns = Ref::steal(PySequence_List(frame[ConfigureTemporalWorkerArg::activity_fns]));
    Ref config =
        call(config_class, kw("signing_key", signing_key), kw("control_plane", control_plane),
             kw("on_denial", "raise"), kw("trusted_roots", roots), kw("activity_fns", activity_fns),
             kw("approval_handler", handler));
    return call(plugin_class, config);
}

} // namespace

constexpr FunctionDef maybe_connect_from_env_def{
    .name = "_maybe_connect_from_env",
    .params = {param("signing_key", "Any", Default::None())},
    .returns = "None",
    .doc = "Apply ZELTO_CONNECT_TOKEN and claim the pending agent, if a token is set.\n"
           "\n"
           "Safe to call on every worker start: a second claim (a restart, or an\n"
           "explicit connect() followed by from_env()) is treated as already active.\n"
           "A failing connect is logged as a warning and never stops the worker.",
    .impl = maybe_connect_from_env,
};
static_assert(args_match<MaybeConnectFromEnvArg>(maybe_connect_from_env_def));

constexpr FunctionDef configure_temporal_worker_def{
    .name = "configure_temporal_worker",
    .params =
        {
            param("activity_fns", "Sequence[Callable[..., Any]]"),
            keyword_param("api_key", "Optional[str]", Default::None()),
            keyword_param("signing_key", "Any", Default::None()),
            keyword_param("control_plane_url", "Optional[str]", Default::None()),
            keyword_param("dashboard_root_key_hex", "Optional[str]", Default::None()),
            keyword_param("authorizer_name", "str", Default::Text("temporal-worker")),
            fast_poll_seconds_param,
            fast_poll_attempts_param,
        },
    .returns = "Any",
    .doc = "Configure a ZeltoPlugin for a Temporal worker from env + overrides.\n"
           "\n"
           "Deprecated: use ``ZeltoPluginConfig.from_env(activity_fns=...)`` with\n"
           "``ZeltoPlugin`` (both from ``zelto_cloud.temporal``) instead. This function\n"
           "will be removed in a future release.\n"
           "\n"
           "``ZELTO_`` environment variables serve as defaults; keyword arguments take\n"
           "precedence. Without ``signing_key`` the key comes from ZELTO_SIGNING_KEY\n"
           "(hex), or from GCP Secret Manager (ZELTO_WORKER_SECRET_ID, GCP_PROJECT).\n"
           "\n"
           "Args:\n"
           "    fast_poll_seconds: Seconds between approval status polls.\n"
           "    fast_poll_attempts: Number of polls before a retriable error is raised.\n",
    .impl = configure_temporal_worker,
};
static_assert(args_match<ConfigureTemporalWorkerArg>(configure_temporal_worker_def));

} // namespace zelto::temporal
