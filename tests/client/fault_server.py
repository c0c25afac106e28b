"""A loopback HTTP server that misbehaves on purpose, one scripted step per request.

    with FaultServer(Reset(), Answer(200, body)) as server:
        ...  # the first connection is reset, every later one answered

Each connection carries one exchange and is closed after it. Steps are used
in order; the last one repeats. ``Forward`` passes the request on to a real
server (the local cloud) and can drop its reply, as a broken proxy would.
Everything stops when the block is left: hanging steps wait at most 30 s.

Unless ``batch_reads`` is set, the server is a cloud without batch reads: it
answers them 405 without using a step, so the awaitable client's reads are
scripted like the blocking client's.
"""

from __future__ import annotations

import http.client
import json
import socket
import socketserver
import struct
import threading
from dataclasses import dataclass, field
from urllib.parse import urlsplit

BATCH_PATH = "/v1/approvals/requests/batch-read"


@dataclass
class Seen:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes


@dataclass
class Answer:
    status: int = 200
    body: bytes | dict | list = b""
    headers: dict[str, str] = field(default_factory=dict)
    trickle: float | None = None  # seconds per byte
    trickle_from: int = 0  # bytes sent at once before the trickle starts
    declare_length: bool = True
    hang_after: int | None = None  # send this many bytes, then nothing more

    def payload(self) -> bytes:
        body = self.body if isinstance(self.body, bytes) else json.dumps(self.body).encode()
        head = [f"HTTP/1.1 {self.status} {http.client.responses.get(self.status, 'Whatever')}"]
        headers = {"Content-Type": "application/json", "Connection": "close", **self.headers}
        if self.declare_length:
            headers["Content-Length"] = str(len(body))
        head += [f"{name}: {value}" for name, value in headers.items()]
        return ("\r\n".join(head) + "\r\n\r\n").encode() + body


@dataclass
class Reset:
    read_first: bool = True  # False: reset before the request is read


@dataclass
class Hang:
    pass


@dataclass
class Forward:
    drop_reply: bool = False


class _Handler(socketserver.BaseRequestHandler):
    server: _Server

    def handle(self) -> None:
        owner = self.server.owner
        step = owner.next_step()
        sock: socket.socket = self.request
        sock.settimeout(10)
        if isinstance(step, Reset) and not step.read_first:
            return self._reset(sock)
        seen = self._read_request(sock)
        if seen is None:
            return
        if seen.path == BATCH_PATH and not owner.batch_reads:
            owner.give_back(step)
            return self._answer(sock, Answer(405, {"error": {"code": "method_not_allowed", "message": "no"}}))
        owner.seen.append(seen)
        if isinstance(step, Reset):
            self._reset(sock)
        elif isinstance(step, Hang):
            owner.stopping.wait(30)
        elif isinstance(step, Forward):
            self._forward(sock, seen, step)
        else:
            self._answer(sock, step)

    def _read_request(self, sock: socket.socket) -> Seen | None:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return None
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        method, target, _ = lines[0].split(" ", 2)
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length") or 0)
        while len(body) < length:
            chunk = sock.recv(65536)
            if not chunk:
                return None
            body += chunk
        return Seen(method, target, headers, body)

    def _reset(self, sock: socket.socket) -> None:
        # SO_LINGER with a zero timeout turns close() into a TCP reset.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def _answer(self, sock: socket.socket, answer: Answer) -> None:
        payload = answer.payload()
        owner = self.server.owner
        try:
            if answer.hang_after is not None:
                sock.sendall(payload[: answer.hang_after])
                owner.stopping.wait(30)
                return
            if answer.trickle is None:
                sock.sendall(payload)
                return
            sock.sendall(payload[: answer.trickle_from])
            for index in range(answer.trickle_from, len(payload)):
                if owner.stopping.wait(answer.trickle):
                    return
                sock.sendall(payload[index : index + 1])
        except OSError:
            owner.send_failures += 1

    def _forward(self, sock: socket.socket, seen: Seen, step: Forward) -> None:
        upstream = urlsplit(self.server.owner.upstream)
        connection = http.client.HTTPConnection(upstream.hostname, upstream.port, timeout=10)
        try:
            headers = {k: v for k, v in seen.headers.items() if k not in ("host", "connection")}
            connection.request(seen.method, seen.path, body=seen.body, headers=headers)
            reply = connection.getresponse()
            status, body = reply.status, reply.read()
            content_type = reply.getheader("content-type", "application/json")
        finally:
            connection.close()
        if step.drop_reply:
            return self._reset(sock)
        self._answer(sock, Answer(status, body, headers={"Content-Type": content_type}))


class _Server(socketserver.ThreadingTCPServer):
    block_on_close = True  # server_close() joins the handler threads
    allow_reuse_address = True
    owner: FaultServer

    def handle_error(self, request, client_address) -> None:
        pass  # resets and hangs end connections abruptly on purpose


class FaultServer:
    def __init__(self, *steps, upstream: str | None = None, batch_reads: bool = False) -> None:
        self.steps = list(steps) or [Answer()]
        self.upstream = upstream
        self.batch_reads = batch_reads
        self.seen: list[Seen] = []
        self.connections = 0
        self.send_failures = 0
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    @property
    def base_url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def next_step(self):
        with self._lock:
            self.connections += 1
            return self.steps.pop(0) if len(self.steps) > 1 else self.steps[0]

    def give_back(self, step) -> None:
        """Puts back the step taken for a batch read that this server does not serve."""
        with self._lock:
            self.connections -= 1
            if self.steps[0] is not step:
                self.steps.insert(0, step)

    def __enter__(self) -> FaultServer:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)
