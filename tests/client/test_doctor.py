"""The doctor over good and bad environments: what it says, its exit status, and that its verdict on
observe-first is the one the run time reaches."""

from __future__ import annotations

import io
import os
import subprocess
import sys

import pytest
from zelto_core import SigningKey
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.doctor import doctor
from zelto_cloud.enforcement import observe_first_from_env

KEY_HEX = SigningKey.generate().to_bytes().hex()
GOOD = "zelto_lk_" + "a" * 40


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    with LocalCloud(tmp_path_factory.mktemp("doctor")) as running:
        yield running


# (environment, exit status, phrases the report must contain); "{url}" and "{key}" are the local cloud's.
CASES = {
    "nothing set": ({}, 0, ["observe-first (dry run), from the default", "runs anyway, also after a person",
                            "no approval handler is wired", "cloud: not asked"]),
    "enforce": ({"ZELTO_ENFORCEMENT": " Enforce "}, 0, ["mode: enforce"]),
    "misspelt key name": ({"ZELTO_APIKEY": GOOD}, 1, ["ZELTO_APIKEY is not read", "did you mean ZELTO_API_KEY?"]),
    "misspelt mode name": ({"ZELTO_ENFORCMENT": "enforce"}, 1, ["did you mean ZELTO_ENFORCEMENT?", "observe-first"]),
    "unrecognised mode": ({"ZELTO_ENFORCEMENT": "enforced"}, 1, ["'enforced' is not a recognised value",
                                                                 "did you mean 'enforce'?", "observe-first"]),
    "unrecognised alias": ({"ZELTO_DRY_RUN": "nope"}, 1, ["ZELTO_DRY_RUN='nope' is not a recognised value"]),
    "alias enforces": ({"ZELTO_DRY_RUN": "off"}, 0, ["mode: enforce, from ZELTO_DRY_RUN='off'"]),
    "primary wins": ({"ZELTO_ENFORCEMENT": "audit", "ZELTO_DRY_RUN": "false"}, 0, ["is not read, because"]),
    "unknown variable": ({"ZELTO_COLOUR": "red"}, 0, ["warning: ZELTO_COLOUR is not read"]),
    "quoted key": ({"ZELTO_API_KEY": f'"{GOOD}"', "ZELTO_CONTROL_PLANE_URL": "{url}"}, 1, ["surrounding blanks"]),
    "bad timeout": ({"ZELTO_APPROVAL_TIMEOUT": "5m"}, 1, ["will raise ValueError"]),
    "NaN timeout": ({"ZELTO_APPROVAL_TIMEOUT": " nan "}, 1, ["will raise ValueError"]),
    "bad signing key": ({"ZELTO_SIGNING_KEY": "abc"}, 1, ["ZELTO_SIGNING_KEY cannot be decoded"]),
    "short root key": ({"ZELTO_DASHBOARD_ROOT_KEY": "abcd"}, 1, ["decodes to 2 bytes"]),
    "dashboard as API": ({"ZELTO_API_KEY": "{key}", "ZELTO_CONTROL_PLANE_URL": "{url}/approvals"}, 1,
                         ["is the dashboard's address"]),
    "key refused": ({"ZELTO_API_KEY": GOOD, "ZELTO_CONTROL_PLANE_URL": "{url}"}, 1, ["refused the API key in ZELTO_API_KEY (401)"]),
    "all good": ({"ZELTO_API_KEY": "{key}", "ZELTO_CONTROL_PLANE_URL": "{url}", "ZELTO_SIGNING_KEY": KEY_HEX,
                  "ZELTO_ENFORCEMENT": "enforce"}, 0,
                 ["langgraph_cloud_approval calls {url}, logs approval links at {url}/approvals?request=",
                  "temporal_cloud_approval and the control plane call {url}", "accepts the API key"]),
}


@pytest.mark.parametrize("case", CASES)
def test_the_doctor_explains_the_environment(cloud, monkeypatch, case):
    template, status, phrases = CASES[case]
    fill = {"url": cloud.base_url, "key": cloud.api_key}
    env = {name: value.format(**fill) for name, value in template.items()}
    out = io.StringIO()
    assert doctor(env, out=out, timeout=5.0) == status, out.getvalue()
    report = out.getvalue()
    for phrase in phrases:
        assert phrase.format(**fill) in report, report
    assert GOOD not in report and cloud.api_key not in report  # keys are shown cut short
    # The verdict is the run time's own.
    for name in list(os.environ):
        if name.startswith("ZELTO_"):
            monkeypatch.delenv(name)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert ("mode: observe-first" in report) == observe_first_from_env()


def test_the_command_line_exits_with_the_status():
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZELTO_")}
    result = subprocess.run([sys.executable, "-m", "zelto_cloud", "doctor", "--offline"], capture_output=True,
                            text=True, timeout=60, env={**env, "ZELTO_ENFORCMENT": "enforce"})
    assert result.returncode == 1 and "did you mean ZELTO_ENFORCEMENT?" in result.stdout, result.stdout + result.stderr
