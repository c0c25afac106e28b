"""Parsing and checking of request bodies and query parameters.

Everything a client sends is checked here, so that the layers below only ever
see well-typed values and every mistake becomes a 400 naming the field.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import json
import math
import re
from dataclasses import dataclass

from nacl.bindings import crypto_sign_open
from nacl.exceptions import BadSignatureError
from zelto_core import canonical_cbor, decode_canonical_cbor
from zelto_core.approvals import APPROVAL_CONTEXT_DOMAIN
from zelto_core.canonical import APPROVAL_CONTEXT_TAG

from .errors import invalid_json, validation_error

MAX_NESTING = 64
MAX_THRESHOLD = 1000
MAX_TTL_SECONDS = 10 * 366 * 24 * 3600  # 316,224,000 s: ten years of 366 days
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


_UNREPRESENTABLE = "request body holds NaN, Infinity or invalid Unicode"


def _no_constant(name: str):
    raise invalid_json(_UNREPRESENTABLE)


def _finite(text: str) -> float:
    number = float(text)
    if math.isinf(number):  # 1e999
        raise invalid_json(_UNREPRESENTABLE)
    return number


# json.loads with hooks sets up a decoder (and its scanner) per call; this one is made once.
_DECODER = json.JSONDecoder(parse_constant=_no_constant, parse_float=_finite)


def parse_json_object(raw: bytes) -> dict:
    try:
        text = raw.decode("utf-8")
        if text.startswith("\ufeff"):  # as json.loads refuses it
            raise json.JSONDecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)", text, 0)
        value = _DECODER.decode(text)
    except UnicodeDecodeError:
        raise invalid_json("request body is not UTF-8") from None
    except RecursionError:
        raise invalid_json(f"request body nests deeper than {MAX_NESTING} levels") from None
    except ValueError as exc:
        raise invalid_json(f"request body is not valid JSON: {exc}") from None
    if not isinstance(value, dict):
        raise invalid_json("request body must be a JSON object")
    # Each level opens with a bracket of its own: a text with no more brackets than the limit (in strings
    # too, so counted from above) cannot nest deeper, and its values need not be walked.
    if text.count("{") + text.count("[") > MAX_NESTING:
        _check_nesting(value)
    # NaN and Infinity were refused as they were read, and strict UTF-8 holds no lone surrogate: only an
    # escape (\ud800) can make one, so only a body with escapes is written out again to look.
    if "\\u" in text:
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
        raise invalid_json(_UNREPRESENTABLE) from None


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
    if "\x00" in value:
        # No database keeps NUL in text the same way (PostgreSQL's cannot hold it at all), and a stored
        # tool name that differed from the signed one would show approvers something else than they sign.
        raise validation_error(f"field '{name}' must not contain NUL characters")
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
    if isinstance(value, float) and value.is_integer():
        value = int(value)  # JSON has one kind of number: 2.0 is the integer 2
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
    return parse_signed_request(body, idempotency_header)[0]


def parse_signed_request(body: dict, idempotency_header: str | None):
    """The checked create and the signed arguments its check decoded."""
    new = _parse_new_request(body, idempotency_header)
    return new, verify_signed_call(new)


def _parse_new_request(body: dict, idempotency_header: str | None) -> NewRequest:
    approver_keys = _approver_keys(body)
    threshold = _integer(body, "threshold", default=1, minimum=1, maximum=MAX_THRESHOLD)
    if approver_keys is not None and threshold > len(approver_keys):
        raise validation_error(
            f"field 'threshold' ({threshold}) exceeds the number of distinct approver_keys ({len(approver_keys)})"
        )
    idempotency_key = idempotency_header or _text(body, "idempotency_key", required=False) or None
    return NewRequest(
        warrant_id=_text(body, "warrant_id", required=True, non_empty=True),
        tool=_text(body, "tool", required=True, non_empty=True),
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


_ATTESTATION = "approval_context_attestation"
_ATTESTATION_TEXT_FIELDS = ("warrant_id", "tool", "holder_key", "args_hash", "request_hash", "signer_key", "signature")


def signed_arguments(args_canonical_cbor_b64: str):
    """The tool arguments that the request hash covers; ValueError unless canonical CBOR."""
    return decode_canonical_cbor(base64.b64decode(args_canonical_cbor_b64, validate=True))


def _attestation_text(attestation: dict, name: str) -> str:
    value = attestation.get(name)
    if not isinstance(value, str) or not value:
        raise validation_error(f"field '{_ATTESTATION}.{name}' is required and must be a non-empty string")
    return value


def _attestation_hex(attestation: dict, name: str) -> bytes:
    value = _attestation_text(attestation, name)
    if not _HEX.match(value):
        raise validation_error(f"field '{_ATTESTATION}.{name}' must be an even-length hex string")
    return bytes.fromhex(value)


def call_hash(warrant_id: str, tool: str, args_cbor: bytes, holder_key: bytes) -> bytes:
    """The request hash of a call whose arguments `args_cbor` holds, already checked to be canonical CBOR.

    The hash covers the canonical CBOR of [tag, warrant, tool, arguments, holder key]: an array's canonical
    form is its items' one after another, so the arguments go in as the bytes that were checked, not
    encoded a second time."""
    head = canonical_cbor([APPROVAL_CONTEXT_TAG, warrant_id, tool])  # 0x83, then the three items
    return hashlib.sha256(b"\x85" + head[1:] + args_cbor + canonical_cbor(holder_key)).digest()


def holder_signed(holder_key: bytes, request_hash: bytes, signature: bytes) -> bool:
    """Whether `signature` is the holder key's Ed25519 signature of the call's attestation.

    libsodium's check: beside the signature equation it refuses a key or an R of small order (for which
    a signature proves nothing: one made without any private key passes the equation for every
    message) and encodings that are not canonical, none of which a real key's signature has."""
    if len(holder_key) != 32 or len(signature) != 64:
        return False
    try:
        crypto_sign_open(signature + APPROVAL_CONTEXT_DOMAIN + request_hash, holder_key)
    except BadSignatureError:
        return False
    return True


def verify_signed_call(new: NewRequest):
    """Checks that the create describes one call that the holder signed; answers its arguments.

    The arguments must be canonical CBOR, the request hash must be the hash of
    (warrant, tool, arguments, holder key), and the attestation must name the
    same call and carry the holder's own signature over that hash. Whatever
    an approver is later shown comes from these signed fields only.
    """
    try:
        args_cbor = base64.b64decode(new.args_canonical_cbor_b64, validate=True)
        arguments = decode_canonical_cbor(args_cbor)
    except ValueError as exc:
        raise validation_error(f"field 'args_canonical_cbor_b64' does not hold canonical CBOR: {exc}") from None
    attestation = new.approval_context_attestation
    if not attestation:
        raise validation_error(f"field '{_ATTESTATION}' is empty; the holder's attestation is required")
    if type(attestation.get("v")) is not int or attestation["v"] != 1:
        raise validation_error(f"field '{_ATTESTATION}.v' must be 1")
    for name in _ATTESTATION_TEXT_FIELDS:
        _attestation_text(attestation, name)
    signer = _attestation_hex(attestation, "signer_key")
    if signer != new.holder_key:
        raise validation_error(
            "the signing key is not the warrant holder's key"
            f" ('{_ATTESTATION}.signer_key' {signer.hex()[:16]}... is not 'holder_key' {new.holder_key.hex()[:16]}...)"
        )
    if _attestation_hex(attestation, "holder_key") != new.holder_key:
        raise validation_error(f"field '{_ATTESTATION}.holder_key' does not match field 'holder_key'")
    for name in ("warrant_id", "tool"):
        if attestation[name] != getattr(new, name):
            raise validation_error(f"field '{name}' does not match the signed '{_ATTESTATION}.{name}'")
    if _attestation_hex(attestation, "args_hash") != hashlib.sha256(args_cbor).digest():
        raise validation_error(f"field 'args_canonical_cbor_b64' is not the arguments that '{_ATTESTATION}' signed")
    expected = call_hash(new.warrant_id, new.tool, args_cbor, new.holder_key)
    if new.request_hash != expected:
        raise validation_error(
            "field 'request_hash' is not the hash of this call (warrant_id, tool, args_canonical_cbor_b64, holder_key)"
        )
    if _attestation_hex(attestation, "request_hash") != expected:
        raise validation_error(f"field '{_ATTESTATION}.request_hash' does not match field 'request_hash'")
    if not holder_signed(new.holder_key, expected, _attestation_hex(attestation, "signature")):
        raise validation_error(f"field '{_ATTESTATION}.signature' is not the holder key's signature of this call")
    return arguments


def parse_confirmation(body: dict) -> bool:
    """Whether the approver confirmed approving a call of which something is hidden."""
    value = body.get("confirm")
    if value is None:
        return False
    if not isinstance(value, bool):
        raise validation_error("field 'confirm' must be true or false")
    return value


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
    # An empty token is merely one that is not known: 401, like any other.
    return _text(body, "token", required=True)


def parse_receipt(body: dict) -> dict:
    return _object(body, "receipt", required=True)


def parse_list_query(params) -> tuple[str | None, int]:
    # An empty value is refused, not taken for an absent one: "?status=" asks for no state at all.
    status = params.get("status")
    if status is not None and status not in STATUSES:
        raise validation_error(f"query parameter 'status' must be one of {', '.join(STATUSES)}")
    raw_limit = params.get("limit")
    if raw_limit is None:
        return status, DEFAULT_LIST_LIMIT
    if not raw_limit.isascii() or not raw_limit.isdigit():
        raise validation_error("query parameter 'limit' must be an integer")
    limit = int(raw_limit) if len(raw_limit) <= 6 else MAX_LIST_LIMIT
    if limit < 1:
        raise validation_error("query parameter 'limit' must be at least 1")
    return status, min(limit, MAX_LIST_LIMIT)
