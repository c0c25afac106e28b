"""Attribute reads by the layer (getattr, getattr_or) remember what a type's
classes hold under a name between calls; every change to the classes, the
instance or its type must still give what the interpreter's getattr gives."""

import tracemalloc
import types

import pytest


class Plain:
    def __init__(self):
        self.marker = "instance"


class Defaulted:
    marker = "class"


class Empty:
    pass


class Slotted:
    __slots__ = ("marker",)


class Base:
    pass


class Derived(Base):
    pass


class IntWithDict(int):  # a __dict__ at an offset of its own, not a managed one
    pass


class Raising:
    """A __dict__ key equal to the name whose comparison raises."""

    def __init__(self, error):
        self.error = error

    def __hash__(self):
        return hash("marker")

    def __eq__(self, other):
        raise self.error


class CountingDict(dict):
    def __getitem__(self, key):  # never used for attribute reads
        return "from __getitem__"

    def __missing__(self, key):
        return "from __missing__"


def fresh(cls):
    """A new class of that kind for each case, so cases do not share what is remembered."""
    return type(cls.__name__, cls.__bases__, {k: v for k, v in vars(cls).items()
                                               if k not in ("__dict__", "__weakref__")})


def set_class_attr(name, value):
    def change(obj):
        setattr(type(obj), name, value)
    return change


def add_property(obj):
    type(obj).marker = property(lambda self: "property")


def add_getattr(obj):
    type(obj).__getattr__ = lambda self, name: f"__getattr__ {name}"


def add_getattribute(obj):
    type(obj).__getattribute__ = lambda self, name: f"__getattribute__ {name}"


def del_instance_attr(obj):
    del obj.marker


def set_instance_attr(obj):
    obj.marker = "shadowing"


def set_through_dict(obj):
    obj.__dict__["marker"] = "through __dict__"


def replace_dict_with_subclass(obj):
    obj.__dict__ = CountingDict(other=1)


def give_value_class_a_get(obj):
    type(type(obj).marker).__get__ = lambda self, instance, owner: "gained __get__"


def retype(obj):
    class Other:
        marker = "other class"
    obj.__class__ = Other


def set_on_base(obj):
    type(obj).__mro__[1].marker = "base"


def rebase(obj):
    class NewBase:
        marker = "new base"
    type(obj).__bases__ = (NewBase,)


def set_slot(obj):
    obj.marker = "slot"


def raising_key(error):
    def change(obj):
        obj.__dict__.clear()
        obj.__dict__[Raising(error)] = "never"
    return change


def make_plain():
    return fresh(Plain)()


def make_defaulted():
    return fresh(Defaulted)()


def make_empty():
    return fresh(Empty)()


def make_slotted():
    cls = type("Slotted", (), {"__slots__": ("marker",)})
    return cls()


def make_derived():
    base = type("Base", (), {})
    return type("Derived", (base,), {})()


def make_value_holder():
    value_class = type("Value", (), {})
    return type("Holder", (), {"marker": value_class()})()


def make_int_with_dict():
    return fresh(IntWithDict)(7)


def make_class_object():
    return type("AsObject", (), {"marker": "on the class"})


# (what is read, how it is changed after the first reads)
CASES = {
    "instance attribute, then deleted": (make_plain, del_instance_attr),
    "instance attribute, then replaced": (make_plain, set_instance_attr),
    "instance attribute, then a property on the class": (make_plain, add_property),
    "instance attribute, then __getattribute__": (make_plain, add_getattribute),
    "instance attribute, then its __dict__ a dict subclass": (make_plain, replace_dict_with_subclass),
    "class attribute, then replaced on the class": (make_defaulted, set_class_attr("marker", "replaced")),
    "class attribute, then deleted from the class": (make_defaulted, lambda o: delattr(type(o), "marker")),
    "class attribute, then shadowed by the instance": (make_defaulted, set_instance_attr),
    "class attribute, then shadowed through __dict__": (make_defaulted, set_through_dict),
    "class attribute, then a property in its place": (make_defaulted, add_property),
    "class attribute, then the instance retyped": (make_defaulted, retype),
    "class attribute, then an __eq__ raising AttributeError": (make_defaulted, raising_key(AttributeError("eq"))),
    "class attribute, then an __eq__ raising ValueError": (make_defaulted, raising_key(ValueError("eq"))),
    "a value whose class gains __get__": (make_value_holder, give_value_class_a_get),
    "missing, then __getattr__ on the class": (make_empty, add_getattr),
    "missing, then set on the class": (make_empty, set_class_attr("marker", "late")),
    "missing, then set on the instance": (make_empty, set_instance_attr),
    "missing, then a property on the class": (make_empty, add_property),
    "missing, then set on a base class": (make_derived, set_on_base),
    "missing, then the class rebased": (make_derived, rebase),
    "__slots__, unset then set": (make_slotted, set_slot),
    "__slots__, then a class attribute over the slot": (make_slotted, set_class_attr("marker", "class")),
    "a __dict__ at an offset, then set": (make_int_with_dict, set_instance_attr),
    "no __dict__ at all (str)": (lambda: "text", lambda obj: None),
    "a class object, then its metaclass's attribute": (make_class_object, lambda o: delattr(o, "marker")),
}


def outcome(read):
    try:
        return ("value", read())
    except Exception as error:  # compared as a whole: type, message, name and obj
        extra = (error.name, error.obj) if isinstance(error, AttributeError) else ()
        return ("raised", type(error), str(error), *extra)


@pytest.mark.parametrize("make, change", CASES.values(), ids=CASES.keys())
def test_reads_follow_every_change_as_the_interpreter_does(probe, make, change):
    obj = make()
    fallback = object()
    reads = {
        "getattr": (lambda: probe.read_marker(obj), lambda: getattr(obj, "marker")),
        "getattr with a default": (lambda: probe.read_marker_or(obj, fallback),
                                   lambda: getattr(obj, "marker", fallback)),
    }
    for step in ("first", "remembered", "changed", "changed, remembered"):
        if step == "changed":
            change(obj)
        for kind, (native, python) in reads.items():
            assert outcome(native) == outcome(python), (step, kind)


def test_a_value_read_from_a_class_keeps_its_reference_count(probe):
    holder = make_defaulted()
    value = type(holder).marker = object()
    before = __import__("sys").getrefcount(value)
    for _ in range(1000):
        assert probe.read_marker(holder) is value
        assert probe.read_marker_or(holder, None) is value
    assert __import__("sys").getrefcount(value) == before


def test_reads_leave_inline_attributes_where_they_are(probe):
    # Made per call and read once, such objects would each get a __dict__ of their own.
    objects = [Plain() for _ in range(200)]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for obj in objects:
            assert probe.read_marker(obj) == probe.read_marker_or(obj, None) == "instance"
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 2_000, grown


def method(self, arg, extra="-"):
    return ("method", arg, extra)


def make_with_method():
    return type("WithMethod", (), {"marker": method})()


def make_slotted_with_method():
    return type("SlottedWithMethod", (), {"__slots__": (), "marker": method})()


def make_derived_with_method():
    base = type("Base", (), {"marker": method})
    return type("Derived", (base,), {})()


def shadow_with_callable(obj):
    obj.marker = lambda arg, extra="-": ("instance", arg, extra)


def shadow_then_unshadow(obj):
    shadow_with_callable(obj)
    del obj.marker  # the instance's __dict__ is empty again


def shadow_beside_other_names(obj):
    obj.other = 1
    del obj.other
    obj.first, obj.second = 1, 2
    shadow_with_callable(obj)


def shadow_through_new_dict(obj):
    obj.__dict__ = {"marker": lambda arg, extra="-": ("new dict", arg, extra)}


def as_builtin_method(obj):
    type(obj).marker = list.append  # a method descriptor that is no Python function


def replace_method(obj):
    type(obj).marker = lambda self, arg, extra="-": ("replaced", arg, extra)


def as_staticmethod(obj):
    type(obj).marker = staticmethod(lambda arg, extra="-": ("static", arg, extra))


def as_classmethod(obj):
    type(obj).marker = classmethod(lambda cls, arg, extra="-": ("class", cls.__name__, arg, extra))


def as_property(obj):
    type(obj).marker = property(lambda self: lambda arg, extra="-": ("property", arg, extra))


def override_in_subclass_base(obj):
    type(obj).__mro__[1].marker = lambda self, arg, extra="-": ("base replaced", arg, extra)


def module_function(arg, extra="-"):
    return ("module function", arg, extra)


def make_module():
    module = types.ModuleType("probe_module")
    module.marker = module_function
    return module


def module_getattr_instead(module):
    del module.marker
    module.__getattr__ = lambda name: lambda arg, extra="-": ("module __getattr__", name, arg, extra)


def module_retyped_with_property(module):
    module.__class__ = type("PropertyModule", (types.ModuleType,), {
        "marker": property(lambda self: lambda arg, extra="-": ("property", arg, extra))})


# (an object with a method `marker`, how it is changed after the first calls)
METHOD_CASES = {
    "method, then shadowed by the instance": (make_with_method, shadow_with_callable),
    "method, then shadowed and unshadowed": (make_with_method, shadow_then_unshadow),
    "method, then shadowed beside other names": (make_with_method, shadow_beside_other_names),
    "method, then shadowed through a new __dict__": (make_with_method, shadow_through_new_dict),
    "method, then a builtin method": (make_with_method, as_builtin_method),
    "method, then replaced on the class": (make_with_method, replace_method),
    "method, then deleted from the class": (make_with_method, lambda o: delattr(type(o), "marker")),
    "method, then a staticmethod": (make_with_method, as_staticmethod),
    "method, then a classmethod": (make_with_method, as_classmethod),
    "method, then a property": (make_with_method, as_property),
    "method, then __getattribute__": (make_with_method, add_getattribute),
    "method, then an __eq__ raising in __dict__": (make_with_method, raising_key(ValueError("eq"))),
    "method, then the instance retyped": (make_with_method, retype),
    "method of a base, then replaced there": (make_derived_with_method, override_in_subclass_base),
    "method of a slotted class, then replaced": (make_slotted_with_method, replace_method),
    "missing, then __getattr__ on the class": (make_empty, add_getattr),
    "module function, then replaced": (make_module, lambda m: setattr(m, "marker", method.__get__("bound"))),
    "module function, then deleted": (make_module, lambda m: delattr(m, "marker")),
    "module function, then the module's __getattr__": (make_module, module_getattr_instead),
    "module function, then an __eq__ raising in __dict__": (make_module, raising_key(ValueError("eq"))),
    "module function, then the module retyped": (make_module, module_retyped_with_property),
}


@pytest.mark.parametrize("make, change", METHOD_CASES.values(), ids=METHOD_CASES.keys())
def test_method_calls_follow_every_change_as_the_interpreter_does(probe, make, change):
    obj = make()
    calls = {
        "positional": (lambda: probe.call_marker(obj, 1), lambda: obj.marker(1)),
        "with a keyword": (lambda: probe.call_marker_kw(obj, 1, 2), lambda: obj.marker(1, extra=2)),
    }
    for step in ("first", "remembered", "changed", "changed, remembered"):
        if step == "changed":
            change(obj)
        for kind, (native, python) in calls.items():
            assert outcome(native) == outcome(python), (step, kind)
