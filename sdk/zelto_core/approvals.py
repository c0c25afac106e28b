"""Signed approvals and approval-context attestations."""

from __future__ import annotations

import base64
import hashlib
import time
from typing import Any

from .canonical import (
    APPROVAL_CONTEXT_TAG,
    approval_request_hash,
    canonical_cbor,
    decode_canonical_cbor,
    public_key_bytes,
)
from .keys import PublicKey, SigningKey

__all__ = ["SignedApproval", "approval_context_signature_valid", "py_build_approval_context_attestation"]

SIGNED_APPROVAL_DOMAIN = b"zelto.signed-approval.v1\x00"
APPROVAL_CONTEXT_DOMAIN = APPROVAL_CONTEXT_TAG.encode() + b"\x00"

_FORMAT_VERSION = 1
_FIELDS = frozenset({"v", "request_hash", "approver_key", "approved_at", "signature"})
_MAX_ENCODED_SIZE = 64 * 1024


def _is_unsigned_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _check_approval_fields(request_hash: Any, approved_at: Any) -> None:
    if not isinstance(request_hash, bytes) or not request_hash:
        raise ValueError("request_hash must be non-empty bytes")
    if not _is_unsigned_int(approved_at):
        raise ValueError("approved_at must be a non-negative integer")


def _signed_message(request_hash: bytes, approver_key: PublicKey, approved_at: int) -> bytes:
    unsigned = {
        "v": _FORMAT_VERSION,
        "request_hash": request_hash,
        "approver_key": approver_key.to_bytes(),
        "approved_at": approved_at,
    }
    return SIGNED_APPROVAL_DOMAIN + canonical_cbor(unsigned)


class SignedApproval:
    """One approver's Ed25519 signature over an approval request's hash.

    Its wire form is the canonical CBOR map of ``v``, ``request_hash``,
    ``approver_key``, ``approved_at`` and ``signature``; the signature covers
    the same map without ``signature``, behind a domain-separation prefix.
    """

    __slots__ = ("_request_hash", "_approver_key", "_approved_at", "_signature", "_encoded")

    def __init__(self, *, request_hash: bytes, approver_key: PublicKey, approved_at: int, signature: bytes) -> None:
        _check_approval_fields(request_hash, approved_at)
        if not isinstance(approver_key, PublicKey):
            raise ValueError("approver_key must be a PublicKey")
        if not isinstance(signature, bytes) or len(signature) != 64:
            raise ValueError("signature must be 64 bytes")
        self._request_hash = request_hash
        self._approver_key = approver_key
        self._approved_at = approved_at
        self._signature = signature
        self._encoded = canonical_cbor(
            {
                "v": _FORMAT_VERSION,
                "request_hash": request_hash,
                "approver_key": approver_key.to_bytes(),
                "approved_at": approved_at,
                "signature": signature,
            }
        )

    @classmethod
    def create(cls, signing_key: SigningKey, request_hash: bytes, *, approved_at: int | None = None) -> SignedApproval:
        """Approve ``request_hash`` with ``signing_key``, at ``approved_at`` (default: now)."""
        if not isinstance(signing_key, SigningKey):
            raise TypeError("signing_key must be a SigningKey")
        if isinstance(request_hash, (bytearray, memoryview)):
            request_hash = bytes(request_hash)
        if approved_at is None:
            approved_at = int(time.time())
        _check_approval_fields(request_hash, approved_at)
        signature = signing_key.sign(_signed_message(request_hash, signing_key.public_key, approved_at))
        return cls(
            request_hash=request_hash,
            approver_key=signing_key.public_key,
            approved_at=approved_at,
            signature=signature,
        )

    @classmethod
    def from_bytes(cls, data: bytes) -> SignedApproval:
        """Decode the canonical CBOR form; ValueError on anything else.

        The signature is not checked here; call :meth:`verify`.
        """
        if isinstance(data, (bytes, bytearray, memoryview)) and len(data) > _MAX_ENCODED_SIZE:
            raise ValueError("signed approval is too large")
        fields = decode_canonical_cbor(data)
        if not isinstance(fields, dict) or set(fields) != _FIELDS:
            raise ValueError(f"a signed approval is a map of exactly {sorted(_FIELDS)}")
        if type(fields["v"]) is not int or fields["v"] != _FORMAT_VERSION:
            raise ValueError(f"unsupported signed approval version {fields['v']!r}")
        if not isinstance(fields["approver_key"], bytes):
            raise ValueError("approver_key must be a byte string")
        return cls(
            request_hash=fields["request_hash"],
            approver_key=PublicKey.from_bytes(fields["approver_key"]),
            approved_at=fields["approved_at"],
            signature=fields["signature"],
        )

    @property
    def request_hash(self) -> bytes:
        return self._request_hash

    @property
    def approver_key(self) -> PublicKey:
        return self._approver_key

    @property
    def approved_at(self) -> int:
        return self._approved_at

    @property
    def signature(self) -> bytes:
        return self._signature

    def to_bytes(self) -> bytes:
        return self._encoded

    def verify(self) -> bool:
        """True if the signature is the approver key's over this approval."""
        message = _signed_message(self.request_hash, self.approver_key, self.approved_at)
        return self.approver_key.verify(self.signature, message)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SignedApproval):
            return NotImplemented
        return self._encoded == other._encoded

    def __hash__(self) -> int:
        return hash(self._encoded)

    def __repr__(self) -> str:
        return (
            f"SignedApproval(approver_key={self.approver_key.hex()!r}, "
            f"request_hash={self.request_hash.hex()!r}, approved_at={self.approved_at})"
        )


def py_build_approval_context_attestation(
    signing_key: SigningKey, warrant_id: str, tool: str, arguments: Any, holder_public_key: Any
) -> tuple[str, dict]:
    """The canonical arguments and the holder's attestation of one tool call.

    Returns the standard base64 of the canonical CBOR of ``arguments``, and an
    attestation whose ``signature`` is ``signing_key``'s over the approval
    context domain followed by the request hash.
    """
    if not isinstance(signing_key, SigningKey):
        raise TypeError("signing_key must be a SigningKey")
    holder = public_key_bytes(holder_public_key)
    args_cbor = canonical_cbor(arguments)
    request_hash = approval_request_hash(warrant_id, tool, arguments, holder)
    attestation = {
        "v": _FORMAT_VERSION,
        "warrant_id": warrant_id,
        "tool": tool,
        "holder_key": holder.hex(),
        "args_hash": hashlib.sha256(args_cbor).hexdigest(),
        "request_hash": request_hash.hex(),
        "signer_key": signing_key.public_key.hex(),
        "signature": signing_key.sign(APPROVAL_CONTEXT_DOMAIN + request_hash).hex(),
    }
    return base64.b64encode(args_cbor).decode("ascii"), attestation


def approval_context_signature_valid(signer_public_key: Any, request_hash: bytes, signature: Any) -> bool:
    """True if ``signature`` is the signer's attestation signature over ``request_hash``."""
    if isinstance(signer_public_key, (bytes, bytearray, memoryview)):
        try:
            signer_public_key = PublicKey.from_bytes(bytes(signer_public_key))
        except ValueError:
            return False
    if not isinstance(signer_public_key, PublicKey) or not isinstance(request_hash, bytes):
        return False
    return signer_public_key.verify(signature, APPROVAL_CONTEXT_DOMAIN + request_hash)
