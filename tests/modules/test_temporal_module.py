"""zelto_cloud.temporal: the worker key loaders, the connect bootstrap, the
legacy set-up and the cloud ZeltoPluginConfig, against the SDK stand-in.

Google's servers cannot be reached from here: Secret Manager's success path
runs with the library's client class replaced by a fake; its failure without
credentials is the real library's."""

import base64
import logging
import types
import warnings

import pytest
from google.cloud import secretmanager

import zelto.temporal
import zelto_cloud.connect
import zelto_cloud.temporal as temporal
from zelto.control_plane import ControlPlaneClient
from zelto_cloud.approval import TemporalCloudApprovalHandler
from zelto_cloud.providers import CloudReceiptSink
from zelto_cloud.temporal import (ZeltoPlugin, ZeltoPluginConfig, _load_signing_key_from_env,
                                  _load_signing_key_from_secret_manager, _maybe_connect_from_env,
                                  _resolve_signing_key, configure_temporal_worker)
from zelto_core import PublicKey, SigningKey

KEY = SigningKey.generate()
ROOT = SigningKey.generate().public_key
VARIABLES = ["ZELTO_API_KEY", "ZELTO_CONTROL_PLANE_URL", "ZELTO_DASHBOARD_ROOT_KEY", "ZELTO_AUTHORIZER_NAME",
             "ZELTO_ISSUER_KEY", "ZELTO_SIGNING_KEY", "ZELTO_CONNECT_TOKEN", "ZELTO_ENFORCEMENT", "ZELTO_DRY_RUN",
             "ZELTO_WORKER_SECRET_ID", "GCP_PROJECT", "GOOGLE_APPLICATION_CREDENTIALS"]


@pytest.fixture(autouse=True)
def environment(monkeypatch, tmp_path):
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)
    # The real Secret Manager client, without credentials, fails at once.
    monkeypatch.setenv("NO_GCE_CHECK", "True")
    monkeypatch.setenv("CLOUDSDK_CONFIG", str(tmp_path / "gcloud"))
    return monkeypatch


@pytest.fixture
def secrets(monkeypatch):
    """Secret Manager's client class replaced: it serves `stored` by resource name."""
    class FakeSecretManagerClient:
        stored = {}
        created = 0
        names = []

        def __init__(self):
            FakeSecretManagerClient.created += 1

        def access_secret_version(self, *, name):
            FakeSecretManagerClient.names.append(name)
            if name not in self.stored:
                raise LookupError(f"secret {name} not found")
            return types.SimpleNamespace(payload=types.SimpleNamespace(data=self.stored[name]))

    monkeypatch.setattr(secretmanager, "SecretManagerServiceClient", FakeSecretManagerClient)
    return FakeSecretManagerClient


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "zelto_cloud.temporal"]


class TestSigningKeyLoading:
    def test_hex_as_bytes_fromhex_reads_it(self):
        assert _load_signing_key_from_env(KEY.to_bytes().hex()).public_key == KEY.public_key
        spaced = " " + " ".join(KEY.to_bytes().hex()[i:i + 2] for i in range(0, 64, 2)) + " "
        assert _load_signing_key_from_env(spaced).public_key == KEY.public_key

    def test_direct_calls_raise_unwrapped(self, secrets):
        with pytest.raises(ValueError):
            _load_signing_key_from_env("zz")
        with pytest.raises(LookupError):
            _load_signing_key_from_secret_manager("s1", "p1")

    @pytest.mark.parametrize("text", ["zz", "abc", "ab" * 16])
    def test_bad_hex_never_reaches_secret_manager(self, secrets, text):
        with pytest.raises(RuntimeError) as info:
            _resolve_signing_key(text, "s1", "p1")
        assert str(info.value).startswith("ZELTO_SIGNING_KEY is set but cannot be decoded as hex: ")
        assert isinstance(info.value.__cause__, ValueError)
        assert str(info.value).endswith(str(info.value.__cause__))
        assert secrets.created == 0

    def test_secret_manager_serves_the_raw_key_bytes_every_time(self, secrets):
        secrets.stored["projects/p1/secrets/s1/versions/latest"] = KEY.to_bytes()
        first = _resolve_signing_key("", "s1", "p1")
        second = _resolve_signing_key(None, "s1", "p1")
        assert first.public_key == second.public_key == KEY.public_key and first is not second
        assert secrets.created == 2
        assert secrets.names == ["projects/p1/secrets/s1/versions/latest"] * 2

    def test_secret_manager_failure_names_what_was_tried(self, secrets):
        with pytest.raises(RuntimeError) as info:
            _resolve_signing_key("", "s1", "p1")
        assert str(info.value) == ("No ZELTO_SIGNING_KEY env var; attempted GCP Secret Manager fallback "
                                   "(projects/p1/secrets/s1): secret projects/p1/secrets/s1/versions/latest not found")
        assert isinstance(info.value.__cause__, LookupError)

    def test_the_real_client_without_credentials(self):
        from google.auth.exceptions import DefaultCredentialsError

        with pytest.raises(RuntimeError) as info:
            _resolve_signing_key("", 7, "proj")
        assert str(info.value).startswith(
            "No ZELTO_SIGNING_KEY env var; attempted GCP Secret Manager fallback (projects/proj/secrets/7): ")
        assert isinstance(info.value.__cause__, DefaultCredentialsError)

    def test_without_the_library(self, fresh_python):
        result = fresh_python(
            "import sys; sys.modules['google.cloud.secretmanager'] = None\n"
            "from zelto_cloud.temporal import _resolve_signing_key\n"
            "try:\n    _resolve_signing_key('', 's', 'p')\n"
            "except RuntimeError as e:\n    print(type(e.__cause__).__name__, '|', e)\n")
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("ModuleNotFoundError | No ZELTO_SIGNING_KEY env var; attempted GCP Secret Manager "
                                        "fallback (projects/p/secrets/s): ")


class TestConnectBootstrap:
    @pytest.fixture
    def connects(self, monkeypatch):
        calls = []

        def fake_connect(**kwargs):
            calls.append(kwargs)
            return calls.result if hasattr(calls, "result") else None

        calls = type("Calls", (list,), {})()
        monkeypatch.setattr(zelto_cloud.connect, "connect", fake_connect)
        return calls

    def test_no_token_no_connect(self, connects, environment):
        environment.setenv("ZELTO_CONNECT_TOKEN", "")
        assert _maybe_connect_from_env(KEY) is None
        assert connects == []

    def test_claims_with_the_public_key_and_closes_once(self, connects, environment):
        environment.setenv("ZELTO_CONNECT_TOKEN", "zelto_ct_x")
        closed = []
        connects.result = types.SimpleNamespace(close=lambda: closed.append(1))
        _maybe_connect_from_env(KEY)
        assert connects == [{"public_key_hex": KEY.public_key.to_bytes().hex(), "claim": True, "apply_env": True}]
        assert closed == [1]

    @pytest.mark.parametrize("key", [None, object(), types.SimpleNamespace(public_key=None)])
    def test_without_a_usable_key_the_call_is_still_made(self, connects, environment, key):
        environment.setenv("ZELTO_CONNECT_TOKEN", "zelto_ct_x")
        connects.result = types.SimpleNamespace(close="not callable")
        _maybe_connect_from_env(key)
        assert connects == [{"public_key_hex": None, "claim": True, "apply_env": True}]

    def test_a_failing_connect_is_a_warning(self, environment, monkeypatch, caplog):
        environment.setenv("ZELTO_CONNECT_TOKEN", "zelto_ct_x")

        def refuse(**kwargs):
            raise zelto_cloud.connect.ZeltoCloudError("token used up", status_code=401)

        monkeypatch.setattr(zelto_cloud.connect, "connect", refuse)
        with caplog.at_level(logging.WARNING, logger="zelto_cloud.temporal"):
            assert _maybe_connect_from_env(KEY) is None
        assert messages(caplog) == ["ZELTO_CONNECT_TOKEN bootstrap failed: token used up"]


class TestLegacySetup:
    def test_explicit_key_without_api_key(self, secrets):
        fns = (len, abs)
        with pytest.warns(DeprecationWarning):
            plugin = configure_temporal_worker(fns, signing_key=KEY)
        assert type(plugin) is zelto.temporal.ZeltoPlugin
        config = plugin.config
        assert type(config) is zelto.temporal.ZeltoPluginConfig
        assert (config.control_plane, config.approval_handler, config.on_denial) == (None, None, "raise")
        assert config.trusted_roots == [KEY.public_key]
        assert config.activity_fns == [len, abs]
        assert secrets.created == 0

    def test_api_key_from_the_environment_wires_both(self, environment):
        environment.setenv("ZELTO_API_KEY", "zelto_lk_env")
        environment.setenv("ZELTO_CONTROL_PLANE_URL", "http://127.0.0.1:9")
        with pytest.warns(DeprecationWarning):
            plugin = configure_temporal_worker((f for f in [len]), api_key="", signing_key=KEY,
                                               dashboard_root_key_hex=KEY.public_key.hex(),
                                               authorizer_name="payments", fast_poll_seconds=0.5,
                                               fast_poll_attempts=7)
        config = plugin.config
        assert config.activity_fns == [len]
        assert config.trusted_roots == [KEY.public_key, KEY.public_key]
        assert isinstance(config.control_plane, ControlPlaneClient)
        assert (config.control_plane.url, config.control_plane.api_key, config.control_plane.authorizer_name) == (
            "http://127.0.0.1:9", "zelto_lk_env", "payments")
        assert config.control_plane.receipt_sink is None
        handler = config.approval_handler
        assert (handler._api_key, handler._base_url, handler._fast_poll_seconds, handler._fast_poll_attempts) == (
            "zelto_lk_env", "http://127.0.0.1:9", 0.5, 7)

    def test_the_warning_comes_first_and_names_the_callers_line(self, monkeypatch):
        monkeypatch.setattr(temporal, "os", None)  # any read of the environment would fail
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning, match=r"^configure_temporal_worker is deprecated; use "
                               r"ZeltoPluginConfig\.from_env\(activity_fns=activity_fns\) with ZeltoTemporalPlugin "
                               r"instead\. Will be removed in 0\.2\.0\.$"):
                configure_temporal_worker([], signing_key=KEY)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            monkeypatch.undo()
            line = __import__("inspect").currentframe().f_lineno + 1
            configure_temporal_worker([], signing_key=KEY)
        warning, = [w for w in caught if w.category is DeprecationWarning]
        assert (warning.filename, warning.lineno) == (__file__, line)

    def test_no_key_anywhere(self, environment):
        environment.setenv("ZELTO_WORKER_SECRET_ID", "worker-key")
        environment.setenv("GCP_PROJECT", "acme")
        with pytest.warns(DeprecationWarning), pytest.raises(RuntimeError) as info:
            configure_temporal_worker([])
        message = str(info.value)
        assert message.startswith("Could not load Zelto worker signing key. Set ZELTO_SIGNING_KEY (hex) or "
                                  "ZELTO_WORKER_SECRET_ID + GCP_PROJECT for GCP Secret Manager. Underlying error: "
                                  "No ZELTO_SIGNING_KEY env var; attempted GCP Secret Manager fallback "
                                  "(projects/acme/secrets/worker-key): ")
        assert isinstance(info.value.__cause__, RuntimeError)

    def test_hex_key_from_the_environment_and_bad_root(self, environment):
        environment.setenv("ZELTO_SIGNING_KEY", KEY.to_bytes().hex())
        environment.setenv("ZELTO_ISSUER_KEY", "ignored by the legacy path")
        with pytest.warns(DeprecationWarning):
            assert configure_temporal_worker([]).config.signing_key.public_key == KEY.public_key
        environment.setenv("ZELTO_DASHBOARD_ROOT_KEY", "not hex")
        with pytest.warns(DeprecationWarning), pytest.raises(ValueError):
            configure_temporal_worker([])


class TestFromEnv:
    def test_explicit_key_reads_no_key_variable(self, environment, caplog):
        environment.setenv("ZELTO_ISSUER_KEY", "garbage")
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            config = ZeltoPluginConfig.from_env(signing_key=KEY, activity_fns=[len])
        assert type(config) is ZeltoPluginConfig
        assert config.signing_key is KEY and config.trusted_roots == [KEY.public_key]
        assert config.dry_run is True
        assert messages(caplog) == [
            "zelto_cloud: observe-first (dry_run=True); set ZELTO_ENFORCEMENT=enforce to fail closed",
            "zelto_cloud: ZELTO_API_KEY not set, running in local mode"]

    @pytest.mark.parametrize(("variable", "text"), [
        ("ZELTO_ISSUER_KEY", KEY.to_bytes().hex()),
        ("ZELTO_SIGNING_KEY", " " + KEY.to_bytes().hex().upper() + "\n"),
        ("ZELTO_SIGNING_KEY", base64.b64encode(KEY.to_bytes()).decode()),
    ])
    def test_key_from_the_environment(self, environment, variable, text):
        environment.setenv("ZELTO_ISSUER_KEY", "")
        environment.setenv(variable, text)
        assert ZeltoPluginConfig.from_env().signing_key.public_key == KEY.public_key

    def test_issuer_key_wins(self, environment):
        other = SigningKey.generate()
        environment.setenv("ZELTO_ISSUER_KEY", KEY.to_bytes().hex())
        environment.setenv("ZELTO_SIGNING_KEY", other.to_bytes().hex())
        assert ZeltoPluginConfig.from_env().signing_key.public_key == KEY.public_key

    def test_a_key_neither_hex_nor_base64(self, environment):
        environment.setenv("ZELTO_SIGNING_KEY", "not a key!")
        with pytest.raises(ValueError) as info:
            ZeltoPluginConfig.from_env()
        assert isinstance(info.value.__context__, ValueError)

    def test_caller_values_win_and_observe_first_is_still_asked(self, environment, monkeypatch, caplog):
        asked, connected = [], []
        monkeypatch.setattr(temporal, "observe_first_from_env", lambda: asked.append(1) or True)
        monkeypatch.setattr(temporal, "_maybe_connect_from_env", connected.append)
        roots = []
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            config = ZeltoPluginConfig.from_env(signing_key=KEY, trusted_roots=roots, dry_run=False)
        assert config.trusted_roots is roots and config.dry_run is False
        assert asked == [1] and connected == [KEY]
        assert not [m for m in messages(caplog) if "observe-first" in m]

    def test_no_key_at_all(self, monkeypatch):
        connected = []
        monkeypatch.setattr(temporal, "_maybe_connect_from_env", connected.append)
        config = ZeltoPluginConfig.from_env(signing_key=None)
        assert (config.signing_key, config.trusted_roots) == (None, None)
        assert connected == [None]

    def test_only_keyword_arguments_and_instances_of_the_callers_class(self):
        with pytest.raises(TypeError):
            ZeltoPluginConfig.from_env(KEY)

        class Custom(ZeltoPluginConfig):
            pass

        assert type(Custom.from_env(signing_key=KEY)) is Custom

class TestCloudWiring:
    def test_api_key_wires_the_handler_and_the_control_plane(self, environment, caplog):
        environment.setenv("ZELTO_API_KEY", "zelto_lk_1")
        environment.setenv("ZELTO_CONTROL_PLANE_URL", "http://127.0.0.1:9")
        environment.setenv("ZELTO_AUTHORIZER_NAME", "payments-worker")
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            config = ZeltoPluginConfig(signing_key=KEY)
        handler = config.approval_handler
        assert type(handler) is TemporalCloudApprovalHandler
        assert (handler._api_key, handler._base_url, handler._fast_poll_seconds, handler._fast_poll_attempts) == (
            "zelto_lk_1", "http://127.0.0.1:9", 2.0, 3)
        control_plane = config.control_plane
        assert isinstance(control_plane, ControlPlaneClient)
        assert (control_plane.url, control_plane.authorizer_name, control_plane.signing_key) == (
            "http://127.0.0.1:9", "payments-worker", KEY)
        assert isinstance(control_plane.receipt_sink, CloudReceiptSink)
        assert messages(caplog) == [
            "zelto_cloud: auto-wired approval_handler from ZELTO_API_KEY (control_plane_url=http://127.0.0.1:9)",
            "zelto_cloud: auto-wired control_plane and receipt-v1 sink from ZELTO_API_KEY"]

    def test_explicit_fields_are_never_replaced(self, environment, caplog):
        environment.setenv("ZELTO_API_KEY", "zelto_lk_1")
        mine, plane = (lambda request: None), ControlPlaneClient(url="u", api_key="k", authorizer_name="a",
                                                                  signing_key=KEY)
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            config = ZeltoPluginConfig(signing_key=KEY, approval_handler=mine, control_plane=plane)
        assert config.approval_handler is mine and config.control_plane is plane
        assert messages(caplog) == []

    def test_without_a_signing_key_nothing_is_wired(self, environment, caplog):
        environment.setenv("ZELTO_API_KEY", "zelto_lk_1")
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            config = ZeltoPluginConfig()
        assert (config.approval_handler, config.control_plane) == (None, None)
        assert messages(caplog) == []

    def test_a_missing_control_plane_module_is_swallowed_silently(self, environment, monkeypatch, caplog):
        environment.setenv("ZELTO_API_KEY", "zelto_lk_1")
        monkeypatch.setitem(__import__("sys").modules, "zelto_cloud.providers", None)
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            config = ZeltoPluginConfig(signing_key=KEY)
        assert config.control_plane is None and config.approval_handler is not None
        assert len(messages(caplog)) == 1

    def test_a_missing_approval_module_is_an_import_error(self, environment, monkeypatch):
        environment.setenv("ZELTO_API_KEY", "zelto_lk_1")
        monkeypatch.setitem(__import__("sys").modules, "zelto_cloud.approval", None)
        with pytest.raises(ImportError):
            ZeltoPluginConfig(signing_key=KEY)

    def test_the_core_checks_run_first(self, environment):
        environment.setenv("ZELTO_DASHBOARD_ROOT_KEY", "not hex")
        with pytest.raises(ValueError, match="on_denial"):
            ZeltoPluginConfig(on_denial="shrug")
        with pytest.raises(ValueError, match="non-hexadecimal"):
            ZeltoPluginConfig()

    def test_local_mode_is_logged_per_construction(self, caplog):
        with caplog.at_level(logging.INFO, logger="zelto_cloud.temporal"):
            ZeltoPluginConfig()
            ZeltoPluginConfig()
        assert messages(caplog) == ["zelto_cloud: ZELTO_API_KEY not set, running in local mode"] * 2


class TestDashboardRoot:
    @pytest.fixture(autouse=True)
    def root(self, environment):
        environment.setenv("ZELTO_DASHBOARD_ROOT_KEY", ROOT.hex())

    def test_already_present_leaves_the_same_object(self):
        roots = [KEY.public_key, PublicKey.from_bytes(ROOT.to_bytes())]
        assert ZeltoPluginConfig(trusted_roots=roots).trusted_roots is roots

    def test_absent_is_appended_to_a_new_list(self):
        roots = [KEY.public_key]
        config = ZeltoPluginConfig(trusted_roots=roots)
        assert config.trusted_roots == [KEY.public_key, ROOT] and config.trusted_roots is not roots
        assert roots == [KEY.public_key]

    @pytest.mark.parametrize("roots", [None, []])
    def test_none_or_empty_becomes_the_root_alone(self, roots):
        assert ZeltoPluginConfig(trusted_roots=roots).trusted_roots == [ROOT]

    def test_not_a_public_key(self, environment):
        environment.setenv("ZELTO_DASHBOARD_ROOT_KEY", "ab" * 8)
        with pytest.raises(ValueError, match="32 bytes"):
            ZeltoPluginConfig()


class TestClasses:
    def test_names_and_namespace(self):
        cls = ZeltoPluginConfig
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (
            "ZeltoPluginConfig", "ZeltoPluginConfig", "zelto_cloud.temporal")
        assert cls.__bases__ == (zelto.temporal.ZeltoPluginConfig,)
        assert sorted(vars(cls)) == ["__doc__", "__module__", "__post_init__", "from_env"]
        assert cls.__doc__.startswith("Drop-in replacement for the core ``zelto.temporal.ZeltoPluginConfig``.")
        assert isinstance(vars(cls)["from_env"], classmethod)
        assert ZeltoPlugin is zelto.temporal.ZeltoPlugin
        assert not hasattr(temporal, "_missing_zelto_plugin_import_error")
        assert not hasattr(temporal, "_zelto_plugin_import_error")

    def test_placeholders_without_the_extra(self, fresh_python):
        code = """
import sys
sys.modules["zelto.temporal"] = None
import zelto_cloud.temporal as t
C, P = t.ZeltoPluginConfig, t.ZeltoPlugin
print(C.__name__, C.__qualname__, C.__bases__ == (object,), C.__doc__)
print(P.__name__, P.__qualname__, P is t._MissingZeltoPlugin, P.__doc__, hasattr(t, "_zelto_plugin_import_error"))
causes = []
for attempt in (lambda: C(1, x=2), lambda: C.from_env(signing_key=None), lambda: P("config")):
    try:
        attempt()
    except ImportError as e:
        print(str(e))
        causes.append(e.__cause__)
print(causes[0] is causes[1], causes[2] is t._missing_zelto_plugin_import_error,
      type(causes[0]).__name__)
"""
        result = fresh_python(code)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        hint = "zelto_cloud.temporal requires zelto[temporal]. Install with: pip install 'zelto[temporal]'"
        assert lines == ["ZeltoPluginConfig ZeltoPluginConfig True None",
                         "ZeltoPlugin ZeltoPlugin True None False",
                         hint, hint, hint,
                         "True True ModuleNotFoundError"]

    def test_without_temporalio_the_extra_is_missing(self, fresh_python):
        result = fresh_python("import sys; sys.modules['temporalio'] = None\n"
                              "import zelto_cloud.temporal as t\n"
                              "print(t.ZeltoPluginConfig.__name__, t.ZeltoPlugin.__name__, "
                              "t.ZeltoPlugin.__module__)")
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["ZeltoPluginConfig", "ZeltoPlugin", "zelto_cloud.temporal"]

    def test_the_factory_builds_in_its_own_globals_whatever_sys_modules_holds(self, fresh_python):
        code = """
import sys, types
import zelto_cloud.temporal as t
own = vars(t)
for stand_in in (types.SimpleNamespace(__name__="zelto_cloud.temporal"), None):
    if stand_in is None:
        del sys.modules["zelto_cloud.temporal"]
    else:
        sys.modules["zelto_cloud.temporal"] = stand_in
    cls = t._make_cloud_plugin_config_class()
    print(cls.__name__, cls.__module__, cls.__post_init__.__globals__ is own)
"""
        result = fresh_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["ZeltoPluginConfig zelto_cloud.temporal True"] * 2


def test_many_configurations_leave_memory_flat(environment):
    from conftest import traced_growth

    environment.setenv("ZELTO_SIGNING_KEY", base64.b64encode(KEY.to_bytes()).decode())
    environment.setenv("ZELTO_DASHBOARD_ROOT_KEY", ROOT.hex())
    logging.getLogger("zelto_cloud.temporal").setLevel(logging.WARNING)

    def build(count):
        for _ in range(count):
            config = ZeltoPluginConfig.from_env(activity_fns=[len])
            assert config.trusted_roots == [KEY.public_key, ROOT]
            try:
                ZeltoPluginConfig(on_denial="shrug")
            except ValueError:
                pass

    try:
        assert traced_growth(build, 500) < 128 * 1024
    finally:
        logging.getLogger("zelto_cloud.temporal").setLevel(logging.NOTSET)
