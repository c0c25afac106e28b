// Catching, matching and raising Python exceptions from C++ with the same
// chaining the interpreter applies: `raise X from cause`, or a plain `raise X`
// inside an except block that leaves the caught error as implicit context.
#pragma once

#include "support/call.hpp"

#include <optional>
#include <utility>

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
    operator Handle() const noexcept { return exc_; }
    bool matches(Handle exc_type) const {
        return PyErr_GivenExceptionMatches(exc_.get(), exc_type) != 0;
    }
    // `except (A, B):` in a handler of PythonError, after taking the
    // exception: one that is none of the types is raised again unchanged.
    template <typename... Types>
    void reraise_unless(const Types&... types) {
        if (!(matches(types) || ...)) {
            reraise();
        }
    }
    // Puts the exception back and propagates it unchanged.
    [[noreturn]] void reraise() {
        PyErr_SetRaisedException(exc_.release());
        throw_error();
    }

private:
    Ref exc_;
};

// `except Exception: pass` for one call made with try_call_method: the call's
// result, or a null Ref once the Exception it raised is cleared; anything that
// is not an Exception (KeyboardInterrupt, SystemExit) propagates.
inline Ref unless_exception(Ref result) {
    if (!result && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw_error();
        }
        PyErr_Clear();
    }
    return result;
}

// While it lives, the caught exception is the one being handled (sys.exception()),
// as inside an `except` block: code run meanwhile sees it, and anything raised
// meanwhile gets it as __context__.
//
// It changes the innermost entry of the thread's handled-exception stack (a
// native coroutine pushes its own while it runs) and restores that entry's
// own value, so it may be held across a co_await.
class Handling {
public:
    // Handles nothing until begin(): for an awaiter whose clean-up may run
    // with or without an exception pending.
    Handling() = default;
    explicit Handling(const Caught& caught) { begin(caught.get()); }
    ~Handling() { end(); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    void begin(PyObject* exc) {
        end();
        entry_ = PyThreadState_Get()->exc_info;
        previous_ = Ref::steal_maybe(std::exchange(entry_->exc_value, Py_XNewRef(exc)));
    }
    // Restores the entry's own value; nothing when not handling.
    void end() {
        if (!entry_ || !holds_interpreter()) {
            return;
        }
        PyObject* inner = std::exchange(entry_->exc_value, previous_.release());
        Py_XDECREF(inner);
        entry_ = nullptr;
    }

private:
    _PyErr_StackItem* entry_ = nullptr;
    Ref previous_;
};

// raise exc: the handled exception, if any, becomes its implicit context.
[[noreturn]] void raise(const Ref& exc);
// raise exc from cause.
[[noreturn]] void raise_from(const Ref& exc, Handle cause);
// raise ExcType(message).
[[noreturn]] void raise_new(Handle exc_type, std::string_view message);

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

namespace detail {
// The manager's bound (enter, exit) methods, looked up on its type as a `with`
// (or `async with`) statement does, with the interpreter's TypeError.
std::pair<Ref, Ref> context_methods(Handle manager, bool asynchronous);
// exit(type(exc), exc, exc.__traceback__), or exit(None, None, None) without exc.
Ref exit_call(Handle exit, PyObject* exc);
} // namespace detail

// with manager as value: body(value), in code that does not await. Returns
// the body's result, or a null Ref when __exit__ suppressed its exception.
template <typename Body>
Ref with_context(Handle manager, Body&& body) {
    auto [enter, exit] = detail::context_methods(manager, false);
    Ref value = call(enter);
    Ref result;
    try {
        result = body(value.get());
    } catch (const PythonError&) {
        Caught pending;
        Handling scope(pending);
        if (!truthy(detail::exit_call(exit, pending.get()))) {
            pending.reraise();
        }
        return Ref();
    }
    detail::exit_call(exit, nullptr);
    return result;
}

// RAII for Py_EnterRecursiveCall: deep input ends in RecursionError.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) {
            throw_error();
        }
    }
    ~RecursionGuard() {
        if (holds_interpreter()) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

} // namespace zelto
