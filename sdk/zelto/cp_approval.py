"""Control-plane approval responses and their decoding into signed approvals."""

from __future__ import annotations

import base64
import binascii
from dataclasses import dataclass

from zelto_core import SignedApproval

__all__ = ["ControlPlaneApprovalResponseV1", "signed_approvals_from_response"]


@dataclass(frozen=True, kw_only=True)
class ControlPlaneApprovalResponseV1:
    """A resolved approval: its status and the signed approvals as base64 texts."""

    status: str
    signed_approvals_b64: list[str] | None = None


def _decoded(text: object, index: int) -> SignedApproval:
    if not isinstance(text, str):
        raise ValueError(f"signed approval {index} is a {type(text).__name__}, not base64 text")
    try:
        raw = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError) as exc:
        raise ValueError(f"signed approval {index} is not valid base64") from exc
    try:
        return SignedApproval.from_bytes(raw)
    except ValueError as exc:
        raise ValueError(f"signed approval {index} is malformed: {exc}") from exc


def signed_approvals_from_response(response: ControlPlaneApprovalResponseV1) -> list[SignedApproval]:
    """Decode every signed approval of an approved response; ValueError on bad input."""
    if response.status != "approved":
        raise ValueError(f"the response is {response.status!r}, not approved")
    return [_decoded(text, index) for index, text in enumerate(response.signed_approvals_b64 or [])]
