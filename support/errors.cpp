#include "support/errors.hpp"

namespace zelto {

void raise(const Ref& exc) {
    // PyErr_SetObject, unlike PyErr_SetRaisedException, chains the handled
    // exception as __context__, exactly as a `raise` statement does.
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    throw_error();
}

void raise_from(const Ref& exc, PyObject* cause) {
    PyException_SetCause(exc.get(), Py_XNewRef(cause));
    raise(exc);
}

void raise_new(PyObject* exc_type, std::string_view message) {
    Ref exc = call(exc_type, message);
    raise(exc);
}

} // namespace zelto
