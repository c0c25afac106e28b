#include "support/coroutine.hpp"

#include "support/call.hpp"
#include "support/errors.hpp"

namespace zelto {

namespace {

struct CoroutineObject {
    PyObject_HEAD Task::Handle handle; // null once finished or closed
    PyObject* name;
    PyObject* qualname;
    bool started;
    bool running;
    PyObject* weakrefs;
};

PyTypeObject* coroutine_type = nullptr;

CoroutineObject* as_coroutine(PyObject* obj) {
    return reinterpret_cast<CoroutineObject*>(obj);
}

void finish(CoroutineObject* coro) {
    if (coro->handle) {
        std::exchange(coro->handle, {}).destroy();
    }
}

// The iterator that `await obj` drives, as the interpreter resolves it.
Ref awaitable_iterator(PyObject* obj) {
    if (PyCoro_CheckExact(obj) || Py_IS_TYPE(obj, coroutine_type)) {
        return Ref::borrow(obj);
    }
    PyTypeObject* type = Py_TYPE(obj);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
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

// Takes the value out of a StopIteration that is set; clears the error.
Ref stop_iteration_value() {
    Ref exc = Ref::steal_maybe(PyErr_GetRaisedException());
    Ref value = getattr_or(exc.get(), "value", Py_None);
    return value;
}

// Resumes the C++ body until it awaits something new or ends, driving each
// awaited iterator: the delegate's yields are passed up to the event loop.
PySendResult drive(CoroutineObject* coro, PyObject* value, PyObject** out) {
    Task::promise_type& promise = coro->handle.promise();
    Ref to_send = Ref::borrow(value);
    for (;;) {
        if (promise.delegate) {
            PyObject* yielded = nullptr;
            PySendResult status = PyIter_Send(promise.delegate.get(), to_send.get(), &yielded);
            if (status == PYGEN_NEXT) {
                *out = yielded;
                return PYGEN_NEXT;
            }
            promise.delegate = Ref();
            if (status == PYGEN_RETURN) {
                promise.sent = Ref::steal_maybe(yielded);
            } else {
                promise.thrown = Ref::steal_maybe(PyErr_GetRaisedException());
            }
        }
        coro->handle.resume();
        if (coro->handle.done()) {
            Ref error = std::move(promise.error);
            Ref result = std::move(promise.result);
            finish(coro);
            if (error) {
                PyErr_SetRaisedException(error.release());
                return PYGEN_ERROR;
            }
            *out = result ? result.release() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        to_send = none();
    }
}

bool enter(CoroutineObject* coro) {
    if (coro->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    coro->running = true;
    return true;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** out) {
    CoroutineObject* coro = as_coroutine(self);
    *out = nullptr;
    if (!coro->handle) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!coro->started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (!enter(coro)) {
        return PYGEN_ERROR;
    }
    coro->started = true;
    PySendResult status = drive(coro, value, out);
    coro->running = false;
    return status;
}

// Python's send(): a return becomes StopIteration(value).
PyObject* result_or_stop(PySendResult status, PyObject* out) {
    if (status == PYGEN_NEXT) {
        return out;
    }
    if (status == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        if (value.is_none()) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            Ref stop = Ref::steal_maybe(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
            if (stop) {
                PyErr_SetObject(PyExc_StopIteration, stop.get());
            }
        }
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* out = nullptr;
    PySendResult status = coroutine_am_send(self, value, &out);
    return result_or_stop(status, out);
}

PyObject* coroutine_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult status = coroutine_am_send(self, Py_None, &out);
    if (status == PYGEN_RETURN) {
        // iternext ends with StopIteration carrying the result.
        return result_or_stop(status, out);
    }
    return status == PYGEN_NEXT ? out : nullptr;
}

// Delivers exc into the body at its current await, as `throw()` does for a
// coroutine suspended in `await`: the awaited iterator gets it first.
PySendResult throw_into(CoroutineObject* coro, Ref exc, PyObject** out) {
    Task::promise_type& promise = coro->handle.promise();
    if (promise.delegate) {
        Ref delegate = std::move(promise.delegate);
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
            // close() the awaited iterator, then raise GeneratorExit here.
            PyObject* close_result = nullptr;
            int found = PyObject_GetOptionalAttrString(delegate.get(), "close", &close_result);
            if (found < 0) {
                promise.thrown = Ref::steal_maybe(PyErr_GetRaisedException());
            } else if (found) {
                Ref closer = Ref::steal(close_result);
                Ref closed = Ref::steal_maybe(PyObject_CallNoArgs(closer.get()));
                promise.thrown = closed ? exc : Ref::steal_maybe(PyErr_GetRaisedException());
            } else {
                promise.thrown = exc;
            }
        } else {
            PyObject* thrower = nullptr;
            int found = PyObject_GetOptionalAttrString(delegate.get(), "throw", &thrower);
            if (found <= 0) {
                promise.thrown = found < 0 ? Ref::steal_maybe(PyErr_GetRaisedException()) : exc;
            } else {
                Ref method = Ref::steal(thrower);
                Ref yielded = Ref::steal_maybe(PyObject_CallOneArg(method.get(), exc.get()));
                if (yielded) {
                    promise.delegate = std::move(delegate);
                    *out = yielded.release();
                    return PYGEN_NEXT;
                }
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    promise.sent = stop_iteration_value();
                } else {
                    promise.thrown = Ref::steal_maybe(PyErr_GetRaisedException());
                }
            }
        }
    } else {
        promise.thrown = exc;
    }
    return drive(coro, Py_None, out);
}

Ref exception_instance(PyObject* value) {
    if (PyExceptionInstance_Check(value)) {
        return Ref::borrow(value);
    }
    if (PyExceptionClass_Check(value)) {
        return Ref::steal(PyObject_CallNoArgs(value));
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %.100s",
                 Py_TYPE(value)->tp_name);
    throw_error();
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    CoroutineObject* coro = as_coroutine(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    Ref exc;
    try {
        exc = exception_instance(args[0]);
        if (nargs == 2 && args[1] != Py_None && PyExceptionInstance_Check(args[1])) {
            exc = Ref::borrow(args[1]);
        }
    } catch (const PythonError&) {
        return nullptr;
    }
    if (!coro->handle || !coro->started) {
        // Nothing is suspended to receive it: the coroutine ends with it.
        finish(coro);
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
    if (!enter(coro)) {
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult status = throw_into(coro, std::move(exc), &out);
    coro->running = false;
    return result_or_stop(status, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* coro = as_coroutine(self);
    if (!coro->handle || !coro->started) {
        finish(coro);
        Py_RETURN_NONE;
    }
    if (!enter(coro)) {
        return nullptr;
    }
    Ref exit = Ref::steal_maybe(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) {
        coro->running = false;
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult status = throw_into(coro, std::move(exit), &out);
    coro->running = false;
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

PyObject* coroutine_await(PyObject* self) {
    return Py_NewRef(self);
}

void coroutine_finalize(PyObject* self) {
    CoroutineObject* coro = as_coroutine(self);
    if (!coro->handle) {
        return;
    }
    PyObject* pending = PyErr_GetRaisedException();
    if (!coro->started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             coro->qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
        finish(coro);
    } else {
        PyObject* result = coroutine_close(self, nullptr);
        if (!result) {
            PyErr_WriteUnraisable(self);
        }
        Py_XDECREF(result);
        finish(coro);
    }
    PyErr_SetRaisedException(pending);
}

void coroutine_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return; // resurrected
    }
    PyTypeObject* type = Py_TYPE(self);
    CoroutineObject* coro = as_coroutine(self);
    if (coro->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    finish(coro);
    Py_CLEAR(coro->name);
    Py_CLEAR(coro->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->running);
}

PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* coro = as_coroutine(self);
    if (coro->handle && coro->handle.promise().delegate) {
        return coro->handle.promise().delegate.new_ref();
    }
    Py_RETURN_NONE;
}

PyObject* get_coroutine_name(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->name);
}

PyObject* get_coroutine_qualname(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->qualname);
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_coroutine_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_coroutine_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

} // namespace

void Task::promise_type::unhandled_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& exc) {
        PyErr_SetString(PyExc_SystemError, exc.what());
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
        error = std::move(runtime);
        return;
    }
    error = Ref::steal_maybe(PyErr_GetRaisedException());
}

Awaiting::Awaiting(PyObject* awaitable) : iterator_(awaitable_iterator(awaitable)) {}

void Awaiting::await_suspend(Task::Handle handle) noexcept {
    promise_ = &handle.promise();
    promise_->delegate = std::move(iterator_);
}

Ref Awaiting::await_resume() {
    if (promise_->thrown) {
        PyErr_SetRaisedException(promise_->thrown.release());
        throw_error();
    }
    return std::move(promise_->sent);
}

Ref make_coroutine(Task task, PyObject* name, PyObject* qualname) {
    CoroutineObject* coro = PyObject_New(CoroutineObject, coroutine_type);
    if (!coro) {
        throw_error();
    }
    coro->handle = task.release();
    coro->name = Py_NewRef(name);
    coro->qualname = Py_NewRef(qualname);
    coro->started = false;
    coro->running = false;
    coro->weakrefs = nullptr;
    return Ref::steal((PyObject*)coro);
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
