// Native function objects that look and behave like Python functions: name,
// qualname, module, docstring, string annotations, inspect.signature(), the
// interpreter's own argument errors, method binding, closures, and the
// coroutine-function marker.
#pragma once

#include "support/call.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zelto {

class Task;
class Frame;

enum class Kind {
    positional_only,
    positional_or_keyword,
    var_positional,
    keyword_only,
    var_keyword,
};

// A parameter default, described statically and made into an object when the
// function object is created.
struct Default {
    enum class Type { missing, none, text, real, integer, boolean };
    Type type = Type::missing;
    const char* text = nullptr;
    double real = 0.0;
    long long integer = 0;

    static constexpr Default None() { return {Type::none}; }
    static constexpr Default Text(const char* value) { return {Type::text, value}; }
    static constexpr Default Real(double value) { return {Type::real, nullptr, value}; }
    static constexpr Default Integer(long long value) { return {Type::integer, nullptr, 0, value}; }
    static constexpr Default Bool(bool value) { return {Type::boolean, nullptr, 0, value}; }
};

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    const char* annotation = nullptr; // stored as a string; nullptr: none
    Default fallback = {};
};

// Param declarations, one a line:
//     param("request", "Any"), keyword_param("timeout", "float", Default::Real(300.0))
constexpr Param param(const char* name, const char* annotation = nullptr, Default fallback = {}) {
    return {name, Kind::positional_or_keyword, annotation, fallback};
}
constexpr Param keyword_param(const char* name, const char* annotation = nullptr,
                              Default fallback = {}) {
    return {name, Kind::keyword_only, annotation, fallback};
}
constexpr Param posonly_param(const char* name, const char* annotation = nullptr,
                              Default fallback = {}) {
    return {name, Kind::positional_only, annotation, fallback};
}
constexpr Param varargs_param(const char* name, const char* annotation = nullptr) {
    return {name, Kind::var_positional, annotation};
}
constexpr Param varkw_param(const char* name, const char* annotation = nullptr) {
    return {name, Kind::var_keyword, annotation};
}

inline constexpr size_t max_params = 12;

using PlainImpl = Ref (*)(Frame&);
using CoroutineImpl = Task (*)(Frame);

struct FunctionDef {
    const char* name;
    std::initializer_list<Param> params;
    const char* returns = nullptr; // return annotation; nullptr: none
    const char* doc = nullptr;
    PlainImpl impl = nullptr;
    CoroutineImpl coroutine = nullptr; // set instead of impl for `async def`
};

// The names of a function's arguments, in the order of its parameters:
//     ZELTO_ARGS(PollArg, client, request_id, timeout);
// declares `enum class PollArg` (read with frame[PollArg::timeout]) and keeps
// the names as text (a name that is a C++ keyword takes a trailing
// underscore: explicit_), so that
//     static_assert(args_match<PollArg>(poll_def));
// beside the definition ties them to its Param list at compile time.
#define ZELTO_ARGS(Enum, ...)                                                                      \
    enum class Enum : size_t { __VA_ARGS__ };                                                      \
    [[maybe_unused]] consteval std::string_view arg_names(Enum) {                                  \
        return #__VA_ARGS__;                                                                       \
    }

// True when the names given to ZELTO_ARGS for Enum are params' names in order.
template <typename Enum>
consteval bool args_match(std::initializer_list<Param> params) {
    std::string_view names = arg_names(Enum{});
    for (const Param& param : params) {
        size_t start = names.find_first_not_of(", \t\n");
        if (start == std::string_view::npos) {
            return false;
        }
        names.remove_prefix(start);
        std::string_view name = names.substr(0, names.find_first_of(", \t\n"));
        names.remove_prefix(name.size());
        // A parameter named like a C++ keyword takes a trailing underscore.
        if (name.ends_with('_') && name.size() > 1) {
            name.remove_suffix(1);
        }
        if (name != std::string_view(param.name)) {
            return false;
        }
    }
    return names.find_first_not_of(", \t\n") == std::string_view::npos;
}
template <typename Enum>
consteval bool args_match(const FunctionDef& def) {
    return args_match<Enum>(def.params);
}

// An interned name, made on first use and kept for the life of the process.
// As a module global (Frame::global) it also remembers where it was found
// last: in which globals dict, at which version of it, and the value then.
class Name {
public:
    constexpr explicit Name(Literal text) : text_(text.c_str()) {}
    PyObject* get();

private:
    friend class Frame;
    const char* text_;
    PyObject* object_ = nullptr;
    PyObject* globals_ = nullptr; // not owned: compared, never read through
    uint64_t version_ = 0;
    PyObject* value_ = nullptr; // borrowed from globals_, which holds it while its version stays
};

// The bound arguments of a call: the first `count` slots (the function's
// parameters), null where none is bound yet. Only those slots are cleared,
// moved and released, so a call of a function with few parameters pays for
// few. The slots own their references, except those of a call that runs
// straight through with every argument given by its caller (borrowed): the
// caller keeps them alive for the call, as a vectorcall's caller does, so
// the frame need not take and give back a reference to each. A frame that is
// moved (into a coroutine, which outlives the call) takes its own references.
//
// Up to inline_capacity slots live in the frame itself: a coroutine keeps its
// frame for as long as it waits, and coroutine functions take few arguments.
// More go in the room a call on the stack lends (Room), or else on the heap.
class ArgSlots {
public:
    static constexpr size_t inline_capacity = 4;
    using Room = std::array<PyObject*, max_params>;

    ArgSlots() = default;
    explicit ArgSlots(Room& room) : spill_(room.data()) {}
    // Not noexcept: slots moved out of a lent room need room of their own.
    ArgSlots(ArgSlots&& other)
        : count_(std::exchange(other.count_, 0)), borrowed_(std::exchange(other.borrowed_, false)) {
        if (count_ <= inline_capacity) {
            // Every inline slot, bound or not, as bytes: a copy of fixed size
            // is a few moves inline, where a loop over count_ became a call.
            std::memcpy(inline_.data(), other.inline_.data(), sizeof(inline_));
        } else if (other.owns_spill_) {
            spill_ = std::exchange(other.spill_, nullptr);
            owns_spill_ = std::exchange(other.owns_spill_, false);
        } else {
            spill_ = allocate(count_);
            owns_spill_ = true;
            std::memcpy(spill_, other.spill_, count_ * sizeof(PyObject*));
        }
        if (borrowed_) {
            PyObject** slots = data();
            for (size_t i = 0; i < count_; ++i) {
                Py_XINCREF(slots[i]);
            }
            borrowed_ = false;
        }
    }
    ArgSlots& operator=(ArgSlots&&) = delete;
    ~ArgSlots() {
        if (count_ && !borrowed_ && holds_interpreter()) {
            PyObject** slots = data();
            for (size_t i = 0; i < count_; ++i) {
                Py_XDECREF(slots[i]);
            }
        }
        if (owns_spill_) {
            delete[] spill_;
        }
    }
    // Makes the first `count` slots empty; the frame must hold none yet.
    void open(size_t count) {
        PyObject** slots = reserve(count);
        for (size_t i = 0; i < count; ++i) {
            slots[i] = nullptr;
        }
    }
    // Binds the first `count` slots to new references to values, all at once
    // (a frame whose parameters are all given: nothing to clear first).
    void fill(PyObject* const* values, size_t count) {
        PyObject** slots = reserve(count);
        for (size_t i = 0; i < count; ++i) {
            slots[i] = Py_NewRef(values[i]);
        }
    }
    // As fill, borrowing the values from a caller that holds them until the
    // frame ends or is moved; the frame must hold none yet.
    void fill_borrowed(PyObject* const* values, size_t count) {
        PyObject** slots = reserve(count);
        for (size_t i = 0; i < count; ++i) {
            slots[i] = values[i];
        }
        borrowed_ = true;
    }
    // Binds an empty slot to a new reference to value.
    void put(size_t index, PyObject* value) { data()[index] = Py_NewRef(value); }
    PyObject* operator[](size_t index) const { return data()[index]; }
    size_t count() const { return count_; }

private:
    static PyObject** allocate(size_t count) { return new PyObject*[count]; }
    PyObject** data() { return count_ <= inline_capacity ? inline_.data() : spill_; }
    PyObject* const* data() const { return count_ <= inline_capacity ? inline_.data() : spill_; }
    // The slots for `count` parameters, the frame's count from now on: inline,
    // in the room lent, or on the heap.
    PyObject** reserve(size_t count) {
        count_ = static_cast<uint32_t>(count);
        if (count > inline_capacity && !spill_) {
            spill_ = allocate(count);
            owns_spill_ = true;
        }
        return data();
    }

    std::array<PyObject*, inline_capacity> inline_;
    PyObject** spill_ = nullptr; // the slots beyond inline_capacity: lent room, or owned
    uint32_t count_ = 0;
    bool borrowed_ = false;
    bool owns_spill_ = false;
};

// One call of a native function: its bound arguments (owned, so that a
// coroutine can keep them across suspensions) and access to the function's
// globals and closure cells.
class Frame {
public:
    Frame() = default;
    // A frame on the stack whose slots beyond the inline ones go in `room`.
    explicit Frame(ArgSlots::Room& room) : args_(room) {}

    // An argument by its name in the function's ZELTO_ARGS enum, borrowed
    // from the frame (Ref::borrow for an owned one).
    template <typename Enum>
    requires std::is_enum_v<Enum> Handle operator[](Enum name) const {
        return args_[static_cast<size_t>(name)];
    }
    PyObject* arg(size_t index) const { return args_[index]; }
    PyObject* varargs() const; // tuple (only with *args)
    PyObject* varkw() const;   // dict (only with **kwargs)
    PyObject* function() const { return function_.get(); }
    PyObject* globals() const;
    // A module-level name, looked up now (module dict, then builtins).
    Ref global(Name& name) const;
    Ref global(Literal name) const;
    // Contents of closure cell `index` (the function's own cells, in the order given).
    Ref cell(size_t index) const;
    // The class a method was defined in (the `__class__` cell that type() fills),
    // with the interpreter's RuntimeError for a function outside a class.
    Ref defining_class() const;

    // Keeps value until the call ends, where the garbage collector sees it:
    // for objects a coroutine holds across a co_await that may refer back to
    // it. Returns the value, borrowed from the frame.
    PyObject* hold(Ref value);

    // tp_traverse for the objects the frame owns.
    int traverse(visitproc visit, void* arg) const;

private:
    friend struct FunctionAccess;
    Ref function_;
    ArgSlots args_; // *args and **kwargs too, in their parameters' slots
    Ref held_;      // list, made on first hold()
};

// Makes a function object from def whose globals are `globals` (a module dict).
// qualname defaults to the name; `cells` become the closure (captured values).
// class_cell, when given, is the `__class__` cell of the class the function is
// a method of: it ends the closure, after the function's own cells.
Ref make_function(const FunctionDef& def, Handle globals, const char* qualname = nullptr,
                  std::initializer_list<Handle> cells = {}, PyObject* class_cell = nullptr);

// os.environ.get(name, fallback), through the `os` global of the function's
// module, looked up now as every module global is.
template <typename Fallback>
Ref environ_get(const Frame& frame, Literal name, Fallback&& fallback) {
    Ref environ = getattr(frame.global("os"), "environ");
    return call_method(environ, "get", name.c_str(), std::forward<Fallback>(fallback));
}

// Makes the function and binds it on the module under its name.
Ref add_function(Handle module, const FunctionDef& def);
// module.name = value, at import.
void add(Handle module, Literal name, Handle value);

// True when obj is a native function object made from def (for fast paths
// that hold only while a module global is still the module's own function).
bool is_function_of(Handle obj, const FunctionDef& def);

// Runs def's implementation directly with positional arguments, skipping the
// argument parser (for fast paths; the arguments must fit the signature).
Ref call_direct(Handle function, std::initializer_list<Handle> args);

// Binds a frame to `function` (its globals and closure) with positional
// arguments, as call_direct does, for code that runs part of the function's
// work in place: while `function` is still def's own function object.
void bind_direct(Handle function, Frame& frame, std::initializer_list<Handle> args);

// The body of a coroutine function made from def, as a helper Task to await
// in place (no coroutine object), with positional arguments: the fast path
// for a coroutine function that is still def's own function object.
Task call_direct_task(Handle function, std::initializer_list<Handle> args);

// Calls a module-level function with positional arguments: straight into
// def's implementation while `function` is still def's own function object,
// through the ordinary call protocol once it has been replaced.
Ref call_own_or_replaced(Handle function, const FunctionDef& def,
                         std::initializer_list<Handle> args);

void init_function_type(PyObject* module);

} // namespace zelto
