"""Temporal integration: a worker plugin that guards activities with warrants.

    from temporalio import activity
    from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig, carries_warrant

    @carries_warrant(payments_warrant)
    @activity.defn
    def transfer_funds(amount: int, to: str) -> str: ...

    config = ZeltoPluginConfig(signing_key=worker_key, activity_fns=[transfer_funds],
                               approval_handler=handler, trusted_roots=[worker_key.public_key])
    worker = Worker(client, task_queue="payments", plugins=[ZeltoPlugin(config)],
                    activity_executor=ThreadPoolExecutor(4))

An activity carries its warrant as an attribute set by ``carries_warrant``.
The plugin registers every configured activity; one whose warrant needs
approval calls ``approval_handler`` synchronously inside the activity, checks
the signed approvals (signature, request hash, allowed approver, threshold)
and only then runs.  An ``ApplicationError`` raised by the handler reaches
Temporal untouched, so that Temporal retries or fails the activity.

Allowed approvers are the warrant's ``required_approvers``; a warrant that
names none accepts approvals signed by one of the ``trusted_roots``.

Needs the ``temporal`` extra (temporalio).
"""

from __future__ import annotations

import functools
import inspect
import logging
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from temporalio import activity
from temporalio.exceptions import ApplicationError
from temporalio.plugin import SimplePlugin

from zelto_core import PublicKey, SignedApproval, SigningKey

from .approval import ApprovalDenied, ApprovalRequest, verified_approvals
from .decorators import approval_request, bind_key_scope
from .warrant import Warrant, _public_key

__all__ = ["ZeltoPlugin", "ZeltoPluginConfig", "carries_warrant", "warrant_of"]

logger = logging.getLogger("zelto.temporal")

_WARRANT_ATTRIBUTE = "__zelto_warrant__"
_ON_DENIAL = ("raise", "skip")
DENIED_ERROR_TYPE = "ZeltoDenied"


def carries_warrant(warrant: Warrant) -> Callable[[Callable], Callable]:
    """Mark an activity function with the warrant that guards it."""
    if not isinstance(warrant, Warrant):
        raise TypeError("carries_warrant needs a Warrant")

    def mark(fn: Callable) -> Callable:
        setattr(fn, _WARRANT_ATTRIBUTE, warrant)
        return fn

    return mark


def warrant_of(fn: Callable) -> Warrant | None:
    return getattr(fn, _WARRANT_ATTRIBUTE, None)


@dataclass(kw_only=True)
class ZeltoPluginConfig:
    """What the plugin guards and how.

    ``signing_key`` is the worker's key: the holder of the warrants it runs
    under, bound as the key scope while the approval handler runs.
    ``control_plane`` receives one receipt per guarded call.  ``on_denial``
    is "raise" (the activity fails with a non-retryable ApplicationError of
    type "ZeltoDenied") or "skip" (the activity returns None without
    running).  With ``dry_run`` every decision is observed and reported but
    nothing is blocked, and no approval is asked for.
    """

    signing_key: SigningKey | None = None
    control_plane: Any = None
    on_denial: str = "raise"
    trusted_roots: Sequence[PublicKey] | None = None
    activity_fns: Sequence[Callable] = field(default_factory=list)
    approval_handler: Callable | None = None
    dry_run: bool = False

    def __post_init__(self) -> None:
        if self.signing_key is not None and not isinstance(self.signing_key, SigningKey):
            raise TypeError("signing_key must be a SigningKey")
        if self.control_plane is not None and not callable(getattr(self.control_plane, "emit_receipt", None)):
            raise TypeError("control_plane must have an emit_receipt(receipt) method")
        if self.on_denial not in _ON_DENIAL:
            raise ValueError(f"on_denial must be one of {', '.join(_ON_DENIAL)}, not {self.on_denial!r}")
        if self.trusted_roots is not None:
            self.trusted_roots = self._normalised_roots(self.trusted_roots)
        if isinstance(self.activity_fns, (str, bytes)):
            raise TypeError("activity_fns must be a sequence of activity functions")
        if not isinstance(self.activity_fns, list):
            self.activity_fns = list(self.activity_fns)
        for fn in self.activity_fns:
            if not callable(fn):
                raise TypeError(f"activity_fns holds a {type(fn).__name__}, which is not callable")
        if self.approval_handler is not None and not callable(self.approval_handler):
            raise TypeError("approval_handler must be callable")
        if not isinstance(self.dry_run, bool):
            raise TypeError("dry_run must be True or False")

    @staticmethod
    def _normalised_roots(roots: Any) -> list[PublicKey]:
        # A list of keys is kept as it is (the same object); anything else
        # becomes a new list of keys.
        if isinstance(roots, (str, bytes, bytearray)):
            raise TypeError("trusted_roots must be a sequence of public keys")
        if isinstance(roots, list) and all(isinstance(root, PublicKey) for root in roots):
            return roots
        return [_public_key(root) for root in roots]


class _ActivityGate:
    """The warrant check of one guarded activity."""

    def __init__(self, fn: Callable, tool: str, warrant: Warrant, config: ZeltoPluginConfig) -> None:
        self.signature = inspect.signature(fn)
        self.tool = tool
        self.warrant = warrant
        self.config = config

    def admit(self, args: tuple, kwargs: dict) -> bool:
        """True when the activity may run; False when it is to be skipped."""
        bound = self.signature.bind(*args, **kwargs)
        bound.apply_defaults()
        arguments = dict(bound.arguments)
        if not self.warrant.grants(self.tool):
            return self._refuse(f"warrant {self.warrant.id} does not grant the tool {self.tool}", None)
        if not self.warrant.needs_approval:
            self._emit("allowed", None, [])
            return True
        request = self._request(arguments)
        if self.config.dry_run:
            logger.info("dry run: %s needs approval; running it without asking", self.tool)
            self._emit("observed", request, [], reason="approval required")
            return True
        if self.config.approval_handler is None:
            return self._refuse("the call needs approval and no approval handler is configured", request)
        try:
            with bind_key_scope(self.config.signing_key):
                result = self.config.approval_handler(request)
            if inspect.isawaitable(result):
                raise TypeError("the approval handler of a Temporal activity must be synchronous")
            approvals = self._verified(request, result)
        except ApprovalDenied as denial:
            return self._refuse(denial.reason, request)
        self._emit("allowed", request, approvals)
        return True

    def _request(self, arguments: dict) -> ApprovalRequest:
        key = self.config.signing_key
        holder_key = key if key is not None and key.public_key == self.warrant.holder_key else None
        return approval_request(self.warrant, self.tool, arguments, holder_key,
                                request_id=f"act_{activity.info().activity_id}")

    def _allowed_approvers(self) -> set[PublicKey]:
        return set(self.warrant.required_approvers) or set(self.config.trusted_roots or ())

    def _verified(self, request: ApprovalRequest, result: Any) -> list[SignedApproval]:
        allowed = self._allowed_approvers()
        if not allowed:
            raise ApprovalDenied(request, reason="the warrant names no approvers and no trusted roots are configured")
        return verified_approvals(request, result, allowed, outsider="is neither a required approver nor a trusted root")

    def _refuse(self, reason: str, request: ApprovalRequest | None) -> bool:
        if self.config.dry_run:
            logger.warning("dry run: %s would be refused: %s", self.tool, reason)
            self._emit("observed", request, [], reason=reason)
            return True
        self._emit("denied", request, [], reason=reason)
        if self.config.on_denial == "skip":
            logger.warning("skipping %s: %s", self.tool, reason)
            return False
        raise ApplicationError(f"{self.tool} refused: {reason}", type=DENIED_ERROR_TYPE, non_retryable=True)

    def _emit(self, decision: str, request: ApprovalRequest | None, approvals: list, *, reason: str | None = None) -> None:
        control_plane = self.config.control_plane
        if control_plane is None:
            return
        info = activity.info()
        receipt = {
            "v": 1,
            "kind": "temporal_activity",
            "tool": self.tool,
            "warrant_id": self.warrant.id,
            "decision": decision,
            "reason": reason,
            "dry_run": self.config.dry_run,
            "request_hash": request.request_hash.hex() if request is not None else None,
            "approvers": [approval.approver_key.hex() for approval in approvals],
            "workflow_id": info.workflow_id,
            "workflow_run_id": info.workflow_run_id,
            "activity_id": info.activity_id,
            "attempt": info.attempt,
            "at": int(time.time()),
        }
        try:
            control_plane.emit_receipt(receipt)
        except Exception as exc:
            # A receipt that cannot be delivered must not decide the call.
            logger.warning("receipt for %s not delivered: %s", self.tool, exc)


def _activity_name(fn: Callable) -> str:
    definition = getattr(fn, "__temporal_activity_definition", None)
    name = getattr(definition, "name", None)
    return name or fn.__name__


def _guarded(fn: Callable, config: ZeltoPluginConfig) -> Callable:
    warrant = warrant_of(fn)
    if warrant is None:
        return fn
    name = _activity_name(fn)
    gate = _ActivityGate(fn, name, warrant, config)
    if inspect.iscoroutinefunction(fn):

        async def guarded_activity(*args: Any, **kwargs: Any) -> Any:
            # The handler runs synchronously on the worker's event loop, as for any async activity.
            if not gate.admit(args, kwargs):
                return None
            return await fn(*args, **kwargs)

    else:

        def guarded_activity(*args: Any, **kwargs: Any) -> Any:
            if not gate.admit(args, kwargs):
                return None
            return fn(*args, **kwargs)

    # updated=(): the original's activity definition must not be copied over.
    functools.update_wrapper(guarded_activity, fn, updated=())
    return activity.defn(name=name)(guarded_activity)


class ZeltoPlugin(SimplePlugin):
    """A Temporal worker plugin that registers and guards the configured activities."""

    def __init__(self, config: ZeltoPluginConfig) -> None:
        if not isinstance(config, ZeltoPluginConfig):
            raise TypeError("ZeltoPlugin needs a ZeltoPluginConfig")
        self.config = config
        super().__init__("zelto.ZeltoPlugin", activities=[_guarded(fn, config) for fn in config.activity_fns])
