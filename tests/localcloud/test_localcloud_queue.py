"""An approver's queue: what waits for them, in which order, found by what they search; deciding from it and
moving on, with links and forms and with the keyboard; times in the reader's own zone; hostile text escaped on
every page. Browser steps save screenshots."""

from __future__ import annotations

import html
import re
import time
from contextlib import closing
from html.parser import HTMLParser
from urllib.parse import quote

import pytest
from browser_helpers import make_browser, sign_in, wait_for
from localcloud_helpers import api_client, assert_no_tracebacks, create, create_body, dashboard_session, form_token
from zelto_localcloud.config import ServerConfig, open_state
from zelto_localcloud.testing import LocalCloud
from zelto_localcloud.validation import parse_new_request

HOSTILE = '"><script>alert(1)</script><img src=x onerror=alert(2)>'


pytestmark = pytest.mark.usefixtures("database_backend")


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("queue")) as running:
        yield running
        assert_no_tracebacks(running)


@pytest.fixture(scope="module")
def planted(cloud):
    """Requests made in this order: what waits for whom depends on their approver keys and answers."""
    with api_client(cloud) as http:
        made = {
            "late": create(http, tool="refund", arguments={"account": "acct-7781", "amount": 5}, ttl_seconds=3600),
            "soon": create(http, tool="refund", arguments={"account": "acct-1000"}, ttl_seconds=600),
            "bobs": create(http, tool="rotate_keys", approver_keys=[cloud.approvers["bob"]], ttl_seconds=1800),
            "secret": create(http, tool="login", arguments={"password": "hunter2-zz9"}, ttl_seconds=1200),
            "halfway": create(http, tool="wire", threshold=2, ttl_seconds=900),
        }
        http.post(f"/v1/approvals/requests/{made['halfway']['id']}/approve", json={"approver": "alice"})
    return {name: request["id"] for name, request in made.items()}


class Tags(HTMLParser):
    """What a browser would make of a page: its elements, event handler attributes and scripts."""

    def __init__(self):
        super().__init__()
        self.names, self.handlers, self.scripts, self.text = set(), [], [], ""

    def handle_starttag(self, tag, attrs):
        self.names.add(tag)
        self.handlers += [name for name, _ in attrs if name.startswith("on")]
        if tag == "script":
            self.scripts.append(dict(attrs).get("src") or "")

    def handle_data(self, data):
        self.text += data


def tags_of(page: str) -> Tags:
    tags = Tags()
    tags.feed(page)
    return tags


def queue_ids(page: str) -> list[str]:
    return re.findall(r'<li class="queue-item[^"]*" id="r-[^"]+" data-request="([^"]+)"', page)


# (approver, query, the planted requests listed, in order)
QUEUES = [
    ("alice", "", ["late", "soon", "secret"]),  # oldest first; not bob's own, not one alice answered
    ("alice", "?sort=expiring", ["soon", "secret", "late"]),
    ("bob", "", ["late", "soon", "bobs", "secret", "halfway"]),
    ("alice", "?q=ACCT-7781", ["late"]),  # inside the arguments, whatever the case
    ("alice", "?q=refund&sort=expiring", ["soon", "late"]),  # the tool name too
    ("alice", "?q=hunter2", []),  # a masked secret is not searchable: the search sees what the page shows
    ("alice", "?q=" + quote("(.*)+$"), []),  # a pattern is only text
]


@pytest.mark.parametrize(("approver", "query", "expected"), QUEUES)
def test_the_queue_lists_what_waits_for_this_approver(cloud, planted, approver, query, expected):
    with closing(dashboard_session(cloud, approver)) as session:
        page = session.get("/approvals" + query).text
    assert [i for i in queue_ids(page) if i in planted.values()] == [planted[name] for name in expected]
    if "late" in expected:
        # The whole call, wrapped, as the request's own page shows it.
        assert re.search(r'<pre id="args-' + planted["late"] + r'" class="arguments">.*"acct-(<wbr>)?7781"', page, re.S)


def test_deciding_from_the_queue_goes_on_to_the_next(cloud, planted):
    with api_client(cloud) as http, closing(dashboard_session(cloud, "carol")) as carol:
        first, second = create(http, tool="step_one"), create(http, tool="step_two")
        page = carol.get("/approvals?q=step_").text
        assert queue_ids(page) == [first["id"], second["id"]]
        # A request's own page leads on to the oldest other request waiting.
        own = carol.get(f"/approvals?request={planted['late']}").text
        assert re.search(r'href="/approvals\?request=(\w+)" id="next-waiting"', own).group(1) != planted["late"]
        next_field = re.search(r'name="next" value="([^"]+)"', page).group(1)
        answer = carol.post(f"/approvals/{first['id']}/approve",
                            data={"form_token": form_token(page), "next": html.unescape(next_field)})
        assert answer.status_code == 303 and answer.headers["location"].endswith(f"selected={second['id']}")
        after = carol.get(answer.headers["location"]).text
        assert queue_ids(after) == [second["id"]] and f'class="queue-item selected" id="r-{second["id"]}"' in after
        # Only this dashboard's own pages are followed.
        answer = carol.post(f"/approvals/{second['id']}/deny",
                            data={"form_token": form_token(after), "next": "https://elsewhere.example/"})
        assert answer.headers["location"] == "/approvals"
        assert http.get(f"/v1/approvals/requests/{first['id']}").json()["status"] == "approved"


def test_pages_of_the_queue_meet_without_gaps_and_keep_abandoned_requests_apart(tmp_path):
    now = [1_000_000.0]
    state = open_state(ServerConfig(data_dir=tmp_path, abandon_after=60), clock=lambda: now[0])
    made = []
    for index in range(7):
        body = create_body(tool=f"step_{index}", ttl_seconds=3600 - 100 * index)
        made.append(state.service.create(parse_new_request(body, None), "tenant")[0].id)
        now[0] += 1
    now[0] += 30
    alice = state.approvers.named("alice")
    for sort, order in (("oldest", made), ("expiring", made[::-1])):
        seen, after = [], None
        while True:
            page = state.queue.page(alice, sort=sort, after=after, limit=2)
            seen += [r.id for r in page.records]
            assert page.waiting == 7 and not page.abandoned
            if page.next_cursor is None:
                break
            after = int(page.next_cursor[1:], 16)
        assert seen == order
    state.note_poll(made[0], now[0])
    now[0] += 40  # all but the one an agent read are abandoned
    page = state.queue.page(alice)
    assert [r.id for r in page.records] == [made[0]] and [e.id for e in page.abandoned] == made[1:]
    state.store.close()


def test_hostile_text_is_escaped_on_every_page(cloud):
    with api_client(cloud) as http:
        request = create(http, tool="tool" + HOSTILE, arguments={"note": HOSTILE, HOSTILE: 1})
        http.post(f"/v1/approvals/requests/{request['id']}/deny", json={"approver": "bob", "reason": HOSTILE})
        waiting = create(http, tool="tool" + HOSTILE, arguments={"note": HOSTILE})
    pages = ["/approvals", "/approvals?q=" + quote(HOSTILE), "/approvals?view=all&tool=" + quote(HOSTILE),
             f"/approvals?request={request['id']}", f"/approvals?request={waiting['id']}",
             "/approvals?request=" + quote(HOSTILE), "/approvals/history?approver=bob",
             "/approvals/history?approver=" + quote(HOSTILE), "/signin?next=" + quote("/approvals" + HOSTILE)]
    with closing(dashboard_session(cloud, "alice")) as alice:
        for path in pages:
            text = alice.get(path).text
            tags = tags_of(text)
            assert ("img" not in tags.names and not tags.handlers
                    and all(src.startswith("/static/") for src in tags.scripts)), path
        # ...and shown as the text it is (here, as the denial's reason).
        assert HOSTILE in tags_of(alice.get(f"/approvals?request={request['id']}").text).text


# -- in a real browser --------------------------------------------------------------


@pytest.fixture(scope="module")
def browser():
    driver = make_browser()
    driver.set_page_load_timeout(30)
    driver.set_window_size(1280, 1000)
    yield driver
    driver.quit()


def selected_id(browser) -> str:
    from selenium.webdriver.common.by import By

    return browser.find_element(By.CSS_SELECTOR, ".queue-item.selected").get_attribute("data-request")


def test_the_keyboard_works_through_the_queue(cloud, browser, screenshot_dir):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    with api_client(cloud) as http:
        ids = [create(http, tool="keyed", arguments={"n": n, "text": "word " * 80})["id"] for n in range(3)]
        sign_in(browser, cloud, "carol", then="/approvals?q=keyed")
        assert browser.find_element(By.ID, "keys-help").is_displayed()
        browser.save_screenshot(str(screenshot_dir / "queue-01-waiting-for-me.png"))
        keys = ActionChains(browser)
        assert selected_id(browser) == ids[0]
        keys.send_keys("j").perform()
        assert selected_id(browser) == ids[1]
        keys.send_keys("k").send_keys("j").perform()
        keys.send_keys("a").perform()  # approves the second; the third is selected next
        WebDriverWait(browser, 20).until(lambda b: ids[1] not in b.page_source and selected_id(b) == ids[2])
        assert http.get(f"/v1/approvals/requests/{ids[1]}").json()["status"] == "approved"
        browser.save_screenshot(str(screenshot_dir / "queue-02-next-after-approve.png"))
        keys.send_keys("d").send_keys("not this one\n").perform()
        WebDriverWait(browser, 20).until(lambda b: ids[2] not in b.page_source)
        denied = http.get(f"/v1/approvals/requests/{ids[2]}").json()
        assert (denied["status"], denied["denied_reason"]) == ("denied", "not this one")
        keys.send_keys("?").perform()
        assert not browser.find_element(By.ID, "keys-help").is_displayed()
        keys.send_keys("/").send_keys("zzz-nothing\n").perform()
        wait_for(browser, "queue-empty", "Nothing waits for you that matches")
        browser.save_screenshot(str(screenshot_dir / "queue-03-search-without-match.png"))


@pytest.mark.parametrize(("zone", "offset"), [("Asia/Kathmandu", "+05:45"), ("America/St_Johns", "-03:30")])
def test_times_show_in_the_readers_zone_with_utc_on_hover(cloud, browser, screenshot_dir, zone, offset):
    from datetime import datetime, timedelta
    from selenium.webdriver.common.by import By

    with api_client(cloud) as http:
        request = create(http, tool="zoned")
    browser.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": zone})
    try:
        sign_in(browser, cloud, "alice", then=f"/approvals?request={request['id']}")
        created = browser.find_elements(By.CSS_SELECTOR, "table.facts time")[0]
        utc = datetime.strptime(created.get_attribute("datetime"), "%Y-%m-%dT%H:%M:%SZ")
        sign, hours, minutes = offset[0], int(offset[1:3]), int(offset[4:])
        local = utc + (1 if sign == "+" else -1) * timedelta(hours=hours, minutes=minutes)
        assert created.get_attribute("data-local") == "yes"
        assert created.get_attribute("title") == f"{created.get_attribute('datetime')} (UTC)"
        assert f"{local:%H}:{local:%M}" in created.text or f"{local.hour % 12 or 12}:{local:%M}" in created.text
        browser.save_screenshot(str(screenshot_dir / f"queue-04-local-time-{zone.replace('/', '-')}.png"))
    finally:
        browser.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": ""})


def test_an_abandoned_request_waits_apart_and_is_approved_with_a_tick(tmp_path, browser, screenshot_dir):
    from selenium.webdriver.common.by import By

    with LocalCloud(tmp_path / "hasty", server_args=("--abandon-after", "1")) as hasty:
        with api_client(hasty) as http:
            gone = create(http, tool="left_behind")
            time.sleep(1.3)
            sign_in(browser, hasty, "alice")
            browser.set_window_size(390, 900)
            assert browser.find_element(By.ID, "queue-empty")
            apart = browser.find_element(By.ID, "abandoned")
            browser.save_screenshot(str(screenshot_dir / "queue-05-abandoned-apart-phone.png"))
            browser.set_window_size(1280, 1000)
            apart.find_element(By.LINK_TEXT, gone["id"]).click()
            browser.find_element(By.ID, "approve").click()  # the browser holds the form back without the tick
            assert http.get(f"/v1/approvals/requests/{gone['id']}").json()["status"] == "pending"
            browser.find_element(By.ID, "confirm-abandoned").click()
            browser.find_element(By.ID, "approve").click()
            wait_for(browser, "status", "approved")
        assert_no_tracebacks(hasty)
