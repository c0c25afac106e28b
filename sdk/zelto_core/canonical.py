"""Canonical CBOR and the approval-context hash.

Canonical here is the core deterministic encoding of RFC 8949 section 4.2.1:
shortest integer, length and float forms, definite lengths, and map keys
sorted by the bytes of their own encoding.  Every hash and signature in the
core is taken over this encoding, so one value always has one byte form.
"""

from __future__ import annotations

import hashlib
from collections.abc import Mapping
from typing import Any

import cbor2

__all__ = [
    "APPROVAL_CONTEXT_TAG",
    "canonical_cbor",
    "decode_canonical_cbor",
    "approval_request_hash",
    "public_key_bytes",
]

APPROVAL_CONTEXT_TAG = "zelto.approval-context.v1"

_MAX_DEPTH = 128
_MAJOR_ARRAY = 4
_MAJOR_MAP = 5


def _head(major: int, length: int) -> bytes:
    if length < 24:
        return bytes([major << 5 | length])
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if length < 1 << (8 * size):
            return bytes([major << 5 | info]) + length.to_bytes(size, "big")
    raise ValueError("container too large for CBOR")


_MAJOR_UNSIGNED = 0
_MAJOR_NEGATIVE = 1
_MAJOR_BYTES = 2
_MAJOR_TEXT = 3
_LARGEST = 1 << 64  # integers from -2**64 to 2**64 - 1 have a head of their own; others are tagged bignums


def _encode(value: Any, depth: int) -> bytes:
    if depth > _MAX_DEPTH:
        raise ValueError("value is nested too deeply for canonical CBOR")
    # Text, byte strings and integers that fit a head are a head and their bytes: written here, as cbor2
    # writes them, without setting up an encoder for each.
    kind = type(value)
    if kind is str:
        try:
            data = value.encode("utf-8")
        except UnicodeEncodeError:
            return cbor2.dumps(value, canonical=True)  # refused as cbor2 refuses it
        return _head(_MAJOR_TEXT, len(data)) + data
    if kind is bytes:
        return _head(_MAJOR_BYTES, len(value)) + value
    if kind is int and -_LARGEST <= value < _LARGEST:
        return _head(_MAJOR_UNSIGNED, value) if value >= 0 else _head(_MAJOR_NEGATIVE, -1 - value)
    if isinstance(value, Mapping):
        entries = sorted((_encode(key, depth + 1), _encode(item, depth + 1)) for key, item in value.items())
        keys = [key for key, _ in entries]
        if len(set(keys)) != len(keys):
            raise ValueError("map has two keys with the same encoding")
        return _head(_MAJOR_MAP, len(entries)) + b"".join(key + item for key, item in entries)
    if isinstance(value, (list, tuple)):
        return _head(_MAJOR_ARRAY, len(value)) + b"".join(_encode(item, depth + 1) for item in value)
    if isinstance(value, (bytearray, memoryview)):
        value = bytes(value)
    if value is None or isinstance(value, (bool, int, float, str, bytes)):
        # cbor2's canonical mode gives the shortest forms for these scalars;
        # only its map ordering differs from the core deterministic one.
        return cbor2.dumps(value, canonical=True)
    raise TypeError(f"a {type(value).__name__} cannot be encoded as canonical CBOR")


def canonical_cbor(value: Any) -> bytes:
    """Encode None, booleans, numbers, text, bytes, lists and mappings canonically."""
    return _encode(value, 0)


def decode_canonical_cbor(data: bytes) -> Any:
    """Decode one canonical CBOR item; ValueError if ``data`` is anything else."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError("canonical CBOR must be given as bytes")
    data = bytes(data)
    try:
        value = cbor2.loads(data, allow_indefinite=False, allow_duplicate_keys=False, max_depth=_MAX_DEPTH)
        encoded = canonical_cbor(value)
    except Exception as exc:
        raise ValueError(f"not valid canonical CBOR: {exc}") from exc
    # Re-encoding catches trailing bytes, non-shortest forms and unsorted keys.
    if encoded != data:
        raise ValueError("not valid canonical CBOR: the bytes are not in canonical form")
    return value


def public_key_bytes(public_key: Any) -> bytes:
    """The raw bytes of a public key given as a key object or as bytes."""
    if isinstance(public_key, (bytes, bytearray, memoryview)):
        return bytes(public_key)
    to_bytes = getattr(public_key, "to_bytes", None)
    if callable(to_bytes):
        return bytes(to_bytes())
    raise TypeError("a public key must be a PublicKey or its raw bytes")


def approval_request_hash(warrant_id: str, tool: str, arguments: Any, holder_public_key: Any) -> bytes:
    """SHA-256 over the canonical CBOR of the approval context of one tool call."""
    if not isinstance(warrant_id, str) or not isinstance(tool, str):
        raise TypeError("warrant_id and tool must be strings")
    context = [APPROVAL_CONTEXT_TAG, warrant_id, tool, arguments, public_key_bytes(holder_public_key)]
    return hashlib.sha256(canonical_cbor(context)).digest()
