"""Names handed to the interpreter layer must be literals: it interns them by
the text's address, so anything else must fail to compile."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
COMPILER = shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")


def compiles(tmp_path, body: str) -> bool:
    return source_compiles(tmp_path, '#include "support/call.hpp"\n#include <string>\nusing namespace zelto;\n'
                           "namespace zelto { constexpr Literal table[] = {\"a\", \"b\"}; }\n"
                           f"void use(PyObject* obj, const char* runtime, std::string text, size_t i) {{\n"
                           f"    (void)runtime; (void)text; (void)i;\n    {body};\n}}\n")


def source_compiles(tmp_path, text: str) -> bool:
    source = tmp_path / "names.cpp"
    source.write_text(text)
    result = subprocess.run([COMPILER, "-std=c++20", "-fsyntax-only", f"-I{ROOT}",
                             f"-I{sysconfig.get_paths()['include']}", str(source)],
                            capture_output=True, text=True)
    return result.returncode == 0


def test_literals_and_literal_tables_are_names(tmp_path):
    assert compiles(tmp_path, 'getattr(obj, "name"); getattr(obj, table[i]); '
                              'call_method(obj, "close", kw("timeout", 1)); import_from("os", "path")')


@pytest.mark.parametrize("body", [
    "getattr(obj, runtime)",
    "call_method(obj, text.c_str())",
    "kw(text.c_str(), 1)",
])
def test_other_text_does_not_compile_as_a_name(tmp_path, body):
    assert not compiles(tmp_path, body)


# Argument names are tied to the parameter list at compile time: an enum out
# of step with it (order, count, spelling) must not build.
@pytest.mark.parametrize("names, builds", [
    ("client, explicit_, timeout", True),
    ("explicit_, client, timeout", False),
    ("client, explicit_", False),
    ("client, explicit_, timeout, extra", False),
    ("client, explicit_, timeouts", False),
])
def test_argument_names_must_match_the_parameters(tmp_path, names, builds):
    assert source_compiles(tmp_path, '#include "support/function.hpp"\nusing namespace zelto;\n'
                           f"ZELTO_ARGS(PollArg, {names});\n"
                           'constexpr FunctionDef poll_def{.name = "poll", .params = {{.name = "client"}, '
                           '{.name = "explicit"}, {.name = "timeout", .kind = Kind::keyword_only}}};\n'
                           "static_assert(args_match<PollArg>(poll_def));\n") is builds
