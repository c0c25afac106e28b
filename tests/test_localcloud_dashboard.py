"""The local cloud's dashboard: its HTML over plain HTTP, and a real headless Chromium."""

from __future__ import annotations

import html
import os
import re
import shutil
import threading
import time

import httpx
import pytest
from localcloud_helpers import api_client, assert_no_tracebacks, assert_verified_approval, create, create_body
from zelto_localcloud.testing import LocalCloud

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    with LocalCloud(tmp_path_factory.mktemp("dashboard")) as running:
        yield running
        assert_no_tracebacks(running)


@pytest.fixture
def http(cloud):
    with api_client(cloud) as client:
        yield client


def form_token(page: str) -> str:
    return re.search(r'name="form_token" value="([^"]+)"', page).group(1)


class TestPages:
    def test_list_shows_pending_and_resolved_requests(self, cloud, http):
        pending, resolved = create(http), create(http)
        http.post(f"/v1/approvals/requests/{resolved['id']}/deny", json={"approver": "alice"})
        page = httpx.get(cloud.dashboard_url).text
        pending_table = page.split('id="pending"')[1].split("</table>")[0]
        resolved_table = page.split('id="resolved"')[1].split("</table>")[0]
        assert pending["id"] in pending_table and pending["id"] not in resolved_table
        assert resolved["id"] in resolved_table and "denied" in resolved_table

    def test_every_value_is_escaped(self, cloud, http):
        hostile = "<script>alert(1)</script>"
        request = create(http, tool=hostile, arguments={"note": hostile})
        http.post(f"/v1/approvals/requests/{request['id']}/deny", json={"approver": "bob", "reason": hostile})
        for url in (cloud.dashboard_url, cloud.request_url(request["id"])):
            page = httpx.get(url).text
            assert hostile not in page
        assert html.escape(hostile) in httpx.get(cloud.request_url(request["id"])).text

    def test_detail_shows_the_request_and_refreshes_only_while_pending(self, cloud, http):
        keys = [cloud.approvers["alice"], cloud.approvers["carol"]]
        request = create(http, tool="wire_money", threshold=2, approver_keys=keys)
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "alice"})
        page = httpx.get(cloud.request_url(request["id"])).text
        for text in ("wire_money", request["warrant_id"], "pending", "1 of 2", "alice (", "carol ("):
            assert text in page
        approve_select = page.split('id="approve-approver"')[1].split("</select>")[0]
        # alice has approved and bob is not allowed: only carol may still approve.
        assert re.findall(r'<option value="([^"]+)"', approve_select) == ["carol"]
        assert "window.location.reload" in page
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "carol"})
        done = httpx.get(cloud.request_url(request["id"])).text
        assert "approved" in done and "window.location.reload" not in done and 'id="approve"' not in done

    def test_pages_asked_for_under_a_foreign_host_name_are_refused(self, cloud, http):
        request = create(http)
        rebound = {"Host": f"attacker.example:{cloud.port}"}
        assert httpx.get(cloud.dashboard_url, headers=rebound).status_code == 403
        assert httpx.get(cloud.request_url(request["id"]), headers=rebound).status_code == 403
        assert httpx.get(cloud.dashboard_url, headers={"Host": f"localhost:{cloud.port}"}).status_code == 200

    def test_unknown_request_is_a_404_page(self, cloud):
        response = httpx.get(cloud.request_url("apr_nothing"))
        assert response.status_code == 404 and "apr_nothing" in response.text


class TestForms:
    def test_a_form_without_the_dashboard_token_changes_nothing(self, cloud, http):
        request = create(http)
        response = httpx.post(f"{cloud.base_url}/approvals/{request['id']}/approve", data={"approver": "alice"})
        assert response.status_code == 403
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"

    def test_deny_form_records_the_reason(self, cloud, http):
        request = create(http)
        token = form_token(httpx.get(cloud.request_url(request["id"])).text)
        response = httpx.post(f"{cloud.base_url}/approvals/{request['id']}/deny",
                              data={"form_token": token, "approver": "bob", "reason": "not today"})
        assert response.status_code == 303
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["denied_reason"] == "not today"

    def test_deciding_a_resolved_request_shows_why_it_failed(self, cloud, http):
        request = create(http)
        token = form_token(httpx.get(cloud.request_url(request["id"])).text)
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "alice"})
        response = httpx.post(f"{cloud.base_url}/approvals/{request['id']}/approve",
                              data={"form_token": token, "approver": "bob"})
        assert response.status_code == 409 and "already approved" in response.text

    def test_malformed_form_bodies_are_4xx(self, cloud, http):
        request = create(http)
        url = f"{cloud.base_url}/approvals/{request['id']}/approve"
        assert httpx.post(url, content=b"\xff\xfe", headers={"Content-Type": "application/x-www-form-urlencoded"}).status_code == 400
        assert httpx.post(url, content=b"a=1&" * 300_000).status_code == 413


def _redaction_available() -> bool:
    try:
        from zelto_cloud.redaction import redact  # noqa: F401
    except ImportError:
        return False
    return True


@pytest.mark.skipif(not _redaction_available(), reason="zelto_cloud.redaction is not built in this environment")
def test_arguments_are_shown_with_secrets_masked(cloud, http):
    secrets = {"api_key": "sk-live-abcdef123456", "note": "use Bearer abc.def-ghi123 here"}
    request = create(http, arguments={**secrets, "amount": 10})
    page = httpx.get(cloud.request_url(request["id"])).text
    arguments = html.unescape(page.split('id="arguments"')[1].split("</pre>")[0])
    assert "sk-live-abcdef123456" not in page and "abc.def-ghi123" not in page
    assert '"api_key": "<redacted>"' in arguments and '"amount": 10' in arguments
    assert "use <redacted> here" in arguments


# -- a real browser -----------------------------------------------------------

def _browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    if not (shutil.which(CHROMIUM) and shutil.which(CHROMEDRIVER)):
        pytest.skip("Debian's chromium and chromedriver are not installed")
    os.environ.setdefault("SE_OFFLINE", "true")  # never let Selenium fetch a browser or driver
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(argument)
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER, env=_browser_environment())
    return webdriver.Chrome(options=options, service=service)


def _browser_environment() -> dict[str, str]:
    # The sanitizer run preloads ASan into every child process; the browser must not get it.
    preloaded = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {name: value for name, value in os.environ.items() if name not in preloaded}


@pytest.fixture(scope="module")
def browser():
    driver = _browser()
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


class Poller(threading.Thread):
    """A client that polls one request until it leaves 'pending', as an approval handler does."""

    def __init__(self, cloud, request_id: str, deadline_seconds: float = 60):
        super().__init__(daemon=True)
        self.cloud, self.request_id, self.deadline = cloud, request_id, time.monotonic() + deadline_seconds
        self.seen: dict | None = None

    def run(self) -> None:
        from zelto_cloud.client import ZeltoCloudClient

        with ZeltoCloudClient(self.cloud.api_key, base_url=self.cloud.base_url) as client:
            while time.monotonic() < self.deadline:
                current = client.get_request(self.request_id)
                if current["status"] != "pending":
                    self.seen = current
                    return
                time.sleep(0.1)


def _on_fresh_elements(browser, action) -> None:
    """Runs a browser step again if a self-refresh replaced the page under it."""
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(browser, 10, ignored_exceptions=(StaleElementReferenceException,)).until(
        lambda b: action(b) or True
    )


def _wait_for_status(browser, status: str) -> None:
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    # The page is replaced while we look (form post, self-refresh): look again.
    WebDriverWait(browser, 20, ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)).until(
        lambda b: b.find_element(By.ID, "status").text == status
    )


class TestInChromium:
    def test_clicking_approve_reaches_a_polling_client_as_a_verifying_approval(self, cloud, http, browser):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select

        request = create(http, tool="deploy_service")
        poller = Poller(cloud, request["id"])
        poller.start()
        browser.get(cloud.dashboard_url)
        _on_fresh_elements(browser, lambda b: b.find_element(By.LINK_TEXT, request["id"]).click())
        assert browser.find_element(By.ID, "tool").text == "deploy_service"
        _on_fresh_elements(
            browser, lambda b: Select(b.find_element(By.ID, "approve-approver")).select_by_visible_text("bob")
        )
        browser.find_element(By.ID, "approve").click()
        _wait_for_status(browser, "approved")
        poller.join(60)
        assert poller.seen is not None and poller.seen["status"] == "approved"
        assert_verified_approval(poller.seen["responses"][0], request_hash_hex=request["request_hash"],
                                 approver_key_hex=cloud.approvers["bob"], encoding="hex")

    def test_deny_in_the_browser_asks_for_and_keeps_the_reason(self, cloud, http, browser):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select

        request = create(http)
        browser.get(cloud.request_url(request["id"]))
        _on_fresh_elements(
            browser, lambda b: Select(b.find_element(By.ID, "deny-approver")).select_by_visible_text("carol")
        )
        browser.find_element(By.ID, "deny-reason").send_keys("amount too high")
        browser.find_element(By.ID, "deny").click()
        _wait_for_status(browser, "denied")
        seen = http.get(f"/v1/approvals/requests/{request['id']}").json()
        assert (seen["status"], seen["denied_reason"]) == ("denied", "amount too high")

    def test_a_pending_page_updates_itself_when_approved_elsewhere(self, cloud, http, browser):
        request = create(http)
        browser.get(cloud.request_url(request["id"]))
        http.post(f"/v1/approvals/requests/{request['id']}/approve", json={"approver": "alice"})
        _wait_for_status(browser, "approved")
