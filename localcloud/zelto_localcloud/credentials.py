"""The two kinds of credential, and the dashboard's sessions.

An agent API key (``zelto_lk_...``) is a tenant: it creates, reads and lists
its own approval requests and posts receipts. An approver signs in with a name
and a password; only an approver can approve or deny, and the approval is
signed with that approver's key.

Only hashes are stored of what the server merely checks: API keys, session
tokens and connect tokens hold at least 160 random bits, so SHA-256 suffices;
passwords may be chosen by a person, so they get salted scrypt.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import functools
import hashlib
import heapq
import hmac
import itertools
import os
import secrets
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from . import errors
from .store import SessionRecord, Store

API_KEY_PREFIX = "zelto_lk_"
MIN_PASSWORD_LENGTH = 12
MAX_PASSWORD_LENGTH = 1024
SESSION_SECONDS = 12 * 3600
# Wrong passwords are remembered for FAILURE_MEMORY_SECONDS, per approver name and client address, and per
# client address alone. Past the free ones, each further attempt from there must wait twice as long after
# the last failure as the one before (1 s, 2 s, 4 s, ... at most MAX_DELAY_SECONDS); one sent sooner is
# answered 429 without a check. Nobody is locked out: the delay stays short, and a person signing in from
# another address is not delayed by someone guessing elsewhere.
FREE_FAILURES_PER_NAME = 5
FREE_FAILURES_PER_ADDRESS = 20
MAX_DELAY_SECONDS = 60.0
FAILURE_MEMORY_SECONDS = 15 * 60.0
# Password checks run on this many threads; at most CHECK_QUEUE more wait, and one address has at most
# CHECKS_PER_ADDRESS running or waiting. Past that, a sign-in is answered 429 at once.
CHECK_THREADS = 1
CHECK_QUEUE = 8
CHECKS_PER_ADDRESS = 2
# A refused sign-in is answered after its delay (at most this long), not at once: a guesser's
# connections then spend their time waiting instead of making the server answer them.
MAX_ANSWER_DELAY_SECONDS = 3.0
# Memory bounds: failures kept for at most this many names and addresses; remembered credentials.
_MAX_TRACKED = 20_000
_MAX_REMEMBERED = 1024

_SCRYPT_N, _SCRYPT_R, _SCRYPT_P = 2**14, 8, 1


def _sha256_hex(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


# -- agent API keys ---------------------------------------------------------


def new_api_key() -> str:
    return API_KEY_PREFIX + secrets.token_hex(20)


def api_key_hash(key: str) -> str:
    return _sha256_hex(key)


def api_key_id(key: str) -> str:
    """The key's public name, which is also its tenant's: derived from the key, never revealing it."""
    return "key_" + _sha256_hex("zelto-localcloud key id\x00" + key)[:16]


def store_api_key(store: Store, key: str, name: str, now: float) -> str:
    """Stores the key's hash (a key already stored keeps its name); answers the key's id."""
    key_id = api_key_id(key)
    store.add_api_key(key_id, api_key_hash(key), name, now)
    return key_id


def tenant_for_api_key(store: Store, key: str) -> str | None:
    return store.api_key_id_for_hash(api_key_hash(key))


def derived_api_key(server_secret: str, token: str) -> str:
    """The API key of a connect token's agent: the same on every exchange, yet never stored."""
    digest = hmac.new(server_secret.encode(), b"connect api key\x00" + token.encode(), hashlib.sha256)
    return API_KEY_PREFIX + digest.hexdigest()[:40]


def connect_token_hash(token: str) -> str:
    return _sha256_hex(token)


# -- approver passwords -------------------------------------------------------


def new_password() -> str:
    return secrets.token_urlsafe(18)


def check_password_text(password: str) -> str:
    if not MIN_PASSWORD_LENGTH <= len(password) <= MAX_PASSWORD_LENGTH:
        raise ValueError(f"a password has {MIN_PASSWORD_LENGTH} to {MAX_PASSWORD_LENGTH} characters")
    if password != password.strip():
        raise ValueError("a password does not start or end with white space")
    return password


def _scrypt(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, dklen=32, maxmem=64 * 1024 * 1024)


def hash_password(password: str) -> str:
    salt = secrets.token_bytes(16)
    digest = _scrypt(password, salt, _SCRYPT_N, _SCRYPT_R, _SCRYPT_P)
    return f"scrypt${_SCRYPT_N}${_SCRYPT_R}${_SCRYPT_P}${salt.hex()}${digest.hex()}"


def password_matches(password: str, stored: str) -> bool:
    try:
        kind, n, r, p, salt, digest = stored.split("$")
        if kind != "scrypt":
            return False
        computed = _scrypt(password, bytes.fromhex(salt), int(n), int(r), int(p))
    except (ValueError, UnicodeEncodeError):
        return False
    return hmac.compare_digest(computed, bytes.fromhex(digest))


@functools.cache
def _unknown_approver_hash() -> str:
    return hash_password(secrets.token_urlsafe(18))


def _delay(failures: int, free: int) -> float:
    return 0.0 if failures < free else min(2.0 ** (failures - free), MAX_DELAY_SECONDS)


class SignInGuard:
    """Checks approver passwords, slowly by design, and throttles guessing.

    An attempt is reserved before its password is checked: it counts as a
    failure from then on and is struck out only if the password was right, so
    a burst of concurrent guesses cannot all pass before the first is counted.

    A successful check is remembered for the stored hash it matched (a new
    password makes a new hash) and the address it came from, so scripted
    approvers that send their credential with every call pay for scrypt once,
    and a flood of unchecked guesses does not slow them. Only the address that
    proved the password profits, and only while it is not being throttled.
    """

    def __init__(self, clock=time.monotonic):
        self._clock = clock
        self._lock = threading.Lock()
        self._key = secrets.token_bytes(32)  # credentials are remembered by a keyed hash, never as given
        self._verified: dict[bytes, None] = {}
        self._by_pair: dict[tuple[str, str], list[float]] = {}
        self._by_address: dict[str, list[float]] = {}

    def credential_id(self, name: str, password: str, stored_hash: str | None, address: str) -> bytes:
        text = "\x00".join((name, password, stored_hash or "", address)).encode("utf-8", "surrogatepass")
        return hmac.new(self._key, text, hashlib.sha256).digest()

    def remembered(self, credential: bytes, name: str, address: str) -> bool:
        """Whether this very credential was proved from this address before and may pass unchecked: not
        while guessing from there is being delayed, or the remembered answer would let guesses skip the delay."""
        with self._lock:
            if credential not in self._verified or self._wait_needed(name, address, self._clock()) > 0:
                return False
            self._forget(self._by_pair, (name, address))  # the owner is back, as after a checked sign-in
            return True

    def wait_needed(self, name: str, address: str) -> float:
        """Seconds before another attempt for `name` from `address` may be checked (0: now)."""
        with self._lock:
            return self._wait_needed(name, address, self._clock())

    def _wait_needed(self, name: str, address: str, now: float) -> float:
        waits = [0.0]
        for failures, free in ((self._recent(self._by_pair, (name, address), now), FREE_FAILURES_PER_NAME),
                               (self._recent(self._by_address, address, now), FREE_FAILURES_PER_ADDRESS)):
            if failures:
                waits.append(failures[-1] + _delay(len(failures), free) - now)
        return max(waits)

    def failures_from(self, address: str) -> int:
        """How many recent failures `address` has (its reserved attempts included)."""
        with self._lock:
            return len(self._recent(self._by_address, address, self._clock()))

    def reserve(self, name: str, address: str) -> float:
        """Counts an attempt as failed before its check: answers 0 when it may be checked now, else the
        seconds to wait (and then nothing is counted)."""
        with self._lock:
            now = self._clock()
            wait = self._wait_needed(name, address, now)
            if wait > 0:
                return wait
            for table, key in ((self._by_pair, (name, address)), (self._by_address, address)):
                self._add(table, key, now)
            return 0.0

    def release(self, name: str, address: str, right: bool | None, credential: bytes = b"") -> None:
        """Settles a reserved attempt. A right password (`right` True) strikes the failures of its name and
        address out and is remembered as `credential`; a wrong one (False) stays counted; None: no password
        was checked after all, so the reservation is taken back."""
        with self._lock:
            if right is False:
                return
            if right:
                self._forget(self._by_pair, (name, address))  # the owner is back: earlier guesses are forgiven
                if len(self._verified) >= _MAX_REMEMBERED:
                    self._verified.pop(next(iter(self._verified)))
                self._verified[credential] = None
            else:
                self._drop_latest(self._by_pair, (name, address))
            self._drop_latest(self._by_address, address)

    # The failure tables' four operations (the replicas' shared guard keeps them in the database instead).

    def _add(self, table: dict, key, now: float) -> None:
        if len(table) >= _MAX_TRACKED:
            self._forget_oldest(table, now)
        table.setdefault(key, []).append(now)

    def _forget(self, table: dict, key) -> None:
        table.pop(key, None)

    def _drop_latest(self, table: dict, key) -> None:
        failures = table.get(key)
        if failures:
            failures.pop()
            if not failures:
                del table[key]

    def _recent(self, table: dict, key, now: float) -> list[float]:
        failures = table.get(key)
        if not failures:
            return []
        cutoff = now - FAILURE_MEMORY_SECONDS
        if failures[0] <= cutoff:
            failures[:] = [t for t in failures if t > cutoff]
            if not failures:
                del table[key]
        return failures

    @staticmethod
    def _forget_oldest(table: dict, now: float) -> None:
        cutoff = now - FAILURE_MEMORY_SECONDS
        for key in [k for k, v in table.items() if not v or v[-1] <= cutoff]:
            del table[key]
        while len(table) >= _MAX_TRACKED:
            table.pop(next(iter(table)))

    def check(self, password: str, stored_hash: str | None) -> bool:
        """Runs scrypt: call it off the event loop."""
        if stored_hash is None:
            # Unknown names cost as much as known ones, so timing does not tell them apart.
            password_matches(password, _unknown_approver_hash())
            return False
        return password_matches(password, stored_hash)


def _run_politely() -> None:
    """Lowers the scheduling priority of a password-check thread (where the system allows it per thread),
    so that the server's event loop gets the processor first while checks run."""
    try:
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 10)
    except (AttributeError, OSError):
        pass


class _Busy(Exception):
    """A waiting check gave its place to one with a better claim."""


class PasswordChecks:
    """Runs the password checks of sign-ins, a few at a time, from the server's event loop.

    Checks run on CHECK_THREADS threads of their own (so a flood of them
    cannot take the threads other work needs), with at most CHECK_QUEUE
    waiting and CHECKS_PER_ADDRESS running or waiting per client address that has failed sign-ins of late
    (the others wait in the queue like anybody).
    The waiting are taken fewest recent failures of their address first, and
    when the queue is full a newcomer from an address with fewer failures
    takes the place of the waiting one with the most: guessers spread over
    many addresses fill the queue with addresses that keep failing, and an
    approver's first sign-in goes ahead of them. Whoever is turned away is
    answered 429. Concurrent sign-ins with the same credential from the same
    address share one check.
    """

    def __init__(self, threads: int = CHECK_THREADS, queue: int = CHECK_QUEUE, per_address: int = CHECKS_PER_ADDRESS):
        self._executor = ThreadPoolExecutor(threads, thread_name_prefix="password-check", initializer=_run_politely)
        self._threads = threads
        self._queue = queue
        self._per_address = per_address
        self._running = 0
        self._waiting: list[tuple[int, int, asyncio.Future]] = []  # a heap: (failures, arrival, go-ahead)
        self._arrivals = itertools.count()
        self._by_address: dict[str, int] = {}
        self._shared: dict[bytes, asyncio.Future] = {}

    async def check(self, guard: SignInGuard, name: str, password: str, stored_hash: str | None, address: str,
                    credential: bytes) -> bool:
        """Whether `password` is right; raises 429 while guessing from `address` is delayed or the checks are busy."""
        shared = self._shared.get(credential)
        if shared is not None:
            return await asyncio.shield(shared)
        wait = guard.reserve(name, address)
        if wait > 0:
            await asyncio.sleep(min(wait, MAX_ANSWER_DELAY_SECONDS))
            wait = guard.wait_needed(name, address)
            raise errors.too_many_attempts(
                f"too many wrong passwords for {name} from this address; try again in {max(1, round(wait))} s", wait
            )
        in_flight = self._by_address.get(address, 0)
        # The cap per address holds back an address that has guessed wrong. One whose only failures are the
        # attempts being checked now (several approvers behind one address signing in together) waits its turn.
        if in_flight >= self._per_address and guard.failures_from(address) > in_flight + 1:
            guard.release(name, address, None)
            raise await self._busy()
        loop = asyncio.get_running_loop()
        result = self._shared[credential] = loop.create_future()
        self._by_address[address] = self._by_address.get(address, 0) + 1
        right: bool | None = None
        refused: errors.ApiError | None = None
        taken_back = False
        try:
            try:
                await self._take_turn(loop, guard.failures_from(address))
            except _Busy:
                guard.release(name, address, None)  # not checked, so not counted
                taken_back = True
                refused = await self._busy()
                raise refused from None
            try:
                right = await loop.run_in_executor(self._executor, guard.check, password, stored_hash)
            finally:
                self._running -= 1
                self._next_turn()
            return right
        finally:
            if right is not None:
                guard.release(name, address, right, credential)
                result.set_result(right)
            else:
                if not taken_back:  # the caller went away: take the reservation back
                    guard.release(name, address, None)
                # Those who shared this check are answered as it was, not left hanging.
                result.set_exception(refused or errors.too_many_attempts("the sign-in was interrupted", 1.0))
                result.exception()  # retrieved: nobody may be waiting
            del self._shared[credential]
            if self._by_address[address] <= 1:
                del self._by_address[address]
            else:
                self._by_address[address] -= 1

    async def _take_turn(self, loop: asyncio.AbstractEventLoop, failures: int) -> None:
        """Returns when this check may run on a thread; raises _Busy when it has no place."""
        if self._running < self._threads and not self._waiting:
            self._running += 1
            return
        if len(self._waiting) >= self._queue:
            worst = max(self._waiting)
            if worst[0] <= failures:
                raise _Busy
            self._waiting.remove(worst)
            heapq.heapify(self._waiting)
            worst[2].set_exception(_Busy())
        go_ahead = loop.create_future()
        entry = (failures, next(self._arrivals), go_ahead)
        heapq.heappush(self._waiting, entry)
        try:
            await go_ahead  # _next_turn counts it as running before it wakes
        except asyncio.CancelledError:
            if entry in self._waiting:
                self._waiting.remove(entry)
                heapq.heapify(self._waiting)
            elif go_ahead.done() and not go_ahead.cancelled() and go_ahead.exception() is None:
                self._running -= 1
                self._next_turn()
            raise

    def _next_turn(self) -> None:
        while self._waiting and self._running < self._threads:
            _, _, go_ahead = heapq.heappop(self._waiting)
            if not go_ahead.done():
                self._running += 1
                go_ahead.set_result(None)

    @staticmethod
    async def _busy() -> errors.ApiError:
        """The busy answer, given after a second's wait."""
        await asyncio.sleep(min(1.0, MAX_ANSWER_DELAY_SECONDS))
        return errors.too_many_attempts("the server is busy checking other sign-ins; try again in a moment", 1.0)


def basic_credentials(value: str) -> tuple[str, str] | None:
    """Name and password of an `Authorization: Basic` value, or None when it is malformed."""
    try:
        decoded = base64.b64decode(value.strip(), validate=True).decode("utf-8")
    except (binascii.Error, ValueError):
        return None
    name, colon, password = decoded.partition(":")
    if not colon or not name or not password:
        return None
    return name, password


# -- dashboard sessions -------------------------------------------------------


@dataclass(frozen=True)
class NewSession:
    token: str
    form_token: str
    expires_at: float


def open_session(store: Store, approver: str, now: float) -> NewSession:
    token, form_token = secrets.token_urlsafe(24), secrets.token_urlsafe(24)
    expires_at = now + SESSION_SECONDS
    with store.transaction():
        store.remove_expired_sessions(now)
        store.add_session(_sha256_hex(token), approver, form_token, now, expires_at)
    return NewSession(token, form_token, expires_at)


def session_for(store: Store, token: str, now: float) -> SessionRecord | None:
    return store.session(_sha256_hex(token), now) if token else None


def close_session(store: Store, token: str) -> None:
    with store.transaction():
        store.remove_session(_sha256_hex(token))


def same_secret(given: str, expected: str) -> bool:
    return hmac.compare_digest(given.encode("utf-8", "replace"), expected.encode("utf-8"))
