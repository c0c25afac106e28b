// Classes built at import as a `class` statement builds them (bases resolved,
// metaclass and __prepare__ chosen by types.prepare_class, the `__class__`
// cell filled), native methods that call the base class's methods the way
// zero-argument super() does, and the standard library's dataclass decorator.
#pragma once

#include "support/function.hpp"

namespace zelto {

// A class namespace under construction, in definition order.
class ClassBuilder {
public:
    ClassBuilder(Handle module, const char* name, const char* qualname = nullptr);
    // A class statement run inside a native function: the class and its
    // methods belong to the module whose globals the function runs in.
    ClassBuilder(const Frame& frame, const char* name, const char* qualname = nullptr);

    ClassBuilder& doc(const char* text);
    // A field annotation, stored as a string.
    ClassBuilder& annotate(const char* field, const char* annotation);
    ClassBuilder& attr(const char* name, Handle value);
    // A method: a native function bound through the descriptor protocol; its
    // qualname is "<class qualname>.<name>". `cells` become its own closure
    // cells (Frame::cell), and it sees the class through `__class__`, so it
    // may call super_of / call_super. As in a class body, __init_subclass__
    // and __class_getitem__ become classmethods and __new__ a staticmethod.
    ClassBuilder& method(const FunctionDef& def, std::initializer_list<Handle> cells = {});
    // A classmethod: its first argument is the class it is called on (a
    // subclass too), so `call(frame.arg(0), ...)` builds instances of it.
    ClassBuilder& classmethod(const FunctionDef& def, std::initializer_list<Handle> cells = {});
    ClassBuilder& staticmethod(const FunctionDef& def, std::initializer_list<Handle> cells = {});

    // The class statement's end: metaclass(name, bases, namespace, **kwds)
    // after types.resolve_bases and types.prepare_class, as for
    // `class Name(*bases, **kwds)`; bases is a tuple (none: no bases).
    Ref build(Handle bases = nullptr, Handle kwds = nullptr);

private:
    ClassBuilder(Ref globals, const char* name, const char* qualname);
    Ref function_for(const FunctionDef& def, std::initializer_list<Handle> cells);
    Ref globals_;
    Ref name_;
    Ref qualname_;
    Ref namespace_;
    Ref annotations_;
    Ref class_cell_;
};

// cls.__name__ = cls.__qualname__ = name: a class built under one name and
// published under another.
void rename_class(Handle cls, const char* name);

// super() inside a native method: super(__class__, <first argument>).
Ref super_of(const Frame& frame);

// What super().name finds for a native method, as the interpreter's own
// lookup does it without making a super object: `attr` is the attribute of
// the next class in the MRO, and the result says whether it is an unbound
// method to be called with the first argument in front (true) or already the
// value super() would give (false). Returns false with a null `attr` when
// the quick lookup does not apply (the name is not in a later class's dict,
// or the first argument is not an instance of the class): then ask super().
bool super_method(const Frame& frame, PyObject* name, Ref& attr);

// super().name(args...) inside a native method. A base coroutine method is
// awaited as usual: co_await awaiting(call_super(frame, "name", ...)).
template <typename... Args>
Ref call_super(const Frame& frame, Literal name, Args&&... args) {
    Ref attr;
    if (super_method(frame, interned_name(name), attr)) {
        detail::Packed<Args...> packed(frame.arg(0), std::forward<Args>(args)...);
        constexpr size_t npositional = 1 + sizeof...(Args) - detail::Packed<Args...>::nkw;
        return vectorcall(attr.get(), packed.ptrs.data() + 1,
                          npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, packed.names.get());
    }
    if (attr) {
        return call(attr, std::forward<Args>(args)...);
    }
    return call_method(super_of(frame), name, std::forward<Args>(args)...);
}

// dataclasses.dataclass(cls), with the decorator's default options.
Ref dataclass(Handle cls);

} // namespace zelto
