"""A real headless Chromium for the dashboard tests (Debian's chromium and chromedriver, via Selenium)."""

from __future__ import annotations

import os
import shutil
import threading
import time

import pytest

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"

# The browser resolves this name to 127.0.0.1, as an attacker's DNS would
# (DNS rebinding), and serves the attacker's own page from it.
ATTACKER_HOST = "attacker.test"


def make_browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    if not (shutil.which(CHROMIUM) and shutil.which(CHROMEDRIVER)):
        pytest.skip("Debian's chromium and chromedriver are not installed")
    os.environ.setdefault("SE_OFFLINE", "true")  # never let Selenium fetch a browser or driver
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     f"--host-resolver-rules=MAP {ATTACKER_HOST} 127.0.0.1", "--no-proxy-server"):
        options.add_argument(argument)
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER, env=_browser_environment())
    return webdriver.Chrome(options=options, service=service)


def _browser_environment() -> dict[str, str]:
    # The sanitizer run preloads ASan into every child process; the browser must not get it.
    preloaded = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {name: value for name, value in os.environ.items() if name not in preloaded}


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


def on_fresh_elements(browser, action) -> None:
    """Runs a browser step again if a self-refresh replaced the page under it."""
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(browser, 10, ignored_exceptions=(StaleElementReferenceException, NoSuchElementException)).until(
        lambda b: action(b) or True
    )


def wait_for(browser, element_id: str, text: str) -> None:
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    # The page is replaced while we look (form post, self-refresh): look again.
    WebDriverWait(browser, 20, ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)).until(
        lambda b: text in b.find_element(By.ID, element_id).text
    )


def sign_in(browser, cloud, name: str, then: str = "/approvals") -> None:
    from selenium.webdriver.common.by import By

    browser.get(f"{cloud.base_url}/signin")  # cookies are deleted for the page's own site only
    browser.delete_all_cookies()
    browser.get(f"{cloud.base_url}{then}")
    browser.find_element(By.ID, "signin-name").send_keys(name)
    browser.find_element(By.ID, "signin-password").send_keys(cloud.approver_password(name))
    browser.find_element(By.ID, "signin").click()
    wait_for(browser, "signed-in-as", name)


