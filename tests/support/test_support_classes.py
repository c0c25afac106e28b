"""Classes and functions built by the interpreter layer, compared with the
same classes written in Python."""

import abc
import asyncio
import dataclasses
import gc
import inspect
import typing
import weakref

import pytest


class Base:
    def __init__(self, x=1, *, label="base"):
        self.x = x
        self.label = label

    def describe(self):
        return "base"

    async def awrap(self, value):
        await asyncio.sleep(0)
        return ("base", value)

    @classmethod
    def base_name(cls):
        return cls.__name__


def python_derive(base, **class_kwargs):
    class Derived(base, **class_kwargs):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.native_init = True

        def describe(self):
            return ("native", super().describe())

        async def awrap(self, value):
            return ("native", await super().awrap(value))

        @classmethod
        def create(cls, *args, **kwargs):
            return cls(*args, **kwargs)

        @classmethod
        def base_name(cls):
            return super().base_name()

        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            cls.subclassed = True

    return Derived


@pytest.fixture(params=["native", "python"])
def derive(request, probe):
    return probe.derive if request.param == "native" else python_derive


class TestPlainClass:
    def test_init_call_static_and_classmethod(self, probe):
        counter = probe.Counter(3)
        assert (counter(), counter(step=4), counter.value) == (4, 8, 8)
        assert probe.Counter.double(21) == probe.Counter(0).double(21) == 42
        assert probe.Counter.from_text("5").value == 5
        assert probe.Counter.__doc__ == "Counts up by the step it is called with."
        assert probe.Counter.from_text.__qualname__ == "Counter.from_text"
        assert str(inspect.signature(probe.Counter.from_text)) == "(text: 'str')"
        assert str(inspect.signature(probe.Counter)) == "(start=0)"

    def test_classmethod_builds_the_subclass_it_is_called_on(self, probe):
        class Sub(probe.Counter):
            pass

        made = Sub.from_text("7")
        assert type(made) is Sub and made.value == 7

    def test_argument_errors_name_the_method(self, probe):
        with pytest.raises(TypeError, match=r"^Counter\.__call__\(\) takes from 1 to 2 positional "
                                            r"arguments but 3 were given$"):
            probe.Counter()(1, 2)


class TestSuper:
    def test_methods_reach_the_base(self, derive):
        cls = derive(Base)
        made = cls.create(5, label="made")
        assert type(made) is cls
        assert (made.x, made.label, made.native_init) == (5, "made", True)
        assert made.describe() == ("native", "base")
        assert asyncio.run(made.awrap(3)) == ("native", ("base", 3))
        assert cls.base_name() == "Derived"

    @pytest.mark.parametrize(("change", "expected"), [
        ("replace", ("native", "mid again")),
        ("delete", ("native", "base")),
        ("base replaced after delete", ("native", "base again")),
        ("rebased", ("native", "other")),
        ("subclass", ("sub", ("native", "mid"))),
        ("instance attribute", ("native", "mid")),
    ])
    def test_super_follows_changes_to_the_classes_after_a_call(self, derive, change, expected):
        class Root:
            def describe(self):
                return "base"

        class Mid(Root):
            def describe(self):
                return "mid"

        class Other:
            def describe(self):
                return "other"

        cls = derive(Mid)
        made = cls()
        assert made.describe() == ("native", "mid")  # remembered from here on
        if change == "replace":
            Mid.describe = lambda self: "mid again"
        elif change == "delete":
            del Mid.describe
        elif change == "base replaced after delete":
            del Mid.describe
            made.describe()
            Root.describe = lambda self: "base again"
        elif change == "rebased":
            del Mid.describe
            made.describe()
            Mid.__bases__ = (Other,)
        elif change == "subclass":
            class Sub(cls):
                def describe(self):
                    return ("sub", super().describe())

            made = Sub()
        elif change == "instance attribute":
            made.describe = lambda: "instance"  # super() looks past the instance's dict
        for _ in range(2):
            assert type(made).describe(made) == expected

    def test_super_uses_the_defining_class_not_the_instance_type(self, derive):
        cls = derive(Base)

        class Again(cls):
            def describe(self):
                return ("again", super().describe())

            @classmethod
            def base_name(cls):
                return "again:" + super().base_name()

        made = Again.create()
        assert type(made) is Again
        assert made.describe() == ("again", ("native", "base"))
        assert Again.base_name() == "again:Again"

    def test_init_subclass_is_an_implicit_classmethod(self, derive):
        cls = derive(Base)
        assert not hasattr(cls, "subclassed")

        class Again(cls):
            pass

        assert Again.subclassed is True
        assert isinstance(cls.__dict__["__init_subclass__"], classmethod)

    def test_class_cell_is_filled(self, probe):
        cls = probe.derive(Base)
        cell = cls.__dict__["describe"].__closure__[-1]
        assert cell.cell_contents is cls
        assert "__classcell__" not in cls.__dict__

    def test_foreign_self_is_the_interpreters_type_error(self, derive):
        described = derive(Base).__dict__["describe"]
        with pytest.raises(TypeError, match=r"^super\(type, obj\): obj \(instance of object\) "
                                            r"is not an instance or subtype of type \(Derived\)\.$"):
            described(object())

    def test_metaclass_and_prepare_are_resolved(self, derive):
        prepared = []

        class Namespace(dict):
            pass

        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                prepared.append((name, kwargs))
                return Namespace()

            def __new__(mcls, name, bases, namespace, **kwargs):
                assert type(namespace) is Namespace
                return super().__new__(mcls, name, bases, dict(namespace), **kwargs)

        class Tagged(Base, metaclass=Meta):
            def __init_subclass__(cls, tag=None, **kwargs):
                super().__init_subclass__(**kwargs)
                cls.tag = tag

        prepared.clear()
        cls = derive(Tagged, tag="t")
        assert type(cls) is Meta and cls.tag == "t"
        assert prepared == [("Derived", {"tag": "t"})]
        assert cls().describe() == ("native", "base")

    def test_abstract_base(self, derive):
        class Abstract(Base, abc.ABC):
            @abc.abstractmethod
            def run(self):
                ...

        cls = derive(Abstract)
        assert type(cls) is abc.ABCMeta
        with pytest.raises(TypeError, match="abstract method 'run'"):
            cls()

    def test_generic_base_keeps_orig_bases(self, derive):
        T = typing.TypeVar("T")

        class Box(Base, typing.Generic[T]):
            pass

        cls = derive(Box[int])
        assert cls.__orig_bases__ == (Box[int],)
        assert cls.__mro__[1] is Box

    def test_conflicting_metaclasses(self, derive):
        class MetaA(type):
            pass

        class MetaB(type):
            pass

        class A(metaclass=MetaA):
            pass

        with pytest.raises(TypeError, match="metaclass conflict"):
            derive(A, metaclass=MetaB)

    def test_class_is_collected(self, probe):
        ref = weakref.ref(probe.derive(Base))
        gc.collect()
        assert ref() is None


@dataclasses.dataclass
class Settings:
    name: str = "default"
    order: list = dataclasses.field(default_factory=list)

    def __post_init__(self):
        self.order.append("base")


def python_derive_config(base):
    @dataclasses.dataclass
    class Config(base):
        extra: "str" = "x"

        def __post_init__(self):
            super().__post_init__()
            self.post_init = "native"

        @classmethod
        def from_mapping(cls, mapping):
            return cls(**mapping)

    return Config


class TestDataclassSubclass:
    @pytest.mark.parametrize("variant", ["native", "python"])
    def test_post_init_and_classmethod(self, probe, variant):
        derive_config = probe.derive_config if variant == "native" else python_derive_config
        cls = derive_config(Settings)

        class Sub(cls):
            pass

        made = Sub.from_mapping({"name": "n", "extra": "y"})
        assert type(made) is Sub
        assert (made.name, made.extra, made.order, made.post_init) == ("n", "y", ["base"], "native")
        assert [f.name for f in dataclasses.fields(cls)] == ["name", "order", "extra"]
        assert repr(cls()).endswith("Config(name='default', order=['base'], extra='x')")
        assert cls() == cls()


class TestPlaceholder:
    def test_keeps_the_import_error_in_its_own_cell(self, probe):
        error = ImportError("No module named 'extra'")
        cls = probe.make_placeholder(error)
        with pytest.raises(ImportError, match="not installed") as info:
            cls(1, key=2)
        assert info.value.__cause__ is error
        assert cls.__init__.__closure__[0].cell_contents is error
        assert cls.__init__.__closure__[1].cell_contents is cls
        assert cls.__bases__ == (object,)


class TestModuleAttributes:
    def test_delete_ignores_a_missing_attribute(self, probe):
        import types
        holder = types.SimpleNamespace(marker=1)
        probe.forget_marker(holder)
        probe.forget_marker(holder)
        assert not hasattr(holder, "marker")

    def test_delete_propagates_other_errors(self, probe):
        class Guarded:
            def __delattr__(self, name):
                raise PermissionError(name)

        with pytest.raises(PermissionError):
            probe.forget_marker(Guarded())


class TestFunctionObjects:
    def test_closure_cell(self, probe):
        add = probe.make_adder(10)
        assert add(5) == 15
        assert add.__qualname__ == "make_adder.<locals>.add"
        assert add.__closure__[0].cell_contents == 10

    def test_cleared_function_answers_none_and_fails_cleanly(self, probe):
        add = probe.make_adder(10)
        probe.clear_object(add)
        assert (add.__globals__, add.__doc__, add.__module__, add.__closure__) == (None,) * 4
        assert add.__name__ == "add"
        with pytest.raises(SystemError):
            add(1)

    def test_cleared_coroutine_function(self, probe):
        coro = probe.echo_after(None)
        probe.clear_object(coro)  # the frame goes without running the body
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    @pytest.mark.parametrize("call", [
        "f(a=1)", "f(a=1, c=2)", "f(c=2, a=1)", "f(1, a=1)", "f(a=1, bb=2)", "f(1, b=1, a=2)",
        "f(1, 2)", "f()", "f(1, c=3)",
    ])
    def test_positional_only_by_keyword_reported_as_the_interpreter_does(self, probe, call):
        def positional_only(a, /, *, b=None):
            return (a, b)
        positional_only.__qualname__ = "positional_only"

        messages = []
        for f in (probe.positional_only, positional_only):
            with pytest.raises(TypeError) as info:
                eval(call, {"f": f})
            messages.append(str(info.value))
        assert messages[0] == messages[1]
