"""A native module's tests, run against the module and against its Python twin (tests/twins).

A test module makes its `impl` fixture with `implementations(...)` and runs all
its tests under it (`pytestmark = pytest.mark.usefixtures("impl")`): each test
runs twice, as `[native]` and as `[twin]`. While a test runs, the listed names
of the test module are bound to the chosen implementation (the module's own name
to the module, the others to its attributes), so a test reads the same for both.

Where the twin differs on purpose (the interpreter's exact argument errors,
annotations, how a module is loaded, reference counts of native code), a test is
marked `@native_only("why")`; its twin run is skipped with that reason.
"""

import pytest


def native_only(reason: str):
    return pytest.mark.native_only(reason=reason)


def implementations(native, twin, module_name: str, *names: str, **aliases: str):
    """An `impl` fixture over (native, twin) that binds `module_name` and `names` of the test module
    (and each alias to the attribute it names)."""

    @pytest.fixture(params=["native", "twin"])
    def impl(request, monkeypatch):
        chosen = native if request.param == "native" else twin
        if chosen is twin:
            marker = request.node.get_closest_marker("native_only")
            if marker is not None:
                pytest.skip(f"native only: {marker.kwargs['reason']}")
        monkeypatch.setattr(request.module, module_name, chosen)
        for name in names:
            monkeypatch.setattr(request.module, name, getattr(chosen, name))
        for alias, name in aliases.items():
            monkeypatch.setattr(request.module, alias, getattr(chosen, name))
        return chosen

    return impl
