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

import drovik.options

ITERATIONS = 10_000
SLOW_ITERATIONS = 3_000  # paths that run the checks after a set, or raise
BOUND = 2048  # bytes of growth allowed over all iterations of one path

BAD_MODE = "Invalid 'skorv.mode'"
MISSING_LIB = "/nonexistent/drovik-test/libmissing.so"


def quiet_companions(options, monkeypatch, remote="/opt/drovik/bin/skorv_remote.sh"):
    """Companion stand-ins that keep nothing between calls."""
    monkeypatch.setattr(options, "skorv_call_builtin", lambda: "/opt/drovik/bin/skorv")
    monkeypatch.setattr(options, "mevro_call_builtin", lambda: "/opt/drovik/bin/mevro")
    monkeypatch.setattr(options, "skorv_remote_script", lambda: remote)
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=lambda message: None))


def expect(exc_type, fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            pass
        else:
            raise AssertionError(f"{exc_type.__name__} not raised")

    return call


class StrKey(str):
    pass


class Boom(Exception):
    pass


def raising(*args):
    raise Boom("callback failed")


class Refusing:
    """A stored value or key whose every method that the module may call raises."""

    __eq__ = __ne__ = __hash__ = __bool__ = __format__ = __iter__ = raising


class RefusingStr(str):
    lower = startswith = raising


def paths(m):
    """name -> (preparation, call, iterations). Preparation runs once, with the module at hand."""
    get, set_, set_one = m.skorv_get_option, m.skorv_set_option, m._set_one

    def store(**pairs):
        return lambda: m._SKORV_OPTIONS.update({k.replace("__", "."): v for k, v in pairs.items()})

    def rebind(name, value):
        return lambda: setattr(m, name, value)

    def none():
        pass

    def both(*steps):
        return lambda: [step() for step in steps]

    def count_float():
        m.os = types.SimpleNamespace(cpu_count=lambda: 4.0, path=m.os.path)

    def defaults_rebound():
        m.skorv_get_option_default = lambda: {"keep": False, "num.threads": "1:1", "skorv.mode": "compact"}

    fast, slow = ITERATIONS, SLOW_ITERATIONS
    return {
        # Defaults.
        "defaults": (none, m.skorv_get_option_default, fast),
        "cpu-string": (none, m._cpu_default_string, fast),
        "cpu-string-float-count": (count_float, m._cpu_default_string, fast),
        "cpu-string-raises": (
            lambda: setattr(m, "os", types.SimpleNamespace(cpu_count=raising)),
            expect(Boom, m._cpu_default_string),
            slow,
        ),
        # Reading, three forms.
        "read-all": (none, get, fast),
        "read-all-remote": (store(skorv__call="Remote"), get, fast),
        "read-all-set-paths": (store(skorv__call="/x/skorv", mevro__call="/x/mevro", keep=[1]), get, fast),
        "read-one": (none, lambda: get("keep"), fast),
        "read-one-stored": (store(keep=object()), lambda: get("keep"), fast),
        "read-one-remote": (store(skorv__call="REMOTE"), lambda: get("skorv.call"), fast),
        "read-one-remote-subclass": (store(skorv__call=StrKey("Remote")), lambda: get("skorv.call"), fast),
        "read-one-remote-falsy-script": (rebind("skorv_remote_script", lambda: ""), lambda: get(["skorv.call"]), fast),
        "read-list": (none, lambda: get(["keep", "verbose", "skorv.call", "mevro.call", "num.threads"]), fast),
        "read-tuple-generator": (none, lambda: (get(("keep",)), get(k for k in ("smtp", "numa"))), fast),
        "read-dict-keys": (none, lambda: get({"keep": 1, "safe": 2}), fast),
        "read-rebound-defaults": (defaults_rebound, lambda: (get(["keep", "skorv.call"]), get()), fast),
        "plexa": (store(Plexa__features="yes"), m.skorv_enabled_Plexa_features, fast),
        # Reading, failures.
        "read-unknown": (none, expect(KeyError, get, "num_threads"), slow),
        "read-unknown-int": (none, expect(KeyError, get, ["keep", 5]), slow),
        "read-not-iterable": (none, expect(TypeError, get, 5), slow),
        "read-unhashable": (none, expect(TypeError, get, [["keep"]]), slow),
        "read-companion-raises": (rebind("mevro_call_builtin", raising), expect(Boom, get, "keep"), slow),
        "read-remote-script-raises": (
            both(store(skorv__call="remote"), rebind("skorv_remote_script", raising)),
            expect(Boom, get),
            slow,
        ),
        "read-lower-raises": (store(skorv__call=RefusingStr("remote")), expect(Boom, get, "skorv.call"), slow),
        "read-key-hash-raises": (none, expect(Boom, lambda: get(["keep", Refusing()])), slow),
        "read-iteration-raises": (none, expect(Boom, lambda: get(Refusing())), slow),
        "plexa-truth-raises": (store(Plexa__features=Refusing()), expect(Boom, m.skorv_enabled_Plexa_features), slow),
        "read-table-unbound": (lambda: delattr(m, "_SKORV_OPTIONS"), expect(NameError, get, "keep"), slow),
        # Setting, both forms.
        "set-key": (none, lambda: set_("keep", True), slow),
        "set-kw": (none, lambda: set_(keep=True, verbose=False, **{"num.threads": "2:1"}), slow),
        "set-one-direct": (none, lambda: set_one("keep", 1), fast),
        "set-one-keywords": (none, lambda: set_one(value=1, option="keep"), fast),
        # Setting, failures.
        "set-unknown-key": (none, expect(KeyError, set_, "Keep", True), slow),
        "set-unknown-kw": (none, expect(KeyError, set_, keep=True, num_threads="2:1"), slow),
        "set-form": (none, expect(TypeError, set_, "keep", True, verbose=True), slow),
        "set-first-not-str": (none, expect(TypeError, set_, 1, True), slow),
        "set-str-subclass-key": (none, expect(TypeError, set_, StrKey("keep"), True), slow),
        "set-one-bad-type": (none, expect(TypeError, set_one, None, 1), slow),
        "set-one-count": (none, expect(TypeError, set_one, "keep"), slow),
        "set-one-missing-value": (none, expect(TypeError, set_one, option="keep"), slow),
        "set-one-twice": (none, expect(TypeError, set_one, "keep", 1, option="keep"), slow),
        # The checks after a set, every branch.
        "check-mode-experimental": (none, lambda: set_("skorv.mode", "experimental"), slow),
        "check-mode-invalid": (none, expect(ValueError, set_, "skorv.mode", "fast"), slow),
        "check-malloc-unset": (none, lambda: set_("malloc.lib", None), slow),
        "check-malloc-missing": (none, lambda: set_("malloc.lib", MISSING_LIB), slow),
        "check-malloc-unlisted": (none, lambda: set_("malloc.lib", "unlisted"), slow),
        "check-malloc-existing": (none, lambda: set_("malloc.lib", sys.executable), slow),
        "check-malloc-bytes": (none, lambda: set_("malloc.lib", b"mi"), slow),
        "check-wdir-multibyte": (none, lambda: set_("working.directory", "/d\u00e9p\u00f4t"), slow),
        "check-wdir-plain": (none, lambda: set_("working.directory", "/tmp"), slow),
        "check-mode-compare-raises": (store(skorv__mode=Refusing()), expect(Boom, set_, "keep", True), slow),
        "check-startswith-raises": (none, expect(Boom, set_, "malloc.lib", RefusingStr("/x")), slow),
        "check-exists-raises": (
            rebind("os", types.SimpleNamespace(cpu_count=lambda: 2, path=types.SimpleNamespace(exists=raising))),
            expect(Boom, set_, "malloc.lib", MISSING_LIB),
            slow,
        ),
        "check-warn-raises": (
            rebind("warnings", types.SimpleNamespace(warn=raising)),
            expect(Boom, set_, "malloc.lib", "unlisted"),
            slow,
        ),
        "check-any-mb-raises": (rebind("_any_mb", raising), expect(Boom, set_, "working.directory", "/x"), slow),
        # Argument errors of the functions.
        "args-defaults-positional": (none, expect(TypeError, m.skorv_get_option_default, 1), slow),
        "args-defaults-keyword": (none, expect(TypeError, m.skorv_get_option_default, x=1), slow),
        "args-checks-positional": (none, expect(TypeError, m._post_set_checks, 1, 2), slow),
        "args-read-two": (none, expect(TypeError, get, "keep", "verbose"), slow),
        "args-read-keyword": (none, expect(TypeError, get, name="keep"), slow),
        "args-read-twice": (none, expect(TypeError, get, "keep", option="keep"), slow),
        "args-keyword-not-str": (none, expect(TypeError, lambda: get(**{1: 2})), slow),
        "args-read-option-keyword": (none, lambda: get(option="keep"), fast),
    }


PATH_NAMES = list(paths(drovik.options))


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


@pytest.mark.parametrize("name", PATH_NAMES)
def test_call_path_keeps_no_memory(options, monkeypatch, name):
    quiet_companions(options, monkeypatch)
    prepare, call, iterations = paths(options)[name]
    prepare()
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
