// The body of a cloud approval request, built from the SDK's approval-gate
// request: holder key, request hash, canonical arguments and attestation
// (made by the native core when the request carries none), policy id and the
// inline approval rules.
#include "support/classes.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "zelto_cloud/morvel/morvel.hpp"

using namespace zelto;
using namespace zelto::morvel;

namespace {

Name logger_name{"logger"};
Name error_name{"ZeltoCloudError"};
Name payload_class_name{"ApprovalRequestPayload"};
Name resolve_holder_key_name{"_resolve_holder_key"};
Name resolve_signing_key_name{"_resolve_signing_key"};
Name normalize_request_hash_name{"_normalize_request_hash"};
Name extract_policy_id_name{"_extract_policy_id"};
Name extract_inline_rules_name{"_extract_inline_rules"};
Name build_attestation_fields_name{"_build_attestation_fields"};

constexpr const char* holder_key_required =
    "request.holder_key is required for cloud approval - ensure the warrant is bound before "
    "enforcement";
constexpr const char* attestation_required =
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the "
    "warrant is bound so key_scope() resolves the holder key";
constexpr const char* hash_unresolved = "request_hash could not be resolved for approval request";
constexpr const char* hash_wrong_type = "request.request_hash must be bytes or hex string";

// The module's own payload class and its generated __init__, for the direct
// construction below. The module initialises once per process.
PyObject* own_payload_class = nullptr;
PyObject* own_payload_init = nullptr;

// A private module-level function, looked up now, and called directly while
// it is still the module's own.
Ref call_private(const Frame& frame, Name& name, const FunctionDef& def,
                 std::initializer_list<Handle> args) {
    return call_own_or_replaced(frame.global(name), def, args);
}

PyObject* bytes_type() {
    return (PyObject*)&PyBytes_Type;
}

[[noreturn]] void raise_cloud_error(const Frame& frame, const char* message) {
    Ref error = call(frame.global(error_name), message);
    raise(error);
}

// getattr(obj, name, default)
Ref read(Handle obj, Literal name, Handle fallback = Py_None) {
    return getattr_or(obj, name, fallback);
}

Ref empty_bytes() {
    return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
}

Ref bytes_copy(Handle value) {
    if (PyBytes_CheckExact(value)) {
        return Ref::borrow(value);
    }
    return call(bytes_type(), value);
}

Ref from_hex(Handle text) {
    return call_method(bytes_type(), "fromhex", text);
}

bool is_bytes_like(Handle value) {
    return PyBytes_Check(value) || PyByteArray_Check(value);
}

// ---- private functions -------------------------------------------------------------

ZELTO_ARGS(ResolveHolderKeyArg, request);

Ref resolve_holder_key(Frame& frame) {
    Ref holder_key = read(frame[ResolveHolderKeyArg::request], "holder_key");
    if (holder_key.is_none()) {
        return empty_bytes();
    }
    if (is_bytes_like(holder_key)) {
        return bytes_copy(holder_key);
    }
    if (PyUnicode_Check(holder_key.get())) {
        return from_hex(holder_key);
    }
    Ref to_bytes = read(holder_key, "to_bytes");
    if (PyCallable_Check(to_bytes.get())) {
        return call(bytes_type(), call(to_bytes));
    }
    return empty_bytes();
}

ZELTO_ARGS(ResolveSigningKeyArg, explicit_);

Ref resolve_signing_key(Frame& frame) {
    Handle explicit_key = frame[ResolveSigningKeyArg::explicit_];
    if (explicit_key != Py_None) {
        return Ref::borrow(explicit_key);
    }
    try {
        Ref key_scope = import_from("zelto.decorators", "key_scope");
        return call(key_scope);
    } catch (const PythonError&) {
        Caught caught;
        if (caught.matches(PyExc_ImportError)) {
            return none();
        }
        caught.reraise_unless(PyExc_Exception);
        Handling scope(caught);
        log(frame.global(logger_name), "debug", "key_scope unavailable: %s", caught.ref());
        return none();
    }
}

ZELTO_ARGS(NormalizeRequestHashArg, value);

Ref normalize_request_hash(Frame& frame) {
    Handle value = frame[NormalizeRequestHashArg::value];
    if (is_bytes_like(value)) {
        return bytes_copy(value);
    }
    if (PyUnicode_Check(value)) {
        return from_hex(value);
    }
    raise_cloud_error(frame, hash_wrong_type);
}

ZELTO_ARGS(ExtractPolicyIdArg, request, override);

Ref extract_policy_id(Frame& frame) {
    Handle override_id = frame[ExtractPolicyIdArg::override];
    if (truthy(override_id)) {
        return Ref::borrow(override_id);
    }
    for (Literal name : {Literal("policy_id"), Literal("policy_ref")}) {
        Ref value = read(frame[ExtractPolicyIdArg::request], name);
        if (PyUnicode_Check(value.get()) && PyUnicode_GET_LENGTH(value.get()) > 0) {
            return value;
        }
    }
    return none();
}

Ref approver_key_text(Handle approver) {
    if (is_bytes_like(approver)) {
        return call_method(approver, "hex");
    }
    if (PyUnicode_CheckExact(approver)) {
        return Ref::borrow(approver);
    }
    return py_str(approver);
}

ZELTO_ARGS(ExtractInlineRulesArg, request);

Ref extract_inline_rules(Frame& frame) {
    Handle request = frame[ExtractInlineRulesArg::request];
    Ref approvers = read(request, "required_approvers");
    Ref approver_keys = none();
    if (truthy(approvers)) {
        approver_keys = Ref::steal(PyList_New(0));
        Ref iterator = Ref::steal(PyObject_GetIter(approvers.get()));
        while (Ref approver = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
            list_append(approver_keys, approver_key_text(approver));
        }
        if (PyErr_Occurred()) {
            throw_error();
        }
    }
    Ref threshold = read(request, "min_approvals");
    Ref ttl = read(request, "ttl_seconds");
    if (ttl.is_none()) {
        Ref gate_ttl = read(request, "gate_ttl");
        if (!gate_ttl.is_none()) {
            ttl = Ref::steal(PyNumber_Long(gate_ttl.get()));
        }
    }
    return tuple_of({approver_keys, threshold, ttl});
}

ZELTO_ARGS(BuildAttestationFieldsArg, request, signing_key, holder_key);

Ref build_attestation_fields(Frame& frame) {
    Handle request = frame[BuildAttestationFieldsArg::request];
    Handle signing_key = frame[BuildAttestationFieldsArg::signing_key];
    Ref attest = import_from("zelto_core", "py_build_approval_context_attestation");
    Ref holder_public_key = getattr(signing_key, "public_key");
    Ref warrant_id = getattr(request, "warrant_id");
    Ref tool = getattr(request, "tool");
    Ref arguments = getattr(request, "arguments");
    Ref built = call(attest, signing_key, warrant_id, tool, arguments, holder_public_key);
    auto [args_b64, raw_attestation] = unpack<2>(built);
    Ref attestation = call((PyObject*)&PyDict_Type, raw_attestation);

    Ref hash_source = read(request, "request_hash", empty_bytes());
    Ref request_hash =
        call_private(frame, normalize_request_hash_name, normalize_request_hash_def, {hash_source});
    Ref attested_hash = get_item(attestation, "request_hash");
    if (truthy(attested_hash)) {
        try {
            request_hash = from_hex(py_str(attested_hash));
        } catch (const PythonError&) {
            Caught caught;
            caught.reraise_unless(PyExc_ValueError, PyExc_TypeError);
        }
    }
    return tuple_of({args_b64, attestation, request_hash});
}

// ---- the builder -----------------------------------------------------------------

enum class Include { always, not_none, truthy };

// The payload's twelve fields, in order: the dataclass fields (optional ones
// default to None), the values the builder passes, and which of them
// to_create_request_kwargs passes on.
struct PayloadField {
    Literal name;
    const char* annotation;
    bool optional;
    Include include;
};

constexpr PayloadField payload_fields[] = {
    {"warrant_id", "str", false, Include::always},
    {"tool", "str", false, Include::always},
    {"request_hash", "bytes", false, Include::always},
    {"holder_key", "bytes", false, Include::always},
    {"args_canonical_cbor_b64", "str", false, Include::always},
    {"approval_context_attestation", "Dict[str, Any]", false, Include::always},
    {"metadata", "Optional[Dict[str, Any]]", true, Include::not_none},
    {"policy_id", "Optional[str]", true, Include::truthy},
    {"threshold", "Optional[int]", true, Include::not_none},
    {"approver_keys", "Optional[List[str]]", true, Include::not_none},
    {"ttl_seconds", "Optional[int]", true, Include::not_none},
    {"idempotency_key", "Optional[str]", true, Include::truthy},
};

// True while the class is the module's own, still made by type() from object,
// with the generated __init__: then setting the fields on a fresh instance is
// exactly what calling the class would do.
bool constructs_as_generated(PyObject* cls) {
    if (cls != own_payload_class || Py_TYPE(cls) != &PyType_Type) {
        return false;
    }
    PyTypeObject* type = (PyTypeObject*)cls;
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_setattro != PyObject_GenericSetAttr) {
        return false;
    }
    return getattr(cls, "__init__").is(own_payload_init);
}

Ref make_payload(PyObject* cls, std::initializer_list<Ref> values) {
    size_t index = 0;
    if (!constructs_as_generated(cls)) {
        Ref kwargs = Ref::steal(PyDict_New());
        for (const Ref& value : values) {
            check(PyDict_SetItem(kwargs.get(), interned(payload_fields[index++].name).get(),
                                 value.get()));
        }
        return call_with(cls, Ref::steal(PyTuple_New(0)), kwargs);
    }
    PyTypeObject* type = (PyTypeObject*)cls;
    Ref instance = Ref::steal(type->tp_alloc(type, 0));
    for (const Ref& value : values) {
        setattr(instance, payload_fields[index++].name, value);
    }
    return instance;
}

struct Attested {
    Ref args_b64;
    Ref attestation;
    Ref request_hash;
};

Attested resolve_attestation(Frame& frame, Handle request, Handle signing_key_arg,
                             const Ref& holder_key) {
    Ref args_b64 = read(request, "args_canonical_cbor_b64", interned(""));
    if (!truthy(args_b64)) {
        args_b64 = interned("");
    }
    Ref raw_attestation = read(request, "approval_context_attestation");
    Ref attestation = truthy(raw_attestation) ? call((PyObject*)&PyDict_Type, raw_attestation)
                                              : Ref::steal(PyDict_New());
    Ref signing_key =
        call_private(frame, resolve_signing_key_name, resolve_signing_key_def, {signing_key_arg});
    Ref request_hash = empty_bytes();
    if (!read(request, "request_hash").is_none()) {
        request_hash = call_private(frame, normalize_request_hash_name, normalize_request_hash_def,
                                    {getattr(request, "request_hash")});
    }
    bool incomplete = !truthy(args_b64) || !truthy(attestation);
    if (incomplete && !signing_key.is_none()) {
        Ref build = frame.global(build_attestation_fields_name);
        Ref built = is_function_of(build, build_attestation_fields_def)
                        ? call_direct(build, {request, signing_key, holder_key})
                        : call(build, request, kw("signing_key", signing_key),
                               kw("holder_key", holder_key));
        auto [new_args, new_attestation, new_hash] = unpack<3>(built);
        return {new_args, new_attestation, new_hash};
    }
    if (incomplete) {
        raise_cloud_error(frame, attestation_required);
    }
    return {args_b64, attestation, request_hash};
}

ZELTO_ARGS(BuildApprovalRequestPayloadArg, request, signing_key, policy_id, idempotency_key);

Ref build_approval_request_payload(Frame& frame) {
    Handle request = frame[BuildApprovalRequestPayloadArg::request];
    Ref holder_key =
        call_private(frame, resolve_holder_key_name, resolve_holder_key_def, {request});
    if (!truthy(holder_key)) {
        raise_cloud_error(frame, holder_key_required);
    }
    Attested attested = resolve_attestation(
        frame, request, frame[BuildApprovalRequestPayloadArg::signing_key], holder_key);
    if (!truthy(attested.request_hash)) {
        Ref attested_hash = get_item(attested.attestation, "request_hash");
        if (!truthy(attested_hash)) {
            raise_cloud_error(frame, hash_unresolved);
        }
        attested.request_hash = from_hex(py_str(attested_hash));
    }
    Ref rules = call_private(frame, extract_inline_rules_name, extract_inline_rules_def, {request});
    auto [approver_keys, threshold, ttl_seconds] = unpack<3>(rules);
    Ref policy_id = call_private(frame, extract_policy_id_name, extract_policy_id_def,
                                 {request, frame[BuildApprovalRequestPayloadArg::policy_id]});
    Ref arguments = read(request, "arguments");
    Ref metadata = PyDict_Check(arguments.get()) ? arguments : none();
    Ref payload_class = frame.global(payload_class_name);
    Ref empty = interned("");
    Ref warrant_id = py_str(read(request, "warrant_id", empty));
    Ref tool = py_str(read(request, "tool", empty));
    Ref idempotency_key = Ref::borrow(frame[BuildApprovalRequestPayloadArg::idempotency_key]);
    if (!truthy(idempotency_key)) {
        idempotency_key = read(request, "idempotency_key");
    }
    return make_payload(payload_class.get(),
                        {warrant_id, tool, attested.request_hash, holder_key, attested.args_b64,
                         attested.attestation, metadata, policy_id, threshold, approver_keys,
                         ttl_seconds, idempotency_key});
}

// ---- ApprovalRequestPayload ------------------------------------------------------------

ZELTO_ARGS(ToCreateRequestKwargsArg, self);

Ref to_create_request_kwargs(Frame& frame) {
    Ref kwargs = Ref::steal(PyDict_New());
    for (const PayloadField& field : payload_fields) {
        Ref value = getattr(frame[ToCreateRequestKwargsArg::self], field.name);
        bool include = field.include == Include::always ||
                       (field.include == Include::not_none && !value.is_none()) ||
                       (field.include == Include::truthy && truthy(value));
        if (include) {
            dict_set(kwargs, interned(field.name), value);
        }
    }
    return kwargs;
}

constexpr FunctionDef to_create_request_kwargs_def{
    .name = "to_create_request_kwargs",
    .params = {param("self")},
    .returns = "Dict[str, Any]",
    .doc = "Keyword arguments for the cloud client's ``create_request``.",
    .impl = to_create_request_kwargs,
};
static_assert(args_match<ToCreateRequestKwargsArg>(to_create_request_kwargs_def));

Ref make_payload_class(Handle module) {
    ClassBuilder builder(module, "ApprovalRequestPayload");
    builder.doc("Fully populated body for ``POST /v1/approvals/requests``.");
    for (const PayloadField& field : payload_fields) {
        builder.annotate(field.name.c_str(), field.annotation);
        if (field.optional) {
            builder.attr(field.name.c_str(), Py_None);
        }
    }
    builder.method(to_create_request_kwargs_def);
    Ref cls = builder.build();
    return dataclass(cls);
}

} // namespace

namespace zelto::morvel {

Ref payload_class(Handle module) {
    Ref cls = make_payload_class(module);
    own_payload_class = cls.new_ref();
    own_payload_init = getattr(cls, "__init__").release();
    return cls;
}

constexpr FunctionDef resolve_holder_key_def{
    .name = "_resolve_holder_key",
    .params = {param("request", "Any")},
    .returns = "bytes",
    .impl = resolve_holder_key,
};
static_assert(args_match<ResolveHolderKeyArg>(resolve_holder_key_def));

constexpr FunctionDef resolve_signing_key_def{
    .name = "_resolve_signing_key",
    .params = {param("explicit", "Any", Default::None())},
    .returns = "Any",
    .impl = resolve_signing_key,
};
static_assert(args_match<ResolveSigningKeyArg>(resolve_signing_key_def));

constexpr FunctionDef normalize_request_hash_def{
    .name = "_normalize_request_hash",
    .params = {param("value", "Any")},
    .returns = "bytes",
    .impl = normalize_request_hash,
};
static_assert(args_match<NormalizeRequestHashArg>(normalize_request_hash_def));

constexpr FunctionDef extract_policy_id_def{
    .name = "_extract_policy_id",
    .params =
        {
            param("request", "Any"),
            param("override", "Optional[str]", Default::None()),
        },
    .returns = "Optional[str]",
    .impl = extract_policy_id,
};
static_assert(args_match<ExtractPolicyIdArg>(extract_policy_id_def));

constexpr FunctionDef extract_inline_rules_def{
    .name = "_extract_inline_rules",
    .params = {param("request", "Any")},
    .returns = "tuple[Optional[List[str]], Optional[int], Optional[int]]",
    .impl = extract_inline_rules,
};
static_assert(args_match<ExtractInlineRulesArg>(extract_inline_rules_def));

constexpr FunctionDef build_attestation_fields_def{
    .name = "_build_attestation_fields",
    .params =
        {
            param("request", "Any"),
            keyword_param("signing_key", "Any"),
            keyword_param("holder_key", "bytes"),
        },
    .returns = "tuple[str, Dict[str, Any], bytes]",
    .impl = build_attestation_fields,
};
static_assert(args_match<BuildAttestationFieldsArg>(build_attestation_fields_def));

constexpr FunctionDef build_approval_request_payload_def{
    .name = "build_approval_request_payload",
    .params =
        {
            param("request", "Any"),
            keyword_param("signing_key", "Any", Default::None()),
            keyword_param("policy_id", "Optional[str]", Default::None()),
            keyword_param("idempotency_key", "Optional[str]", Default::None()),
        },
    .returns = "ApprovalRequestPayload",
    .doc = "Build the cloud approval request body for an approval-gate request.\n"
           "\n"
           "The holder key and request hash come from the request; when the request\n"
           "carries no canonical arguments or attestation, the native core makes them\n"
           "with ``signing_key`` (or the key bound by ``key_scope()``).",
    .impl = build_approval_request_payload,
};
static_assert(args_match<BuildApprovalRequestPayloadArg>(build_approval_request_payload_def));

} // namespace zelto::morvel
