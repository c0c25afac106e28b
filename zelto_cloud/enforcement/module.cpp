// zelto_cloud.enforcement: the observe-first environment contract.
#include "zelto_cloud/enforcement/enforcement.hpp"

#include "support/module.hpp"

namespace zelto::enforcement {
namespace {

void exec_enforcement(Handle module) {
    add(module, "os", import_module("os"));
    add(module, "_ENV_ENFORCEMENT", str("ZELTO_ENFORCEMENT"));
    add(module, "_ENV_DRY_RUN", str("ZELTO_DRY_RUN"));
    add_function(module, observe_first_from_env_def);
}

} // namespace
} // namespace zelto::enforcement

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
             zelto::enforcement::exec_enforcement)
