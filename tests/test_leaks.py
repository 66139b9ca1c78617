"""No call path of drovik.options keeps memory or references behind.

Each path, success and failure alike, runs many times under tracemalloc after
a warm-up; the memory traced at the end must be within a small bound of what
it was at the start. A single object kept per call would show as many
kilobytes. Reference counts of the keys, values and answers that pass through
the module are checked separately, since a reference kept to an object that
lives anyway costs no new memory.
"""

import gc
import sys
import tracemalloc
import types
import warnings

import pytest

import call_paths
from call_paths import CALL_PATHS, MISSING_LIB, StrKey

ITERATIONS = 10_000
SLOW_ITERATIONS = 3_000
BOUND = 2048  # bytes of growth allowed over all iterations of one path

BAD_MODE = "Invalid 'skorv.mode'"


def quiet_companions(options, monkeypatch, remote="/opt/drovik/bin/skorv_remote.sh"):
    """Companion stand-ins that keep nothing between calls."""
    monkeypatch.setattr(options, "skorv_call_builtin", lambda: "/opt/drovik/bin/skorv")
    monkeypatch.setattr(options, "mevro_call_builtin", lambda: "/opt/drovik/bin/mevro")
    monkeypatch.setattr(options, "skorv_remote_script", lambda: remote)
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=lambda message: None))


def expect(exc_type, call):
    def checked():
        try:
            call()
        except exc_type:
            pass
        else:
            raise AssertionError(f"{exc_type.__name__} not raised")

    return checked


def traced_growth(call, iterations):
    for _ in range(200):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(50):
            call()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(iterations):
            call()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def test_measure_sees_one_kept_object_per_call():
    kept = []
    assert traced_growth(lambda: kept.append(object()), SLOW_ITERATIONS) > BOUND


@pytest.mark.parametrize("path", CALL_PATHS, ids=[path.name for path in CALL_PATHS])
def test_call_path_keeps_no_memory(options, monkeypatch, path):
    quiet_companions(options, monkeypatch)
    call = call_paths.caller(path, options)
    options._SKORV_OPTIONS.update(call_paths.stored(path))
    call_paths.prepare(path, options)
    if path.raises:
        call = expect(path.raises, call)
    # The paths that run the checks after a set, or raise, are slower.
    slow = path.raises or path.function in ("skorv_set_option", "_post_set_checks")
    iterations = SLOW_ITERATIONS if slow else ITERATIONS
    growth = traced_growth(call, iterations)
    assert growth <= BOUND, f"{growth} bytes kept over {iterations} calls"


@pytest.mark.parametrize("action", ["ignore", "error"])
@pytest.mark.parametrize(
    "key, value",
    [("malloc.lib", MISSING_LIB), ("malloc.lib", "unlisted"), ("working.directory", "/d\u00e9p\u00f4t")],
)
def test_real_warnings_keep_no_memory(options, action, key, value):
    # Through the real warnings module: filtered away, or raised as an error.
    def call():
        try:
            options.skorv_set_option(key, value)
        except UserWarning:
            assert action == "error"

    with warnings.catch_warnings():
        warnings.simplefilter(action)
        growth = traced_growth(call, SLOW_ITERATIONS)
    assert growth <= BOUND, f"{growth} bytes kept over {SLOW_ITERATIONS} calls"


# --- Reference counts of what passes through.


def fresh(text):
    # A new, non-interned string object, so that its count is ours alone.
    return "".join([text[:1], text[1:]])


def test_value_and_key_references_are_released(options, monkeypatch):
    quiet_companions(options, monkeypatch)
    value, key = object(), fresh("keep")
    value_base, key_base = sys.getrefcount(value), sys.getrefcount(key)
    options.skorv_set_option(key, value)
    # The table holds one reference to each.
    value_stored, key_stored = sys.getrefcount(value), sys.getrefcount(key)
    assert value_stored == value_base + 1
    for _ in range(1000):
        options.skorv_set_option(key, value)
        options.skorv_set_option(**{key: value})
        options._set_one(key, value)
        options._set_one(value=value, option=key)
        assert options.skorv_get_option(key) is value
        assert options.skorv_get_option([key, key])[1] is value
        options.skorv_get_option()
        options.skorv_get_option(option=key)
    assert (sys.getrefcount(value), sys.getrefcount(key)) == (value_stored, key_stored)
    options._SKORV_OPTIONS.clear()
    assert (sys.getrefcount(value), sys.getrefcount(key)) == (value_base, key_base)


def test_rejected_keys_and_values_are_released(options, monkeypatch):
    quiet_companions(options, monkeypatch)
    key, value, sub = fresh("no.such.key"), object(), StrKey("keep")
    mode = fresh("bogus-mode")
    counts = [sys.getrefcount(x) for x in (key, value, sub, mode)]
    for _ in range(1000):
        for call in (
            lambda: options.skorv_get_option(key),
            lambda: options.skorv_get_option(["keep", key]),
            lambda: options.skorv_set_option(key, value),
            lambda: options.skorv_set_option(**{key: value}),
            lambda: options._set_one(key, value),
            lambda: options.skorv_set_option(sub, value),
            lambda: options._set_one(sub, value),
            lambda: options.skorv_set_option(key, value, key),
            lambda: options.skorv_get_option(key, option=value),
        ):
            with pytest.raises((KeyError, TypeError)):
                call()
    # A rejected engine mode stays stored; its count drops once it is replaced.
    for _ in range(100):
        with pytest.raises(ValueError, match=BAD_MODE):
            options.skorv_set_option("skorv.mode", mode)
    options.skorv_set_option("skorv.mode", "compact")
    assert [sys.getrefcount(x) for x in (key, value, sub, mode)] == counts
    assert options._SKORV_OPTIONS == {"skorv.mode": "compact"}


def test_answers_of_callbacks_are_released(options, monkeypatch):
    engine, mesher, script, cpus, flag = fresh("/e/skorv"), fresh("/e/mevro"), fresh("/e/remote.sh"), 10**20, object()
    answers = (engine, mesher, script, cpus, flag)
    monkeypatch.setattr(options, "skorv_call_builtin", lambda: engine)
    monkeypatch.setattr(options, "mevro_call_builtin", lambda: mesher)
    monkeypatch.setattr(options, "skorv_remote_script", lambda: script)
    monkeypatch.setattr(options, "_any_mb", lambda text: flag)
    monkeypatch.setattr(
        options, "os", types.SimpleNamespace(cpu_count=lambda: cpus, path=types.SimpleNamespace(exists=lambda p: flag))
    )
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=lambda message: None))
    options._SKORV_OPTIONS["skorv.call"] = remote = fresh("remote")
    options._SKORV_OPTIONS["working.directory"] = wdir = fresh("/w/d\u00e9")
    options._SKORV_OPTIONS["malloc.lib"] = lib = fresh("/l/lib.so")
    stored = (remote, wdir, lib)
    counts = [sys.getrefcount(x) for x in answers + stored]
    for _ in range(1000):
        assert options.skorv_get_option("skorv.call") is script
        options.skorv_get_option()
        options.skorv_get_option(["mevro.call", "skorv.call", "num.threads"])
        options._post_set_checks()
        options.skorv_enabled_Plexa_features()
    assert [sys.getrefcount(x) for x in answers + stored] == counts
