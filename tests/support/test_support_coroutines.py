"""Native coroutines of the interpreter layer, each compared with the same
`async def` written in Python."""

import asyncio
import gc
import sys
import types
import warnings
import weakref

import pytest


# ---- the Python twins of the probe's coroutine functions ---------------------------

async def echo_after(awaitable, value=None):
    await awaitable
    return value


async def close_after(resource, awaitable):
    try:
        return await awaitable
    finally:
        await resource.close()


async def close_after_sync(resource, awaitable):
    try:
        return await awaitable
    finally:
        resource.close()


async def async_with_body(manager, awaitable):
    result = None
    async with manager as value:
        await awaitable
        result = value
    return result


async def with_body(manager, awaitable):
    result = None
    with manager as value:
        await awaitable
        result = value
    return result


async def handled_across_await(awaitable):
    try:
        raise ValueError("inner")
    except ValueError:
        await awaitable
        return sys.exception()


async def finally_kinds(body_kind, cleanup_kind, body, cleanup):
    try:
        return await body() if body_kind else body()
    finally:
        await cleanup() if cleanup_kind else cleanup()


async def nested_finally(inner, outer, awaitable):
    try:
        try:
            return await awaitable
        finally:
            await inner()
    finally:
        await outer()


PYTHON = types.SimpleNamespace(**{f.__name__: f for f in (
    echo_after, close_after, close_after_sync, async_with_body, with_body, handled_across_await,
    finally_kinds, nested_finally)})


@pytest.fixture(params=["native", "python"])
def impl(request, probe):
    return probe if request.param == "native" else PYTHON


class Resource:
    """Records its clean-up; close() may fail or suspend once."""

    def __init__(self, fail=None, suspend=False):
        self.closed = 0
        self.fail = fail
        self.suspend = suspend
        self.handled_during_close = None

    async def close(self):
        self.closed += 1
        self.handled_during_close = sys.exception()
        if self.suspend:
            await asyncio.sleep(0)
        if self.fail:
            raise self.fail


async def fail_with(exc):
    raise exc


def run(coro):
    return asyncio.run(coro)


def drive_to_first_await(coro):
    """Runs coro by hand until it suspends at a bare future (never completed)."""
    yielded = coro.send(None)
    assert yielded is not None
    return yielded


class Ready:
    """Completes at once without suspending."""

    def __await__(self):
        return iter(())


class Once:
    """Yields once, then completes with None."""

    def __await__(self):
        yield self


class NeverDone:
    """An awaitable that yields once and then waits forever (outside any loop)."""

    def __await__(self):
        while True:
            yield self


class TestCleanupAcrossAwaits:
    def test_body_result_after_cleanup(self, impl):
        resource = Resource()
        assert run(impl.close_after(resource, asyncio.sleep(0, "value"))) == "value"
        assert resource.closed == 1
        assert resource.handled_during_close is None

    def test_pending_error_passes_unchanged(self, impl):
        resource = Resource()
        error = KeyError("body")
        with pytest.raises(KeyError) as info:
            run(impl.close_after(resource, fail_with(error)))
        assert info.value is error and info.value.__context__ is None
        assert resource.closed == 1
        assert resource.handled_during_close is error

    def test_cleanup_error_replaces_pending_with_it_as_context(self, impl):
        body_error, cleanup_error = KeyError("body"), OSError("close failed")
        with pytest.raises(OSError) as info:
            run(impl.close_after(Resource(fail=cleanup_error), fail_with(body_error)))
        assert info.value is cleanup_error
        assert info.value.__context__ is body_error

    def test_cleanup_error_after_success_has_no_context(self, impl):
        with pytest.raises(OSError) as info:
            run(impl.close_after(Resource(fail=OSError("x")), asyncio.sleep(0)))
        assert info.value.__context__ is None

    @pytest.mark.parametrize("suspend", [False, True])
    def test_cancellation_runs_cleanup_and_passes_unchanged(self, impl, suspend):
        resource = Resource(suspend=suspend)

        async def main():
            task = asyncio.ensure_future(impl.close_after(resource, asyncio.Event().wait()))
            await asyncio.sleep(0)
            task.cancel("stop")
            with pytest.raises(asyncio.CancelledError) as info:
                await task
            return info.value

        error = run(main())
        assert resource.closed == 1
        assert isinstance(resource.handled_during_close, asyncio.CancelledError)
        assert error.args == ("stop",) or task_cancel_message_lost(error)

    def test_sync_cleanup(self, impl):
        closed = []

        class SyncResource:
            def close(self):
                closed.append(sys.exception())

        with pytest.raises(KeyError):
            run(impl.close_after_sync(SyncResource(), fail_with(KeyError("k"))))
        assert isinstance(closed[0], KeyError)

    def test_close_during_await_runs_cleanup(self, impl):
        resource = Resource()
        coro = impl.close_after(resource, NeverDone())
        drive_to_first_await(coro)
        coro.close()
        assert resource.closed == 1
        assert isinstance(resource.handled_during_close, GeneratorExit)

    def test_close_with_cleanup_that_suspends_is_refused(self, impl):
        coro = impl.close_after(Resource(suspend=True), NeverDone())
        drive_to_first_await(coro)
        with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
            coro.close()
        coro.close()  # the clean-up's own await is closed now

    def test_throw_during_await_runs_cleanup(self, impl):
        resource = Resource()
        coro = impl.close_after(resource, NeverDone())
        drive_to_first_await(coro)
        error = LookupError("thrown")
        with pytest.raises(LookupError) as info:
            coro.throw(error)
        assert info.value is error and resource.closed == 1


# What a body or clean-up does: returns, raises when called, or (awaited ones)
# raises or returns from the awaitable, after suspending once or not.
STEP_OUTCOMES = {
    False: ["value", "call_error"],
    True: ["value", "call_error", "await_error", "suspend_value", "suspend_error", "not_awaitable"],
}


def step_function(awaits, outcome, name, log):
    """A body or clean-up for finally_kinds: logs the exception being handled when it runs."""

    def fail(stage):
        raise (KeyError if name == "body" else OSError)(f"{name} {stage}")

    async def awaited():
        log.append((name, "awaited", repr(sys.exception())))
        if outcome.startswith("suspend"):
            await asyncio.sleep(0)
        if outcome.endswith("error"):
            fail("awaited")
        return f"{name} value"

    def called():
        log.append((name, "called", repr(sys.exception())))
        if outcome == "call_error":
            fail("call")
        if outcome == "not_awaitable":
            return 1
        return awaited() if awaits else f"{name} value"

    return called


def outcome_of(coro):
    """The result or the exception (with its context chain) of running coro, as comparable text."""
    try:
        return ("returned", run(coro))
    except Exception as exc:
        chain = []
        while exc is not None:
            chain.append(repr(exc))
            exc = exc.__context__
        return ("raised", chain)


# How the native body or clean-up is written: runs straight through, a helper
# Task that awaits, or an await in place in the awaiting coroutine.
STEP_KINDS = {"plain": 0, "task": 1, "in_place": 2}

FINALLY_KINDS = [(body_kind, cleanup_kind, body, cleanup)
                 for body_kind in STEP_KINDS for cleanup_kind in STEP_KINDS
                 for body in STEP_OUTCOMES[body_kind != "plain"]
                 for cleanup in STEP_OUTCOMES[cleanup_kind != "plain"]]


@pytest.mark.parametrize(("body_kind", "cleanup_kind", "body", "cleanup"), FINALLY_KINDS)
def test_finally_of_every_kind_runs_as_in_python(probe, body_kind, cleanup_kind, body, cleanup):
    """Bodies and clean-ups that await (in a helper Task or in place) or not, failing at every
    stage: the same result or exception chain, and each step sees the same exception being
    handled, as the `async def`."""
    seen = {}
    for name, impl in (("native", probe), ("python", PYTHON)):
        log = []
        awaits = body_kind != "plain", cleanup_kind != "plain"
        outcome = outcome_of(impl.finally_kinds(
            STEP_KINDS[body_kind], STEP_KINDS[cleanup_kind], step_function(awaits[0], body, "body", log),
            step_function(awaits[1], cleanup, "cleanup", log)))
        seen[name] = (outcome, log)
    assert seen["native"] == seen["python"]


@pytest.mark.parametrize("body_fails", [False, True])
@pytest.mark.parametrize("inner", ["value", "suspend_error"])
@pytest.mark.parametrize("outer", ["value", "suspend_error"])
def test_nested_finally_runs_as_in_python(probe, body_fails, inner, outer):
    seen = {}
    for name, impl in (("native", probe), ("python", PYTHON)):
        log = []
        awaitable = fail_with(KeyError("body")) if body_fails else asyncio.sleep(0, "body value")
        outcome = outcome_of(impl.nested_finally(step_function(True, inner, "inner", log),
                                                 step_function(True, outer, "outer", log), awaitable))
        seen[name] = (outcome, log)
    assert seen["native"] == seen["python"]


def test_close_in_nested_clean_up_unwinds_every_level(probe):
    """close() while the inner clean-up is suspended: both clean-ups' frames end, the outer one runs."""
    for impl in (probe, PYTHON):
        log = []
        closed = []

        async def inner():
            log.append("inner")
            try:
                await NeverDone()
            finally:
                closed.append(repr(sys.exception()))

        async def outer():
            log.append(("outer", repr(sys.exception())))

        coro = impl.nested_finally(inner, outer, asyncio.sleep(0))
        coro.send(None)  # the body's sleep
        coro.send(None)  # into the inner clean-up
        coro.close()
        assert log == ["inner", ("outer", "GeneratorExit()")]
        assert closed == ["GeneratorExit()"]
        assert coro.cr_await is None and not coro.cr_suspended


def task_cancel_message_lost(error):
    return isinstance(error, asyncio.CancelledError)


class Manager:
    def __init__(self, suppress=False, exit_error=None):
        self.calls = []
        self.suppress = suppress
        self.exit_error = exit_error

    def __enter__(self):
        self.calls.append("enter")
        return "entered"

    def __exit__(self, exc_type, exc, tb):
        self.calls.append(("exit", exc_type, exc, tb is not None if exc else tb, sys.exception()))
        if self.exit_error:
            raise self.exit_error
        return self.suppress

    async def __aenter__(self):
        await asyncio.sleep(0)
        return self.__enter__()

    async def __aexit__(self, *args):
        await asyncio.sleep(0)
        return self.__exit__(*args)


@pytest.mark.parametrize("variant", ["async_with_body", "with_body"])
class TestContextManagers:
    def test_value_and_clean_exit(self, impl, variant):
        manager = Manager()
        assert run(getattr(impl, variant)(manager, asyncio.sleep(0))) == "entered"
        assert manager.calls == ["enter", ("exit", None, None, None, None)]

    def test_exception_reaches_exit_and_propagates(self, impl, variant):
        manager = Manager()
        error = KeyError("k")
        with pytest.raises(KeyError) as info:
            run(getattr(impl, variant)(manager, fail_with(error)))
        assert info.value is error
        assert manager.calls[1] == ("exit", KeyError, error, True, error)

    def test_suppressed(self, impl, variant):
        manager = Manager(suppress=True)
        assert run(getattr(impl, variant)(manager, fail_with(KeyError("k")))) is None

    def test_exit_error_has_body_error_as_context(self, impl, variant):
        error = KeyError("k")
        with pytest.raises(OSError) as info:
            run(getattr(impl, variant)(Manager(exit_error=OSError("exit")), fail_with(error)))
        assert info.value.__context__ is error

    def test_not_a_manager(self, impl, variant):
        errors = []
        for manager in (object(), type("OnlyEnter", (), {
                "__enter__": lambda s: s, "__aenter__": lambda s: s})()):
            with pytest.raises(TypeError) as info:
                run(getattr(impl, variant)(manager, None))
            errors.append(str(info.value))
        kind = "asynchronous context manager" if variant == "async_with_body" else "context manager"
        method = "__aexit__" if variant == "async_with_body" else "__exit__"
        assert errors == [f"'object' object does not support the {kind} protocol",
                          f"'OnlyEnter' object does not support the {kind} protocol "
                          f"(missed {method} method)"]



class Truthless:
    def __bool__(self):
        raise ValueError("no truth")


class ScriptedManager:
    """A manager whose entering or exiting fails, suspends or answers oddly, logging what it saw."""

    def __init__(self, how):
        self.how, self.log = how, []

    def enter(self):
        self.log.append(("enter", repr(sys.exception())))
        if self.how == "enter_error":
            raise LookupError("enter")
        return "entered"

    def exit(self, exc_type, exc, tb):
        self.log.append(("exit", repr(exc), repr(sys.exception())))
        if self.how == "exit_error":
            raise OSError("exit")
        return Truthless() if self.how == "truthless" else self.how == "suppress"

    def __enter__(self):
        return self.enter()

    def __exit__(self, *args):
        return self.exit(*args)

    async def __aenter__(self):
        if self.how == "enter_suspends_error":
            await asyncio.sleep(0)
            raise LookupError("enter after suspending")
        return self.enter()

    async def __aexit__(self, *args):
        await asyncio.sleep(0)
        return self.exit(*args)


WITH_CASES = [(variant, how, body_fails)
              for variant in ("async_with_body", "with_body")
              for how in ("plain", "enter_error", "enter_suspends_error", "exit_error", "suppress", "truthless")
              for body_fails in (False, True)]


@pytest.mark.parametrize(("variant", "how", "body_fails"), WITH_CASES)
def test_with_blocks_run_as_in_python(probe, variant, how, body_fails):
    """Entering, the body and exiting failing or not: the same outcome, exception chain and calls
    (with the exception each saw being handled) as the Python statement."""
    seen = {}
    for name, impl in (("native", probe), ("python", PYTHON)):
        manager = ScriptedManager(how)
        awaitable = fail_with(KeyError("body")) if body_fails else asyncio.sleep(0)
        seen[name] = (outcome_of(getattr(impl, variant)(manager, awaitable)), manager.log)
        awaitable.close()  # never awaited when entering failed
    assert seen["native"] == seen["python"]


@pytest.mark.parametrize("where", ["body", "__aexit__"])
def test_close_inside_async_with(probe, where):
    """close() while the body or __aexit__ is suspended: __aexit__ sees GeneratorExit, or the
    suspension inside it is refused, as for the Python statement."""
    seen = {}
    for name, impl in (("native", probe), ("python", PYTHON)):
        manager = ScriptedManager("plain")
        coro = impl.async_with_body(manager, Once() if where == "__aexit__" else NeverDone())
        coro.send(None)  # in the body
        if where == "__aexit__":
            coro.send(None)  # the body ends; __aexit__ suspends
        try:
            coro.close()
            closed = "closed"
        except RuntimeError as exc:
            closed = str(exc)
        seen[name] = (closed, manager.log, coro.cr_suspended)
    assert seen["native"] == seen["python"]

class TestSyncWith:
    def python_with_sync(self, manager, body):
        with manager as value:
            return body(value)

    @pytest.mark.parametrize("variant", ["native", "python"])
    def test_like_a_with_statement(self, probe, variant):
        with_sync = probe.with_sync if variant == "native" else self.python_with_sync
        manager = Manager()
        assert with_sync(manager, str.upper) == "ENTERED"
        assert manager.calls[-1] == ("exit", None, None, None, None)
        error = KeyError("k")

        def fail(value):
            raise error

        with pytest.raises(KeyError):
            with_sync(manager, fail)
        assert manager.calls[-1] == ("exit", KeyError, error, True, error)
        assert with_sync(Manager(suppress=True), fail) is None
        with pytest.raises(OSError) as info:
            with_sync(Manager(exit_error=OSError("exit")), fail)
        assert info.value.__context__ is error


@pytest.mark.parametrize("method", ["__aenter__", "__aexit__"])
def test_async_with_refuses_what_cannot_be_awaited(impl, method):
    manager = type("Broken", (Manager,), {method: lambda self, *args: 1})()
    with pytest.raises(TypeError) as info:
        run(impl.async_with_body(manager, Ready()))
    assert str(info.value) == (f"'async with' received an object from {method} that does not "
                               "implement __await__: int")


class TestHandledExceptionPerCoroutine:
    def test_not_visible_to_other_tasks(self, impl):
        async def main():
            gate = asyncio.Event()
            held = asyncio.ensure_future(impl.handled_across_await(gate.wait()))
            await asyncio.sleep(0)
            seen = sys.exception()
            try:
                raise RuntimeError("other task")
            except RuntimeError as exc:
                context = exc.__context__
            gate.set()
            return seen, context, await held

        seen, context, inner = run(main())
        assert seen is None and context is None
        assert isinstance(inner, ValueError) and str(inner) == "inner"

    def test_not_visible_to_the_driver_while_suspended(self, impl):
        coro = impl.handled_across_await(NeverDone())
        drive_to_first_await(coro)
        assert sys.exception() is None
        coro.close()

    def test_driver_exception_not_kept_by_the_coroutine(self, probe):
        coro = probe.echo_after(Once())
        try:
            raise KeyError("driver")
        except KeyError:
            drive_to_first_await(coro)
        with pytest.raises(StopIteration):
            coro.send(None)
        assert sys.exception() is None


class TestCoroutineProtocol:
    def test_throw_into_finished(self, impl):
        coro = impl.echo_after(asyncio.sleep(0), 1)
        with pytest.raises(StopIteration):
            while True:
                coro.send(None)
        for attempt in (lambda: coro.throw(ValueError("x")), lambda: coro.send(None)):
            with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
                attempt()
        coro.close()

    def test_throw_before_start_ends_the_coroutine(self, impl):
        coro = impl.echo_after(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("first"))
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)

    def test_throw_type_value_traceback(self, impl):
        try:
            raise OSError("with traceback")
        except OSError as exc:
            traceback = exc.__traceback__
        value = KeyError("kept")
        results = []
        for args in ((KeyError, value), (KeyError, "made"), (KeyError, None, traceback)):
            coro = impl.echo_after(NeverDone())
            drive_to_first_await(coro)
            with pytest.warns(DeprecationWarning, match=r"the \(type, exc, tb\) signature"):
                with pytest.raises(KeyError) as info:
                    coro.throw(*args)
            results.append(info.value)
        assert results[0] is value
        assert results[1].args == ("made",)
        assert traceback in walk(results[2].__traceback__)

    @pytest.mark.parametrize(("args", "message"), [
        ((), "throw expected at least 1 argument, got 0"),
        ((KeyError, None, None, None), "throw expected at most 3 arguments, got 4"),
        ((KeyError(), "value"), "instance exception may not have a separate value"),
        ((KeyError, None, "tb"), "throw() third argument must be a traceback object"),
        ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ])
    def test_throw_argument_errors(self, impl, args, message):
        coro = impl.echo_after(NeverDone())
        drive_to_first_await(coro)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with pytest.raises(TypeError) as info:
                coro.throw(*args)
        assert str(info.value) == message
        coro.close()

    def test_close_during_await_closes_the_awaited_generator(self, impl):
        events = []

        @types.coroutine
        def generator_based():
            try:
                yield "suspended"
            finally:
                events.append("closed")

        coro = impl.echo_after(generator_based())
        assert coro.send(None) == "suspended"
        coro.close()
        assert events == ["closed"]

    def test_awaits_a_generator_based_coroutine(self, impl):
        @types.coroutine
        def generator_based():
            yield
            return "done"

        assert run(impl.close_after_sync(types.SimpleNamespace(close=lambda: None),
                                         generator_based())) == "done"

    def test_awaiting_twice_is_refused(self, impl):
        async def main():
            inner = impl.echo_after(asyncio.sleep(0.01), "x")
            first = asyncio.ensure_future(echo_after(inner, "a"))
            await asyncio.sleep(0)
            for second_awaiter in (lambda: impl.echo_after(inner), lambda: echo_after(inner)):
                with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
                    await second_awaiter()
            with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
                await inner
            return await first

        assert run(main()) == "a"

    def test_never_awaited_warning(self, impl):
        with pytest.warns(RuntimeWarning, match="^coroutine 'echo_after' was never awaited$"):
            impl.echo_after(None)
            gc.collect()

    def test_send_value_to_just_started(self, impl):
        coro = impl.echo_after(None)
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
            coro.send(1)
        coro.close()

    def test_coroutine_attributes(self, impl):
        awaited = NeverDone()
        coro = impl.echo_after(awaited)
        assert (coro.cr_running, coro.cr_suspended, coro.cr_await) == (False, False, None)
        drive_to_first_await(coro)
        assert coro.cr_suspended and coro.cr_await.gi_frame.f_locals["self"] is awaited
        coro.close()
        assert not coro.cr_suspended
        assert asyncio.iscoroutinefunction(impl.echo_after)


def walk(traceback):
    while traceback is not None:
        yield traceback
        traceback = traceback.tb_next


class TestGarbageCollection:
    def collected(self, make):
        ref = make()
        gc.collect()
        return ref() is None

    def test_cycle_through_arguments(self, impl):
        closed = []

        def make():
            resource = types.SimpleNamespace()

            async def close():
                closed.append(1)

            resource.close = close
            coro = impl.close_after(resource, NeverDone())
            resource.coro = coro  # coroutine -> its argument -> coroutine
            drive_to_first_await(coro)
            return weakref.ref(coro)

        assert self.collected(make)
        assert closed == [1]

    def test_cycle_through_held_value(self, probe):
        def make():
            holder = types.SimpleNamespace()
            coro = probe.hold_then_await(holder, NeverDone())
            holder.coro = coro
            drive_to_first_await(coro)
            return weakref.ref(coro)

        assert self.collected(make)

    def test_helper_given_the_frame_by_reference(self, probe):
        class Payload:
            pass

        obj = Payload()
        ref = weakref.ref(obj)
        coro = probe.through_helper(obj, Once())
        drive_to_first_await(coro)
        del obj
        gc.collect()
        assert ref() is not None
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == (ref(), None)
        del stop, coro
        gc.collect()
        assert ref() is None

    def test_task_future_callback_cycle(self, impl):
        async def main():
            def make():
                future = asyncio.get_running_loop().create_future()
                task = asyncio.ensure_future(impl.echo_after(future, 1))
                return task, weakref.ref(task)

            task, ref = make()
            await asyncio.sleep(0)  # task now waits on future; future's callback holds task
            task_coro = weakref.ref(task.get_coro())
            del task
            gc.collect()
            return ref() is None and task_coro() is None

        loop = asyncio.new_event_loop()
        loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
        try:
            assert loop.run_until_complete(main())
        finally:
            loop.close()

    def test_unstarted_coroutine_in_a_cycle(self, impl):
        def make():
            holder = types.SimpleNamespace()
            holder.coro = impl.echo_after(holder)
            return weakref.ref(holder.coro)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            assert self.collected(make)


def _run_to_return(coro):
    with pytest.raises(StopIteration):
        while True:
            coro.send(None)


def _end_raising(coro):
    with pytest.raises(ValueError):
        coro.throw(ValueError("thrown"))


@pytest.mark.parametrize("awaitable, end", [
    (Once, None),  # never started
    (NeverDone, drive_to_first_await),  # suspended in an await
    (Once, _run_to_return),  # returned
    (NeverDone, _end_raising),  # ended with an exception
    (NeverDone, lambda coro: (drive_to_first_await(coro), coro.close())),  # closed
])
def test_weak_references_end_with_the_coroutine_in_every_state(impl, awaitable, end):
    # Whatever state a coroutine is freed in (unfinished ones are closed
    # first), each weak reference's callback runs once, after which the
    # reference is dead.
    heard = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        coro = impl.echo_after(awaitable(), 7)
        if end is not None:
            end(coro)
        ref = weakref.ref(coro, heard.append)
        del coro
    assert heard == [ref]
    assert ref() is None


def test_deep_chains_end_in_recursion_error_not_a_crash(fresh_python, probe):
    # Each coroutine awaits the next: driving it recurses in C, and freeing it
    # would too without the trashcan.
    code = f"""
import asyncio, sys
sys.path.insert(0, {str(__import__('pathlib').Path(probe.__file__).parent)!r})
import warnings
warnings.simplefilter("ignore")
import support_probe

class Ready:
    def __await__(self):
        return iter(())

coro = Ready()
for _ in range(100_000):
    coro = support_probe.echo_after(coro)
try:
    asyncio.run(coro)
except RecursionError as exc:
    print("RecursionError:", exc)
del coro
print("freed")
"""
    result = fresh_python(code, timeout=240)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [
        "RecursionError: maximum recursion depth exceeded while awaiting a coroutine", "freed"]


def drive_ready(coro):
    """Runs a coroutine that never suspends to its result."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("suspended")


def type_error(call):
    with pytest.raises(TypeError) as caught:
        call()
    return str(caught.value)


# (call, expected result): every way a call binds its arguments, coroutine
# frames of several sizes among them, nested helpers (try/finally) too.
BINDINGS = [
    (lambda p, v: drive_ready(p.echo_after(Ready(), v)), "v"),                # all by position
    (lambda p, v: drive_ready(p.echo_after(Ready())), None),                  # a default
    (lambda p, v: drive_ready(p.echo_after(Ready(), value=v)), "v"),          # by keyword
    (lambda p, v: drive_ready(p.echo_after(value=v, awaitable=Ready())), "v"),
    (lambda p, v: drive_ready(p.await_all(Ready(), p.echo_after(Ready(), v))), [None, "v"]),  # *args
    (lambda p, v: p.positional_only(v), ("v", None)),
    # More parameters than a frame keeps inline, every way they bind.
    (lambda p, v: p.spread(v, v, v, v, v, v, g=v), ("v",) * 7),
    (lambda p, v: p.spread(v, v, v, v, e=v), ("v",) * 5 + (None, 0)),
    (lambda p, v: p.spread(g=v, f=v, e=v, d=v, c=v, b=v, a=v), ("v",) * 7),
    (lambda p, v: type_error(lambda: p.spread(v, v, v, v, v, v, v)), "spread() takes from 5 to 6 "
     "positional arguments but 7 were given"),
    (lambda p, v: type_error(lambda: p.spread(v, v, v, v, f=v)), "spread() missing 1 required "
     "positional argument: 'e'"),
    (lambda p, v: drive_ready(p.spread_after(Ready(), v, v, v, v, v)), ("v",) * 5 + (0,)),
    (lambda p, v: drive_ready(p.spread_after(Ready(), v, v, v, d=v, f=v)), ("v",) * 4 + (None, "v")),
    (lambda p, v: type_error(lambda: p.spread_after(Ready(), v, v, v, v, v, v)), "spread_after() takes "
     "from 5 to 6 positional arguments but 7 were given"),
    (lambda p, v: p.positional_only(v, b=v), ("v", "v")),
    (lambda p, v: drive_ready(p.close_after(Resource(), p.echo_after(Ready(), v))), "v"),
    # Plain functions run straight through with arguments borrowed from the
    # caller; what they keep (a closure cell) takes its own reference.
    (lambda p, v: p.make_adder(v)(v), "vv"),
    (lambda p, v: p.make_adder(n=v)(x=v), "vv"),
    (lambda p, v: drive_ready(p.echo_after(p.make_adder(v)(v) and Ready(), v)), "v"),
]


@pytest.mark.parametrize(("call", "expected"), BINDINGS)
def test_bound_arguments_are_owned_once_across_reused_frames(probe, call, expected):
    value = "".join(["v"])  # a str of its own, so its count is this test's alone
    for _ in range(3):
        assert call(probe, value) == expected
    gc.collect()
    before = sys.getrefcount(value)
    # Many calls: frames and their blocks are made, ended and made again.
    results = [call(probe, value) for _ in range(2000)]
    assert all(result == expected for result in results)
    del results
    gc.collect()
    assert sys.getrefcount(value) == before


class CatchOnce:
    """Suspends once; a LookupError thrown in then ends the await normally."""

    def __await__(self):
        try:
            yield "suspended"
        except LookupError:
            return None


class Done:
    def __await__(self):
        return iter(())


def _end_with(coro, how):
    if how == "send":
        coro.send(None)
    elif how == "next":
        next(coro.__await__())
    else:
        assert coro.send(None) == "suspended"
        coro.throw(KeyError("thrown"))


@pytest.mark.parametrize("value", [None, 5, (1, 2), StopIteration("inner")])
@pytest.mark.parametrize("how", ["send", "next", "throw"])
@pytest.mark.parametrize("handling", [False, True])
def test_return_ends_in_stop_iteration_as_in_python(probe, value, how, handling):
    """The StopIteration that carries a result out of send(), next() and throw(): its
    args and value, and its context (the exception being handled by the driver, if any)."""

    def outcome(impl):
        coro = impl.echo_after(CatchOnce() if how == "throw" else Done(), value)
        try:
            if handling:
                try:
                    raise ValueError("handled")
                except ValueError:
                    _end_with(coro, how)
            else:
                _end_with(coro, how)
        except StopIteration as stop:
            return (type(stop), stop.args, stop.value, type(stop.__context__), stop.__cause__,
                    stop.__suppress_context__)
        return "no StopIteration"

    native, python = outcome(probe), outcome(PYTHON)
    assert native == python
    assert native[2] is value or (value is None and native[2] is None)



class _Steps:
    """Yields `yields` (recording what send() gives it), then raises `end`."""

    def __init__(self, yields, end):
        self.yields, self.end, self.sent = list(yields), end, []

    def __next__(self):
        if self.yields:
            return self.yields.pop(0)
        raise self.end

    def send(self, value):
        self.sent.append(value)
        return next(self)


class _Awaits:
    def __init__(self, make):
        self.make = make

    def __await__(self):
        self.made = self.make()
        return self.made


def _return_seven():
    yield "step"
    return 7


@pytest.mark.parametrize("make, sends", [
    (lambda: iter(()), []),  # ends at once, nothing set: None
    (lambda: iter([1, 2]), [None, None]),  # yields through to the driver
    (lambda: _Steps([], StopIteration(7)), []),
    (lambda: _Steps([], StopIteration()), []),
    (lambda: _Steps([], type("Sub", (StopIteration,), {})(8)), []),
    (lambda: _Steps([], LookupError("failed")), []),
    (lambda: _Steps(["a"], StopIteration(9)), [5]),  # a value sent goes to its send()
    (_return_seven, [None]),  # a generator (sent to directly)
])
def test_awaited_iterators_end_as_in_python(probe, make, sends):
    """What __await__ returns is driven as the interpreter drives it: its yields reach the
    driver, what the driver sends reaches it, and its end is the await's result."""

    def outcome(impl):
        awaitable, seen, value = _Awaits(make), [], None
        coro = impl.close_after(Resource(), awaitable)
        try:
            for value in [None, *sends]:
                seen.append(coro.send(value))
        except StopIteration as stop:
            seen.append(("returned", stop.value))
        except LookupError as exc:
            seen.append(("raised", exc.args))
        return seen, getattr(awaitable.made, "sent", None)

    assert outcome(probe) == outcome(PYTHON)


class _Cyclic(NeverDone):
    held = None


def _collected_in_a_cycle(coro, awaitable):
    awaitable.held = coro  # the coroutine holds its awaitable, which holds it
    del coro, awaitable
    gc.collect()  # the collector runs its finalizer (close), then frees it


@pytest.mark.parametrize("awaitable, end", [
    (Ready, lambda coro, _: _run_to_return(coro)),
    (NeverDone, lambda coro, _: _end_raising(coro)),
    (NeverDone, lambda coro, _: coro.close()),
    (NeverDone, lambda coro, _: None),  # dropped while suspended: finalized on release
    (Ready, None),  # never started: warned about
    (_Cyclic, _collected_in_a_cycle),
])
def test_a_coroutine_made_after_another_ended_is_finalized_on_its_own(impl, awaitable, end):
    """However the coroutines before it ended (their objects may be reused), a coroutine
    dropped while suspended runs its finally clause and ends its weak references, once."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for _ in range(3):
            made = awaitable()
            coro = impl.close_after(Resource(), made)
            if end is not None:
                if awaitable is not Ready:
                    drive_to_first_await(coro)
                end(coro, made)
            del coro, made
    for _ in range(3):
        resource, heard = Resource(), []
        coro = impl.close_after(resource, NeverDone())
        drive_to_first_await(coro)
        ref = weakref.ref(coro, heard.append)
        del coro
        assert (resource.closed, heard, ref()) == (1, [ref], None)
