"""Zelto Cloud: cloud approval handlers and integrations for the Zelto SDK."""

from zelto_cloud.approval import async_cloud_approval as async_cloud_approval
from zelto_cloud.approval import cloud_approval as cloud_approval
from zelto_cloud.approval import temporal_cloud_approval as temporal_cloud_approval
from zelto_cloud.client import DEFAULT_BASE_URL as DEFAULT_BASE_URL
from zelto_cloud.client import DEFAULT_DASHBOARD_URL as DEFAULT_DASHBOARD_URL
from zelto_cloud.client import ApproverCredential as ApproverCredential
from zelto_cloud.client import AsyncZeltoCloudClient as AsyncZeltoCloudClient
from zelto_cloud.client import ZeltoCloudClient as ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from zelto_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from zelto_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from zelto_cloud.exceptions import ZeltoCloudError as ZeltoCloudError

__version__: str
__all__: list[str]
