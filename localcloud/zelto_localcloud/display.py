"""What an approver is shown of a call: the signed tool name and arguments.

Only the fields that the holder signed are shown (the free-form `metadata`
never is). Characters that can make text read as something else are shown as
visible escapes, `\\u{202E}`, and listed in a banner: bidirectional controls,
zero-width and other invisible format characters, line and paragraph
separators, control characters, unusual spaces, and letters of another script
inside a word (a Cyrillic "а" among Latin letters). Strings are shown quoted,
so an escape can never be mistaken for text: a backslash of the text itself is
shown doubled.
"""

from __future__ import annotations

import functools
import json
import math
import re
import threading
import unicodedata
from collections import OrderedDict
from dataclasses import dataclass, field
from html import escape
from typing import Any

from .masking import MASK, contains_mask, mask
from .validation import signed_arguments

_BIDI = frozenset("\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")
_ZERO_WIDTH = frozenset("\u200b\u200c\u200d\u2060\ufeff\u180e")
_SEPARATORS = frozenset("\u2028\u2029\x85")
_INVISIBLE_LETTERS = frozenset("\u115f\u1160\u3164\uffa0\u2800")
_PLAIN_ESCAPES = {"\n": "\\n", "\t": "\\t", '"': '\\"', "\\": "\\\\"}
# Scripts that one language writes together count as one.
_SCRIPT_GROUPS = {"HIRAGANA": "CJK", "KATAKANA": "CJK", "HANGUL": "CJK", "BOPOMOFO": "CJK", "IDEOGRAPHIC": "CJK"}
_BREAK_AFTER = re.compile(r"(?<=[/\\.,;:_\-=&?)\]}|@+])(?=\S)")
_MAX_WARNINGS = 12
_LONGEST_DECIMAL_BITS = 256


def _hazard(char: str, in_value: bool) -> str | None:
    """What is dangerous about one character, or None."""
    if char in _BIDI:
        return "bidirectional control"
    if char in _ZERO_WIDTH:
        return "zero-width character"
    if char in _SEPARATORS:
        return "line or paragraph separator"
    if char in _INVISIBLE_LETTERS:
        return "invisible letter"
    if in_value and char in "\n\t":
        return None
    category = unicodedata.category(char)
    if category == "Cc":
        return "control character"
    if category == "Cf":
        return "invisible format character"
    if category in ("Co", "Cn"):
        return "unassigned or private-use character"
    if category == "Zs" and char != " ":
        return "unusual space"
    if 0xFE00 <= ord(char) <= 0xFE0F or 0xE0100 <= ord(char) <= 0xE01EF:
        return "variation selector"
    return None


_ASCII_SPECIAL = re.compile(r'[\x00-\x1f\x7f"\\]')


def _special(text: str, in_value: bool) -> re.Pattern[str]:
    """A pattern of the characters of `text` that are shown escaped or need a look."""
    if text.isascii():
        return _ASCII_SPECIAL
    found = [c for c in set(text) if c in _PLAIN_ESCAPES or _hazard(c, in_value) or (not in_value and c < " ")]
    return re.compile("[" + "".join(re.escape(c) for c in found) + "]") if found else _NOTHING


_NOTHING = re.compile(r"(?!)")


@functools.lru_cache(maxsize=4096)
def _script(char: str) -> str | None:
    if not unicodedata.category(char).startswith("L"):
        return None
    word = unicodedata.name(char, "UNKNOWN").split(" ", 1)[0]
    return _SCRIPT_GROUPS.get(word, word)


def _foreign_letters(token: str) -> tuple[set[int], str, list[str]]:
    """Positions of the letters not in the token's main script, that script and the others."""
    if len({_script(char) for char in set(token)} - {None}) < 2:
        return set(), "", []
    scripts = [_script(char) for char in token]
    counts: dict[str, int] = {}
    for script in scripts:
        if script is not None:
            counts[script] = counts.get(script, 0) + 1
    if len(counts) < 2:
        return set(), "", []
    main = max(counts, key=lambda s: (counts[s], s == "LATIN"))
    others = sorted(s for s in counts if s != main)
    return {i for i, s in enumerate(scripts) if s is not None and s != main}, main, others


def _code(char: str) -> str:
    return "\\u{%04X}" % ord(char)


@dataclass
class _Renderer:
    _segments: list[tuple[str, bool]] = field(default_factory=list)  # (text, is an escape)
    _plain: list[str] = field(default_factory=list)
    warnings: dict[str, None] = field(default_factory=dict)

    def put(self, text: str, marked: bool = False) -> None:
        if not marked:
            self._plain.append(text)
            return
        self._flush()
        self._segments.append((text, True))

    def _flush(self) -> None:
        if self._plain:
            self._segments.append(("".join(self._plain), False))
            self._plain = []

    def take(self) -> list[tuple[str, bool]]:
        self._flush()
        segments, self._segments = self._segments, []
        return segments

    def _foreign(self, text: str, where: str) -> set[int]:
        positions: set[int] = set()
        if text.isascii():
            return positions
        for token in re.finditer(r"\S+", text):
            foreign, main, others = _foreign_letters(token.group())
            if foreign:
                self.warnings[f"{where}: letters of {', '.join(o.title() for o in others)} mixed into a"
                              f" {main.title()} word"] = None
                positions.update(token.start() + index for index in foreign)
        return positions

    def string(self, text: str, where: str, *, quoted: bool = True, in_value: bool = False) -> None:
        if quoted:
            self.put('"')
        foreign = self._foreign(text, where)
        specials = sorted(foreign.union(match.start() for match in _special(text, in_value).finditer(text)))
        done = 0
        for position in specials:
            if position > done:
                self.put(text[done:position])
            done = position + 1
            char = text[position]
            hazard = _hazard(char, in_value)
            if hazard is not None:
                self.warnings[f"{where}: {hazard} U+{ord(char):04X}"] = None
                self.put(_code(char), True)
            elif position in foreign:
                self.put(_code(char), True)
            elif char == "\\" or (quoted and char in _PLAIN_ESCAPES):
                self.put(_PLAIN_ESCAPES[char])
            else:
                self.put(char)
        if done < len(text):
            self.put(text[done:])
        if quoted:
            self.put('"')

    def compact(self, value: Any, top: bool = False) -> None:
        """One line: `name=value, ...` at the top, JSON-like below."""
        if isinstance(value, dict):
            self.put("" if top else "{")
            for position, (key, item) in enumerate(value.items()):
                if position:
                    self.put(", ")
                self.string(key, "argument name", quoted=not top)
                self.put("=" if top else ": ")
                self.compact(item)
            self.put("" if top else "}")
        elif isinstance(value, list):
            self.put("[")
            for position, item in enumerate(value):
                self.put(", " if position else "")
                self.compact(item)
            self.put("]")
        else:
            self.value(value, 0)

    def value(self, value: Any, indent: int) -> None:
        pad = "  " * (indent + 1)
        if isinstance(value, dict):
            if not value:
                self.put("{}")
                return
            self.put("{\n")
            for position, (key, item) in enumerate(value.items()):
                self.put(pad)
                self.string(key, "argument name")
                self.put(": ")
                self.value(item, indent + 1)
                self.put(",\n" if position < len(value) - 1 else "\n")
            self.put("  " * indent + "}")
        elif isinstance(value, list):
            if not value:
                self.put("[]")
                return
            self.put("[\n")
            for position, item in enumerate(value):
                self.put(pad)
                self.value(item, indent + 1)
                self.put(",\n" if position < len(value) - 1 else "\n")
            self.put("  " * indent + "]")
        elif isinstance(value, str):
            self.string(value, "argument value", in_value=True)
        else:
            self.put(json.dumps(value))


def _plain(value: Any, notes: dict[str, None]) -> Any:
    """The decoded arguments as JSON values; what JSON cannot hold becomes marked text."""
    if isinstance(value, dict):
        plain: dict[str, Any] = {}
        # People read names in alphabetical order (the canonical order puts short names first).
        for key, item in sorted(value.items(), key=lambda pair: (not isinstance(pair[0], str), str(pair[0]))):
            if not isinstance(key, str):
                notes["some argument names are not text: shown as <name>"] = None
                key = f"<{json.dumps(_plain(key, notes), ensure_ascii=False)}>"
            while key in plain:
                notes["two argument names read the same: the second is shown with a trailing ~"] = None
                key += "~"
            plain[key] = _plain(item, notes)
        return plain
    if isinstance(value, (list, tuple)):
        return [_plain(item, notes) for item in value]
    if isinstance(value, bytes):
        notes["binary values are shown as h'<hex>' text"] = None
        return f"h'{value.hex()}'"
    if isinstance(value, float) and not math.isfinite(value):
        notes["a number that is not finite is shown as text"] = None
        return repr(value)
    if isinstance(value, int) and value.bit_length() > _LONGEST_DECIMAL_BITS:
        # Decimal digits of a long number take time that grows with the square of its length (and Python
        # refuses them past 4300 digits); hex digits take linear time.
        notes["a number too long for decimal digits is shown as hex text"] = None
        return ("-" if value < 0 else "") + hex(abs(value))
    return value


def _leaves(value: Any):
    if isinstance(value, dict):
        for item in value.values():
            yield from _leaves(item)
    elif isinstance(value, list):
        for item in value:
            yield from _leaves(item)
    else:
        yield value


@dataclass(frozen=True)
class Shown:
    """A call as an approver sees it."""

    tool: list[tuple[str, bool]]
    arguments: Any  # JSON value, masked; None when nothing could be decoded
    segments: list[tuple[str, bool]]
    warnings: list[str]
    masked: bool
    nothing_shown: bool

    @property
    def needs_confirmation(self) -> bool:
        return self.masked or self.nothing_shown

    @property
    def tool_text(self) -> str:
        return "".join(text for text, _ in self.tool)

    @property
    def text(self) -> str:
        return "".join(text for text, _ in self.segments)

    def summary(self, limit: int) -> str:
        """The arguments on one line, at most `limit` characters."""
        if self.arguments is None:
            return ""
        renderer = _Renderer()
        renderer.compact(self.arguments, top=True)
        text = "".join(text for text, _ in renderer.take())
        return text if len(text) <= limit else text[: limit - 1] + "…"

    def confirmation_reason(self) -> str:
        if self.nothing_shown:
            return "nothing of this call's arguments can be shown"
        return "some values of this call are hidden because they look like secrets"

    def as_json(self) -> dict:
        return {
            "tool": self.tool_text,
            "arguments": self.arguments,
            "text": self.text,
            "warnings": self.warnings,
            "masked": self.masked,
            "nothing_shown": self.nothing_shown,
            "needs_confirmation": self.needs_confirmation,
        }


def html_segments(segments: list[tuple[str, bool]], *, breaks: bool = True) -> str:
    """HTML of rendered text: escapes marked, line-break chances after punctuation."""
    parts = []
    for text, marked in segments:
        if marked:
            parts.append(f'<mark class="hazard">{escape(text)}</mark>')
        elif breaks:
            parts.append("<wbr>".join(escape(piece, quote=False) for piece in _BREAK_AFTER.split(text)))
        else:
            parts.append(escape(text))
    return "".join(parts)


UNDECODED = object()


def show_call(tool: str, args_canonical_cbor_b64: str, decoded=UNDECODED) -> Shown:
    """`decoded`: the arguments already decoded from `args_canonical_cbor_b64` (decoded here if not given)."""
    renderer = _Renderer()
    renderer.string(tool, "tool name", quoted=False)
    tool_segments = renderer.take()
    notes: dict[str, None] = {}
    try:
        if decoded is UNDECODED:
            decoded = signed_arguments(args_canonical_cbor_b64)
    except ValueError:
        warnings = list(renderer.warnings) + ["the signed arguments cannot be decoded"]
        return Shown(tool_segments, None, [("(the signed arguments cannot be decoded)", False)],
                     warnings[:_MAX_WARNINGS], False, True)
    arguments = mask(_plain(decoded, notes))
    renderer.value(arguments, 0)
    segments = renderer.take()
    leaves = [] if arguments is None else list(_leaves(arguments))
    warnings = list(renderer.warnings) + list(notes)
    if len(warnings) > _MAX_WARNINGS:
        warnings = warnings[: _MAX_WARNINGS - 1] + [f"and {len(warnings) - _MAX_WARNINGS + 1} more"]
    return Shown(
        tool=tool_segments,
        arguments=arguments,
        segments=segments,
        warnings=warnings,
        masked=contains_mask(arguments),
        nothing_shown=not leaves or all(leaf == MASK for leaf in leaves),
    )


_CACHE_SIZE = 128
# A shown call of a hostile MiB can take tens of MB (a segment per escape): the kept ones are also bounded by
# their estimated size in bytes.
_CACHE_BYTES = 256 * 1024 * 1024
_SEGMENT_OVERHEAD = 120  # bytes of a segment's tuple and string besides its characters
_cache: OrderedDict[tuple[str, str], tuple[Shown, int]] = OrderedDict()
_cache_bytes = 0
_cache_lock = threading.Lock()
_kept_ids: dict[str, int] = {}  # request id -> how many kept calls are under it


def _forget_id(request_id: str) -> None:
    if _kept_ids.get(request_id, 0) <= 1:
        _kept_ids.pop(request_id, None)
    else:
        _kept_ids[request_id] -= 1


def _size(call: Shown) -> int:
    return len(call.text) + len(call.tool_text) + _SEGMENT_OVERHEAD * (len(call.segments) + len(call.tool))


def _keep(key: tuple[str, str], call: Shown) -> None:
    global _cache_bytes
    size = _size(call)
    with _cache_lock:
        if key in _cache:
            _cache_bytes -= _cache.pop(key)[1]
            _forget_id(key[0])
        _cache[key] = (call, size)
        _kept_ids[key[0]] = _kept_ids.get(key[0], 0) + 1
        _cache_bytes += size
        while len(_cache) > _CACHE_SIZE or (_cache_bytes > _CACHE_BYTES and len(_cache) > 1):
            (request_id, _), (_, dropped) = _cache.popitem(last=False)
            _cache_bytes -= dropped
            _forget_id(request_id)


def remember(record, call: Shown) -> None:
    """Keeps the shown call worked out at create, so its first page view costs nothing."""
    _keep((record.id, record.request_hash.hex()), call)


def kept(request_id: str) -> bool:
    """Whether the shown call of this request is kept (under the request hash it was stored with)."""
    with _cache_lock:
        return request_id in _kept_ids


def shown(record) -> Shown:
    """The shown call of a stored request; its signed fields never change, so it is kept a while."""
    key = (record.id, record.request_hash.hex())
    with _cache_lock:
        if key in _cache:
            _cache.move_to_end(key)
            return _cache[key][0]
    result = show_call(record.tool, record.args_canonical_cbor_b64)
    _keep(key, result)
    return result
