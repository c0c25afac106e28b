// zelto_cloud.redaction: secret redaction for diagnostics and support output.
#include "zelto_cloud/redaction/redaction.hpp"

#include "support/module.hpp"

namespace zelto::redaction {
namespace {

void exec_redaction(Handle module) {
    Ref re = import_module("re");
    add(module, "re", re);
    add(module, "_SECRET_KEYS", make_secret_keys());
    add(module, "_TOKEN_PATTERNS", token_patterns_of(re));
    add(module, "_REDACTED", marker());
    for (const FunctionDef* def :
         {&is_secret_key_def, &redact_text_def, &redact_def, &redact_dict_def, &redact_list_def}) {
        add_function(module, *def);
    }
}

} // namespace
} // namespace zelto::redaction

ZELTO_MODULE(redaction, "zelto_cloud.redaction",
             "Secret redaction helpers for diagnostics and support output.",
             zelto::redaction::exec_redaction)
