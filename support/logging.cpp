#include "support/logging.hpp"

namespace zelto {

Ref get_logger(const char* name) {
    Ref logging = import_module("logging");
    return call_method(logging, "getLogger", name);
}

Ref dict_of(std::initializer_list<DictItem> items) {
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, value] : items) {
        check(PyDict_SetItem(dict.get(), interned_name(key), value.get()));
    }
    return dict;
}

} // namespace zelto
