#include "support/function.hpp"

#include "support/coroutine.hpp"
#include "support/errors.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace zelto {

namespace {

// The parameter layout of a def, counted the way a code object counts it.
struct Layout {
    size_t posonly = 0;  // positional-only parameters
    size_t argcount = 0; // positional parameters (positional-only included)
    size_t kwonly = 0;   // keyword-only parameters
    size_t defcount = 0; // positional parameters with a default
    long varargs = -1;   // index of *args, or -1
    long varkw = -1;     // index of **kwargs, or -1
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* closure;    // tuple of cells, or NULL
    PyObject* class_cell; // the `__class__` cell (also the closure's last item), or NULL
    PyObject* defaults;   // tuple parallel to the parameters; None where there is none
    Layout layout;        // counted once, when the function is made
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(Handle obj) {
    return reinterpret_cast<FunctionObject*>(obj.ptr());
}

const Param& param_at(const FunctionDef& def, size_t index) {
    return def.params.begin()[index];
}

Layout layout_of(const FunctionDef& def) {
    Layout layout;
    size_t index = 0;
    for (const Param& param : def.params) {
        switch (param.kind) {
        case Kind::positional_only:
            ++layout.posonly;
            [[fallthrough]];
        case Kind::positional_or_keyword:
            ++layout.argcount;
            if (param.fallback.type != Default::Type::missing) {
                ++layout.defcount;
            }
            break;
        case Kind::keyword_only:
            ++layout.kwonly;
            break;
        case Kind::var_positional:
            layout.varargs = (long)index;
            break;
        case Kind::var_keyword:
            layout.varkw = (long)index;
            break;
        }
        ++index;
    }
    return layout;
}

Ref make_default(const Default& fallback) {
    switch (fallback.type) {
    case Default::Type::missing:
    case Default::Type::none:
        return none();
    case Default::Type::text:
        return str(fallback.text);
    case Default::Type::real:
        return to_py(fallback.real);
    case Default::Type::integer:
        return to_py(fallback.integer);
    case Default::Type::boolean:
        return py_bool(fallback.integer != 0);
    }
    return none();
}

// ---- the interpreter's argument errors ---------------------------------------

std::string plural(size_t count, const char* word) {
    return std::string(word) + (count == 1 ? "" : "s");
}

[[noreturn]] void type_error(PyObject* qualname, const std::string& text) {
    PyErr_Format(PyExc_TypeError, "%U()%s", qualname, text.c_str());
    throw_error();
}

void too_many_positional(FunctionObject* fn, const Layout& layout, size_t given,
                         size_t kwonly_given) {
    std::string sig;
    bool many;
    if (layout.defcount) {
        sig = "from " + std::to_string(layout.argcount - layout.defcount) + " to " +
              std::to_string(layout.argcount);
        many = true;
    } else {
        sig = std::to_string(layout.argcount);
        many = layout.argcount != 1;
    }
    std::string kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = " " + plural(given, "positional argument") + " (and " +
                     std::to_string(kwonly_given) + " " +
                     plural(kwonly_given, "keyword-only argument") + ")";
    }
    type_error(fn->qualname, " takes " + sig +
                                 (many ? " positional arguments" : " positional argument") +
                                 " but " + std::to_string(given) + kwonly_sig +
                                 (given == 1 && !kwonly_given ? " was" : " were") + " given");
}

void missing_arguments(FunctionObject* fn, const std::vector<std::string>& names, bool positional) {
    std::string joined;
    size_t count = names.size();
    if (count == 1) {
        joined = names[0];
    } else if (count == 2) {
        joined = names[0] + " and " + names[1];
    } else {
        for (size_t i = 0; i + 2 < count; ++i) {
            joined += names[i] + ", ";
        }
        joined += names[count - 2] + ", and " + names[count - 1];
    }
    type_error(fn->qualname, " missing " + std::to_string(count) + " required " +
                                 (positional ? "positional" : "keyword-only") + " " +
                                 plural(count, "argument") + ": " + joined);
}

std::string quoted(const char* name) {
    return std::string("'") + name + "'";
}

// The interpreter's "Did you mean" suggestion for a mistyped keyword: the
// closest candidate by a case-aware edit distance, if close enough.
constexpr size_t move_cost = 2;
constexpr size_t case_cost = 1;
constexpr size_t max_suggest_len = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) {
        return move_cost;
    }
    if (a == b) {
        return 0;
    }
    auto lower = [](char c) { return ('A' <= c && c <= 'Z') ? char(c + ('a' - 'A')) : c; };
    return lower(a) == lower(b) ? case_cost : move_cost;
}

size_t edit_distance(std::string_view a, std::string_view b, size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) {
        return (a.size() + b.size()) * move_cost;
    }
    if (a.size() > max_suggest_len || b.size() > max_suggest_len) {
        return max_cost + 1;
    }
    if (b.size() < a.size()) {
        std::swap(a, b);
    }
    if ((b.size() - a.size()) * move_cost > max_cost) {
        return max_cost + 1;
    }
    size_t buffer[max_suggest_len];
    size_t tmp = move_cost;
    for (size_t i = 0; i < a.size(); ++i) {
        buffer[i] = tmp;
        tmp += move_cost;
    }
    size_t result = 0;
    for (size_t b_index = 0; b_index < b.size(); ++b_index) {
        char code = b[b_index];
        size_t distance = result = b_index * move_cost;
        size_t minimum = SIZE_MAX;
        for (size_t index = 0; index < a.size(); ++index) {
            size_t substitute = distance + substitution_cost(code, a[index]);
            distance = buffer[index];
            size_t insert_delete = std::min(result, distance) + move_cost;
            result = std::min(insert_delete, substitute);
            buffer[index] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

const char* suggest_keyword(const FunctionDef& def, std::string_view wrong) {
    const char* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (const Param& param : def.params) {
        if (param.kind == Kind::positional_only || param.kind == Kind::var_positional ||
            param.kind == Kind::var_keyword) {
            continue;
        }
        std::string_view candidate(param.name);
        if (candidate == wrong) {
            continue;
        }
        size_t max_distance = (wrong.size() + candidate.size() + 3) * move_cost / 6;
        if (best_distance != SIZE_MAX) {
            max_distance = std::min(max_distance, best_distance - 1);
        }
        size_t distance = edit_distance(wrong, candidate, max_distance);
        if (distance > max_distance) {
            continue;
        }
        if (!best || distance < best_distance) {
            best = param.name;
            best_distance = distance;
        }
    }
    return best;
}

[[noreturn]] void unexpected_keyword(FunctionObject* fn, PyObject* keyword) {
    Ref text = py_str(keyword);
    const char* suggestion = nullptr;
    if (PyUnicode_Check(keyword)) {
        suggestion = suggest_keyword(*fn->def, utf8(keyword));
    }
    if (suggestion) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%U'. Did you mean '%s'?",
                     fn->qualname, text.get(), suggestion);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", fn->qualname,
                     text.get());
    }
    throw_error();
}

// ---- binding arguments to parameters -----------------------------------------

long find_keyword(const FunctionDef& def, PyObject* keyword, size_t from) {
    size_t count = def.params.size();
    for (size_t i = from; i < count; ++i) {
        const Param& param = param_at(def, i);
        if (param.kind == Kind::var_positional || param.kind == Kind::var_keyword) {
            continue;
        }
        if (PyUnicode_CompareWithASCIIString(keyword, param.name) == 0) {
            return (long)i;
        }
    }
    return -1;
}

// Raises when any positional-only parameter (in parameter order) was passed
// by keyword.
void positional_only_as_keyword(FunctionObject* fn, const Layout& layout, PyObject* kwnames) {
    std::string joined;
    for (size_t i = 0; i < layout.posonly; ++i) {
        const char* name = param_at(*fn->def, i).name;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), name) == 0) {
                if (!joined.empty()) {
                    joined += ", ";
                }
                joined += name;
                break;
            }
        }
    }
    if (!joined.empty()) {
        type_error(fn->qualname,
                   " got some positional-only arguments passed as keyword arguments: '" + joined +
                       "'");
    }
}

} // namespace

struct FunctionAccess {
    static void bind(FunctionObject* fn, Frame& frame, PyObject* const* args, size_t nargs,
                     PyObject* kwnames) {
        const FunctionDef& def = *fn->def;
        const Layout& layout = fn->layout;
        frame.function_ = Ref::borrow((PyObject*)fn);
        // Every parameter given by position and nothing else to place (the
        // common call): the arguments are the frame.
        if (!kwnames && nargs == def.params.size() && nargs == layout.argcount) {
            // A call that runs straight through borrows them from its
            // caller, who holds them for the call; a coroutine keeps its own.
            if (def.coroutine) {
                frame.args_.fill(args, nargs);
            } else {
                frame.args_.fill_borrowed(args, nargs);
            }
            return;
        }
        frame.args_.open(def.params.size());

        size_t npositional = std::min(nargs, layout.argcount);
        for (size_t i = 0; i < npositional; ++i) {
            frame.args_.put(i, args[i]);
        }
        if (layout.varargs >= 0) {
            Ref extra = Ref::steal(PyTuple_New((Py_ssize_t)(nargs - npositional)));
            for (size_t i = npositional; i < nargs; ++i) {
                PyTuple_SET_ITEM(extra.get(), i - npositional, Py_NewRef(args[i]));
            }
            frame.args_.put((size_t)layout.varargs, extra.get());
        }
        PyObject* varkw = nullptr;
        if (layout.varkw >= 0) {
            frame.args_.put((size_t)layout.varkw, Ref::steal(PyDict_New()).get());
            varkw = frame.args_[(size_t)layout.varkw];
        }

        size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0;
        for (size_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(keyword)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                throw_error();
            }
            long index = find_keyword(def, keyword, layout.posonly);
            if (index < 0) {
                if (varkw) {
                    check(PyDict_SetItem(varkw, keyword, value));
                    continue;
                }
                // As the interpreter does at the first keyword it cannot place:
                // positional-only parameters passed by keyword anywhere in the
                // call are reported first.
                positional_only_as_keyword(fn, layout, kwnames);
                unexpected_keyword(fn, keyword);
            }
            if (frame.args_[index]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                             fn->qualname, keyword);
                throw_error();
            }
            frame.args_.put(index, value);
        }

        if (nargs > layout.argcount && layout.varargs < 0) {
            size_t kwonly_given = 0;
            for (size_t i = 0; i < def.params.size(); ++i) {
                if (param_at(def, i).kind == Kind::keyword_only && frame.args_[i]) {
                    ++kwonly_given;
                }
            }
            too_many_positional(fn, layout, nargs, kwonly_given);
        }

        fill_positional_defaults(fn, frame, layout, nargs);
        fill_keyword_defaults(fn, frame);
    }

    static void fill_positional_defaults(FunctionObject* fn, Frame& frame, const Layout& layout,
                                         size_t nargs) {
        const FunctionDef& def = *fn->def;
        if (nargs < layout.argcount) {
            std::vector<std::string> missing;
            size_t required = layout.argcount - layout.defcount;
            for (size_t i = nargs; i < required; ++i) {
                if (!frame.args_[i]) {
                    missing.push_back(quoted(param_at(def, i).name));
                }
            }
            if (!missing.empty()) {
                missing_arguments(fn, missing, true);
            }
        }
        for (size_t i = 0; i < layout.argcount; ++i) {
            if (!frame.args_[i]) {
                frame.args_.put(i, PyTuple_GET_ITEM(fn->defaults, i));
            }
        }
    }

    static void fill_keyword_defaults(FunctionObject* fn, Frame& frame) {
        if (!fn->layout.kwonly) {
            return;
        }
        const FunctionDef& def = *fn->def;
        std::vector<std::string> missing;
        for (size_t i = 0; i < def.params.size(); ++i) {
            const Param& param = param_at(def, i);
            if (param.kind != Kind::keyword_only || frame.args_[i]) {
                continue;
            }
            if (param.fallback.type == Default::Type::missing) {
                missing.push_back(quoted(param.name));
            } else {
                frame.args_.put(i, PyTuple_GET_ITEM(fn->defaults, i));
            }
        }
        if (!missing.empty()) {
            missing_arguments(fn, missing, false);
        }
    }

    static Frame bound(FunctionObject* fn, PyObject* const* args, size_t nargs, PyObject* kwnames) {
        Frame frame;
        if (!kwnames && nargs == fn->def->params.size() && nargs == fn->layout.argcount) {
            frame.function_ = Ref::borrow((PyObject*)fn);
            frame.args_.fill(args, nargs); // a coroutine keeps its own references
        } else {
            bind(fn, frame, args, nargs, kwnames);
        }
        return frame;
    }

    static Ref run(FunctionObject* fn, Frame& frame) {
        const FunctionDef& def = *fn->def;
        if (def.coroutine) {
            return make_coroutine(def.coroutine(std::move(frame)).owning_frame(), fn->name,
                                  fn->qualname);
        }
        return def.impl(frame);
    }

    static void set_direct(FunctionObject* fn, Frame& frame, std::initializer_list<Handle> args) {
        frame.function_ = Ref::borrow((PyObject*)fn);
        size_t count = fn->def->params.size();
        std::array<PyObject*, max_params> values;
        size_t i = 0;
        for (Handle arg : args) {
            values[i++] = arg;
        }
        if (i == count) {
            frame.args_.fill_borrowed(values.data(), count);
            return;
        }
        // Defaults are owned: __defaults__ may be replaced during the call.
        for (; i < count; ++i) {
            values[i] = PyTuple_GET_ITEM(fn->defaults, i);
        }
        frame.args_.fill(values.data(), count);
    }
};

namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return boundary([&] {
        FunctionObject* fn = as_function(self);
        size_t nargs = PyVectorcall_NARGS(nargsf);
        if (fn->def->coroutine) {
            // The bound frame is made where the coroutine takes it from:
            // one move fewer than binding a local and moving that.
            return make_coroutine(
                fn->def->coroutine(FunctionAccess::bound(fn, args, nargs, kwnames)).owning_frame(),
                fn->name, fn->qualname);
        }
        ArgSlots::Room room;
        Frame frame(room);
        FunctionAccess::bind(fn, frame, args, nargs, kwnames);
        return fn->def->impl(frame);
    });
}

// ---- attributes ----------------------------------------------------------------

Ref build_annotations(const FunctionDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    for (const Param& param : def.params) {
        if (param.annotation) {
            check(PyDict_SetItemString(annotations.get(), param.name, str(param.annotation).get()));
        }
    }
    if (def.returns) {
        check(PyDict_SetItemString(annotations.get(), "return", str(def.returns).get()));
    }
    return annotations;
}

PyObject* get_annotations(PyObject* self, void*) {
    return boundary([&] {
        FunctionObject* fn = as_function(self);
        if (!fn->annotations) {
            fn->annotations = build_annotations(*fn->def).release();
        }
        return Ref::borrow(fn->annotations);
    });
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject* fn = as_function(self);
    Py_XSETREF(fn->annotations, (value && value != Py_None) ? Py_NewRef(value) : nullptr);
    return 0;
}

Literal kind_name(Kind kind) {
    switch (kind) {
    case Kind::positional_only:
        return "POSITIONAL_ONLY";
    case Kind::positional_or_keyword:
        return "POSITIONAL_OR_KEYWORD";
    case Kind::var_positional:
        return "VAR_POSITIONAL";
    case Kind::keyword_only:
        return "KEYWORD_ONLY";
    case Kind::var_keyword:
        return "VAR_KEYWORD";
    }
    return "POSITIONAL_OR_KEYWORD";
}

PyObject* get_signature(PyObject* self, void*) {
    return boundary([&] {
        FunctionObject* fn = as_function(self);
        const FunctionDef& def = *fn->def;
        Ref inspect = import_module("inspect");
        Ref parameter_cls = getattr(inspect, "Parameter");
        Ref empty = getattr(parameter_cls, "empty");
        Ref params = Ref::steal(PyList_New(0));
        size_t index = 0;
        for (const Param& param : def.params) {
            Ref kind = getattr(parameter_cls, kind_name(param.kind));
            Ref fallback = param.fallback.type == Default::Type::missing
                               ? empty
                               : Ref::borrow(PyTuple_GET_ITEM(fn->defaults, index));
            Ref annotation = param.annotation ? str(param.annotation) : empty;
            Ref parameter = call(parameter_cls, param.name, kind, kw("default", fallback),
                                 kw("annotation", annotation));
            check(PyList_Append(params.get(), parameter.get()));
            ++index;
        }
        Ref returns =
            def.returns ? str(def.returns) : getattr(getattr(inspect, "Signature"), "empty");
        return call_method(inspect, "Signature", params, kw("return_annotation", returns));
    });
}

PyObject* get_closure(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    return Py_NewRef(fn->closure ? fn->closure : Py_None);
}

// The garbage collector may have cleared these slots (tp_clear) while the
// function is still reachable from another object's finalizer: answer None,
// as the interpreter's functions do for a missing value.
PyObject* new_ref_or_none(PyObject* value) {
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_globals(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->globals);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->name);
}

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->module);
}

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

// asyncio.iscoroutinefunction() and inspect.iscoroutinefunction() look for
// these markers; they are looked up only when asked for, so a plain function
// never imports asyncio.
PyObject* coroutine_marker(PyObject* self, Literal module, Literal name, const char* attribute) {
    if (!as_function(self)->def->coroutine) {
        PyErr_Format(PyExc_AttributeError, "'function' object has no attribute '%s'", attribute);
        return nullptr;
    }
    return boundary([&] { return getattr(import_module(module), name); });
}

PyObject* get_is_coroutine(PyObject* self, void*) {
    return coroutine_marker(self, "asyncio.coroutines", "_is_coroutine", "_is_coroutine");
}

PyObject* get_is_coroutine_marker(PyObject* self, void*) {
    return coroutine_marker(self, "inspect", "_is_coroutine_mark", "_is_coroutine_marker");
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_is_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Stored in a class, the function binds to instances like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->closure);
    Py_VISIT(fn->class_cell);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->closure);
    Py_CLEAR(fn->class_cell);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* fn = as_function(self);
    if (fn->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->defaults);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void*)function_dealloc},
    {Py_tp_traverse, (void*)function_traverse},
    {Py_tp_clear, (void*)function_clear},
    {Py_tp_repr, (void*)function_repr},
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_descr_get, (void*)function_descr_get},
    {Py_tp_getset, (void*)function_getset},
    {Py_tp_members, (void*)function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "zelto_cloud.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

} // namespace

// ---- public ------------------------------------------------------------------------

PyObject* Name::get() {
    if (!object_) {
        object_ = PyUnicode_InternFromString(text_);
        if (!object_) {
            throw_error();
        }
    }
    return object_;
}

PyObject* Frame::globals() const {
    PyObject* globals = as_function(function_.get())->globals;
    if (!globals) {
        PyErr_SetString(PyExc_SystemError, "function globals were cleared");
        throw_error();
    }
    return globals;
}

namespace {

// A dict's version: every change of its contents gives it a new one, unique
// in the interpreter (so a new dict at a freed one's address has another).
// Deprecated as a public field, it is still kept up in 3.13; module globals
// are read through it as the interpreter's own global lookups are cached.
// The diagnostic macros are not statements: kept one to a line.
// clang-format off
uint64_t dict_version(PyObject* dict) {
    _Py_COMP_DIAG_PUSH
    _Py_COMP_DIAG_IGNORE_DEPR_DECLS
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    _Py_COMP_DIAG_POP
}
// clang-format on

} // namespace

Ref Frame::global(Name& name) const {
    PyObject* globals = this->globals();
    uint64_t version = dict_version(globals);
    if (name.globals_ == globals && name.version_ == version) {
        return Ref::borrow(name.value_);
    }
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(globals, name.get(), &value)) == 0) {
        return zelto::global(globals, name.get()); // builtins, or the NameError
    }
    // A key's __eq__ may have changed the dict while it was searched.
    if (dict_version(globals) == version) {
        name.globals_ = globals;
        name.version_ = version;
        name.value_ = value;
    }
    return Ref::steal(value);
}

Ref Frame::global(Literal name) const {
    return zelto::global(globals(), name);
}

Ref Frame::cell(size_t index) const {
    FunctionObject* fn = as_function(function_.get());
    size_t own = fn->closure ? (size_t)PyTuple_GET_SIZE(fn->closure) - (fn->class_cell ? 1 : 0) : 0;
    if (index >= own) {
        PyErr_Format(PyExc_SystemError, "%U: no closure cell %zu", fn->qualname, index);
        throw_error();
    }
    PyObject* cell = PyTuple_GET_ITEM(fn->closure, index);
    PyObject* value = PyCell_Get(cell);
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError,
                     "cannot access free variable in enclosing scope (cell %zu of %U is empty)",
                     index, fn->qualname);
    }
    return Ref::steal(value);
}

Ref Frame::defining_class() const {
    PyObject* cell = as_function(function_.get())->class_cell;
    if (!cell) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        throw_error();
    }
    Ref cls = Ref::steal_maybe(PyCell_Get(cell));
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw_error();
    }
    return cls;
}

PyObject* Frame::varargs() const {
    long index = as_function(function_)->layout.varargs;
    return index < 0 ? nullptr : args_[(size_t)index];
}

PyObject* Frame::varkw() const {
    long index = as_function(function_)->layout.varkw;
    return index < 0 ? nullptr : args_[(size_t)index];
}

PyObject* Frame::hold(Ref value) {
    if (!held_) {
        held_ = Ref::steal(PyList_New(0));
    }
    check(PyList_Append(held_.get(), value.get()));
    return value.get();
}

int Frame::traverse(visitproc visit, void* arg) const {
    Py_VISIT(function_.get());
    for (size_t i = 0; i < args_.count(); ++i) {
        Py_VISIT(args_[i]);
    }
    Py_VISIT(held_.get());
    return 0;
}

void init_function_type(PyObject* module) {
    if (!function_type) {
        function_type =
            (PyTypeObject*)PyType_FromModuleAndSpec(module, &function_type_spec, nullptr);
        if (!function_type) {
            throw_error();
        }
    }
}

Ref make_function(const FunctionDef& def, Handle globals, const char* qualname,
                  std::initializer_list<Handle> cells, PyObject* class_cell) {
    if (def.params.size() > max_params) {
        PyErr_Format(PyExc_SystemError, "%s: too many parameters", def.name);
        throw_error();
    }
    Ref defaults = Ref::steal(PyTuple_New((Py_ssize_t)def.params.size()));
    size_t index = 0;
    for (const Param& param : def.params) {
        PyTuple_SET_ITEM(defaults.get(), index++, make_default(param.fallback).release());
    }
    Ref closure;
    size_t ncells = cells.size() + (class_cell ? 1 : 0);
    if (ncells) {
        closure = Ref::steal(PyTuple_New((Py_ssize_t)ncells));
        index = 0;
        for (Handle value : cells) {
            PyTuple_SET_ITEM(closure.get(), index++, Ref::steal(PyCell_New(value)).release());
        }
        if (class_cell) {
            PyTuple_SET_ITEM(closure.get(), index, Py_NewRef(class_cell));
        }
    }
    Ref module;
    PyObject* module_name = nullptr;
    check(PyDict_GetItemRef(globals, interned_name("__name__"), &module_name));
    module = module_name ? Ref::steal(module_name) : none();
    Ref name = str(def.name);
    Ref qual = qualname ? str(qualname) : name;
    Ref doc = def.doc ? str(def.doc) : none();

    FunctionObject* fn = PyObject_GC_New(FunctionObject, function_type);
    if (!fn) {
        throw_error();
    }
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    fn->name = name.release();
    fn->qualname = qual.release();
    fn->module = module.release();
    fn->doc = doc.release();
    fn->globals = Py_NewRef(globals);
    fn->closure = closure.release();
    fn->class_cell = Py_XNewRef(class_cell);
    fn->defaults = defaults.release();
    fn->layout = layout_of(def);
    fn->annotations = nullptr;
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track((PyObject*)fn);
    return Ref::steal((PyObject*)fn);
}

Ref add_function(Handle module, const FunctionDef& def) {
    Ref fn = make_function(def, PyModule_GetDict(module));
    check(PyModule_AddObjectRef(module, def.name, fn.get()));
    return fn;
}

void add(Handle module, Literal name, Handle value) {
    check(PyModule_AddObjectRef(module, name.c_str(), value));
}

bool is_function_of(Handle obj, const FunctionDef& def) {
    return Py_IS_TYPE(obj, function_type) && as_function(obj)->def == &def;
}

Ref call_direct(Handle function, std::initializer_list<Handle> args) {
    FunctionObject* fn = as_function(function);
    ArgSlots::Room room;
    Frame frame(room);
    FunctionAccess::set_direct(fn, frame, args);
    return FunctionAccess::run(fn, frame);
}

void bind_direct(Handle function, Frame& frame, std::initializer_list<Handle> args) {
    FunctionAccess::set_direct(as_function(function), frame, args);
}

Task call_direct_task(Handle function, std::initializer_list<Handle> args) {
    FunctionObject* fn = as_function(function);
    Frame frame;
    FunctionAccess::set_direct(fn, frame, args);
    return fn->def->coroutine(std::move(frame)).owning_frame();
}

Ref call_own_or_replaced(Handle function, const FunctionDef& def,
                         std::initializer_list<Handle> args) {
    if (is_function_of(function, def)) {
        return call_direct(function, args);
    }
    Ref tuple = Ref::steal(PyTuple_New((Py_ssize_t)args.size()));
    Py_ssize_t index = 0;
    for (Handle arg : args) {
        PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(arg.ptr()));
    }
    return call_with(function, tuple.get(), nullptr);
}

} // namespace zelto
