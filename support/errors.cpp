#include "support/errors.hpp"

namespace zelto {

void raise(const Ref& exc) {
    // PyErr_SetObject, unlike PyErr_SetRaisedException, chains the handled
    // exception as __context__, exactly as a `raise` statement does.
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    throw_error();
}

void raise_from(const Ref& exc, Handle cause) {
    PyException_SetCause(exc.get(), Py_XNewRef(cause));
    raise(exc);
}

namespace detail {

std::pair<Ref, Ref> context_methods(Handle manager, bool asynchronous) {
    const char* protocol = asynchronous ? "asynchronous context manager" : "context manager";
    Ref enter =
        lookup_special(manager, asynchronous ? Literal("__aenter__") : Literal("__enter__"));
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the %s protocol",
                     Py_TYPE(manager)->tp_name, protocol);
        throw_error();
    }
    Ref exit = lookup_special(manager, asynchronous ? Literal("__aexit__") : Literal("__exit__"));
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the %s protocol (missed %s method)",
                     Py_TYPE(manager)->tp_name, protocol, asynchronous ? "__aexit__" : "__exit__");
        throw_error();
    }
    return {std::move(enter), std::move(exit)};
}

Ref exit_call(Handle exit, PyObject* exc) {
    if (!exc) {
        return call(exit, Py_None, Py_None, Py_None);
    }
    Ref traceback = Ref::steal_maybe(PyException_GetTraceback(exc));
    return call(exit, (PyObject*)Py_TYPE(exc), exc, traceback ? traceback.get() : Py_None);
}

} // namespace detail

void raise_new(Handle exc_type, std::string_view message) {
    Ref exc = call(exc_type, message);
    raise(exc);
}

} // namespace zelto
