"""The LangGraph approval handler and drop-in middleware, in Python."""

import asyncio
import logging
import os
from typing import Any

from zelto.langgraph import ZeltoMiddleware as _SdkZeltoMiddleware

from zelto_cloud.client import DEFAULT_DASHBOARD_URL, AsyncZeltoCloudClient
from zelto_cloud.enforcement import observe_first_from_env
from zelto_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError

from .approval import _begin_deadline, _end_deadline, _within_handler_deadline
from .morvel import build_approval_request_payload

logger = logging.getLogger("zelto_cloud.langgraph")
DEFAULT_BASE_URL = "https://api.zelto.cloud"
_DENIAL_MARKERS = ("Authorization denied", "Security configuration error", "Configuration error:")


def langgraph_cloud_approval(api_key, *, signing_key=None, base_url=DEFAULT_BASE_URL, dashboard_url="",
                             poll_interval=3.0, timeout=None):
    from .approval import _extract_signed_approvals

    _timeout = float(timeout) if timeout is not None else float(os.environ.get("ZELTO_APPROVAL_TIMEOUT", "900"))
    _dashboard_url = (dashboard_url or os.environ.get("ZELTO_DASHBOARD_URL", "") or DEFAULT_DASHBOARD_URL).rstrip("/")
    timed_out = (f"timed out after {_timeout!r}s waiting for cloud approval. Increase via "
                 "langgraph_cloud_approval(timeout=...) or ZELTO_APPROVAL_TIMEOUT env var.")

    async def _handle(request):
        from zelto.approval import ApprovalDenied

        idempotency_key = _get_idempotency_key(request)
        payload = build_approval_request_payload(request, signing_key=signing_key, idempotency_key=idempotency_key)
        client = AsyncZeltoCloudClient(api_key, base_url=base_url)
        deadline_token = _begin_deadline(_timeout)
        try:
            try:
                created = await client.create_request(**payload.to_create_request_kwargs())
                request_id = created["id"]
                link = f"{_dashboard_url}/approvals?request={request_id}"
                logger.info("approval gate for '%s' - request %s - %s", request.tool, request_id, link)
                loop = asyncio.get_running_loop()
                start = loop.time()
                deadline = _within_handler_deadline(start, start + _timeout)
                while True:
                    record = await client.get_request(request_id)
                    status = str(record.get("status", "")).lower()
                    if status == "approved":
                        logger.info("approval granted for '%s' (request %s)", request.tool, request_id)
                        return _extract_signed_approvals(record)
                    if status in ("denied", "rejected"):
                        raise ApprovalDenied(request, reason=record.get("denied_reason") or status)
                    if status == "expired":
                        raise ApprovalDenied(request, reason="approval request expired")
                    remaining = deadline - loop.time()
                    if remaining <= 0:
                        raise ApprovalDenied(request, reason=timed_out)
                    await asyncio.sleep(min(poll_interval, remaining))
            except (ApprovalDeniedError, ApprovalExpiredError) as exc:
                raise ApprovalDenied(request, reason=str(exc)) from exc
            except ApprovalTimeoutError:
                raise ApprovalDenied(request, reason=timed_out)
        finally:
            _end_deadline(deadline_token)
            await client.close()

    return _handle


def _get_idempotency_key(request):
    value = getattr(request, "request_id", None)
    if value is None:
        return None
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    return str(value)


def _is_denial_tool_message(result) -> bool:
    status = getattr(result, "status", None)
    content = str(getattr(result, "content", "") or "")
    if status != "error":
        return False
    return any(marker in content for marker in _DENIAL_MARKERS)


def _tool_name(request) -> str:
    call = getattr(request, "tool_call", None) or {}
    return call.get("name", "unknown") if isinstance(call, dict) else "unknown"


def _observe_or_result(result, request, handler, dry_run):
    if not dry_run or not _is_denial_tool_message(result):
        return result
    logger.info("zelto_cloud.langgraph: observe-first allowing '%s' after denial", _tool_name(request))
    return handler(request)


async def _observe_or_result_async(result, request, handler, dry_run):
    if not dry_run or not _is_denial_tool_message(result):
        return result
    logger.info("zelto_cloud.langgraph: observe-first allowing '%s' after denial", _tool_name(request))
    outcome = handler(request)
    if asyncio.iscoroutine(outcome):
        return await outcome
    return outcome


class ZeltoMiddleware(_SdkZeltoMiddleware):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        dry_run = kwargs.pop("dry_run", None)
        if dry_run is None:
            dry_run = observe_first_from_env()
        self._dry_run = bool(dry_run)
        super().__init__(*args, **kwargs)

    def wrap_tool_call(self, request, handler):
        result = super().wrap_tool_call(request, handler)
        return _observe_or_result(result, request, handler, self._dry_run)

    async def awrap_tool_call(self, request, handler):
        result = await super().awrap_tool_call(request, handler)
        return await _observe_or_result_async(result, request, handler, self._dry_run)
