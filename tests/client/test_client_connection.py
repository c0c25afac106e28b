"""The clients' connections: when one is used again, what a broken answer comes to, and what is
refused before it is sent."""

from __future__ import annotations

import asyncio
import datetime
import ipaddress
import json
import socket
import ssl
import threading
import time

import pytest
from cloud_stub_server import StubCloud, request_object
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from zelto_cloud._http import pools, transport
from zelto_cloud.client import ApproverCredential, AsyncZeltoCloudClient, ZeltoCloudClient, _get_call
from zelto_cloud.exceptions import ZeltoCloudError

RECORD = json.dumps({"id": "apr_1", "status": "pending", "responses": []}).encode()


def answer(body: bytes = RECORD, *, version: str = "HTTP/1.1", headers: str | None = None) -> bytes:
    head = f"Content-Length: {len(body)}\r\n" if headers is None else headers
    return f"{version} 200 OK\r\nContent-Type: application/json\r\n{head}\r\n".encode() + body


def chunked(body: bytes) -> bytes:
    middle = len(body) // 2
    chunks = f"{middle:x};note=1\r\n".encode() + body[:middle] + b"\r\n"
    chunks += f"{len(body) - middle:X}\r\n".encode() + body[middle:] + b"\r\n0\r\nX-Trailer: 1\r\n\r\n"
    return answer(chunks, headers="Transfer-Encoding: chunked\r\n")


def split(reply: bytes, at: int) -> tuple[bytes, bytes]:
    return reply[:at], reply[at:]


class RawServer:
    """Answers the requests of each connection with the raw bytes of its script, then closes it."""

    def __init__(self, *scripts: list[bytes]) -> None:
        self.scripts = list(scripts)
        self.connections = 0
        self.requests = 0
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._thread = threading.Thread(target=self._serve, daemon=True)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._listener.getsockname()[1]}"

    def _serve(self) -> None:
        while self.scripts:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                return
            self.connections += 1
            with sock:
                sock.settimeout(5)
                for reply in self.scripts.pop(0):
                    if not self._read_request(sock):
                        break
                    self.requests += 1
                    # A reply in parts is written a part at a time, with a pause between them.
                    for index, part in enumerate(reply if isinstance(reply, tuple) else (reply,)):
                        if index:
                            time.sleep(0.05)
                        sock.sendall(part)

    @staticmethod
    def _read_request(sock: socket.socket) -> bool:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return False
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = next((int(line.split(b":")[1]) for line in head.lower().split(b"\r\n")
                       if line.startswith(b"content-length:")), 0)
        while len(body) < length:
            body += sock.recv(65536)
        return True

    def __enter__(self) -> RawServer:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._listener.close()
        self._thread.join(5)


BROKE = "the connection broke (RemoteProtocolError"
APPROVE = ("approve_request", "apr_1")
READ = ("read", "apr_1")
CREATE_WITH_BAD_KEY = ("create_request", None)


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("scripts, calls, outcomes, connections", [
    # kept alive: both reads on one connection
    ([[answer(), answer()]], [READ, READ], ["apr_1", "apr_1"], 1),
    ([[chunked(RECORD), chunked(RECORD)]], [READ, READ], ["apr_1", "apr_1"], 1),
    ([[b"HTTP/1.1 100 Continue\r\n\r\n" + answer(), answer()]], [READ, READ], ["apr_1", "apr_1"], 1),
    # an answer that ends with its connection, or says it is the last, is the last on it
    ([[answer(headers="Connection: close\r\n")], [answer(headers="")]], [READ, READ], ["apr_1", "apr_1"], 2),
    ([[answer(version="HTTP/1.0")], [answer()]], [READ, READ], ["apr_1", "apr_1"], 2),
    # the server closed the idle connection: the next call takes a new one
    ([[answer()], [answer()]], [READ, READ], ["apr_1", "apr_1"], 2),
    # broken answers end the call (an approval is not tried again) and their connection
    ([[b"HTP/1.1 200 OK\r\n\r\n"], [answer()]], [APPROVE, READ], [BROKE, "apr_1"], 2),
    ([[answer(headers="Content-Length: 12x\r\n")], [answer()]], [APPROVE, READ], [BROKE, "apr_1"], 2),
    ([[answer(headers="Content-Length: 999\r\n")], [answer()]], [APPROVE, READ],
     [BROKE, "apr_1"], 2),
    ([[answer(b"1\r\nx", headers="Transfer-Encoding: chunked\r\n")], [answer()]], [APPROVE, READ],
     [BROKE, "apr_1"], 2),
    ([[answer(b"zz\r\n", headers="Transfer-Encoding: chunked\r\n")], [answer()]], [APPROVE, READ],
     [BROKE, "apr_1"], 2),
    ([[answer(headers="Bad Header\r\n")], [answer()]], [APPROVE, READ], [BROKE, "apr_1"], 2),
    ([[answer(b"2\r\nabc\r\n0\r\n\r\n", headers="Transfer-Encoding: chunked\r\n")], [answer()]], [APPROVE, READ],
     [BROKE, "apr_1"], 2),
    ([[answer(RECORD + b"extra", headers=f"Content-Length: {len(RECORD)}\r\n")], [answer()]], [READ, READ],
     ["apr_1", "apr_1"], 2),
    # a header that would end the request early is refused before anything is sent
    ([[answer()]], [CREATE_WITH_BAD_KEY, READ], [ValueError, "apr_1"], 1),
    # an answer that comes in pieces: its body after its head, its head in two, an interim answer first
    ([[split(answer(), len(answer()) - len(RECORD)), answer()]], [READ, READ], ["apr_1", "apr_1"], 1),
    ([[split(answer(), 20), split(answer(), 20)]], [READ, READ], ["apr_1", "apr_1"], 1),
    ([[(b"HTTP/1.1 100 Continue\r\n\r\n", answer()), answer()]], [READ, READ], ["apr_1", "apr_1"], 1),
    # header values beyond ASCII are read (and the connection kept); encodings are checked over repeated headers
    ([[answer(headers=f"Content-Length: {len(RECORD)}\r\nX-Note: caf\u00e9\r\n"), answer()]], [READ, READ],
     ["apr_1", "apr_1"], 1),
    ([[answer(headers=f"Content-Length: {len(RECORD)}\r\nContent-Encoding: identity\r\nContent-Encoding: gzip\r\n")]],
     [READ], ["content encoding 'identity, gzip'"], 1),
], ids=["content-length", "chunked", "interim", "connection-close", "http-1.0", "closed-while-idle", "status-line",
        "bad-length", "short-body", "short-chunk", "bad-chunk-size", "bad-header", "chunk-overrun", "past-the-length",
        "header-injection", "body-later", "head-in-two", "interim-first", "beyond-ascii", "repeated-encoding"])
def test_framing_and_reuse(kind, scripts, calls, outcomes, connections):
    with RawServer(*scripts) as server:
        if kind == "sync":
            with ZeltoCloudClient("key", base_url=server.base_url, timeout=2.0) as client:
                results = [outcome(lambda: call(client, *step)) for step in calls]
        else:
            async def run():
                async with AsyncZeltoCloudClient("key", base_url=server.base_url, timeout=2.0) as client:
                    return [await outcome_async(call(client, *step)) for step in calls]

            results = asyncio.run(run())
    for result, expected in zip(results, outcomes):
        if expected == "apr_1":
            assert isinstance(result, dict) and result["id"] == "apr_1", result
        elif expected is ValueError:
            assert isinstance(result, ValueError) and "idempotency_key must be text of printable ASCII" in str(result)
        else:
            assert isinstance(result, ZeltoCloudError) and expected in str(result), result
            assert result.status_code == (None if expected == BROKE else 200)
    assert server.connections == connections


def call(client, method: str, argument: str | None):
    if method == "approve_request":
        return client.approve_request(argument, approver=ApproverCredential("alice", "pw"))
    if method == "create_request":
        fields = {name: "x" for name in ("warrant_id", "tool", "args_canonical_cbor_b64")}
        return client.create_request(**fields, request_hash=b"\0" * 32, holder_key=b"\1" * 32,
                                     approval_context_attestation={}, idempotency_key="key\r\nX-Injected: 1")
    return client._call(_get_call(argument))  # a read alone, as the awaitable client sends one outside a batch


def outcome(run):
    try:
        return run()
    except (ZeltoCloudError, ValueError) as error:
        return error


async def outcome_async(pending):
    try:
        return await pending
    except (ZeltoCloudError, ValueError) as error:
        return error


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_tls_to_a_trusted_certificate(kind, tmp_path, monkeypatch):
    server_context, client_context = tls_pair(tmp_path)
    monkeypatch.setattr(pools, "_tls_context", client_context)
    with StubCloud(tls=server_context) as stub:
        stub.reply("GET", "/v1/approvals/requests/apr_1", 200, request_object("apr_1"))
        if kind == "sync":
            with ZeltoCloudClient("key", base_url=stub.base_url) as client:
                results = [call(client, *READ) for _ in range(2)]
        else:
            async def run():
                async with AsyncZeltoCloudClient("key", base_url=stub.base_url) as client:
                    return [await call(client, *READ) for _ in range(2)]

            results = asyncio.run(run())
    assert [r["id"] for r in results] == ["apr_1", "apr_1"]
    assert [r.headers["host"] for r in stub.requests] == [stub.base_url.removeprefix("https://")] * 2


def tls_pair(directory) -> tuple[ssl.SSLContext, ssl.SSLContext]:
    """A server context with a certificate for 127.0.0.1, and a client context that trusts it alone."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5)).not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
        .sign(key, hashes.SHA256())
    )
    cert_file, key_file = directory / "cert.pem", directory / "key.pem"
    cert_file.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(cert_file, key_file)
    return server, ssl.create_default_context(cafile=str(cert_file))


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("no_proxy, through_proxy", [("", True), ("api.zelto.invalid", False)])
def test_proxy_from_the_environment(kind, no_proxy, through_proxy, monkeypatch):
    with StubCloud() as proxy:
        proxy.reply("GET", "/v1/approvals/requests/apr_1", 200, request_object("apr_1"))
        for name in ("HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy", "no_proxy"):
            monkeypatch.delenv(name, raising=False)
        monkeypatch.setenv("HTTP_PROXY", proxy.base_url)
        monkeypatch.setenv("NO_PROXY", no_proxy)
        base_url = "http://api.zelto.invalid:9"  # resolves nowhere: only the proxy can answer
        if kind == "sync":
            with ZeltoCloudClient("key", base_url=base_url, timeout=2.0) as client:
                result = outcome(lambda: call(client, *READ))
        else:
            async def run():
                async with AsyncZeltoCloudClient("key", base_url=base_url, timeout=2.0) as client:
                    return await outcome_async(call(client, *READ))

            result = asyncio.run(run())
    if through_proxy:
        assert result["id"] == "apr_1"
        assert [(r.path, r.headers["host"]) for r in proxy.requests] == [("/v1/approvals/requests/apr_1",
                                                                          "api.zelto.invalid:9")]
    else:
        assert isinstance(result, ZeltoCloudError) and proxy.requests == []


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_exchanges_in_flight_are_bounded_and_given_back(kind, monkeypatch):
    """Two stalled reads fill a pool of two; a third call gives up at its deadline without being sent;
    once the stalled reads time out, their places serve new calls."""
    monkeypatch.setattr(transport, "MAX_IN_FLIGHT", 2)
    slow = ("read", "slow")
    with StubCloud() as stub:
        stub.reply("GET", "/v1/approvals/requests/slow", action="stall")
        stub.reply("GET", "/v1/approvals/requests/apr_1", 200, request_object("apr_1"))

        def both_sent() -> bool:
            return len(stub.requests) >= 2

        if kind == "sync":
            with ZeltoCloudClient("key", base_url=stub.base_url, timeout=1.5) as client, \
                    ZeltoCloudClient("key", base_url=stub.base_url, timeout=0.3) as hasty:
                stalled: list = []
                threads = [threading.Thread(target=lambda: stalled.append(outcome(lambda: call(client, *slow))))
                           for _ in range(2)]
                for thread in threads:
                    thread.start()
                while not both_sent():
                    time.sleep(0.01)
                waited = outcome(lambda: call(hasty, *slow))
                for thread in threads:
                    thread.join(5)
                after = [outcome(lambda: call(client, *READ)) for _ in range(3)]
        else:
            async def run():
                async with AsyncZeltoCloudClient("key", base_url=stub.base_url, timeout=1.5) as client, \
                        AsyncZeltoCloudClient("key", base_url=stub.base_url, timeout=0.3) as hasty:
                    tasks = [asyncio.ensure_future(outcome_async(call(client, *slow))) for _ in range(2)]
                    while not both_sent():
                        await asyncio.sleep(0.01)
                    waited = await outcome_async(call(hasty, *slow))
                    stalled = await asyncio.gather(*tasks)
                    return stalled, waited, [await outcome_async(call(client, *READ)) for _ in range(3)]

            stalled, waited, after = asyncio.run(run())
        sent = [r.path for r in stub.requests]
    assert all(isinstance(r, ZeltoCloudError) for r in [*stalled, waited]) and len(stalled) == 2
    assert sent.count("/v1/approvals/requests/slow") == 2
    assert [r["id"] for r in after] == ["apr_1"] * 3



@pytest.mark.parametrize("kind", ["sync", "async"])
def test_requests_of_one_pool_keep_their_own_key_and_body(kind):
    """Clients of one base URL share a pool, and requests of the same shape share their built parts:
    each request still carries its own client's key, its own body and that body's length."""
    steps = [("key-a", None), ("key-b", None), ("key-a", None), ("key-a", {"n": 1}), ("key-b", {"n": 22}),
             ("key-a", {"n": 3}), ("key-b", None), ("key-a", {"n": 1})]
    with StubCloud() as stub:
        stub.reply("GET", "/v1/approvals/requests/apr_1", 200, request_object("apr_1"))
        stub.reply("POST", "/v1/receipts", 200, {"id": "rcp_1"})
        if kind == "sync":
            with ZeltoCloudClient("key-a", base_url=stub.base_url) as a, \
                    ZeltoCloudClient("key-b", base_url=stub.base_url) as b:
                for key, receipt in steps:
                    client = a if key == "key-a" else b
                    client.send_receipt(receipt) if receipt else call(client, *READ)
        else:
            async def run():
                async with AsyncZeltoCloudClient("key-a", base_url=stub.base_url) as a, \
                        AsyncZeltoCloudClient("key-b", base_url=stub.base_url) as b:
                    for key, receipt in steps:
                        client = a if key == "key-a" else b
                        await (client.send_receipt(receipt) if receipt else call(client, *READ))

            asyncio.run(run())
    seen = [(r.headers["authorization"], r.json()["receipt"] if r.body else None,
             int(r.headers.get("content-length", 0)) == len(r.body)) for r in stub.requests]
    assert seen == [(f"Bearer {key}", receipt, True) for key, receipt in steps]


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("setting, value, connections", [
    (None, None, 1),  # kept alive: the second read goes on the first connection
    ("KEEPALIVE_SECONDS", -1.0, 2),  # idle past its keep-alive: closed, not used
    ("MAX_IDLE", 0, 2),  # no idle connection kept
], ids=["kept", "expired", "none-kept"])
def test_idle_connections_are_kept_within_their_bounds(kind, setting, value, connections, monkeypatch):
    if setting is not None:
        monkeypatch.setattr(transport, setting, value)
    with RawServer([answer(), answer()], [answer()]) as server:
        if kind == "sync":
            with ZeltoCloudClient("key", base_url=server.base_url, timeout=2.0) as client:
                results = [call(client, *READ) for _ in range(2)]
        else:
            async def run():
                async with AsyncZeltoCloudClient("key", base_url=server.base_url, timeout=2.0) as client:
                    return [await call(client, *READ) for _ in range(2)]

            results = asyncio.run(run())
    assert [r["id"] for r in results] == ["apr_1", "apr_1"]
    assert server.connections == connections
