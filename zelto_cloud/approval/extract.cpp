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

// The common wire forms, read here without a round of Python calls: an ASCII
// str of even-length hex, or one of canonical base64 (padded to a multiple of
// four, at most two '=' at the end), which bytes.fromhex and base64's strict
// decode accept as they are. What the answer is for anything else (a trailing
// newline, odd-length hex, other characters, a str subclass) is left to the
// Python calls above, which give their own results and errors.
enum class Form { other, hex, base64 };

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool base64_digit(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

Form wire_form(PyObject* value) {
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) {
        return Form::other;
    }
    const auto* text = PyUnicode_1BYTE_DATA(value);
    size_t length = (size_t)PyUnicode_GET_LENGTH(value);
    if (length == 0) {
        return Form::other;
    }
    bool hex = length % 2 == 0;
    for (size_t i = 0; hex && i < length; ++i) {
        hex = hex_digit(text[i]) >= 0;
    }
    if (hex) {
        return Form::hex;
    }
    if (length % 4 != 0) {
        return Form::other;
    }
    size_t padding = 0;
    while (padding < 2 && text[length - 1 - padding] == '=') {
        ++padding;
    }
    for (size_t i = 0; i < length - padding; ++i) {
        if (!base64_digit(text[i])) {
            return Form::other;
        }
    }
    return Form::base64;
}

// base64.b64encode(bytes.fromhex(value)).decode() for a value of Form::hex.
Ref hex_to_base64(PyObject* value) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* text = PyUnicode_1BYTE_DATA(value);
    size_t size = (size_t)PyUnicode_GET_LENGTH(value) / 2;
    auto byte = [&](size_t i) -> unsigned {
        return unsigned(hex_digit(text[2 * i]) << 4 | hex_digit(text[2 * i + 1]));
    };
    Ref out = Ref::steal(PyUnicode_New((Py_ssize_t)((size + 2) / 3 * 4), 127));
    auto* write = PyUnicode_1BYTE_DATA(out.get());
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        unsigned bits = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        *write++ = alphabet[bits >> 18];
        *write++ = alphabet[bits >> 12 & 63];
        *write++ = alphabet[bits >> 6 & 63];
        *write++ = alphabet[bits & 63];
    }
    if (size - i == 1) {
        unsigned bits = byte(i) << 16;
        *write++ = alphabet[bits >> 18];
        *write++ = alphabet[bits >> 12 & 63];
        *write++ = '=';
        *write++ = '=';
    } else if (size - i == 2) {
        unsigned bits = byte(i) << 16 | byte(i + 1) << 8;
        *write++ = alphabet[bits >> 18];
        *write++ = alphabet[bits >> 12 & 63];
        *write++ = alphabet[bits >> 6 & 63];
        *write++ = '=';
    }
    return out;
}

ZELTO_ARGS(ExtractSignedApprovalsArg, result);

Ref extract_signed_approvals(Frame& frame) {
    Handle result = frame[ExtractSignedApprovalsArg::result];
    Ref responses = get_item(result, "responses", Ref::steal(PyList_New(0)));
    if (!truthy(responses)) {
        raise_cloud_error(frame, no_responses);
    }
    Ref response_class = import_from("zelto.cp_approval", "ControlPlaneApprovalResponseV1");
    Ref decode = import_from("zelto.cp_approval", "signed_approvals_from_response");
    // base64 and the hex pattern only for values the wire forms above do not cover.
    Ref base64;
    Ref hex_pattern;

    Ref texts = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(responses.get()));
    while (Ref entry = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
        Ref value = call_method(entry, "get", "signed_approval");
        if (!truthy(value)) {
            continue;
        }
        Form form = wire_form(value.get());
        if (form == Form::hex) {
            list_append(texts, hex_to_base64(value.get()));
            continue;
        }
        if (form == Form::base64) {
            list_append(texts, value);
            continue;
        }
        if (!hex_pattern) {
            base64 = import_module("base64");
            hex_pattern = call_method(import_module("re"), "compile", "^[0-9a-fA-F]+$");
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
