import pytest

from zelto_cloud import enforcement
from zelto_cloud.enforcement import observe_first_from_env


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    monkeypatch.delenv("ZELTO_ENFORCEMENT", raising=False)
    monkeypatch.delenv("ZELTO_DRY_RUN", raising=False)
    return monkeypatch


@pytest.mark.parametrize(
    ("enforcement_value", "dry_run", "expected"),
    [
        (None, None, True),
        ("  Enforce ", None, False),
        ("STRICT", None, False),
        ("enforcing", "true", False),
        ("Audit", None, True),
        ("observe", "false", True),  # the primary variable wins
        ("enforce", "true", False),
        ("sometimes", "off", False),  # unrecognised falls through to the alias
        ("", "0", False),
        (None, " NO ", False),
        (None, "1", True),
        (None, "maybe", True),
        ("", "", True),
    ],
)
def test_contract(clean_env, enforcement_value, dry_run, expected):
    if enforcement_value is not None:
        clean_env.setenv("ZELTO_ENFORCEMENT", enforcement_value)
    if dry_run is not None:
        clean_env.setenv("ZELTO_DRY_RUN", dry_run)
    assert observe_first_from_env() is expected


def test_environment_is_read_at_every_call(clean_env):
    assert observe_first_from_env() is True
    clean_env.setenv("ZELTO_DRY_RUN", "false")
    assert observe_first_from_env() is False
    clean_env.setenv("ZELTO_ENFORCEMENT", "observe")
    assert observe_first_from_env() is True


def test_variable_names_come_from_module_globals(clean_env):
    clean_env.setenv("OTHER_MODE", "enforce")
    clean_env.setattr(enforcement, "_ENV_ENFORCEMENT", "OTHER_MODE")
    assert observe_first_from_env() is False


def test_os_is_looked_up_on_the_module(clean_env):
    class FakeOs:
        environ = {"ZELTO_ENFORCEMENT": "strict"}

    clean_env.setattr(enforcement, "os", FakeOs)
    assert observe_first_from_env() is False


def test_surface():
    assert enforcement._ENV_ENFORCEMENT == "ZELTO_ENFORCEMENT"
    assert enforcement._ENV_DRY_RUN == "ZELTO_DRY_RUN"
    assert not hasattr(enforcement, "__all__")
    assert "ZELTO_DRY_RUN" in enforcement.__doc__ and "dry_run=" in enforcement.__doc__
    assert observe_first_from_env.__annotations__ == {"return": "bool"}
    assert "observe first" in observe_first_from_env.__doc__
    with pytest.raises(TypeError, match=r"^observe_first_from_env\(\) takes 0 positional arguments but 1 was given$"):
        observe_first_from_env(1)
