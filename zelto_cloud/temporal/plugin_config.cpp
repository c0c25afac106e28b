// ZeltoPluginConfig: the SDK's Temporal plugin configuration, with the cloud
// approval handler, the control plane and its receipt sink wired from the
// ZELTO_ environment; or, without the SDK's Temporal extra, a placeholder
// that says how to install it.
#include "zelto_cloud/temporal/temporal.hpp"

#include "support/classes.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace zelto::temporal {

namespace {

Name logger_name{"logger"};
Name connect_name{"_maybe_connect_from_env"};
Name observe_first_name{"observe_first_from_env"};
Name missing_plugin_error_name{"_missing_zelto_plugin_import_error"};

constexpr const char* config_doc =
    "Drop-in replacement for the core ``zelto.temporal.ZeltoPluginConfig``.\n"
    "\n"
    "Same fields, same behaviour. When ``ZELTO_API_KEY`` is set and\n"
    "``approval_handler`` and ``control_plane`` are left as ``None``, they are\n"
    "auto-wired from the ``ZELTO_`` environment variables: the Temporal-aware\n"
    "cloud approval handler, and a control-plane client with the cloud receipt\n"
    "sink.\n"
    "\n"
    "Approvers and thresholds come from the warrant itself (``RequiredApprovers``\n"
    "and ``MinApprovals``), so no separate configuration is needed.\n"
    "\n"
    "Migration is one import change::\n"
    "\n"
    "    # before\n"
    "    from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig\n"
    "    # after\n"
    "    from zelto_cloud.temporal import ZeltoPlugin, ZeltoPluginConfig\n";

[[noreturn]] void raise_install_hint(Handle cause) {
    Ref error = call(PyExc_ImportError, install_hint);
    raise_from(error, cause);
}

// ---- the cloud subclass --------------------------------------------------------

bool is_set(const Ref& overrides, Literal key) {
    return check(PyDict_Contains(overrides.get(), interned(key).get())) != 0;
}

// A ValueError naming the variable and the form it takes, chained to the
// error being handled (the decoder's or the core's).
[[noreturn]] void refuse_variable(const char* variable, const char* form) {
    Caught caught;
    Handling scope(caught);
    Ref message =
        Ref::steal(PyUnicode_FromFormat("%s is not %s: %S", variable, form, caught.get()));
    raise_from(call(PyExc_ValueError, message), caught);
}

// The worker key from ZELTO_ISSUER_KEY or ZELTO_SIGNING_KEY: hex, else base64.
Ref signing_key_from_env(const Frame& frame) {
    const char* variable = "ZELTO_ISSUER_KEY";
    Ref text = environ_get(frame, "ZELTO_ISSUER_KEY", Py_None);
    if (text.is_none() || !truthy(text)) {
        variable = "ZELTO_SIGNING_KEY";
        text = environ_get(frame, "ZELTO_SIGNING_KEY", Py_None);
    }
    if (text.is_none() || !truthy(text)) {
        return none();
    }
    Ref signing_key_class = import_from("zelto_core", "SigningKey");
    Ref stripped = call_method(text, "strip");
    try {
        Ref raw = call_method((PyObject*)&PyBytes_Type, "fromhex", stripped);
        return call_method(signing_key_class, "from_bytes", raw);
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ValueError);
        Handling scope(caught);
        try {
            Ref raw = call_method(import_module("base64"), "b64decode", stripped);
            return call_method(signing_key_class, "from_bytes", raw);
        } catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                throw;
            }
            refuse_variable(
                variable,
                "a signing key (the 32-byte Ed25519 seed as 64 hex digits, or in base64)");
        }
    }
}

ZELTO_ARGS(FromEnvArg, cls, overrides);

Ref from_env(Frame& frame) {
    Handle cls = frame[FromEnvArg::cls];
    Ref overrides = Ref::steal(PyDict_Copy(frame.varkw()));
    Ref signing_key = none();
    if (is_set(overrides, "signing_key")) {
        signing_key = subscript(overrides, "signing_key");
        check(PyDict_DelItem(overrides.get(), interned("signing_key").get()));
    }
    if (signing_key.is_none()) {
        signing_key = signing_key_from_env(frame);
    } else if (check(PyObject_HasAttrStringWithError(signing_key.get(), "public_key")) == 0) {
        PyErr_Format(PyExc_TypeError, "signing_key must be a zelto_core SigningKey, not %.200s",
                     Py_TYPE(signing_key.get())->tp_name);
        throw_error();
    }
    if (!signing_key.is_none() && !is_set(overrides, "trusted_roots")) {
        Ref roots = Ref::steal(PyList_New(0));
        list_append(roots, getattr(signing_key, "public_key"));
        dict_set(overrides, interned("trusted_roots"), roots);
    }
    call(frame.global(connect_name), signing_key);
    Ref observe_first = call(frame.global(observe_first_name));
    if (!is_set(overrides, "dry_run")) {
        dict_set(overrides, interned("dry_run"), observe_first);
    }
    if (truthy(subscript(overrides, "dry_run"))) {
        log(frame.global(logger_name), "info",
            "zelto_cloud: observe-first (dry_run=True); set ZELTO_ENFORCEMENT=enforce to fail "
            "closed");
    }
    Ref arguments = Ref::steal(PyDict_New());
    dict_set(arguments, interned("signing_key"), signing_key);
    check(PyDict_Update(arguments.get(), overrides.get()));
    return call_with(cls, Ref::steal(PyTuple_New(0)), arguments);
}

void wire_approval_handler(const Frame& frame, Handle self, const Ref& api_key, const Ref& url) {
    Ref temporal_cloud_approval = import_from("zelto_cloud.approval", "temporal_cloud_approval");
    Ref handler = call(temporal_cloud_approval, kw("api_key", api_key),
                       kw("signing_key", getattr(self, "signing_key")), kw("base_url", url));
    setattr(self, "approval_handler", handler);
    log(frame.global(logger_name), "info",
        "zelto_cloud: auto-wired approval_handler from ZELTO_API_KEY (control_plane_url=%s)", url);
}

// The control plane with the cloud receipt sink; left unwired, silently, when
// one of the pieces cannot be imported.
void wire_control_plane(const Frame& frame, Handle self, const Ref& api_key, const Ref& url) {
    try {
        Ref control_plane_class = import_from("zelto.control_plane", "ControlPlaneClient");
        Ref client_class = import_from("zelto_cloud.client", "ZeltoCloudClient");
        Ref sink_class = import_from("zelto_cloud.providers", "CloudReceiptSink");
        Ref receipt_client = call(client_class, kw("api_key", api_key), kw("base_url", url));
        Ref authorizer = environ_get(frame, "ZELTO_AUTHORIZER_NAME", "temporal-worker");
        Ref control_plane =
            call(control_plane_class, kw("url", url), kw("api_key", api_key),
                 kw("authorizer_name", authorizer), kw("signing_key", getattr(self, "signing_key")),
                 kw("receipt_sink", call(sink_class, receipt_client)));
        setattr(self, "control_plane", control_plane);
        log(frame.global(logger_name), "info",
            "zelto_cloud: auto-wired control_plane and receipt-v1 sink from ZELTO_API_KEY");
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ImportError);
    }
}

// The dashboard root joins trusted_roots once: a new list when it is added,
// the very same object when it is there already.
void add_dashboard_root(Handle self, const Ref& root_hex) {
    Ref public_key_class = import_from("zelto_core", "PublicKey");
    Ref root;
    try {
        Ref raw = call_method((PyObject*)&PyBytes_Type, "fromhex", root_hex);
        root = call_method(public_key_class, "from_bytes", raw);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw;
        }
        refuse_variable("ZELTO_DASHBOARD_ROOT_KEY",
                        "a public key (the 32-byte Ed25519 public key as 64 hex digits)");
    }
    Ref current = getattr(self, "trusted_roots");
    Ref roots = (current.is_none() || !truthy(current))
                    ? Ref::steal(PyList_New(0))
                    : Ref::steal(PySequence_List(current.get()));
    Ref seen = Ref::steal(PySet_New(nullptr));
    Py_ssize_t count = PyList_GET_SIZE(roots.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref raw_root = Ref::steal(PyObject_Bytes(PyList_GET_ITEM(roots.get(), i)));
        set_add(seen, raw_root);
    }
    Ref raw_new = Ref::steal(PyObject_Bytes(root.get()));
    if (check(PySet_Contains(seen.get(), raw_new.get()))) {
        return;
    }
    list_append(roots, root);
    setattr(self, "trusted_roots", roots);
}

ZELTO_ARGS(PostInitArg, self);

Ref post_init(Frame& frame) {
    Handle self = frame[PostInitArg::self];
    call_super(frame, "__post_init__");
    Ref api_key = environ_get(frame, "ZELTO_API_KEY", "");
    Ref url = environ_get(frame, "ZELTO_CONTROL_PLANE_URL", default_base_url);
    Ref root_hex = environ_get(frame, "ZELTO_DASHBOARD_ROOT_KEY", "");
    if (truthy(api_key)) {
        bool has_key = !getattr(self, "signing_key").is_none();
        if (getattr(self, "approval_handler").is_none() && has_key) {
            wire_approval_handler(frame, self, api_key, url);
        }
        if (getattr(self, "control_plane").is_none() && has_key) {
            wire_control_plane(frame, self, api_key, url);
        }
    } else {
        log(frame.global(logger_name), "info",
            "zelto_cloud: ZELTO_API_KEY not set, running in local mode");
    }
    if (truthy(root_hex)) {
        add_dashboard_root(self, root_hex);
    }
    return none();
}

constexpr FunctionDef from_env_def{
    .name = "from_env",
    .params =
        {
            param("cls"),
            varkw_param("overrides", "Any"),
        },
    .returns = "ZeltoPluginConfig",
    .doc = "One-liner worker setup from environment variables.\n"
           "\n"
           "Reads ``ZELTO_ISSUER_KEY``, or ``ZELTO_SIGNING_KEY`` as a fallback: the\n"
           "worker's key as 64 hex digits (``SigningKey.to_bytes().hex()``) or the\n"
           "base64 of those 32 bytes, and derives\n"
           "``trusted_roots=[signing_key.public_key]``. When ``ZELTO_API_KEY`` is set\n"
           "too, ``__post_init__`` wires the cloud approval handler and control plane,\n"
           "which call ``ZELTO_CONTROL_PLANE_URL``; ``ZELTO_DASHBOARD_ROOT_KEY`` (a hex\n"
           "public key) joins the trusted roots, and ``ZELTO_ENFORCEMENT`` sets\n"
           "``dry_run``. Any ``**overrides`` are forwarded to the constructor, so any\n"
           "field can be set (for example ``activity_fns``,\n"
           "``clearance_requirements``, ``on_denial``)::\n"
           "\n"
           "    from zelto_cloud.temporal import ZeltoPlugin, ZeltoPluginConfig\n"
           "\n"
           "    config = ZeltoPluginConfig.from_env(activity_fns=[transfer_funds])\n"
           "    worker = Worker(client, task_queue=\"payments\", workflows=[PaymentWorkflow],\n"
           "                    activity_executor=ThreadPoolExecutor(4),\n"
           "                    plugins=[ZeltoPlugin(config)])\n"
           "\n"
           "Each guarded activity carries its warrant (``zelto.temporal.carries_warrant``);\n"
           "synchronous activities need the ``activity_executor``. A workflow module\n"
           "imports ``zelto``, ``zelto_core`` and ``zelto_cloud`` inside\n"
           "``workflow.unsafe.imports_passed_through()``: their compiled modules load\n"
           "once per process and cannot be loaded again in the workflow sandbox.\n",
    .impl = from_env,
};
static_assert(args_match<FromEnvArg>(from_env_def));

constexpr FunctionDef post_init_def{
    .name = "__post_init__",
    .params = {param("self")},
    .returns = "None",
    .impl = post_init,
};
static_assert(args_match<PostInitArg>(post_init_def));

// ---- the placeholders ----------------------------------------------------------

Ref missing_config_init(Frame& frame) {
    raise_install_hint(frame.cell(0));
}

Ref missing_config_from_env(Frame& frame) {
    raise_install_hint(frame.cell(0));
}

Ref missing_plugin_init(Frame& frame) {
    raise_install_hint(frame.global(missing_plugin_error_name));
}

const FunctionDef missing_init_def{
    .name = "__init__",
    .params =
        {
            param("self"),
            varargs_param("_a"),
            varkw_param("_kw"),
        },
    .impl = missing_config_init,
};

const FunctionDef missing_from_env_def{
    .name = "from_env",
    .params =
        {
            param("cls"),
            varkw_param("_kw"),
        },
    .impl = missing_config_from_env,
};

const FunctionDef missing_plugin_init_def{
    .name = "__init__",
    .params =
        {
            param("self"),
            varargs_param("_a"),
            varkw_param("_kw"),
        },
    .impl = missing_plugin_init,
};

Ref make_cloud_plugin_config_class(Frame& frame) {
    Ref core;
    try {
        core = import_from("zelto.temporal", "ZeltoPluginConfig");
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ImportError);
        ClassBuilder builder(frame, "_MissingZeltoTemporal",
                             "_make_cloud_plugin_config_class.<locals>._MissingZeltoTemporal");
        builder.method(missing_init_def, {caught}).classmethod(missing_from_env_def, {caught});
        Ref placeholder = builder.build();
        rename_class(placeholder, "ZeltoPluginConfig");
        return placeholder;
    }
    ClassBuilder builder(frame, "_CloudZeltoPluginConfig",
                         "_make_cloud_plugin_config_class.<locals>._CloudZeltoPluginConfig");
    builder.doc(config_doc).classmethod(from_env_def).method(post_init_def);
    Ref bases = tuple_of({core});
    Ref cls = builder.build(bases);
    rename_class(cls, "ZeltoPluginConfig");
    return cls;
}

} // namespace

const FunctionDef make_cloud_plugin_config_class_def{
    .name = "_make_cloud_plugin_config_class",
    .params = {},
    .returns = "type",
    .doc = "Build a ZeltoPluginConfig subclass that auto-wires cloud fields from env.",
    .impl = make_cloud_plugin_config_class,
};

Ref make_missing_plugin_class(Handle module) {
    ClassBuilder builder(module, "_MissingZeltoPlugin");
    builder.method(missing_plugin_init_def);
    Ref placeholder = builder.build();
    rename_class(placeholder, "ZeltoPlugin");
    return placeholder;
}

} // namespace zelto::temporal
