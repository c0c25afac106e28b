// Signed approvals out of an approved request: each "signed_approval" comes as
// hex or base64 text of its canonical CBOR; all are normalised to base64 and
// decoded by the SDK.
#include "zelto_cloud/approval/approval.hpp"

#include "support/errors.hpp"

namespace zelto::approval {

namespace {

Name error_name{"ZeltoCloudError"};

constexpr const char* no_responses = "approved request has no approval responses";
constexpr const char* malformed =
    "malformed signed_approval in cloud response: not valid hex or base64";

[[noreturn]] void raise_cloud_error(const Frame& frame, const char* message) {
    raise(call(frame.global(error_name), message));
}

// The hex path: base64 of bytes.fromhex(value), or nothing when the value is
// not even-length hex or does not decode.
Ref hex_as_base64(Handle hex_pattern, Handle base64, Handle value) {
    Ref match = call_method(hex_pattern, "match", value);
    if (!truthy(match)) {
        return Ref();
    }
    Py_ssize_t length = PyObject_Length(value);
    if (length < 0) {
        throw_error();
    }
    if (length % 2 != 0) {
        return Ref();
    }
    try {
        Ref raw = call_method((PyObject*)&PyBytes_Type, "fromhex", value);
        return call_method(call_method(base64, "b64encode", raw), "decode");
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ValueError, PyExc_TypeError);
        return Ref();
    }
}

void check_base64(const Frame& frame, Handle base64, Handle value) {
    try {
        call_method(base64, "b64decode", value, kw("validate", true));
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_Exception);
        Handling scope(caught);
        raise_cloud_error(frame, malformed);
    }
}

ZELTO_ARGS(ExtractSignedApprovalsArg, result);

Ref extract_signed_approvals(Frame& frame) {
    Handle result = frame[ExtractSignedApprovalsArg::result];
    Ref responses = get_item(result, "responses", Ref::steal(PyList_New(0)));
    if (!truthy(responses)) {
        raise_cloud_error(frame, no_responses);
    }
    Ref base64 = import_module("base64");
    Ref response_class = import_from("zelto.cp_approval", "ControlPlaneApprovalResponseV1");
    Ref decode = import_from("zelto.cp_approval", "signed_approvals_from_response");
    Ref re = import_module("re");
    Ref hex_pattern = call_method(re, "compile", "^[0-9a-fA-F]+$");

    Ref texts = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(responses.get()));
    while (Ref entry = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
        Ref value = call_method(entry, "get", "signed_approval");
        if (!truthy(value)) {
            continue;
        }
        Ref text = hex_as_base64(hex_pattern, base64, value);
        if (!text) {
            check_base64(frame, base64, value);
            text = value;
        }
        list_append(texts, text);
    }
    if (PyErr_Occurred()) {
        throw_error();
    }
    Ref listed = PyList_GET_SIZE(texts.get()) ? texts : none();
    Ref response =
        call(response_class, kw("status", "approved"), kw("signed_approvals_b64", listed));
    Ref approvals = call(decode, response);
    if (!truthy(approvals)) {
        raise_cloud_error(frame, no_responses);
    }
    if (check((int)PyObject_Length(approvals.get())) == 1) {
        return Ref::steal(PySequence_GetItem(approvals.get(), 0));
    }
    return approvals;
}

} // namespace

constexpr FunctionDef extract_signed_approvals_def{
    .name = "_extract_signed_approvals",
    .params = {param("result", "Any")},
    .returns = "Union[Any, List[Any]]",
    .doc = "Extract SignedApproval objects from the cloud API response.\n"
           "\n"
           "Maps the cloud wire format (the ``signed_approval`` of each entry of\n"
           "``responses``, hex or base64) to the SDK's\n"
           "``signed_approvals_from_response``, which owns the canonical CBOR decode\n"
           "loop.",
    .impl = extract_signed_approvals,
};
static_assert(args_match<ExtractSignedApprovalsArg>(extract_signed_approvals_def));

} // namespace zelto::approval
