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


@pytest.mark.parametrize("preset, args, kwargs", [
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
])
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


@pytest.mark.parametrize("preset, args, kwargs, action", [
    ({"verbose": 0}, (), {"keep": True, "Verbose": 1, "verbose": True}, "always"),
    ({}, (), {"skorv.mode": "Compact"}, "always"),
    ({"skorv.mode": "classic"}, ("skorv.mode", None), {}, "always"),
    ({"skorv.mode": "bogus"}, ("num.threads", "2:1"), {}, "always"),
    ({}, ("keep",), {}, "always"),
    ({}, ("keep", True), {"verbose": True}, "always"),
    ({}, (), {}, "always"),
    ({}, (1, True), {}, "always"),
    ({}, ("malloc.lib", MISSING_FILE), {}, "error"),
    ({"working.directory": "/tmp/d\u00e9j\u00e0"}, ("keep", True), {}, "error"),
])
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


@pytest.mark.parametrize("preset, args, kwargs", [
    ({}, ("malloc.lib", MISSING_FILE), {}),
    ({}, ("malloc.lib", "JE"), {}),
    ({}, ("malloc.lib", EXISTING_FILE), {}),
    ({"malloc.lib": ""}, ("working.directory", "/tmp/d\u00e9j\u00e0"), {}),
    ({}, (), {"verbose": True}),
])
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
