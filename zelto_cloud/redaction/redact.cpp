// Secret redaction for diagnostics and support output: values under
// secret-looking keys are replaced whole, token-like text where it occurs.
//
// Every constant and function is looked up in the module's globals at each
// call. While a global is still the module's own object, the walk takes a
// direct C++ path; the moment one is replaced, it calls the replacement. In
// the same way, text is matched natively (token_match.cpp) only while
// _TOKEN_PATTERNS holds the module's own four patterns and _REDACTED still
// reads "<redacted>"; otherwise each pattern's sub method runs.
#include "support/errors.hpp"
#include "zelto_cloud/redaction/redaction.hpp"
#include "zelto_cloud/redaction/token_match.hpp"

#include <array>
#include <string_view>

using namespace zelto;
using namespace zelto::redaction;

namespace {

Name redacted_name{"_REDACTED"};
Name secret_keys_name{"_SECRET_KEYS"};
Name token_patterns_name{"_TOKEN_PATTERNS"};
Name redact_name{"redact"};
Name redact_text_name{"redact_text"};
Name is_secret_key_name{"_is_secret_key"};
Name key_name{"key"};

constexpr std::array<std::string_view, 8> secret_keys = {
    "api_key", "apikey", "authorization", "client_secret", "connect_token", "registration_token",
    "secret",  "token",
};

struct TokenPattern {
    const char* source;
    bool ignore_case;
};
constexpr std::array<TokenPattern, 4> token_patterns = {{
    {"zelto_ct_[A-Za-z0-9_-]+", false},
    {"tc_[A-Za-z0-9_-]{8,}", false},
    {"cs_[A-Za-z0-9_-]{8,}", false},
    {"Bearer\\s+[A-Za-z0-9._~+/=-]+", true},
}};

// The module's own pattern list and patterns, for recognising that
// _TOKEN_PATTERNS is untouched. The module initialises once per process, so
// these live as long as it does.
PyObject* own_pattern_list = nullptr;
PyObject* own_marker = nullptr;
std::array<PyObject*, token_patterns.size()> own_patterns = {};

bool patterns_untouched(PyObject* patterns) {
    if (patterns != own_pattern_list ||
        PyList_GET_SIZE(patterns) != (Py_ssize_t)own_patterns.size()) {
        return false;
    }
    for (size_t i = 0; i < own_patterns.size(); ++i) {
        if (PyList_GET_ITEM(patterns, i) != own_patterns[i]) {
            return false;
        }
    }
    return true;
}

// The marker still reads "<redacted>": a replacement must reach the
// substitutions, which parse it as a template.
bool marker_untouched(Handle marker) {
    return marker == own_marker ||
           (PyUnicode_CheckExact(marker) && PyUnicode_EqualToUTF8(marker, marker_text));
}

// One walk over a value, with the module's globals at hand.
class Redactor {
public:
    explicit Redactor(PyObject* globals) : globals_(globals) {}

    Ref redact(PyObject* value, PyObject* key);
    Ref redact_text(PyObject* value);
    bool is_secret_key(PyObject* key);

private:
    // Module globals are read through a cache that is dropped whenever code
    // outside this walk may have run (a replaced function, a method call, a
    // key's __str__): only such code can rebind them, so every read still
    // sees the current module attribute.
    struct Cached {
        Ref value;
        unsigned epoch = ~0u;
    };
    enum Slot {
        redacted,
        secret_keys,
        token_patterns,
        redact_fn,
        redact_text_fn,
        is_secret_key_fn
    };
    static constexpr size_t slot_count = 6;

    const Ref& global(Slot slot, Name& name) {
        Cached& entry = cache_[slot];
        if (entry.epoch != epoch_) {
            entry.value = zelto::global(globals_, name.get());
            entry.epoch = epoch_;
        }
        return entry.value;
    }
    void foreign() { ++epoch_; }

    // The current module-level function, run directly while it is our own.
    Ref redact_through_global(PyObject* value, PyObject* key);
    Ref redact_text_through_global(PyObject* value);
    bool is_secret_key_through_global(PyObject* key);

    Ref text_of_key(PyObject* key) {
        if (PyUnicode_CheckExact(key)) {
            return Ref::borrow(key);
        }
        foreign();
        return py_str(key);
    }
    Ref redact_dict(PyObject* value);
    Ref redact_mapping(PyObject* value);
    Ref redact_list(PyObject* value);
    Ref redact_tuple(PyObject* value);

    PyObject* globals_;
    int depth_ = 0;
    unsigned epoch_ = 0;
    std::array<Cached, slot_count> cache_;
};

// Nesting is bounded by the interpreter's recursion limit, exactly as a
// recursive Python walk would be, and the C stack is guarded as well.
class Nesting {
public:
    explicit Nesting(int& depth) : depth_(depth), guard_(" while redacting") {
        if (++depth_ > Py_GetRecursionLimit()) {
            --depth_;
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while redacting");
            throw_error();
        }
    }
    ~Nesting() { --depth_; }

private:
    int& depth_;
    RecursionGuard guard_;
};

Ref Redactor::redact(PyObject* value, PyObject* key) {
    if (key) {
        bool present = truthy(key);
        if (!PyUnicode_CheckExact(key)) {
            foreign();
        }
        if (present && is_secret_key_through_global(key)) {
            return global(redacted, redacted_name);
        }
    }
    if (PyUnicode_Check(value)) {
        return redact_text_through_global(value);
    }
    if (PyDict_Check(value)) {
        Nesting nesting(depth_);
        return PyDict_CheckExact(value) ? redact_dict(value) : redact_mapping(value);
    }
    if (PyList_Check(value)) {
        Nesting nesting(depth_);
        return redact_list(value);
    }
    if (PyTuple_Check(value)) {
        Nesting nesting(depth_);
        return redact_tuple(value);
    }
    return Ref::borrow(value);
}

Ref Redactor::redact_dict(PyObject* value) {
    Ref result = Ref::steal(PyDict_New());
    Py_ssize_t size = PyDict_GET_SIZE(value);
    Py_ssize_t pos = 0;
    PyObject* raw_key = nullptr;
    PyObject* raw_item = nullptr;
    while (PyDict_Next(value, &pos, &raw_key, &raw_item)) {
        // Hold both: the calls below may run code that mutates the dict.
        Ref key = Ref::borrow(raw_key);
        Ref item = Ref::borrow(raw_item);
        Ref text_key = text_of_key(key.get());
        Ref redacted = redact_through_global(item.get(), text_key.get());
        dict_set(result, text_key, redacted);
        if (PyDict_GET_SIZE(value) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw_error();
        }
    }
    return result;
}

Ref Redactor::redact_mapping(PyObject* value) {
    Ref result = Ref::steal(PyDict_New());
    foreign();
    Ref items = call_method(value, "items");
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref entry = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
        auto [key, item] = unpack<2>(entry);
        foreign();
        Ref text_key = text_of_key(key.get());
        Ref redacted = redact_through_global(item.get(), text_key.get());
        dict_set(result, text_key, redacted);
    }
    if (PyErr_Occurred()) {
        throw_error();
    }
    return result;
}

Ref Redactor::redact_list(PyObject* value) {
    Ref result = Ref::steal(PyList_New(0));
    // Re-read the length each time, as list iteration does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
        list_append(result, redact_through_global(item.get(), nullptr));
    }
    return result;
}

Ref Redactor::redact_tuple(PyObject* value) {
    Py_ssize_t size = PyTuple_GET_SIZE(value);
    Ref result = Ref::steal(PyTuple_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyTuple_SET_ITEM(result.get(), i,
                         redact_through_global(PyTuple_GET_ITEM(value, i), nullptr).release());
    }
    return result;
}

Ref Redactor::redact_text(PyObject* value) {
    Ref patterns = global(token_patterns, token_patterns_name);
    if (PyUnicode_Check(value) && patterns_untouched(patterns.get()) &&
        marker_untouched(global(redacted, redacted_name))) {
        return redact_own_tokens(value);
    }
    // for pattern in _TOKEN_PATTERNS: value = pattern.sub(_REDACTED, value)
    Ref text = Ref::borrow(value);
    Ref iterator = Ref::steal(PyObject_GetIter(patterns.get()));
    while (true) {
        foreign();
        Ref pattern = Ref::steal_maybe(PyIter_Next(iterator.get()));
        if (!pattern) {
            break;
        }
        text = call_method(pattern, "sub", global(redacted, redacted_name), text);
    }
    if (PyErr_Occurred()) {
        throw_error();
    }
    return text;
}

// key.lower().replace("-", "_") for a plain ASCII str, without the two calls;
// a key that is already normal is used as it is (its hash is cached).
Ref normalise_ascii_key(Handle key) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(key);
    bool already_normal = true;
    for (Py_ssize_t i = 0; i < length && already_normal; ++i) {
        already_normal = chars[i] != '-' && !('A' <= chars[i] && chars[i] <= 'Z');
    }
    if (already_normal) {
        return Ref::borrow(key);
    }
    Ref result = Ref::steal(PyUnicode_New(length, 127));
    const Py_UCS1* source = PyUnicode_1BYTE_DATA(key);
    Py_UCS1* target = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS1 c = source[i];
        target[i] = c == '-' ? '_' : ('A' <= c && c <= 'Z') ? Py_UCS1(c + 32) : c;
    }
    return result;
}

bool ends_with(Handle text, const char* suffix) {
    Ref result = call_method(text, "endswith", suffix);
    return truthy(result);
}

bool Redactor::is_secret_key(PyObject* key) {
    Ref normalised;
    if (PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key)) {
        normalised = normalise_ascii_key(key);
    } else {
        foreign();
        Ref lowered = call_method(key, "lower");
        normalised = call_method(lowered, "replace", "-", "_");
    }
    Ref keys = global(secret_keys, secret_keys_name);
    bool plain_set = PyAnySet_CheckExact(keys.get()) && PyUnicode_CheckExact(normalised.get());
    bool member = check(PySequence_Contains(keys.get(), normalised.get()));
    if (!plain_set) {
        foreign();
    }
    if (member) {
        return true;
    }
    if (PyUnicode_CheckExact(normalised.get()) && PyUnicode_IS_ASCII(normalised.get())) {
        std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(normalised.get())),
                              (size_t)PyUnicode_GET_LENGTH(normalised.get()));
        return text.ends_with("_token") || text.ends_with("_secret");
    }
    foreign();
    return ends_with(normalised, "_token") || ends_with(normalised, "_secret");
}

Ref Redactor::redact_through_global(PyObject* value, PyObject* key) {
    Ref function = global(redact_fn, redact_name);
    if (is_function_of(function, redact_def)) {
        return redact(value, key);
    }
    foreign();
    if (key) {
        return call(function, value, Kw{"key", Ref::borrow(key)});
    }
    return call(function, value);
}

Ref Redactor::redact_text_through_global(PyObject* value) {
    Ref function = global(redact_text_fn, redact_text_name);
    if (is_function_of(function, redact_text_def)) {
        return redact_text(value);
    }
    foreign();
    return call(function, value);
}

bool Redactor::is_secret_key_through_global(PyObject* key) {
    Ref function = global(is_secret_key_fn, is_secret_key_name);
    if (is_function_of(function, is_secret_key_def)) {
        return is_secret_key(key);
    }
    foreign();
    return truthy(call(function, key));
}

// ---- the module's functions ------------------------------------------------------

ZELTO_ARGS(RedactImplArg, value, key);

Ref redact_impl(Frame& frame) {
    return Redactor(frame.globals()).redact(frame[RedactImplArg::value], frame[RedactImplArg::key]);
}

ZELTO_ARGS(RedactTextImplArg, value);

Ref redact_text_impl(Frame& frame) {
    return Redactor(frame.globals()).redact_text(frame[RedactTextImplArg::value]);
}

ZELTO_ARGS(IsSecretKeyImplArg, key);

Ref is_secret_key_impl(Frame& frame) {
    return py_bool(Redactor(frame.globals()).is_secret_key(frame[IsSecretKeyImplArg::key]));
}

ZELTO_ARGS(RedactPlainImplArg, value);

// redact_dict and redact_list: redact() with no key, through the global.
Ref redact_plain_impl(Frame& frame) {
    Ref function = frame.global(redact_name);
    if (is_function_of(function, redact_def)) {
        return Redactor(frame.globals()).redact(frame[RedactPlainImplArg::value], nullptr);
    }
    return call(function, frame[RedactPlainImplArg::value]);
}

} // namespace

namespace zelto::redaction {

constexpr FunctionDef is_secret_key_def{
    .name = "_is_secret_key",
    .params = {param("key", "str")},
    .returns = "bool",
    .impl = is_secret_key_impl,
};
static_assert(args_match<IsSecretKeyImplArg>(is_secret_key_def));

constexpr FunctionDef redact_text_def{
    .name = "redact_text",
    .params = {param("value", "str")},
    .returns = "str",
    .doc = "Redact Zelto credentials and bearer tokens from free-form text.",
    .impl = redact_text_impl,
};
static_assert(args_match<RedactTextImplArg>(redact_text_def));

constexpr FunctionDef redact_def{
    .name = "redact",
    .params =
        {
            param("value", "Any"),
            keyword_param("key", "str", Default::Text("")),
        },
    .returns = "Any",
    .doc = "Return ``value`` with known secret keys and token-like strings redacted.",
    .impl = redact_impl,
};
static_assert(args_match<RedactImplArg>(redact_def));

constexpr FunctionDef redact_dict_def{
    .name = "redact_dict",
    .params = {param("value", "Dict[str, Any]")},
    .returns = "Dict[str, Any]",
    .impl = redact_plain_impl,
};
static_assert(args_match<RedactPlainImplArg>(redact_dict_def));

constexpr FunctionDef redact_list_def{
    .name = "redact_list",
    .params = {param("value", "List[Any]")},
    .returns = "List[Any]",
    .impl = redact_plain_impl,
};
static_assert(args_match<RedactPlainImplArg>(redact_list_def));

Ref make_secret_keys() {
    Ref keys = Ref::steal(PySet_New(nullptr));
    for (std::string_view key : secret_keys) {
        set_add(keys, str(key));
    }
    return keys;
}

Ref token_patterns_of(Handle re) {
    Ref patterns = Ref::steal(PyList_New(0));
    Ref ignore_case = getattr(re, "IGNORECASE");
    for (size_t i = 0; i < token_patterns.size(); ++i) {
        const TokenPattern& pattern = token_patterns[i];
        Ref compiled = pattern.ignore_case ? call_method(re, "compile", pattern.source, ignore_case)
                                           : call_method(re, "compile", pattern.source);
        list_append(patterns, compiled);
        own_patterns[i] = compiled.release(); // kept for the life of the process
    }
    own_pattern_list = patterns.new_ref();
    return patterns;
}

Ref marker() {
    Ref marker = str(marker_text);
    own_marker = marker.new_ref(); // kept for the life of the process
    return marker;
}

} // namespace zelto::redaction
