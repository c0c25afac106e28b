"""The local cloud's dashboard: its HTML over plain HTTP, and a real headless Chromium."""

from __future__ import annotations

import html
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import httpx
import pytest
from browser_helpers import ATTACKER_HOST, Poller, make_browser, on_fresh_elements, sign_in, wait_for
from localcloud_helpers import (api_client, assert_no_tracebacks, assert_verified_approval, create, create_body,
                               dashboard_session, form_token)
from zelto_localcloud.testing import LocalCloud

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")



@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("dashboard")) as running:
        yield running
        assert_no_tracebacks(running)


@pytest.fixture
def http(cloud):
    with api_client(cloud) as client:
        yield client


@pytest.fixture(scope="module")
def alice(cloud):
    session = dashboard_session(cloud, "alice")
    yield session
    session.close()


def decide(session, request_id: str, action: str, **fields):
    token = form_token(session.get(f"/approvals?request={request_id}").text)
    return session.post(f"/approvals/{request_id}/{action}", data={"form_token": token, **fields})


class TestPages:
    def test_list_shows_pending_and_resolved_requests(self, cloud, http, alice):
        pending, resolved = create(http), create(http)
        http.post(f"/v1/approvals/requests/{resolved['id']}/deny", json={"approver": "alice"})
        page = alice.get("/approvals").text
        pending_table = page.split('id="pending"')[1].split("</table>")[0]
        resolved_table = page.split('id="resolved"')[1].split("</table>")[0]
        assert pending["id"] in pending_table and pending["id"] not in resolved_table
        assert resolved["id"] in resolved_table and "denied" in resolved_table

    def test_every_value_is_escaped(self, cloud, http, alice):
        hostile = "<script>alert(1)</script>"
        request = create(http, tool=hostile, arguments={"note": hostile})
        http.post(f"/v1/approvals/requests/{request['id']}/deny", json={"approver": "bob", "reason": hostile})
        for url in ("/approvals", f"/approvals?request={request['id']}"):
            assert hostile not in alice.get(url).text
        assert html.escape(hostile) in alice.get(f"/approvals?request={request['id']}").text

    def test_detail_shows_the_request_and_refreshes_only_while_pending(self, cloud, http, alice):
        keys = [cloud.approvers["alice"], cloud.approvers["carol"]]
        request = create(http, tool="wire_money", threshold=2, approver_keys=keys)
        page = alice.get(f"/approvals?request={request['id']}").text
        for text in ("wire_money", request["warrant_id"], "pending", "0 of 2", "alice <code>", "carol <code>",
                     'id="approve"', "Approve as alice", "data-status-url", request["request_hash"]):
            assert text in page
        assert decide(alice, request["id"], "approve").status_code == 303
        # alice has approved: she may still deny, but not approve twice.
        page = alice.get(f"/approvals?request={request['id']}").text
        assert "1 of 2" in page and 'id="approve"' not in page and 'id="deny"' in page
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "carol"})
        done = alice.get(f"/approvals?request={request['id']}").text
        assert "approved" in done and "data-status-url" not in done and 'id="deny"' not in done
        assert "Approved by alice, carol at" in done

    def test_an_approver_the_request_does_not_allow_gets_no_forms_and_cannot_post(self, cloud, http):
        request = create(http, approver_keys=[cloud.approvers["alice"]])
        bob = dashboard_session(cloud, "bob")
        page = bob.get(f"/approvals?request={request['id']}").text
        assert 'id="not-allowed"' in page and 'id="approve"' not in page
        refused = bob.post(f"/approvals/{request['id']}/approve", data={"form_token": form_token(page)})
        bob.close()
        assert refused.status_code == 403
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"

    def test_unknown_request_is_a_404_page(self, alice):
        response = alice.get("/approvals?request=apr_nothing")
        assert response.status_code == 404 and "apr_nothing" in response.text

    def test_without_a_session_every_page_leads_to_thesign_in(self, cloud, http):
        request = create(http)
        for path in ("/approvals", f"/approvals?request={request['id']}"):
            answer = httpx.get(cloud.base_url + path)
            assert answer.status_code == 303 and answer.headers["location"].startswith("/signin?next=")
        posted = httpx.post(f"{cloud.base_url}/approvals/{request['id']}/approve", data={"form_token": "x"},
                            headers={"Origin": cloud.base_url})
        assert posted.status_code == 401

    def test_sign_in_with_a_wrong_password_or_unknown_name_is_refused(self, cloud):
        with httpx.Client(base_url=cloud.base_url, headers={"Origin": cloud.base_url}) as client:
            for name, password in (("alice", "not-alices-password"), ("nobody", "whatever-password")):
                token = form_token(client.get("/signin").text)
                answer = client.post("/signin", data={"form_token": token, "name": name, "password": password})
                assert answer.status_code == 401 and "wrong password" in answer.text
                assert "zelto_session" not in client.cookies

    def test_the_session_cookie_is_http_only_and_strict(self, cloud):
        with httpx.Client(base_url=cloud.base_url, headers={"Origin": cloud.base_url}) as client:
            token = form_token(client.get("/signin").text)
            answer = client.post("/signin", data={"form_token": token, "name": "carol",
                                                  "password": cloud.approver_password("carol")})
        cookie = next(v for k, v in answer.headers.multi_items() if k == "set-cookie" and "zelto_session=" in v)
        assert "HttpOnly" in cookie and "SameSite=strict" in cookie and "Path=/" in cookie

    def test_pages_send_a_strict_policy_and_no_inline_script(self, cloud, http, alice):
        request = create(http)
        for path in ("/approvals", f"/approvals?request={request['id']}", "/signin"):
            answer = alice.get(path, follow_redirects=True)
            policy = answer.headers["content-security-policy"]
            assert "default-src 'none'" in policy and "script-src 'self'" in policy
            assert "frame-ancestors 'none'" in policy and "unsafe-inline" not in policy
            assert answer.headers["x-frame-options"] == "DENY" and answer.headers["cache-control"] == "no-store"
            scripts = re.findall(r"<script[^>]*>", answer.text)
            assert all(re.fullmatch(r'<script src="/static/[a-z]+\.js" defer>', tag) for tag in scripts), scripts
            assert "<style" not in answer.text and " on" not in re.sub(r">[^<]*<", "><", answer.text)


class TestHosts:
    @pytest.mark.parametrize("path", ["/approvals", "/signin", "/v1/approvers", "/healthz"])
    def test_a_foreign_host_name_is_refused_an_ip_address_or_allowed_name_is_not(self, tmp_path_factory, path):
        with LocalCloud(tmp_path_factory.mktemp("hosts"), host="0.0.0.0",
                        server_args=("--allowed-host", "approvals.example")) as everywhere:
            port = everywhere.port
            url = f"http://127.0.0.1:{port}{path}"
            for host in (f"attacker.example:{port}", "attacker.example", f"127.0.0.1.attacker.example:{port}",
                         f"localhost.attacker.example:{port}", "[::1", f"approvals.example:{port}:1"):
                answer = httpx.get(url, headers={"Host": host})
                assert answer.status_code == 403 and "own address" in answer.text, host
            for host in (f"approvals.example:{port}", f"localhost:{port}", f"192.0.2.7:{port}", f"[::1]:{port}"):
                assert httpx.get(url, headers={"Host": host}).status_code in (200, 303, 401), host


class TestForms:
    def test_a_form_without_the_sessions_token_changes_nothing(self, cloud, http, alice):
        request = create(http)
        for token in ("", "guess", form_token(httpx.get(cloud.base_url + "/signin").text)):
            response = alice.post(f"/approvals/{request['id']}/approve", data={"form_token": token})
            assert response.status_code == 403
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"

    def test_deny_form_records_the_reason_and_the_signed_in_approver(self, cloud, http, alice):
        request = create(http)
        response = decide(alice, request["id"], "deny", reason="not today", approver="bob")
        assert response.status_code == 303
        seen = http.get(f"/v1/approvals/requests/{request['id']}").json()
        assert seen["denied_reason"] == "not today" and seen["responses"][0]["approver"] == "alice"

    def test_deciding_a_resolved_request_shows_why_it_failed(self, cloud, http, alice):
        request = create(http)
        token = form_token(alice.get(f"/approvals?request={request['id']}").text)
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "bob"})
        response = alice.post(f"/approvals/{request['id']}/approve", data={"form_token": token})
        assert response.status_code == 409 and "already approved" in response.text

    def test_malformed_form_bodies_are_4xx(self, cloud, http, alice):
        request = create(http)
        url = f"/approvals/{request['id']}/approve"
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        assert alice.post(url, content=b"\xff\xfe", headers=form).status_code == 400
        assert alice.post(url, content=b"a=1&" * 300_000, headers=form).status_code == 413

    @pytest.mark.parametrize("headers", [
        {"Origin": "http://attacker.example"},
        {"Origin": "null"},
        {"Origin": None, "Referer": "http://attacker.example/page"},
        {"Origin": None},
    ], ids=["foreign-origin", "null-origin", "foreign-referer", "neither"])
    def test_posts_that_do_not_come_from_the_dashboard_are_refused(self, cloud, http, alice, headers):
        request = create(http)
        token = form_token(alice.get(f"/approvals?request={request['id']}").text)
        sent = {k: v for k, v in headers.items() if v is not None}
        alice_cookies = {"zelto_session": alice.cookies["zelto_session"]}
        response = httpx.post(f"{cloud.base_url}/approvals/{request['id']}/approve", data={"form_token": token},
                              headers=sent, cookies=alice_cookies)
        assert response.status_code == 403 and "refused" in response.text
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"

    def test_a_referer_from_the_dashboard_stands_in_for_a_missing_origin(self, cloud, http, alice):
        request = create(http)
        token = form_token(alice.get(f"/approvals?request={request['id']}").text)
        headers = {"Referer": cloud.request_url(request["id"])}
        response = httpx.post(f"{cloud.base_url}/approvals/{request['id']}/approve", data={"form_token": token},
                              headers=headers, cookies={"zelto_session": alice.cookies["zelto_session"]})
        assert response.status_code == 303

    def test_sign_out_ends_the_session(self, cloud, http):
        session = dashboard_session(cloud, "bob")
        cookie = session.cookies["zelto_session"]
        token = form_token(session.get("/approvals").text)
        assert session.post("/signout", data={"form_token": token}).status_code == 303
        stolen = httpx.get(cloud.dashboard_url, cookies={"zelto_session": cookie})
        assert stolen.status_code == 303 and stolen.headers["location"].startswith("/signin")


def test_arguments_are_shown_with_secrets_masked(cloud, http, alice):
    secrets = {"api_key": "sk-live-abcdef123456", "note": "use Bearer abc.def-ghi123 here"}
    request = create(http, arguments={**secrets, "amount": 10})
    page = alice.get(f"/approvals?request={request['id']}").text
    arguments = html.unescape(page.split('id="arguments"')[1].split("</pre>")[0].replace("<wbr>", ""))
    assert "sk-live-abcdef123456" not in page and "abc.def-ghi123" not in page
    assert '"api_key": "<redacted>"' in arguments and '"amount": 10' in arguments
    assert "use Bearer <redacted> here" in arguments


# -- a real browser -----------------------------------------------------------

@pytest.fixture(scope="module")
def browser():
    driver = make_browser()
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


class AttackerSite:
    """A page on another site that posts a form to the dashboard as soon as it loads."""

    def __init__(self, target: str):
        page = (
            f'<html><body><form id="f" method="post" action="{html.escape(target)}">'
            '<input type="hidden" name="form_token" value="guessed"></form>'
            "<script>document.getElementById('f').submit()</script></body></html>"
        ).encode()

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://{ATTACKER_HOST}:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc_info):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)


class TestInChromium:
    def test_sign_in_approve_reaches_a_polling_client_signed_by_that_approver(self, cloud, http, browser):
        from selenium.webdriver.common.by import By

        request = create(http, tool="deploy_service")
        poller = Poller(cloud, request["id"])
        poller.start()
        sign_in(browser, cloud, "bob")
        on_fresh_elements(browser, lambda b: b.find_element(By.LINK_TEXT, request["id"]).click())
        assert browser.find_element(By.ID, "tool").text == "deploy_service"
        on_fresh_elements(browser, lambda b: b.find_element(By.ID, "approve").click())
        wait_for(browser, "status", "approved")
        poller.join(60)
        assert poller.seen is not None and poller.seen["status"] == "approved"
        assert_verified_approval(poller.seen["responses"][0], request_hash_hex=request["request_hash"],
                                 approver_key_hex=cloud.approvers["bob"], encoding=cloud.encoding)

    def test_deny_keeps_the_reason_and_sign_out_locks_the_dashboard(self, cloud, http, browser):
        from selenium.webdriver.common.by import By

        request = create(http)
        sign_in(browser, cloud, "carol", then=f"/approvals?request={request['id']}")
        browser.find_element(By.ID, "deny-reason").send_keys("amount too high")
        browser.find_element(By.ID, "deny").click()
        wait_for(browser, "status", "denied")
        seen = http.get(f"/v1/approvals/requests/{request['id']}").json()
        assert (seen["status"], seen["denied_reason"]) == ("denied", "amount too high")
        assert seen["responses"][0]["approver"] == "carol"
        browser.find_element(By.ID, "signout").click()
        browser.get(cloud.dashboard_url)
        assert browser.find_element(By.ID, "signin-name") and "signin" in browser.current_url

    def test_a_pending_page_updates_itself_when_approved_elsewhere(self, cloud, http, browser):
        request = create(http)
        sign_in(browser, cloud, "alice", then=f"/approvals?request={request['id']}")
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "bob"})
        wait_for(browser, "status", "approved")

    def test_a_cross_site_form_post_is_refused(self, cloud, http, browser):
        from selenium.webdriver.common.by import By

        request = create(http)
        sign_in(browser, cloud, "alice")
        with AttackerSite(f"{cloud.base_url}/approvals/{request['id']}/approve") as attacker:
            browser.get(attacker.url)
            wait_for(browser, "notice", "refused: the request comes from another site")
        assert browser.find_element(By.ID, "notice").text.endswith(f"({attacker.url.rstrip('/')})")
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"

    def test_the_dashboard_under_a_foreign_host_name_is_refused(self, cloud, http, browser):
        request = create(http)
        sign_in(browser, cloud, "alice")
        browser.get(f"http://{ATTACKER_HOST}:{cloud.port}/approvals?request={request['id']}")
        wait_for(browser, "notice", "answers only under its own address")
        assert request["id"] not in browser.page_source

    def test_a_stale_form_token_is_refused(self, cloud, http, browser):
        from selenium.webdriver.common.by import By

        request = create(http)
        sign_in(browser, cloud, "alice", then=f"/approvals?request={request['id']}")
        old_token = browser.find_element(By.NAME, "form_token").get_attribute("value")
        # A new session has a new form token: the old page's forms are stale.
        sign_in(browser, cloud, "alice", then=f"/approvals?request={request['id']}")
        browser.execute_script(
            "document.querySelectorAll('input[name=form_token]').forEach(function (e) { e.value = arguments[0]; })",
            old_token,
        )
        browser.find_element(By.ID, "approve").click()
        wait_for(browser, "notice", "the form is stale")
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"
