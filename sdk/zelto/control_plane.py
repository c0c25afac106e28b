"""The control-plane client: the worker's identity towards the cloud, and its receipts."""

from __future__ import annotations

from typing import Any

__all__ = ["ControlPlaneClient"]


class ControlPlaneClient:
    """Holds the control-plane settings of a worker and hands its receipts to ``receipt_sink``."""

    def __init__(self, *, url: str, api_key: str, authorizer_name: str, signing_key: Any, receipt_sink: Any = None) -> None:
        if receipt_sink is not None and not callable(getattr(receipt_sink, "emit", None)):
            raise TypeError("receipt_sink must have an emit(receipt) method")
        self.url = url
        self.authorizer_name = authorizer_name
        self.signing_key = signing_key
        self.receipt_sink = receipt_sink
        self._api_key = api_key

    def __repr__(self) -> str:
        return f"ControlPlaneClient(url={self.url!r}, authorizer_name={self.authorizer_name!r})"

    @property
    def api_key(self) -> str:
        return self._api_key

    def emit_receipt(self, receipt: Any) -> Any:
        """Hand one receipt to the sink; returns what the sink returns, None without a sink."""
        if self.receipt_sink is None:
            return None
        return self.receipt_sink.emit(receipt)
