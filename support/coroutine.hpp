// Native coroutines: a C++20 coroutine (Task) wrapped in a Python object that
// asyncio accepts as a coroutine (send, throw, close, __await__). Inside a
// Task, `co_await awaiting(obj)` awaits any Python awaitable and yields to the
// event loop exactly as `await obj` would.
//
// The coroutine object is tracked by the garbage collector (it sees the
// function's frame, the awaited object and the exception being handled) and
// keeps its own handled exception, as a generator's frame does.
#pragma once

#include "support/errors.hpp"

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>

namespace zelto {

class Frame;
class Step;

class Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // A finished Task hands control back to the Task that awaited it.
    struct ReturnToParent {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(Handle finished) noexcept;
        void await_resume() const noexcept {}
    };

    struct promise_type {
        // What `held` is. One slot serves all of them, since no two are ever
        // wanted at once: the iterator being awaited, then what it returned or
        // raised until the body takes that, and at the end the body's own
        // result or exception. A waiting coroutine keeps one word, not three.
        enum class Holds : unsigned char { nothing, delegate, received, refused, returned, failed };

        Frame* frame = nullptr; // the Frame the body was given, when it takes one
        Ref held;               // by `holds`
        Handle parent;          // the Task awaiting this one (nested helpers)
        Handle child;           // the Task this one awaits
        Step* step = nullptr;   // the in-place awaiter this Task is suspended in
        Holds holds = Holds::nothing;
        // `frame` is the body's own (a native function's call), not an outer
        // Task's lent to a helper: the collector visits each frame once.
        bool owns_frame = false;

        // The awaitable iterator being awaited, borrowed; null when none is.
        PyObject* delegate() const { return holds == Holds::delegate ? held.get() : nullptr; }
        void await_on(Ref iterator) { hold(Holds::delegate, std::move(iterator)); }
        Ref take_delegate() { return take(); }
        void receive(Ref value) { hold(Holds::received, std::move(value)); }
        void receive_error(Ref exc) { hold(Holds::refused, std::move(exc)); }
        // What the delegate returned; a null Ref with what it raised moved to `error`.
        Ref take_received(Ref& error) { return take(error); }
        // The body's result; a null Ref with its exception moved to `error`.
        Ref take_outcome(Ref& error) { return take(error); }

        promise_type() = default;
        // A coroutine implementing a native function receives its Frame; the
        // promise remembers the frame's copy inside the coroutine state.
        explicit promise_type(Frame& own_frame) : frame(&own_frame) {}

        // Coroutine frames come from a free list kept by size (see coroutine.cpp):
        // a call makes and ends one or more of them, as the interpreter does its
        // frames, without a trip through malloc each time.
        static void* operator new(std::size_t size);
        static void operator delete(void* block, std::size_t size) noexcept;

        Task get_return_object() { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        ReturnToParent final_suspend() noexcept { return {}; }
        void return_value(Ref value) { hold(Holds::returned, std::move(value)); }
        // Not noexcept: the unwinding that ends a thread at exit goes on
        // through it to the thread's start.
        void unhandled_exception();

    private:
        // The kind is set first: releasing what was held may run code that
        // looks at the promise (the collector, a coroutine's cr_await).
        void hold(Holds kind, Ref value) {
            holds = kind;
            held = std::move(value);
        }
        Ref take() {
            holds = Holds::nothing;
            return std::move(held);
        }
        Ref take(Ref& error) {
            bool raised = holds == Holds::refused || holds == Holds::failed;
            if (raised) {
                error = take();
                return Ref();
            }
            return take();
        }
    };

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (handle_) {
            handle_.destroy();
        }
    }
    Handle release() { return std::exchange(handle_, {}); }
    // Marks the Task as a native function's body, the owner of its Frame.
    Task&& owning_frame() && {
        handle_.promise().owns_frame = true;
        return std::move(*this);
    }

private:
    explicit Task(Handle handle) : handle_(handle) {}
    Handle handle_;
};

// The awaiter behind `co_await awaiting(obj)`: resolves obj's awaitable
// iterator up front (a TypeError for things that cannot be awaited), hands it
// to the driving coroutine object, and resumes with its result or exception.
//
// It is awaited where it is made, as `co_await awaiting(...)` does: between
// the two nothing runs, so it holds the iterator until await_suspend hands
// it to the Task, and from then on the Task's promise, in one word of the
// coroutine's frame for each await written.
class Awaiting {
public:
    explicit Awaiting(Handle awaitable);
    Awaiting(const Awaiting&) = delete;
    Awaiting& operator=(const Awaiting&) = delete;
    bool await_ready() const noexcept { return false; }
    void await_suspend(Task::Handle handle) noexcept;
    Ref await_resume();

private:
    union {
        PyObject* iterator_;          // owned, until await_suspend
        Task::promise_type* promise_; // from then on
    };
};

// The awaiter behind `co_await awaiting(task)`: runs a nested Task inside
// the same coroutine object (no Python object of its own) and resumes with
// its result or exception. Awaited where it is made, as Awaiting is: the
// Task it was given is started by await_suspend and ended by await_resume
// (or, when the coroutine is closed, by the coroutine object's end).
class AwaitingTask {
public:
    explicit AwaitingTask(Task task) : child_(task.release()) {}
    AwaitingTask(const AwaitingTask&) = delete;
    AwaitingTask& operator=(const AwaitingTask&) = delete;
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(Task::Handle parent) noexcept;
    Ref await_resume();

private:
    Task::Handle child_;
};

inline Awaiting awaiting(Handle awaitable) {
    return Awaiting(awaitable);
}
// Awaits another native coroutine (a helper returning Task). The helper runs
// within the awaiting coroutine: it shares its handled exception, as a
// `finally` block of the same function would, and dies with it.
inline AwaitingTask awaiting(Task task) {
    return AwaitingTask(std::move(task));
}

// Wraps a Task in a Python coroutine object with the given name and qualname.
Ref make_coroutine(Task task, PyObject* name, PyObject* qualname);

void init_coroutine_type(PyObject* module);

// ---- clean-up across awaits ------------------------------------------------------
//
// C++ forbids co_await inside a catch handler, so "finally" and "with" blocks
// whose clean-up awaits are written with these helpers. A body or clean-up is
// a callable returning Task (a helper coroutine: it may await), InPlace (a
// single await, see await_in_place) or Ref (it runs straight through).
// The helper is awaited (`co_await try_finally(...)`): the awaiter, and the
// callables in it, live in the awaiting coroutine's frame until they end, so
// lambdas that capture the caller's locals by reference are safe.

// An awaiter that runs its own awaits in place, inside the awaiting Task (a
// `finally` clause, an `async with`), without a coroutine frame of its own.
// While the Task is suspended in it, the driving loop calls advance() each
// time one of the step's awaits ended: a helper Task it started (still linked
// as the Task's child, finished) or an iterator it set as the Task's delegate.
class Step {
public:
    // Returns the Task to resume next: a helper the step started, or `owner`
    // itself once the step is over (its await_resume runs then); a null handle
    // when the step set a new delegate on owner to await first.
    virtual Task::Handle advance(Task::Handle owner) = 0;

protected:
    ~Step() = default;
    // Starts task as owner's child and returns it, to be resumed next.
    static Task::Handle start_child(Task::Handle owner, Task task);
    // Unlinks owner's finished child and destroys it; returns its result, or
    // a null Ref with its exception in `error`.
    static Ref end_child(Task::Handle owner, Ref& error);
    // Sets awaitable's iterator as owner's delegate (a TypeError for what
    // cannot be awaited); the driving loop awaits it before advance().
    static void await_on(Task::Handle owner, Handle awaitable);
    // What owner's delegate returned, or a null Ref with what it raised in `error`.
    static Ref take_received(Task::Handle owner, Ref& error);
    // The Task to resume from await_suspend: none (back to the driving loop,
    // which awaits owner's delegate) for a null handle.
    static std::coroutine_handle<> or_noop(Task::Handle next) {
        if (next) {
            return next;
        }
        return std::noop_coroutine();
    }
};

// A body or clean-up that is one `await obj` of a Python awaitable returns
// await_in_place(obj): the awaiting Task awaits it itself, with no helper Task
// (`[&] { return await_in_place(call_method(client, "close")); }`).
struct InPlace {
    Ref awaitable;
};

inline InPlace await_in_place(Ref awaitable) {
    return {std::move(awaitable)};
}
inline InPlace await_in_place(Handle awaitable) {
    return {Ref::borrow(awaitable)};
}

namespace detail {

template <typename F, typename... Args>
constexpr bool returns_task = std::is_same_v<std::invoke_result_t<F&, Args...>, Task>;

// What a body or clean-up is, by what its callable returns: Ref (it runs
// straight through), Task (a helper coroutine, run as the awaiting Task's
// child) or InPlace (one Python awaitable, awaited by the awaiting Task itself).
enum class StepKind { plain, task, in_place };

template <typename F, typename... Args>
constexpr StepKind step_kind =
    returns_task<F, Args...>                                     ? StepKind::task
    : std::is_same_v<std::invoke_result_t<F&, Args...>, InPlace> ? StepKind::in_place
                                                                 : StepKind::plain;

// Calls a body or clean-up that returns a Task (which does not run yet). A
// failure while making it is taken into `error`.
template <typename F>
std::optional<Task> make_task(F& callable, Ref& error) {
    std::optional<Task> task;
    if (!guarded(false, [&] {
            task.emplace(callable());
            return true;
        })) {
        error = Ref::steal_maybe(PyErr_GetRaisedException());
    }
    return task;
}

// try: body()  finally: cleanup(), as an awaiter running both in place.
template <typename Body, typename Cleanup>
class TryFinally final : public Step {
    static constexpr StepKind body_kind = step_kind<Body>;
    static constexpr StepKind cleanup_kind = step_kind<Cleanup>;

public:
    TryFinally(Body body, Cleanup cleanup) : body_(std::move(body)), cleanup_(std::move(cleanup)) {}
    TryFinally(const TryFinally&) = delete;
    TryFinally& operator=(const TryFinally&) = delete;

    // A body that does not await runs here; with a clean-up that does not
    // await either, nothing suspends.
    bool await_ready() {
        if constexpr (body_kind == StepKind::plain) {
            try {
                outcome_ = body_();
            } catch (const PythonError&) {
                fail(Ref::steal_maybe(PyErr_GetRaisedException()));
            }
            if constexpr (cleanup_kind == StepKind::plain) {
                run_cleanup_now();
                return true;
            }
        }
        return false;
    }

    std::coroutine_handle<> await_suspend(Task::Handle owner) {
        owner.promise().step = this;
        if constexpr (body_kind != StepKind::plain) {
            Ref error;
            Task::Handle next;
            if (launch(owner, body_, error, next)) {
                return or_noop(next);
            }
            fail(std::move(error));
        }
        return or_noop(begin_cleanup(owner));
    }

    Task::Handle advance(Task::Handle owner) override {
        Ref error;
        if (!in_cleanup_) {
            Ref result = ended(owner, body_kind, error);
            if (error) {
                fail(std::move(error));
            } else {
                outcome_ = std::move(result);
            }
            return begin_cleanup(owner);
        }
        ended(owner, cleanup_kind, error);
        if (error) {
            fail(std::move(error));
        }
        return done(owner);
    }

    Ref await_resume() {
        if (raised_) {
            PyErr_SetRaisedException(outcome_.release());
            throw_error();
        }
        return outcome_ ? std::move(outcome_) : none();
    }

private:
    // The body raised, or the clean-up did: an exception from the clean-up
    // replaces the pending one (which the interpreter made its context).
    void fail(Ref exc) {
        outcome_ = std::move(exc);
        raised_ = true;
    }

    // Starts an awaiting body or clean-up: `next` is its helper Task to run,
    // or null when it set its awaitable as owner's delegate. False, with the
    // exception in `error`, when it failed before awaiting anything.
    template <typename F>
    static bool launch(Task::Handle owner, F& callable, Ref& error, Task::Handle& next) {
        if constexpr (step_kind<F> == StepKind::task) {
            std::optional<Task> task = make_task(callable, error);
            if (task) {
                next = start_child(owner, std::move(*task));
            }
            return task.has_value();
        } else {
            if (!guarded(false, [&] {
                    await_on(owner, callable().awaitable);
                    return true;
                })) {
                error = Ref::steal_maybe(PyErr_GetRaisedException());
                return false;
            }
            next = {};
            return true;
        }
    }

    // The outcome of the step that ended: its helper's, or its awaitable's.
    static Ref ended(Task::Handle owner, StepKind kind, Ref& error) {
        return kind == StepKind::task ? end_child(owner, error) : take_received(owner, error);
    }

    // The pending exception is the one being handled while the clean-up
    // runs: an exception from the clean-up replaces it, with it as context.
    Task::Handle begin_cleanup(Task::Handle owner) {
        in_cleanup_ = true;
        if constexpr (cleanup_kind != StepKind::plain) {
            if (raised_) {
                handling_.begin(outcome_.get());
            }
            Ref error;
            Task::Handle next;
            if (launch(owner, cleanup_, error, next)) {
                return next;
            }
            fail(std::move(error));
        } else {
            run_cleanup_now();
        }
        return done(owner);
    }

    void run_cleanup_now() {
        Handling scope;
        if (raised_) {
            scope.begin(outcome_.get());
        }
        try {
            cleanup_();
        } catch (const PythonError&) {
            fail(Ref::steal_maybe(PyErr_GetRaisedException()));
        }
    }

    Task::Handle done(Task::Handle owner) {
        handling_.end();
        owner.promise().step = nullptr;
        return owner;
    }

    // Declared first, so that they outlive the helper Tasks (lambdas that
    // are coroutines run on the callable object itself).
    Body body_;
    Cleanup cleanup_;
    // The body's result or the exception pending (raised_), one at a time: a
    // waiting coroutine keeps one word for them, not three.
    Ref outcome_;
    Handling handling_;
    bool raised_ = false;
    bool in_cleanup_ = false;
};

// The interpreter's TypeError when __aenter__ or __aexit__ returned something
// that cannot be awaited.
const Ref& awaitable_from(const Ref& obj, const char* method);

// with / async with manager as value: body(value), as an awaiter running the
// manager's awaits and the body in place.
template <typename Body>
class With final : public Step {
    static constexpr bool body_awaits = returns_task<Body, PyObject*>;
    enum class Stage { entering, body, exiting };

public:
    With(Ref manager, Body body, bool asynchronous)
        : body_(std::move(body)), manager_(std::move(manager)), asynchronous_(asynchronous) {}
    With(const With&) = delete;
    With& operator=(const With&) = delete;

    bool await_ready() const noexcept { return false; }

    std::coroutine_handle<> await_suspend(Task::Handle owner) {
        owner.promise().step = this;
        // A failure before the body (no manager, __aenter__ failing) skips __exit__.
        bool entered = guarded(false, [&] {
            auto [enter, exit] = context_methods(manager_, asynchronous_);
            exit_ = std::move(exit);
            Ref value = call(enter);
            if (asynchronous_) {
                await_on(owner, awaitable_from(value, "__aenter__"));
            } else {
                value_ = std::move(value);
            }
            return true;
        });
        if (!entered) {
            failure_ = Ref::steal_maybe(PyErr_GetRaisedException());
            return done(owner);
        }
        if (asynchronous_) {
            return std::noop_coroutine(); // the loop awaits __aenter__'s awaitable
        }
        return or_noop(start_body(owner));
    }

    Task::Handle advance(Task::Handle owner) override {
        Ref error;
        switch (stage_) {
        case Stage::entering:
            value_ = take_received(owner, error);
            if (error) {
                failure_ = std::move(error);
                return done(owner);
            }
            return start_body(owner);
        case Stage::body:
            result_ = end_child(owner, error);
            if (error) {
                pending_.emplace(std::move(error));
            }
            return start_exit(owner);
        case Stage::exiting:
            break;
        }
        Ref exited = take_received(owner, error);
        return exit_done(owner, std::move(exited), std::move(error));
    }

    // The body's result; None when the manager suppressed its exception.
    Ref await_resume() {
        if (failure_) {
            PyErr_SetRaisedException(failure_.release());
            throw_error();
        }
        if (pending_ && !suppressed_) {
            pending_->reraise();
        }
        return result_ && !pending_ ? std::move(result_) : none();
    }

private:
    Task::Handle start_body(Task::Handle owner) {
        stage_ = Stage::body;
        if constexpr (body_awaits) {
            Ref error;
            auto make = [&] { return body_(value_.get()); };
            if (std::optional<Task> task = make_task(make, error)) {
                return start_child(owner, std::move(*task));
            }
            pending_.emplace(std::move(error));
        } else {
            try {
                result_ = body_(value_.get());
            } catch (const PythonError&) {
                pending_.emplace();
            }
        }
        return start_exit(owner);
    }

    // __exit__ sees the pending exception as the one being handled; an
    // exception from it replaces the pending one, with it as context.
    Task::Handle start_exit(Task::Handle owner) {
        stage_ = Stage::exiting;
        if (pending_) {
            handling_.begin(pending_->get());
        }
        Ref exited;
        bool called = guarded(false, [&] {
            exited = exit_call(exit_.get(), pending_ ? pending_->get() : nullptr);
            if (asynchronous_) {
                await_on(owner, awaitable_from(exited, "__aexit__"));
            }
            return true;
        });
        if (!called) {
            return exit_done(owner, Ref(), Ref::steal_maybe(PyErr_GetRaisedException()));
        }
        if (asynchronous_) {
            return {}; // the loop awaits __aexit__'s awaitable
        }
        return exit_done(owner, std::move(exited), Ref());
    }

    Task::Handle exit_done(Task::Handle owner, Ref exited, Ref error) {
        if (!error && pending_) {
            int suppress = PyObject_IsTrue(exited.get());
            if (suppress < 0) {
                error = Ref::steal_maybe(PyErr_GetRaisedException());
            }
            suppressed_ = suppress > 0;
        }
        if (error) {
            failure_ = std::move(error);
        }
        return done(owner);
    }

    Task::Handle done(Task::Handle owner) {
        handling_.end();
        owner.promise().step = nullptr;
        return owner;
    }

    Body body_; // first, so that it outlives the body's Task
    Ref manager_;
    Ref exit_;
    Ref value_;
    Ref result_;
    Ref failure_; // replaces the body's outcome: from entering, or from __exit__
    std::optional<Caught> pending_;
    Handling handling_;
    Stage stage_ = Stage::entering;
    bool asynchronous_;
    bool suppressed_ = false;
};

} // namespace detail

// try: body()  finally: cleanup(). An exception from the clean-up replaces the
// pending one, which becomes its __context__; otherwise the pending exception
// (asyncio.CancelledError and GeneratorExit included) passes on unchanged.
template <typename Body, typename Cleanup>
detail::TryFinally<Body, Cleanup> try_finally(Body body, Cleanup cleanup) {
    return {std::move(body), std::move(cleanup)};
}

// async with manager as value: body(value). Awaits to the body's result, or
// to None when __aexit__ suppressed the body's exception.
template <typename Body>
detail::With<Body> async_with(Handle manager, Body body) {
    return {Ref::borrow(manager), std::move(body), true};
}

// with manager as value: body(value), where the body may await. Awaits to the
// body's result, or to None when __exit__ suppressed its exception.
template <typename Body>
detail::With<Body> with_awaiting_body(Handle manager, Body body) {
    return {Ref::borrow(manager), std::move(body), false};
}

} // namespace zelto
