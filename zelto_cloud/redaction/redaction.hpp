// Shared between the sources of zelto_cloud.redaction.
#pragma once

#include "support/call.hpp"
#include "support/function.hpp"

namespace zelto::redaction {

extern const FunctionDef is_secret_key_def;
extern const FunctionDef redact_text_def;
extern const FunctionDef redact_def;
extern const FunctionDef redact_dict_def;
extern const FunctionDef redact_list_def;

// The module's constants, made at import; the fast paths know the patterns
// (compiled with re) and the marker as the module's own from then on.
Ref make_secret_keys();
Ref token_patterns_of(Handle re);
Ref marker();

} // namespace zelto::redaction
