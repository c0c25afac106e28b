// Shared between the sources of zelto_cloud.temporal.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"
#include "zelto_cloud/cloud_defaults.hpp"

namespace zelto::temporal {

inline constexpr const char* install_hint =
    "zelto_cloud.temporal requires zelto[temporal]. Install with: pip install 'zelto[temporal]'";

extern const FunctionDef load_signing_key_from_env_def;
extern const FunctionDef load_signing_key_from_secret_manager_def;
extern const FunctionDef resolve_signing_key_def;
extern const FunctionDef maybe_connect_from_env_def;
extern const FunctionDef configure_temporal_worker_def;
extern const FunctionDef make_cloud_plugin_config_class_def;

// The ZeltoPlugin placeholder, bound when zelto.temporal cannot be imported.
Ref make_missing_plugin_class(Handle module);

} // namespace zelto::temporal
