"""The batch status read: many request objects in one call, for clients that poll many at once."""

from __future__ import annotations

from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from .api import Agent, endpoint, json_body, state_of, tenant_of
from .errors import validation_error
from .wire import request_json

MAX_BATCH_IDS = 200


def parse_batch_ids(body: dict) -> list[str]:
    """The ids of a batch read, duplicates dropped, in their first order."""
    ids = body.get("ids")
    if not isinstance(ids, list) or not ids:
        raise validation_error("'ids' must be a non-empty array of request ids")
    if len(ids) > MAX_BATCH_IDS:
        raise validation_error(f"'ids' may hold at most {MAX_BATCH_IDS} request ids")
    if not all(isinstance(request_id, str) and request_id for request_id in ids):
        raise validation_error("every item of 'ids' must be a non-empty string")
    return list(dict.fromkeys(ids))


@endpoint(agents="read approval requests", approvers="read approval requests")
async def batch_read(request: Request, who):
    ids = parse_batch_ids(await json_body(request))
    cloud = state_of(request)
    records = await cloud.store.call(cloud.service.get_many, ids, tenant_of(who))
    if isinstance(who, Agent):
        now = cloud.service.clock()
        for record in records:
            cloud.note_poll(record.id, now)
    call = not isinstance(who, Agent)

    def answers() -> list[dict]:
        return [request_json(record, cloud.config.encoding, call=call) for record in records]

    # An approver's answer shows each call, which takes seconds for large ones: off the event loop.
    return JSONResponse({"requests": await run_in_threadpool(answers) if call else answers()})


ROUTES = [Route("/v1/approvals/requests/batch-read", batch_read, methods=["POST"])]
