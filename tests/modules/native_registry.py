"""The package's extension modules, as CMakeLists.txt declares them."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def declared_modules() -> list[str]:
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"^set\(ZELTO_MODULES\s+([^)]*)\)", text, re.MULTILINE)
    assert match, "CMakeLists.txt declares no ZELTO_MODULES"
    return match.group(1).split()


def extension_modules() -> list[str]:
    """The declared modules that have sources (and so are built)."""
    return [name for name in declared_modules()
            if any((ROOT / "zelto_cloud" / name).glob("*.cpp"))]
