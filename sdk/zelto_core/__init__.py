"""Stand-in for the Zelto native core: Ed25519 keys, signed approvals, attestations.

All hashes and signatures are taken over canonical CBOR (see ``canonical``).
"""

from .approvals import SignedApproval, approval_context_signature_valid, py_build_approval_context_attestation
from .canonical import approval_request_hash, canonical_cbor, decode_canonical_cbor
from .keys import PublicKey, SigningKey

__all__ = [
    "PublicKey",
    "SignedApproval",
    "SigningKey",
    "approval_context_signature_valid",
    "approval_request_hash",
    "canonical_cbor",
    "decode_canonical_cbor",
    "py_build_approval_context_attestation",
]
