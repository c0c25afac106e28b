#include "support/coroutine.hpp"

#include "support/call.hpp"
#include "support/errors.hpp"
#include "support/function.hpp"

#include <cstddef>
#include <new>

// Coroutine frames and coroutine objects are kept for reuse once ended (see
// below). Under a sanitizer every one is its own allocation, so that a use
// after the end is still caught; without the GIL the lists would need a lock.
#if defined(__SANITIZE_ADDRESS__) || defined(Py_GIL_DISABLED)
#define ZELTO_FREE_LISTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELTO_FREE_LISTS 0
#endif
#endif
#ifndef ZELTO_FREE_LISTS
#define ZELTO_FREE_LISTS 1
#endif

namespace zelto {

namespace {

struct CoroutineObject {
    PyObject ob_base;
    // An ended object kept for reuse holds no frame: the link of the list
    // takes the frame's place, so that a live coroutine is no larger for it.
    union {
        Task::Handle handle;        // null once finished or closed
        CoroutineObject* next_free; // while kept for reuse
    };
    PyObject* name;
    PyObject* qualname;
    bool started;
    bool running;
    PyObject* weakrefs;
    // The exception being handled inside this coroutine, pushed on the
    // thread's stack while it runs, as a generator's frame does.
    _PyErr_StackItem exc_state;
};

PyTypeObject* coroutine_type = nullptr;

// Ended coroutine objects, a few, kept for the next calls: a call makes and
// ends one, and the block (with the collector's header in front) is used
// again as it is, untracked and holding nothing, instead of going back to the
// allocator and the collector's count. One whose finalizer has run keeps that
// mark in the collector's header, which nothing public resets (the finalizer
// would not run for the next coroutine): it goes back to the allocator.
struct CoroutineList {
    CoroutineObject* head = nullptr;
    size_t count = 0;
};
[[maybe_unused]] CoroutineList free_coroutines;
constexpr size_t coroutines_kept = 16;

CoroutineObject* new_coroutine_object() {
#if ZELTO_FREE_LISTS
    if (CoroutineObject* coro = free_coroutines.head) {
        free_coroutines.head = coro->next_free;
        --free_coroutines.count;
        PyObject_Init(reinterpret_cast<PyObject*>(coro), coroutine_type);
        return coro;
    }
#endif
    return PyObject_GC_New(CoroutineObject, coroutine_type);
}

// The end of tp_free for an untracked coroutine object that holds nothing.
void free_coroutine_object(PyObject* self) {
#if ZELTO_FREE_LISTS
    if (free_coroutines.count < coroutines_kept && !PyObject_GC_IsFinalized(self)) {
        CoroutineObject* coro = reinterpret_cast<CoroutineObject*>(self);
        coro->next_free = free_coroutines.head;
        free_coroutines.head = coro;
        ++free_coroutines.count;
        return;
    }
#endif
    Py_TYPE(self)->tp_free(self);
}

CoroutineObject* as_coroutine(PyObject* obj) {
    return reinterpret_cast<CoroutineObject*>(obj);
}

// The innermost Task running in the coroutine: the one whose await is pending.
Task::Handle current(CoroutineObject* coro) {
    Task::Handle handle = coro->handle;
    while (handle.promise().child) {
        handle = handle.promise().child;
    }
    return handle;
}

void finish(CoroutineObject* coro) {
    if (!coro->handle) {
        Py_CLEAR(coro->exc_state.exc_value);
        return;
    }
    // Innermost first, so that no nested helper outlives the frame whose
    // locals it refers to. Destroying a frame runs destructors that may call
    // back into Python; the coroutine counts as finished by then.
    Task::Handle handle = current(coro);
    coro->handle = {};
    while (handle) {
        Task::Handle parent = std::exchange(handle.promise().parent, {});
        if (parent) {
            parent.promise().child = {};
        }
        handle.destroy();
        handle = parent;
    }
    Py_CLEAR(coro->exc_state.exc_value);
}

// While it lives the coroutine runs: it is marked running and its handled
// exception is the innermost one of the thread.
class Resumed {
public:
    Resumed(CoroutineObject* coro, PyThreadState* thread) : coro_(coro), thread_(thread) {
        coro_->running = true;
        coro_->exc_state.previous_item = thread_->exc_info;
        thread_->exc_info = &coro_->exc_state;
    }
    ~Resumed() {
        if (!holds_interpreter()) {
            return; // the thread is being ended; its state may be gone already
        }
        thread_->exc_info = coro_->exc_state.previous_item;
        coro_->exc_state.previous_item = nullptr;
        coro_->running = false;
    }
    Resumed(const Resumed&) = delete;
    Resumed& operator=(const Resumed&) = delete;

private:
    CoroutineObject* coro_;
    PyThreadState* thread_;
};

bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) {
        return false;
    }
    PyCodeObject* code = PyGen_GetCode((PyGenObject*)obj);
    bool flagged = (code->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    return flagged;
}

// The iterator that `await obj` drives, as the interpreter resolves it.
Ref awaitable_iterator(PyObject* obj) {
    if (Py_IS_TYPE(obj, coroutine_type)) {
        CoroutineObject* coro = as_coroutine(obj);
        if (coro->handle && current(coro).promise().delegate()) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            throw_error();
        }
        return Ref::borrow(obj);
    }
    if (PyCoro_CheckExact(obj) || is_iterable_coroutine(obj)) {
        return Ref::borrow(obj);
    }
    PyTypeObject* type = Py_TYPE(obj);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
        throw_error();
    }
    Ref iterator = Ref::steal(getter(obj));
    if (PyCoro_CheckExact(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw_error();
    }
    if (!PyIter_Check(iterator.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.get())->tp_name);
        throw_error();
    }
    return iterator;
}

// Py_EnterRecursiveCall and Py_LeaveRecursiveCall with the thread state at
// hand: the count is the interpreter's own; reaching the limit goes through
// Py_EnterRecursiveCall itself, for its RecursionError.
bool enter_recursive_call(PyThreadState* thread, const char* where) {
    if (thread->c_recursion_remaining > 0) {
        --thread->c_recursion_remaining;
        return false;
    }
    return Py_EnterRecursiveCall(where) != 0;
}

void leave_recursive_call(PyThreadState* thread) {
    ++thread->c_recursion_remaining;
}

// The end of an iterator's __next__ that returned NULL, as PyIter_Send
// reads it: StopIteration (its value) or nothing set (None) is a return.
// The thread's error is read where PyErr_Occurred reads it.
[[gnu::noinline]] PySendResult iterator_ended(PyObject** out, PyThreadState* thread) {
    if (!thread->current_exception) {
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return PYGEN_ERROR;
    }
    Ref stop = Ref::steal_maybe(PyErr_GetRaisedException());
    PyObject* value = reinterpret_cast<PyStopIterationObject*>(stop.get())->value;
    *out = Py_NewRef(value ? value : Py_None);
    return PYGEN_RETURN;
}

// PyIter_Send, with the common cases called straight away: an object with
// am_send (a coroutine, a generator, a Future's iterator), and None sent to
// a plain iterator (what __await__ returns for an awaitable that is ready).
PySendResult send_to(PyObject* iterator, PyObject* value, PyObject** out, PyThreadState* thread) {
    PyTypeObject* type = Py_TYPE(iterator);
    PyAsyncMethods* methods = type->tp_as_async;
    if (methods && methods->am_send) {
        return methods->am_send(iterator, value, out);
    }
    if (value == Py_None && PyIter_Check(iterator)) {
        *out = type->tp_iternext(iterator);
        if (*out) {
            return PYGEN_NEXT;
        }
        return iterator_ended(out, thread);
    }
    return PyIter_Send(iterator, value, out);
}

// Takes the value out of a StopIteration that is set; clears the error.
Ref stop_iteration_value() {
    Ref exc = Ref::steal_maybe(PyErr_GetRaisedException());
    Ref value = getattr_or(exc.get(), "value", Py_None);
    return value;
}

// The outermost Task ended: the coroutine is finished, with its result or
// exception. Apart from drive(), whose frame is one of each level of a chain
// of coroutines awaiting each other.
[[gnu::noinline]] PySendResult ended(CoroutineObject* coro, PyObject** out) {
    Ref error;
    Ref result = coro->handle.promise().take_outcome(error);
    finish(coro);
    if (error) {
        PyErr_SetRaisedException(error.release());
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// The delegate returned (yielded is its value) or raised: the awaiting Task
// receives that. Apart from drive(), as ended() is.
[[gnu::noinline]] void delegate_ended(Task::promise_type& promise, PySendResult status,
                                      PyObject* yielded) {
    if (status == PYGEN_RETURN) {
        promise.receive(Ref::steal_maybe(yielded));
    } else {
        promise.receive_error(Ref::steal_maybe(PyErr_GetRaisedException()));
    }
}

// Resumes the C++ body until it awaits something new or ends, driving each
// awaited iterator: the delegate's yields are passed up to the event loop. A
// Task suspended in a Step (an in-place clean-up) hands each ended await of
// the step to it, which says what runs next.
PySendResult drive(CoroutineObject* coro, PyObject* value, PyObject** out, PyThreadState* thread) {
    PyObject* to_send = value; // borrowed from the caller, then None
    for (;;) {
        Task::Handle running = current(coro);
        if (running.done()) {
            // A helper ended into a parent suspended in a step (the outermost
            // Task never is here: its end returns below).
            running = running.promise().parent;
        } else if (Task::promise_type& promise = running.promise();
                   PyObject* delegate = promise.delegate()) {
            PyObject* yielded = nullptr;
            PySendResult status = send_to(delegate, to_send, &yielded, thread);
            if (status == PYGEN_NEXT) {
                *out = yielded;
                return PYGEN_NEXT;
            }
            delegate_ended(promise, status, yielded);
        }
        if (Step* step = running.promise().step) {
            running = step->advance(running);
            if (!running) {
                to_send = Py_None;
                continue;
            }
        }
        running.resume();
        if (coro->handle.done()) {
            return ended(coro, out);
        }
        to_send = Py_None;
    }
}

bool already_running(CoroutineObject* coro) {
    if (coro->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    return false;
}

[[noreturn]] void raise_reused() {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    throw_error();
}

PySendResult send_into(CoroutineObject* coro, PyObject* value, PyObject** out,
                       PyThreadState* thread) {
    *out = nullptr;
    if (!coro->handle) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!coro->started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (already_running(coro)) {
        return PYGEN_ERROR;
    }
    // A chain of coroutines awaiting each other recurses in C, as in the
    // interpreter: too deep a chain is a RecursionError, not a crashed stack.
    if (enter_recursive_call(thread, " while awaiting a coroutine")) {
        return PYGEN_ERROR;
    }
    coro->started = true;
    PySendResult status;
    {
        Resumed running(coro, thread);
        status = drive(coro, value, out, thread);
    }
    leave_recursive_call(thread);
    return status;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** out) {
    return send_into(as_coroutine(self), value, out, PyThreadState_Get());
}

// True while the thread handles an exception (the one an exception raised
// now gets as its context), as PyErr_SetObject finds it.
bool handling_exception(PyThreadState* thread) {
    _PyErr_StackItem* item = thread->exc_info;
    while (item->exc_value == nullptr && item->previous_item) {
        item = item->previous_item;
    }
    return item->exc_value != nullptr && item->exc_value != Py_None;
}

// Raises StopIteration(value), as a coroutine's return raises it for code
// that drives it by send() or next() (an `await` in Python among them): the
// object is made as the call would make it (args and value) but without the
// call protocol, and it is chained to the exception being handled, if any,
// as PyErr_SetObject and PyErr_SetNone chain it.
void raise_stop_iteration(Ref value, PyThreadState* thread) {
    PyObject* args = value.is_none() ? PyTuple_New(0) : PyTuple_New(1);
    if (!args) {
        return;
    }
    if (!value.is_none()) {
        PyTuple_SET_ITEM(args, 0, value.new_ref());
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
    PyObject* stop = type->tp_new(type, args, nullptr);
    Py_DECREF(args);
    if (!stop) {
        return;
    }
    Py_XSETREF(reinterpret_cast<PyStopIterationObject*>(stop)->value, value.release());
    if (handling_exception(thread)) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    } else {
        PyErr_SetRaisedException(stop);
    }
}

// Python's send(): a return becomes StopIteration(value).
PyObject* result_or_stop(PySendResult status, PyObject* out, PyThreadState* thread) {
    if (status == PYGEN_NEXT) {
        return out;
    }
    if (status == PYGEN_RETURN) {
        raise_stop_iteration(Ref::steal(out), thread);
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* out = nullptr;
    PyThreadState* thread = PyThreadState_Get();
    PySendResult status = send_into(as_coroutine(self), value, &out, thread);
    return result_or_stop(status, out, thread);
}

PyObject* coroutine_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PyThreadState* thread = PyThreadState_Get();
    PySendResult status = send_into(as_coroutine(self), Py_None, &out, thread);
    if (status == PYGEN_RETURN) {
        // iternext ends with StopIteration carrying the result; None needs
        // none (an `await` in Python takes the bare end as None).
        if (Py_IsNone(out)) {
            Py_DECREF(out);
            return nullptr;
        }
        return result_or_stop(status, out, thread);
    }
    return status == PYGEN_NEXT ? out : nullptr;
}

// Delivers exc into the body at its current await, as `throw()` does for a
// coroutine suspended in `await`: the awaited iterator gets it first.
PySendResult throw_into(CoroutineObject* coro, Ref exc, PyObject** out, PyThreadState* thread) {
    Task::promise_type& promise = current(coro).promise();
    if (promise.delegate()) {
        Ref delegate = promise.take_delegate();
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
            // close() the awaited iterator, then raise GeneratorExit here.
            PyObject* close_result = nullptr;
            int found = PyObject_GetOptionalAttrString(delegate.get(), "close", &close_result);
            if (found < 0) {
                promise.receive_error(Ref::steal_maybe(PyErr_GetRaisedException()));
            } else if (found) {
                Ref closer = Ref::steal(close_result);
                Ref closed = Ref::steal_maybe(PyObject_CallNoArgs(closer.get()));
                promise.receive_error(closed ? exc : Ref::steal_maybe(PyErr_GetRaisedException()));
            } else {
                promise.receive_error(exc);
            }
        } else {
            PyObject* thrower = nullptr;
            int found = PyObject_GetOptionalAttrString(delegate.get(), "throw", &thrower);
            if (found <= 0) {
                promise.receive_error(found < 0 ? Ref::steal_maybe(PyErr_GetRaisedException())
                                                : exc);
            } else {
                Ref method = Ref::steal(thrower);
                Ref yielded = Ref::steal_maybe(PyObject_CallOneArg(method.get(), exc.get()));
                if (yielded) {
                    promise.await_on(std::move(delegate));
                    *out = yielded.release();
                    return PYGEN_NEXT;
                }
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    promise.receive(stop_iteration_value());
                } else {
                    promise.receive_error(Ref::steal_maybe(PyErr_GetRaisedException()));
                }
            }
        }
    } else {
        promise.receive_error(exc);
    }
    return drive(coro, Py_None, out, thread);
}

// The exception throw(typ[, val[, tb]]) delivers, normalised as the
// interpreter normalises it for a generator.
Ref thrown_exception(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        throw_error();
    }
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        PyObject* type = Py_NewRef(typ);
        PyObject* value = Py_XNewRef(val);
        PyObject* traceback = Py_XNewRef(tb);
        PyErr_NormalizeException(&type, &value, &traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        if (PyErr_Occurred()) {
            Py_XDECREF(value);
            throw_error();
        }
        exc = Ref::steal_maybe(value);
        if (!exc || !PyExceptionInstance_Check(exc.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, exc ? Py_TYPE(exc.get())->tp_name : "NULL");
            throw_error();
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            throw_error();
        }
        exc = Ref::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        throw_error();
    }
    if (tb) {
        check(PyException_SetTraceback(exc.get(), tb));
    }
    return exc;
}

Ref thrown_from_args(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        throw_error();
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        throw_error();
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                     "signature instead.",
                     1) < 0) {
        throw_error();
    }
    return thrown_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    CoroutineObject* coro = as_coroutine(self);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref exc = thrown_from_args(args, nargs);
        if (!coro->handle) {
            raise_reused();
        }
        if (already_running(coro)) {
            throw_error();
        }
        if (!coro->started) {
            // Nothing is suspended to receive it: the coroutine ends with it.
            finish(coro);
            PyErr_SetRaisedException(exc.release());
            throw_error();
        }
        PyObject* out = nullptr;
        PySendResult status;
        {
            RecursionGuard depth(" while awaiting a coroutine");
            PyThreadState* thread = PyThreadState_Get();
            Resumed running(coro, thread);
            status = throw_into(coro, std::move(exc), &out, thread);
        }
        return result_or_stop(status, out, PyThreadState_Get());
    });
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* coro = as_coroutine(self);
    if (!coro->handle || !coro->started) {
        finish(coro);
        Py_RETURN_NONE;
    }
    if (already_running(coro)) {
        return nullptr;
    }
    Ref exit = Ref::steal_maybe(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit || Py_EnterRecursiveCall(" while closing a coroutine")) {
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult status;
    {
        PyThreadState* thread = PyThreadState_Get();
        Resumed running(coro, thread);
        status = throw_into(coro, std::move(exit), &out, thread);
    }
    Py_LeaveRecursiveCall();
    if (status == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// `await coro` from Python code: the interpreter refuses a coroutine that is
// suspended in an await of its own (someone else awaits it).
PyObject* coroutine_await(PyObject* self) {
    CoroutineObject* coro = as_coroutine(self);
    if (coro->handle && current(coro).promise().delegate()) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

// "coroutine '...' was never awaited", through the warnings module as the
// interpreter sends it (so filters, and tracemalloc's origin, apply).
void warn_never_awaited(PyObject* self) {
    bool warned = false;
    Ref warnings = Ref::steal_maybe(PyImport_ImportModule("warnings"));
    if (warnings) {
        Ref warn =
            Ref::steal_maybe(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine"));
        if (warn) {
            Ref result = Ref::steal_maybe(PyObject_CallOneArg(warn.get(), self));
            warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
        }
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(self);
    }
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                                    as_coroutine(self)->qualname) < 0) {
        PyErr_WriteUnraisable(self);
    }
}

void coroutine_finalize(PyObject* self) {
    CoroutineObject* coro = as_coroutine(self);
    if (!coro->handle) {
        return;
    }
    PyObject* pending = PyErr_GetRaisedException();
    if (!coro->started) {
        warn_never_awaited(self);
        finish(coro);
    } else {
        PyObject* result = coroutine_close(self, nullptr);
        if (!result) {
            PyErr_WriteUnraisable(self);
        }
        Py_XDECREF(result);
    }
    PyErr_SetRaisedException(pending);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* coro = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(coro->name);
    Py_VISIT(coro->qualname);
    Py_VISIT(coro->exc_state.exc_value);
    if (!coro->handle) {
        return 0;
    }
    for (Task::Handle handle = coro->handle; handle; handle = handle.promise().child) {
        const Task::promise_type& promise = handle.promise();
        if (promise.owns_frame && promise.frame) {
            if (int status = promise.frame->traverse(visit, arg)) {
                return status;
            }
        }
        Py_VISIT(promise.held.get());
    }
    return 0;
}

// Breaks a cycle the finalizer (close()) did not: the frame is destroyed
// without running the body again.
int coroutine_clear(PyObject* self) {
    CoroutineObject* coro = as_coroutine(self);
    if (!coro->running) {
        finish(coro);
    }
    return 0;
}

// A chain of coroutines each holding the next (awaited, or an argument) is
// freed through the trashcan, so a long chain cannot exhaust the C stack.
void coroutine_dealloc(PyObject* self) {
    CoroutineObject* coro = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, coroutine_dealloc) if (coro->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    // An unfinished coroutine is closed (or warned about) first, and may be
    // resurrected meanwhile; a finished one has nothing left to finalise.
    int resurrected = 0;
    if (coro->handle) {
        PyObject_GC_Track(self);
        resurrected = PyObject_CallFinalizerFromDealloc(self);
        if (resurrected == 0) {
            PyObject_GC_UnTrack(self);
        }
    }
    if (resurrected == 0) {
        PyTypeObject* type = Py_TYPE(self);
        finish(coro);
        Py_CLEAR(coro->name);
        Py_CLEAR(coro->qualname);
        free_coroutine_object(self);
        Py_DECREF(type);
    } // else resurrected
    Py_TRASHCAN_END
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->running);
}

PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* coro = as_coroutine(self);
    if (PyObject* delegate = coro->handle ? current(coro).promise().delegate() : nullptr) {
        return Py_NewRef(delegate);
    }
    Py_RETURN_NONE;
}

PyObject* get_coroutine_name(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->name);
}

PyObject* get_coroutine_qualname(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->qualname);
}

PyObject* get_suspended(PyObject* self, void*) {
    CoroutineObject* coro = as_coroutine(self);
    return PyBool_FromLong(coro->handle && coro->started && !coro->running);
}

PyObject* get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_coroutine_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_coroutine_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", (PyCFunction)coroutine_send, METH_O, "send(arg) -> send 'arg' into coroutine."},
    {"throw", (PyCFunction)(void (*)(void))coroutine_throw, METH_FASTCALL,
     "throw(value) -> raise exception in coroutine."},
    {"close", (PyCFunction)coroutine_close, METH_NOARGS,
     "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, (void*)coroutine_dealloc},
    {Py_tp_finalize, (void*)coroutine_finalize},
    {Py_tp_traverse, (void*)coroutine_traverse},
    {Py_tp_clear, (void*)coroutine_clear},
    {Py_tp_repr, (void*)coroutine_repr},
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)coroutine_iternext},
    {Py_tp_methods, (void*)coroutine_methods},
    {Py_tp_getset, (void*)coroutine_getset},
    {Py_tp_members, (void*)coroutine_members},
    {Py_am_await, (void*)coroutine_await},
    {Py_am_send, (void*)coroutine_am_send},
    {0, nullptr},
};

PyType_Spec coroutine_type_spec = {
    "zelto_cloud.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

} // namespace

// ---- coroutine frame blocks -------------------------------------------------------
//
// Freed frames are kept in lists by size, in steps of frame_step bytes, a few of
// each size: a call that makes and ends the same frames again takes them from
// there. Frames are made and ended with the interpreter held (which serialises
// the lists); one ended without it (a thread being ended at exit) goes back to
// the system (see ZELTO_FREE_LISTS).

namespace {

// malloc's own granularity: a frame that waits long (a pending await) takes
// no more than malloc would give it. A block of malloc's is a multiple of 16
// bytes that carries a word of its own, so the sizes it hands out whole are
// 16 * n - 8: a frame is rounded up to the next of those, not to 16 * n (which
// would cost a pending frame 16 bytes more whenever it is within 8 of it).
constexpr size_t frame_step = 16;
constexpr size_t frame_overhead = sizeof(void*);
constexpr size_t frame_sizes = 128; // frames up to 2 KiB are kept
constexpr size_t frames_kept = 16;  // of each size

constexpr size_t frame_index(size_t size) {
    return (size + frame_overhead + frame_step - 1) / frame_step;
}

constexpr size_t frame_block(size_t index) {
    return frame_step * index - frame_overhead;
}

struct FreeFrame {
    FreeFrame* next;
};

struct FrameList {
    FreeFrame* head = nullptr;
    size_t count = 0;
};

[[maybe_unused]] FrameList free_frames[frame_sizes];

} // namespace

void* Task::promise_type::operator new(std::size_t size) {
#if ZELTO_FREE_LISTS
    size_t index = frame_index(size);
    if (index < frame_sizes) {
        FrameList& list = free_frames[index];
        if (FreeFrame* block = list.head) {
            list.head = block->next;
            --list.count;
            return block;
        }
        return ::operator new(frame_block(index)); // so that the block fits any frame of its list
    }
#endif
    return ::operator new(size);
}

void Task::promise_type::operator delete(void* block, std::size_t size) noexcept {
#if ZELTO_FREE_LISTS
    size_t index = frame_index(size);
    if (index < frame_sizes) {
        FrameList& list = free_frames[index];
        if (list.count < frames_kept && holds_interpreter()) {
            list.head = new (block) FreeFrame{list.head};
            ++list.count;
            return;
        }
        ::operator delete(block, frame_block(index));
        return;
    }
#endif
    ::operator delete(block, size);
}

void Task::promise_type::unhandled_exception() {
    try {
        throw;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& exc) {
        PyErr_SetString(PyExc_SystemError, exc.what());
    } catch (...) {
        if (!PyThreadState_GetUnchecked()) {
            throw; // the thread is being ended at exit: let the unwinding go on
        }
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "native coroutine failed without an exception");
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // As for `async def`: a StopIteration may not leak out of a coroutine.
        Ref stop = Ref::steal_maybe(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        Ref runtime = Ref::steal_maybe(PyErr_GetRaisedException());
        PyException_SetCause(runtime.get(), stop.new_ref());
        PyException_SetContext(runtime.get(), stop.release());
        hold(Holds::failed, std::move(runtime));
        return;
    }
    hold(Holds::failed, Ref::steal_maybe(PyErr_GetRaisedException()));
}

Awaiting::Awaiting(Handle awaitable) : iterator_(awaitable_iterator(awaitable).release()) {}

void Awaiting::await_suspend(Task::Handle handle) noexcept {
    Ref iterator = Ref::steal_maybe(iterator_);
    promise_ = &handle.promise();
    promise_->await_on(std::move(iterator));
}

Ref Awaiting::await_resume() {
    Ref error;
    Ref value = promise_->take_received(error);
    if (error) {
        PyErr_SetRaisedException(error.release());
        throw_error();
    }
    return value;
}

Ref make_coroutine(Task task, PyObject* name, PyObject* qualname) {
    CoroutineObject* coro = new_coroutine_object();
    if (!coro) {
        throw_error();
    }
    coro->handle = task.release();
    coro->name = Py_NewRef(name);
    coro->qualname = Py_NewRef(qualname);
    coro->started = false;
    coro->running = false;
    coro->weakrefs = nullptr;
    coro->exc_state = {nullptr, nullptr};
    PyObject_GC_Track((PyObject*)coro);
    return Ref::steal((PyObject*)coro);
}

namespace detail {

const Ref& awaitable_from(const Ref& obj, const char* method) {
    PyObject* value = obj.get();
    PyTypeObject* type = Py_TYPE(value);
    bool awaitable = Py_IS_TYPE(value, coroutine_type) || PyCoro_CheckExact(value) ||
                     is_iterable_coroutine(value) ||
                     (type->tp_as_async && type->tp_as_async->am_await);
    if (!awaitable) {
        PyErr_Format(PyExc_TypeError,
                     "'async with' received an object from %s that does not implement "
                     "__await__: %.100s",
                     method, type->tp_name);
        throw_error();
    }
    return obj;
}

} // namespace detail

std::coroutine_handle<> Task::ReturnToParent::await_suspend(Handle finished) noexcept {
    Handle parent = finished.promise().parent;
    // A parent suspended in a step hears of the end from the driving loop,
    // where its clean-up may call into Python (this path may not throw).
    if (parent && !parent.promise().step) {
        return parent;
    }
    return std::noop_coroutine();
}

Task::Handle Step::start_child(Task::Handle owner, Task task) {
    Task::Handle child = task.release();
    child.promise().parent = owner;
    owner.promise().child = child;
    return child;
}

void Step::await_on(Task::Handle owner, Handle awaitable) {
    owner.promise().await_on(awaitable_iterator(awaitable));
}

Ref Step::take_received(Task::Handle owner, Ref& error) {
    return owner.promise().take_received(error);
}

Ref Step::end_child(Task::Handle owner, Ref& error) {
    Task::Handle child = std::exchange(owner.promise().child, {});
    Task::promise_type& promise = child.promise();
    Ref result = promise.take_outcome(error);
    promise.parent = {};
    child.destroy();
    return result;
}

std::coroutine_handle<> AwaitingTask::await_suspend(Task::Handle parent) noexcept {
    child_.promise().parent = parent;
    parent.promise().child = child_;
    return child_;
}

Ref AwaitingTask::await_resume() {
    Task::promise_type& promise = child_.promise();
    Ref error;
    Ref result = promise.take_outcome(error);
    promise.parent.promise().child = {};
    std::exchange(child_, {}).destroy();
    if (error) {
        PyErr_SetRaisedException(error.release());
        throw_error();
    }
    return result ? result : none();
}

void init_coroutine_type(PyObject* module) {
    if (!coroutine_type) {
        coroutine_type =
            (PyTypeObject*)PyType_FromModuleAndSpec(module, &coroutine_type_spec, nullptr);
        if (!coroutine_type) {
            throw_error();
        }
    }
}

} // namespace zelto
