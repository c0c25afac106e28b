"""The extension modules as shared objects and as interpreter citizens."""

import importlib.util
import inspect
import shutil
import subprocess
from pathlib import Path

import pytest

import zelto_cloud
from native_registry import extension_modules

NATIVE = extension_modules()
# The drop-in integrations import the SDK's optional extra when loaded; the
# other modules import the SDK only when called.
LOADS_SDK = {"langgraph", "temporal"}


def shared_object(name: str) -> Path:
    spec = importlib.util.find_spec(f"zelto_cloud.{name}")
    assert spec is not None and spec.origin.endswith(".so"), spec
    return Path(spec.origin)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("name", NATIVE)
def test_exports_only_its_init_symbol(name):
    out = subprocess.run(["nm", "-D", "--defined-only", str(shared_object(name))],
                         capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    symbols -= {"_init", "_fini", "_edata", "_end", "__bss_start"}
    assert symbols == {f"PyInit_{name}"}


@pytest.mark.parametrize("name", NATIVE)
def test_imports_in_a_fresh_interpreter(fresh_python, name):
    result = fresh_python(f"import sys, zelto_cloud.{name} as m; print(m.__name__, 'zelto' in sys.modules)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [f"zelto_cloud.{name}", str(name in LOADS_SDK)]


@pytest.mark.parametrize("name", NATIVE)
def test_second_initialisation_is_an_import_error(fresh_python, name):
    code = f"""
import sys, importlib
import zelto_cloud.{name}
del sys.modules["zelto_cloud.{name}"]
try:
    importlib.import_module("zelto_cloud.{name}")
except ImportError as exc:
    print("ImportError:", exc)
"""
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    assert "ImportError: zelto_cloud." + name in result.stdout
    assert "single initialisation" in result.stdout


def test_reload_keeps_the_module(fresh_python):
    result = fresh_python("import importlib, zelto_cloud.redaction as r; f = r.redact; "
                          "importlib.reload(r); print(r.redact is f)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


def test_subinterpreters_are_refused(fresh_python):
    code = """
try:
    import _interpreters
except ImportError:
    print("skip")
    raise SystemExit
interp = _interpreters.create()
try:
    failure = _interpreters.run_string(interp, "import zelto_cloud.redaction")
except Exception as exc:
    failure = exc
print(failure if failure is not None else "imported")
"""
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "skip":
        pytest.skip("no _interpreters module")
    assert "imported" not in result.stdout
    assert "subinterpreter" in result.stdout.lower()


def test_package_import_loads_nothing_optional(fresh_python):
    result = fresh_python("import sys, zelto_cloud; "
                          "print(sorted(m for m in ('zelto', 'zelto_core', 'temporalio', 'httpx') if m in sys.modules))")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


class TestFunctionObjects:
    def test_looks_like_a_function(self):
        from zelto_cloud.redaction import redact
        assert repr(redact).startswith("<function redact at 0x")
        assert redact.__globals__ is vars(__import__("zelto_cloud.redaction").redaction)
        assert redact.__closure__ is None
        assert callable(redact) and not inspect.iscoroutinefunction(redact)
        redact.custom = 1  # functions carry a __dict__
        assert redact.__dict__["custom"] == 1
        del redact.custom

    def test_binds_as_a_method(self):
        from zelto_cloud.redaction import redact, redact_text

        class Holder:
            scrub = redact
            text = redact_text

        holder = Holder()
        assert holder.scrub() == holder  # the instance itself is the value
        assert str(inspect.signature(holder.scrub)) == "(*, key: 'str' = '') -> 'Any'"
        with pytest.raises(TypeError, match=r"^redact_text\(\) takes 1 positional argument but 2 were given$"):
            holder.text("x")
        assert Holder.__dict__["scrub"].__get__(None, Holder) is redact

    @pytest.mark.parametrize(("call", "message"), [
        (lambda f: f(), "redact() missing 1 required positional argument: 'value'"),
        (lambda f: f(1, 2, 3), "redact() takes 1 positional argument but 3 were given"),
        (lambda f: f(1, 2, key="x"), "redact() takes 1 positional argument but 2 positional arguments (and 1 keyword-only argument) were given"),
        (lambda f: f(1, value=2), "redact() got multiple values for argument 'value'"),
        (lambda f: f(1, keys="x"), "redact() got an unexpected keyword argument 'keys'. Did you mean 'key'?"),
        (lambda f: f(1, zzzzzz="x"), "redact() got an unexpected keyword argument 'zzzzzz'"),
        (lambda f: f(value=1, key=""), None),
    ])
    def test_argument_errors_match_the_interpreter(self, call, message):
        from zelto_cloud.redaction import redact

        def reference(value, *, key=""):
            return value
        reference.__qualname__ = "redact"
        for function in (redact, reference):
            if message is None:
                call(function)
                continue
            with pytest.raises(TypeError) as info:
                call(function)
            assert str(info.value) == message

    def test_attributes_are_writable_like_a_function(self):
        from zelto_cloud.redaction import redact_list
        original = redact_list.__qualname__
        try:
            redact_list.__qualname__ = "Scrubber.list"
            with pytest.raises(TypeError, match=r"^Scrubber\.list\(\) missing"):
                redact_list()
            with pytest.raises(TypeError):
                redact_list.__name__ = 5
        finally:
            redact_list.__qualname__ = original

    def test_package_exposes_stubs(self):
        package = Path(zelto_cloud.__file__).parent
        for name in NATIVE:
            assert (package / f"{name}.pyi").is_file()
        assert (package / "py.typed").is_file()
