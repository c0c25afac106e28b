import os
import random
import re
import sys
from collections import OrderedDict

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zelto_cloud import redaction
from zelto_cloud.redaction import _is_secret_key, redact, redact_dict, redact_list, redact_text

from diagnostic_dump import make_dump
from twin_pairs import implementations, native_only
from twins import redaction as reference_redaction

impl = implementations(redaction, reference_redaction, "redaction", "_is_secret_key", "redact", "redact_dict",
                       "redact_list", "redact_text", ORIGINAL_REDACT="redact")
pytestmark = pytest.mark.usefixtures("impl")

R = "<redacted>"


class TestSecretKeys:
    @pytest.mark.parametrize("key", ["token", "Token", "client-secret", "my_token", "db_secret",
                                     "API-Key", "X-Access-Token", "Authorization", "apikey"])
    def test_secret(self, key):
        assert _is_secret_key(key) is True
        assert redact({"a": [1, {"b": 2}]}, key=key) == R
        assert redact({key: {"nested": ["x"]}}) == {key: R}

    @pytest.mark.parametrize("key", ["password", "secret_key", "tokens", "token_id", ""])
    def test_not_secret(self, key):
        assert _is_secret_key(key) is False

    def test_non_ascii_keys_use_the_str_methods(self):
        assert _is_secret_key("ÜBER_TOKEN") is True
        assert _is_secret_key("Ünicode") is False

    def test_key_errors_propagate(self):
        with pytest.raises(AttributeError):
            redact("x", key=5)
        with pytest.raises(TypeError):  # bytes.lower() works, bytes.replace("-", "_") does not
            _is_secret_key(b"token")


class TestText:
    def test_bearer_header(self):
        assert redact_text("Authorization: bearer abc.DEF-123/x=") == "Authorization: " + R

    @pytest.mark.parametrize(("text", "expected"), [
        ("tc_1234567", "tc_1234567"),
        ("tc_12345678", R),
        ("cs_abcdefg", "cs_abcdefg"),
        ("cs_abcdefgh!", R + "!"),
        ("prefixtc_ABCDEFGH", "prefix" + R),
        ("zelto_ct_x", R),
        ("zelto_ct_", "zelto_ct_"),
        ("TC_12345678", "TC_12345678"),
        ("BEARER\t\ttok", R),
        ("no secrets here", "no secrets here"),
        ("ünïcödé bearer ✓tok", "ünïcödé bearer ✓tok"),
        ("ünïcödé bearer tok", "ünïcödé " + R),
    ])
    def test_patterns(self, text, expected):
        assert redact_text(text) == expected
        assert redact(text) == expected

    def test_str_subclass_comes_back_as_plain_str(self):
        class Text(str):
            pass
        for value in (Text("plain"), Text("tc_12345678")):
            result = redact(value)
            assert type(result) is str
            assert result == reference_redaction.redact(str(value))

    def test_non_str_is_the_regex_engine_error(self):
        with pytest.raises(TypeError):
            redact_text(b"tc_12345678")


class TestStructure:
    def test_containers_are_rebuilt_as_plain_types(self):
        class D(dict):
            pass

        class L(list):
            pass

        class T(tuple):
            pass

        result = redact(D(a=L([T(("tc_12345678",))])))
        assert type(result) is dict and type(result["a"]) is list and type(result["a"][0]) is tuple
        assert result == {"a": [(R,)]}

    def test_untouched_values_are_the_same_objects(self):
        values = [{1, 2}, b"token", 7, None, 2.5, object()]
        for value in values:
            assert redact(value) is value

    def test_keys_become_text_and_collisions_keep_the_later(self):
        assert redact({1: "a", "1": "b", 2: "c"}) == {"1": "b", "2": "c"}

    def test_secret_key_does_not_reach_list_items(self):
        assert redact({"items": ["tc_12345678", "ok"]}) == {"items": [R, "ok"]}
        assert redact({"password": "hunter2", "secret_key": "Bearer x"}) == {
            "password": "hunter2", "secret_key": R}

    def test_input_is_never_modified(self):
        dump = make_dump(20_000, seed=3)
        before = repr(dump)
        redact(dump)
        assert repr(dump) == before

    @native_only("compares the native walk with the twin's")
    def test_matches_the_pure_python_walk(self):
        dump = make_dump(200_000, seed=11)
        assert redact(dump) == reference_redaction.redact(dump)
        assert redact_dict(dump) == reference_redaction.redact(dump)
        assert redact_list([dump]) == [reference_redaction.redact(dump)]

    def test_mapping_items_must_be_pairs(self):
        class Odd(dict):
            def items(self):
                return [("a", 1, 2)]

        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            redact(Odd())

    def test_dict_subclass_is_walked_through_items(self):
        class Masked(OrderedDict):
            def items(self):
                return [("token", "x"), ("note", "tc_12345678")]

        assert redact(Masked(ignored=1)) == {"token": R, "note": R}

    def test_mutation_during_the_walk(self, monkeypatch):
        target = {"a": 1, "b": 2}

        def mutating(value, *, key=""):
            target["c"] = 3
            return value

        monkeypatch.setattr(redaction, "redact", mutating)
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            ORIGINAL_REDACT(target)


# The module's own function, kept for tests that replace the module attribute.
ORIGINAL_REDACT = redact


class TestRecursion:
    @native_only("on this interpreter a self-containing list sends the Python walk's comprehension into "
                 "unbounded memory growth before any RecursionError")
    def test_self_containing(self):
        loop = []
        loop.append(loop)
        with pytest.raises(RecursionError):
            redact(loop)
        mapping = {}
        mapping["self"] = mapping
        with pytest.raises(RecursionError):
            redact(mapping)

    def test_deeper_than_the_recursion_limit(self):
        value = "tc_12345678"
        for _ in range(sys.getrecursionlimit() + 10):
            value = (value,)
        with pytest.raises(RecursionError):
            redact(value)

    def test_within_the_limit(self):
        value = "tc_12345678"
        for _ in range(200):
            value = [value]
        result = redact(value)
        for _ in range(200):
            result = result[0]
        assert result == R


class TestModuleGlobals:
    def test_constants(self):
        assert redaction._REDACTED == R
        assert isinstance(redaction._SECRET_KEYS, set) and len(redaction._SECRET_KEYS) == 8
        assert [p.pattern for p in redaction._TOKEN_PATTERNS] == [
            "zelto_ct_[A-Za-z0-9_-]+", "tc_[A-Za-z0-9_-]{8,}", "cs_[A-Za-z0-9_-]{8,}",
            r"Bearer\s+[A-Za-z0-9._~+/=-]+"]
        assert all(isinstance(p, re.Pattern) for p in redaction._TOKEN_PATTERNS)
        assert redaction._TOKEN_PATTERNS[3].flags & re.IGNORECASE

    def test_replacing_the_marker(self, monkeypatch):
        monkeypatch.setattr(redaction, "_REDACTED", "***")
        assert redact({"token": 1, "t": "tc_12345678"}) == {"token": "***", "t": "***"}

    def test_changing_the_secret_keys(self, monkeypatch):
        monkeypatch.setattr(redaction, "_SECRET_KEYS", set(redaction._SECRET_KEYS) | {"password"})
        assert redact({"password": "x"}) == {"password": R}
        redaction._SECRET_KEYS.discard("token")
        assert redact({"token": "x"}) == {"token": "x"}

    def test_replacing_the_patterns(self, monkeypatch):
        monkeypatch.setattr(redaction, "_TOKEN_PATTERNS", [re.compile("hunter2")])
        assert redact_text("pw hunter2 tc_12345678") == "pw " + R + " tc_12345678"

    def test_replacing_one_pattern_in_the_list(self, monkeypatch):
        patterns = list(redaction._TOKEN_PATTERNS)
        monkeypatch.setattr(redaction, "_TOKEN_PATTERNS", patterns)
        patterns[0] = re.compile("plain")
        assert redact_text("plain words") == R + " words"
        redaction._TOKEN_PATTERNS.append(re.compile("words"))
        assert redact_text("plain words") == R + " " + R

    def test_replacing_the_functions(self, monkeypatch):
        seen = []
        monkeypatch.setattr(redaction, "redact_text", lambda value: seen.append(value) or "T")
        monkeypatch.setattr(redaction, "_is_secret_key", lambda key: key == "password")
        assert redact({"password": "x", "token": ["a"], "n": 1}) == {"password": R, "token": ["T"], "n": 1}
        assert seen == ["a"]

    def test_replacing_redact_changes_the_recursion(self, monkeypatch):
        monkeypatch.setattr(redaction, "redact", lambda value, *, key="": f"<{key}>")
        assert redaction.redact_dict({"a": 1}) == "<>"
        assert ORIGINAL_REDACT({"a": 1, "b": [2]}) == {"a": "<a>", "b": "<b>"}


class TestSignatures:
    def test_metadata(self):
        import inspect
        assert str(inspect.signature(redact)) == "(value: 'Any', *, key: 'str' = '') -> 'Any'"
        assert redact.__doc__ == "Return ``value`` with known secret keys and token-like strings redacted."
        assert redact_text.__annotations__ == {"value": "str", "return": "str"}
        assert redact_dict.__annotations__ == {"value": "Dict[str, Any]", "return": "Dict[str, Any]"}
        assert redact_list.__doc__ is None
        assert (redact.__module__, redact.__qualname__) == (redaction.__name__, "redact")

    def test_key_is_keyword_only(self):
        with pytest.raises(TypeError, match=r"^redact\(\) takes 1 positional argument but 2 were given$"):
            redact("x", "token")


@native_only("compares the native walk with the twin's")
def test_random_structures_match_reference():
    rng = random.Random(5)
    atoms = ["tc_12345678", "hello", "Bearer abc", 1, None, 2.5, b"x", "zelto_ct_q", "cs_short"]
    keys = ["token", "name", "client-secret", 3, "X-Session-Token", "password"]

    def build(depth):
        roll = rng.random()
        if depth == 0 or roll < 0.3:
            return rng.choice(atoms)
        if roll < 0.55:
            return {rng.choice(keys): build(depth - 1) for _ in range(rng.randint(0, 4))}
        if roll < 0.8:
            return [build(depth - 1) for _ in range(rng.randint(0, 4))]
        return tuple(build(depth - 1) for _ in range(rng.randint(0, 4)))

    for _ in range(300):
        value = build(5)
        assert redact(value) == reference_redaction.redact(value)


# ---- the native matcher against the four substitutions ------------------------------

# Prefixes, their near misses, the marker, every kind of whitespace the
# bearer pattern accepts, letters that fold to ASCII when case is ignored,
# and characters of all three str widths.
FRAGMENTS = [
    "zelto_ct_", "zelto_ct", "elto_ct_", "zelto_", "ct_", "_ct_", "tc_", "cs_", "tc", "cs", "t", "c", "_",
    "Bearer", "bearer", "BEARER", "bEaReR", "Beare", "bea", "b", "B", "rer", "r", "earer",
    "abcdefgh", "1234567", "x", "Z9", "-", ".", "~", "+", "/", "=", "<redacted>", "<", ">", "!",
    " ", "\t", "\n", "\x0b", "\x1c", "\x1f", "\x85", "\xa0", "\u1680", "\u2000", "\u200a", "\u200b",
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000", "\ufeff",
    "\u0130", "\u0131", "\u017f", "\u212a", "\u212b", "\xb5", "\u03bc", "K", "k", "S", "s", "I", "i",
    "\xe9", "\xdf", "\u03a3", "\u20ac", "\U0001f600", "\U0010ffff",
]
texts = st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.text(max_size=3)), max_size=40).map("".join)
keys = st.one_of(st.sampled_from(["token", "Client-Secret", "x_token", "password", "note", ""]), texts,
                 st.integers(-3, 3))
nested = st.recursive(
    st.one_of(texts, st.integers(), st.none(), st.binary(max_size=4)),
    lambda children: st.one_of(st.lists(children, max_size=4), st.tuples(children, children),
                               st.dictionaries(keys, children, max_size=4)),
    max_leaves=25)

# The sanitizer run is many times slower: fewer examples keep it within bounds.
SANITIZED = bool(os.environ.get("ZELTO_SANITIZED"))


def differential(examples):
    return settings(max_examples=examples // 5 if SANITIZED else examples, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


def assert_same_as_substitutions(text):
    expected = reference_redaction.redact_text(text)
    result = redact_text(text)
    assert result == expected
    assert type(result) is str
    # Same characters but a wider kind than needed would still compare equal
    # within one byte width; the ASCII flag tells them apart.
    assert result.isascii() == expected.isascii()
    assert (result is text) == (expected is text)


class TestNativeMatchesTheSubstitutions:
    @native_only("compares the native matcher with the twin's substitutions")
    @differential(1000)
    @given(texts)
    def test_generated_text(self, text):
        assert_same_as_substitutions(text)

    @native_only("compares the native matcher with the twin's substitutions")
    @differential(200)
    @given(nested)
    def test_generated_structures(self, value):
        assert redact(value) == reference_redaction.redact(value)

    @pytest.mark.parametrize(("text", "expected"), [
        # An earlier token swallows the start of a later one, or cuts it short.
        ("tc_abzelto_ct_QQ", "tc_ab" + R),
        ("tc_abcdefghzelto_ct_x", R + R),
        ("zelto_ct_tc_12345678", R),
        ("bearer tc_12345678", "bearer " + R),
        ("bearer xcs_abcdefgh", R + R),
        ("cs_abcdefgtc_12345678", "cs_abcdefg" + R),
        # Folding and Unicode whitespace under the case-insensitive pattern.
        ("BeArEr\u3000\u212a\u0130\u017f\u0131!", R + "!"),
        ("bearer\x85\xe9", "bearer\x85\xe9"),
        ("b\u0130arer x", "b\u0130arer x"),
    ])
    def test_interacting_tokens(self, text, expected):
        assert redact_text(text) == expected
        assert_same_as_substitutions(text)

    @native_only("compares the native matcher with the twin's substitutions")
    @pytest.mark.parametrize("filler", ["a", "\xe9", "\u20ac", "\U0001f600"])
    def test_tokens_at_every_offset_of_a_long_text(self, filler):
        # Covers the vector blocks of every width, their edges and the tail, and the
        # edges of the chunks that wide text is narrowed in (4096 characters).
        for token in ["zelto_ct_a", "tc_12345678", "cs_abcdefgh", "BEARER x", "bearer\u2028y"]:
            for offset in [*range(0, 80), *range(4096 - 16, 4096 + 4)]:
                for tail in (0, 1, 5, 40):
                    assert_same_as_substitutions(filler * offset + token + filler * tail)

    @native_only("compares the native matcher with the twin's substitutions")
    @pytest.mark.parametrize("context", [
        "bearer{}x", "bearer {}", "bearer x{}", "{}earer x", "b{}arer x", "bea{}er x", "beare{} x",
        "zelto_ct_{}", "zelto{}ct_a", "tc_1234567{}", "{}c_12345678", "c{}_abcdefgh",
    ])
    def test_every_character(self, context):
        # Every code point of the basic plane and a sample beyond, each in the
        # place of one character of a token, all in one long text.
        code_points = [*range(0xD800), *range(0xE000, 0x10000), *range(0x10000, 0x110000, 997)]
        text = "|".join(context.format(chr(c)) for c in code_points)
        assert_same_as_substitutions(text)

    def test_an_equal_marker_and_a_copy_of_the_list(self, monkeypatch):
        monkeypatch.setattr(redaction, "_REDACTED", "".join(["<", "redacted>"]))
        assert redact_text("a tc_12345678 bearer x") == "a " + R + " " + R
        monkeypatch.setattr(redaction, "_TOKEN_PATTERNS", list(redaction._TOKEN_PATTERNS))
        assert redact_text("a zelto_ct_x") == "a " + R

    def test_a_replaced_marker_reaches_the_substitutions(self, monkeypatch):
        monkeypatch.setattr(redaction, "_REDACTED", "[\\g<0>]")
        assert redact_text("a tc_12345678") == "a [tc_12345678]"
        # The substitutions parse the marker even when nothing matches.
        monkeypatch.setattr(redaction, "_REDACTED", "\\9")
        with pytest.raises(re.error, match="invalid group reference 9"):
            redact_text("no token here")
        monkeypatch.setattr(redaction, "_REDACTED", 5)
        with pytest.raises(TypeError):
            redact({"note": "plain"})
