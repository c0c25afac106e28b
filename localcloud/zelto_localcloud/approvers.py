"""The approvers this server signs for.

Each has a name, an Ed25519 signing key whose seed never leaves the database,
and a password (stored as a scrypt hash) to sign in with. The registry reads
the database on every use, so approvers added or removed from the command line
take effect in a running server at once.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

from zelto_core import SignedApproval, SigningKey

from .credentials import hash_password, new_password
from .store import ApproverRecord, Store

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


@functools.lru_cache(maxsize=256)
def _signing_key(seed: bytes) -> SigningKey:
    # Made once per seed: an approver's every call would otherwise rebuild the key (the registry reads the
    # record each time, so a removed or replaced approver is still noticed at once).
    return SigningKey.from_bytes(seed)


@dataclass(frozen=True)
class Approver:
    name: str
    signing_key: SigningKey
    public_key_hex: str

    @classmethod
    def from_record(cls, record: ApproverRecord) -> Approver:
        return cls(name=record.name, signing_key=_signing_key(record.seed), public_key_hex=record.public_key)

    def sign(self, request_hash: bytes, approved_at: int) -> bytes:
        approval = SignedApproval.create(self.signing_key, request_hash, approved_at=approved_at)
        return approval.to_bytes()


class ApproverRegistry:
    def __init__(self, store: Store):
        self._store = store

    def all(self) -> list[Approver]:
        return [Approver.from_record(record) for record in self._store.approvers()]

    def named(self, name: str) -> Approver | None:
        record = self._store.approver(name)
        return None if record is None else Approver.from_record(record)

    def record(self, name: str) -> ApproverRecord | None:
        return self._store.approver(name)

    def password_hash(self, name: str) -> str | None:
        record = self._store.approver(name)
        return None if record is None else record.password_hash

    def resolve(self, reference: str) -> Approver | None:
        """Finds an approver by name, or by public key in hex of either case."""
        record = self._store.approver(reference)
        if record is None and _KEY_HEX.match(reference):
            record = self._store.approver_by_key(reference.lower())
        return None if record is None else Approver.from_record(record)

    def name_for_key(self, public_key_hex: str) -> str | None:
        record = self._store.approver_by_key(public_key_hex)
        return None if record is None else record.name


def add_approver(store: Store, name: str, password: str, now: float) -> Approver:
    key = SigningKey.generate()
    record = ApproverRecord(
        name=check_approver_name(name),
        seed=key.to_bytes(),
        public_key=key.public_key.hex().lower(),
        password_hash=hash_password(password),
        created_at=now,
    )
    store.add_approver(record)
    return Approver.from_record(record)


def ensure_approvers(store: Store, wanted_names: list[str], now: float) -> dict[str, str]:
    """Adds each wanted approver not yet stored (alice, bob and carol on a first start).

    Answers the new approvers' generated passwords, by name: they are shown once.
    """
    passwords: dict[str, str] = {}
    with store.transaction():
        first_start = not store.approvers()
        names = list(DEFAULT_APPROVERS if first_start else ()) + list(wanted_names)
        for name in dict.fromkeys(names):
            if store.approver(name) is None:
                passwords[name] = new_password()
                add_approver(store, name, passwords[name], now)
    return passwords
