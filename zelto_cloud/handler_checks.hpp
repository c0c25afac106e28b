// What the approval handlers of zelto_cloud.approval and zelto_cloud.langgraph
// share: the checks of the values they are made with, and their deadline,
// which zelto_cloud.client keeps so that every client call made inside a
// handler ends by the handler's time-out.
#pragma once

#include "support/call.hpp"
#include "support/errors.hpp"

#include <cmath>
#include <cstdarg>
#include <optional>

namespace zelto {

// A poll loop's own deadline moves to the handler's only when that is earlier
// by more than this: a create that took a moment must not shift the loop's
// schedule, and the calls themselves are capped by the client anyway.
inline constexpr double handler_deadline_slack = 0.25;

// Raises exc_type(message), chained to the exception being handled, if any.
[[noreturn]] inline void refuse(Handle exc_type, const char* format, ...) {
    std::optional<Caught> cause;
    if (PyErr_Occurred()) {
        cause.emplace();
    }
    va_list arguments;
    va_start(arguments, format);
    PyObject* text = PyUnicode_FromFormatV(format, arguments);
    va_end(arguments);
    Ref message = Ref::steal(text);
    Ref error = call(exc_type, message);
    if (cause) {
        Handling scope(*cause);
        raise_from(error, cause->get());
    }
    raise(error);
}

// A value used as seconds, never text and never NaN, a negative value only
// where allowed. Every number that worked before keeps working: a value added
// to a clock (added_to_clock) must allow `time.monotonic() + value`, any
// other must convert to float as time.sleep converts it. Returns the seconds.
inline double check_seconds(Handle value, const char* name, bool negative_allowed,
                            bool added_to_clock) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
        refuse(PyExc_TypeError, "%s must be a number of seconds, not %.200s", name,
               Py_TYPE(value)->tp_name);
    }
    Ref zero = to_py(0.0);
    Ref total =
        added_to_clock ? Ref::steal_maybe(PyNumber_Add(zero.get(), value)) : Ref::borrow(value);
    double seconds = total ? PyFloat_AsDouble(total.get()) : -1.0;
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw_error();
        }
        refuse(PyExc_TypeError, "%s must be a number of seconds, not %.200s", name,
               Py_TYPE(value)->tp_name);
    }
    if (std::isnan(seconds)) {
        refuse(PyExc_ValueError, "%s must be a number of seconds, not NaN", name);
    }
    if (!negative_allowed && seconds < 0) {
        refuse(PyExc_ValueError, "%s must be 0 or more seconds, not %R", name, value.ptr());
    }
    return seconds;
}

// A pause between polls, checked as what sleeps on it takes: time.sleep (in a
// thread) a float or a whole number only, asyncio.sleep anything its loop's
// clock can be moved by. A Decimal passes the float conversion yet fails at
// the first sleep, after the request was created.
inline void check_pause(Handle value, const char* name, bool in_thread) {
    check_seconds(value, name, false, !in_thread);
    if (in_thread && !PyFloat_Check(value) && !PyIndex_Check(value)) {
        refuse(PyExc_TypeError, "%s must be a float or an int number of seconds, not %.200s", name,
               Py_TYPE(value)->tp_name);
    }
}

// The holder or worker key: a zelto_core SigningKey (anything with its
// public_key), or None where the warrant context may supply it.
inline void check_signing_key(Handle key, bool none_allowed) {
    if (key == Py_None && none_allowed) {
        return;
    }
    int has = PyObject_HasAttrStringWithError(key, "public_key");
    if (has < 0) {
        throw_error();
    }
    if (has == 0) {
        refuse(PyExc_TypeError,
               none_allowed ? "signing_key must be a zelto_core SigningKey or None, not %.200s"
                            : "signing_key must be a zelto_core SigningKey, not %.200s",
               Py_TYPE(key)->tp_name);
    }
}

// Starts the handler's deadline, `seconds` from now; the token ends it.
inline Ref begin_handler_deadline(double seconds) {
    return call(import_from("zelto_cloud.client", "_begin_handler_deadline"), to_py(seconds));
}

inline void end_handler_deadline(const Ref& token) {
    call(import_from("zelto_cloud.client", "_end_handler_deadline"), token);
}

// `deadline` (start + timeout on the poll loop's clock), moved to the
// handler's deadline when that is clearly earlier.
inline Ref within_handler_deadline(const Ref& start, const Ref& deadline) {
    Ref left = call(import_from("zelto_cloud.client", "_handler_time_left"));
    if (left.is_none()) {
        return deadline;
    }
    Ref handler_end = Ref::steal(PyNumber_Add(start.get(), left.get()));
    Ref slack = to_py(handler_deadline_slack);
    Ref loose = Ref::steal(PyNumber_Add(handler_end.get(), slack.get()));
    return compare(loose, deadline, Py_LT) ? handler_end : deadline;
}

} // namespace zelto
