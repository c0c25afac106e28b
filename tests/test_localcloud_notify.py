"""Notifications of the local cloud, against real receivers on loopback: a webhook
receiver that fails on demand, and an SMTP server (aiosmtpd) in this process."""

from __future__ import annotations

import json
import re
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from aiosmtpd.controller import Controller
from localcloud_helpers import api_client, create, dashboard_session
from zelto_localcloud.testing import LocalCloud

from test_localcloud_cli import run

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

WAIT = 20.0


class Receiver:
    """A webhook receiver that answers 500 to its first `fail_first` posts; it logs what it accepts."""

    def __init__(self, fail_first: int = 0):
        self.fail_first, self.attempts, self.accepted = fail_first, [], []
        self.secret: str | None = None
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                receiver.attempts.append(body)
                status = 500 if len(receiver.attempts) <= receiver.fail_first else 204
                if status == 204:
                    receiver.accepted.append((dict(self.headers), body))
                self.send_response(status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/hooks/zelto"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def events(self) -> list[str]:
        return [json.loads(body).get("event", "chat") for _, body in self.accepted]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def _documented_check():
    """The signature check docs/notifications.md gives receivers, run as written."""
    text = (Path(__file__).resolve().parent.parent / "docs" / "notifications.md").read_text()
    namespace: dict = {}
    exec(re.search(r"```python\n(.*?)```", text, re.S).group(1), namespace)
    return namespace["verify_signature"]


verify_signature = _documented_check()


def verified(headers: dict, body: bytes, secret: str) -> bool:
    tampered = body[:-1] + bytes([body[-1] ^ 1])
    return verify_signature(secret, headers, body) and not verify_signature(secret, headers, tampered)


class Mailbox:
    def __init__(self):
        self.messages: list[bytes] = []
        with socket.socket() as probe:  # aiosmtpd probes the port it is given: it needs a real one
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.controller = Controller(self, hostname="127.0.0.1", port=self.port)
        self.controller.start()

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.rcpt_tos, envelope.content))
        return "250 OK"

    def close(self):
        self.controller.stop()


def until(condition, what: str):
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def manage(cloud: LocalCloud, *arguments: str) -> str:
    result = run(*arguments, "--data-dir", str(cloud.data_dir))
    assert result.returncode == 0, result.stderr
    return result.stdout


def secret_in(printed: str) -> str:
    return next(line.rsplit(": ", 1)[1] for line in printed.splitlines() if line.startswith("webhook secret"))


# Each case: the channel alice (first group) and bob (escalation group, when given) get,
# how often the webhook fails first, and the events each receiver must log, once each.
CASES = {
    "signed webhook, fails twice then accepts": dict(alice="--webhook", fail_first=2, alice_events=["pending"]),
    "chat webhook": dict(alice="--chat-webhook", alice_events=["chat"]),
    "e-mail": dict(alice="--email", alice_events=["pending"]),
    "escalation to a second group": dict(alice="--webhook", bob="--webhook", alice_events=["pending", "resolved"],
                                         bob_events=["escalation", "resolved"], decide=True),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_approvers_get_each_message_once_on_their_channel(tmp_path, case):
    alice, bob, mailbox = Receiver(case.get("fail_first", 0)), Receiver(), Mailbox()
    cloud = LocalCloud(tmp_path / "cloud")
    try:
        cloud.start()
        manage(cloud, "notifications", "--retry-base", "0.2", "--escalate-after", "1", "--smtp-host", "127.0.0.1",
               "--smtp-port", str(mailbox.port), "--mail-from", "cloud@example.org")
        target = "alice@example.org" if case["alice"] == "--email" else alice.url
        printed = manage(cloud, "approver", "notify", "alice", case["alice"], target)
        alice.secret = secret_in(printed) if case["alice"] != "--email" else None
        if "bob" in case:
            bob.secret = secret_in(manage(cloud, "approver", "notify", "bob", case["bob"], bob.url, "--escalation"))
        with api_client(cloud) as http:
            # The agent's free-form metadata disagrees with the signed call: only the signed call is told.
            request = create(http, tool="transfer_funds", arguments={"account": "acct-7781", "amount": 5},
                             metadata={"account": "acct-decoy"})
        if case["alice"] == "--email":
            until(lambda: mailbox.messages, "the mail")
            (recipients, content), = mailbox.messages
            assert recipients == ["alice@example.org"]
            assert b"Subject: Approval needed: transfer_funds" in content and b"acct-7781" in content
            assert b"acct-decoy" not in content
            assert request["id"].encode() in content
        else:
            until(lambda: len(alice.accepted) >= 1, "alice's webhook")
            headers, body = alice.accepted[0]
            assert verified(headers, body, alice.secret)
            payload = json.loads(body)
            assert "acct-7781" in payload["text"] and request["id"] in payload["text"]
            assert "acct-decoy" not in body.decode()
            assert (set(payload) == {"text"}) == (case["alice"] == "--chat-webhook")
            assert len(alice.attempts) == case.get("fail_first", 0) + 1
        if case.get("decide"):
            until(lambda: bob.accepted, "the escalation")
            cloud.deny(request["id"], "alice", reason="not today")
            until(lambda: len(bob.accepted) == 2 and len(alice.accepted) == 2, "the resolved messages")
            assert "denied by alice: not today" in json.loads(bob.accepted[1][1])["text"]
        time.sleep(1.5)  # past the escalation delay and several retry periods: nothing more may come
        if case["alice"] == "--email":
            assert len(mailbox.messages) == 1
        else:
            assert alice.events() == case["alice_events"]
        assert bob.events() == case.get("bob_events", [])
        page = dashboard_session(cloud, "alice")
        html = page.get(f"/approvals?request={request['id']}").text
        history = page.get("/approvals/history?approver=alice").text
        waiting = page.get("/approvals/pending-count").json()
        page.close()
        assert '<table id="history">' in html and "<td>create</td>" in html
        assert request["id"] in history and ("<td>denied</td>" in history) == bool(case.get("decide"))
        assert waiting == ({"pending": 0, "newest": None, "newest_tool": None} if case.get("decide")
                           else {"pending": 1, "newest": request["id"], "newest_tool": "transfer_funds"})
        assert html.count('class="delivery failed"') == case.get("fail_first", 0)
        assert 'class="delivery delivered"' in html and alice.url not in html  # the URL's path stays hidden
        exported = tmp_path / "audit.jsonl"
        manage(cloud, "audit", "export", "--output", str(exported))
        assert run("audit", "verify", str(exported)).returncode == 0
        rows = [json.loads(line) for line in exported.read_text().splitlines()]
        first = [r["outcome"] for r in rows if r["event"] == "notification" and r["detail"]["event"] == "pending"]
        assert first == ["failed"] * case.get("fail_first", 0) + ["delivered"]
        assert {"create", "notification"} <= {r["event"] for r in rows}
    finally:
        cloud.stop()
        for closing in (alice, bob, mailbox):
            closing.close()


def test_a_message_queued_before_a_crash_is_delivered_after_restart(tmp_path):
    receiver = Receiver(fail_first=10**6)  # down until the server has been killed
    cloud = LocalCloud(tmp_path / "cloud")
    try:
        cloud.start()
        manage(cloud, "notifications", "--retry-base", "0.2")
        receiver.secret = secret_in(manage(cloud, "approver", "notify", "alice", "--webhook", receiver.url))
        with api_client(cloud) as http:
            request = create(http)
        cloud.kill()  # SIGKILL: the message was in the outbox, not yet delivered
        assert receiver.accepted == []
        receiver.fail_first = 0
        receiver.attempts.clear()
        cloud.start()
        until(lambda: receiver.accepted, "delivery after the restart")
        time.sleep(1.0)
        (headers, body), = receiver.accepted
        assert verified(headers, body, receiver.secret) and json.loads(body)["request"]["id"] == request["id"]
    finally:
        cloud.stop()
        receiver.close()


BAD_INPUT = {
    "a webhook that is not http": (["approver", "notify", "alice", "--webhook", "ftp://example.org/x"], "http(s) URL"),
    "an e-mail without @": (["approver", "notify", "alice", "--email", "alice.example.org"], "not an e-mail"),
    "an e-mail with two addresses": (["approver", "notify", "alice", "--email", "a@x.org,b@y.org"], "not an e-mail"),
    "--off with channels": (["approver", "notify", "alice", "--off", "--email", "a@x.org"], "give it alone"),
    "an unknown approver": (["approver", "notify", "mallory", "--email", "a@x.org"], "no approver named mallory"),
    "a negative escalation delay": (["notifications", "--escalate-after", "-1"], "seconds from 0"),
    "a dashboard url that is not one": (["notifications", "--dashboard-url", "approvals"], "http(s) URL"),
    "a missing export": (["audit", "verify", "no-such-file.jsonl"], "cannot read no-such-file.jsonl"),
}


@pytest.mark.parametrize("arguments,message", BAD_INPUT.values(), ids=BAD_INPUT.keys())
def test_bad_notification_and_audit_input_is_refused_clearly(tmp_path, capsys, arguments, message):
    from zelto_localcloud import cli, notify
    from zelto_localcloud.approvers import add_approver
    from zelto_localcloud.store import Store

    store = Store(tmp_path)
    with store.transaction():
        add_approver(store, "alice", "a long enough password", 0)
    store.close()
    data_dir = [] if arguments[0] == "audit" else ["--data-dir", str(tmp_path)]
    try:
        status = cli.main([*arguments, *data_dir])
    except SystemExit as exit:  # argparse's own refusals
        status = exit.code
    assert status == 2 and message in capsys.readouterr().err
    store = Store(tmp_path)
    assert notify.channels(store) == [] and notify.settings(store) == notify.SETTINGS  # nothing was changed
    store.close()


def test_the_title_counts_what_waits_for_the_signed_in_approver(tmp_path, screenshot_dir):
    from browser_helpers import make_browser, sign_in
    from selenium.webdriver.support.ui import WebDriverWait

    browser, receiver = make_browser(), Receiver(fail_first=1)
    cloud = LocalCloud(tmp_path / "cloud")
    try:
        cloud.start()
        manage(cloud, "notifications", "--retry-base", "0.2")
        manage(cloud, "approver", "notify", "alice", "--webhook", receiver.url)
        sign_in(browser, cloud, "alice")
        title = lambda prefix: WebDriverWait(browser, WAIT).until(lambda b: b.title.startswith(prefix))  # noqa: E731
        title("Approvals")
        with api_client(cloud) as http:
            create(http, approver_keys=[cloud.approvers["bob"]])  # not alice's to decide: not counted
            request = create(http, tool="delete_branch", arguments={"branch": "release-7"})
        title("(1) ")
        until(lambda: receiver.accepted, "the webhook")
        browser.set_window_size(1280, 1000)
        browser.get(cloud.request_url(request["id"]))
        title("(1) ")
        browser.execute_script("document.getElementById('notifications').scrollIntoView()")
        browser.save_screenshot(str(screenshot_dir / "notifications-01-request-delivery-log-and-history.png"))
        cloud.approve(request["id"], "alice")
        title("delete_branch")  # the count is gone once nothing waits for alice
        browser.get(f"{cloud.base_url}/approvals/history?approver=alice")
        browser.save_screenshot(str(screenshot_dir / "notifications-02-approver-history.png"))
        assert "approved" in browser.page_source and request["id"] in browser.page_source
    finally:
        browser.quit()
        cloud.stop()
        receiver.close()
