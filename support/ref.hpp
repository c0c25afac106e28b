// Owned references and the one way a set Python error travels through C++.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace zelto {

namespace detail {
// Set when the interpreter starts to end: by an atexit callback that each
// module registers when it initialises (they run before finalization
// begins), or at once for a module initialised while it is under way.
inline std::atomic<bool> interpreter_ending{false};
} // namespace detail

// True while this thread holds the interpreter. A thread that tries to take
// the interpreter back once finalization has begun is ended by it, and the
// unwinding runs the destructors of the native frames above that point with
// no thread state: clean-up that would touch the interpreter then does
// nothing, and what it would have released stays as it is (the process is on
// its way out). Until the interpreter starts to end every native frame runs
// with it held, so the thread state (a thread-local lookup, without the
// accessor that aborts) is read only after that check of a flag of our own,
// which every reference released pays for.
inline bool holds_interpreter() noexcept {
    return !detail::interpreter_ending.load(std::memory_order_acquire) ||
           PyThreadState_GetUnchecked() != nullptr;
}

// Thrown when a Python exception is set in the thread state. Whoever catches it
// at the boundary back to the interpreter returns NULL (or -1) and leaves the
// error in place.
struct PythonError {};

[[noreturn]] inline void throw_error() {
    throw PythonError{};
}

// An owned (strong) reference: released on destruction, never copied by accident.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    // Inline: a call per release costs more than the release itself.
    [[gnu::always_inline]] ~Ref() {
        if (ptr_ && holds_interpreter()) {
            Py_DECREF(ptr_);
        }
    }

    Ref& operator=(const Ref& other) noexcept { return *this = Ref(other); }
    // The old value is released after the new one is in place (its
    // deallocation may run code that reads this Ref).
    [[gnu::always_inline]] Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        if (old && holds_interpreter()) {
            Py_DECREF(old);
        }
        return *this;
    }

    // Takes over a new reference; NULL means an error is set.
    static Ref steal(PyObject* ptr) {
        if (!ptr) {
            throw_error();
        }
        return Ref(ptr);
    }
    // Takes over a new reference that may legitimately be NULL without an error.
    static Ref steal_maybe(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    PyObject* new_ref() const noexcept { return Py_XNewRef(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(PyObject* other) const noexcept { return ptr_ == other; }
    bool is_none() const noexcept { return ptr_ == Py_None; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// A borrowed reference, as a call takes its arguments: an owned Ref and a
// plain PyObject* both convert to it, and it converts back to PyObject* for
// the C API. It borrows from its source, so it lives no longer than that:
// a parameter or a local naming an object someone else owns.
class Handle {
public:
    Handle(PyObject* ptr) noexcept : ptr_(ptr) {}
    Handle(const Ref& ref) noexcept : ptr_(ref.get()) {}
    operator PyObject*() const noexcept { return ptr_; }
    PyObject* ptr() const noexcept { return ptr_; }
    bool is_none() const noexcept { return ptr_ == Py_None; }

private:
    PyObject* ptr_;
};

inline Ref none() {
    return Ref::borrow(Py_None);
}
inline Ref py_bool(bool value) {
    return Ref::borrow(value ? Py_True : Py_False);
}

// Checks a C-API status: negative means an error is set.
inline int check(int status) {
    if (status < 0) {
        throw_error();
    }
    return status;
}

inline bool truthy(Handle obj) {
    return check(PyObject_IsTrue(obj)) != 0;
}

// Runs body at a boundary back to the interpreter: a PythonError becomes the
// NULL (or failure value) that the C API expects; other C++ failures become
// the matching Python exceptions. The unwinding that ends a thread at exit
// passes through (it must reach the thread's start, and a noexcept frame would
// turn it into std::terminate).
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) {
    try {
        return body();
    } catch (const PythonError&) {
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    } catch (const std::exception& exc) {
        PyErr_SetString(PyExc_SystemError, exc.what());
        return failure;
    } catch (...) {
        // Without a thread state this is the unwinding that ends the thread
        // (abi::__forced_unwind, not caught by name: it has no object to bind).
        if (!PyThreadState_GetUnchecked()) {
            throw;
        }
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        return failure;
    }
}

template <typename Body>
PyObject* boundary(Body&& body) {
    return guarded<PyObject*>(nullptr, [&] { return body().release(); });
}

} // namespace zelto
