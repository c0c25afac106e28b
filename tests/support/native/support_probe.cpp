// A test-only extension module exercising the interpreter layer on its own:
// native coroutine functions that await, catch and clean up, a class built at
// import, and subclasses of outside classes whose native methods call the
// base class through super(). Built for the test runs, never installed.
#include "support/classes.hpp"
#include "support/coroutine.hpp"
#include "support/errors.hpp"
#include "support/function.hpp"
#include "support/module.hpp"

using namespace zelto;

namespace {

// ---- coroutine functions ---------------------------------------------------------

// async def echo_after(awaitable, value): await awaitable; return value
Task echo_after(Frame frame) {
    co_await awaiting(frame.arg(0));
    co_return Ref::borrow(frame.arg(1));
}

const FunctionDef echo_after_def{
    .name = "echo_after",
    .params = {{.name = "awaitable"}, {.name = "value", .fallback = Default::None()}},
    .coroutine = echo_after,
};

// async def await_all(*awaitables): return [await a for a in awaitables]
Task await_all(Frame frame) {
    Ref results = Ref::steal(PyList_New(0));
    PyObject* awaitables = frame.varargs();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(awaitables); ++i) {
        Ref result = co_await awaiting(PyTuple_GET_ITEM(awaitables, i));
        check(PyList_Append(results.get(), result.get()));
    }
    co_return results;
}

const FunctionDef await_all_def{
    .name = "await_all",
    .params = {{.name = "awaitables", .kind = Kind::var_positional}},
    .coroutine = await_all,
};

// async def close_after(resource, awaitable):
//     try: return await awaitable
//     finally: await resource.close()
Task close_after(Frame frame) {
    PyObject* resource = frame.arg(0);
    co_return co_await try_finally([&] { return await_in_place(frame.arg(1)); },
                                   [&] { return await_in_place(call_method(resource, "close")); });
}

const FunctionDef close_after_def{
    .name = "close_after",
    .params = {{.name = "resource"}, {.name = "awaitable"}},
    .coroutine = close_after,
};

// async def close_after_sync(resource, awaitable):
//     try: return await awaitable
//     finally: resource.close()
Task close_after_sync(Frame frame) {
    PyObject* resource = frame.arg(0);
    co_return co_await try_finally([&]() -> Task { co_return co_await awaiting(frame.arg(1)); },
                                   [&] { return call_method(resource, "close"); });
}

const FunctionDef close_after_sync_def{
    .name = "close_after_sync",
    .params = {{.name = "resource"}, {.name = "awaitable"}},
    .coroutine = close_after_sync,
};

// Awaits what was made before the helper started.
Task await_made(Ref awaitable) {
    co_return co_await awaiting(awaitable);
}

// How a body or clean-up is written: 0 runs straight through, 1 is a helper
// Task, 2 awaits in place.
template <int Kind>
auto step_of(PyObject* function) {
    return [function] {
        if constexpr (Kind == 1) {
            return await_made(call(function));
        } else if constexpr (Kind == 2) {
            return await_in_place(call(function));
        } else {
            return call(function);
        }
    };
}

// async def finally_kinds(body_kind, cleanup_kind, body, cleanup):
//     try: return await body() if body_kind else body()
//     finally: await cleanup() if cleanup_kind else cleanup()
// An awaiting body or clean-up calls its function when it starts, so that a
// failure there is one of starting it.
template <int BodyKind, int CleanupKind>
Task finally_kinds(const Frame& frame) {
    co_return co_await try_finally(step_of<BodyKind>(frame.arg(2)),
                                   step_of<CleanupKind>(frame.arg(3)));
}

template <int BodyKind>
Task finally_kinds(const Frame& frame, long cleanup_kind) {
    switch (cleanup_kind) {
    case 1:
        return finally_kinds<BodyKind, 1>(frame);
    case 2:
        return finally_kinds<BodyKind, 2>(frame);
    default:
        return finally_kinds<BodyKind, 0>(frame);
    }
}

Task finally_kinds(Frame frame) {
    long body_kind = PyLong_AsLong(frame.arg(0));
    long cleanup_kind = PyLong_AsLong(frame.arg(1));
    switch (body_kind) {
    case 1:
        co_return co_await awaiting(finally_kinds<1>(frame, cleanup_kind));
    case 2:
        co_return co_await awaiting(finally_kinds<2>(frame, cleanup_kind));
    default:
        co_return co_await awaiting(finally_kinds<0>(frame, cleanup_kind));
    }
}

const FunctionDef finally_kinds_def{
    .name = "finally_kinds",
    .params = {{.name = "body_kind"},
               {.name = "cleanup_kind"},
               {.name = "body"},
               {.name = "cleanup"}},
    .coroutine = finally_kinds,
};

// async def nested_finally(inner, outer, awaitable):
//     try:
//         try: return await awaitable
//         finally: await inner()
//     finally: await outer()
Task nested_finally(Frame frame) {
    co_return co_await try_finally(
        [&]() -> Task {
            co_return co_await try_finally(
                [&]() -> Task { co_return co_await awaiting(frame.arg(2)); },
                [&]() -> Task { co_return co_await awaiting(call(frame.arg(0))); });
        },
        [&]() -> Task { co_return co_await awaiting(call(frame.arg(1))); });
}

const FunctionDef nested_finally_def{
    .name = "nested_finally",
    .params = {{.name = "inner"}, {.name = "outer"}, {.name = "awaitable"}},
    .coroutine = nested_finally,
};

// async def async_with_body(manager, awaitable):
//     async with manager as value: await awaitable
//     return value      (None when the manager suppressed an exception)
Task async_with_body(Frame frame) {
    Ref result = co_await async_with(frame.arg(0), [&](PyObject* value) -> Task {
        co_await awaiting(frame.arg(1));
        co_return Ref::borrow(value);
    });
    co_return result ? result : none();
}

const FunctionDef async_with_body_def{
    .name = "async_with_body",
    .params = {{.name = "manager"}, {.name = "awaitable"}},
    .coroutine = async_with_body,
};

// async def with_body(manager, awaitable):
//     with manager as value: await awaitable
//     return value
Task with_body(Frame frame) {
    Ref result = co_await with_awaiting_body(frame.arg(0), [&](PyObject* value) -> Task {
        co_await awaiting(frame.arg(1));
        co_return Ref::borrow(value);
    });
    co_return result ? result : none();
}

const FunctionDef with_body_def{
    .name = "with_body",
    .params = {{.name = "manager"}, {.name = "awaitable"}},
    .coroutine = with_body,
};

// async def handled_across_await(awaitable):
//     try: raise ValueError("inner")
//     except ValueError:
//         await awaitable
//         return sys.exception()
Task handled_across_await(Frame frame) {
    std::optional<Caught> caught;
    try {
        raise_new(PyExc_ValueError, "inner");
    } catch (const PythonError&) {
        caught.emplace();
    }
    Handling scope(*caught);
    co_await awaiting(frame.arg(0));
    Ref handled = Ref::steal_maybe(PyErr_GetHandledException());
    co_return handled ? handled : none();
}

const FunctionDef handled_across_await_def{
    .name = "handled_across_await",
    .params = {{.name = "awaitable"}},
    .coroutine = handled_across_await,
};

// async def hold_then_await(obj, awaitable): keeps obj in the frame, awaits.
Task hold_then_await(Frame frame) {
    frame.hold(call((PyObject*)&PyList_Type, Ref::steal(PyTuple_Pack(1, frame.arg(0)))));
    co_await awaiting(frame.arg(1));
    co_return none();
}

const FunctionDef hold_then_await_def{
    .name = "hold_then_await",
    .params = {{.name = "obj"}, {.name = "awaitable"}},
    .coroutine = hold_then_await,
};

// A helper coroutine given the caller's Frame by reference.
Task await_argument(const Frame& frame, size_t index) {
    co_return co_await awaiting(frame.arg(index));
}

// async def through_helper(obj, awaitable): return (obj, await helper(awaitable))
Task through_helper(Frame frame) {
    Ref result = co_await awaiting(await_argument(frame, 1));
    co_return Ref::steal(PyTuple_Pack(2, frame.arg(0), result.get()));
}

const FunctionDef through_helper_def{
    .name = "through_helper",
    .params = {{.name = "obj"}, {.name = "awaitable"}},
    .coroutine = through_helper,
};

// ---- plain functions -----------------------------------------------------------------

// def with_sync(manager, body):
//     with manager as value: return body(value)
Ref with_sync(Frame& frame) {
    Ref result =
        with_context(frame.arg(0), [&](PyObject* value) { return call(frame.arg(1), value); });
    return result ? result : none();
}

const FunctionDef with_sync_def{
    .name = "with_sync",
    .params = {{.name = "manager"}, {.name = "body"}},
    .impl = with_sync,
};

Ref added(Frame& frame) {
    return Ref::steal(PyNumber_Add(frame.arg(0), frame.cell(0).get()));
}

const FunctionDef added_def{
    .name = "add",
    .params = {{.name = "x"}},
    .doc = "x plus the captured value.",
    .impl = added,
};

// def make_adder(n): def add(x): return x + n; return add
Ref make_adder(Frame& frame) {
    return make_function(added_def, frame.globals(), "make_adder.<locals>.add", {frame.arg(0)});
}

const FunctionDef make_adder_def{
    .name = "make_adder",
    .params = {{.name = "n"}},
    .impl = make_adder,
};

// Runs the garbage collector's tp_clear on obj, as a collected cycle would.
Ref clear_object(Frame& frame) {
    PyObject* obj = frame.arg(0);
    if (inquiry clear = Py_TYPE(obj)->tp_clear) {
        clear(obj);
    }
    return none();
}

const FunctionDef clear_object_def{
    .name = "clear_object",
    .params = {{.name = "obj"}},
    .impl = clear_object,
};

Ref forget_marker(Frame& frame) {
    delattr_if_present(frame.arg(0), "marker");
    return none();
}

const FunctionDef forget_marker_def{
    .name = "forget_marker",
    .params = {{.name = "obj"}},
    .impl = forget_marker,
};

// obj.marker and getattr(obj, "marker", fallback), through the layer's reads.
Ref read_marker(Frame& frame) {
    return getattr(frame.arg(0), "marker");
}

const FunctionDef read_marker_def{
    .name = "read_marker",
    .params = {{.name = "obj"}},
    .impl = read_marker,
};

Ref read_marker_or(Frame& frame) {
    return getattr_or(frame.arg(0), "marker", frame.arg(1));
}

const FunctionDef read_marker_or_def{
    .name = "read_marker_or",
    .params = {{.name = "obj"}, {.name = "fallback"}},
    .impl = read_marker_or,
};

// obj.marker(arg), and obj.marker(arg, extra=...) with a keyword, through call_method.
Ref call_marker(Frame& frame) {
    return call_method(frame.arg(0), "marker", frame.arg(1));
}

const FunctionDef call_marker_def{
    .name = "call_marker",
    .params = {{.name = "obj"}, {.name = "arg"}},
    .impl = call_marker,
};

Ref call_marker_kw(Frame& frame) {
    return call_method(frame.arg(0), "marker", frame.arg(1), kw("extra", frame.arg(2)));
}

const FunctionDef call_marker_kw_def{
    .name = "call_marker_kw",
    .params = {{.name = "obj"}, {.name = "arg"}, {.name = "extra"}},
    .impl = call_marker_kw,
};

Ref positional_only(Frame& frame) {
    return Ref::steal(PyTuple_Pack(2, frame.arg(0), frame.arg(1)));
}

const FunctionDef positional_only_def{
    .name = "positional_only",
    .params = {{.name = "a", .kind = Kind::positional_only},
               {.name = "b", .kind = Kind::keyword_only, .fallback = Default::None()}},
    .impl = positional_only,
};

// More parameters than a frame keeps inline: the rest of the slots are lent
// by the caller's stack (a plain call) or taken from the heap (a coroutine).
// def spread(a, b, c, d, e, f=None, *, g=0): return (a, b, c, d, e, f, g)
Ref args_tuple(const Frame& frame, size_t first, size_t count) {
    Ref tuple = Ref::steal(PyTuple_New((Py_ssize_t)count));
    for (size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(frame.arg(first + i)));
    }
    return tuple;
}

Ref spread(Frame& frame) {
    return args_tuple(frame, 0, 7);
}

const FunctionDef spread_def{
    .name = "spread",
    .params = {{.name = "a"},
               {.name = "b"},
               {.name = "c"},
               {.name = "d"},
               {.name = "e"},
               {.name = "f", .fallback = Default::None()},
               {.name = "g", .kind = Kind::keyword_only, .fallback = Default::Integer(0)}},
    .impl = spread,
};

// async def spread_after(awaitable, a, b, c, d, e=None, *, f=0):
//     await awaitable; return (a, b, c, d, e, f)
Task spread_after(Frame frame) {
    co_await awaiting(frame.arg(0));
    co_return args_tuple(frame, 1, 6);
}

const FunctionDef spread_after_def{
    .name = "spread_after",
    .params = {{.name = "awaitable"},
               {.name = "a"},
               {.name = "b"},
               {.name = "c"},
               {.name = "d"},
               {.name = "e", .fallback = Default::None()},
               {.name = "f", .kind = Kind::keyword_only, .fallback = Default::Integer(0)}},
    .coroutine = spread_after,
};

// ---- Counter: a plain class with __init__, a static method, __call__ and a classmethod

Ref counter_init(Frame& frame) {
    setattr(frame.arg(0), "value", frame.arg(1));
    return none();
}

const FunctionDef counter_init_def{
    .name = "__init__",
    .params = {{.name = "self"}, {.name = "start", .fallback = Default::Integer(0)}},
    .impl = counter_init,
};

Ref counter_call(Frame& frame) {
    Ref value = Ref::steal(PyNumber_Add(getattr(frame.arg(0), "value").get(), frame.arg(1)));
    setattr(frame.arg(0), "value", value.get());
    return value;
}

const FunctionDef counter_call_def{
    .name = "__call__",
    .params = {{.name = "self"}, {.name = "step", .fallback = Default::Integer(1)}},
    .impl = counter_call,
};

Ref counter_double(Frame& frame) {
    return Ref::steal(PyNumber_Add(frame.arg(0), frame.arg(0)));
}

const FunctionDef counter_double_def{
    .name = "double",
    .params = {{.name = "x"}},
    .impl = counter_double,
};

// @classmethod def from_text(cls, text): return cls(int(text))
Ref counter_from_text(Frame& frame) {
    Ref number = call((PyObject*)&PyLong_Type, frame.arg(1));
    return call(frame.arg(0), number);
}

const FunctionDef counter_from_text_def{
    .name = "from_text",
    .params = {{.name = "cls"}, {.name = "text", .annotation = "str"}},
    .impl = counter_from_text,
};

// ---- subclasses of outside classes, built on request ------------------------------

// def __init__(self, *args, **kwargs): super().__init__(*args, **kwargs); self.native_init = True
Ref derived_init(Frame& frame) {
    Ref init = getattr(super_of(frame), "__init__");
    call_with(init.get(), frame.varargs(), frame.varkw());
    setattr(frame.arg(0), "native_init", Py_True);
    return none();
}

const FunctionDef derived_init_def{
    .name = "__init__",
    .params = {{.name = "self"},
               {.name = "args", .kind = Kind::var_positional},
               {.name = "kwargs", .kind = Kind::var_keyword}},
    .impl = derived_init,
};

// def describe(self): return ("native", super().describe())
Ref derived_describe(Frame& frame) {
    Ref base = call_super(frame, "describe");
    return Ref::steal(PyTuple_Pack(2, str("native").get(), base.get()));
}

const FunctionDef derived_describe_def{
    .name = "describe",
    .params = {{.name = "self"}},
    .impl = derived_describe,
};

// async def awrap(self, value): return ("native", await super().awrap(value))
Task derived_awrap(Frame frame) {
    Ref base = co_await awaiting(call_super(frame, "awrap", frame.arg(1)));
    co_return Ref::steal(PyTuple_Pack(2, str("native").get(), base.get()));
}

const FunctionDef derived_awrap_def{
    .name = "awrap",
    .params = {{.name = "self"}, {.name = "value"}},
    .coroutine = derived_awrap,
};

// @classmethod def create(cls, *args, **kwargs): return cls(*args, **kwargs)
Ref derived_create(Frame& frame) {
    return call_with(frame.arg(0), frame.varargs(), frame.varkw());
}

const FunctionDef derived_create_def{
    .name = "create",
    .params = {{.name = "cls"},
               {.name = "args", .kind = Kind::var_positional},
               {.name = "kwargs", .kind = Kind::var_keyword}},
    .impl = derived_create,
};

// @classmethod def base_name(cls): return super().base_name()
Ref derived_base_name(Frame& frame) {
    return call_super(frame, "base_name");
}

const FunctionDef derived_base_name_def{
    .name = "base_name",
    .params = {{.name = "cls"}},
    .impl = derived_base_name,
};

// def __init_subclass__(cls, **kwargs): super().__init_subclass__(**kwargs); cls.subclassed = True
Ref derived_init_subclass(Frame& frame) {
    Ref empty = Ref::steal(PyTuple_New(0));
    call_with(getattr(super_of(frame), "__init_subclass__").get(), empty.get(), frame.varkw());
    setattr(frame.arg(0), "subclassed", Py_True);
    return none();
}

const FunctionDef derived_init_subclass_def{
    .name = "__init_subclass__",
    .params = {{.name = "cls"}, {.name = "kwargs", .kind = Kind::var_keyword}},
    .impl = derived_init_subclass,
};

// derive(base, name, **class_kwargs): class <name>(base, **class_kwargs) with the
// native methods above.
Ref derive(Frame& frame) {
    PyObject* module = PyImport_GetModule(interned("support_probe").get());
    Ref owner = Ref::steal(module);
    ClassBuilder builder(owner.get(), "Derived");
    builder.method(derived_init_def)
        .method(derived_describe_def)
        .method(derived_awrap_def)
        .classmethod(derived_create_def)
        .classmethod(derived_base_name_def)
        .method(derived_init_subclass_def);
    Ref bases = Ref::steal(PyTuple_Pack(1, frame.arg(0)));
    return builder.build(bases.get(), frame.varkw());
}

const FunctionDef derive_def{
    .name = "derive",
    .params = {{.name = "base"}, {.name = "class_kwargs", .kind = Kind::var_keyword}},
    .impl = derive,
};

// def __post_init__(self): super().__post_init__(); self.post_init = "native"
Ref config_post_init(Frame& frame) {
    call_super(frame, "__post_init__");
    setattr(frame.arg(0), "post_init", str("native").get());
    return none();
}

const FunctionDef config_post_init_def{
    .name = "__post_init__",
    .params = {{.name = "self"}},
    .impl = config_post_init,
};

// @classmethod def from_mapping(cls, mapping): return cls(**mapping)
Ref config_from_mapping(Frame& frame) {
    Ref empty = Ref::steal(PyTuple_New(0));
    return call_with(frame.arg(0), empty.get(), frame.arg(1));
}

const FunctionDef config_from_mapping_def{
    .name = "from_mapping",
    .params = {{.name = "cls"}, {.name = "mapping"}},
    .impl = config_from_mapping,
};

// @dataclass class Config(base): extra: "str" = "x"; with a native __post_init__
Ref derive_config(Frame& frame) {
    Ref owner = Ref::steal(PyImport_GetModule(interned("support_probe").get()));
    ClassBuilder builder(owner.get(), "Config");
    builder.annotate("extra", "str")
        .attr("extra", str("x").get())
        .method(config_post_init_def)
        .classmethod(config_from_mapping_def);
    Ref bases = Ref::steal(PyTuple_Pack(1, frame.arg(0)));
    Ref cls = builder.build(bases.get());
    return dataclass(cls.get());
}

const FunctionDef derive_config_def{
    .name = "derive_config",
    .params = {{.name = "base"}},
    .impl = derive_config,
};

// A placeholder whose constructor raises ImportError chained to the import
// error kept in its own closure cell.
Ref placeholder_init(Frame& frame) {
    Ref error = call(PyExc_ImportError, "the optional extra is not installed");
    raise_from(error, frame.cell(0).get());
}

const FunctionDef placeholder_init_def{
    .name = "__init__",
    .params = {{.name = "self"},
               {.name = "args", .kind = Kind::var_positional},
               {.name = "kwargs", .kind = Kind::var_keyword}},
    .impl = placeholder_init,
};

Ref make_placeholder(Frame& frame) {
    Ref owner = Ref::steal(PyImport_GetModule(interned("support_probe").get()));
    ClassBuilder builder(owner.get(), "Placeholder");
    builder.method(placeholder_init_def, {frame.arg(0)});
    return builder.build();
}

const FunctionDef make_placeholder_def{
    .name = "make_placeholder",
    .params = {{.name = "error"}},
    .impl = make_placeholder,
};

void exec_probe(Handle module) {
    for (const FunctionDef* def : {&echo_after_def,
                                   &await_all_def,
                                   &close_after_def,
                                   &close_after_sync_def,
                                   &async_with_body_def,
                                   &with_body_def,
                                   &handled_across_await_def,
                                   &hold_then_await_def,
                                   &through_helper_def,
                                   &with_sync_def,
                                   &make_adder_def,
                                   &clear_object_def,
                                   &forget_marker_def,
                                   &read_marker_def,
                                   &read_marker_or_def,
                                   &call_marker_def,
                                   &call_marker_kw_def,
                                   &positional_only_def,
                                   &spread_def,
                                   &spread_after_def,
                                   &derive_def,
                                   &derive_config_def,
                                   &make_placeholder_def,
                                   &finally_kinds_def,
                                   &nested_finally_def}) {
        add_function(module, *def);
    }
    ClassBuilder counter(module, "Counter");
    counter.doc("Counts up by the step it is called with.")
        .method(counter_init_def)
        .method(counter_call_def)
        .staticmethod(counter_double_def)
        .classmethod(counter_from_text_def);
    Ref cls = counter.build();
    check(PyModule_AddObjectRef(module, "Counter", cls.get()));
    check(PyModule_AddObjectRef(module, "marker", Py_True));
}

} // namespace

ZELTO_MODULE(support_probe, "support_probe", "Probes of the interpreter layer, for its tests.",
             exec_probe)
