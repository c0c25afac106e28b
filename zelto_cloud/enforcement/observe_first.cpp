// The one environment contract that switches every integration between
// observe-first (dry run) and enforce.
#include "zelto_cloud/enforcement/enforcement.hpp"

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

} // namespace

namespace zelto::enforcement {

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

} // namespace zelto::enforcement
