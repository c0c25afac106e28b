// The one environment contract that switches every integration between
// observe-first (dry run) and enforce.
#include "support/call.hpp"
#include "support/function.hpp"
#include "support/module.hpp"

#include <initializer_list>

using namespace zelto;

namespace {

Name os_name{"os"};
Name env_enforcement_name{"_ENV_ENFORCEMENT"};
Name env_dry_run_name{"_ENV_DRY_RUN"};

// os.environ.get(variable, "").strip().lower()
Ref read_normalised(Handle environ, Handle variable) {
    Ref value = call_method(environ, "get", variable, "");
    return call_method(call_method(value, "strip"), "lower");
}

bool one_of(const Ref& value, std::initializer_list<const char*> words) {
    if (!PyUnicode_Check(value.get())) {
        return false;
    }
    for (const char* word : words) {
        if (PyUnicode_CompareWithASCIIString(value.get(), word) == 0) {
            return true;
        }
    }
    return false;
}

Ref observe_first_from_env(Frame& frame) {
    Ref environ = getattr(frame.global(os_name), "environ");
    Ref mode = read_normalised(environ, frame.global(env_enforcement_name));
    if (one_of(mode, {"enforce", "enforcing", "strict"})) {
        return py_bool(false);
    }
    if (one_of(mode, {"observe", "observing", "audit"})) {
        return py_bool(true);
    }
    Ref dry_run = read_normalised(environ, frame.global(env_dry_run_name));
    return py_bool(!one_of(dry_run, {"0", "false", "no", "off"}));
}

const FunctionDef observe_first_from_env_def{
    .name = "observe_first_from_env",
    .params = {},
    .returns = "bool",
    .doc = "Return whether the runtime should observe first (dry_run=True).\n"
           "\n"
           "Observe is the default. Setting ZELTO_ENFORCEMENT=enforce, or\n"
           "ZELTO_DRY_RUN=false, fails closed instead.",
    .impl = observe_first_from_env,
};

void exec_enforcement(Handle module) {
    check(PyModule_AddObjectRef(module, "os", import_module("os").get()));
    check(PyModule_AddStringConstant(module, "_ENV_ENFORCEMENT", "ZELTO_ENFORCEMENT"));
    check(PyModule_AddStringConstant(module, "_ENV_DRY_RUN", "ZELTO_DRY_RUN"));
    add_function(module, observe_first_from_env_def);
}

} // namespace

ZELTO_MODULE(enforcement, "zelto_cloud.enforcement",
             "Observe-first environment contract shared by every Zelto integration.\n"
             "\n"
             "``ZELTO_ENFORCEMENT`` takes ``observe`` (the default) or ``enforce``:\n"
             "observe evaluates warrants and emits receipts without failing closed;\n"
             "enforce blocks calls with missing or invalid warrants.\n"
             "\n"
             "``ZELTO_DRY_RUN`` is an alias: true means observe, false means enforce.\n"
             "``ZELTO_ENFORCEMENT`` wins when both are set.\n"
             "\n"
             "An explicit ``dry_run=`` constructor argument still wins over the\n"
             "environment.\n",
             exec_enforcement)
