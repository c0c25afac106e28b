// Multi-phase module set-up: PyInit_<name> returns the definition, the exec
// slot runs the module body once. One interpreter per process and a single
// initialisation: a second attempt is a clear ImportError, never a crash.
#pragma once

#include "support/ref.hpp"

namespace zelto {

struct ModuleBody {
    const char* name; // fully qualified, e.g. "zelto_cloud.redaction"
    void (*exec)(Handle module);
    bool initialised = false;
};

// The Py_mod_exec slot's work: checks, shared types, then the body.
int exec_module(PyObject* module, ModuleBody& body);

} // namespace zelto

// Defines the module definition and its exported PyInit_<short_name>.
#define ZELTO_MODULE(short_name, full_name, docstring, exec_function)                              \
    namespace {                                                                                    \
    zelto::ModuleBody short_name##_body{full_name, exec_function};                                 \
    int short_name##_exec(PyObject* module) {                                                      \
        return zelto::exec_module(module, short_name##_body);                                      \
    }                                                                                              \
    PyModuleDef_Slot short_name##_slots[] = {                                                      \
        {Py_mod_exec, (void*)short_name##_exec},                                                   \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                             \
        {0, nullptr},                                                                              \
    };                                                                                             \
    PyModuleDef short_name##_def = {                                                               \
        PyModuleDef_HEAD_INIT, full_name, docstring, 0,       nullptr,                             \
        short_name##_slots,    nullptr,   nullptr,   nullptr,                                      \
    };                                                                                             \
    }                                                                                              \
    PyMODINIT_FUNC PyInit_##short_name(void) {                                                     \
        return PyModuleDef_Init(&short_name##_def);                                                \
    }
