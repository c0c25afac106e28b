"""Shared pieces for the local cloud tests: real request bodies and decoding."""

from __future__ import annotations

import base64
import itertools
import json
import re
import sqlite3

import httpx
from zelto_core import SignedApproval, SigningKey, py_build_approval_context_attestation

_counter = itertools.count()


def create_body(*, tool: str = "transfer_funds", arguments: dict | None = None, **overrides) -> dict:
    """A create body as the SDK would send it: a real holder key and attestation."""
    holder = SigningKey.generate()
    warrant_id = f"w-{next(_counter)}"
    arguments = {"amount": 10} if arguments is None else arguments
    args_b64, attestation = py_build_approval_context_attestation(
        holder, warrant_id, tool, arguments, holder.public_key
    )
    body = {
        "warrant_id": warrant_id,
        "tool": tool,
        "request_hash": attestation["request_hash"],
        "holder_key": holder.public_key.hex(),
        "args_canonical_cbor_b64": args_b64,
        "approval_context_attestation": dict(attestation),
        "metadata": arguments,
    }
    body.update(overrides)
    return body


def decode_signed_approval(text: str, encoding: str) -> SignedApproval:
    raw = bytes.fromhex(text) if encoding == "hex" else base64.b64decode(text, validate=True)
    return SignedApproval.from_bytes(raw)


def assert_verified_approval(entry: dict, *, request_hash_hex: str, approver_key_hex: str, encoding: str) -> None:
    approval = decode_signed_approval(entry["signed_approval"], encoding)
    assert approval.verify()
    assert approval.request_hash == bytes.fromhex(request_hash_hex)
    assert bytes(approval.approver_key).hex() == approver_key_hex
    assert entry["approver_key"] == approver_key_hex


def api_client(cloud, **kwargs) -> httpx.Client:
    """An API client holding the cloud's agent API key.

    Its approve and deny posts are sent signed in as the approver that their
    body names, as that approver would send them: an API key alone cannot
    approve. A name the cloud does not know is sent with the API key as it is.
    """
    hooks = kwargs.pop("event_hooks", {})
    hooks = {**hooks, "request": [*hooks.get("request", []), _as_named_approver(cloud)]}
    return httpx.Client(base_url=cloud.base_url, headers=cloud.auth_headers, timeout=10, event_hooks=hooks, **kwargs)


def _as_named_approver(cloud):
    def sign_in(request: httpx.Request) -> None:
        path = request.url.path
        if request.method != "POST" or not path.startswith("/v1/approvals/requests/"):
            return
        if not path.endswith(("/approve", "/deny")):
            return
        try:
            named = json.loads(request.content).get("approver")
        except (ValueError, AttributeError):
            return
        if isinstance(named, str) and cloud.approver_name(named) in cloud.approvers:
            request.headers.update(cloud.approver_headers(cloud.approver_name(named)))

    return sign_in


def approver_client(cloud, name: str, **kwargs) -> httpx.Client:
    """An API client signed in as approver ``name``."""
    return httpx.Client(base_url=cloud.base_url, headers=cloud.approver_headers(name), timeout=10, **kwargs)


def dashboard_session(cloud, name: str) -> httpx.Client:
    """A browser-like client of the dashboard, signed in as approver ``name`` through the sign-in form."""
    origin = cloud.base_url
    client = httpx.Client(base_url=origin, headers={"Origin": origin}, timeout=10)
    form = client.get("/signin").text
    answer = client.post("/signin", data={"form_token": form_token(form), "name": name,
                                          "password": cloud.approver_password(name), "next": "/approvals"})
    assert answer.status_code == 303, answer.text
    return client


def form_token(page: str) -> str:
    return re.search(r'name="form_token" value="([^"]+)"', page).group(1)


def assert_error(response: httpx.Response, status: int, code: str) -> dict:
    assert response.status_code == status, response.text
    assert response.headers["content-type"].startswith("application/json")
    error = response.json()["error"]
    assert error["code"] == code
    assert isinstance(error["message"], str) and error["message"]
    return error


def create(http: httpx.Client, **overrides) -> dict:
    """Creates a request through the API and returns the request object."""
    response = http.post("/v1/approvals/requests", json=create_body(**overrides))
    assert response.status_code == 201, response.text
    return response.json()


def assert_no_tracebacks(cloud) -> None:
    """A fault answered as 500 would show up as a logged traceback."""
    assert not [line for line in cloud.output if "Traceback" in line], "\n".join(cloud.output)


def database_dump(cloud) -> str:
    """Everything the cloud's database holds, as text: SQLite's dump, or every PostgreSQL table's rows."""
    if cloud.database is None:
        database = sqlite3.connect(f"file:{cloud.data_dir / 'localcloud.db'}?mode=ro", uri=True)
        try:
            return "\n".join(database.iterdump())
        finally:
            database.close()
    import psycopg

    with psycopg.connect(cloud.database, autocommit=True) as database:
        tables = [row[0] for row in database.execute(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public' ORDER BY 1")]
        return "\n".join(f"{table}: {row!r}" for table in tables
                         for row in database.execute(f'SELECT * FROM "{table}"'))
