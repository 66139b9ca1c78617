"""Sweeps a failing allocation across the call path of tests/call_paths.py named by argv[1].

Prints one JSON line: the call's allocations, the attempts, the failed calls, what they raised and any
unraisable exceptions.
"""

import _testcapi
import gc
import json
import os
import sys
import types

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import drovik.options as m  # noqa: E402

import call_paths  # noqa: E402

# The note for an unknown key comes from Python code. Under failing
# allocations, 3.11's interpreter itself loses references while running such
# code, which is not this module's to test: a plain stand-in takes its place,
# and the module's own steps (import, call, add_note) are still swept.
sys.modules["drovik._suggest"] = types.SimpleNamespace(note_for=lambda key: "Did you mean it?")

PATH = call_paths.BY_NAME[sys.argv[1]]
KNOWN = set(m.skorv_get_option_default()) | {"skorv.call", "mevro.call"}
warned = []
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(f"{u.exc_type.__name__}: {u.err_msg}")

namespace = dict(vars(m))
fn = getattr(m, PATH.function)
make_args = call_paths.arguments(PATH)
own_error = PATH.raises
m.warnings = types.SimpleNamespace(warn=lambda message: warned.append(message))
call_paths.prepare(PATH, m)
table = m._SKORV_OPTIONS
initial = call_paths.stored(PATH)
allowed = list(initial.values()) + list(call_paths.may_store(PATH))


def reset():
    table.clear()
    table.update(initial)
    warned.clear()


def whole(value):
    return any(value is a or (type(value) is type(a) and value == a) for a in allowed)


def call():
    args, kwargs = make_args()
    return fn(*args, **kwargs)


reset()
try:
    expected = ("returned", call())
except Exception as exc:
    expected = ("raised", type(exc))
expected_table = dict(table)
assert (expected[0] == "raised") == (own_error is not None), expected

gc.disable()
attempts = failures = 0
seen = {}


def attempt(start, stop):
    global attempts, failures
    reset()
    attempts += 1
    call_args, call_kwargs = make_args()
    # The interpreter needs this frame's object to unwind an exception, and
    # fails on its own if it must allocate it now: make it beforehand. Only
    # the module's function runs while allocations fail.
    sys._getframe()
    _testcapi.set_nomemory(start, stop)
    try:
        try:
            outcome = ("returned", fn(*call_args, **call_kwargs))
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as exc:
        outcome = ("raised", exc)
    if outcome[0] == "raised":
        exc = outcome[1]
        outcome = ("raised", type(exc))
        # Anything but running out of memory or the path's own error is a fault.
        if type(exc) is not MemoryError and type(exc) is not own_error:
            raise AssertionError(f"fail at {start}..{stop}: {type(exc).__name__}: {exc}") from exc
    ok = outcome == expected
    if ok and table != expected_table:
        raise AssertionError(f"fail at {start}..{stop}: call succeeded but left {table!r}")
    if not ok:
        failures += 1
        seen[outcome[1].__name__] = seen.get(outcome[1].__name__, 0) + 1
    if type(m._SKORV_OPTIONS) is not dict or m._SKORV_OPTIONS is not table:
        raise AssertionError(f"fail at {start}..{stop}: table rebound to {m._SKORV_OPTIONS!r}")
    for key, value in table.items():
        if type(key) is not str or key not in KNOWN or not whole(value):
            raise AssertionError(f"fail at {start}..{stop}: table holds {key!r}: {value!r}")
    return ok


# Every allocation from `start` on fails; the first start at which the call
# gets through untouched is its number of allocations.
start = 0
while not attempt(start, 0):
    start += 1
    assert start < 100_000, "the call never gets through"
count = start
# Then each allocation fails alone, and a few past the end for good measure.
for start in range(count + 20):
    attempt(start, start + 1)

gc.enable()
gc.collect()
# The module keeps working, with its own names bound again.
vars(m).update(namespace)
table.clear()
assert m.skorv_get_option("keep") is False
assert len(m.skorv_get_option()) == 26
m.skorv_set_option("keep", True)
assert m.skorv_get_option(["keep"]) == [True]
report = {"allocations": count, "attempts": attempts, "failed calls": failures, "raised": seen}
print(json.dumps({**report, "unraisable": unraisable}))
