// Catching, matching and raising Python exceptions from C++ with the same
// chaining the interpreter applies: `raise X from cause`, or a plain `raise X`
// inside an except block that leaves the caught error as implicit context.
#pragma once

#include "support/call.hpp"

#include <optional>

namespace zelto {

// The exception that was set when a PythonError was caught; taken out of the
// thread state so that further calls can run.
class Caught {
public:
    // Call only right after catching PythonError.
    Caught() : exc_(Ref::steal_maybe(PyErr_GetRaisedException())) {}
    explicit Caught(Ref exc) : exc_(std::move(exc)) {}

    PyObject* get() const noexcept { return exc_.get(); }
    const Ref& ref() const noexcept { return exc_; }
    bool matches(PyObject* exc_type) const {
        return PyErr_GivenExceptionMatches(exc_.get(), exc_type) != 0;
    }
    // Puts the exception back and propagates it unchanged.
    [[noreturn]] void reraise() {
        PyErr_SetRaisedException(exc_.release());
        throw_error();
    }

private:
    Ref exc_;
};

// While it lives, the caught exception is the one being handled (sys.exception()),
// as inside an `except` block: code run meanwhile sees it, and anything raised
// meanwhile gets it as __context__.
class Handling {
public:
    explicit Handling(const Caught& caught)
        : previous_(Ref::steal_maybe(PyErr_GetHandledException())) {
        PyErr_SetHandledException(caught.get());
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

// raise exc: the handled exception, if any, becomes its implicit context.
[[noreturn]] void raise(const Ref& exc);
// raise exc from cause.
[[noreturn]] void raise_from(const Ref& exc, PyObject* cause);
// raise ExcType(message).
[[noreturn]] void raise_new(PyObject* exc_type, std::string_view message);

// True when the currently set error matches exc_type (no error: false).
inline bool error_matches(PyObject* exc_type) {
    return PyErr_ExceptionMatches(exc_type) != 0;
}

// A finally clause: runs cleanup whether body returns or raises. An exception
// from the cleanup replaces the pending one, which becomes its context.
template <typename Body, typename Cleanup>
auto with_finally(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    using Result = decltype(body());
    auto on_error = [&]() {
        Caught pending;
        {
            Handling scope(pending);
            cleanup();
        }
        pending.reraise();
    };
    if constexpr (std::is_void_v<Result>) {
        try {
            body();
        } catch (const PythonError&) {
            on_error();
        }
        cleanup();
    } else {
        std::optional<Result> result;
        try {
            result.emplace(body());
        } catch (const PythonError&) {
            on_error();
        }
        cleanup();
        return std::move(*result);
    }
}

// RAII for Py_EnterRecursiveCall: deep input ends in RecursionError.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) {
            throw_error();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

} // namespace zelto
