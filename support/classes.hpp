// Classes built at import: type(name, bases, namespace), and the standard
// library's dataclass decorator applied to them.
#pragma once

#include "support/function.hpp"

namespace zelto {

// A class namespace under construction, in definition order.
class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, const char* qualname = nullptr);

    ClassBuilder& doc(const char* text);
    // A field annotation, stored as a string.
    ClassBuilder& annotate(const char* field, const char* annotation);
    ClassBuilder& attr(const char* name, PyObject* value);
    // A method: a native function bound through the descriptor protocol;
    // its qualname is "<class qualname>.<name>".
    ClassBuilder& method(const FunctionDef& def);
    ClassBuilder& classmethod(const FunctionDef& def);
    ClassBuilder& staticmethod(const FunctionDef& def);

    // type(name, bases, namespace): the metaclass is the one bases call for.
    Ref build(PyObject* bases = nullptr);

private:
    Ref function_for(const FunctionDef& def);
    PyObject* module_;
    Ref name_;
    Ref qualname_;
    Ref namespace_;
    Ref annotations_;
};

// dataclasses.dataclass(cls), with the decorator's default options.
Ref dataclass(PyObject* cls);

} // namespace zelto
