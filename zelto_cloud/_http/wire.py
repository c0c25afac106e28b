"""HTTP/1.1 as the clients' own connections speak it, without input or output of its own: the request's
head, the answer's head, and where the answer's body ends (by length, in chunks, or with the connection)."""

from __future__ import annotations

import httpx

HEAD_LIMIT = 64 * 1024
_NO_BODY_STATUSES = frozenset({204, 304})
_FORBIDDEN_IN_HEADERS = ("\r", "\n", "\0")


def request_head(method: str, target: str, host: str, headers: dict[str, str], body: bytes | None) -> bytes:
    lines = [f"{method} {target} HTTP/1.1", f"Host: {host}"]
    if body is not None:
        lines.append(f"Content-Length: {len(body)}")
    for name, value in headers.items():
        if ":" in name or any(c in name for c in _FORBIDDEN_IN_HEADERS):
            raise httpx.LocalProtocolError(f"Illegal header name {name!r}")
        if any(c in value for c in _FORBIDDEN_IN_HEADERS):
            raise httpx.LocalProtocolError(f"Illegal header value {value!r}")
        lines.append(f"{name}: {value}")
    lines.append("\r\n")
    return "\r\n".join(lines).encode("ascii")


class Head:
    """The status line and headers of an answer (header names in lower case), and how its body is framed."""

    __slots__ = ("status_code", "reason_phrase", "headers", "reusable", "framing")

    def __init__(self, status: int, reason: str, headers: dict[str, str], version: bytes, head_only: bool) -> None:
        self.status_code, self.reason_phrase, self.headers = status, reason, headers
        self.reusable = version == b"HTTP/1.1" and "close" not in headers.get("connection", "").lower()
        no_body = head_only or status in _NO_BODY_STATUSES or status < 200
        self.framing = Framing(headers, no_body)
        if self.framing.length is None and not self.framing.chunked and not no_body:
            self.reusable = False  # the body ends with the connection


def parse_head(buffer: bytes, head_only: bool) -> tuple[Head | None, bytes]:
    """The first final answer's head in ``buffer`` and what follows it; (None, buffer) while incomplete."""
    while True:
        end = buffer.find(b"\r\n\r\n")
        if end < 0:
            if len(buffer) > HEAD_LIMIT:
                raise httpx.RemoteProtocolError("the answer's head is too long")
            return None, buffer
        head, buffer = buffer[:end], buffer[end + 4:]
        lines = head.split(b"\r\n")
        version, _, rest = lines[0].partition(b" ")
        code, _, reason = rest.partition(b" ")
        if not version.startswith(b"HTTP/1.") or len(code) != 3 or not code.isdigit():
            raise httpx.RemoteProtocolError(f"malformed status line {lines[0][:80]!r}")
        status = int(code)
        if 100 <= status < 200 and status != 101:
            continue  # an interim answer: the real one follows
        headers: dict[str, str] = {}
        for line in lines[1:]:
            name, colon, value = line.partition(b":")
            if not colon or not name or name != name.strip():
                raise httpx.RemoteProtocolError(f"malformed header line {line[:80]!r}")
            key, text = name.decode("latin-1").lower(), value.strip().decode("latin-1")
            headers[key] = f"{headers[key]}, {text}" if key in headers else text
        return Head(status, reason.decode("latin-1"), headers, version, head_only), buffer


class Framing:
    """Where an answer's body ends. ``feed`` takes what the connection read, adds the body's bytes to
    ``content``; ``done`` once the body is complete, ``overrun`` when bytes past it were read."""

    __slots__ = ("length", "chunked", "done", "overrun", "_pending", "_chunk_left", "_trailers")

    def __init__(self, headers: dict[str, str], no_body: bool) -> None:
        self.length: int | None = None
        self.chunked = not no_body and "chunked" in headers.get("transfer-encoding", "").lower()
        self.done = no_body
        self.overrun = False
        self._pending = b""
        self._chunk_left = -1  # bytes of the current chunk still to come (with its CRLF); -1: a size line is next
        self._trailers = False
        if not no_body and not self.chunked:
            declared = headers.get("content-length")
            if declared is not None:
                if not declared.strip().isdigit():
                    raise httpx.RemoteProtocolError(f"the answer's Content-Length {declared!r} is not a length")
                self.length = int(declared)
                self.done = self.length == 0

    def feed(self, data: bytes, content: bytearray) -> None:
        if self.done:
            self.overrun = self.overrun or bool(data)
            return
        if self.chunked:
            self._feed_chunks(data, content)
            return
        content += data
        if self.length is not None and len(content) >= self.length:
            self.done = True
            if len(content) > self.length:
                # Anything past the answer is not ours to read: the connection is not used again.
                self.overrun = True
                del content[self.length:]

    def end(self, received: int) -> None:
        """The connection ended: the body is complete only when it ends with the connection."""
        if self.done:
            return
        if self.length is None and not self.chunked:
            self.done = True
            return
        expected = "" if self.length is None else f": received {received} bytes, expected {self.length}"
        raise httpx.RemoteProtocolError(f"peer closed connection without sending complete message body{expected}")

    def _feed_chunks(self, data: bytes, content: bytearray) -> None:
        pending = self._pending + data if self._pending else data
        while not self.done:
            if self._chunk_left >= 0:
                if len(pending) < self._chunk_left:
                    # Take what there is of the chunk (not its CRLF), so that limits see it.
                    take = min(len(pending), self._chunk_left - 2)
                    if take > 0:
                        content += pending[:take]
                        pending, self._chunk_left = pending[take:], self._chunk_left - take
                    break
                if pending[self._chunk_left - 2:self._chunk_left] != b"\r\n":
                    raise httpx.RemoteProtocolError("a chunk does not end where its size says")
                content += pending[:self._chunk_left - 2]
                pending, self._chunk_left = pending[self._chunk_left:], -1
                continue
            end = pending.find(b"\r\n")
            if end < 0:
                if len(pending) > HEAD_LIMIT:
                    raise httpx.RemoteProtocolError("a chunk header is too long")
                break
            line, pending = pending[:end], pending[end + 2:]
            if self._trailers:
                self.done = not line
                continue
            size_text = line.split(b";", 1)[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                raise httpx.RemoteProtocolError(f"malformed chunk size {size_text[:20]!r}") from None
            if size == 0:
                self._trailers = True
            else:
                self._chunk_left = size + 2
        self._pending = pending
        if self.done and pending:
            self.overrun = True
