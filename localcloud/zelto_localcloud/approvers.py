"""The approvers this server signs for. Their Ed25519 seeds live in the database."""

from __future__ import annotations

import re
from dataclasses import dataclass

from zelto_core import SignedApproval, SigningKey

from .store import Store

DEFAULT_APPROVERS = ("alice", "bob", "carol")

_NAME = re.compile(r"\A[A-Za-z][A-Za-z0-9_.-]{0,63}\Z")
_KEY_HEX = re.compile(r"\A[0-9a-fA-F]{64}\Z")


def check_approver_name(name: str) -> str:
    # A name that looks like a public key would make "approver" references ambiguous.
    if not _NAME.match(name) or _KEY_HEX.match(name):
        raise ValueError(
            f"approver name {name!r} must start with a letter, hold only letters, digits, '_', '.'"
            " or '-', be at most 64 characters and not look like a public key"
        )
    return name


@dataclass(frozen=True)
class Approver:
    name: str
    signing_key: SigningKey
    public_key_hex: str

    def sign(self, request_hash: bytes, approved_at: int) -> bytes:
        approval = SignedApproval.create(self.signing_key, request_hash, approved_at=approved_at)
        return approval.to_bytes()


def _approver_from_seed(name: str, seed: bytes) -> Approver:
    key = SigningKey.from_bytes(seed)
    return Approver(name=name, signing_key=key, public_key_hex=key.public_key.hex().lower())


class ApproverRegistry:
    def __init__(self, approvers: list[Approver]):
        self._by_name = {a.name: a for a in approvers}
        self._by_key = {a.public_key_hex: a for a in approvers}

    def all(self) -> list[Approver]:
        return list(self._by_name.values())

    def resolve(self, reference: str) -> Approver | None:
        """Finds an approver by name, or by public key in hex of either case."""
        return self._by_name.get(reference) or self._by_key.get(reference.lower())

    def name_for_key(self, public_key_hex: str) -> str | None:
        approver = self._by_key.get(public_key_hex)
        return approver.name if approver else None


def load_approvers(store: Store, wanted_names: list[str], now: float) -> ApproverRegistry:
    """Loads the stored approvers, generating a key for each wanted name not yet stored."""
    with store.transaction():
        stored = dict(store.approvers())
        first_start = not stored
        names = list(DEFAULT_APPROVERS if first_start else ()) + list(wanted_names)
        for name in dict.fromkeys(names):
            if name not in stored:
                key = SigningKey.generate()
                seed = key.to_bytes()
                store.add_approver(check_approver_name(name), seed, key.public_key.hex().lower(), now)
                stored[name] = seed
    return ApproverRegistry([_approver_from_seed(n, s) for n, s in store.approvers()])
