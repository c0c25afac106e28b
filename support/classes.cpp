#include "support/classes.hpp"

#include <string>

namespace zelto {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* qualname)
    : module_(module), name_(str(name)), qualname_(str(qualname ? qualname : name)),
      namespace_(Ref::steal(PyDict_New())) {
    Ref module_name = getattr(module, "__name__");
    check(PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()));
    check(PyDict_SetItemString(namespace_.get(), "__qualname__", qualname_.get()));
}

ClassBuilder& ClassBuilder::doc(const char* text) {
    return attr("__doc__", str(text).get());
}

ClassBuilder& ClassBuilder::annotate(const char* field, const char* annotation) {
    if (!annotations_) {
        annotations_ = Ref::steal(PyDict_New());
        attr("__annotations__", annotations_.get());
    }
    check(PyDict_SetItemString(annotations_.get(), field, str(annotation).get()));
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, PyObject* value) {
    check(PyDict_SetItemString(namespace_.get(), name, value));
    return *this;
}

Ref ClassBuilder::function_for(const FunctionDef& def) {
    std::string qualname = std::string(utf8(qualname_.get())) + "." + def.name;
    return make_function(def, PyModule_GetDict(module_), qualname.c_str());
}

ClassBuilder& ClassBuilder::method(const FunctionDef& def) {
    return attr(def.name, function_for(def).get());
}

ClassBuilder& ClassBuilder::classmethod(const FunctionDef& def) {
    Ref wrapped = Ref::steal(PyClassMethod_New(function_for(def).get()));
    return attr(def.name, wrapped.get());
}

ClassBuilder& ClassBuilder::staticmethod(const FunctionDef& def) {
    Ref wrapped = Ref::steal(PyStaticMethod_New(function_for(def).get()));
    return attr(def.name, wrapped.get());
}

Ref ClassBuilder::build(PyObject* bases) {
    Ref base_tuple = bases ? Ref::borrow(bases) : Ref::steal(PyTuple_New(0));
    return call((PyObject*)&PyType_Type, name_, base_tuple, namespace_);
}

Ref dataclass(PyObject* cls) {
    Ref decorator = import_from("dataclasses", "dataclass");
    return call(decorator, cls);
}

} // namespace zelto
