"""A scripted stand-in for Zelto Cloud: a real HTTP server on a loopback port.

Tests script the answer to each method and path, then read back what the
client really sent.  Besides ordinary answers it can reset the connection or
stall until the client gives up.  It is a test double of the cloud service,
used where the real cloud cannot be reached; the HTTP exchange is real.
"""

from __future__ import annotations

import json
import socket
import ssl
import struct
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable
from urllib.parse import parse_qs, urlsplit


@dataclass
class Recorded:
    method: str
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]
    body: bytes

    def json(self) -> Any:
        return json.loads(self.body)


@dataclass
class Reply:
    status: int = 200
    body: Any = None
    raw: bytes | None = None
    action: str | None = None  # "reset" or "stall"
    headers: dict[str, str] = field(default_factory=dict)

    def content(self) -> bytes:
        if self.raw is not None:
            return self.raw
        return b"" if self.body is None else json.dumps(self.body).encode()


def error_body(code: str, message: str) -> dict:
    return {"error": {"code": code, "message": message}}


class _Handler(BaseHTTPRequestHandler):
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def _handle(self) -> None:
        url = urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        recorded = Recorded(
            method=self.command,
            path=url.path,
            query=parse_qs(url.query),
            headers={name.lower(): value for name, value in self.headers.items()},
            body=self.rfile.read(length),
        )
        stub = self.server.stub
        stub.requests.append(recorded)
        reply = stub.answer(recorded)
        if reply.action == "reset":
            self._reset()
        elif reply.action == "stall":
            stub.released.wait(30)
            self.close_connection = True
        else:
            self._send(reply)

    def _reset(self) -> None:
        # SO_LINGER with a zero timeout turns close() into a TCP reset.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def _send(self, reply: Reply) -> None:
        content = reply.content()
        self.send_response(reply.status)
        headers = {"Content-Type": "application/json", **reply.headers, "Content-Length": str(len(content))}
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(content)

    do_GET = do_POST = do_PUT = do_DELETE = _handle


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    stub: StubCloud

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # resets and stalls end connections abruptly on purpose


class StubCloud:
    """``with StubCloud() as cloud: cloud.reply("GET", "/v1/...", 200, {...})``."""

    def __init__(self, tls: ssl.SSLContext | None = None) -> None:
        self.requests: list[Recorded] = []
        self.released = threading.Event()
        self._routes: dict[tuple[str, str], Callable[[Recorded], Reply]] = {}
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.stub = self
        self._scheme = "https" if tls else "http"
        if tls:
            self._server.socket = tls.wrap_socket(self._server.socket, server_side=True)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    @property
    def base_url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"{self._scheme}://{host}:{port}"

    def reply(self, method: str, path: str, status: int = 200, body: Any = None, **options: Any) -> None:
        self._routes[(method, path)] = lambda _recorded: Reply(status, body, **options)

    def on(self, method: str, path: str, responder: Callable[[Recorded], Reply]) -> None:
        self._routes[(method, path)] = responder

    def answer(self, recorded: Recorded) -> Reply:
        responder = self._routes.get((recorded.method, recorded.path))
        if responder is None:
            return Reply(404, error_body("not_found", f"no route for {recorded.method} {recorded.path}"))
        return responder(recorded)

    def __enter__(self) -> StubCloud:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.released.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)


def request_object(request_id: str = "apr_1", status: str = "pending", **fields: Any) -> dict:
    return {"id": request_id, "status": status, "denied_reason": None, "reason": None, "responses": [], **fields}
