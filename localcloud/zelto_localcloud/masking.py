"""What an approver may see of a tool call's arguments.

Broader than zelto_cloud.redaction on purpose: that one follows a narrow rule
set for diagnostics, while a person deciding on a call must never be shown a
password, a key or a token. Inside text, credentials in URLs, key=value pairs
that name a secret, authorization headers, private-key blocks and well-known
token shapes are masked where they occur.

The structure stays visible, only the secret goes. A value right under a
secret-looking key name is masked when it is text or a number; when it is an
object or a list, its members are shown, each masked by the same rules, and
inside it a member that is one opaque word (no white space, quotes or shell
syntax) is taken for a secret too. A value that runs a command (``$(...)``,
backticks, a pipe) is never taken for a secret, so it stays visible, also next
to a ``--password`` flag. A private-key block is hidden through its END line;
without one, only the lines that look like key material are hidden.

Every pattern runs in time linear in its input: each one either starts at
the beginning of a run of its own characters (a look-behind refuses every
other start) or matches a bounded stretch, and repetitions are possessive, so
a failed attempt never rescans what an earlier one read. Long texts are
masked in pieces of at most 64 KiB, cut at white space or punctuation where
there is some, and a pattern is tried on a piece only when the piece holds
the words and characters that pattern needs.
"""

from __future__ import annotations

import re
from typing import Any

MASK = "<redacted>"

# Words that make a key name secret, whatever its case and separators
# ("DB_PASSWORD", "apiKey", "x-session-id", "privateKeyPem").
_SECRET_WORDS = frozenset({
    "password", "passwd", "passphrase", "pwd", "secret", "secrets", "token", "tokens", "key", "keys",
    "apikey", "credential", "credentials", "private", "cookie", "cookies", "session", "auth",
    "authorization", "signature", "otp", "pin",
})
_SECRET_PARTS = ("password", "passwd", "secret", "token", "credential", "apikey", "privatekey", "cookie", "session")
_WORD = re.compile(r"[A-Z]++(?![a-z])|[A-Z]?[a-z]++|\d++")
_NOT_ALNUM = re.compile(r"[^a-z0-9]++")
# Key names longer than this are judged by their beginning.
_MAX_KEY_CHARS = 256

# Where a shell would run something rather than pass a secret along.
_RUNS_COMMAND = re.compile(r"""\A["']?(?:\$[({]|`|\||<\(|>|;|&)""")


def _keep_commands(prefix_group: int, secret_group: int):
    """A replacement that masks group `secret_group` unless it runs a command."""

    def replace(match: re.Match[str]) -> str:
        secret = match.group(secret_group)
        if _RUNS_COMMAND.match(secret):
            return match.group(0)
        return (match.group(prefix_group) if prefix_group else "") + MASK

    return replace


def _bare_secret_key(match: re.Match[str]) -> str:
    run = match.group(0)
    if len(run) == 40 and "=" not in run and not run.isupper() and not run.islower():
        if any(c.isupper() for c in run) and any(c.islower() for c in run):
            return MASK
    return run


_SHELL_STOP = r"\s\"'&;,|`<>()"
_KEYWORDS = ("pass", "pwd", "secret", "token", "key", "credential", "session", "cookie")
_FLAG_WORDS = ("pass", "secret", "token", "key")

# Each rule: characters one of which a piece of text must hold, whether it must hold white space, and words
# one of which it must hold (in the lower-cased text when the pattern ignores case, else as they are) for
# the rule to be tried there; then the pattern and its replacement. These are looked for with plain
# substring search, which costs a small fraction of a pattern's pass; a piece that lacks them skips it.
_TEXT_RULES: list[tuple[str, bool, tuple[str, ...], re.Pattern[str], Any]] = [
    # PEM private keys: the header, any header lines, the base64 lines and the END line. Without an
    # END line only the lines that look like key material are hidden; whatever follows stays.
    ("", False, ("PRIVATE KEY-----",), re.compile(
        r"-----BEGIN [A-Z0-9 ]{0,40}PRIVATE KEY-----"
        r"(?:(?:\r?\n|(?:\\r)?\\n)[A-Za-z-]{1,32}+: [^\r\n\\]{0,200}+){0,4}+"
        r"(?:(?:\r?\n|(?:\\r)?\\n)[A-Za-z0-9+/=]{1,128}+(?=[\r\n\\\"']|\Z|-----)){0,1000}+"
        r"(?:(?:\r?\n|(?:\\r)?\\n)?-----END [A-Z0-9 ]{0,40}PRIVATE KEY-----)?"
    ), MASK),
    # user:password@ in any URL.
    (":", False, ("://",), re.compile(r"(?i)(?<![a-z0-9+.-])([a-z][a-z0-9+.-]*+://[^\s/:@]{0,256}+):[^\s@/]{0,256}+@"),
     r"\1:" + MASK + "@"),
    # Authorization headers.
    ("", True, ("basic", "bearer", "token", "digest"),
     re.compile(r"(?i)\b(Basic|Bearer|Token|Digest)\s++[A-Za-z0-9._~+/=:-]{6,}+"), r"\1 " + MASK),
    # password=..., "token": "..." inside text (shell commands, connection strings) ...
    ("=:", False, _KEYWORDS, re.compile(
        r"(?i)((?:password|passwd|pwd|secret|token|api[_-]?key|access[_-]?key|private[_-]?key"
        r"|credentials?|session|cookie)[\"']?+\s*+[=:]\s*+)"
        rf"(\"[^\"\n]*+\"?+|'[^'\n]*+'?+|[^{_SHELL_STOP}$][^{_SHELL_STOP}]*+|\$[({{]|`)"
    ), _keep_commands(1, 2)),
    # ... and --password value.
    ("-", True, _FLAG_WORDS, re.compile(
        r"(?i)(?<![a-z0-9-])(--?[a-z0-9-]*?(?:password|passwd|secret|token|api-?key|access-?key)[a-z0-9-]*+\s++)"
        rf"(\"[^\"\n]*+\"?+|'[^'\n]*+'?+|[^{_SHELL_STOP}$-][^{_SHELL_STOP}]*+)"
    ), _keep_commands(1, 2)),
    # mysql -psecret
    ("-", True, (" -p", "\t-p", "\n-p"), re.compile(rf"(?<=\s)-p([^{_SHELL_STOP}$][^{_SHELL_STOP}]*+)"), "-p" + MASK),
    # Well-known token shapes.
    ("", False, ("AKIA", "ASIA", "AGPA", "AIDA", "AROA"),
     re.compile(r"\b(?:AKIA|ASIA|AGPA|AIDA|AROA)[0-9A-Z]{16}\b"), MASK),  # cloud access key ids
    ("", False, ("AIza",), re.compile(r"\bAIza[0-9A-Za-z_-]{35}\b"), MASK),  # cloud API keys
    ("_-", False, ("ghp_", "gho_", "ghu_", "ghs_", "ghr_", "github_pat_", "glpat-"), re.compile(
        r"(?<![A-Za-z0-9_-])(?:gh[pousr]_[A-Za-z0-9]{30,}+|github_pat_[A-Za-z0-9_]{22,}+|glpat-[A-Za-z0-9_-]{20,}+)"
    ), MASK),
    ("_-", False, ("sk-", "sk_", "rk-", "rk_", "pk-", "pk_"),
     re.compile(r"(?<![A-Za-z0-9_-])(?:sk|rk|pk)[-_](?:live[-_]|test[-_]|proj[-_]|ant[-_])?[A-Za-z0-9_-]{16,}+"),
     MASK),
    ("-", False, ("xox",), re.compile(r"(?<![A-Za-z0-9-])xox[abeoprs]-[A-Za-z0-9-]{10,}+"), MASK),  # chat tokens
    (".", False, ("eyJ",),  # JWTs
     re.compile(r"(?<![A-Za-z0-9_-])eyJ[A-Za-z0-9_-]{5,}+\.eyJ[A-Za-z0-9_-]{5,}+\.[A-Za-z0-9_-]++"), MASK),
    ("_", False, ("zelto_",), re.compile(r"(?<![A-Za-z0-9_])zelto_(?:lk|ct|as)_[A-Za-z0-9_-]++"), MASK),
    # A long run of base64 that follows a secret-looking word was caught above; a bare 40-character
    # cloud secret key (a run of exactly 40, with both cases) is caught here. The pattern takes whole
    # runs of 40 or more at once, so a long run costs one step.
    ("", False, (), re.compile(r"[A-Za-z0-9/+=]{40,}+"), _bare_secret_key),
]

# A string that is one word (no white space, no quotes, no shell syntax): under a secret key it is the secret.
_OPAQUE = re.compile(r"[^\s\"'`$|;&<>()]{1,4096}+")


def is_secret_key(name: str) -> bool:
    name = name[:_MAX_KEY_CHARS]
    words = {word.lower() for word in _WORD.findall(name)}
    if words & _SECRET_WORDS:
        return True
    squeezed = _NOT_ALNUM.sub("", name.lower())
    return any(part in squeezed for part in _SECRET_PARTS)


# Texts longer than this are masked piece by piece: each pattern's pass over a piece is short, so
# the thread doing it hands the interpreter back to the server's other work between pieces.
_PIECE_CHARS = 64 * 1024
# A piece ends at white space (or else at punctuation) found within this many characters of its end.
_PIECE_SLACK = 2048
_PIECE_ENDS = ("\n", " ", "\t", ",", ";", "&", "\"", "'")


def mask_text(text: str) -> str:
    if len(text) <= _PIECE_CHARS:
        return _mask_piece(text)
    pieces, start = [], 0
    while start < len(text):
        end = min(start + _PIECE_CHARS, len(text))
        if end < len(text):
            for stop in _PIECE_ENDS:
                found = text.rfind(stop, end - _PIECE_SLACK, end)
                if found > start:
                    end = found + 1
                    break
        pieces.append(_mask_piece(text[start:end]))
        start = end
    return "".join(pieces)


def _mask_piece(text: str) -> str:
    lowered = text.lower()
    # Two plain passes tell whether the piece has both upper and lower case letters, which a bare key needs.
    both_cases = lowered != text and text.upper() != text
    has_space = len(text.split(None, 1)) > 1 or text[:1].isspace()
    for needs, space, words, pattern, replacement in _TEXT_RULES:
        if (needs and not any(c in text for c in needs)) or (space and not has_space):
            continue
        if words:
            searched = lowered if pattern.flags & re.IGNORECASE else text
            if not any(word in searched for word in words):
                continue
        elif not both_cases:
            continue
        text = pattern.sub(replacement, text)
    return text


def mask(value: Any, key: str = "") -> Any:
    """A copy of JSON-like ``value`` with every secret it shows replaced by the marker."""
    stack_limit = 200  # JSON bodies nest at most 64 levels; this is a backstop
    return _mask(value, _UNDER_SECRET_KEY if key and is_secret_key(key) else _PLAIN, stack_limit)


# How a value sits: plainly, somewhere inside a value under a secret key, or right under a secret key.
_PLAIN, _INSIDE_SECRET, _UNDER_SECRET_KEY = 0, 1, 2


def _mask(value: Any, where: int, depth: int) -> Any:
    if depth <= 0:
        return MASK
    if isinstance(value, dict):
        inherited = _INSIDE_SECRET if where else _PLAIN
        return {
            str(k): _mask(v, _UNDER_SECRET_KEY if is_secret_key(str(k)) else inherited, depth - 1)
            for k, v in value.items()
        }
    if isinstance(value, (list, tuple)):
        return [_mask(item, where, depth - 1) for item in value]
    if value is None or value == "" or isinstance(value, bool):
        return value
    if isinstance(value, str):
        if where == _PLAIN or _RUNS_COMMAND.match(value):
            return mask_text(value)
        if where == _INSIDE_SECRET and not _OPAQUE.fullmatch(value):
            return mask_text(value)  # a sentence or a command beside the secret: shown, its own secrets masked
        return MASK
    return MASK if where == _UNDER_SECRET_KEY else value


def contains_mask(value: Any) -> bool:
    if isinstance(value, str):
        return MASK in value
    if isinstance(value, dict):
        return any(contains_mask(v) for v in value.values())
    if isinstance(value, list):
        return any(contains_mask(v) for v in value)
    return False
