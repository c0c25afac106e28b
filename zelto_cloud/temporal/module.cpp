// zelto_cloud.temporal: Temporal workers configured from the environment.
#include "zelto_cloud/temporal/temporal.hpp"

#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/module.hpp"

namespace zelto::temporal {
namespace {

// ZeltoPlugin is the SDK's own class, or a placeholder that keeps the import
// error for the install hint.
void bind_plugin(Handle module) {
    try {
        add(module, "ZeltoPlugin", import_from("zelto.temporal", "ZeltoPlugin"));
        return;
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ImportError);
        Handling scope(caught);
        add(module, "_zelto_plugin_import_error", caught.ref());
        add(module, "_missing_zelto_plugin_import_error", caught.ref());
        Ref placeholder = make_missing_plugin_class(module);
        add(module, "_MissingZeltoPlugin", placeholder);
        add(module, "ZeltoPlugin", placeholder);
    }
    // As at the end of `except ImportError as _zelto_plugin_import_error:`.
    delattr_if_present(module, "_zelto_plugin_import_error");
}

void exec_temporal(Handle module) {
    add(module, "logging", import_module("logging"));
    add(module, "os", import_module("os"));
    add(module, "observe_first_from_env",
        import_from("zelto_cloud.enforcement", "observe_first_from_env"));
    add(module, "logger", get_logger("zelto_cloud.temporal"));
    for (const FunctionDef* def :
         {&load_signing_key_from_env_def, &load_signing_key_from_secret_manager_def,
          &resolve_signing_key_def, &maybe_connect_from_env_def, &configure_temporal_worker_def,
          &make_cloud_plugin_config_class_def}) {
        add_function(module, *def);
    }
    Ref factory = getattr(module, "_make_cloud_plugin_config_class");
    add(module, "ZeltoPluginConfig", call(factory));
    bind_plugin(module);
}

} // namespace
} // namespace zelto::temporal

ZELTO_MODULE(temporal, "zelto_cloud.temporal",
             "Temporal workers configured from the environment.\n"
             "\n"
             "A drop-in for the SDK's Temporal integration; moving a worker to the\n"
             "cloud add-on is one import change::\n"
             "\n"
             "    # before\n"
             "    from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig\n"
             "    # after\n"
             "    from zelto_cloud.temporal import ZeltoPlugin, ZeltoPluginConfig\n"
             "\n"
             "    config = ZeltoPluginConfig.from_env(activity_fns=[transfer_funds])\n"
             "    worker = Worker(client, task_queue=\"payments\", workflows=[PaymentWorkflow],\n"
             "                    activity_executor=ThreadPoolExecutor(4),\n"
             "                    plugins=[ZeltoPlugin(config)])\n"
             "\n"
             "``ZeltoPluginConfig.from_env`` says which ``ZELTO_`` variables it reads, and\n"
             "``python -m zelto_cloud doctor`` explains the ones set.\n",
             zelto::temporal::exec_temporal)
