#include "support/call.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zelto {

Ref str(std::string_view text) {
    return to_py(text);
}

namespace {

// Texts made into str once and found again by their address (constant_text):
// an open-addressing table keyed by pointer, as the interned names' table
// below is. The module initialises once per process, so they live as long
// as it does.
class NameTable {
public:
    PyObject* find_or_add(const char* text) {
        size_t mask = slots_.size() - 1;
        for (size_t i = hash(text) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.text == text) {
                return slot.name;
            }
            if (!slot.text) {
                return add(slot, text);
            }
        }
    }

private:
    struct Slot {
        const char* text = nullptr;
        PyObject* name = nullptr;
    };

    static size_t hash(const char* text) { return detail::name_hash(text, 32); }

    PyObject* add(Slot& slot, const char* text) {
        PyObject* name = PyUnicode_InternFromString(text);
        if (!name) {
            throw_error();
        }
        slot = {text, name};
        if (++used_ * 2 > slots_.size()) {
            grow();
        }
        return name;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.text) {
                size_t i = hash(slot.text) & mask;
                while (slots_[i].text) {
                    i = (i + 1) & mask;
                }
                slots_[i] = slot;
            }
        }
    }

    std::vector<Slot> slots_ = std::vector<Slot>(256);
    size_t used_ = 0;
};

NameTable constants;

} // namespace

namespace detail {

namespace {

constinit NameSlot first_name_slots[256] = {};
size_t names_used = 0;

void grow_names() {
    size_t size = (name_index.mask + 1) * 2;
    NameSlot* slots = new NameSlot[size]();
    size_t mask = size - 1;
    size_t shift = name_index.shift - 1;
    for (size_t k = 0; k <= name_index.mask; ++k) {
        const NameSlot& slot = name_index.slots[k];
        if (slot.text) {
            size_t i = name_hash(slot.text, shift);
            while (slots[i].text) {
                i = (i + 1) & mask;
            }
            slots[i] = slot;
        }
    }
    if (name_index.slots != first_name_slots) {
        delete[] name_index.slots;
    }
    name_index = {slots, mask, shift};
}

} // namespace

constinit NameIndex name_index{first_name_slots, 255, 56};

PyObject* find_or_intern(const char* text) {
    size_t mask = name_index.mask;
    for (size_t i = name_hash(text, name_index.shift);; i = (i + 1) & mask) {
        NameSlot& slot = name_index.slots[i];
        if (slot.text == text) {
            return slot.name;
        }
        if (!slot.text) {
            PyObject* name = PyUnicode_InternFromString(text);
            if (!name) {
                throw_error();
            }
            slot = {text, name};
            if (++names_used * 2 > mask + 1) {
                grow_names();
            }
            return name;
        }
    }
}

} // namespace detail

namespace {

// Keyword-name tuples by the addresses of their names, in order: an
// open-addressing table, as for the names themselves.
class KeywordTable {
public:
    PyObject* find_or_add(const char* const* keys, size_t count) {
        size_t mask = slots_.size() - 1;
        for (size_t i = hash(keys, count) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.tuple) {
                return add(slot, keys, count);
            }
            if (slot.keys.size() == count && std::equal(keys, keys + count, slot.keys.begin())) {
                return slot.tuple;
            }
        }
    }

private:
    struct Slot {
        std::vector<const char*> keys;
        PyObject* tuple = nullptr;
    };

    static size_t hash(const char* const* keys, size_t count) {
        uint64_t h = count;
        for (size_t i = 0; i < count; ++i) {
            h = (h ^ reinterpret_cast<uintptr_t>(keys[i])) * 0x9E3779B97F4A7C15ull;
        }
        return size_t(h >> 32);
    }

    PyObject* add(Slot& slot, const char* const* keys, size_t count) {
        PyObject* tuple = PyTuple_New((Py_ssize_t)count);
        if (!tuple) {
            throw_error();
        }
        for (size_t i = 0; i < count; ++i) {
            PyTuple_SET_ITEM(tuple, i, Py_NewRef(detail::find_or_intern(keys[i])));
        }
        slot = {std::vector<const char*>(keys, keys + count), tuple};
        if (++used_ * 2 > slots_.size()) {
            grow();
        }
        return tuple;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (Slot& slot : old) {
            if (slot.tuple) {
                size_t i = hash(slot.keys.data(), slot.keys.size()) & mask;
                while (slots_[i].tuple) {
                    i = (i + 1) & mask;
                }
                slots_[i] = std::move(slot);
            }
        }
    }

    std::vector<Slot> slots_ = std::vector<Slot>(128);
    size_t used_ = 0;
};

KeywordTable keyword_tables;

} // namespace

namespace detail {
Ref keyword_names(const char* const* keys, size_t count) {
    return Ref::borrow(keyword_tables.find_or_add(keys, count));
}
} // namespace detail

Ref constant_text(const char* text) {
    PyObject* made = constants.find_or_add(text);
    const char* held = PyUnicode_AsUTF8(made);
    if (held && std::strcmp(held, text) == 0) {
        return Ref::borrow(made);
    }
    PyErr_Clear();
    return to_py(std::string_view(text));
}

std::string_view utf8(Handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        throw_error();
    }
    return {data, (size_t)size};
}

namespace {

// What a type's MRO holds under a name, remembered between reads by the type,
// its version tag and the address of the name's text. Every change to a class
// in the MRO, or to the MRO itself, gives the type a new version tag, unique
// in the interpreter (the interpreter's own attribute cache relies on the
// same), so an entry whose tag no longer matches is never used; `found` is
// borrowed from the dict of a class in the MRO, which holds it while the tag
// stays. Under free threading nothing is remembered (the table is shared).
struct TypeAttribute {
    PyTypeObject* type = nullptr; // compared, never read through
    unsigned int version = 0;     // never 0 in a filled entry
    const char* text = nullptr;
    PyObject* name = nullptr;  // the interned name
    PyObject* found = nullptr; // null: no class of the MRO has the name
};

constexpr size_t type_attribute_bits = 8;
TypeAttribute type_attributes[size_t(1) << type_attribute_bits];

TypeAttribute& type_attribute_slot(PyTypeObject* type, const char* text) {
    // Fibonacci hashing, as for the names: types are aligned, texts are not.
    uint64_t key = reinterpret_cast<uintptr_t>(type) ^ reinterpret_cast<uintptr_t>(text) << 8;
    return type_attributes[key * 0x9E3779B97F4A7C15ull >> (64 - type_attribute_bits)];
}

// The lookup of name in the MRO, remembered in entry; null when the type has
// no version tag to key it by (the caller takes the general road, which gives
// it one).
[[gnu::noinline]] const TypeAttribute* remember_type_attribute(TypeAttribute& entry,
                                                               PyTypeObject* type, Literal name) {
    unsigned int version = type->tp_version_tag;
    PyObject* name_obj = interned_name(name);
    PyObject* found = _PyType_Lookup(type, name_obj);
    // Only a lookup that the tag held still for: a change during it (a key's
    // __eq__ in a class dict) leaves the tag 0 or another one.
    if (version == 0 || type->tp_version_tag != version) {
        return nullptr;
    }
    entry = {type, version, name.c_str(), name_obj, found};
    return &entry;
}

// The entry for name on a type, found again or filled.
inline const TypeAttribute* type_attribute(PyTypeObject* type, Literal name) {
#ifdef Py_GIL_DISABLED
    (void)type;
    (void)name;
    return nullptr;
#else
    const char* text = name.c_str();
    TypeAttribute& entry = type_attribute_slot(type, text);
    if (entry.type == type && entry.text == text && entry.version == type->tp_version_tag) {
        return &entry;
    }
    return remember_type_attribute(entry, type, name);
#endif
}

bool has_instance_dict(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0;
}

// How a read by the remembered road ended.
enum class Read {
    found,   // result holds the attribute
    missing, // neither the instance nor its classes have it; no error set
    failed,  // an error is set
    general, // the road does not apply: take PyObject_GetAttr's
};

// The instance's __dict__ first, then found (the class's value, or null):
// the rest of read_attribute for a type whose instances have a __dict__.
Read read_instance(PyObject* obj, PyObject* name, PyObject* found, bool optional,
                   PyObject*& result) {
    PyObject** dict_slot = _PyObject_GetDictPtr(obj);
    if (!dict_slot) {
        return Read::general; // an inline __dict__ that could not be made
    }
    PyObject* dict = *dict_slot;
    if (!dict) {
        result = Py_XNewRef(found);
        return found ? Read::found : Read::missing;
    }
    // Both held across the lookup, as the interpreter holds them: a key's
    // __eq__ may replace the __dict__ or change the class meanwhile.
    Py_XINCREF(found);
    Py_INCREF(dict);
    int status = PyDict_GetItemRef(dict, name, &result);
    Py_DECREF(dict);
    if (status == 0 || (status < 0 && optional && PyErr_ExceptionMatches(PyExc_AttributeError))) {
        if (status < 0) {
            PyErr_Clear();
        }
        result = found; // the reference taken above
        return found ? Read::found : Read::missing;
    }
    Py_XDECREF(found);
    return status > 0 ? Read::found : Read::failed;
}

// obj.name as PyObject_GenericGetAttr answers it, for the cases where the
// type's MRO is remembered to hold nothing under the name, or a value that is
// no descriptor at all (no __get__): the instance's __dict__ first, then that
// value. Every other case (a descriptor, __getattr__ or __getattribute__ of
// the class's own, a type without a version tag) takes the general road.
// `optional` is getattr with a default: an AttributeError from the dict's
// lookup (a key's __eq__) is then dropped and the class's value looked at.
Read read_attribute(PyObject* obj, Literal name, bool optional, PyObject*& result) {
    PyTypeObject* type = Py_TYPE(obj);
    // Attributes kept inline in the object (a plain class's instances) are
    // read there by the interpreter; the road below would first make the
    // instance's __dict__, an allocation per object read (and kept with it),
    // for no gain: the dict lookup costs what the inline one does.
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) {
        return Read::general;
    }
    const TypeAttribute* entry = type_attribute(type, name);
    if (!entry) {
        return Read::general;
    }
    PyObject* found = entry->found;
    // Read each time: whether its class has __get__ is no part of this type's version.
    if (found && Py_TYPE(found)->tp_descr_get) {
        return Read::general;
    }
    if (has_instance_dict(type)) {
        return read_instance(obj, entry->name, found, optional, result);
    }
    result = Py_XNewRef(found);
    return found ? Read::found : Read::missing;
}

// The general roads of getattr and getattr_or: the interpreter's own
// AttributeError (name and obj set on it) is made there.
[[gnu::noinline]] Ref getattr_general(Handle obj, Literal name) {
    return Ref::steal(PyObject_GetAttr(obj, interned_name(name)));
}

[[gnu::noinline]] Ref getattr_or_general(Handle obj, Literal name, Handle fallback) {
    PyObject* result = nullptr;
    if (check(PyObject_GetOptionalAttr(obj, interned_name(name), &result)) == 0) {
        return Ref::borrow(fallback);
    }
    return Ref::steal_maybe(result);
}

// An AttributeError raised while obj.name was read (by a key's __eq__ in its
// __dict__) gets name and obj, as PyObject_GetAttr gives them to one that has
// neither yet; then it is thrown.
[[noreturn, gnu::noinline]] void throw_attribute_error_of(PyObject* obj, Literal name) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyObject* raised = PyErr_GetRaisedException();
        Ref error = Ref::steal(raised);
        if (PyErr_GivenExceptionMatches(raised, PyExc_AttributeError) &&
            getattr_general(raised, "name").is_none() && getattr_general(raised, "obj").is_none()) {
            setattr(raised, "name", interned_name(name));
            setattr(raised, "obj", obj);
        }
        PyErr_SetRaisedException(error.release());
    }
    throw_error();
}

} // namespace

namespace detail {

// A module's function (time.monotonic, asyncio.sleep): found in the
// module's dict, where the interpreter's LOAD_ATTR finds it, as long as
// ModuleType itself has nothing under the name; a module's __getattr__ and a
// name ModuleType defines take the general road. Out of line: the road of a
// method found on an instance's class stays as it was.
[[gnu::noinline]] PyObject* call_module_function(Literal name, PyObject* const* args, size_t nargsf,
                                                 PyObject* kwnames) {
    const TypeAttribute* entry = type_attribute(&PyModule_Type, name);
    if (!entry || entry->found) {
        return PyObject_VectorcallMethod(interned_name(name), args, nargsf, kwnames);
    }
    // Read before the lookup: a key's __eq__ may run code that fills the
    // entry's slot for another type and name.
    PyObject* name_obj = entry->name;
    // Held across the lookup, as the interpreter holds it: the same __eq__
    // may replace the module's __dict__ meanwhile.
    Ref dict = Ref::borrow(PyModule_GetDict(args[0]));
    PyObject* function = nullptr;
    int status = dict ? PyDict_GetItemRef(dict.get(), name_obj, &function) : 0;
    if (status < 0) {
        return nullptr;
    }
    if (status == 0) {
        return PyObject_VectorcallMethod(name_obj, args, nargsf, kwnames);
    }
    // Called without the module, whose slot becomes the free one in front.
    Ref held = Ref::steal(function);
    return PyObject_Vectorcall(function, args + 1, nargsf - 1, kwnames);
}

PyObject* vectorcall_method(Literal name, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* obj = args[0];
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyModule_Type) {
        return call_module_function(name, args, nargsf, kwnames);
    }
    const TypeAttribute* entry =
        type->tp_getattro == PyObject_GenericGetAttr ? type_attribute(type, name) : nullptr;
    PyObject* found = entry ? entry->found : nullptr;
    // Read each time: the flag belongs to the class of what was found.
    if (!found || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return PyObject_VectorcallMethod(interned_name(name), args, nargsf, kwnames);
    }
    PyObject* name_obj = entry->name;
    // Held across the dict lookup and the call, as the interpreter holds it.
    Ref method = Ref::borrow(found);
    if (has_instance_dict(type)) {
        PyObject** dict_slot = _PyObject_GetDictPtr(obj);
        if (!dict_slot) {
            return PyObject_VectorcallMethod(name_obj, args, nargsf, kwnames);
        }
        // An empty __dict__ holds no name: nothing to look up (no key's
        // __eq__ can run either, so nothing is skipped that could be seen).
        PyObject* dict = *dict_slot;
        if (dict && !(PyDict_Check(dict) && PyDict_GET_SIZE(dict) == 0)) {
            PyObject* own = nullptr;
            Py_INCREF(dict);
            int status = PyDict_GetItemRef(dict, name_obj, &own);
            Py_DECREF(dict);
            if (status < 0) {
                return nullptr;
            }
            if (status > 0) {
                // The instance's own attribute, called without the object
                // (whose slot becomes the free one in front).
                Ref bound = Ref::steal(own);
                return PyObject_Vectorcall(own, args + 1, nargsf - 1, kwnames);
            }
        }
    }
    // As PyObject_VectorcallMethod calls a method it found: the slot in front
    // of the object is not offered to the callee. A Python function through
    // its own vectorcall, as vectorcall() below calls one.
    size_t nargs = nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (PyFunction_Check(found)) {
        if (vectorcallfunc function = reinterpret_cast<PyFunctionObject*>(found)->vectorcall) {
            return function(found, args, nargs, kwnames);
        }
    }
    return PyObject_Vectorcall(found, args, nargs, kwnames);
}

} // namespace detail

Ref getattr(Handle obj, Literal name) {
    PyObject* result = nullptr;
    switch (read_attribute(obj, name, false, result)) {
    case Read::found:
        return Ref::steal_maybe(result);
    case Read::failed:
        throw_attribute_error_of(obj, name);
    case Read::missing:
    case Read::general:
        break;
    }
    return getattr_general(obj, name);
}

Ref getattr(Handle obj, Handle name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

Ref getattr_or(Handle obj, Literal name, Handle fallback) {
    PyObject* result = nullptr;
    switch (read_attribute(obj, name, true, result)) {
    case Read::found:
        return Ref::steal_maybe(result);
    case Read::missing:
        return Ref::borrow(fallback);
    case Read::failed:
        throw_error();
    case Read::general:
        break;
    }
    return getattr_or_general(obj, name, fallback);
}

void setattr(Handle obj, Literal name, Handle value) {
    check(PyObject_SetAttr(obj, interned_name(name), value));
}

Ref lookup_special(Handle obj, Literal name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj), interned_name(name));
    if (!found) {
        return Ref();
    }
    Ref attr = Ref::borrow(found);
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        return Ref::steal(get(attr.get(), obj, (PyObject*)Py_TYPE(obj)));
    }
    return attr;
}

void delattr_if_present(Handle obj, Literal name) {
    if (PyObject_DelAttr(obj, interned_name(name)) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_error();
        }
        PyErr_Clear();
    }
}

Ref vectorcall(Handle callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    // A Python function is called through its own vectorcall, as the eval loop
    // calls one: it always returns a result or sets an error, never both, so
    // the consistency check of PyObject_Vectorcall (and the thread-state read
    // that comes with it) has nothing to catch.
    if (PyFunction_Check(callable.ptr())) {
        if (vectorcallfunc function =
                reinterpret_cast<PyFunctionObject*>(callable.ptr())->vectorcall) {
            return Ref::steal(function(callable, args, nargs, kwnames));
        }
    }
    return Ref::steal(PyObject_Vectorcall(callable, args, nargs, kwnames));
}

Ref call_with(Handle callable, Handle args, Handle kwargs) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

namespace {

// True while builtins.__import__ is still the interpreter's own function;
// then imports may go straight to the import machinery, as the eval loop does.
bool import_hook_untouched(PyObject* hook) {
    if (!PyCFunction_Check(hook)) {
        return false;
    }
    PyObject* self = PyCFunction_GetSelf(hook);
    if (!self || !PyModule_Check(self)) {
        return false;
    }
    const char* module_name = PyModule_GetName(self);
    if (!module_name) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(module_name) == "builtins" &&
           std::string_view(((PyCFunctionObject*)hook)->m_ml->ml_name) == "__import__";
}

// __import__(name, None, None, fromlist, 0), as an import statement runs it:
// through builtins.__import__, so that hooks installed there still apply.
Ref import_statement(PyObject* module_name, PyObject* fromlist) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* import_func = nullptr;
    if (check(PyDict_GetItemRef(builtins, interned_name("__import__"), &import_func)) == 0) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    Ref hook = Ref::steal(import_func);
    // The interpreter's own hook, once recognised, is known again by identity
    // (held, so that its address cannot come to name another object).
    static PyObject* known_untouched = nullptr;
    if (hook.is(known_untouched) || (!known_untouched && import_hook_untouched(hook.get()) &&
                                     (known_untouched = hook.new_ref()))) {
        return Ref::steal(
            PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, fromlist, 0));
    }
    return call(hook.get(), module_name, Py_None, Py_None, fromlist ? fromlist : Py_None, 0);
}

[[noreturn]] void raise_cannot_import(PyObject* module, PyObject* module_name, PyObject* name) {
    Ref path = getattr_or(module, "__file__", Py_None);
    Ref message;
    if (path.is_none()) {
        message = Ref::steal(PyUnicode_FromFormat(
            "cannot import name %R from %R (unknown location)", name, module_name));
    } else {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                  module_name, path.get()));
    }
    PyErr_SetImportError(message.get(), module_name, path.get());
    throw_error();
}

} // namespace

Ref import_module(Literal name) {
    Ref module_name = interned(name);
    Ref top = import_statement(module_name.get(), nullptr);
    if (std::string_view(name.c_str()).find('.') == std::string_view::npos) {
        return top;
    }
    // `import a.b` binds a; the caller wants a.b itself.
    return Ref::steal(PyImport_GetModule(module_name.get()));
}

namespace {

// The one-name fromlist tuple of `from m import name`, made once per name (the
// constant a compiled import statement carries), found again by the text's address.
PyObject* fromlist_of(Literal name) {
    static std::vector<std::pair<const char*, PyObject*>> made;
    for (const auto& [text, tuple] : made) {
        if (text == name.c_str()) {
            return tuple;
        }
    }
    PyObject* tuple = PyTuple_Pack(1, interned_name(name));
    if (!tuple) {
        throw_error();
    }
    made.emplace_back(name.c_str(), tuple);
    return tuple;
}

} // namespace

Ref import_from(Literal module, Literal name) {
    Ref module_name = interned(module);
    Ref attr_name = interned(name);
    Ref mod = import_statement(module_name.get(), fromlist_of(name));
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttr(mod.get(), attr_name.get(), &value)) == 1) {
        return Ref::steal(value);
    }
    // A submodule that is imported but not yet bound on its package.
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), attr_name.get()));
    PyObject* sub = nullptr;
    if (check(PyDict_GetItemRef(PyImport_GetModuleDict(), full_name.get(), &sub)) == 1) {
        return Ref::steal(sub);
    }
    raise_cannot_import(mod.get(), module_name.get(), attr_name.get());
}

Ref global(Handle globals, Handle name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(globals, name, &value)) == 1) {
        return Ref::steal(value);
    }
    if (check(PyDict_GetItemRef(PyEval_GetBuiltins(), name, &value)) == 1) {
        return Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_error();
}

Ref global(Handle globals, Literal name) {
    return global(globals, interned_name(name));
}

Ref get_item(Handle mapping, Literal key, Handle fallback) {
    PyObject* key_obj = interned_name(key);
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(mapping, key_obj, &value)) == 1) {
            return Ref::steal(value);
        }
        return Ref::borrow(fallback);
    }
    return call_method(mapping, "get", key_obj, fallback);
}

Ref subscript(Handle obj, Literal key) {
    return Ref::steal(PyObject_GetItem(obj, interned_name(key)));
}

void unpack_into(Handle iterable, Ref* out, size_t count) {
    PyObject* raw_iter = PyObject_GetIter(iterable);
    if (!raw_iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(iterable)->tp_iter &&
            !PySequence_Check(iterable)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(iterable)->tp_name);
        }
        throw_error();
    }
    Ref iter = Ref::steal(raw_iter);
    for (size_t i = 0; i < count; ++i) {
        PyObject* item = PyIter_Next(iter.get());
        if (!item) {
            if (PyErr_Occurred()) {
                throw_error();
            }
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                         count, i);
            throw_error();
        }
        out[i] = Ref::steal(item);
    }
    if (Ref extra = Ref::steal_maybe(PyIter_Next(iter.get()))) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
        throw_error();
    }
    if (PyErr_Occurred()) {
        throw_error();
    }
}

Ref tuple_of(std::initializer_list<Handle> items) {
    Ref tuple = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t index = 0;
    for (Handle item : items) {
        PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(item.ptr()));
    }
    return tuple;
}

Ref py_str(Handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) {
        return Ref::borrow(obj); // what str() gives back, without its call
    }
    return Ref::steal(PyObject_Str(obj));
}

Ref py_format(Handle obj) {
    return Ref::steal(PyObject_Format(obj, nullptr));
}

Ref concat(std::initializer_list<Handle> parts) {
    Ref list = Ref::steal(PyList_New(0));
    for (Handle part : parts) {
        check(PyList_Append(list.get(), part));
    }
    Ref empty = str("");
    return Ref::steal(PyUnicode_Join(empty.get(), list.get()));
}

Ref join_str(PyObject* const* parts, size_t count) {
    Ref list = Ref::steal(PyList_New((Py_ssize_t)count));
    for (size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), (Py_ssize_t)i, Py_NewRef(parts[i]));
    }
    Ref empty = interned("");
    return Ref::steal(PyUnicode_Join(empty.get(), list.get()));
}

bool equals(Handle obj, std::string_view text) {
    Ref other = str(text);
    return compare(obj, other.get(), Py_EQ);
}

bool compare(Handle a, Handle b, int op) {
    return check(PyObject_RichCompareBool(a, b, op)) != 0;
}

} // namespace zelto
