"""The package's top-level names: typed for a type checker, and listed only when they exist."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

import zelto_cloud

GOOD_PROGRAM = """
    from zelto import ApprovalDenied, Warrant, guard
    from zelto_core import SigningKey

    from zelto_cloud import ApproverCredential, ZeltoCloudClient, ZeltoCloudError, cloud_approval

    holder = SigningKey.generate()
    warrant = Warrant(id="w-1", holder_key=holder.public_key, require_approval=True)
    handler = cloud_approval("zelto_lk_key", base_url="http://127.0.0.1:8787", signing_key=holder, timeout=60.0)

    @guard(warrant=warrant, approval_handler=handler)
    def transfer_funds(amount: int, to: str) -> str:
        return f"sent {amount} to {to}"

    def decide(client: ZeltoCloudClient, request_id: str) -> str:
        answer: dict = client.approve_request(request_id, approver=ApproverCredential("alice", "a password"))
        return str(answer["status"])

    try:
        transfer_funds(amount=1, to="x")
    except (ApprovalDenied, ZeltoCloudError) as refusal:
        print(refusal)
"""


def mypy(tmp_path, program: str) -> subprocess.CompletedProcess:
    path = tmp_path / "user_program.py"
    path.write_text(textwrap.dedent(program))
    # Run away from the repository root, where the source folder would shadow the installed package.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict-optional", "--no-incremental", "--cache-dir=/dev/null", str(path)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )


def test_a_correct_program_type_checks(tmp_path):
    pytest.importorskip("mypy")
    result = mypy(tmp_path, GOOD_PROGRAM)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("wrong_line,complaint", [
    ('cloud_approval(api_key=5)', 'incompatible type "int"'),
    ('cloud_approval("k", poll_interval="fast")', 'incompatible type "str"'),
    ('cloud_approval("k", polling=2.0)', 'Unexpected keyword argument "polling"'),
    ('ZeltoCloudClient("k").approve_request("apr_1", approver="alice")', 'incompatible type "str"'),
    ('from zelto_cloud import no_such_name', 'no_such_name'),
    ('from zelto_cloud.langgraph import ZeltoMiddleware; ZeltoMiddleware(warant=None)', 'Unexpected keyword argument "warant"'),
    ('from zelto_cloud.langgraph import ZeltoToolNode; ZeltoToolNode([], dry_run="yes")', 'incompatible type "str"'),
])
def test_a_wrong_call_fails_the_type_check(tmp_path, wrong_line, complaint):
    pytest.importorskip("mypy")
    program = "from zelto_cloud import ZeltoCloudClient, cloud_approval\n" + wrong_line + "\n"
    result = mypy(tmp_path, program)
    assert result.returncode == 1 and "user_program.py:2" in result.stdout and complaint in result.stdout, result.stdout


def test_all_and_dir_name_only_what_exists():
    listed = zelto_cloud.__all__
    assert "cloud_approval" in listed and "ApproverCredential" in listed
    for name in listed:
        assert getattr(zelto_cloud, name) is not None
    assert set(dir(zelto_cloud)) == {*listed, "__version__"}
    for name in ("async_cloud_approval", "temporal_cloud_approval"):
        assert (name in listed) == hasattr(zelto_cloud.approval, name)
    with pytest.raises(AttributeError, match="no_such_name"):
        zelto_cloud.no_such_name  # noqa: B018


def test_star_import_gives_exactly_the_listed_names(fresh_python):
    result = fresh_python(
        "import zelto_cloud\nnamespace = {}\nexec('from zelto_cloud import *', namespace)\n"
        "namespace.pop('__builtins__')\nassert sorted(namespace) == sorted(zelto_cloud.__all__), namespace\n"
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(("built", "cause"), [
    (None, AttributeError),  # only the C++ sources' folder: a namespace package
    (b"not a shared library", ImportError),  # a broken build: the loader's own error is the cause
])
def test_a_checkout_without_built_modules_says_how_to_fix_it(tmp_path, built, cause):
    import shutil
    from pathlib import Path

    package = tmp_path / "zelto_cloud"
    shutil.copytree(Path(zelto_cloud.__file__).parent, package, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    (package / "approval").mkdir(exist_ok=True)
    if built is not None:
        (package / "approval.cpython-313-x86_64-linux-gnu.so").write_bytes(built)
    program = ("try:\n    from zelto_cloud import cloud_approval\nexcept ImportError as exc:\n"
               "    print(type(exc.__cause__).__name__, exc)\n")
    result = subprocess.run([sys.executable, "-c", program], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(cause.__name__) and "make install" in result.stdout, result.stdout
    assert str(package) in result.stdout
