"""The ``guard`` decorator and the key scope that approval handlers read."""

from __future__ import annotations

import asyncio
import contextlib
import copy
import functools
import inspect
import logging
import uuid
from collections.abc import Callable, Iterator
from contextvars import ContextVar
from typing import Any

from zelto_core import PublicKey, SigningKey, approval_request_hash, py_build_approval_context_attestation

from .approval import ApprovalDenied, ApprovalRequest, verified_approvals
from .receipts import call_receipt, check_control_plane, deliver
from .warrant import Warrant, WarrantError, _public_key

__all__ = ["GuardBuilder", "approval_request", "bind_key_scope", "guard", "key_scope"]

logger = logging.getLogger("zelto.guard")

_scoped_key: ContextVar[SigningKey | None] = ContextVar("zelto_scoped_key", default=None)


def key_scope() -> SigningKey | None:
    """The signing key bound to the current context, or None."""
    return _scoped_key.get()


@contextlib.contextmanager
def bind_key_scope(key: SigningKey | None) -> Iterator[SigningKey | None]:
    """Bind ``key`` as the scoped signing key for the duration of the block."""
    token = _scoped_key.set(key)
    try:
        yield key
    finally:
        _scoped_key.reset(token)


async def _awaited(awaitable: Any) -> Any:
    return await awaitable


def _check_guard_options(warrant: Any, handler: Any, signing_key: Any) -> None:
    if not isinstance(warrant, Warrant):
        raise TypeError("guard needs a Warrant")
    if handler is not None and not callable(handler):
        raise TypeError("approval_handler must be callable")
    if signing_key is not None:
        if not isinstance(signing_key, SigningKey):
            raise TypeError("signing_key must be a SigningKey")
        if signing_key.public_key != warrant.holder_key:
            raise ValueError("signing_key is not the warrant holder's key")


def approval_request(
    warrant: Warrant, tool: str, arguments: dict, signing_key: Any = None, *, request_id: str | None = None
) -> ApprovalRequest:
    """The request an approval handler is asked to approve for one call of ``tool``.

    With ``signing_key`` the holder's attestation is made here; without one
    the handler makes it from the key scope. TypeError when the arguments
    have no canonical encoding. The request holds its own copy of the
    arguments: nothing the handler does to them reaches the call.
    """
    try:
        request_hash = approval_request_hash(warrant.id, tool, arguments, warrant.holder_key)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"the arguments of {tool} cannot be approved: {exc}") from exc
    arguments = copy.deepcopy(arguments)
    request = ApprovalRequest(
        tool=tool,
        warrant_id=warrant.id,
        arguments=arguments,
        request_id=request_id or f"req_{uuid.uuid4().hex}",
        holder_key=warrant.holder_key.to_bytes(),
        request_hash=request_hash,
        required_approvers=[key.to_bytes() for key in warrant.required_approvers],
        min_approvals=warrant.min_approvals,
        ttl_seconds=warrant.ttl_seconds,
        policy_id=warrant.policy_id,
    )
    if signing_key is not None:
        request.args_canonical_cbor_b64, request.approval_context_attestation = py_build_approval_context_attestation(
            signing_key, warrant.id, tool, arguments, warrant.holder_key
        )
    return request


class _Gate:
    """The approval gate of one guarded tool."""

    def __init__(
        self, fn: Callable, tool: str, warrant: Warrant, handler: Callable | None, signing_key: Any,
        trusted_roots: tuple[PublicKey, ...] = (), control_plane: Any = None, dry_run: bool = False,
    ) -> None:
        self.signature = inspect.signature(fn)
        self.tool = tool
        self.warrant = warrant
        self.handler = handler
        self.signing_key = signing_key
        # The warrant's approvers decide; without any, the configured roots do; without those, nobody.
        self.allowed = set(warrant.required_approvers) or set(trusted_roots)
        self.control_plane = control_plane
        self.dry_run = dry_run

    def passed(self, request: ApprovalRequest | None, approvals: list) -> None:
        self._emit("allowed", request, approvals)

    def refused(self, refusal: Exception) -> bool:
        """Reports a refusal; True when the call runs anyway (observe-first), False when it is refused."""
        request = refusal.request if isinstance(refusal, ApprovalDenied) else None
        reason = refusal.reason if isinstance(refusal, ApprovalDenied) else str(refusal)
        if self.dry_run:
            logger.warning("observe-first: %s would be refused (%s); running it anyway", self.tool, reason)
            self._emit("observed", request, [], reason)
            return True
        self._emit("denied", request, [], reason)
        return False

    def _emit(self, decision: str, request: ApprovalRequest | None, approvals: list, reason: str | None = None) -> None:
        if self.control_plane is not None:
            deliver(self.control_plane, call_receipt("tool_call", self.tool, self.warrant.id, decision,
                                                     request if isinstance(request, ApprovalRequest) else None,
                                                     approvals, reason=reason, dry_run=self.dry_run))

    def open(self, args: tuple, kwargs: dict) -> ApprovalRequest | None:
        """Check the call against the warrant; the request to approve, or None if none is needed."""
        bound = self.signature.bind(*args, **kwargs)
        bound.apply_defaults()
        if not self.warrant.grants(self.tool):
            raise WarrantError(f"warrant {self.warrant.id} does not grant the tool {self.tool}")
        if not self.warrant.needs_approval:
            return None
        request = self._request(dict(bound.arguments))
        if self.handler is None:
            raise ApprovalDenied(request, reason="the call needs approval and no approval handler is installed")
        return request

    def _request(self, arguments: dict) -> ApprovalRequest:
        return approval_request(self.warrant, self.tool, arguments, self.signing_key)

    def key_scope(self) -> contextlib.AbstractContextManager:
        # Without a key of its own the gate leaves any outer binding visible.
        return bind_key_scope(self.signing_key) if self.signing_key is not None else contextlib.nullcontext()

    def ask(self, request: ApprovalRequest) -> list:
        with self.key_scope():
            result = self.handler(request)
            if inspect.isawaitable(result):
                result = self._run_from_sync(result)
        return verified_approvals(request, result, self.allowed, outsider=self._outsider)

    async def ask_async(self, request: ApprovalRequest) -> list:
        with self.key_scope():
            result = self.handler(request)
            if inspect.isawaitable(result):
                result = await result
        return verified_approvals(request, result, self.allowed, outsider=self._outsider)

    @property
    def _outsider(self) -> str:
        return "is not a required approver" if self.warrant.required_approvers else "is not a trusted root"

    @staticmethod
    def _run_from_sync(awaitable: Any) -> Any:
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return asyncio.run(_awaited(awaitable))
        if inspect.iscoroutine(awaitable):
            awaitable.close()
        raise TypeError("an async approval handler cannot serve a synchronous tool called inside an event loop")


def guard(
    tool: str | None = None,
    *,
    warrant: Warrant,
    approval_handler: Callable | None = None,
    signing_key: SigningKey | None = None,
    trusted_roots: Any = (),
    control_plane: Any = None,
    dry_run: bool = False,
) -> Callable[[Callable], Callable]:
    """Guard a tool function with ``warrant``.

    A call that needs approval runs only after ``approval_handler`` returned
    valid signed approvals for it; otherwise ApprovalDenied is raised.  The
    approvers are the warrant's ``required_approvers``; a warrant that names
    none accepts approvals signed by one of ``trusted_roots``, and with
    neither nothing is approved.  The tool's name defaults to the function's
    name.

    ``control_plane`` (anything with ``emit_receipt(receipt)``) receives one
    receipt per call: allowed, denied, or, with ``dry_run`` (observe-first),
    observed for a call that would have been refused and runs anyway.
    """
    _check_guard_options(warrant, approval_handler, signing_key)
    check_control_plane(control_plane)
    if not isinstance(dry_run, bool):
        raise TypeError("dry_run must be True or False")
    if isinstance(trusted_roots, (str, bytes, bytearray)):
        raise TypeError("trusted_roots must be a sequence of public keys")
    roots = tuple(_public_key(root) for root in trusted_roots or ())

    def decorate(fn: Callable) -> Callable:
        gate = _Gate(fn, tool or fn.__name__, warrant, approval_handler, signing_key, roots, control_plane, dry_run)
        if inspect.iscoroutinefunction(fn):

            @functools.wraps(fn)
            async def guarded_async(*args: Any, **kwargs: Any) -> Any:
                try:
                    request = gate.open(args, kwargs)
                    approvals = await gate.ask_async(request) if request is not None else []
                except (WarrantError, ApprovalDenied) as refusal:
                    if not gate.refused(refusal):
                        raise
                else:
                    gate.passed(request, approvals)
                return await fn(*args, **kwargs)

            return guarded_async

        @functools.wraps(fn)
        def guarded(*args: Any, **kwargs: Any) -> Any:
            try:
                request = gate.open(args, kwargs)
                approvals = gate.ask(request) if request is not None else []
            except (WarrantError, ApprovalDenied) as refusal:
                if not gate.refused(refusal):
                    raise
            else:
                gate.passed(request, approvals)
            return fn(*args, **kwargs)

        return guarded

    return decorate


class GuardBuilder:
    """``GuardBuilder(warrant).on_approval(handler).signing_key(key).build()`` gives a guard decorator."""

    def __init__(self, warrant: Warrant) -> None:
        self._warrant = warrant
        self._tool: str | None = None
        self._handler: Callable | None = None
        self._signing_key: SigningKey | None = None
        self._trusted_roots: tuple = ()
        self._control_plane: Any = None
        self._dry_run = False

    def tool(self, name: str) -> GuardBuilder:
        self._tool = name
        return self

    def on_approval(self, handler: Callable) -> GuardBuilder:
        self._handler = handler
        return self

    def signing_key(self, key: SigningKey) -> GuardBuilder:
        self._signing_key = key
        return self

    def trusted_roots(self, *keys: Any) -> GuardBuilder:
        self._trusted_roots = keys
        return self

    def control_plane(self, control_plane: Any) -> GuardBuilder:
        self._control_plane = control_plane
        return self

    def dry_run(self, observe: bool = True) -> GuardBuilder:
        self._dry_run = observe
        return self

    def build(self) -> Callable[[Callable], Callable]:
        return guard(self._tool, warrant=self._warrant, approval_handler=self._handler, signing_key=self._signing_key,
                     trusted_roots=self._trusted_roots, control_plane=self._control_plane, dry_run=self._dry_run)
