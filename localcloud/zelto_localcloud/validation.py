"""Parsing and checking of request bodies and query parameters.

Everything a client sends is checked here, so that the layers below only ever
see well-typed values and every mistake becomes a 400 naming the field.
"""

from __future__ import annotations

import base64
import binascii
import json
import re
from dataclasses import dataclass

from .errors import invalid_json, validation_error

MAX_NESTING = 64
MAX_THRESHOLD = 1000
MAX_TTL_SECONDS = 10 * 366 * 24 * 3600
DEFAULT_TTL_SECONDS = 3600
DEFAULT_LIST_LIMIT = 50
# A larger `limit` is answered with this many and a cursor to the rest.
MAX_LIST_LIMIT = 100
STATUSES = ("pending", "approved", "denied", "expired")

_HEX = re.compile(r"\A(?:[0-9a-fA-F]{2})+\Z")
_PUBLIC_KEY_HEX = re.compile(r"\A[0-9a-fA-F]{64}\Z")


@dataclass
class NewRequest:
    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: dict
    metadata: dict | None
    policy_id: str | None
    threshold: int
    approver_keys: list[str] | None
    ttl_seconds: int
    idempotency_key: str | None


def parse_json_object(raw: bytes) -> dict:
    try:
        value = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError:
        raise invalid_json("request body is not UTF-8") from None
    except RecursionError:
        raise invalid_json(f"request body nests deeper than {MAX_NESTING} levels") from None
    except ValueError as exc:
        raise invalid_json(f"request body is not valid JSON: {exc}") from None
    if not isinstance(value, dict):
        raise invalid_json("request body must be a JSON object")
    _check_nesting(value)
    _check_representable(value)
    return value


def _check_nesting(value) -> None:
    stack = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if depth > MAX_NESTING:
            raise invalid_json(f"request body nests deeper than {MAX_NESTING} levels")
        children = item.values() if isinstance(item, dict) else item if isinstance(item, list) else ()
        stack.extend((child, depth + 1) for child in children if isinstance(child, (dict, list)))


def _check_representable(value) -> None:
    # Python's parser accepts NaN, Infinity and lone surrogates; none of them
    # can be stored or sent back as strict UTF-8 JSON.
    try:
        json.dumps(value, ensure_ascii=False, allow_nan=False).encode("utf-8")
    except (ValueError, UnicodeEncodeError):
        raise invalid_json("request body holds NaN, Infinity or invalid Unicode") from None


def _required(body: dict, name: str):
    if body.get(name) is None:
        raise validation_error(f"field '{name}' is required")
    return body[name]


def _text(body: dict, name: str, *, required: bool, non_empty: bool = False) -> str | None:
    value = _required(body, name) if required else body.get(name)
    if value is None:
        return None
    if not isinstance(value, str):
        raise validation_error(f"field '{name}' must be a string")
    if non_empty and not value:
        raise validation_error(f"field '{name}' must not be empty")
    return value


def _hex_bytes(body: dict, name: str, *, length: int | None = None) -> bytes:
    value = _text(body, name, required=True, non_empty=True)
    if not _HEX.match(value):
        raise validation_error(f"field '{name}' must be an even-length hex string")
    raw = bytes.fromhex(value)
    if length is not None and len(raw) != length:
        raise validation_error(f"field '{name}' must be {length} bytes ({2 * length} hex digits)")
    return raw


def _base64_text(body: dict, name: str) -> str:
    value = _text(body, name, required=True, non_empty=True)
    try:
        base64.b64decode(value, validate=True)
    except (binascii.Error, ValueError):
        raise validation_error(f"field '{name}' must be standard base64 with padding") from None
    return value


def _object(body: dict, name: str, *, required: bool) -> dict | None:
    value = _required(body, name) if required else body.get(name)
    if value is None:
        return None
    if not isinstance(value, dict):
        raise validation_error(f"field '{name}' must be an object")
    return value


def _integer(body: dict, name: str, *, default: int, minimum: int, maximum: int) -> int:
    value = body.get(name)
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise validation_error(f"field '{name}' must be an integer")
    if not minimum <= value <= maximum:
        raise validation_error(f"field '{name}' must be between {minimum} and {maximum}")
    return value


def public_key_hex(value, name: str) -> str:
    if not isinstance(value, str) or not _PUBLIC_KEY_HEX.match(value):
        raise validation_error(f"field '{name}' must be a 32-byte public key in hex (64 hex digits)")
    return value.lower()


def _approver_keys(body: dict) -> list[str] | None:
    value = body.get("approver_keys")
    if value is None:
        return None
    if not isinstance(value, list):
        raise validation_error("field 'approver_keys' must be an array of hex strings")
    if not value:
        raise validation_error("field 'approver_keys' must not be empty; omit it to allow any approver")
    keys = [public_key_hex(item, f"approver_keys[{index}]") for index, item in enumerate(value)]
    return list(dict.fromkeys(keys))


def parse_new_request(body: dict, idempotency_header: str | None) -> NewRequest:
    approver_keys = _approver_keys(body)
    threshold = _integer(body, "threshold", default=1, minimum=1, maximum=MAX_THRESHOLD)
    if approver_keys is not None and threshold > len(approver_keys):
        raise validation_error(
            f"field 'threshold' ({threshold}) exceeds the number of distinct approver_keys ({len(approver_keys)})"
        )
    idempotency_key = idempotency_header or _text(body, "idempotency_key", required=False) or None
    return NewRequest(
        warrant_id=_text(body, "warrant_id", required=True),
        tool=_text(body, "tool", required=True),
        request_hash=_hex_bytes(body, "request_hash"),
        holder_key=_hex_bytes(body, "holder_key", length=32),
        args_canonical_cbor_b64=_base64_text(body, "args_canonical_cbor_b64"),
        approval_context_attestation=_object(body, "approval_context_attestation", required=True),
        metadata=_object(body, "metadata", required=False),
        policy_id=_text(body, "policy_id", required=False),
        threshold=threshold,
        approver_keys=approver_keys,
        ttl_seconds=_integer(
            body, "ttl_seconds", default=DEFAULT_TTL_SECONDS, minimum=0, maximum=MAX_TTL_SECONDS
        ),
        idempotency_key=idempotency_key,
    )


def parse_optional_approver(body: dict) -> str | None:
    """The approver a decision names, if it names one; it must be the one signed in."""
    value = _text(body, "approver", required=False)
    if value is not None and not value:
        raise validation_error("field 'approver' must not be empty")
    return value


def parse_reason(body: dict) -> str | None:
    reason = _text(body, "reason", required=False)
    return reason if reason and reason.strip() else None


def parse_token(body: dict) -> str:
    return _text(body, "token", required=True, non_empty=True)


def parse_receipt(body: dict) -> dict:
    return _object(body, "receipt", required=True)


def parse_list_query(params) -> tuple[str | None, int]:
    status = params.get("status") or None
    if status is not None and status not in STATUSES:
        raise validation_error(f"query parameter 'status' must be one of {', '.join(STATUSES)}")
    raw_limit = params.get("limit")
    if raw_limit is None or raw_limit == "":
        return status, DEFAULT_LIST_LIMIT
    if not raw_limit.isascii() or not raw_limit.isdigit():
        raise validation_error("query parameter 'limit' must be an integer")
    limit = int(raw_limit) if len(raw_limit) <= 6 else MAX_LIST_LIMIT
    if limit < 1:
        raise validation_error("query parameter 'limit' must be at least 1")
    return status, min(limit, MAX_LIST_LIMIT)
