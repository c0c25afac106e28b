// Redacting the module's own four token patterns from text, natively.
#pragma once

#include "support/ref.hpp"

namespace zelto::redaction {

// The marker that replaces every token.
inline constexpr char marker_text[] = "<redacted>";

// What the four substitutions of the module's own patterns with the marker
// give for `text` (a str or a str subclass), in order and on the text that
// each leaves to the next. A text with no token comes back as `text[:]`
// would: the same object for an exact str, a plain copy for a subclass.
Ref redact_own_tokens(PyObject* text);

} // namespace zelto::redaction
