"""Warrants: which tools a holder may call, and whose approval a call needs."""

from __future__ import annotations

from dataclasses import dataclass

from zelto_core import PublicKey

__all__ = ["Warrant", "WarrantError"]


class WarrantError(PermissionError):
    """The warrant does not allow the call."""


def _public_key(value: object) -> PublicKey:
    if isinstance(value, PublicKey):
        return value
    if isinstance(value, (bytes, bytearray)):
        return PublicKey.from_bytes(bytes(value))
    raise TypeError(f"a key must be a PublicKey or its 32 raw bytes, not {type(value).__name__}")


@dataclass(frozen=True)
class Warrant:
    """A holder's grant for ``tools`` (empty: every tool).

    A call needs approval when the warrant names ``required_approvers`` or sets
    ``require_approval``; it then needs ``min_approvals`` distinct approvers
    (one of the required ones, when any are named).
    """

    id: str
    holder_key: PublicKey
    tools: tuple[str, ...] = ()
    required_approvers: tuple[PublicKey, ...] = ()
    min_approvals: int = 1
    ttl_seconds: int | None = None
    policy_id: str | None = None
    require_approval: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.id, str) or not self.id:
            raise ValueError("a warrant needs a non-empty id")
        if isinstance(self.tools, str) or not all(isinstance(tool, str) for tool in self.tools):
            raise TypeError("tools must be a sequence of tool names")
        object.__setattr__(self, "tools", tuple(self.tools))
        object.__setattr__(self, "holder_key", _public_key(self.holder_key))
        approvers = tuple(dict.fromkeys(_public_key(key) for key in self.required_approvers))
        object.__setattr__(self, "required_approvers", approvers)
        if type(self.min_approvals) is not int or self.min_approvals < 1:
            raise ValueError("min_approvals must be a positive integer")
        if approvers and self.min_approvals > len(approvers):
            raise ValueError("min_approvals exceeds the number of required approvers")

    @property
    def needs_approval(self) -> bool:
        return self.require_approval or bool(self.required_approvers)

    def grants(self, tool: str) -> bool:
        return not self.tools or tool in self.tools
