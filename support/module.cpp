#include "support/module.hpp"

#include "support/coroutine.hpp"
#include "support/function.hpp"

namespace zelto {

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
        init_function_type(module);
        init_coroutine_type(module);
        body.exec(module);
        body.initialised = true;
        return 0;
    });
}

} // namespace zelto
