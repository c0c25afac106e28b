"""What lists show of a request, and how they are cut into pages.

A request's display copy can be as large as its body (1 MiB). Lists never
read it: at create, a one-line summary and a bounded list form of `metadata`
are stored beside it, and list pages and the list API read only those. A page
holds at most `limit` requests and about MAX_PAGE_BYTES of JSON; an opaque
cursor names where the next page starts.
"""

from __future__ import annotations

import json
import re
from typing import Any

from .errors import validation_error

# Up to this many bytes of JSON, a listed request shows its metadata as it was stored.
LIST_METADATA_BYTES = 1024
SUMMARY_CHARACTERS = 100
# A page stops growing once its request objects pass this many bytes of JSON (it always holds one).
MAX_PAGE_BYTES = 512 * 1024

_CURSOR = re.compile(r"\Ac([0-9a-f]{1,15})\Z")


def summary_text(metadata: Any) -> str:
    """One line, at most SUMMARY_CHARACTERS: `key=value, ...` of an object, else its JSON."""
    if not metadata:
        return ""
    limit = SUMMARY_CHARACTERS
    if isinstance(metadata, dict):
        parts, size = [], 0
        for key, value in metadata.items():
            part = f"{key}={_short_json(value, limit)}"
            parts.append(part)
            size += len(part) + 2
            if size > limit:
                break
        text = ", ".join(parts)
    else:
        text = _short_json(metadata, limit + 1)
    return text if len(text) <= limit else text[: limit - 1] + "…"


_unescaped_json = json.JSONEncoder(ensure_ascii=False).encode  # made once, not per call as json.dumps does


def _short_json(value: Any, limit: int) -> str:
    # A long string is cut before it is encoded, so a summary costs little whatever the value's size.
    if isinstance(value, str) and len(value) > limit:
        value = value[:limit]
        return _unescaped_json(value)[:-1]
    return _unescaped_json(value)


def list_form(metadata: Any, metadata_json: str | None, summary: str) -> Any:
    """What a list shows for `metadata`: itself when small, else a summary object."""
    if metadata is None or metadata_json is None or len(metadata_json.encode("utf-8")) <= LIST_METADATA_BYTES:
        return metadata
    return {"truncated": True, "bytes": len(metadata_json.encode("utf-8")), "summary": summary}


def encode_cursor(seq: int) -> str:
    return f"c{seq:x}"


def parse_cursor(params) -> int | None:
    """The position a `cursor` query parameter names (None: the first page)."""
    raw = params.get("cursor")
    if raw is None or raw == "":
        return None
    found = _CURSOR.match(raw)
    if found is None:
        raise validation_error("query parameter 'cursor' must be a next_cursor this server answered")
    return int(found.group(1), 16)
