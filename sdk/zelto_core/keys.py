"""Ed25519 signing and public keys."""

from __future__ import annotations

from typing import Any

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

__all__ = ["SigningKey", "PublicKey"]

_KEY_SIZE = 32
_SIGNATURE_SIZE = 64
_RAW = {"encoding": serialization.Encoding.Raw, "format": serialization.PublicFormat.Raw}


def _raw_key_bytes(data: Any, what: str) -> bytes:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError(f"{what} must be {_KEY_SIZE} bytes, not {type(data).__name__}")
    data = bytes(data)
    if len(data) != _KEY_SIZE:
        raise ValueError(f"{what} must be {_KEY_SIZE} bytes, not {len(data)}")
    return data


def _message_bytes(message: Any) -> bytes:
    if not isinstance(message, (bytes, bytearray, memoryview)):
        raise TypeError(f"a message to sign or verify must be bytes, not {type(message).__name__}")
    return bytes(message)


class PublicKey:
    """An Ed25519 public key; equal keys have equal raw bytes."""

    __slots__ = ("_raw", "_key")

    def __init__(self, key: Ed25519PublicKey) -> None:
        self._key = key
        self._raw = key.public_bytes(**_RAW)

    @classmethod
    def from_bytes(cls, data: bytes) -> PublicKey:
        raw = _raw_key_bytes(data, "an Ed25519 public key")
        try:
            return cls(Ed25519PublicKey.from_public_bytes(raw))
        except Exception as exc:
            raise ValueError("not a valid Ed25519 public key") from exc

    def to_bytes(self) -> bytes:
        return self._raw

    def __bytes__(self) -> bytes:
        return self._raw

    def hex(self) -> str:
        return self._raw.hex()

    def __str__(self) -> str:
        return self._raw.hex()

    def __repr__(self) -> str:
        return f"PublicKey({self._raw.hex()!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PublicKey):
            return NotImplemented
        return self._raw == other._raw

    def __hash__(self) -> int:
        return hash(self._raw)

    def __copy__(self) -> PublicKey:
        return self

    def __deepcopy__(self, memo: dict) -> PublicKey:
        return self

    def verify(self, signature: Any, message: bytes) -> bool:
        """True if ``signature`` is this key's signature over ``message``."""
        message = _message_bytes(message)
        if not isinstance(signature, (bytes, bytearray, memoryview)) or len(signature) != _SIGNATURE_SIZE:
            return False
        try:
            self._key.verify(bytes(signature), message)
        except InvalidSignature:
            return False
        return True


class SigningKey:
    """An Ed25519 signing key, made from its 32-byte seed."""

    __slots__ = ("_key", "_public_key")

    def __init__(self, key: Ed25519PrivateKey) -> None:
        self._key = key
        self._public_key = PublicKey(key.public_key())

    @classmethod
    def generate(cls) -> SigningKey:
        return cls(Ed25519PrivateKey.generate())

    @classmethod
    def from_bytes(cls, data: bytes) -> SigningKey:
        return cls(Ed25519PrivateKey.from_private_bytes(_raw_key_bytes(data, "an Ed25519 signing key seed")))

    def to_bytes(self) -> bytes:
        return self._key.private_bytes(
            serialization.Encoding.Raw, serialization.PrivateFormat.Raw, serialization.NoEncryption()
        )

    @property
    def public_key(self) -> PublicKey:
        return self._public_key

    def sign(self, message: bytes) -> bytes:
        return self._key.sign(_message_bytes(message))

    def __repr__(self) -> str:
        return f"SigningKey(public_key={self._public_key.hex()!r})"

    # Keys are immutable, so a copy is the key itself.
    def __copy__(self) -> SigningKey:
        return self

    def __deepcopy__(self, memo: dict) -> SigningKey:
        return self
