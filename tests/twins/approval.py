"""The cloud approval handlers and the signed-approval extraction, in Python."""

import asyncio
import base64
import hashlib
import logging
import os
import time
from typing import Any, Dict, List, Optional, Union

from zelto_cloud.client import DEFAULT_DASHBOARD_URL, AsyncZeltoCloudClient, ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError, ZeltoCloudError

from .morvel import build_approval_request_payload

logger = logging.getLogger("zelto_cloud.approval")
DEFAULT_BASE_URL = "https://api.zelto.cloud"


def _build_temporal_approval_idempotency_key(request, *, workflow_id="", workflow_run_id="", activity_id=""):
    tool = str(getattr(request, "tool", ""))
    joined = "|".join((tool, workflow_id, workflow_run_id, activity_id))
    return "appr_" + hashlib.sha256(joined.encode("utf-8")).hexdigest()


def _extract_temporal_heartbeat_request_id(details) -> Optional[str]:
    if not details:
        return None
    if isinstance(details, (list, tuple)):
        details = details[0]
    if isinstance(details, dict):
        value = details.get("approval_request_id")
        if isinstance(value, str) and value:
            return value
    value = getattr(details, "approval_request_id", None)
    if isinstance(value, str) and value:
        return value
    return None


def cloud_approval(api_key, *, signing_key=None, base_url=DEFAULT_BASE_URL, poll_interval=2.0, timeout=300.0):
    def _handle(request):
        from zelto.approval import ApprovalDenied

        deadline = _begin_deadline(timeout)
        try:
            payload = build_approval_request_payload(request, signing_key=signing_key)
            client = ZeltoCloudClient(api_key, base_url=base_url)
            try:
                try:
                    created = client.create_request(**payload.to_create_request_kwargs())
                    request_id = created["id"]
                    link = _approval_link(base_url, request_id)
                    logger.info("approval request created in cloud: request %s - %s", request_id, link,
                                extra={"request_id": request_id, "tool": request.tool, "approval_url": link})
                    result = _poll_until_resolved(client, request_id, poll_interval=poll_interval, timeout=timeout)
                    return _approvals_or_refusal(request, result)
                except (ApprovalDeniedError, ApprovalExpiredError) as exc:
                    raise ApprovalDenied(request, reason=str(exc)) from exc
                except ApprovalTimeoutError:
                    raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval")
            finally:
                client.close()
        finally:
            _end_deadline(deadline)

    return _handle


def _approval_link(base_url, request_id):
    """Where a person decides the request: ZELTO_DASHBOARD_URL when set; else the cloud's dashboard for the
    cloud's own API, or the handler's base URL for a self-hosted cloud, which serves its dashboard beside it."""
    dashboard = os.environ.get("ZELTO_DASHBOARD_URL", "")
    if not dashboard:
        dashboard = DEFAULT_DASHBOARD_URL if base_url == DEFAULT_BASE_URL else str(base_url)
    return dashboard.rstrip("/") + "/approvals?request=" + str(request_id)


def async_cloud_approval(api_key, *, signing_key=None, base_url=DEFAULT_BASE_URL, poll_interval=2.0, timeout=300.0):
    import concurrent.futures
    import contextvars

    async def _core(request):
        from zelto.approval import ApprovalDenied

        deadline = _begin_deadline(timeout)
        try:
            payload = build_approval_request_payload(request, signing_key=signing_key)
            client = AsyncZeltoCloudClient(api_key, base_url=base_url)
            try:
                try:
                    created = await client.create_request(**payload.to_create_request_kwargs())
                    request_id = created["id"]
                    logger.info("approval request %s created for %s", request_id, request.tool)
                    result = await _async_poll_until_resolved(client, request_id, poll_interval=poll_interval,
                                                              timeout=timeout)
                    return _approvals_or_refusal(request, result)
                except (ApprovalDeniedError, ApprovalExpiredError) as exc:
                    raise ApprovalDenied(request, reason=str(exc)) from exc
                except ApprovalTimeoutError:
                    raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval")
            finally:
                await client.close()
        finally:
            _end_deadline(deadline)

    async def _handle(request):
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            # Driven without a loop: the work runs on a loop of its own in a thread, in the caller's context
            # (its key scope among it).
            context = contextvars.copy_context()
            with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
                return pool.submit(context.run, asyncio.run, _core(request)).result()
        return await _core(request)

    return _handle


def _approvals_or_refusal(request, result):
    """What a resolved request means for the caller: its signed approvals, or the SDK's refusal."""
    from zelto.approval import ApprovalDenied

    status = result["status"]
    if status == "approved":
        return _extract_signed_approvals(result)
    if status == "denied":
        raise ApprovalDenied(request, reason=result.get("denied_reason") or "denied in Zelto Cloud")
    if status == "expired":
        raise ApprovalDenied(request, reason="approval request expired")
    raise ApprovalDenied(request, reason=f"unexpected status: {status}")


def _begin_deadline(timeout):
    """The handler's deadline over every client call below it, as the native handlers set it."""
    from zelto_cloud.client import _begin_handler_deadline

    return _begin_handler_deadline(timeout)


def _end_deadline(token):
    from zelto_cloud.client import _end_handler_deadline

    _end_handler_deadline(token)


def _within_handler_deadline(start, deadline):
    """The poll loop's deadline, moved to the handler's when that is earlier by more than the slack."""
    from zelto_cloud.client import _handler_time_left

    left = _handler_time_left()
    if left is None:
        return deadline
    handler_end = start + left
    return handler_end if handler_end + 0.25 < deadline else deadline


def _poll_until_resolved(client, request_id, *, poll_interval, timeout) -> Dict[str, Any]:
    start = time.monotonic()
    deadline = _within_handler_deadline(start, start + timeout)
    while True:
        response = client.get_request(request_id)
        if response.get("status", "") != "pending":
            return response
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        sleep_time = min(poll_interval, remaining)
        logger.debug("approval still pending, polling again", extra={"request_id": request_id, "sleep": sleep_time})
        time.sleep(sleep_time)


async def _async_poll_until_resolved(client, request_id, *, poll_interval, timeout) -> Dict[str, Any]:
    start = time.monotonic()
    deadline = _within_handler_deadline(start, start + timeout)
    while True:
        response = await client.get_request(request_id)
        if response.get("status", "") != "pending":
            return response
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        sleep_time = min(poll_interval, remaining)
        logger.debug("approval still pending, polling again", extra={"request_id": request_id, "sleep": sleep_time})
        await asyncio.sleep(sleep_time)


def _extract_signed_approvals(result) -> Union[Any, List[Any]]:
    responses = result.get("responses", [])
    if not responses:
        raise ZeltoCloudError("approved request has no approval responses")
    import base64
    import re

    from zelto.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response

    hex_pattern = re.compile(r"^[0-9a-fA-F]+$")
    encoded: List[str] = []
    for entry in responses:
        value = entry.get("signed_approval")
        if not value:
            continue
        if hex_pattern.match(value) and len(value) % 2 == 0:
            try:
                encoded.append(base64.b64encode(bytes.fromhex(value)).decode())
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(value, validate=True)
        except Exception:
            raise ZeltoCloudError("malformed signed_approval in cloud response: not valid hex or base64")
        encoded.append(value)
    response = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=encoded or None)
    approvals = signed_approvals_from_response(response)
    if not approvals:
        raise ZeltoCloudError("approved request has no approval responses")
    if len(approvals) == 1:
        return approvals[0]
    return approvals


class TemporalCloudApprovalHandler:
    def __init__(self, api_key, signing_key, *, base_url=DEFAULT_BASE_URL, fast_poll_seconds=2.0,
                 fast_poll_attempts=3):
        self._api_key = api_key
        self._signing_key = signing_key
        if not hasattr(signing_key, "public_key"):
            raise TypeError(f"signing_key must be a zelto_core SigningKey, not {type(signing_key).__name__}")
        self._holder = signing_key.public_key
        self._holder_bytes = self._holder.to_bytes()
        self._base_url = base_url
        self._fast_poll_seconds = fast_poll_seconds
        self._fast_poll_attempts = max(1, fast_poll_attempts)

    def _build_attestation(self, request):
        from zelto_core import py_build_approval_context_attestation

        args_b64, attestation = py_build_approval_context_attestation(
            self._signing_key, request.warrant_id, request.tool, request.arguments, self._holder)
        return args_b64, dict(attestation)

    @staticmethod
    def _extract_approval(data):
        from zelto_core import SignedApproval

        responses = data.get("responses", [])
        if not responses:
            return None
        for entry in responses:
            value = entry.get("signed_approval", "")
            if not value:
                continue
            try:
                return SignedApproval.from_bytes(base64.b64decode(value))
            except Exception as exc:
                logger.warning("failed to decode signed_approval as base64: %s", exc)
            try:
                return SignedApproval.from_bytes(bytes.fromhex(value))
            except Exception as exc:
                logger.warning("failed to decode signed_approval as hex: %s", exc)
        return None

    def __call__(self, request):
        from temporalio import activity
        from temporalio.exceptions import ApplicationError

        activity_id = workflow_id = workflow_run_id = ""
        heartbeat_id = None
        try:
            info = activity.info()
            activity_id = getattr(info, "activity_id", "") or ""
            workflow_id = getattr(info, "workflow_id", "") or ""
            workflow_run_id = getattr(info, "workflow_run_id", "") or ""
            heartbeat_id = _extract_temporal_heartbeat_request_id(getattr(info, "heartbeat_details", None))
        except Exception:
            pass
        key = _build_temporal_approval_idempotency_key(request, workflow_id=workflow_id,
                                                       workflow_run_id=workflow_run_id, activity_id=activity_id)
        payload = build_approval_request_payload(request, signing_key=self._signing_key, idempotency_key=key)

        def check(response, request_id):
            status = str(response.get("status", "")).lower()
            try:
                activity.heartbeat({"approval_request_id": request_id, "approval_status": status})
            except Exception:
                pass
            if status == "approved":
                signed = self._extract_approval(response)
                if signed is not None:
                    return signed
                raise ApplicationError(f"approved but missing SignedApproval payload for {request_id}",
                                       type="ApprovalMalformedResponse", non_retryable=True)
            if status in ("denied", "rejected", "expired"):
                reason = response.get("denied_reason") or response.get("reason") or status
                raise ApplicationError(f"approval {status} for {request_id}: {reason}", type="ApprovalDenied",
                                       non_retryable=True)
            return None

        with ZeltoCloudClient(self._api_key, base_url=self._base_url, timeout=10.0) as client:
            request_id = heartbeat_id or ""
            current = None
            if request_id:
                try:
                    current = client.get_request(request_id)
                    logger.info("resuming approval request %s for %s from heartbeat", request_id, request.tool)
                except ZeltoCloudError as exc:
                    if exc.status_code == 404 or "404" in str(exc):
                        request_id, current = "", None
                    else:
                        raise ApplicationError(f"approval poll failed for {request_id}: {exc}",
                                               type="ApprovalTransportError", non_retryable=False) from exc
            if not request_id:
                try:
                    created = client.create_request(**payload.to_create_request_kwargs())
                except ZeltoCloudError as exc:
                    raise ApplicationError(f"approval request submission failed: {exc}",
                                           type="ApprovalTransportError", non_retryable=False) from exc
                request_id = str(created.get("id") or created.get("request_id") or "")
                if not request_id:
                    raise ApplicationError("approval response missing id field", type="ApprovalMalformedResponse",
                                           non_retryable=True)
                current = created
                logger.info("approval request %s created for %s", request_id, request.tool)
            if current is not None:
                signed = check(current, request_id)
                if signed is not None:
                    return signed
            for i in range(self._fast_poll_attempts):
                time.sleep(self._fast_poll_seconds)
                try:
                    current = client.get_request(request_id)
                except ZeltoCloudError as exc:
                    raise ApplicationError(f"approval poll failed for {request_id}: {exc}",
                                           type="ApprovalTransportError", non_retryable=False) from exc
                status = str(current.get("status", "")).lower()
                logger.info("approval poll %d/%d for %s: %s", i + 1, self._fast_poll_attempts, request_id, status)
                signed = check(current, request_id)
                if signed is not None:
                    return signed
        # A pending request is the expected way of waiting: marked benign, the worker logs the retry at DEBUG.
        from temporalio.exceptions import ApplicationErrorCategory

        raise ApplicationError(f"approval pending for {request_id}; will retry via Temporal",
                               type="ApprovalPendingRetry", non_retryable=False,
                               category=ApplicationErrorCategory.BENIGN)


def temporal_cloud_approval(api_key, signing_key, *, base_url=DEFAULT_BASE_URL, fast_poll_seconds=2.0,
                            fast_poll_attempts=3):
    return TemporalCloudApprovalHandler(api_key, signing_key, base_url=base_url,
                                        fast_poll_seconds=fast_poll_seconds, fast_poll_attempts=fast_poll_attempts)
