// Attribute access, calls with positional and keyword arguments, imports by name,
// and the handful of conversions module code needs.
#pragma once

#include "support/ref.hpp"

#include <array>
#include <concepts>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace zelto {

// ---- names ----------------------------------------------------------------------

// A name given as text with static storage duration: a string literal or a
// constant table of them. Names are interned once and found again by the
// text's address, so a temporary string must never stand in for one; the
// consteval constructor turns that mistake into a compile error.
class Literal {
public:
    consteval Literal(const char* text) : text_(text) {}
    constexpr const char* c_str() const noexcept { return text_; }

private:
    const char* text_;
};

// "".join(parts) for count str objects.
Ref join_str(PyObject* const* parts, size_t count);

// ---- conversions to Python -------------------------------------------------

inline Ref to_py(const Ref& obj) {
    return obj;
}
inline Ref to_py(Ref&& obj) {
    return std::move(obj);
}
inline Ref to_py(PyObject* borrowed) {
    return Ref::borrow(borrowed);
}
inline Ref to_py(Handle borrowed) {
    return Ref::borrow(borrowed);
}
inline Ref to_py(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
}
inline Ref to_py(const char* text) {
    return to_py(std::string_view(text));
}
// Only a real bool: a pointer must never silently become True.
template <typename T>
requires std::same_as<T, bool> Ref to_py(T value) {
    return py_bool(value);
}
inline Ref to_py(int value) {
    return Ref::steal(PyLong_FromLong(value));
}
inline Ref to_py(long value) {
    return Ref::steal(PyLong_FromLong(value));
}
inline Ref to_py(long long value) {
    return Ref::steal(PyLong_FromLongLong(value));
}
inline Ref to_py(double value) {
    return Ref::steal(PyFloat_FromDouble(value));
}

Ref str(std::string_view text); // a new str
namespace detail {
// Interned names by the address of their text (call.cpp): an open-addressing
// table (linear probing, at most half full) whose slot for a name seen before
// is found here, inline, on the first or second probe nearly always (where
// the layout of the texts puts it is chance: a name whose slot is taken
// takes the next); the rest of the search, and the interning, out of line.
struct NameSlot {
    const char* text;
    PyObject* name;
};
struct NameIndex {
    NameSlot* slots;
    size_t mask;  // slots - 1
    size_t shift; // 64 - log2(slots)
};
extern NameIndex name_index;
PyObject* find_or_intern(const char* text);
// Fibonacci hashing of the text's address: the top bits of the product, which
// every bit of the address reaches (string literals are not aligned, and
// names a few bytes apart are common).
inline size_t name_hash(const char* text, size_t shift) {
    return reinterpret_cast<uintptr_t>(text) * 0x9E3779B97F4A7C15ull >> shift;
}
} // namespace detail

// The interned str of a name, borrowed: made on first use and found again by
// the text's address; interned names live as long as the process, so a
// lookup needs no reference of its own.
[[gnu::always_inline]] inline PyObject* interned_name(Literal name) {
    const char* text = name.c_str();
    const detail::NameIndex& index = detail::name_index;
    size_t i = detail::name_hash(text, index.shift);
    if (index.slots[i].text == text) {
        return index.slots[i].name;
    }
    const detail::NameSlot& next = index.slots[(i + 1) & index.mask];
    if (next.text == text) {
        return next.name;
    }
    return detail::find_or_intern(text);
}
// The same str, as a new reference.
inline Ref interned(Literal name) {
    return Ref::borrow(interned_name(name));
}
// A str made once for a character array passed as an argument (a string
// literal, as a compiled module's constant), found again by its address and
// checked against its text, so an array that held other text there before
// gets a str of its own.
Ref constant_text(const char* text);
std::string_view utf8(Handle text); // view of a str's UTF-8 (valid while it lives)

// ---- attributes --------------------------------------------------------------

Ref getattr(Handle obj, Literal name);
Ref getattr(Handle obj, Handle name);
// getattr(obj, name, default): only AttributeError selects the default.
Ref getattr_or(Handle obj, Literal name, Handle fallback);
void setattr(Handle obj, Literal name, Handle value);
// The special method type(obj).name bound to obj, as the interpreter looks
// it up for a statement (on the type only); a null Ref when there is none.
Ref lookup_special(Handle obj, Literal name);
// del obj.name, where a missing attribute is no error (AttributeError ignored).
void delattr_if_present(Handle obj, Literal name);

// ---- calls -------------------------------------------------------------------

// A keyword argument: kw("timeout", value).
struct Kw {
    Literal name;
    Ref value;
};
namespace detail {
template <typename T>
constexpr bool is_char_array = std::is_array_v<std::remove_reference_t<T>>&&
    std::is_same_v<std::remove_cv_t<std::remove_extent_t<std::remove_reference_t<T>>>, char>;

template <typename T>
Ref value_ref(T&& value) {
    if constexpr (is_char_array<T>) {
        return constant_text(value);
    } else {
        return to_py(std::forward<T>(value));
    }
}
} // namespace detail

template <typename T>
Kw kw(Literal name, T&& value) {
    return Kw{name, detail::value_ref(std::forward<T>(value))};
}

Ref vectorcall(Handle callable, PyObject* const* args, size_t nargs, PyObject* kwnames);

namespace detail {
template <typename T>
constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, Kw>;

template <typename T>
Ref arg_ref(T&& value) {
    if constexpr (is_kw<T>) {
        return std::forward<T>(value).value;
    } else {
        return value_ref(std::forward<T>(value));
    }
}
} // namespace detail

namespace detail {
// The tuple of keyword names of a call, made once per list of names (the
// constant a compiled call carries), found again by the names' addresses.
Ref keyword_names(const char* const* keys, size_t count);

// PyObject_VectorcallMethod(name, args, nargsf, kwnames): args[0] is the
// object, and the slot in front of it is free. While the object's type is
// remembered to have a plain method under the name (a function, as the
// interpreter's method calls see one) and the instance's __dict__ does not
// shadow it, the method is called with the object in front without a
// lookup in the MRO; otherwise as PyObject_VectorcallMethod does.
PyObject* vectorcall_method(Literal name, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Packs arguments for a vectorcall: one free slot in front (so the callee may
// borrow it, PY_VECTORCALL_ARGUMENTS_OFFSET), then `self` when there is one,
// the positional arguments, the keyword values, and the keyword names.
template <typename... Args>
struct Packed {
    static constexpr size_t total = sizeof...(Args);
    static constexpr size_t nkw = (size_t(is_kw<Args>) + ... + 0);
    std::array<Ref, total + 2> refs;
    std::array<PyObject*, total + 2> ptrs{};
    Ref names;

    Packed(PyObject* self, Args&&... args)
        : refs{Ref(), Ref::borrow(self), arg_ref(std::forward<Args>(args))...} {
        for (size_t i = 0; i < refs.size(); ++i) {
            ptrs[i] = refs[i].get();
        }
        if constexpr (nkw > 0) {
            std::array<const char*, nkw> keys;
            size_t index = 0;
            (
                [&] {
                    if constexpr (is_kw<Args>) {
                        keys[index++] = args.name.c_str();
                    }
                }(),
                ...);
            names = keyword_names(keys.data(), nkw);
        }
    }
};
} // namespace detail

// call(f, a, b, kw("x", c)): positional arguments first, then keywords.
template <typename... Args>
Ref call(Handle callable, Args&&... args) {
    detail::Packed<Args...> packed(nullptr, std::forward<Args>(args)...);
    // Slot 1 (no self) becomes the free slot in front of the arguments.
    constexpr size_t npositional = sizeof...(Args) - detail::Packed<Args...>::nkw;
    return vectorcall(callable, packed.ptrs.data() + 2,
                      npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, packed.names.get());
}

// obj.name(...), without making a bound method first.
template <typename... Args>
Ref call_method(Handle obj, Literal name, Args&&... args) {
    detail::Packed<Args...> packed(obj, std::forward<Args>(args)...);
    constexpr size_t npositional = 1 + sizeof...(Args) - detail::Packed<Args...>::nkw;
    return Ref::steal(detail::vectorcall_method(name, packed.ptrs.data() + 1,
                                                npositional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                packed.names.get()));
}

// obj.name(...) that answers a null Ref and leaves the error set when the call
// fails, instead of throwing: for code that deals with the failure on the spot
// (see unless_exception), where a C++ throw would cost many times the call.
template <typename... Args>
Ref try_call_method(Handle obj, Literal name, Args&&... args) {
    detail::Packed<Args...> packed(obj, std::forward<Args>(args)...);
    constexpr size_t npositional = 1 + sizeof...(Args) - detail::Packed<Args...>::nkw;
    return Ref::steal_maybe(detail::vectorcall_method(name, packed.ptrs.data() + 1,
                                                      npositional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      packed.names.get()));
}

// f(*args, **kwargs) with a tuple and an optional dict.
Ref call_with(Handle callable, Handle args, Handle kwargs);

// ---- imports -----------------------------------------------------------------

// import a.b.c (returns the leaf module, like importlib.import_module).
Ref import_module(Literal name);
// from a.b import name, with the interpreter's ImportError when name is missing.
Ref import_from(Literal module, Literal name);

// ---- containers and small helpers ----------------------------------------------

// dict[key] from a dict that must hold it (module globals): KeyError → NameError.
Ref global(Handle globals, Handle name);
Ref global(Handle globals, Literal name);

// mapping.get(key) and mapping.get(key, default), through the object's own get.
Ref get_item(Handle mapping, Literal key, Handle fallback = Py_None);
// obj[key] by subscription.
Ref subscript(Handle obj, Literal key);

// a, b = iterable, with the interpreter's unpacking errors.
template <size_t N>
std::array<Ref, N> unpack(Handle iterable);
void unpack_into(Handle iterable, Ref* out, size_t count);
template <size_t N>
std::array<Ref, N> unpack(Handle iterable) {
    std::array<Ref, N> out;
    unpack_into(iterable, out.data(), N);
    return out;
}

Ref tuple_of(std::initializer_list<Handle> items); // (a, b, ...)
// dict[key] = value on a dict; list.append(item); set.add(item).
inline void dict_set(Handle dict, Handle key, Handle value) {
    check(PyDict_SetItem(dict, key, value));
}
inline void list_append(Handle list, Handle item) {
    check(PyList_Append(list, item));
}
inline void set_add(Handle set, Handle item) {
    check(PySet_Add(set, item));
}
Ref py_str(Handle obj);                          // str(obj)
Ref py_format(Handle obj);                       // format(obj)
Ref concat(std::initializer_list<Handle> parts); // "".join(parts), all str
// obj == text by Python's equality (so a str subclass or any object answers).
bool equals(Handle obj, std::string_view text);
// PyObject_RichCompareBool(a, b, op); an error is thrown.
bool compare(Handle a, Handle b, int op);

// A message as an f-string builds it: the literal pieces as they are, every
// other value through format(value). format("timed out after ", seconds, "s").
namespace detail {
template <typename T>
Ref format_piece(T&& value) {
    if constexpr (is_char_array<T>) {
        return constant_text(value);
    } else if constexpr (std::is_convertible_v<T, std::string_view>) {
        return str(value);
    } else {
        return py_format(to_py(std::forward<T>(value)));
    }
}
} // namespace detail
template <typename... Parts>
Ref format(Parts&&... parts) {
    std::array<Ref, sizeof...(Parts)> made{detail::format_piece(std::forward<Parts>(parts))...};
    std::array<PyObject*, sizeof...(Parts)> ptrs;
    for (size_t i = 0; i < made.size(); ++i) {
        ptrs[i] = made[i].get();
    }
    return join_str(ptrs.data(), ptrs.size());
}

} // namespace zelto
