// Logger calls through the standard logging package: %-style arguments stay
// arguments (formatted only if the record is emitted), extra fields by keyword.
#pragma once

#include "support/call.hpp"

#include <initializer_list>
#include <utility>

namespace zelto {

// logging.getLogger(name)
Ref get_logger(const char* name);

struct DictItem {
    Literal key;
    Ref value;
};
// {"key": value, ...} as a new dict, in the given order.
Ref dict_of(std::initializer_list<DictItem> items);

// logger.<level>(message, *args, [extra=...]); the message is a constant, made
// into a str once, as a compiled module's constant is.
template <typename... Args>
void log(Handle logger, Literal level, Literal message, Args&&... args) {
    call_method(logger, level, interned(message), std::forward<Args>(args)...);
}

} // namespace zelto
