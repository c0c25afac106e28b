"""The server's HTTP/1.1 connections.

What a client may send, and how a request the server cannot take is refused, is h11's strict reading of
HTTP/1.1: h11 reads every request but the plainest (see read_plain_request), which are read only where h11
would read them the same way. The answers are written here from the application's ASGI messages: an answer's
status line, headers and body leave in one send, and the header lines the server sends on every answer are
checked once, not on every answer. A connection also has

- a deadline for each request's headers, which trickling bytes do not extend;
- a place in the server's connection room (see server.ConnectionRoom), or a 503;
- no guessing at how a request is framed: a request whose length could be read two ways is refused;
- the idle time-out between requests, pipelining, 100-continue, flow control both ways, and the graceful stop
  that uvicorn's server asks of its connections (`shutdown`, and the `connections` and `tasks` it waits for).
"""

from __future__ import annotations

import asyncio
import http
import logging
import re
import time
from urllib.parse import unquote

import h11

# Buffered request body above which the connection stops reading until the application takes it.
HIGH_WATER = 64 * 1024
# Header lines checked once and remembered (most answers repeat the same few); past this many, lines are
# checked every time rather than remembered.
_REMEMBERED_LINES = 512
# The longest Content-Length h11 takes (20 digits); a longer one is refused.
_LENGTH_DIGITS = 20


def _phrase(status: int) -> bytes:
    try:
        return http.HTTPStatus(status).phrase.encode()
    except ValueError:
        return b""


_STATUS_LINES = {
    status: b"HTTP/1.1 %d %s\r\n" % (status, _phrase(status)) for status in range(200, 600)
}
_CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"
_BAD_REQUEST = b"Invalid HTTP request received."
_BAD_REQUEST_ANSWER = (
    b"HTTP/1.1 400 Bad Request\r\ncontent-type: text/plain; charset=utf-8\r\nconnection: close\r\n"
    b"content-length: %d\r\n\r\n%s" % (len(_BAD_REQUEST), _BAD_REQUEST)
)
_CLOSE_LINE = b"connection: close\r\n"
_CHUNKED_LINE = b"transfer-encoding: chunked\r\n"
_NO_BODY_STATUSES = frozenset({204, 304})

# A header line an answer may carry: a token for its name, and a value of visible characters (or obs-text)
# with single runs of spaces and tabs inside, none at either end, and no CR, LF or NUL anywhere.
_NAME = re.compile(rb"[-!#$%&'*+.^_`|~0-9A-Za-z]+")
_VALUE = re.compile(rb"(?:[^\x00\s]+(?:[ \t]+[^\x00\s]+)*)?")


class AnswerError(RuntimeError):
    """The application's answer cannot be sent as it stands (a bad header line, a body that does not match
    its Content-Length); the connection is closed."""


def framing_problem(headers) -> str | None:
    """Why a request's length cannot be told for sure (h11 has checked the rest), or None."""
    names = [name.lower() for name, _ in headers]
    if b"transfer-encoding" in names and b"content-length" in names:
        return "the request has both Content-Length and Transfer-Encoding"
    if names.count(b"transfer-encoding") > 1 or names.count(b"content-length") > 1:
        return "the request repeats its Content-Length or Transfer-Encoding header"
    return None


# The plainest request, as most clients send it: whole in one read, the request line and header lines in
# their strict forms with CRLF line ends, exactly one Host, and a body of the length it declares (or none).
# read_plain_request takes only requests that h11 reads the same way; anything else is left to h11.
_REQUEST_LINE = re.compile(rb"([-!#$%&'*+.^_`|~0-9A-Za-z]+) ([\x21-\x7e]+) HTTP/1\.1")
_HEADER_LINE = re.compile(rb"([-!#$%&'*+.^_`|~0-9A-Za-z]+):[ \t]*((?:[^\x00\s]+(?:[ \t]+[^\x00\s]+)*)?)[ \t]*")
# Headers that change how a request is framed or what follows it: h11 reads those requests.
_LEFT_TO_H11 = frozenset({b"transfer-encoding", b"expect", b"upgrade"})


def read_plain_request(data: bytes, max_head: int):
    """(method, target, headers, body, the bytes after it) of a plain request at the start of `data`, or None
    for h11 to read."""
    end = data.find(b"\r\n\r\n", 0, max_head)
    if end < 0:
        return None
    request_line, *lines = data[:end].split(b"\r\n")
    request = _REQUEST_LINE.fullmatch(request_line)
    if request is None or request[1] == b"CONNECT":
        return None
    headers, length, hosts = [], None, 0
    match = _HEADER_LINE.fullmatch
    for line in lines:
        field = match(line)
        if field is None:
            return None
        name, value = field[1].lower(), field[2]
        if name == b"content-length":
            if length is not None or not value.isdigit() or len(value) > _LENGTH_DIGITS:
                return None
            length = int(value)
        elif name == b"host":
            hosts += 1
        elif name in _LEFT_TO_H11:
            return None
        headers.append((name, value))
    if hosts != 1:
        return None
    length = length or 0
    start = end + 4
    if len(data) < start + length:
        return None
    return request[1], request[2], headers, data[start:start + length], data[start + length:]


def _keeps_alive(http_version: bytes, headers: list[tuple[bytes, bytes]]) -> bool:
    """Whether the client lets the connection carry another request after this one (h11's own rule)."""
    if http_version < b"1.1":
        return False
    for name, value in headers:
        if name == b"connection" and b"close" in [token.strip() for token in value.lower().split(b",")]:
            return False
    return True


async def answer_busy(scope, receive, send) -> None:
    """The answer of a connection that found no room: 503, and closed."""
    body = b'{"error":{"code":"unavailable","message":"too many connections; try again in a moment"}}'
    await send({"type": "http.response.start", "status": 503, "headers": [
        (b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
        (b"connection", b"close"), (b"retry-after", b"1"),
    ]})
    await send({"type": "http.response.body", "body": body})


async def _over_the_limit(scope, receive, send) -> None:
    await send({"type": "http.response.start", "status": 503, "headers": [
        (b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"19"), (b"connection", b"close"),
    ]})
    await send({"type": "http.response.body", "body": b"Service Unavailable"})


class HeaderLines:
    """Header lines checked against the grammar once, remembered as the bytes they are sent as."""

    def __init__(self, limit: int = _REMEMBERED_LINES):
        self._known: dict[tuple[bytes, bytes], bytes] = {}
        self._limit = limit

    def line(self, name: bytes, value: bytes) -> bytes:
        """`name: value` and its line end, or AnswerError when either would not read back as sent."""
        key = (name, value)
        line = self._known.get(key)
        if line is not None:
            return line
        if type(name) is not bytes or type(value) is not bytes:
            try:
                name, value = bytes(name), bytes(value)
            except TypeError:
                raise AnswerError(f"a header line must be bytes, not {type(name).__name__}") from None
        if not _NAME.fullmatch(name):
            raise AnswerError(f"illegal header name {name!r}")
        if not _VALUE.fullmatch(value):
            raise AnswerError(f"illegal header value {value!r}")
        line = b"%s: %s\r\n" % (name, value)
        # A cookie's value is a secret of one session: it is checked every time, never kept.
        if len(self._known) < self._limit and name.lower() != b"set-cookie":
            self._known[key] = line
        return line


class Exchange:
    """One request and its answer: the ASGI `receive` and `send` of the application that answers it."""

    __slots__ = (
        "connection", "scope", "head_only", "keep_alive", "chunks", "buffered", "complete", "waiter",
        "disconnected", "waiting_for_100", "delivered", "started", "finished", "head", "framing", "left", "closes",
    )

    def __init__(self, connection: HttpConnection, scope: dict, keep_alive: bool, waiting_for_100: bool):
        self.connection = connection
        self.scope = scope
        self.head_only = scope["method"] == "HEAD"
        self.keep_alive = keep_alive  # False once the client or a stop of the server asks to close after it
        self.chunks: list[bytes] = []  # the request body that arrived and was not yet received
        self.buffered = 0
        self.complete = False  # the whole request has arrived
        self.waiter: asyncio.Future | None = None
        self.disconnected = False
        self.waiting_for_100 = waiting_for_100
        self.delivered = False  # the body's last piece went to the application
        self.started = False
        self.finished = False
        self.head = b""  # the answer's status line and headers, sent with its first piece of body
        self.framing = "length"  # "length", "chunked" or "close"
        self.left = 0  # bytes of body still owed under "length"
        self.closes = False

    # -- what the connection hands over -------------------------------------------------------------

    def body_arrived(self, data: bytes) -> None:
        self.chunks.append(data)
        self.buffered += len(data)
        if self.buffered > HIGH_WATER:
            self.connection.pause_reading()
        self._wake()

    def request_complete(self) -> None:
        self.complete = True
        self._wake()

    def lost(self) -> None:
        if not self.finished:
            self.disconnected = True
        self._wake()

    def _wake(self) -> None:
        waiter = self.waiter
        if waiter is not None:
            self.waiter = None
            if not waiter.done():
                waiter.set_result(None)

    # -- the application's side ---------------------------------------------------------------------

    async def run(self, app) -> None:
        connection = self.connection
        try:
            result = await app(self.scope, self.receive, self.send)
        except BaseException as exc:
            connection.logger.error("Exception in ASGI application\n", exc_info=exc)
            if not self.started:
                await self._send_500()
            else:
                connection.close()
        else:
            if result is not None:
                connection.logger.error("ASGI callable should return None, but returned '%s'.", result)
                connection.close()
            elif not self.started and not self.disconnected:
                connection.logger.error("ASGI callable returned without starting response.")
                await self._send_500()
            elif not self.finished and not self.disconnected:
                connection.logger.error("ASGI callable returned without completing response.")
                connection.close()

    async def _send_500(self) -> None:
        await self.send({"type": "http.response.start", "status": 500, "headers": [
            (b"content-type", b"text/plain; charset=utf-8"), (b"connection", b"close"),
        ]})
        await self.send({"type": "http.response.body", "body": b"Internal Server Error"})

    async def receive(self) -> dict:
        connection = self.connection
        if self.waiting_for_100:
            self.waiting_for_100 = False
            if not connection.transport.is_closing():
                connection.transport.write(_CONTINUE)
        # Once the whole body is in the application's hands, the next message is the client's leaving (or
        # the answer's end): an application that listens for it waits, it does not spin.
        while not self.disconnected and not self.finished and (self.delivered or not (self.chunks or self.complete)):
            connection.resume_reading()
            self.waiter = connection.loop.create_future()
            await self.waiter
        if self.disconnected or self.finished:
            return {"type": "http.disconnect"}
        chunks = self.chunks
        body = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        self.chunks = []
        self.buffered = 0
        self.delivered = self.complete
        connection.resume_reading()
        return {"type": "http.request", "body": body, "more_body": not self.complete}

    async def send(self, message) -> None:
        connection = self.connection
        if connection.write_paused and not self.disconnected:
            await connection.drain()
        if self.disconnected:
            return
        kind = message["type"]
        if not self.started:
            if kind != "http.response.start":
                raise RuntimeError(f"Expected ASGI message 'http.response.start', but got '{kind}'.")
            self.started = True
            self.waiting_for_100 = False
            status = message["status"]
            connection.log_access(self.scope, status)
            self.head = self._head(status, message.get("headers", ()))
        elif not self.finished:
            if kind != "http.response.body":
                raise RuntimeError(f"Expected ASGI message 'http.response.body', but got '{kind}'.")
            self._body(message.get("body", b""), message.get("more_body", False))
        else:
            raise RuntimeError(f"Unexpected ASGI message '{kind}' sent, after response already completed.")

    # -- writing the answer -------------------------------------------------------------------------

    def _head(self, status, headers) -> bytes:
        status_line = _STATUS_LINES.get(status) if type(status) is int else None
        if status_line is None:
            self.connection.close()
            raise AnswerError(f"an answer's status must be an int from 200 to 599, not {status!r}")
        connection = self.connection
        lines = [status_line, connection.default_lines()]
        lines_of = connection.header_lines.line
        length = None
        closes = not self.keep_alive or not self.complete
        try:
            for name, value in headers:
                lower = name.lower()
                if lower == b"content-length":
                    declared = _content_length(value)
                    if length is not None and declared != length:
                        raise AnswerError("conflicting Content-Length headers")
                    if length is not None:
                        continue
                    length = declared
                elif lower == b"transfer-encoding":
                    if value.lower() != b"chunked":
                        raise AnswerError(f"cannot send a body with Transfer-Encoding {value!r}")
                    continue  # chunked is what an answer of unknown length gets anyway
                elif lower == b"connection":
                    tokens = [token.strip() for token in value.lower().split(b",")]
                    if b"close" in tokens:
                        closes = True
                    continue  # written below, once, from what this connection does next
                lines.append(lines_of(name, value))
        except AnswerError:
            connection.close()
            raise
        except (TypeError, ValueError, AttributeError):
            connection.close()
            raise AnswerError(f"an answer's headers must be pairs of bytes, not {headers!r}") from None
        if status in _NO_BODY_STATUSES or self.head_only:
            self.framing, self.left = "length", 0
            if length is not None:
                lines.append(b"content-length: %d\r\n" % length)
            elif self.head_only and status not in _NO_BODY_STATUSES and self.scope["http_version"] == "1.1":
                lines.append(_CHUNKED_LINE)
        elif length is not None:
            self.framing, self.left = "length", length
            lines.append(b"content-length: %d\r\n" % length)
        elif self.scope["http_version"] == "1.1":
            self.framing = "chunked"
            lines.append(_CHUNKED_LINE)
        else:  # an HTTP/1.0 client knows no chunks: the body ends where the connection does
            self.framing, closes = "close", True
        self.closes = closes
        if closes:
            lines.append(_CLOSE_LINE)
        lines.append(b"\r\n")
        return b"".join(lines)

    def _body(self, body, more: bool) -> None:
        connection = self.connection
        if self.head_only:
            body = b""
        elif type(body) is not bytes:
            body = bytes(body)
        framing = self.framing
        if framing == "length":
            self.left -= len(body)
            if self.left < 0 or (not more and self.left):
                connection.close()
                problem = "Too much" if self.left < 0 else "Too little"
                raise AnswerError(f"{problem} data for declared Content-Length")
            out = body
        elif framing == "chunked":
            out = b"%x\r\n%s\r\n" % (len(body), body) if body else b""
            if not more:
                out += b"0\r\n\r\n"
        else:
            out = body
        if self.head:
            out = self.head + out
            self.head = b""
        if not more:
            self.finished = True
            self._wake()
        if out:
            connection.transport.write(out)
        if not more:
            connection.answered(self)


def _content_length(value: bytes) -> int:
    if type(value) is not bytes or not value.isdigit() or not value.isascii():
        raise AnswerError(f"bad Content-Length {value!r}")
    return int(value)


class HttpConnection(asyncio.Protocol):
    """One client connection, made by uvicorn's server for each client that connects.

    Subclasses set `header_timeout` (seconds a request's headers may take) and `room` (the server's
    ConnectionRoom, or None for no limits).
    """

    header_timeout: float = 10.0
    room = None

    def __init__(self, config, server_state, app_state, _loop=None):
        if not config.loaded:
            config.load()
        self.config = config
        self.app = config.loaded_app
        self.loop = _loop or asyncio.get_event_loop()
        self.logger = logging.getLogger("uvicorn.error")
        self.access_logger = logging.getLogger("uvicorn.access")
        self.access_log = self.access_logger.hasHandlers()
        self.max_head = config.h11_max_incomplete_event_size or 16 * 1024  # h11's own default
        self.parser = h11.Connection(h11.SERVER, self.max_head)
        self._parser_unused = True  # it has been given no bytes: a request may be read without it
        self.limit_concurrency = config.limit_concurrency
        self.idle_timeout = config.timeout_keep_alive
        self.app_state = app_state
        self.root_path = config.root_path
        self.server_state = server_state
        self.connections = server_state.connections
        self.tasks = server_state.tasks
        self.header_lines = _shared_lines
        self.transport: asyncio.Transport = None  # type: ignore[assignment]
        self.exchange: Exchange | None = None
        self.read_paused = False
        self.write_paused = False
        self._writable: asyncio.Future | None = None
        self._idle_timer: asyncio.TimerHandle | None = None
        self._header_deadline: asyncio.TimerHandle | None = None
        self._defaults: list | None = None
        self._default_lines = b""
        self.idle_since: float | None = None
        self._placed = False
        self._address = ""

    # -- the transport's calls ----------------------------------------------------------------------

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        self.connections.add(self)
        self.transport = transport
        self.server_address = _local_address(transport)
        self.client_address = _remote_address(transport)
        self.scheme = "https" if transport.get_extra_info("sslcontext") else "http"
        # Since when this connection waits for a request (None while one is under way).
        self.idle_since = time.monotonic()
        self._address = self.client_address[0] if self.client_address else ""
        self._placed = self.room is None or self.room.admit(self, self._address)
        if not self._placed:
            self.idle_since = None
            self.app = answer_busy  # answered 503 and closed; it holds no place
        self._arm_header_deadline()

    def connection_lost(self, exc: Exception | None) -> None:
        self.connections.discard(self)
        self._cancel_header_deadline()
        self._cancel_idle_timer()
        self._leave_room()
        if self.exchange is not None:
            self.exchange.lost()
        self._set_writable()
        if exc is None:
            self.transport.close()

    def eof_received(self) -> None:
        pass  # the transport closes; an answer under way is still written if it can be

    def data_received(self, data: bytes) -> None:
        if data:
            self.idle_since = None
        self._cancel_idle_timer()
        if self.exchange is not None and self.parser.their_state is h11.IDLE:
            # A request read without h11 is under way: what comes next waits for its answer, as h11 keeps
            # a pipelined request.
            self._feed(data)
            self.pause_reading()
            return
        if self._parser_unused:
            plain = read_plain_request(data, self.max_head)
            if plain is not None:
                self._cancel_header_deadline()
                method, target, headers, body, rest = plain
                exchange = self._start_exchange(method, target, b"1.1", headers, False)
                if body:
                    exchange.body_arrived(body)
                exchange.request_complete()
                if rest:  # a pipelined request: read once this one is answered
                    self._feed(rest)
                    self.pause_reading()
                return
        self._feed(data)
        self._read_events()
        self._watch_head()

    def _feed(self, data: bytes) -> None:
        self._parser_unused = False
        self.parser.receive_data(data)

    def pause_writing(self) -> None:
        self.write_paused = True

    def resume_writing(self) -> None:
        self.write_paused = False
        self._set_writable()

    # -- reading requests ---------------------------------------------------------------------------

    def _read_events(self) -> None:
        parser = self.parser
        while True:
            if parser.their_state is h11.MUST_CLOSE:
                return  # the client said this request is its last: what follows it is not read
            try:
                event = parser.next_event()
                if type(event) is h11.Request:
                    problem = framing_problem(event.headers.raw_items())
                    if problem is not None:
                        raise h11.RemoteProtocolError(problem, 400)
            except h11.RemoteProtocolError:
                self._refuse_request()
                return
            if event is h11.NEED_DATA:
                return
            if event is h11.PAUSED:
                # A pipelined request waits for the answer to the one before it.
                self.pause_reading()
                return
            kind = type(event)
            if kind is h11.Request:
                self._start_exchange(event.method, event.target, event.http_version, list(event.headers),
                                     parser.they_are_waiting_for_100_continue)
            elif kind is h11.Data:
                exchange = self.exchange
                if exchange is not None and not exchange.finished:
                    exchange.body_arrived(event.data)
            elif kind is h11.EndOfMessage:
                exchange = self.exchange
                if exchange is not None:
                    exchange.request_complete()
                    if exchange.finished:  # answered before the body was read: the connection closes
                        return
            elif kind is h11.ConnectionClosed:
                return

    def _start_exchange(self, method: bytes, target: bytes, http_version: bytes, headers: list,
                        waiting_for_100: bool) -> Exchange:
        self._cancel_idle_timer()
        raw_path, _, query_string = target.partition(b"?")
        scope = {
            "type": "http",
            "asgi": {"version": "3.0", "spec_version": "2.3"},
            "http_version": http_version.decode("ascii"),
            "server": self.server_address,
            "client": self.client_address,
            "scheme": self.scheme,
            "method": method.decode("ascii"),
            "root_path": self.root_path,
            "path": self.root_path + unquote(raw_path.decode("ascii")),
            "raw_path": self.root_path.encode("ascii") + raw_path if self.root_path else raw_path,
            "query_string": query_string,
            "headers": headers,
            "state": self.app_state.copy(),
        }
        limit = self.limit_concurrency
        if limit is not None and (len(self.connections) >= limit or len(self.tasks) >= limit):
            app = _over_the_limit
            self.logger.warning("Exceeded concurrency limit.")
        else:
            app = self.app
        exchange = self.exchange = Exchange(self, scope, _keeps_alive(http_version, headers), waiting_for_100)
        task = self.loop.create_task(exchange.run(app))
        task.add_done_callback(self.tasks.discard)
        self.tasks.add(task)
        return exchange

    def _refuse_request(self) -> None:
        self.logger.warning("Invalid HTTP request received.")
        self._cancel_header_deadline()
        exchange = self.exchange
        if exchange is not None and not exchange.finished:
            exchange.lost()  # its answer can no longer be told apart from the refusal
            if exchange.started:
                self.close()  # part of its answer is out: a refusal after it would read as its rest
                return
        if not self.transport.is_closing():
            self.transport.write(_BAD_REQUEST_ANSWER)
            self.transport.close()

    # -- after an answer ----------------------------------------------------------------------------

    def answered(self, exchange: Exchange) -> None:
        """The answer's last bytes are written: close, or make ready for the next request."""
        self.server_state.total_requests += 1
        transport = self.transport
        if exchange.closes or transport.is_closing():
            self.close()
            return
        data = self.parser.trailing_data[0]
        self.parser = h11.Connection(h11.SERVER, self.max_head)
        self._parser_unused = True
        self.exchange = None
        if data:
            self._feed(data)
        else:
            self.idle_since = time.monotonic()
        self._idle_timer = self.loop.call_later(self.idle_timeout, self._idle_too_long)
        self.resume_reading()
        if data:
            self._read_events()
            self._watch_head()

    def _watch_head(self) -> None:
        """After bytes of a request were read: the header deadline runs until its headers are complete."""
        if self.parser.their_state is not h11.IDLE:
            self._cancel_header_deadline()  # the headers are complete
        elif self._header_deadline is None:
            self._arm_header_deadline()  # a later request has begun

    def log_access(self, scope: dict, status: int) -> None:
        if self.access_log:
            path = scope["raw_path"].decode("latin1")
            if scope["query_string"]:
                path = f"{path}?{scope['query_string'].decode('ascii')}"
            client = "%s:%d" % scope["client"] if scope["client"] else ""
            self.access_logger.info('%s - "%s %s HTTP/%s" %d', client, scope["method"], path.replace('"', "%22"),
                                    scope["http_version"], status)

    def default_lines(self) -> bytes:
        """The lines the server puts on every answer (Date, Server), as bytes; remade when they change."""
        defaults = self.server_state.default_headers
        if defaults is not self._defaults:
            self._default_lines = b"".join(b"%s: %s\r\n" % pair for pair in defaults)
            self._defaults = defaults
        return self._default_lines

    # -- the server's calls -------------------------------------------------------------------------

    def shutdown(self) -> None:
        """The server stops: close now if no answer is under way, else after it."""
        exchange = self.exchange
        if exchange is None or exchange.finished:
            self.close()
        else:
            exchange.keep_alive = False
            if exchange.started and not exchange.closes:
                exchange.closes = True  # its head is out: the close comes without notice

    def give_up_place(self) -> None:
        """Closes this idle connection to make room for a new one."""
        self._leave_room()
        self.idle_since = None
        # Nor does it count against the server's limit any more: the loop reports the closing at its next
        # turn, and may read the newcomer's request before that.
        self.connections.discard(self)
        self.transport.close()

    def close(self) -> None:
        if not self.transport.is_closing():
            self.transport.close()

    # -- flow control -------------------------------------------------------------------------------

    def pause_reading(self) -> None:
        if not self.read_paused:
            self.read_paused = True
            self.transport.pause_reading()

    def resume_reading(self) -> None:
        if self.read_paused:
            self.read_paused = False
            self.transport.resume_reading()

    async def drain(self) -> None:
        if self._writable is None:
            self._writable = self.loop.create_future()
        await asyncio.shield(self._writable)

    def _set_writable(self) -> None:
        writable, self._writable = self._writable, None
        if writable is not None and not writable.done():
            writable.set_result(None)

    # -- timers -------------------------------------------------------------------------------------

    def _leave_room(self) -> None:
        if self._placed and self.room is not None:
            self.room.leave(self, self._address)
            self._placed = False

    def _idle_too_long(self) -> None:
        self._idle_timer = None
        self.close()

    def _cancel_idle_timer(self) -> None:
        if self._idle_timer is not None:
            self._idle_timer.cancel()
            self._idle_timer = None

    def _arm_header_deadline(self) -> None:
        self._cancel_header_deadline()
        self._header_deadline = self.loop.call_later(self.header_timeout, self._headers_too_late)

    def _cancel_header_deadline(self) -> None:
        if self._header_deadline is not None:
            self._header_deadline.cancel()
            self._header_deadline = None

    def _headers_too_late(self) -> None:
        self._header_deadline = None
        if self.exchange is None and self.parser.their_state is h11.IDLE:
            self.close()


# One set for the whole process: every connection sends the same few lines.
_shared_lines = HeaderLines()


def _remote_address(transport) -> tuple[str, int] | None:
    peer = transport.get_extra_info("peername")
    if isinstance(peer, (list, tuple)) and len(peer) >= 2:
        return (str(peer[0]), int(peer[1]))
    return None


def _local_address(transport) -> tuple[str, int | None] | None:
    own = transport.get_extra_info("sockname")
    if isinstance(own, (list, tuple)) and len(own) >= 2:
        return (str(own[0]), int(own[1]))
    if isinstance(own, str):
        return (own, None)
    return None
