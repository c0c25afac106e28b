// Native coroutines: a C++20 coroutine (Task) wrapped in a Python object that
// asyncio accepts as a coroutine (send, throw, close, __await__). Inside a
// Task, `co_await awaiting(obj)` awaits any Python awaitable and yields to the
// event loop exactly as `await obj` would.
#pragma once

#include "support/ref.hpp"

#include <coroutine>
#include <exception>

namespace zelto {

class Task {
public:
    struct promise_type {
        Ref result;
        Ref error;    // the exception the body ended with
        Ref delegate; // the awaitable iterator being awaited
        Ref sent;     // what the delegate returned
        Ref thrown;   // what the delegate raised
        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) { result = std::move(value); }
        void unhandled_exception() noexcept;
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (handle_) {
            handle_.destroy();
        }
    }
    Handle release() { return std::exchange(handle_, {}); }

private:
    explicit Task(Handle handle) : handle_(handle) {}
    Handle handle_;
};

// The awaiter behind `co_await awaiting(obj)`: resolves obj's awaitable
// iterator up front (a TypeError for things that cannot be awaited), hands it
// to the driving coroutine object, and resumes with its result or exception.
class Awaiting {
public:
    explicit Awaiting(PyObject* awaitable);
    bool await_ready() const noexcept { return false; }
    void await_suspend(Task::Handle handle) noexcept;
    Ref await_resume();

private:
    Ref iterator_;
    Task::promise_type* promise_ = nullptr;
};

inline Awaiting awaiting(PyObject* awaitable) {
    return Awaiting(awaitable);
}
inline Awaiting awaiting(const Ref& awaitable) {
    return Awaiting(awaitable.get());
}

// Wraps a Task in a Python coroutine object with the given name and qualname.
Ref make_coroutine(Task task, PyObject* name, PyObject* qualname);

void init_coroutine_type(PyObject* module);

} // namespace zelto
