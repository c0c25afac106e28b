#include "support/classes.hpp"

#include <string>
#include <string_view>

namespace zelto {

namespace {

Ref module_globals(Handle module) {
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) {
        throw_error();
    }
    return Ref::borrow(globals);
}

} // namespace

ClassBuilder::ClassBuilder(Handle module, const char* name, const char* qualname)
    : ClassBuilder(module_globals(module), name, qualname) {}

ClassBuilder::ClassBuilder(const Frame& frame, const char* name, const char* qualname)
    : ClassBuilder(Ref::borrow(frame.globals()), name, qualname) {}

ClassBuilder::ClassBuilder(Ref globals, const char* name, const char* qualname)
    : globals_(std::move(globals)), name_(str(name)), qualname_(str(qualname ? qualname : name)),
      namespace_(Ref::steal(PyDict_New())) {
    // As a class statement: __module__ is the __name__ of the globals.
    Ref module_name = global(globals_.get(), "__name__");
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

ClassBuilder& ClassBuilder::attr(const char* name, Handle value) {
    check(PyDict_SetItemString(namespace_.get(), name, value));
    return *this;
}

Ref ClassBuilder::function_for(const FunctionDef& def, std::initializer_list<Handle> cells) {
    if (!class_cell_) {
        class_cell_ = Ref::steal(PyCell_New(nullptr));
    }
    std::string qualname = std::string(utf8(qualname_.get())) + "." + def.name;
    return make_function(def, globals_.get(), qualname.c_str(), cells, class_cell_.get());
}

ClassBuilder& ClassBuilder::method(const FunctionDef& def, std::initializer_list<Handle> cells) {
    // type() makes these implicit for Python functions only.
    std::string_view name(def.name);
    if (name == "__init_subclass__" || name == "__class_getitem__") {
        return classmethod(def, cells);
    }
    if (name == "__new__") {
        return staticmethod(def, cells);
    }
    return attr(def.name, function_for(def, cells).get());
}

ClassBuilder& ClassBuilder::classmethod(const FunctionDef& def,
                                        std::initializer_list<Handle> cells) {
    Ref wrapped = Ref::steal(PyClassMethod_New(function_for(def, cells).get()));
    return attr(def.name, wrapped.get());
}

ClassBuilder& ClassBuilder::staticmethod(const FunctionDef& def,
                                         std::initializer_list<Handle> cells) {
    Ref wrapped = Ref::steal(PyStaticMethod_New(function_for(def, cells).get()));
    return attr(def.name, wrapped.get());
}

namespace {

// The check the interpreter makes after a class body that uses __class__.
void check_class_cell(PyObject* cell, PyObject* name, PyObject* cls) {
    if (!PyType_Check(cls)) {
        return;
    }
    PyObject* filled = PyCell_GET(cell);
    if (filled == cls) {
        return;
    }
    if (!filled) {
        PyErr_Format(PyExc_RuntimeError,
                     "__class__ not set defining %.200R as %.200R. Was __classcell__ propagated "
                     "to type.__new__?",
                     name, cls);
    } else {
        PyErr_Format(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R", filled,
                     name, cls);
    }
    throw_error();
}

} // namespace

Ref ClassBuilder::build(Handle bases, Handle kwds) {
    Ref types = import_module("types");
    Ref original = bases ? Ref::borrow(bases) : Ref::steal(PyTuple_New(0));
    Ref resolved = call_method(types, "resolve_bases", original);
    auto [meta, ns, meta_kwds] = unpack<3>(
        call_method(types, "prepare_class", name_, resolved, kwds ? kwds.ptr() : Py_None));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(namespace_.get(), &pos, &key, &value)) {
        check(PyObject_SetItem(ns.get(), key, value));
    }
    if (!resolved.is(original.get())) {
        check(PyObject_SetItem(ns.get(), interned_name("__orig_bases__"), original.get()));
    }
    if (class_cell_) {
        check(PyObject_SetItem(ns.get(), interned_name("__classcell__"), class_cell_.get()));
    }
    Ref args = Ref::steal(PyTuple_Pack(3, name_.get(), resolved.get(), ns.get()));
    Ref cls = call_with(meta.get(), args.get(), meta_kwds.get());
    if (class_cell_) {
        check_class_cell(class_cell_.get(), name_.get(), cls.get());
    }
    return cls;
}

void rename_class(Handle cls, const char* name) {
    Ref text = str(name);
    setattr(cls, "__name__", text.get());
    setattr(cls, "__qualname__", text.get());
}

Ref super_of(const Frame& frame) {
    Ref cls = frame.defining_class();
    PyObject* self = frame.arg(0);
    if (!self) {
        PyErr_SetString(PyExc_RuntimeError, "super(): no arguments");
        throw_error();
    }
    return call((PyObject*)&PySuper_Type, cls, self);
}

namespace {

// name == "__class__"; an interned name is that one object or another.
bool is_class_name(PyObject* name) {
    if (PyUnicode_CHECK_INTERNED(name)) {
        return name == interned_name("__class__");
    }
    return PyUnicode_CompareWithASCIIString(name, "__class__") == 0;
}

// What super_method found last, by the instance's type, the class and the
// name: the attribute, borrowed from the dict of a class in the type's MRO.
// A change to any of those classes (or to the MRO) gives the type a new
// version tag, unique in the interpreter, and the entry no longer matches.
struct SuperFound {
    PyTypeObject* start = nullptr; // compared, never read through
    unsigned int version = 0;
    PyObject* cls = nullptr;
    PyObject* name = nullptr;
    PyObject* found = nullptr;
};

constexpr size_t super_cache_size = 16;
SuperFound super_cache[super_cache_size];

SuperFound& super_entry(PyTypeObject* start, PyObject* name) {
    uintptr_t key = reinterpret_cast<uintptr_t>(start) ^ (reinterpret_cast<uintptr_t>(name) >> 4);
    return super_cache[(key >> 4) % super_cache_size];
}

// The attribute of the first class after cls in start's MRO that has name in
// its dict (a new reference), or null; remembered while start's version stays.
PyObject* find_after(PyTypeObject* start, PyObject* cls, PyObject* name) {
    unsigned int version = start->tp_version_tag;
    SuperFound& entry = super_entry(start, name);
    if (version != 0 && entry.version == version && entry.start == start && entry.cls == cls &&
        entry.name == name) {
        return Py_NewRef(entry.found);
    }
    PyObject* mro = start->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        return nullptr;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(mro);
    Py_ssize_t index = 0;
    while (index < count && PyTuple_GET_ITEM(mro, index) != cls) {
        ++index;
    }
    for (++index; index < count; ++index) {
        // Holds the MRO's classes while their dicts are searched, as the interpreter does.
        Ref base = Ref::borrow(PyTuple_GET_ITEM(mro, index));
        Ref dict = Ref::steal(PyType_GetDict((PyTypeObject*)base.get()));
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(dict.get(), name, &found)) == 0) {
            continue;
        }
        // Only while nothing changed the classes during the search.
        if (version != 0 && start->tp_version_tag == version) {
            entry = {start, version, cls, name, found};
        }
        return found;
    }
    return nullptr;
}

} // namespace

bool super_method(const Frame& frame, PyObject* name, Ref& attr) {
    Ref cls = frame.defining_class();
    PyObject* self = frame.arg(0);
    // Instances only (a class as the first argument takes the general road), and
    // never super's own attribute __class__.
    if (!self || !PyType_Check(cls.get()) || !PyObject_TypeCheck(self, (PyTypeObject*)cls.get()) ||
        is_class_name(name)) {
        return false;
    }
    PyTypeObject* start = Py_TYPE(self);
    PyObject* found = find_after(start, cls.get(), name);
    if (!found) {
        if (PyErr_Occurred()) {
            throw_error();
        }
        return false;
    }
    attr = Ref::steal(found);
    if (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return true; // a function: called with self in front, never bound
    }
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        attr = Ref::steal(get(found, self, (PyObject*)start));
    }
    return false;
}

Ref dataclass(Handle cls) {
    Ref decorator = import_from("dataclasses", "dataclass");
    return call(decorator, cls);
}

} // namespace zelto
