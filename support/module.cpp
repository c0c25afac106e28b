#include "support/module.hpp"

#include "support/call.hpp"
#include "support/coroutine.hpp"
#include "support/function.hpp"

namespace zelto {

namespace {

PyObject* interpreter_ends(PyObject*, PyObject*) {
    detail::interpreter_ending.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef interpreter_ends_def = {"_interpreter_ends", interpreter_ends, METH_NOARGS,
                                    "Marks the interpreter as ending (see holds_interpreter)."};

// holds_interpreter() trusts the thread state to be there until the
// interpreter starts to end: atexit callbacks run before finalization begins,
// and before any thread can be ended by it.
void watch_interpreter_end() {
    if (Py_IsFinalizing()) {
        detail::interpreter_ending.store(true, std::memory_order_release);
        return;
    }
    Ref hook = Ref::steal(PyCFunction_New(&interpreter_ends_def, nullptr));
    call_method(import_module("atexit"), "register", hook);
}

} // namespace

int exec_module(PyObject* module, ModuleBody& body) {
    if (body.initialised) {
        PyErr_Format(PyExc_ImportError,
                     "%s supports a single initialisation per process; it was already "
                     "initialised (re-importing it after removing it from sys.modules is not "
                     "supported)",
                     body.name);
        return -1;
    }
    return guarded<int>(-1, [&] {
        watch_interpreter_end();
        init_function_type(module);
        init_coroutine_type(module);
        body.exec(module);
        body.initialised = true;
        return 0;
    });
}

} // namespace zelto
