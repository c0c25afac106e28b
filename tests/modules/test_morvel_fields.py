"""What the payload builder reads from a request: holder key, signing key, request hash, policy id,
inline rules and attestation fields."""

import logging
import sys
import types

import pytest
import zelto.decorators
import zelto_core
from zelto.decorators import bind_key_scope

from zelto_cloud import morvel
from zelto_cloud.exceptions import ZeltoCloudError
from zelto_cloud.morvel import build_approval_request_payload

from morvel_requests import (Exploding, HOLDER, OTHER, HOLDER_PUB, WARRANT_ID, TOOL, ARGS, ARGS_HASH, CORE_ARGS_B64,
                             CORE_ATTESTATION, HOLDER_KEY_REQUIRED, HASH_UNRESOLVED, HASH_WRONG_TYPE, REQUIRED,
                             complete, bare, gate_request, Recorder, Unprintable, BadStr, Marker, raiser,
                             scope_calls, core_calls, core_returning)
from twin_pairs import implementations, native_only
from twins import morvel as twin_morvel

impl = implementations(morvel, twin_morvel, "morvel", "build_approval_request_payload")
pytestmark = pytest.mark.usefixtures("impl")


class KeyWithBytes:
    def __init__(self, result):
        self.result = result

    def to_bytes(self):
        return self.result


class TestHolderKey:
    @pytest.mark.parametrize(("attrs", "expected"), [
        ({}, b""),
        ({"holder_key": None}, b""),
        ({"holder_key": b"\x01\x02"}, b"\x01\x02"),
        ({"holder_key": bytearray(b"\x01\x02")}, b"\x01\x02"),
        ({"holder_key": "0a0B ff"}, b"\x0a\x0b\xff"),
        ({"holder_key": ""}, b""),
        ({"holder_key": KeyWithBytes(b"\x07")}, b"\x07"),
        ({"holder_key": KeyWithBytes(bytearray(b"\x07"))}, b"\x07"),
        ({"holder_key": KeyWithBytes([1, 2])}, b"\x01\x02"),
        ({"holder_key": KeyWithBytes(b"")}, b""),
        ({"holder_key": HOLDER.public_key}, HOLDER_PUB),
        ({"holder_key": 5}, b"\x05"),  # int.to_bytes() is a callable to_bytes
        ({"holder_key": types.SimpleNamespace(to_bytes=b"\x01")}, b""),
        ({"holder_key": object()}, b""),
        ({"holder_key": memoryview(b"\x01")}, b""),
    ])
    def test_resolution(self, attrs, expected):
        result = morvel._resolve_holder_key(types.SimpleNamespace(**attrs))
        assert type(result) is bytes and result == expected

    def test_bytes_like_values_become_fresh_immutable_bytes(self):
        class Sub(bytes):
            pass

        raw = bytearray(b"\x01\x02")
        result = morvel._resolve_holder_key(types.SimpleNamespace(holder_key=raw))
        raw[0] = 9
        assert result == b"\x01\x02"
        assert type(morvel._resolve_holder_key(types.SimpleNamespace(holder_key=Sub(b"\x03")))) is bytes

    @pytest.mark.parametrize(("holder_key", "error"), [
        ("zz", ValueError),
        ("abc", ValueError),
        (KeyWithBytes("text"), TypeError),
        (KeyWithBytes(-1), ValueError),
    ])
    def test_conversion_errors_propagate(self, holder_key, error):
        with pytest.raises(error):
            morvel._resolve_holder_key(types.SimpleNamespace(holder_key=holder_key))

    def test_to_bytes_errors_propagate(self):
        class Failing:
            def to_bytes(self):
                raise Marker("no bytes")

        with pytest.raises(Marker, match="no bytes"):
            morvel._resolve_holder_key(types.SimpleNamespace(holder_key=Failing()))

    @pytest.mark.parametrize("attrs", [
        {"holder_key": None}, {}, {"holder_key": object()}, {"holder_key": KeyWithBytes(b"")},
        {"holder_key": ""}, {"holder_key": b""},
    ])
    def test_builder_requires_a_holder_key(self, attrs, scope_calls):
        request = complete()
        del request.holder_key
        vars(request).update(attrs)
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(request, signing_key=HOLDER)
        assert type(excinfo.value) is ZeltoCloudError
        assert excinfo.value.args == (HOLDER_KEY_REQUIRED,)
        assert scope_calls == []  # the build stopped at its first step

    def test_builder_decodes_hex_and_copies_bytearrays(self):
        assert build_approval_request_payload(complete(holder_key=HOLDER_PUB.hex())).holder_key == HOLDER_PUB
        raw = bytearray(HOLDER_PUB)
        built = build_approval_request_payload(complete(holder_key=raw))
        raw[:] = b"\x00" * 32
        assert type(built.holder_key) is bytes and built.holder_key == HOLDER_PUB

    def test_builder_accepts_a_public_key(self):
        built = build_approval_request_payload(complete(holder_key=HOLDER.public_key))
        assert built.holder_key == HOLDER_PUB


class TestSigningKey:
    @pytest.mark.parametrize("explicit", [HOLDER, object(), 0, "", False])
    def test_explicit_key_is_returned_without_importing(self, explicit, monkeypatch):
        monkeypatch.setitem(sys.modules, "zelto.decorators", None)
        assert morvel._resolve_signing_key(explicit) is explicit
        assert morvel._resolve_signing_key(explicit=explicit) is explicit

    def test_key_scope_supplies_the_key(self, scope_calls):
        assert morvel._resolve_signing_key() is None
        assert morvel._resolve_signing_key(None) is None
        with bind_key_scope(HOLDER):
            assert morvel._resolve_signing_key() is HOLDER
            with bind_key_scope(OTHER):
                assert morvel._resolve_signing_key() is OTHER
            assert morvel._resolve_signing_key(OTHER) is OTHER
        assert len(scope_calls) == 4

    def test_key_scope_result_is_returned_whatever_it_is(self, monkeypatch):
        sentinel = object()
        monkeypatch.setattr(zelto.decorators, "key_scope", lambda: sentinel)
        assert morvel._resolve_signing_key() is sentinel

    @pytest.mark.parametrize("break_it", [
        lambda mp: mp.setitem(sys.modules, "zelto.decorators", None),
        lambda mp: mp.delattr(zelto.decorators, "key_scope"),
        lambda mp: mp.setattr(zelto.decorators, "key_scope", raiser(ImportError("x"))),
        lambda mp: mp.setattr(zelto.decorators, "key_scope", raiser(ModuleNotFoundError("x"))),
    ], ids=["module-none", "no-key_scope", "call-import-error", "call-module-not-found"])
    def test_import_errors_give_none_silently(self, break_it, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger="zelto_cloud.morvel")
        break_it(monkeypatch)
        assert morvel._resolve_signing_key() is None
        assert caplog.records == []

    @pytest.mark.parametrize("error", [RuntimeError("boom"), ValueError("bad"), Marker("m"), ZeltoCloudError("z")])
    def test_other_errors_give_none_with_one_debug_record(self, error, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger="zelto_cloud.morvel")

        monkeypatch.setattr(zelto.decorators, "key_scope", raiser(error))
        assert morvel._resolve_signing_key() is None
        assert len(caplog.records) == 1
        record = caplog.records[0]
        assert (record.name, record.levelno) == ("zelto_cloud.morvel", logging.DEBUG)
        assert record.msg == "key_scope unavailable: %s"
        assert record.args == (error,) and record.args[0] is error
        assert record.getMessage() == f"key_scope unavailable: {error}"
        assert record.exc_info is None

    def test_a_broken_module_is_logged(self, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger="zelto_cloud.morvel")
        monkeypatch.setitem(sys.modules, "zelto.decorators", Exploding())
        assert morvel._resolve_signing_key() is None
        assert [type(r.args[0]) for r in caplog.records] == [RuntimeError]

    def test_the_logger_is_looked_up_at_each_call(self, monkeypatch):
        calls = []
        error = RuntimeError("boom")
        monkeypatch.setattr(morvel, "logger", types.SimpleNamespace(debug=lambda *a, **k: calls.append((a, k))))
        monkeypatch.setattr(zelto.decorators, "key_scope", raiser(error))
        assert morvel._resolve_signing_key() is None
        assert calls == [(("key_scope unavailable: %s", error), {})]

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_base_exceptions_propagate(self, error, monkeypatch):
        monkeypatch.setattr(zelto.decorators, "key_scope", raiser(error()))
        with pytest.raises(error):
            morvel._resolve_signing_key()
        with pytest.raises(error):
            build_approval_request_payload(complete())

    def test_consulted_on_every_build_without_an_explicit_key(self, scope_calls, core_calls):
        for _ in range(3):
            build_approval_request_payload(complete())
        assert len(scope_calls) == 3
        build_approval_request_payload(complete(), signing_key=HOLDER)
        assert len(scope_calls) == 3
        assert core_calls == []

    def test_build_from_a_complete_request_works_without_the_sdk(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "zelto.decorators", None)
        monkeypatch.setitem(sys.modules, "zelto_core", None)
        assert build_approval_request_payload(complete()).tool == TOOL


class TestRequestHash:
    @pytest.mark.parametrize(("value", "expected"), [
        (b"\x01\x02", b"\x01\x02"),
        (bytearray(b"\x01\x02"), b"\x01\x02"),
        (b"", b""),
        ("0102", b"\x01\x02"),
        ("AB cd", b"\xab\xcd"),
        ("", b""),
    ])
    def test_accepted(self, value, expected):
        result = morvel._normalize_request_hash(value)
        assert type(result) is bytes and result == expected

    def test_bytearray_copy_is_independent(self):
        raw = bytearray(b"\x01")
        result = morvel._normalize_request_hash(raw)
        raw[0] = 2
        assert result == b"\x01"

    @pytest.mark.parametrize("value", [None, 5, memoryview(b"\x01"), [1], object()])
    def test_other_types(self, value):
        with pytest.raises(ZeltoCloudError) as excinfo:
            morvel._normalize_request_hash(value)
        assert type(excinfo.value) is ZeltoCloudError and excinfo.value.args == (HASH_WRONG_TYPE,)

    @pytest.mark.parametrize("value", ["zz", "012"])
    def test_bad_hex(self, value):
        with pytest.raises(ValueError):
            morvel._normalize_request_hash(value)

    def test_error_class_is_looked_up_at_each_call(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(morvel, "ZeltoCloudError", Replacement)
        with pytest.raises(Replacement) as excinfo:
            morvel._normalize_request_hash(None)
        assert excinfo.value.args == (HASH_WRONG_TYPE,)

    @pytest.mark.parametrize(("value", "expected"), [
        (ARGS_HASH, ARGS_HASH), (bytearray(ARGS_HASH), ARGS_HASH), (ARGS_HASH.hex(), ARGS_HASH),
    ])
    def test_builder_takes_the_requests_hash(self, value, expected):
        built = build_approval_request_payload(complete(request_hash=value))
        assert type(built.request_hash) is bytes and built.request_hash == expected

    def test_builder_rejects_a_hash_of_another_type(self):
        with pytest.raises(ZeltoCloudError, match="^request.request_hash must be bytes or hex string$"):
            build_approval_request_payload(complete(request_hash=12))

    @pytest.mark.parametrize("attrs", [{"request_hash": None}, {}])
    def test_builder_falls_back_to_the_attestation_hash(self, attrs):
        request = complete(**attrs)
        if not attrs:
            del request.request_hash
        assert build_approval_request_payload(request).request_hash == bytes.fromhex("ab" * 32)

    @pytest.mark.parametrize("entry", [None, "", 0])
    def test_builder_without_any_hash(self, entry):
        attestation = {"v": 1} if entry is None else {"v": 1, "request_hash": entry}
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(complete(request_hash=None, approval_context_attestation=attestation))
        assert excinfo.value.args == (HASH_UNRESOLVED,)

    def test_builder_empty_request_hash_falls_back_too(self):
        for empty in (b"", ""):
            built = build_approval_request_payload(complete(request_hash=empty))
            assert built.request_hash == bytes.fromhex("ab" * 32)

    @pytest.mark.parametrize("entry", ["zz", "abc", 255])
    def test_builder_bad_attestation_hash_is_a_value_error(self, entry):
        request = complete(request_hash=None, approval_context_attestation={"v": 1, "request_hash": entry})
        with pytest.raises(ValueError) as excinfo:
            build_approval_request_payload(request)
        assert not isinstance(excinfo.value, ZeltoCloudError)

    def test_builder_converts_the_attestation_hash_to_text(self):
        class HexText:
            def __str__(self):
                return "0a0b"

        request = complete(request_hash=None, approval_context_attestation={"request_hash": HexText()})
        assert build_approval_request_payload(request).request_hash == b"\x0a\x0b"


class TestPolicyId:
    @pytest.mark.parametrize(("attrs", "override", "expected"), [
        ({}, None, None),
        ({"policy_id": "p"}, None, "p"),
        ({"policy_id": "p", "policy_ref": "r"}, None, "p"),
        ({"policy_ref": "r"}, None, "r"),
        ({"policy_id": 5, "policy_ref": "r"}, None, "r"),
        ({"policy_id": "", "policy_ref": "r"}, None, "r"),
        ({"policy_id": None, "policy_ref": ""}, None, None),
        ({"policy_id": 5, "policy_ref": b"r"}, None, None),
        ({"policy_id": "p"}, "o", "o"),
        ({"policy_id": "p"}, "", "p"),
        ({"policy_id": "p"}, 0, "p"),
        ({}, 42, 42),
        ({}, ["x"], ["x"]),
    ])
    def test_resolution(self, attrs, override, expected):
        assert morvel._extract_policy_id(types.SimpleNamespace(**attrs), override) == expected
        if override is None:
            assert morvel._extract_policy_id(types.SimpleNamespace(**attrs)) == expected

    def test_values_are_returned_unchanged(self):
        class Text(str):
            pass

        override, ref = ["x"], Text("ref")
        assert morvel._extract_policy_id(types.SimpleNamespace(), override=override) is override
        assert morvel._extract_policy_id(types.SimpleNamespace(policy_id=1, policy_ref=ref)) is ref

    def test_override_skips_the_request(self):
        request = Recorder(policy_id="p")
        assert morvel._extract_policy_id(request, "o") == "o"
        assert request.reads == []

    @pytest.mark.parametrize(("attrs", "argument", "expected"), [
        ({"policy_id": "p"}, "", "p"),
        ({"policy_id": "p"}, None, "p"),
        ({"policy_id": "p"}, "arg", "arg"),
        ({"policy_id": 3, "policy_ref": "ref"}, None, "ref"),
    ])
    def test_builder(self, attrs, argument, expected):
        built = build_approval_request_payload(complete(**attrs), policy_id=argument)
        assert built.policy_id == expected
        assert built.to_create_request_kwargs()["policy_id"] == expected

    def test_builder_without_a_policy(self):
        built = build_approval_request_payload(complete(policy_id=7))
        assert built.policy_id is None and "policy_id" not in built.to_create_request_kwargs()


class TestInlineRules:
    def test_approvers_become_text_in_order(self):
        approvers = [b"\x01\x02", "ab", 7, bytearray(b"\xff"), HOLDER.public_key]
        keys, threshold, ttl = morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers))
        assert keys == ["0102", "ab", "7", "ff", HOLDER_PUB.hex()]
        assert all(type(key) is str for key in keys)
        assert (threshold, ttl) == (None, None)

    def test_exact_text_is_kept_and_subclasses_are_converted(self):
        class Text(str):
            def __str__(self):
                return "converted"

        text = "".join(["a", "b"])
        keys, _, _ = morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=[text, Text("x")]))
        assert keys[0] is text and keys[1] == "converted"

    def test_any_iterable(self):
        request = types.SimpleNamespace(required_approvers=(b"\x01", b"\x02"))
        assert morvel._extract_inline_rules(request)[0] == ["01", "02"]
        request = types.SimpleNamespace(required_approvers=iter([b"\x03"]))
        assert morvel._extract_inline_rules(request)[0] == ["03"]

    def test_a_fresh_list(self):
        approvers = ["ab"]
        keys, _, _ = morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers))
        assert keys == approvers and keys is not approvers

    @pytest.mark.parametrize("approvers", [None, [], (), "", 0])
    def test_no_approvers_is_none(self, approvers):
        assert morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers)) == (None, None, None)

    @pytest.mark.parametrize(("approvers", "error"), [(5, TypeError), ([Unprintable("a")], RuntimeError)])
    def test_approver_errors_propagate(self, approvers, error):
        with pytest.raises(error):
            morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers))

    @pytest.mark.parametrize("threshold", [2, "2", 0, 2.5])
    def test_threshold_is_unchanged(self, threshold):
        result = morvel._extract_inline_rules(types.SimpleNamespace(min_approvals=threshold))
        assert result[1] is threshold

    @pytest.mark.parametrize(("attrs", "expected"), [
        ({"ttl_seconds": 0, "gate_ttl": 99}, 0),
        ({"ttl_seconds": "60", "gate_ttl": 99}, "60"),
        ({"gate_ttl": "30"}, 30),
        ({"gate_ttl": 2.9}, 2),
        ({"gate_ttl": True}, 1),
        ({"gate_ttl": " 12 "}, 12),
        ({"ttl_seconds": None, "gate_ttl": 45}, 45),
        ({"ttl_seconds": None, "gate_ttl": None}, None),
        ({}, None),
    ])
    def test_ttl(self, attrs, expected):
        ttl = morvel._extract_inline_rules(types.SimpleNamespace(**attrs))[2]
        assert ttl == expected and type(ttl) is type(expected)

    def test_gate_ttl_read_only_without_ttl_seconds(self):
        request = Recorder(ttl_seconds=0, gate_ttl="not read")
        assert morvel._extract_inline_rules(request) == (None, None, 0)
        assert request.reads == ["required_approvers", "min_approvals", "ttl_seconds"]

    def test_exact_int_gate_ttl_passes_through(self):
        big = 10**30
        assert morvel._extract_inline_rules(types.SimpleNamespace(gate_ttl=big))[2] is big

    @pytest.mark.parametrize(("gate_ttl", "error"), [("x", ValueError), ("2.5", ValueError), (object(), TypeError),
                                                     (float("inf"), OverflowError)])
    def test_gate_ttl_conversion_errors_propagate(self, gate_ttl, error):
        with pytest.raises(error):
            morvel._extract_inline_rules(types.SimpleNamespace(gate_ttl=gate_ttl))

    def test_builder(self):
        request = complete(required_approvers=[b"\x01\x02", "ab", 7], min_approvals="2", ttl_seconds=0)
        built = build_approval_request_payload(request)
        assert (built.approver_keys, built.threshold, built.ttl_seconds) == (["0102", "ab", "7"], "2", 0)
        kwargs = built.to_create_request_kwargs()
        assert list(kwargs) == REQUIRED + ["metadata", "threshold", "approver_keys", "ttl_seconds"]

    def test_builder_empty_approvers_and_gate_ttl(self):
        built = build_approval_request_payload(complete(required_approvers=[], gate_ttl="30"))
        assert built.approver_keys is None and built.ttl_seconds == 30
        assert "approver_keys" not in built.to_create_request_kwargs()

    def test_builder_reads_the_stand_in_request(self):
        request = gate_request(required_approvers=[OTHER.public_key.to_bytes()], min_approvals=1, gate_ttl=2.9,
                               args_canonical_cbor_b64=CORE_ARGS_B64,
                               approval_context_attestation=dict(CORE_ATTESTATION))
        built = build_approval_request_payload(request)
        assert (built.approver_keys, built.threshold, built.ttl_seconds) == ([OTHER.public_key.hex()], 1, 2)


class TestAttestationFields:
    def test_real_core(self, core_calls):
        request = bare()
        args_b64, attestation, request_hash = morvel._build_attestation_fields(
            request, signing_key=HOLDER, holder_key=b"ignored")
        assert (args_b64, attestation, request_hash) == (CORE_ARGS_B64, CORE_ATTESTATION, ARGS_HASH)
        assert type(attestation) is dict and type(request_hash) is bytes
        (args, kwargs), = core_calls
        assert kwargs == {} and len(args) == 5
        assert args[0] is HOLDER and args[1] is request.warrant_id and args[2] is request.tool
        assert args[3] is request.arguments and args[4] is HOLDER.public_key

    def test_holder_key_argument_takes_no_part(self):
        request = bare(holder_key=OTHER.public_key.to_bytes())
        first = morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=OTHER.public_key.to_bytes())
        second = morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=None)
        assert first == second
        assert first[1]["holder_key"] == HOLDER_PUB.hex()

    def test_values_are_passed_unconverted(self, monkeypatch):
        calls = []
        monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation",
                            lambda *args: calls.append(args) or ("b64", {}))
        request = bare(warrant_id=12, tool=None, arguments=[1, 2])
        morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=b"")
        assert calls == [(HOLDER, 12, None, [1, 2], HOLDER.public_key)]

    def test_attestation_is_a_fresh_dict_of_any_mapping(self, monkeypatch):
        raw = {"request_hash": "0a"}
        core_returning(monkeypatch, ("b64", raw))
        _, attestation, _ = morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")
        assert attestation == raw and attestation is not raw
        core_returning(monkeypatch, ["b64", [("request_hash", "0b"), ("v", 1)]])
        assert morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"") == \
            ("b64", {"request_hash": "0b", "v": 1}, b"\x0b")

    @pytest.mark.parametrize(("result", "message"), [
        (("a", {}, "extra"), "too many values to unpack (expected 2)"),
        (("a",), "not enough values to unpack (expected 2, got 1)"),
    ])
    def test_result_must_hold_two_items(self, monkeypatch, result, message):
        core_returning(monkeypatch, result)
        with pytest.raises(ValueError) as excinfo:
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")
        assert str(excinfo.value) == message

    def test_result_must_be_iterable(self, monkeypatch):
        core_returning(monkeypatch, 5)
        with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")

    def test_core_errors_propagate_unchanged(self, monkeypatch):
        error = Marker("core failed")

        monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation", raiser(error))
        with pytest.raises(Marker) as excinfo:
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")
        assert excinfo.value is error
        with pytest.raises(Marker) as excinfo:
            build_approval_request_payload(bare(), signing_key=HOLDER)
        assert excinfo.value is error

    def test_real_core_rejects_a_foreign_key(self):
        class Key:
            public_key = HOLDER.public_key

        with pytest.raises(TypeError, match="signing_key must be a SigningKey"):
            morvel._build_attestation_fields(bare(), signing_key=Key(), holder_key=b"")

    def test_core_is_imported_at_each_call(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "zelto_core", None)
        with pytest.raises(ImportError):
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")

    @pytest.mark.parametrize(("missing", "expected"), [
        ("public_key", "public_key"), ("warrant_id", "warrant_id"), ("tool", "tool"), ("arguments", "arguments"),
    ])
    def test_plain_reads(self, missing, expected, core_calls):
        request = bare()
        key = HOLDER
        if missing == "public_key":
            key = object()
        else:
            delattr(request, missing)
        with pytest.raises(AttributeError, match=expected):
            morvel._build_attestation_fields(request, signing_key=key, holder_key=b"")
        assert core_calls == []

    def test_read_order(self, monkeypatch):
        log = []

        class Key:
            def __getattr__(self, name):
                log.append(name)
                return HOLDER.public_key

        request = Recorder(warrant_id=WARRANT_ID, tool=TOOL, arguments=ARGS)
        request.reads = log
        monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation",
                            lambda *args: log.append("core") or ("b64", {"v": 1}))
        morvel._build_attestation_fields(request, signing_key=Key(), holder_key=b"")
        assert log == ["public_key", "warrant_id", "tool", "arguments", "core", "request_hash"]

    @pytest.mark.parametrize(("attrs", "entry", "expected"), [
        ({"request_hash": b"\x01"}, None, b"\x01"),
        ({"request_hash": b"\x01"}, "0a0b", b"\x0a\x0b"),
        ({"request_hash": "01"}, "", b"\x01"),
        ({"request_hash": b"\x01"}, "zz", b"\x01"),
        ({"request_hash": b"\x01"}, "abc", b"\x01"),
        ({"request_hash": bytearray(b"\x01")}, BadStr(), b"\x01"),
        ({}, None, b""),
        ({}, "zz", b""),
        ({}, "0c", b"\x0c"),
    ])
    def test_hash(self, monkeypatch, attrs, entry, expected):
        raw = {} if entry is None else {"request_hash": entry}
        core_returning(monkeypatch, ("b64", raw))
        result = morvel._build_attestation_fields(types.SimpleNamespace(warrant_id="w", tool="t", arguments={},
                                                                        **attrs),
                                                  signing_key=HOLDER, holder_key=b"")[2]
        assert type(result) is bytes and result == expected

    def test_other_hash_conversion_errors_propagate(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"request_hash": Unprintable("hash")}))
        with pytest.raises(RuntimeError, match="hash"):
            morvel._build_attestation_fields(bare(request_hash=b"\x01"), signing_key=HOLDER, holder_key=b"")

    @pytest.mark.parametrize("value", [None, 5])
    def test_hash_of_a_wrong_type(self, value):
        with pytest.raises(ZeltoCloudError) as excinfo:
            morvel._build_attestation_fields(bare(request_hash=value), signing_key=HOLDER, holder_key=b"")
        assert excinfo.value.args == (HASH_WRONG_TYPE,)

    def test_hash_rule_is_looked_up_at_each_call(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_normalize_request_hash", lambda value: seen.append(value) or b"\x09")
        core_returning(monkeypatch, ("b64", {}))
        request = bare()
        assert morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=b"")[2] == b"\x09"
        request.request_hash = marker = object()
        morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=b"")
        assert seen == [b"", marker]


