// ZeltoMiddleware and ZeltoToolNode: the SDK's LangGraph classes with the
// cloud approval handler wired in from the environment and the observe-first
// switch, or placeholders that explain the missing extra.
#include "zelto_cloud/langgraph/langgraph.hpp"

#include "support/classes.hpp"
#include "support/coroutine.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

#include <string>

namespace zelto::langgraph {

namespace {

Name logger_name{"logger"};
Name auto_handler_name{"_auto_approval_handler"};
Name observe_first_name{"observe_first_from_env"};
Name observe_or_result_name{"_observe_or_result"};
Name observe_or_result_async_name{"_observe_or_result_async"};

constexpr const char* install_hint =
    "zelto_cloud.langgraph requires zelto[langgraph]. Install with: pip install 'zelto[langgraph]'";

// The placeholder's constructor keeps, in its one closure cell, the
// ImportError caught when its class was built.
constexpr size_t import_error_cell = 0;

// The constructor keywords this module handles before the SDK's constructor
// sees the rest: the auto-wired approval handler and dry_run. An SDK whose
// guard observes by itself is given dry_run too: it then runs a refused call
// and sends the one receipt that says so ("observed"), instead of a "denied"
// receipt for a call that runs after all.
void take_own_keywords(const Frame& frame, Handle self, Handle kwargs, bool may_auto_wire) {
    if (may_auto_wire && get_item(kwargs, "approval_handler").is_none()) {
        Ref handler = call(frame.global(auto_handler_name));
        if (!handler.is_none()) {
            check(PyDict_SetItemString(kwargs, "approval_handler", handler.get()));
        }
    }
    PyObject* popped = nullptr;
    check(PyDict_PopString(kwargs, "dry_run", &popped));
    Ref dry_run = popped ? Ref::steal(popped) : none();
    if (dry_run.is_none()) {
        dry_run = call(frame.global(observe_first_name));
    }
    setattr(self, "_dry_run", py_bool(truthy(dry_run)));
    if (truthy(getattr_or(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_sdk_observes", Py_False))) {
        check(PyDict_SetItemString(kwargs, "dry_run", getattr(self, "_dry_run").get()));
    }
    if (truthy(getattr(self, "_dry_run"))) {
        log(frame.global(logger_name), "info",
            "zelto_cloud.langgraph: observe-first (dry_run=True); set ZELTO_ENFORCEMENT=enforce "
            "to fail closed");
    }
}

ZELTO_ARGS(MiddlewareInitArg, self, args, kwargs);

Ref middleware_init(Frame& frame) {
    PyObject* args = frame.varargs();
    PyObject* kwargs = frame.varkw();
    take_own_keywords(frame, frame[MiddlewareInitArg::self], kwargs, PyTuple_GET_SIZE(args) == 0);
    call_with(getattr(super_of(frame), "__init__"), args, kwargs);
    return none();
}

ZELTO_ARGS(MiddlewareWrapToolCallArg, self, request, handler);

Ref middleware_wrap_tool_call(Frame& frame) {
    Handle request = frame[MiddlewareWrapToolCallArg::request];
    Handle handler = frame[MiddlewareWrapToolCallArg::handler];
    Ref result = call_super(frame, "wrap_tool_call", request, handler);
    Ref dry_run = getattr(frame[MiddlewareWrapToolCallArg::self], "_dry_run");
    return call_own_or_replaced(frame.global(observe_or_result_name), observe_or_result_def,
                                {result, request, handler, dry_run});
}

ZELTO_ARGS(MiddlewareAwrapToolCallArg, self, request, handler);

Task middleware_awrap_tool_call(Frame frame) {
    Handle request = frame[MiddlewareAwrapToolCallArg::request];
    Handle handler = frame[MiddlewareAwrapToolCallArg::handler];
    Ref result = co_await awaiting(call_super(frame, "awrap_tool_call", request, handler));
    Ref dry_run = getattr(frame[MiddlewareAwrapToolCallArg::self], "_dry_run");
    Ref observe = frame.global(observe_or_result_async_name);
    if (is_function_of(observe, observe_or_result_async_def)) {
        // The module's own observe step, run here: only a rerun that is a
        // coroutine is awaited, so the usual call needs no coroutine of its own.
        Observed observed = [&] {
            Frame direct;
            bind_direct(observe, direct, {result, request, handler, dry_run});
            return observe_step(direct);
        }();
        if (!observed.awaitable) {
            co_return std::move(observed.value);
        }
        co_return co_await awaiting(std::move(observed.value));
    }
    co_return co_await awaiting(call(observe, result, request, handler, dry_run));
}

ZELTO_ARGS(ToolNodeInitArg, self, tools, kwargs);

Ref tool_node_init(Frame& frame) {
    PyObject* kwargs = frame.varkw();
    take_own_keywords(frame, frame[ToolNodeInitArg::self], kwargs, true);
    Ref args = tuple_of({frame[ToolNodeInitArg::tools]});
    call_with(getattr(super_of(frame), "__init__"), args, kwargs);
    return none();
}

Ref missing_init(Frame& frame) {
    raise_from(call(PyExc_ImportError, install_hint), frame.cell(import_error_cell));
}

constexpr FunctionDef middleware_init_def{
    .name = "__init__",
    .params =
        {
            param("self"),
            varargs_param("args", "Any"),
            varkw_param("kwargs", "Any"),
        },
    .returns = "None",
    .impl = middleware_init,
};
static_assert(args_match<MiddlewareInitArg>(middleware_init_def));

constexpr FunctionDef middleware_wrap_tool_call_def{
    .name = "wrap_tool_call",
    .params =
        {
            param("self"),
            param("request", "Any"),
            param("handler", "Any"),
        },
    .returns = "Any",
    .impl = middleware_wrap_tool_call,
};
static_assert(args_match<MiddlewareWrapToolCallArg>(middleware_wrap_tool_call_def));

constexpr FunctionDef middleware_awrap_tool_call_def{
    .name = "awrap_tool_call",
    .params =
        {
            param("self"),
            param("request", "Any"),
            param("handler", "Any"),
        },
    .returns = "Any",
    .coroutine = middleware_awrap_tool_call,
};
static_assert(args_match<MiddlewareAwrapToolCallArg>(middleware_awrap_tool_call_def));

constexpr FunctionDef tool_node_init_def{
    .name = "__init__",
    .params =
        {
            param("self"),
            param("tools", "Any"),
            varkw_param("kwargs", "Any"),
        },
    .returns = "None",
    .impl = tool_node_init,
};
static_assert(args_match<ToolNodeInitArg>(tool_node_init_def));

const FunctionDef missing_init_def{
    .name = "__init__",
    .params =
        {
            param("self"),
            varargs_param("_a", "Any"),
            varkw_param("_kw", "Any"),
        },
    .returns = "None",
    .impl = missing_init,
};

constexpr const char* middleware_doc =
    "Drop-in replacement for ``zelto.langgraph.ZeltoMiddleware``.\n"
    "\n"
    "Same constructor and behaviour as the SDK's middleware. When\n"
    "``ZELTO_API_KEY`` is set and no ``approval_handler`` is given, approval\n"
    "gates are resolved through Zelto Cloud, at ``ZELTO_CONTROL_PLANE_URL``\n"
    "when that is set (approval links follow it unless ``ZELTO_DASHBOARD_URL``\n"
    "names the dashboard).\n"
    "\n"
    "Observe-first is the default (``dry_run=True``, ``ZELTO_ENFORCEMENT=observe``):\n"
    "a denied tool call still emits its receipt (\"observed\" when the SDK\n"
    "observes by itself), and then the tool runs.\n"
    "``ZELTO_ENFORCEMENT=enforce`` or ``dry_run=False`` fails closed.\n"
    "\n"
    "Migration is a change of import only::\n"
    "\n"
    "    # from zelto.langgraph import ZeltoMiddleware\n"
    "    from zelto_cloud.langgraph import ZeltoMiddleware\n";

constexpr const char* tool_node_doc =
    "Drop-in replacement for ``zelto.langgraph.ZeltoToolNode``.\n"
    "\n"
    "Same constructor and behaviour as the SDK's tool node. When\n"
    "``ZELTO_API_KEY`` is set and no ``approval_handler`` is given, approval\n"
    "gates are resolved through Zelto Cloud, at ``ZELTO_CONTROL_PLANE_URL``\n"
    "when that is set (approval links follow it unless ``ZELTO_DASHBOARD_URL``\n"
    "names the dashboard).\n"
    "\n"
    "Migration is a change of import only::\n"
    "\n"
    "    # from zelto.langgraph import ZeltoToolNode\n"
    "    from zelto_cloud.langgraph import ZeltoToolNode\n";

// from zelto.langgraph import <name>, or the ImportError it raised (nothing
// else is caught: any other failure fails the module's import).
Ref import_sdk_class(Literal name, Ref& import_error) {
    try {
        return import_from("zelto.langgraph", name);
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ImportError);
        import_error = caught.ref();
        return Ref();
    }
}

Ref placeholder(const Frame& frame, const char* factory, const char* missing_name,
                const char* public_name, const Ref& import_error) {
    std::string qualname = std::string(factory) + ".<locals>." + missing_name;
    Ref cls = ClassBuilder(frame, missing_name, qualname.c_str())
                  .method(missing_init_def, {import_error})
                  .build();
    rename_class(cls, public_name);
    return cls;
}

struct CloudClass {
    const char* factory;
    const char* cloud_name;
    const char* missing_name;
    Literal public_name;
    const char* doc;
    std::initializer_list<const FunctionDef*> methods;
    bool observes; // runs refused calls in observe-first mode (the tool node does not)
};

// The SDK constructor's signature with this class's own dry_run keyword added
// (or put in place of the SDK's, whose default differs),
// so that inspect.signature() and editors show what the constructor takes
// rather than the (*args, **kwargs) that forwards it.
Ref constructor_signature(const Ref& base) {
    Ref inspect = import_module("inspect");
    Ref signature = call_method(inspect, "signature", base);
    Ref known = getattr(signature, "parameters");
    Ref params = call((PyObject*)&PyList_Type, call_method(known, "values"));
    Ref parameter = getattr(inspect, "Parameter");
    Ref dry_run = call(parameter, "dry_run", getattr(parameter, "KEYWORD_ONLY"),
                       kw("default", Py_None), kw("annotation", "bool | None"));
    Py_ssize_t count = PyList_GET_SIZE(params.get());
    for (Py_ssize_t at = 0; at < count; ++at) {
        // The SDK's own dry_run is shown with this class's default: None, the environment decides.
        if (equals(getattr(PyList_GET_ITEM(params.get(), at), "name").get(), "dry_run")) {
            check(PyList_SetItem(params.get(), at, dry_run.release()));
            return call_method(signature, "replace", kw("parameters", params));
        }
    }
    Py_ssize_t at = count;
    if (at > 0 && compare(getattr(PyList_GET_ITEM(params.get(), at - 1), "kind").get(),
                          getattr(parameter, "VAR_KEYWORD"), Py_EQ)) {
        --at;
    }
    check(PyList_Insert(params.get(), at, dry_run.get()));
    return call_method(signature, "replace", kw("parameters", params));
}

Ref make_cloud_class(const Frame& frame, const CloudClass& plan) {
    Ref import_error;
    Ref base = import_sdk_class(plan.public_name, import_error);
    if (!base) {
        return placeholder(frame, plan.factory, plan.missing_name, plan.public_name.c_str(),
                           import_error);
    }
    std::string qualname = std::string(plan.factory) + ".<locals>." + plan.cloud_name;
    ClassBuilder builder(frame, plan.cloud_name, qualname.c_str());
    builder.doc(plan.doc);
    for (const FunctionDef* def : plan.methods) {
        builder.method(*def);
    }
    Ref bases = tuple_of({base});
    Ref cls = builder.build(bases);
    rename_class(cls, plan.public_name.c_str());
    // A base whose signature cannot be read keeps the forwarding constructor's.
    try {
        Ref known = getattr(call_method(import_module("inspect"), "signature", base), "parameters");
        bool observes =
            plan.observes && check(PySequence_Contains(known.get(), str("dry_run").get()));
        setattr(cls, "_sdk_observes", py_bool(observes));
        setattr(cls, "__signature__", constructor_signature(base));
    } catch (const PythonError&) {
        Caught caught;
        caught.reraise_unless(PyExc_ValueError, PyExc_TypeError);
    }
    return cls;
}

Ref make_cloud_middleware_class(Frame& frame) {
    return make_cloud_class(frame, {"_make_cloud_middleware_class",
                                    "_CloudZeltoMiddleware",
                                    "_MissingZeltoMiddleware",
                                    "ZeltoMiddleware",
                                    middleware_doc,
                                    {&middleware_init_def, &middleware_wrap_tool_call_def,
                                     &middleware_awrap_tool_call_def},
                                    true});
}

Ref make_cloud_tool_node_class(Frame& frame) {
    return make_cloud_class(frame, {"_make_cloud_tool_node_class",
                                    "_CloudZeltoToolNode",
                                    "_MissingZeltoToolNode",
                                    "ZeltoToolNode",
                                    tool_node_doc,
                                    {&tool_node_init_def},
                                    false});
}

} // namespace

const FunctionDef make_cloud_middleware_class_def{
    .name = "_make_cloud_middleware_class",
    .params = {},
    .returns = "type",
    .doc = "Build the cloud ZeltoMiddleware, or its placeholder without the LangGraph extra.",
    .impl = make_cloud_middleware_class,
};

const FunctionDef make_cloud_tool_node_class_def{
    .name = "_make_cloud_tool_node_class",
    .params = {},
    .returns = "type",
    .doc = "Build the cloud ZeltoToolNode, or its placeholder without the LangGraph extra.",
    .impl = make_cloud_tool_node_class,
};

} // namespace zelto::langgraph
