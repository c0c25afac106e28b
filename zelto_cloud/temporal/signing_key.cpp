// The worker's signing key for the legacy set-up: hex text from the
// environment, or the raw key bytes kept in Google Cloud Secret Manager.
#include "zelto_cloud/temporal/temporal.hpp"

#include "support/errors.hpp"

namespace zelto::temporal {

namespace {

Name from_env_name{"_load_signing_key_from_env"};
Name from_secret_manager_name{"_load_signing_key_from_secret_manager"};

ZELTO_ARGS(LoadFromEnvArg, hex_key);

Ref load_from_env(Frame& frame) {
    Ref signing_key_class = import_from("zelto_core", "SigningKey");
    Ref raw = call_method((PyObject*)&PyBytes_Type, "fromhex", frame[LoadFromEnvArg::hex_key]);
    return call_method(signing_key_class, "from_bytes", raw);
}

ZELTO_ARGS(LoadFromSecretManagerArg, secret_id, gcp_project);

Ref load_from_secret_manager(Frame& frame) {
    Ref secretmanager = import_from("google.cloud", "secretmanager");
    Ref signing_key_class = import_from("zelto_core", "SigningKey");
    Ref client = call_method(secretmanager, "SecretManagerServiceClient");
    Ref name =
        format("projects/", py_str(frame[LoadFromSecretManagerArg::gcp_project]), "/secrets/",
               py_str(frame[LoadFromSecretManagerArg::secret_id]), "/versions/latest");
    Ref response = call_method(client, "access_secret_version", kw("name", name));
    Ref data = getattr(getattr(response, "payload"), "data");
    return call_method(signing_key_class, "from_bytes", data);
}

[[noreturn]] void raise_runtime_error(const Caught& caught, std::initializer_list<Handle> parts) {
    Handling scope(caught);
    Ref error = call(PyExc_RuntimeError, concat(parts));
    raise_from(error, caught);
}

ZELTO_ARGS(ResolveArg, signing_key_hex, worker_secret_id, gcp_project);

Ref resolve(Frame& frame) {
    Handle signing_key_hex = frame[ResolveArg::signing_key_hex];
    Handle secret_id = frame[ResolveArg::worker_secret_id];
    Handle project = frame[ResolveArg::gcp_project];
    if (truthy(signing_key_hex)) {
        try {
            return call(frame.global(from_env_name), signing_key_hex);
        } catch (const PythonError&) {
            Caught caught;
            caught.reraise_unless(PyExc_ValueError);
            raise_runtime_error(
                caught,
                {str("ZELTO_SIGNING_KEY is set but cannot be decoded as hex: "), py_str(caught)});
        }
    }
    try {
        return call(frame.global(from_secret_manager_name), secret_id, project);
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
        raise_runtime_error(
            caught,
            {str("No ZELTO_SIGNING_KEY env var; attempted GCP Secret Manager fallback (projects/"),
             py_str(project), str("/secrets/"), py_str(secret_id), str("): "), py_str(caught)});
    }
}

} // namespace

constexpr FunctionDef load_signing_key_from_env_def{
    .name = "_load_signing_key_from_env",
    .params = {param("hex_key", "str")},
    .returns = "SigningKey",
    .doc = "Decode a hex signing key (the value of ZELTO_SIGNING_KEY).",
    .impl = load_from_env,
};
static_assert(args_match<LoadFromEnvArg>(load_signing_key_from_env_def));

constexpr FunctionDef load_signing_key_from_secret_manager_def{
    .name = "_load_signing_key_from_secret_manager",
    .params =
        {
            param("secret_id", "str"),
            param("gcp_project", "str"),
        },
    .returns = "SigningKey",
    .doc = "Fetch the raw signing-key bytes from GCP Secret Manager (latest version).",
    .impl = load_from_secret_manager,
};
static_assert(args_match<LoadFromSecretManagerArg>(load_signing_key_from_secret_manager_def));

constexpr FunctionDef resolve_signing_key_def{
    .name = "_resolve_signing_key",
    .params =
        {
            param("signing_key_hex", "str"),
            param("worker_secret_id", "str"),
            param("gcp_project", "str"),
        },
    .returns = "SigningKey",
    .doc = "Load signing key: env hex wins, then GCP Secret Manager.",
    .impl = resolve,
};
static_assert(args_match<ResolveArg>(resolve_signing_key_def));

} // namespace zelto::temporal
