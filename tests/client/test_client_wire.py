"""What the blocking client's short cuts through httpx come to: the same requests, headers and
documents as httpx's and json's own ways of making them."""

from __future__ import annotations

import codecs
import json

import h11
import httpx
import pytest

from zelto_cloud._http import failures, pools, transport
from zelto_cloud._http.calls import Call, encoded_body
from zelto_cloud._http.config import Secret


def test_this_httpx_takes_the_short_cuts():
    # Otherwise the tests below compare httpx with itself.
    assert transport._TAKE_PARSED_HEADERS and pools._BUILT_BY_HAND and failures._HEADERS_KEPT_AS_TRIPLES


@pytest.mark.parametrize("headers", [
    [("Content-Type", "application/json"), ("Content-Length", "12")],
    [("X-Note", "caf\u00e9".encode("latin-1")), ("Content-Length", "12")],
    [("X-Note", "caf\u00e9".encode()), ("Content-Encoding", "gzip"), ("content-encoding", "br")],
    [("Content-Length", "12"), ("Content-Length", "12"), ("Set-Cookie", "a=1"), ("SET-COOKIE", "b=2")],
    [],
], ids=["ascii", "latin-1", "utf-8", "repeated", "none"])
def test_answer_headers_read_as_httpx_reads_them(headers):
    head = h11.Response(status_code=200, headers=headers, reason=b"OK")
    request = httpx.Request("GET", "http://cloud.test/v1/x")
    taken = transport._response(request, head, httpx.ByteStream(b"")).headers
    made = httpx.Headers(head.headers.raw_items())
    assert (taken.raw, taken.encoding, taken.multi_items()) == (made.raw, made.encoding, made.multi_items())
    for name in ("content-length", "content-encoding", "x-note", "set-cookie", "missing"):
        assert failures._header(taken, name, "-") == made.get(name, "-"), name


DOCUMENT = {"id": "apr_1", "note": "caf\u00e9 \u2603", "n": [1, 2.5, None, True]}


@pytest.mark.parametrize("content", [
    json.dumps(DOCUMENT).encode(),
    json.dumps(DOCUMENT, ensure_ascii=False).encode(),
    codecs.BOM_UTF8 + json.dumps(DOCUMENT).encode(),
    json.dumps(DOCUMENT).encode("utf-16-le"),
    json.dumps(DOCUMENT).encode("utf-16"),
    json.dumps(DOCUMENT).encode("utf-32-be"),
    b"  \n" + json.dumps(DOCUMENT).encode(),
    b'{"a": "\\ud800"}',
    b'{"a": "\xff"}',
    b'{"a": 1} x',
    b"[1, 2]",
    b"{",
    b"",
], ids=["ascii", "utf-8", "bom", "utf-16-le", "utf-16", "utf-32-be", "leading-space", "lone-surrogate",
        "bad-utf-8", "trailing", "array", "cut", "empty"])
def test_documents_read_as_json_loads_reads_them(content):
    def read(decode):
        try:
            return decode(content)
        except ValueError as error:
            return type(error)

    assert read(failures._json_document) == read(json.loads)


@pytest.mark.parametrize("call", [
    Call("GET", "/v1/approvals/requests/apr_1", dict),
    Call("GET", "/v1/approvals/requests", dict, params={"status": "pending", "limit": 5}),
    Call("POST", "/v1/receipts", dict, body={"receipt": {"a": "caf\u00e9"}}),
    Call("POST", "/v1/approvals/requests/apr_1/approve", dict, headers={"Authorization": "Basic YTpi"}),
    Call("POST", "/v1/batch-read", dict, body={"ids": ["a"]}, gated=False),
], ids=["read", "list", "receipt", "own-credentials", "ungated"])
def test_requests_built_as_httpx_builds_them(call):
    pool = pools.Pool("https://cloud.test/base/", None)
    secret = Secret("zk_key")
    body = encoded_body(call)
    for _ in range(2):  # the second from what the pool kept of the first
        built = pool.request(call, secret, body, 2.5)
        made = httpx.Request(call.method, built.url, headers=httpx.Headers(built.headers),
                             stream=httpx.ByteStream(body or b""), extensions=built.extensions)
        assert vars(built).keys() == vars(made).keys()
        assert (built.method, str(built.url), built.read()) == (made.method, str(made.url), made.read())
        assert built.headers.raw == made.headers.raw
        assert built.headers["authorization"] == (call.headers or {}).get("Authorization", "Bearer zk_key")
        assert built.extensions["timeout"] == dict.fromkeys(("connect", "read", "write", "pool"), 2.5)
        assert built.extensions.get(transport.UNGATED, False) is not call.gated
    assert str(built.url).startswith("https://cloud.test/base/v1/")
