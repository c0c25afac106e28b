"""Receipt sinks that deliver the SDK's receipts to Zelto Cloud."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from typing import Any

from .client import ZeltoCloudClient

__all__ = ["CloudReceiptSink"]

_MAX_DEPTH = 64


def _json_value(value: Any, depth: int = 0) -> Any:
    """A receipt (or part of one) as plain JSON values; bytes become lower-case hex."""
    if depth > _MAX_DEPTH:
        raise ValueError("receipt is nested too deeply")
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"receipt holds the number {value}, which JSON cannot carry")
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, Mapping):
        return {str(key): _json_value(item, depth + 1) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_value(item, depth + 1) for item in value]
    if callable(getattr(value, "to_dict", None)):
        return _json_value(value.to_dict(), depth + 1)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        fields = {f.name: getattr(value, f.name) for f in dataclasses.fields(value)}
        return _json_value(fields, depth + 1)
    if callable(getattr(value, "to_bytes", None)):
        return bytes(value.to_bytes()).hex()
    raise TypeError(f"receipt holds a {type(value).__name__}, which cannot be sent as JSON")


class CloudReceiptSink:
    """The "receipt-v1" sink: each emitted receipt is stored in Zelto Cloud.

    ``CloudReceiptSink(client)`` takes a :class:`ZeltoCloudClient` and owns it
    from then on: :meth:`close` closes it.  A receipt is a mapping, a
    dataclass or an object with ``to_dict()``.
    """

    name = "receipt-v1"

    def __init__(self, client: ZeltoCloudClient) -> None:
        if not callable(getattr(client, "send_receipt", None)):
            raise TypeError("CloudReceiptSink needs a ZeltoCloudClient")
        self._client = client

    def __repr__(self) -> str:
        return f"CloudReceiptSink({self._client!r})"

    def emit(self, receipt: Any) -> str:
        """Send one receipt; returns the id under which the cloud stored it."""
        document = _json_value(receipt)
        if not isinstance(document, dict):
            raise TypeError("a receipt must be a mapping, a dataclass or an object with to_dict()")
        return self._client.send_receipt(document)["id"]

    __call__ = emit

    def close(self) -> None:
        self._client.close()
