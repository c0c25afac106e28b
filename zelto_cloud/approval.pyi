"""Approval handlers that bridge the SDK's approval gates with Zelto Cloud."""

import asyncio as asyncio
import base64 as base64
import hashlib as hashlib
import logging as logging
import time as time
from typing import Any, Callable, Coroutine, Dict, List, Optional, Union

from zelto_core import SignedApproval

from zelto_cloud.client import AsyncZeltoCloudClient as AsyncZeltoCloudClient
from zelto_cloud.client import ZeltoCloudClient as ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from zelto_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from zelto_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from zelto_cloud.exceptions import ZeltoCloudError as ZeltoCloudError
from zelto_cloud.morvel import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

def _build_temporal_approval_idempotency_key(
    request: Any, *, workflow_id: str = "", workflow_run_id: str = "", activity_id: str = ""
) -> str: ...
def _extract_temporal_heartbeat_request_id(details: Any) -> Optional[str]: ...

def cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Union[SignedApproval, List[SignedApproval]]]: ...
def async_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Coroutine[Any, Any, Union[SignedApproval, List[SignedApproval]]]]: ...
def _poll_until_resolved(
    client: ZeltoCloudClient, request_id: str, *, poll_interval: float, timeout: float
) -> Dict[str, Any]: ...
async def _async_poll_until_resolved(
    client: AsyncZeltoCloudClient, request_id: str, *, poll_interval: float, timeout: float
) -> Dict[str, Any]: ...
def _extract_signed_approvals(result: Any) -> Union[Any, List[Any]]: ...

class TemporalCloudApprovalHandler:
    """Temporal-aware approval handler for Zelto Cloud."""

    _api_key: str
    _signing_key: Any
    _holder: Any
    _holder_bytes: bytes
    _base_url: str
    _fast_poll_seconds: float
    _fast_poll_attempts: int
    def __init__(
        self,
        api_key: str,
        signing_key: Any,
        *,
        base_url: str = ...,
        fast_poll_seconds: float = 2.0,
        fast_poll_attempts: int = 3,
    ) -> None: ...
    def _build_attestation(self, request: Any) -> tuple[str, Dict[str, Any]]: ...
    @staticmethod
    def _extract_approval(data: Dict[str, Any]) -> Any: ...
    def __call__(self, request: Any) -> Any: ...

def temporal_cloud_approval(
    api_key: str,
    signing_key: Any,
    *,
    base_url: str = ...,
    fast_poll_seconds: float = 2.0,
    fast_poll_attempts: int = 3,
) -> TemporalCloudApprovalHandler: ...
