"""Explain what the ``ZELTO_`` environment will make the integrations do.

    python -m zelto_cloud doctor

prints the effective configuration and what it means: observe-first or
enforce, which approval handler the LangGraph classes and the Temporal plugin
configuration will wire in and where it calls, variables that are almost a
known name (``ZELTO_APIKEY``), values that are silently ignored at run time
(``ZELTO_ENFORCEMENT=enforced``), keys that will not parse, and whether the
cloud accepts the API key.  The exit status is 1 when something would fail
open or fail to start unexpectedly, else 0.

The run-time rules do not change: an unrecognised value still falls through
to observe-first there; this is where it is explained.
"""

from __future__ import annotations

import base64
import binascii
import difflib
import ipaddress
import math
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TextIO
from urllib.parse import urlsplit

from .client import DEFAULT_BASE_URL, DEFAULT_DASHBOARD_URL

__all__ = ["doctor", "Report", "main"]

KNOWN_VARIABLES = {
    "ZELTO_ENFORCEMENT": "observe (default) or enforce",
    "ZELTO_DRY_RUN": "alias of ZELTO_ENFORCEMENT: true observes, false enforces",
    "ZELTO_API_KEY": "the agent's or worker's cloud API key; set, the cloud handlers are wired in",
    "ZELTO_CONTROL_PLANE_URL": "the cloud API's address",
    "ZELTO_DASHBOARD_URL": "the dashboard's address, for approval links",
    "ZELTO_APPROVAL_TIMEOUT": "seconds the LangGraph handler waits for a decision (default 900)",
    "ZELTO_DASHBOARD_ROOT_KEY": "hex public key the Temporal worker trusts for approvals",
    "ZELTO_AUTHORIZER_NAME": "the Temporal worker's name at the control plane",
    "ZELTO_ISSUER_KEY": "the Temporal worker's signing key (hex or base64 of 32 bytes)",
    "ZELTO_SIGNING_KEY": "the Temporal worker's signing key when ZELTO_ISSUER_KEY is unset",
    "ZELTO_WORKER_SECRET_ID": "Secret Manager secret of the legacy worker set-up",
    "ZELTO_CONNECT_TOKEN": "one-time token that claims the worker's agent at start",
    "GCP_PROJECT": "Google Cloud project of the legacy worker set-up",
    "ZELTO_LOCALCLOUD_DATA": "the local cloud's data folder",
}
SECRETS = {"ZELTO_API_KEY", "ZELTO_ISSUER_KEY", "ZELTO_SIGNING_KEY", "ZELTO_CONNECT_TOKEN"}
ENFORCE_WORDS = ("enforce", "enforcing", "strict")
OBSERVE_WORDS = ("observe", "observing", "audit")
FALSE_WORDS = ("0", "false", "no", "off")
TRUE_WORDS = ("1", "true", "yes", "on")


@dataclass
class Report:
    """What the doctor found: lines to print, and the problems among them."""

    lines: list[str] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)

    def say(self, text: str) -> None:
        self.lines.append(text)

    def warn(self, text: str) -> None:
        self.lines.append(f"warning: {text}")

    def problem(self, text: str) -> None:
        self.lines.append(f"PROBLEM: {text}")
        self.problems.append(text)

    @property
    def status(self) -> int:
        return 1 if self.problems else 0


def _shown(name: str, value: str) -> str:
    if name in SECRETS and len(value) > 12:
        return f"{value[:12]}... ({len(value)} characters)"
    return repr(value)


def _words(value: str) -> str:
    return value.strip().lower()


def _misspelt_names(env: Mapping[str, str], report: Report) -> None:
    zelto_names = [name for name in KNOWN_VARIABLES if name.startswith("ZELTO_")]
    for name in sorted(env):
        upper = name.upper()
        if name in KNOWN_VARIABLES or difflib.SequenceMatcher(None, upper[:6], "ZELTO_").ratio() < 0.6:
            continue
        near = difflib.get_close_matches(upper, zelto_names, n=1, cutoff=0.8)
        if near:
            report.problem(f"{name} is not read by zelto_cloud; did you mean {near[0]}?"
                           f" ({near[0]}: {KNOWN_VARIABLES[near[0]]})")
        elif upper.startswith("ZELTO_"):
            report.warn(f"{name} is not read by zelto_cloud")


def _mode(env: Mapping[str, str], report: Report) -> bool:
    """Reports observe-first or enforce as the run time decides it; True for observe-first."""
    enforcement = env.get("ZELTO_ENFORCEMENT", "")
    dry_run = env.get("ZELTO_DRY_RUN", "")
    word = _words(enforcement)
    if word in ENFORCE_WORDS or word in OBSERVE_WORDS:
        if _words(dry_run):
            report.say(f"note: ZELTO_DRY_RUN={dry_run!r} is not read, because ZELTO_ENFORCEMENT decides")
        observe = word in OBSERVE_WORDS
        origin = f"ZELTO_ENFORCEMENT={enforcement!r}"
    else:
        if word:
            near = difflib.get_close_matches(word, ENFORCE_WORDS + OBSERVE_WORDS, n=1, cutoff=0.6)
            hint = f"; did you mean {near[0]!r}?" if near else ""
            report.problem(f"ZELTO_ENFORCEMENT={enforcement!r} is not a recognised value (enforce, enforcing, strict;"
                           f" observe, observing, audit): it is ignored at run time{hint}")
        alias = _words(dry_run)
        if alias and alias not in FALSE_WORDS + TRUE_WORDS:
            report.problem(f"ZELTO_DRY_RUN={dry_run!r} is not a recognised value (1, true, yes, on; 0, false, no,"
                           " off): it is ignored at run time, which means observe-first")
        observe = alias not in FALSE_WORDS
        origin = f"ZELTO_DRY_RUN={dry_run!r}" if alias in FALSE_WORDS + TRUE_WORDS else "the default"
    if observe:
        report.say(f"mode: observe-first (dry run), from {origin}. Tool calls that the warrant denies are logged"
                   " and emit receipts, then the tool runs anyway, also after a person has clicked Deny on its"
                   " approval request. Set ZELTO_ENFORCEMENT=enforce to fail closed (an explicit dry_run= argument"
                   " still wins).")
    else:
        report.say(f"mode: enforce, from {origin}. Calls without a valid warrant or approval are blocked"
                   " (an explicit dry_run= argument still wins).")
    return observe


def _check_url(name: str, url: str, report: Report) -> None:
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        report.problem(f"{name}={url!r} is not an http(s) address")
        return
    if parts.path.rstrip("/").endswith(("/approvals", "/signin")) and name == "ZELTO_CONTROL_PLANE_URL":
        report.problem(f"{name}={url!r} is the dashboard's address; give the API's base address"
                       f" ({parts.scheme}://{parts.netloc})")
    if parts.scheme == "http" and not _loopback(parts.hostname):
        report.warn(f"{name}={url!r} is plain HTTP to another machine: the API key crosses the network unencrypted")


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _check_api_key(key: str, report: Report) -> None:
    if key != key.strip() or key[:1] in "'\"" or key[-1:] in "'\"":
        report.problem("ZELTO_API_KEY has surrounding blanks or quotes, which are sent as part of the key")
    elif not all("!" <= c <= "~" for c in key) or len(key) < 16:
        report.problem("ZELTO_API_KEY is not an API key (16 or more printable characters without spaces)")
    elif not key.startswith("zelto_"):
        report.warn("ZELTO_API_KEY does not start with 'zelto_' as Zelto API keys do")


def _key_bytes(text: str) -> bytes | None:
    """The key as the Temporal configuration decodes it (hex, else base64), or None."""
    text = text.strip()
    try:
        return bytes.fromhex(text)
    except ValueError:
        pass
    try:
        return base64.b64decode(text)
    except (binascii.Error, ValueError):
        return None


def _check_key(name: str, value: str, report: Report, *, hex_only: bool = False) -> bool:
    raw = None
    if hex_only:
        try:
            raw = bytes.fromhex(value)
        except ValueError:
            pass
    else:
        raw = _key_bytes(value)
    if raw is None or len(raw) != 32:
        form = "64 hex digits" if hex_only else "64 hex digits (or the base64 of 32 bytes)"
        got = "cannot be decoded" if raw is None else f"decodes to {len(raw)} bytes"
        report.problem(f"{name} {got}; a key is {form}, e.g. SigningKey.to_bytes().hex()")
        return False
    return True


def _langgraph(env: Mapping[str, str], api_key: str, report: Report) -> None:
    url = env.get("ZELTO_CONTROL_PLANE_URL", "")
    base = url or DEFAULT_BASE_URL
    dashboard = env.get("ZELTO_DASHBOARD_URL", "") or (url if url and url != DEFAULT_BASE_URL else DEFAULT_DASHBOARD_URL)
    timeout = env.get("ZELTO_APPROVAL_TIMEOUT", "900")
    try:
        seconds = float(timeout)
        if math.isnan(seconds):
            raise ValueError("NaN")  # refused at run time like any text: it would wait for ever
    except ValueError:
        report.problem(f"ZELTO_APPROVAL_TIMEOUT={timeout!r} is not a number of seconds: constructing ZeltoMiddleware"
                       " or ZeltoToolNode will raise ValueError")
        seconds = None
    if not api_key:
        report.say("LangGraph (zelto_cloud.langgraph.ZeltoMiddleware / ZeltoToolNode): no approval handler is wired"
                   " (ZELTO_API_KEY is unset); the classes behave like the SDK's: a gate that needs approval fails"
                   " with 'no approval handler is installed', or, observe-first, the tool runs anyway. Set"
                   " ZELTO_API_KEY to have people approve through the cloud")
        return
    wait = f"waits up to {seconds:g} s" if seconds is not None else "cannot be made"
    report.say(f"LangGraph (ZeltoMiddleware / ZeltoToolNode): langgraph_cloud_approval calls {base}, logs approval"
               f" links at {dashboard.rstrip('/')}/approvals?request=..., {wait} for a decision")


def _temporal(env: Mapping[str, str], api_key: str, report: Report) -> None:
    url = env.get("ZELTO_CONTROL_PLANE_URL", "") or DEFAULT_BASE_URL
    key_name = "ZELTO_ISSUER_KEY" if env.get("ZELTO_ISSUER_KEY") else "ZELTO_SIGNING_KEY"
    key_text = env.get(key_name, "")
    has_key = bool(key_text) and _check_key(key_name, key_text, report)
    root = env.get("ZELTO_DASHBOARD_ROOT_KEY", "")
    if root and _check_key("ZELTO_DASHBOARD_ROOT_KEY", root, report, hex_only=True):
        report.say("Temporal: approvals signed by the dashboard root key are trusted")
    if not api_key:
        report.say("Temporal (zelto_cloud.temporal.ZeltoPluginConfig.from_env): local mode, no cloud handler"
                   " (ZELTO_API_KEY is unset)")
    elif not key_text:
        report.warn("Temporal (ZeltoPluginConfig.from_env): ZELTO_API_KEY is set but neither ZELTO_ISSUER_KEY nor"
                    " ZELTO_SIGNING_KEY, so no approval handler or control plane is wired (a LangGraph agent does"
                    " not need one)")
    elif has_key:
        report.say(f"Temporal (ZeltoPluginConfig.from_env): temporal_cloud_approval and the control plane call {url},"
                   f" signing with the key in {key_name}")
    if env.get("ZELTO_CONNECT_TOKEN"):
        report.say("Temporal: ZELTO_CONNECT_TOKEN is set; from_env claims the worker's agent with it")


def _ask_cloud(env: Mapping[str, str], api_key: str, report: Report, timeout: float) -> None:
    url = env.get("ZELTO_CONTROL_PLANE_URL", "") or DEFAULT_BASE_URL
    if not api_key:
        report.say("cloud: not asked (no ZELTO_API_KEY)")
        return
    from .client import ZeltoCloudClient
    from .exceptions import ZeltoCloudError

    try:
        with ZeltoCloudClient(api_key, base_url=url, timeout=timeout) as client:
            client.list_requests(limit=1)
    except ZeltoCloudError as failure:
        if failure.status_code == 401:
            report.problem(f"cloud: {url} refused the API key in ZELTO_API_KEY (401)")
        else:
            report.problem(f"cloud: {failure}")
        return
    except (TypeError, ValueError) as failure:
        report.problem(f"cloud: cannot call {url!r}: {failure}")
        return
    report.say(f"cloud: {url} answered and accepts the API key")


def doctor(environ: Mapping[str, str] | None = None, *, out: TextIO | None = None, ask_cloud: bool = True,
           timeout: float = 5.0) -> int:
    """Print what the environment configures and what it means; 1 when something is wrong, else 0.

    Args:
        environ: the variables to read; the process environment by default.
        out: where to print; standard output by default.
        ask_cloud: whether to call the cloud to check the address and the API key.
        timeout: seconds the one call to the cloud may take.
    """
    env = dict(os.environ if environ is None else environ)
    out = sys.stdout if out is None else out
    report = Report()
    report.say("zelto_cloud doctor: the ZELTO_ environment and what it means")
    for name in KNOWN_VARIABLES:
        if name in env:
            report.say(f"  {name}={_shown(name, env[name])}")
    _misspelt_names(env, report)
    _mode(env, report)
    api_key = env.get("ZELTO_API_KEY", "")
    if api_key:
        _check_api_key(api_key, report)
    for name in ("ZELTO_CONTROL_PLANE_URL", "ZELTO_DASHBOARD_URL"):
        if env.get(name):
            _check_url(name, env[name], report)
    _langgraph(env, api_key, report)
    _temporal(env, api_key, report)
    if ask_cloud:
        _ask_cloud(env, api_key, report, timeout)
    count = len(report.problems)
    report.say(f"{count} problem{'s' if count != 1 else ''} found" if count else "no problems found")
    print("\n".join(report.lines), file=out, flush=True)
    return report.status


def main(argv: list[str] | None = None) -> int:
    """``python -m zelto_cloud doctor [--offline]``."""
    import argparse

    parser = argparse.ArgumentParser(prog="python -m zelto_cloud", description="Zelto Cloud tools.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("doctor", help="explain the ZELTO_ environment and check it against the cloud")
    check.add_argument("--offline", action="store_true", help="do not call the cloud")
    check.add_argument("--timeout", type=float, default=5.0, help="seconds the call to the cloud may take")
    args = parser.parse_args(argv)
    return doctor(ask_cloud=not args.offline, timeout=args.timeout)
