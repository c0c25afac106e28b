"""Approval handlers that bridge the SDK's approval gates with Zelto Cloud."""

import asyncio as asyncio
import base64 as base64
import hashlib as hashlib
import logging as logging
import time as time
from typing import Any, Callable, Coroutine, Dict, List, Union

from zelto_core import SignedApproval

from zelto_cloud.client import AsyncZeltoCloudClient as AsyncZeltoCloudClient
from zelto_cloud.client import ZeltoCloudClient as ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from zelto_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from zelto_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from zelto_cloud.exceptions import ZeltoCloudError as ZeltoCloudError
from zelto_cloud.morvel import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

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
