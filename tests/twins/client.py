"""The cloud client as it was before clients shared anything, for comparison.

Each instance builds its own httpx client, and with it its own TLS context
and certificate store, exactly as the first client did; the calls speak the
same protocol. Only what the benchmarks need is here.
"""

from __future__ import annotations

import httpx


class ReferenceClient:
    def __init__(self, api_key: str, *, base_url: str, timeout: float = 10.0) -> None:
        self._http = httpx.Client(
            base_url=base_url.rstrip("/"),
            timeout=timeout,
            headers={"Accept": "application/json", "User-Agent": "zelto-cloud-python/0.1.0",
                     "Authorization": f"Bearer {api_key}"},
            follow_redirects=False,
        )

    def create_request(self, **fields) -> dict:
        body = {name: value.hex() if isinstance(value, (bytes, bytearray)) else value
                for name, value in fields.items() if value is not None}
        return self._checked(self._http.post("/v1/approvals/requests", json=body))

    def get_request(self, request_id: str) -> dict:
        return self._checked(self._http.get(f"/v1/approvals/requests/{request_id}"))

    def close(self) -> None:
        self._http.close()

    def __enter__(self) -> "ReferenceClient":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    @staticmethod
    def _checked(response: httpx.Response) -> dict:
        response.raise_for_status()
        return response.json()


class ReferenceAsyncClient:
    """The awaitable twin: an httpx client per instance, one GET per status read."""

    def __init__(self, api_key: str, *, base_url: str, timeout: float = 10.0) -> None:
        self._http = httpx.AsyncClient(
            base_url=base_url.rstrip("/"),
            timeout=timeout,
            headers={"Accept": "application/json", "User-Agent": "zelto-cloud-python/0.1.0",
                     "Authorization": f"Bearer {api_key}"},
            follow_redirects=False,
        )

    async def create_request(self, **fields) -> dict:
        body = {name: value.hex() if isinstance(value, (bytes, bytearray)) else value
                for name, value in fields.items() if value is not None}
        return ReferenceClient._checked(await self._http.post("/v1/approvals/requests", json=body))

    async def get_request(self, request_id: str) -> dict:
        return ReferenceClient._checked(await self._http.get(f"/v1/approvals/requests/{request_id}"))

    async def close(self) -> None:
        await self._http.aclose()

    async def __aenter__(self) -> "ReferenceAsyncClient":
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.close()
