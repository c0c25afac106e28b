"""A tenant's quotas decided from running counts: they must agree with the requests actually stored as
requests come, are decided and run out of time, and as the day's window moves on."""

from __future__ import annotations

import pytest
from localcloud_helpers import create_body
from zelto_localcloud.approvers import ApproverRegistry, ensure_approvers
from zelto_localcloud.errors import ApiError
from zelto_localcloud.service import ApprovalService, Quotas, prepare
from zelto_localcloud.store import Store
from zelto_localcloud.validation import parse_new_request

DAY = 24 * 3600
START = 1_000_000.0  # 277 hours and 2,800 s: not on the hour

# Each step: ("create", ttl, wanted: "ok" or "refused"), ("approve" / "deny", which created request),
# ("wait", seconds). Three pending requests at most, and the bytes of so many requests a day.
SCENARIOS = [
    ("decisions free places", 100, [
        ("create", 60, "ok"), ("create", 60, "ok"), ("create", 60, "ok"), ("create", 60, "refused"),
        ("approve", 0), ("create", 60, "ok"), ("create", 60, "refused"), ("deny", 1), ("create", 60, "ok"),
    ]),
    ("requests whose time ran out stop counting, read or not", 100, [
        ("create", 10, "ok"), ("create", 10, "ok"), ("create", 10, "ok"), ("wait", 11),
        ("create", 60, "ok"), ("create", 60, "ok"), ("create", 60, "ok"), ("create", 60, "refused"),
    ]),
    ("the day's bytes are counted to the second, not to the hour", 3.5, [
        ("create", 60, "ok"), ("create", 60, "ok"), ("create", 60, "ok"), ("deny", 0), ("deny", 1), ("deny", 2),
        ("wait", 10), ("create", 60, "refused"), ("wait", DAY - 11), ("create", 60, "refused"), ("wait", 2),
        ("create", 60, "ok"),
    ]),
]


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
@pytest.mark.parametrize("what,requests_a_day,steps", SCENARIOS, ids=[row[0] for row in SCENARIOS])
def test_quotas_follow_the_stored_requests(request, tmp_path, backend, what, requests_a_day, steps):
    url = request.getfixturevalue("postgres_url") if backend == "postgresql" else None
    store = Store(tmp_path, url)
    now = [START]
    try:
        ensure_approvers(store, ["alice"], now[0])
        size = prepare(parse_new_request(create_body(), None)).stored_bytes
        service = ApprovalService(store, ApproverRegistry(store), lambda: now[0],
                                  Quotas(max_pending=3, max_bytes_per_day=int(requests_a_day * size)))
        alice = service.approvers.named("alice")
        made, answers, wanted = [], [], []
        for step in steps:
            if step[0] == "wait":
                now[0] += step[1]
            elif step[0] == "create":
                wanted.append(step[2])
                try:
                    made.append(service.create(parse_new_request(create_body(ttl_seconds=step[1]), None), "t")[0].id)
                    answers.append("ok")
                except ApiError as error:
                    assert error.status == 429 and error.code == "quota_exceeded"
                    answers.append("refused")
            elif step[0] == "approve":
                service.approve(made[step[1]], alice)
            else:
                service.deny(made[step[1]], alice, None)
        assert answers == wanted
    finally:
        store.close()


# metadata sent with a create -> what a list shows of it ("same": the masked metadata itself)
STORED_FORMS = [
    ("none", None, None),
    ("small, with a secret", {"note": "ok", "password": "hunter2"}, "same"),
    ("not ASCII", {"note": "caf\u00e9 \u2603", "n": [1, 2.5, None, True]}, "same"),
    ("over the list's bound", {"pad": "y" * 2000, "api_key": "sk-abcdefabcdefabcdef"}, "truncated"),
]


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
@pytest.mark.parametrize("what,metadata,listed", STORED_FORMS, ids=[row[0] for row in STORED_FORMS])
def test_a_create_stores_what_it_checked_and_counted(request, tmp_path, backend, what, metadata, listed):
    """A create stores the JSON its preparation made once: each column must hold its own value (the
    masked metadata, the attestation, the list form), and the bytes counted against the quota must be
    those of what is stored."""
    from zelto_localcloud.masking import mask

    url = request.getfixturevalue("postgres_url") if backend == "postgresql" else None
    store = Store(tmp_path, url)
    try:
        body = create_body(metadata=metadata)
        new = parse_new_request(body, None)
        prepared = prepare(new)
        service = ApprovalService(store, ApproverRegistry(store), lambda: START)
        created = service.create(new, "t", prepared)[0]
        stored = store.get_request(created.id)
        assert stored.metadata == mask(metadata)
        assert stored.approval_context_attestation == body["approval_context_attestation"]
        [row] = store.list_requests(None, 10, "t")
        if listed == "same":
            assert row.metadata == mask(metadata) and "hunter2" not in str(row.metadata)
        elif listed == "truncated":
            assert row.metadata["truncated"] is True and "sk-abc" not in str(row.metadata)
        else:
            assert row.metadata is None
        columns = store.execute(
            "SELECT metadata_json, attestation_json FROM requests WHERE id = ?", (created.id,)).fetchone()
        assert prepared.stored_bytes == len(new.request_hash) + len(new.holder_key) + sum(
            len(text.encode("utf-8")) for text in (new.warrant_id, new.tool, new.args_canonical_cbor_b64,
                                                   columns[0] or "", columns[1]))
        assert store.tenant_load("t", START, START - DAY) == (1, prepared.stored_bytes)
    finally:
        store.close()
