"""The local cloud on storage that takes no writes (a full disk, a database made
read-only), and stopped while a request keeps it busy.

A full disk needs a small tmpfs of its own (mounting needs root); a read-only
database needs a file system with the immutable attribute (chattr). Where the
machine allows neither, the case is skipped with the reason. Writes must be
refused with a plain answer and one log line, no traceback; what was stored
stays readable; once the disk takes writes again so does the cloud, and what
it answered as stored survives a restart.
"""

from __future__ import annotations

import signal
import subprocess
import threading
import time

import httpx
import pytest
from localcloud_helpers import create_body
from zelto_localcloud.testing import LocalCloud

BIG = {"values": list(range(15_000))}  # about 100 KB of metadata, cheap to mask


def _run(*command) -> subprocess.CompletedProcess:
    return subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=30)


def _database_files(folder):
    return [folder / "localcloud.db", folder / "localcloud.db-wal"]


class FullDisk:
    def __init__(self, tmp_path):
        self.disk = tmp_path / "disk"
        self.disk.mkdir()
        mounted = _run("mount", "-t", "tmpfs", "-o", "size=4m,mode=0700", "tmpfs", self.disk)
        if mounted.returncode != 0:
            pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip() or 'mount failed'}")
        self.folder = self.disk / "cloud"

    def refuse_writes(self) -> None:
        with open(self.disk / "filler", "wb") as filler:
            try:
                while True:
                    filler.write(b"\0" * 65536)
                    filler.flush()
            except OSError:
                pass

    def allow_writes(self) -> None:
        (self.disk / "filler").unlink(missing_ok=True)

    def close(self) -> None:
        _run("umount", "-l", self.disk)


class ReadOnlyDatabase:
    def __init__(self, tmp_path):
        self.folder = tmp_path / "cloud"
        probe = tmp_path / "probe"
        probe.touch()
        if _run("chattr", "+i", probe).returncode != 0:
            pytest.skip("this file system has no immutable attribute (chattr +i)")
        _run("chattr", "-i", probe)

    def refuse_writes(self) -> None:
        assert _run("chattr", "+i", *_database_files(self.folder)).returncode == 0

    def allow_writes(self) -> None:
        _run("chattr", "-i", *_database_files(self.folder))

    close = allow_writes


@pytest.mark.parametrize(("storage", "status", "code"), [
    (FullDisk, 507, "insufficient_storage"),
    (ReadOnlyDatabase, 503, "storage_unavailable"),
])
def test_storage_that_takes_no_writes_is_answered_plainly(tmp_path, storage, status, code):
    storage = storage(tmp_path)
    try:
        with LocalCloud(storage.folder) as cloud, \
                httpx.Client(base_url=cloud.base_url, headers=cloud.auth_headers, timeout=30) as http:
            stored = http.post("/v1/approvals/requests", json=create_body()).json()
            soon_over = http.post("/v1/approvals/requests", json=create_body(ttl_seconds=1)).json()
            soon_over_at = time.time() + 1.1
            storage.refuse_writes()
            answers = [http.post("/v1/approvals/requests", json=create_body(metadata=BIG)) for _ in range(8)]
            refused = [answer for answer in answers if answer.status_code != 201]
            assert refused and {answer.status_code for answer in refused} == {status}, [a.text for a in answers]
            error = refused[0].json()["error"]
            assert error["code"] == code and "nothing was stored" in error["message"]
            assert http.get(f"/v1/approvals/requests/{stored['id']}").json()["status"] == "pending"
            time.sleep(max(0.0, soon_over_at - time.time()))
            # A list that would store an expiry answers it without storing it.
            listed = http.get("/v1/approvals/requests")
            assert listed.status_code == 200, listed.text
            assert {r["id"]: r["status"] for r in listed.json()["requests"]}[soon_over["id"]] == "expired"

            storage.allow_writes()
            again = http.post("/v1/approvals/requests", json=create_body())
            assert again.status_code == 201, again.text
            log = "\n".join(cloud.output)
            assert "Traceback" not in log
            assert log.count("POST /v1/approvals/requests: the local cloud") == len(refused)
            cloud.restart()
            assert http.get(f"/v1/approvals/requests/{again.json()['id']}").status_code == 200
    finally:
        storage.close()


def test_a_stop_ends_within_the_grace_while_a_request_keeps_the_server_busy(tmp_path):
    with LocalCloud(tmp_path / "cloud") as cloud:
        # Text that the approvers' view masks slowly: the server is busy with it for a long while.
        body = create_body(arguments={"note": "a" * 300_000})
        busy = threading.Thread(target=lambda: _post_ignoring_errors(cloud, body), daemon=True)
        busy.start()
        time.sleep(1.0)
        process = cloud.process
        asked = time.monotonic()
        process.send_signal(signal.SIGTERM)
        process.wait(30)
        assert time.monotonic() - asked < 6.0, "the stop took longer than its 5 s grace"
        busy.join(5)


def _post_ignoring_errors(cloud, body) -> None:
    try:
        httpx.post(cloud.base_url + "/v1/approvals/requests", json=body, headers=cloud.auth_headers, timeout=60)
    except httpx.HTTPError:
        pass
