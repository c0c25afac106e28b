"""LangGraph integration for Zelto Cloud approvals."""

import asyncio as asyncio
import logging as logging
import os as os
from typing import Any as Any
from typing import Awaitable, Callable, Sequence
from typing import List as List
from typing import Optional as Optional
from typing import Union as Union

from zelto.langgraph import ZeltoMiddleware as _SdkZeltoMiddleware
from zelto.langgraph import ZeltoToolNode as _SdkZeltoToolNode
from zelto.warrant import Warrant
from zelto_core import SigningKey

from zelto_cloud.client import AsyncZeltoCloudClient as AsyncZeltoCloudClient
from zelto_cloud.enforcement import observe_first_from_env as observe_first_from_env
from zelto_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from zelto_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from zelto_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from zelto_cloud.morvel import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

def langgraph_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    dashboard_url: str = "",
    poll_interval: float = 3.0,
    timeout: Optional[float] = None,
) -> Callable[[Any], Awaitable[Union[Any, List[Any]]]]: ...
def _get_idempotency_key(request: Any) -> Optional[str]: ...
def _auto_approval_handler(**overrides: Any) -> Optional[Callable[[Any], Awaitable[Union[Any, List[Any]]]]]: ...
def _make_cloud_middleware_class() -> type: ...
def _make_cloud_tool_node_class() -> type: ...
def _is_denial_tool_message(result: Any) -> bool: ...
def _observe_or_result(result: Any, request: Any, handler: Any, dry_run: bool) -> Any: ...
async def _observe_or_result_async(result: Any, request: Any, handler: Any, dry_run: bool) -> Any: ...

class ZeltoMiddleware(_SdkZeltoMiddleware):
    """Drop-in replacement for ``zelto.langgraph.ZeltoMiddleware``."""

    _dry_run: bool
    def __init__(
        self,
        *,
        warrant: Warrant | None = None,
        approval_handler: Callable[..., Any] | None = None,
        signing_key: SigningKey | None = None,
        control_plane: Any = None,
        dry_run: bool | None = None,
    ) -> None: ...
    def wrap_tool_call(self, request: Any, handler: Any) -> Any: ...
    async def awrap_tool_call(self, request: Any, handler: Any) -> Any: ...

class ZeltoToolNode(_SdkZeltoToolNode):
    """Drop-in replacement for ``zelto.langgraph.ZeltoToolNode``."""

    _dry_run: bool
    def __init__(
        self,
        tools: Sequence[Any],
        *,
        warrant: Warrant | None = None,
        approval_handler: Callable[..., Any] | None = None,
        signing_key: SigningKey | None = None,
        control_plane: Any = None,
        dry_run: bool | None = None,
        **options: Any,
    ) -> None: ...
