"""Every type stub beside an extension module against the built module itself:
the names it declares exist, and each function's and method's parameters
(names, kinds, defaults) match inspect.signature of the real object."""

import ast
import dataclasses
import importlib
import inspect
from pathlib import Path

import pytest

import zelto_cloud
from native_registry import extension_modules

PACKAGE = Path(zelto_cloud.__file__).parent
STUBBED = [name for name in extension_modules() if (PACKAGE / f"{name}.pyi").is_file()]

KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}
ANY_DEFAULT = object()  # the stub says `= ...`


def stub_parameters(function: ast.FunctionDef | ast.AsyncFunctionDef, skip_first: bool):
    """(name, kind, default) per parameter, as the stub declares them."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = []
    for index, arg in enumerate(positional):
        kind = KINDS["posonlyargs"] if index < len(args.posonlyargs) else KINDS["args"]
        params.append((arg.arg, kind, default_of(defaults[index])))
    if args.vararg:
        params.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append((arg.arg, KINDS["kwonlyargs"], default_of(default)))
    if args.kwarg:
        params.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, None))
    return params[1:] if skip_first else params


def default_of(node):
    if node is None:
        return None
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return ANY_DEFAULT
    return ("value", ast.literal_eval(node))


def runtime_parameters(obj):
    params = []
    for param in inspect.signature(obj).parameters.values():
        default = None if param.default is inspect.Parameter.empty else ("value", param.default)
        params.append((param.name, param.kind, default))
    return params


def same(stub, runtime):
    if len(stub) != len(runtime):
        return False
    for (name, kind, default), (r_name, r_kind, r_default) in zip(stub, runtime):
        if (name, kind) != (r_name, r_kind):
            return False
        if default is ANY_DEFAULT:
            if r_default is None:
                return False
        elif default != r_default:
            return False
    return True


def decorators(node) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def declared(tree: ast.Module):
    """(qualified name, object path, function node or None, skip_first) for every stub name."""
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, [node.name], node, False
        elif isinstance(node, ast.ClassDef):
            yield node.name, [node.name], None, False
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    marks = decorators(item)
                    yield (f"{node.name}.{item.name}", [node.name, item.name], item,
                           "classmethod" in marks)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            yield node.target.id, [node.target.id], None, False


def resolve(module, path):
    obj = module
    for part in path:
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("name", STUBBED)
def test_stub_matches_the_built_module(name):
    module = importlib.import_module(f"zelto_cloud.{name}")
    tree = ast.parse((PACKAGE / f"{name}.pyi").read_text())
    problems = []
    for qualified, path, function, skip_first in declared(tree):
        try:
            obj = resolve(module, path)
        except AttributeError:
            problems.append(f"{qualified}: declared in the stub, missing in the module")
            continue
        if function is None:
            continue
        stub = stub_parameters(function, skip_first)
        runtime = runtime_parameters(obj)
        owner = resolve(module, path[:-1]) if len(path) == 2 else None
        if path[-1] == "__init__" and "__signature__" in vars(owner):
            # A forwarding constructor that shows its real parameters: the class's signature is the contract.
            stub, runtime = stub[1:], runtime_parameters(owner)
        if not same(stub, runtime):
            problems.append(f"{qualified}: stub {stub} != runtime {runtime}")
        if isinstance(function, ast.AsyncFunctionDef) != inspect.iscoroutinefunction(obj):
            problems.append(f"{qualified}: async in one and not in the other")
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("name", STUBBED)
def test_stub_dataclasses_declare_the_runtime_fields(name):
    module = importlib.import_module(f"zelto_cloud.{name}")
    tree = ast.parse((PACKAGE / f"{name}.pyi").read_text())
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or "dataclass" not in decorators(node):
            continue
        declared_fields = [(item.target.id, item.value is not None) for item in node.body
                           if isinstance(item, ast.AnnAssign)]
        cls = getattr(module, node.name)
        runtime_fields = [(field.name, field.default is not dataclasses.MISSING)
                          for field in dataclasses.fields(cls)]
        assert declared_fields == runtime_fields, node.name


def test_the_registry_names_every_built_module():
    built = {path.name.split(".")[0] for path in PACKAGE.glob("*.so")}
    assert built == set(extension_modules())
