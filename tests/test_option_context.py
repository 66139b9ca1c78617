import asyncio
import functools
import itertools
import re
import threading
import types
import warnings

import pytest

import drovik.options
from drovik.context import option_context

EXISTING_FILE = "/opt/lib/libfast.so"
MISSING_FILE = "/opt/lib/libgone.so"


@pytest.fixture(autouse=True)
def fake_os(monkeypatch):
    fake = types.SimpleNamespace(
        cpu_count=lambda: 4,
        path=types.SimpleNamespace(exists=lambda p: p == EXISTING_FILE),
    )
    monkeypatch.setattr(drovik.options, "os", fake)


def fresh_table(monkeypatch, preset):
    # Presets are written straight into the table, as the checks' own
    # corrections are, so they may hold values a set would have changed.
    table = dict(preset)
    monkeypatch.setattr(drovik.options, "_SKORV_OPTIONS", table)
    return table


def plain_set(monkeypatch, preset, args, kwargs, action="always"):
    """Table, exception and warnings of an ordinary set on a copy of preset."""
    table = fresh_table(monkeypatch, preset)
    error = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(action)
        try:
            drovik.options.skorv_set_option(*args, **kwargs)
        except Exception as exc:
            error = exc
    return table, error, [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize(
    "preset, args, kwargs",
    [
        ({}, ("num.threads", "2:1"), {}),
        ({"verbose": False, "debug": True}, (), {"verbose": True}),
        ({"keep": None}, ("keep", True), {}),
        ({"smtp": "x"}, (), {"keep": True, "smtp": "y", "skorv.call": "/bin/e"}),
        ({}, (), {"skorv.mode": "experimental"}),
        ({"skorv.mode": "experimental"}, (), {"verbose": True}),
        ({}, ("malloc.lib", None), {}),
        ({"malloc.lib": "default", "keep": 1}, (), {"verbose": True}),
        ({"malloc.lib": MISSING_FILE}, (), {"verbose": True}),
        ({}, ("malloc.lib", EXISTING_FILE), {}),
    ],
)
def test_inside_like_plain_set_and_exact_restore_after(monkeypatch, preset, args, kwargs):
    expected_inside, _, _ = plain_set(monkeypatch, preset, args, kwargs)
    table = fresh_table(monkeypatch, preset)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with option_context(*args, **kwargs):
            assert table == expected_inside
    assert table == preset
    assert list(table) == list(preset)


@pytest.mark.parametrize("exc", [ValueError("in block"), KeyboardInterrupt()])
def test_block_exception_passes_out_unchanged_and_restores(monkeypatch, exc):
    table = fresh_table(monkeypatch, {"verbose": False})
    with pytest.raises(type(exc)) as info:
        with option_context(**{"verbose": True, "skorv.mode": "experimental"}):
            table["keep"] = "set in block"
            raise exc
    assert info.value is exc
    assert table == {"verbose": False, "keep": "set in block"}


@pytest.mark.parametrize(
    "preset, args, kwargs, action",
    [
        ({}, (), {"skorv.mode": "Compact"}, "always"),
        ({"skorv.mode": "classic"}, ("skorv.mode", None), {}, "always"),
        ({"skorv.mode": "bogus"}, ("num.threads", "2:1"), {}, "always"),
        ({"verbose": 0}, (), {"keep": True, "skorv.mode": None, "verbose": True}, "always"),
        ({}, ("malloc.lib", MISSING_FILE), {}, "error"),
        ({"working.directory": "/tmp/d\u00e9j\u00e0"}, ("keep", True), {}, "error"),
    ],
)
def test_refused_at_entry_raises_like_plain_set_and_restores(monkeypatch, preset, args, kwargs, action):
    plain_table, plain_error, _ = plain_set(monkeypatch, preset, args, kwargs, action)
    assert plain_error is not None
    table = fresh_table(monkeypatch, preset)
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        with pytest.raises(type(plain_error)) as info:
            with option_context(*args, **kwargs):
                pytest.fail("block must not run")
    assert info.value.args == plain_error.args
    assert table == preset


@pytest.mark.parametrize(
    "args, kwargs, error, says",
    [
        (("num_threads", "2:1"), {}, KeyError, "Unknown option 'num_threads'"),
        ((), {"keep": True, "Verbose": 1}, KeyError, "Unknown option 'Verbose'"),
        (("keep",), {}, TypeError, "Use either option_context('key', value)"),
        (("keep", True), {"verbose": True}, TypeError, "Use either option_context('key', value)"),
        ((), {}, TypeError, "Use either option_context('key', value)"),
        ((print,), {}, TypeError, "Use either option_context('key', value)"),
        ((1, True), {}, TypeError, "option_context('key', value) needs a str key, not int"),
    ],
)
def test_bad_call_refused_when_made(monkeypatch, args, kwargs, error, says):
    table = fresh_table(monkeypatch, {"keep": "before"})
    with pytest.raises(error, match=re.escape(says)):
        option_context(*args, **kwargs)
    assert table == {"keep": "before"}


@pytest.mark.parametrize(
    "preset, args, kwargs",
    [
        ({}, ("malloc.lib", MISSING_FILE), {}),
        ({}, ("malloc.lib", "JE"), {}),
        ({}, ("malloc.lib", EXISTING_FILE), {}),
        ({"malloc.lib": ""}, ("working.directory", "/tmp/d\u00e9j\u00e0"), {}),
        ({}, (), {"verbose": True}),
    ],
)
def test_entry_warnings_match_plain_set_and_exit_warns_nothing(monkeypatch, preset, args, kwargs):
    _, _, expected = plain_set(monkeypatch, preset, args, kwargs)
    table = fresh_table(monkeypatch, preset)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with option_context(*args, **kwargs):
            pass
    assert [(w.category, str(w.message)) for w in caught] == expected
    assert table == preset


def test_nesting_inner_restores_outer_state(monkeypatch):
    table = fresh_table(monkeypatch, {})
    with option_context(**{"verbose": True, "skorv.mode": "classic"}):
        with option_context(**{"verbose": False, "skorv.mode": "experimental"}):
            assert table == {"verbose": False, "skorv.mode": "compact"}
        assert table == {"verbose": True, "skorv.mode": "classic"}
    assert table == {}


def test_same_object_reentered(monkeypatch):
    table = fresh_table(monkeypatch, {"keep": "outer"})
    ctx = option_context("keep", True)
    with ctx:
        table["keep"] = "changed in block"
        with ctx:
            assert table["keep"] is True
        assert table["keep"] == "changed in block"
    assert table == {"keep": "outer"}


def test_decorator_enters_on_every_call_including_recursion(monkeypatch):
    table = fresh_table(monkeypatch, {})
    seen = []

    @option_context("skorv.timeout", 5)
    def run(depth):
        seen.append(dict(table))
        table["skorv.timeout"] = depth
        if depth == 2:
            raise RuntimeError("deepest")
        try:
            run(depth + 1)
        except RuntimeError:
            pass
        # The inner call's exit, by exception, put back this call's value.
        assert table["skorv.timeout"] == depth
        return depth

    assert run(0) == 0
    assert seen == [{"skorv.timeout": 5}] * 3
    assert table == {}
    assert run.__name__ == "run"


def test_table_looked_up_at_entry(monkeypatch):
    ctx = option_context(keep=True)
    first = fresh_table(monkeypatch, {})
    with ctx:
        assert first == {"keep": True}
    second = fresh_table(monkeypatch, {"keep": False})
    with ctx:
        assert second["keep"] is True
    assert first == {} and second == {"keep": False}


@pytest.mark.parametrize(
    "preset, args, kwargs, block_sets, after",
    [
        # Keys the entry neither named nor made the checks rewrite keep the block's value.
        ({}, (), {"keep": True}, {"skorv.mode": "classic"}, {"skorv.mode": "classic"}),
        ({"malloc.lib": "tc"}, ("verbose", True), {}, {"malloc.lib": "je"}, {"malloc.lib": "je"}),
        ({}, ("keep", True), {}, {"verbose": True, "keep": 1}, {"verbose": True}),
        # What the checks of the entry's own set rewrote is put back.
        ({"skorv.mode": "experimental"}, ("keep", True), {}, {"skorv.mode": "classic"}, {"skorv.mode": "experimental"}),
        ({"malloc.lib": None}, ("keep", True), {}, {}, {"malloc.lib": None}),
    ],
)
def test_exit_puts_back_only_what_entry_changed(monkeypatch, preset, args, kwargs, block_sets, after):
    table = fresh_table(monkeypatch, preset)
    with option_context(*args, **kwargs):
        if block_sets:
            drovik.options.skorv_set_option(**block_sets)
    assert table == after


def entry_line(form):
    """Enter a context whose set warns, by `form`; the line the warning must name."""
    if form == "with":
        with option_context("malloc.lib", "JE"):
            pass
        return entry_line.__code__.co_firstlineno + 3
    run = option_context("malloc.lib", "JE")(lambda: None)
    run()
    return entry_line.__code__.co_firstlineno + 7


@pytest.mark.parametrize("form", ["with", "decorator"])
def test_entry_warning_names_users_line(monkeypatch, caught, form):
    fresh_table(monkeypatch, {})
    line = entry_line(form)
    [warning] = caught.records
    assert (warning.filename, warning.lineno) == (__file__, line)


@pytest.mark.parametrize("form", ["with", "decorator"])
def test_module_error_filter_raises_at_entry_and_restores(monkeypatch, form):
    table = fresh_table(monkeypatch, {"keep": "before"})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        warnings.filterwarnings("error", module=__name__.replace(".", r"\."))
        with pytest.raises(UserWarning, match="'JE' may not be available"):
            entry_line(form)
    assert table == {"keep": "before"}


def test_default_filter_shows_once_per_line_of_user_code(monkeypatch):
    fresh_table(monkeypatch, {})
    with warnings.catch_warnings(record=True) as records:
        warnings.simplefilter("default")
        for form in ["with", "with", "decorator"]:
            entry_line(form)
    assert [w.lineno for w in records] == [entry_line.__code__.co_firstlineno + n for n in (3, 7)]


async def coroutine_function():
    pass


def generator_function():
    yield


async def async_generator_function():
    yield


class Suspending:
    async def __call__(self):
        pass

    rebound_coroutine = staticmethod(coroutine_function)
    rebound_generator = classmethod(generator_function)
    rebound_async_generator = staticmethod(async_generator_function)


class GeneratorCall:
    def __call__(self):
        yield


@functools.wraps(coroutine_function)
def wrapped_coroutine_function(*args):
    return coroutine_function(*args)


@pytest.mark.parametrize(
    "func",
    [
        coroutine_function,
        generator_function,
        async_generator_function,
        vars(Suspending)["rebound_coroutine"],
        vars(Suspending)["rebound_generator"],
        vars(Suspending)["rebound_async_generator"],
        Suspending(),
        GeneratorCall(),
        functools.partial(coroutine_function),
        wrapped_coroutine_function,
        staticmethod(functools.partial(wrapped_coroutine_function)),
    ],
)
def test_decorating_suspendable_function_is_refused(func):
    with pytest.raises(TypeError, match=r"use 'with option_context\(\.\.\.\)' inside it"):
        option_context(keep=True)(func)


# --- contexts that overlap in threads and tasks

ORIGINAL = object()
OVERLAPPING = [
    {"skorv.timeout": 1, "keep": True},
    {"skorv.timeout": 2},
    {"skorv.timeout": 3, "keep": False, "verbose": True},
]


def table_while_active(active):
    """The table while the contexts ``active`` (in their order of entry) are: each key the last one's value."""
    table = {"skorv.timeout": ORIGINAL}
    for index in active:
        table.update(OVERLAPPING[index])
    return table


def threads_leaving_in(order):
    """Enter each context in a thread of its own, one after the other; leave them in ``order``.

    Returns the table after each exit.
    """
    entered = [threading.Event() for _ in OVERLAPPING]
    leave = [threading.Event() for _ in OVERLAPPING]

    def job(index):
        with option_context(**OVERLAPPING[index]):
            entered[index].set()
            leave[index].wait(60)

    threads = [threading.Thread(target=job, args=(index,), daemon=True) for index in range(len(OVERLAPPING))]
    for thread, is_in in zip(threads, entered):
        thread.start()
        is_in.wait(60)
    states = []
    for index in order:
        leave[index].set()
        threads[index].join(60)
        states.append(dict(drovik.options._SKORV_OPTIONS))
    return states


def tasks_leaving_in(order):
    """The same with asyncio tasks, each leaving its context after an await."""

    async def job(index, entered, leave):
        with option_context(**OVERLAPPING[index]):
            entered.set()
            await leave.wait()

    async def run():
        leave = [asyncio.Event() for _ in OVERLAPPING]
        tasks = []
        for index in range(len(OVERLAPPING)):
            entered = asyncio.Event()
            tasks.append(asyncio.ensure_future(job(index, entered, leave[index])))
            await entered.wait()
        states = []
        for index in order:
            leave[index].set()
            await tasks[index]
            states.append(dict(drovik.options._SKORV_OPTIONS))
        return states

    return asyncio.run(run())


@pytest.mark.parametrize("order", list(itertools.permutations(range(len(OVERLAPPING)))))
@pytest.mark.parametrize("leaving_in", [threads_leaving_in, tasks_leaving_in])
def test_overlapping_contexts_restore_the_table_in_any_order(monkeypatch, leaving_in, order):
    table = fresh_table(monkeypatch, {"skorv.timeout": ORIGINAL})
    active = list(range(len(OVERLAPPING)))
    expected = []
    for index in order:
        active.remove(index)
        expected.append(table_while_active(active))
    assert leaving_in(order) == expected
    assert table == {"skorv.timeout": ORIGINAL} and table["skorv.timeout"] is ORIGINAL
