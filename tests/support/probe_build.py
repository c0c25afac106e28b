"""Builds the test-only extension modules into the build tree and imports them.

They are compiled with the same toolchain and flags as the package (under the
sanitizers when the suite runs sanitized) and never installed with it.
"""

import importlib
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def build_dir() -> Path:
    return ROOT / "build" / ("tests-sanitized" if os.environ.get("ZELTO_SANITIZED") else "tests")


def build(target: str) -> Path:
    out = build_dir()
    tools = Path(sys.executable).parent
    cmake = str(tools / "cmake") if (tools / "cmake").exists() else "cmake"
    if not (out / "build.ninja").exists() and not (out / "Makefile").exists():
        flags = ["-DCMAKE_BUILD_TYPE=Release"]
        if os.environ.get("ZELTO_SANITIZED"):
            flags = ["-DCMAKE_BUILD_TYPE=Debug", "-DZELTO_SANITIZE=address,undefined"]
        generator = ["-G", "Ninja"] if (tools / "ninja").exists() else []
        subprocess.run([cmake, "-S", str(ROOT), "-B", str(out), *generator, *flags,
                        "-DZELTO_TEST_MODULES=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, capture_output=True, text=True)
    env = {**os.environ, "PATH": f"{tools}{os.pathsep}{os.environ.get('PATH', '')}"}
    result = subprocess.run([cmake, "--build", str(out), "--target", target], env=env,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"building {target} failed:\n{result.stdout}\n{result.stderr}")
    return out


def load(name: str):
    out = str(build(name))
    if out not in sys.path:
        sys.path.insert(0, out)
    return importlib.import_module(name)
