"""Telling approvers that a request waits: signed webhooks, chat webhooks and e-mail.

Messages are written to an outbox table in the same transaction as the
request (or the decision) they are about, so a request that exists has its
messages queued, whatever happens to the process afterwards. A delivery thread
in the server sends what is due, records each attempt, and retries failures
with exponential back-off. A message is marked delivered only after the
receiver accepted it: a crash in between sends it again, so delivery is at
least once, and each message carries a delivery id for receivers to drop
repeats.

Each approver chooses their channels with `zelto-localcloud approver notify`;
an approver in the escalation group hears of a request only once it has
waited longer than the escalation delay (`zelto-localcloud notifications
--escalate-after S`).
"""

from __future__ import annotations

import hashlib
import hmac
import json
import logging
import random
import secrets
import smtplib
import threading
import time
import urllib.error
import urllib.request
from dataclasses import dataclass
from email.message import EmailMessage
from email.utils import formatdate
from pathlib import Path
from urllib.parse import quote, urlsplit

from . import __version__, audit
from .display import shown
from .store import STORAGE_ERRORS, RequestRecord, Store, storage_failure

logger = logging.getLogger("zelto_localcloud.notify")

KINDS = ("webhook", "chat", "email")
GROUPS = ("first", "escalation")
SIGNATURE_HEADER = "Zelto-Signature"
TIMESTAMP_HEADER = "Zelto-Timestamp"
DELIVERY_HEADER = "Zelto-Delivery"
SEND_TIMEOUT = 10.0
# How long a message taken for sending is left to the server process that took it: past that, another
# process (or this one, restarted) sends it again. A send slower than this (a mail server that answers each
# step late) may then go out twice; receivers drop repeats by the delivery id.
LEASE_SECONDS = SEND_TIMEOUT + 5.0
ARGUMENTS_IN_MESSAGE = 600

# Settings kept in the data folder, with their defaults.
SETTINGS = {
    "smtp_host": "",
    "smtp_port": "25",
    "smtp_starttls": "no",
    "smtp_user": "",
    "smtp_password": "",
    "mail_from": "zelto-localcloud@localhost",
    "escalate_after": "0",  # seconds; 0: no escalation
    "dashboard_url": "",  # links in messages; empty: the address the server listens on
    "retry_base": "5",  # seconds before the first retry; doubled each time
    "retry_max": "900",
    "max_attempts": "12",
}

_wake = threading.Event()


def ensure_schema(store: Store) -> None:
    """The notification tables come with the store's schema history (schema.py): nothing to make here."""


# -- settings and channels --------------------------------------------------------


def settings(store: Store) -> dict[str, str]:
    stored = dict(store.execute("SELECT substr(name, 8), value FROM settings WHERE name LIKE 'notify.%'").fetchall())
    return {name: stored.get(name) or default for name, default in SETTINGS.items()}


def set_settings(store: Store, changes: dict[str, str]) -> None:
    with store.transaction():
        for name, value in changes.items():
            if name not in SETTINGS:
                raise ValueError(f"unknown notification setting {name}")
            store.set_setting(f"notify.{name}", value)


@dataclass(frozen=True)
class Channel:
    approver: str
    kind: str
    target: str
    secret: str | None
    group: str


def check_target(kind: str, target: str) -> str:
    if kind == "email":
        local, at, domain = target.partition("@")
        if not (local and at and domain) or any(c.isspace() or c in "<>,;\"" for c in target) or len(target) > 254:
            raise ValueError(f"{target!r} is not an e-mail address")
        return target
    parts = urlsplit(target)
    if parts.scheme not in ("http", "https") or not parts.hostname or any(c.isspace() for c in target):
        raise ValueError(f"{target!r} is not an http(s) URL")
    return target


def channels(store: Store, approver: str | None = None) -> list[Channel]:
    ensure_schema(store)
    where, values = ("WHERE approver = ?", (approver,)) if approver is not None else ("", ())
    rows = store.execute(
        f"SELECT approver, kind, target, secret, grp FROM notify_channels {where} ORDER BY approver, kind, target",
        values,
    ).fetchall()
    return [Channel(*row) for row in rows]


def set_channels(store: Store, approver: str, wanted: list[tuple[str, str]], group: str, now: float) -> dict[str, str]:
    """Replaces an approver's channels; a webhook kept keeps its secret. Answers the secrets
    of the webhooks added now, by URL (they are shown once)."""
    ensure_schema(store)
    if group not in GROUPS:
        raise ValueError(f"group must be one of {', '.join(GROUPS)}")
    checked = [(kind, check_target(kind, target)) for kind, target in wanted]
    new_secrets: dict[str, str] = {}
    with store.transaction():
        if store.approver(approver) is None:
            raise ValueError(f"no approver named {approver}")
        old = {(c.kind, c.target): c.secret for c in channels(store, approver)}
        store.execute("DELETE FROM notify_channels WHERE approver = ?", (approver,))
        for kind, target in dict.fromkeys(checked):
            secret = None
            if kind in ("webhook", "chat"):
                secret = old.get((kind, target)) or secrets.token_urlsafe(32)
                if (kind, target) not in old:
                    new_secrets[target] = secret
            store.execute(
                "INSERT INTO notify_channels (approver, kind, target, secret, grp, created_at)"
                " VALUES (?, ?, ?, ?, ?, ?)",
                (approver, kind, target, secret, group, now),
            )
    return new_secrets


# -- what is sent --------------------------------------------------------------------


def _link(base: str, request_id: str) -> str:
    return f"{base.rstrip('/')}/approvals?request={quote(request_id)}" if base else ""


def message(record: RequestRecord, event: str, link_base: str) -> dict:
    """The message about a request, as the JSON that webhooks receive. It tells of the call the holder
    signed, as the dashboard shows it; the agent's free-form metadata is not the call and is left out."""
    link = _link(link_base, record.id)
    call = shown(record)
    tool = call.tool_text
    if event == "resolved":
        decided = [r for r in record.responses if r.decision == record.status] or record.responses
        who = ", ".join(dict.fromkeys(r.approver for r in decided)) or "nobody"
        headline = f"Approval request for {tool} was {record.status} by {who}"
        if record.denied_reason:
            headline += f": {record.denied_reason}"
    else:
        waited = " (still waiting)" if event == "escalation" else ""
        headline = f"Approval needed{waited}: {tool}"
    arguments = call.summary(ARGUMENTS_IN_MESSAGE) if call.arguments is not None else "(cannot be shown)"
    lines = [headline, f"Arguments: {arguments}", f"Request: {record.id}"]
    if event != "resolved":
        lines.append("Expires: " + time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(record.expires_at)))
    if link:
        lines.append(f"Open: {link}")
    return {
        "text": "\n".join(lines),
        "event": event,
        "request": {
            "id": record.id,
            "tool": tool,
            "status": record.status,
            "request_hash": record.request_hash.hex(),
            "arguments": call.arguments,  # the signed arguments, masked
            "created_at": record.created_at,
            "expires_at": record.expires_at,
            "url": link or None,
        },
    }


def _encode(kind: str, payload: dict) -> str:
    if kind == "chat":
        payload = {"text": payload["text"]}
    return json.dumps(payload, ensure_ascii=True, separators=(",", ":"), allow_nan=False)


def _one_line(text: str) -> str:
    return "".join(c if c.isprintable() else " " for c in text)[:200]


def recipients(store: Store, record: RequestRecord, group: str) -> list[Channel]:
    """The channels of this group's approvers who may decide the request."""
    allowed = None if record.approver_keys is None else set(record.approver_keys)
    chosen = []
    for channel in channels(store):
        if channel.group != group:
            continue
        approver = store.approver(channel.approver)
        if approver is not None and (allowed is None or approver.public_key in allowed):
            chosen.append(channel)
    return chosen


def enqueue(store: Store, record: RequestRecord, event: str, now: float, link_base: str = "") -> int:
    """Queues the messages about this event in the caller's transaction; answers how many."""
    ensure_schema(store)
    if event == "resolved":
        # Those who heard of the request hear how it ended.
        rows = store.execute(
            "SELECT DISTINCT approver, kind, target, secret FROM notify_outbox WHERE request_id = ?"
            " AND event IN ('pending', 'escalation')",
            (record.id,),
        ).fetchall()
        targets = [Channel(approver, kind, target, secret, "") for approver, kind, target, secret in rows]
    else:
        targets = recipients(store, record, "first" if event == "pending" else "escalation")
    if not targets:
        return 0
    link_base = link_base or settings(store)["dashboard_url"] or store.setting("notify.server_url") or ""
    payload = message(record, event, link_base)
    with store.transaction():
        for channel in targets:
            body = _encode(channel.kind, payload) if channel.kind != "email" else json.dumps(
                {"subject": _one_line(payload["text"].splitlines()[0]), "text": payload["text"]}, ensure_ascii=True)
            store.execute(
                "INSERT INTO notify_outbox (request_id, approver, kind, target, secret, event, body, created_at,"
                " next_attempt_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (record.id, channel.approver, channel.kind, channel.target, channel.secret, event, body, now, now),
            )
    _wake.set()
    return len(targets)


# -- sending -----------------------------------------------------------------------


def signature(secret: str, timestamp: str, body: bytes) -> str:
    """What a webhook's Zelto-Signature carries: v1= and the HMAC-SHA256 of "TIMESTAMP." + body."""
    mac = hmac.new(secret.encode(), timestamp.encode() + b"." + body, hashlib.sha256).hexdigest()
    return f"v1={mac}"


class _NoRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None  # a signed post is not replayed elsewhere: a redirect is a failed attempt


_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}), _NoRedirects())


def send_webhook(url: str, secret: str, delivery_id: str, body: str, now: float) -> str:
    data = body.encode()
    timestamp = str(int(now))
    request = urllib.request.Request(url, data=data, method="POST", headers={
        "Content-Type": "application/json",
        "User-Agent": f"zelto-localcloud/{__version__}",
        DELIVERY_HEADER: delivery_id,
        TIMESTAMP_HEADER: timestamp,
        SIGNATURE_HEADER: signature(secret, timestamp, data),
    })
    with _opener.open(request, timeout=SEND_TIMEOUT) as answer:
        return f"HTTP {answer.status}"


def send_email(config: dict[str, str], address: str, delivery_id: str, body: str, now: float) -> str:
    if not config["smtp_host"]:
        raise RuntimeError("no SMTP server set (zelto-localcloud notifications --smtp-host HOST)")
    content = json.loads(body)
    mail = EmailMessage()
    mail["From"] = config["mail_from"]
    mail["To"] = address
    mail["Subject"] = content["subject"]
    mail["Date"] = formatdate(now)
    mail["Message-ID"] = f"<{delivery_id}@zelto-localcloud>"
    mail[DELIVERY_HEADER] = delivery_id
    mail.set_content(content["text"])
    with smtplib.SMTP(config["smtp_host"], int(config["smtp_port"]), timeout=SEND_TIMEOUT) as smtp:
        if config["smtp_starttls"] == "yes":
            smtp.starttls()
        if config["smtp_user"]:
            smtp.login(config["smtp_user"], config["smtp_password"])
        refused = smtp.send_message(mail)
    if refused:
        raise RuntimeError(f"the SMTP server refused {', '.join(refused)}")
    return "accepted by the SMTP server"


def _failure_text(exc: BaseException) -> str:
    if isinstance(exc, urllib.error.HTTPError):
        return f"HTTP {exc.code}"
    if isinstance(exc, urllib.error.URLError):
        return f"cannot connect: {exc.reason}"
    return f"{type(exc).__name__}: {exc}"[:300]


def retry_delay(attempts: int, config: dict[str, str]) -> float:
    """Seconds before the next attempt after `attempts` failed ones: doubling, capped, with jitter."""
    base, cap = float(config["retry_base"]), float(config["retry_max"])
    return min(cap, base * 2 ** (attempts - 1)) * random.uniform(0.8, 1.2)


def escalate_due(store: Store, now: float, link_base: str) -> int:
    """Queues escalation messages for requests pending longer than the escalation delay."""
    after = float(settings(store)["escalate_after"])
    if after <= 0:
        return 0
    rows = store.execute(
        "SELECT id FROM request_list WHERE status = 'pending' AND created_at <= ? AND expires_at > ?"
        " AND id NOT IN (SELECT request_id FROM notify_escalated)",
        (now - after, now),
    ).fetchall()
    for (request_id,) in rows:
        # The message shows the call: worked out (slow for a large one) before the write lock is taken.
        if (waiting := store.get_request(request_id)) is not None:
            shown(waiting)
        with store.transaction():
            record = store.get_request(request_id)
            if record is None or record.status != "pending":
                continue
            # Of the server processes that find it due, the one that marks it escalates it.
            if store.execute("INSERT INTO notify_escalated (request_id, at) VALUES (?, ?)"
                             " ON CONFLICT (request_id) DO NOTHING", (request_id, now)).rowcount != 1:
                continue
            count = enqueue(store, record, "escalation", now, link_base)
            if count:
                audit.record_request(store, "escalation", record, now, actor="server", channel="server",
                                     outcome="escalated", detail={"messages": count, "after_seconds": after})
    return len(rows)


def deliver_due(store: Store, now: float, limit: int = 20) -> int:
    """Sends the messages that are due; answers how many were tried."""
    config = settings(store)
    due = store.execute(
        "SELECT id, request_id, approver, kind, target, secret, event, body, attempts FROM notify_outbox"
        " WHERE state = 'queued' AND next_attempt_at <= ? ORDER BY next_attempt_at, id LIMIT ?",
        (now, limit),
    ).fetchall()
    for outbox_id, request_id, approver, kind, target, secret, event, body, attempts in due:
        if not _lease(store, outbox_id, now):
            continue  # another server process took it
        delivery_id = f"ntf_{outbox_id}"
        record = store.get_request(request_id)
        if event != "resolved" and (record is None or record.status != "pending" or record.expires_at <= now):
            status = "gone" if record is None else "expired" if record.status == "pending" else record.status
            _finish(store, outbox_id, request_id, approver, kind, event, body, attempts, "skipped",
                    f"not sent: the request is {status}", time.time(), config)
            continue
        try:
            if kind == "email":
                detail = send_email(config, target, delivery_id, body, time.time())
            else:
                detail = send_webhook(target, secret or "", delivery_id, body, time.time())
            outcome = "delivered"
        except Exception as exc:  # every failure of a receiver is retried
            detail, outcome = _failure_text(exc), "failed"
        _finish(store, outbox_id, request_id, approver, kind, event, body, attempts + 1, outcome, detail,
                time.time(), config)
    return len(due)


def _lease(store: Store, outbox_id: int, now: float) -> bool:
    """Takes a due message for this process: it is due again (to whoever looks) only once the send has had
    its time, so of several server processes one sends it, and another retries it if this one dies."""
    with store.transaction():
        return store.execute(
            "UPDATE notify_outbox SET next_attempt_at = ? WHERE id = ? AND state = 'queued' AND next_attempt_at <= ?",
            (now + LEASE_SECONDS, outbox_id, now),
        ).rowcount == 1


def _finish(store, outbox_id, request_id, approver, kind, event, body, attempts, outcome, detail, now, config):
    with store.transaction():
        if outcome == "failed" and attempts < int(config["max_attempts"]):
            store.execute(
                "UPDATE notify_outbox SET attempts = ?, next_attempt_at = ?, last_error = ? WHERE id = ?",
                (attempts, now + retry_delay(attempts, config), detail, outbox_id),
            )
        else:
            state = "failed" if outcome == "failed" else outcome
            store.execute(
                "UPDATE notify_outbox SET attempts = ?, state = ?, done_at = ?, last_error = ? WHERE id = ?",
                (attempts, state, now, None if outcome == "delivered" else detail, outbox_id),
            )
        store.execute(
            "INSERT INTO notify_attempts (outbox_id, request_id, attempt, at, outcome, detail) VALUES (?, ?, ?, ?, ?, ?)",
            (outbox_id, request_id, attempts, now, outcome, detail),
        )
        request_hash = store.execute("SELECT request_hash FROM requests WHERE id = ?", (request_id,)).fetchone()
        audit.append(store, "notification", now, request_id=request_id,
                     request_hash=bytes(request_hash[0]).hex() if request_hash else None, actor=approver,
                     channel=kind, display_hash=audit.digest(body), outcome=outcome,
                     detail={"delivery": f"ntf_{outbox_id}", "event": event, "attempt": attempts, "result": detail})


class DeliveryWorker:
    """The server's delivery thread, with its own connection to the data folder."""

    def __init__(self, data_dir: Path, server_url: str, poll_seconds: float = 0.5):
        self.data_dir, self.server_url, self.poll_seconds = Path(data_dir), server_url, poll_seconds
        self._stop = threading.Event()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, name="zelto-notify", daemon=True)

    def start(self) -> "DeliveryWorker":
        self._thread.start()
        self._ready.wait(10)  # the server's address is stored before the first request can come
        return self

    def stop(self) -> None:
        self._stop.set()
        _wake.set()
        self._thread.join(SEND_TIMEOUT + 5)

    def _run(self) -> None:
        try:
            store = Store(self.data_dir)
        except Exception:
            logger.exception("notifications are off: the data folder cannot be opened")
            self._ready.set()
            return
        try:
            ensure_schema(store)
            audit.ensure_schema(store)
            with store.transaction():
                store.set_setting("notify.server_url", self.server_url)
            self._ready.set()
            woken_at = 0.0
            while not self._stop.is_set():
                try:
                    now = time.time()
                    escalate_due(store, now, "")
                    busy = deliver_due(store, now)
                except STORAGE_ERRORS as exc:  # the database is down or full: one line, and again later
                    if storage_failure(exc) is None:
                        logger.exception("notification delivery failed; retrying")
                    else:
                        logger.warning("notification delivery waits for the database: %s", exc)
                    busy = 0
                    self._stop.wait(1.0)
                except Exception:  # a fault here must not end delivery for good
                    logger.exception("notification delivery failed; retrying")
                    busy = 0
                if busy:
                    continue
                # A wake comes from inside the transaction that queues the message, before its
                # commit: look again soon for a while after one.
                soon = time.monotonic() - woken_at < 1.0
                if _wake.wait(0.02 if soon else self.poll_seconds):
                    woken_at = time.monotonic()
                _wake.clear()
        finally:
            self._ready.set()
            store.close()


# -- the delivery log on a request's page ---------------------------------------------


def shown_target(kind: str, target: str) -> str:
    """Webhook URLs often hold a secret in their path: the page shows only their host."""
    if kind == "email":
        return target
    parts = urlsplit(target)
    return f"{parts.scheme}://{parts.netloc}/…" if parts.path.strip("/") or parts.query else f"{parts.scheme}://{parts.netloc}"


def delivery_log(store: Store, request_id: str) -> list[dict]:
    ensure_schema(store)
    rows = store.execute(
        "SELECT o.id, o.approver, o.kind, o.target, o.event, o.state, o.next_attempt_at, a.attempt, a.at, a.outcome,"
        " a.detail FROM notify_outbox o LEFT JOIN notify_attempts a ON a.outbox_id = o.id"
        " WHERE o.request_id = ? ORDER BY o.id, a.id LIMIT 500",
        (request_id,),
    ).fetchall()
    keys = ("id", "approver", "kind", "target", "event", "state", "next_attempt_at", "attempt", "at", "outcome",
            "detail")
    return [dict(zip(keys, row)) for row in rows]


def delivery_lines(store: Store, request_id: str) -> list[dict]:
    """The request page's delivery log: one line per attempt, or one for a message still queued."""
    lines = []
    for row in delivery_log(store, request_id):
        if row["attempt"] is None:
            at, outcome, detail = row["next_attempt_at"], "queued", ""
        else:
            at, outcome, detail = row["at"], row["outcome"], row["detail"] or ""
        lines.append({"at": at, "approver": row["approver"], "kind": row["kind"],
                      "target": shown_target(row["kind"], row["target"]), "event": row["event"], "id": row["id"],
                      "attempt": row["attempt"], "outcome": outcome, "detail": detail})
    return lines