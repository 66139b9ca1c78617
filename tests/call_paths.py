"""The call paths of drovik.options: every form, branch and failure of every function.

One catalogue for the leak checks (test_leaks), the memory-failure sweeps
(programs/nomemory.py), the interpreter exit with threads inside calls
(programs/exit_in_calls.py) and the benchmark (bench/operations.py, which
loads this file by its path). It imports nothing of the package, so a child
program or the benchmark may load it before the module it measures.

Each path names the module function it calls and the call's arguments as
source text, evaluated in this file's namespace, afresh for every call: the
benchmark times exactly ``f(<args>)``. ``stored`` (source text too) is put in
the table first; ``prepare`` names a change of the module's names made once
beforehand; ``raises`` is the error of the call itself; ``stores`` the
values that the call may leave in the table.
"""

import sys  # noqa: F401 (the source text of the paths uses it)
import types
from typing import NamedTuple, Optional

MISSING_LIB = "/nonexistent/drovik-test/libmissing.so"
MB_DIR = "/d\u00e9p\u00f4t"


class StrKey(str):
    """Takes the paths that call a str subclass's own methods."""


REMOTE_TEXT = StrKey("Remote")
MISSING_TEXT = StrKey(MISSING_LIB)


class Boom(Exception):
    pass


def raising(*args):
    raise Boom("callback failed")


class Refusing:
    """A stored value or key whose every method that the module may call raises."""

    __eq__ = __ne__ = __hash__ = __bool__ = __format__ = __iter__ = raising


class RefusingStr(str):
    lower = startswith = raising


class CallPath(NamedTuple):
    name: str
    function: str
    args: str = ""
    stored: str = "{}"
    prepare: Optional[str] = None
    raises: Optional[type] = None
    stores: str = "()"


P = CallPath
GET, SET, SET_ONE, CHECKS = "skorv_get_option", "skorv_set_option", "_set_one", "_post_set_checks"
DEFAULTS, CPU, PLEXA = "skorv_get_option_default", "_cpu_default_string", "skorv_enabled_Plexa_features"

CALL_PATHS = [
    # Defaults.
    P("defaults", DEFAULTS),
    P("cpu-string", CPU),
    P("cpu-string-float-count", CPU, prepare="count-float"),
    P("cpu-string-raises", CPU, prepare="cpu-count-raises", raises=Boom),
    # Reading, three forms.
    P("read-all", GET),
    P("read-all-remote", GET, stored='{"skorv.call": "Remote"}'),
    P("read-all-remote-subclass", GET, stored='{"skorv.call": REMOTE_TEXT}'),
    P("read-all-set-paths", GET, stored='{"skorv.call": "/x/skorv", "mevro.call": "/x/mevro", "keep": [1]}'),
    P("read-one", GET, '"keep"'),
    P("read-one-keyword", GET, 'option="keep"'),
    P("read-one-stored", GET, '"keep"', stored='{"keep": object()}'),
    P("read-one-remote", GET, '"skorv.call"', stored='{"skorv.call": "REMOTE"}'),
    P("read-one-remote-subclass", GET, '"skorv.call"', stored='{"skorv.call": REMOTE_TEXT}'),
    P("read-one-remote-falsy-script", GET, '["skorv.call"]', '{"skorv.call": "remote"}', "remote-script-empty"),
    P("read-list", GET, '["keep", "verbose", "num.threads"]'),
    P("read-list-paths", GET, '["keep", "verbose", "skorv.call", "mevro.call", "num.threads"]', '{"verbose": 1}'),
    P("read-tuple", GET, '("keep",)'),
    P("read-iterable", GET, 'iter(("smtp", "numa"))'),
    P("read-dict-keys", GET, '{"keep": 1, "safe": 2}'),
    P("read-rebound-defaults-list", GET, '["keep", "skorv.call"]', prepare="defaults-rebound"),
    P("read-rebound-defaults-all", GET, prepare="defaults-rebound"),
    P("plexa", PLEXA),
    P("plexa-stored", PLEXA, stored='{"Plexa.features": "on"}'),
    # Reading, failures.
    P("read-unknown", GET, '"nokey"', raises=KeyError),
    P("read-unknown-int", GET, '["keep", 5]', raises=KeyError),
    P("read-not-iterable", GET, "5", raises=TypeError),
    P("read-unhashable", GET, '[["keep"]]', raises=TypeError),
    P("read-companion-raises", GET, '"keep"', prepare="mevro-builtin-raises", raises=Boom),
    P("read-remote-script-raises", GET, "", '{"skorv.call": "remote"}', "remote-script-raises", Boom),
    P("read-lower-raises", GET, '"skorv.call"', stored='{"skorv.call": RefusingStr("remote")}', raises=Boom),
    P("read-key-hash-raises", GET, '["keep", Refusing()]', raises=Boom),
    P("read-iteration-raises", GET, "Refusing()", raises=Boom),
    P("plexa-truth-raises", PLEXA, stored='{"Plexa.features": Refusing()}', raises=Boom),
    P("read-table-unbound", GET, '"keep"', prepare="table-unbound", raises=NameError),
    # Setting, both forms.
    P("set-key", SET, '"keep", True', stores="(True,)"),
    P("set-kw", SET, "keep=True, verbose=False", stores="(True, False)"),
    P("set-kw-dotted", SET, 'keep=True, verbose=False, **{"num.threads": "2:1"}', stores='(True, False, "2:1")'),
    P("set-one", SET_ONE, '"keep", 1', stores="(1,)"),
    P("set-one-keywords", SET_ONE, 'value=1, option="keep"', stores="(1,)"),
    # Setting, failures.
    P("set-unknown", SET, '"nokey", 1', raises=KeyError),
    P("set-kw-unknown", SET, 'keep=True, num_threads="2:1"', raises=KeyError, stores="(True,)"),
    P("set-form-mixed", SET, '"keep", True, verbose=True', raises=TypeError),
    P("set-form-one", SET, '"keep"', raises=TypeError),
    P("set-first-not-str", SET, "1, True", raises=TypeError),
    P("set-str-subclass-key", SET, 'StrKey("keep"), True', raises=TypeError),
    P("set-one-bad-type", SET_ONE, "5, 1", raises=TypeError),
    P("set-one-count", SET_ONE, '"keep"', raises=TypeError),
    P("set-one-missing-value", SET_ONE, 'option="keep"', raises=TypeError),
    P("set-one-twice", SET_ONE, '"keep", 1, option="keep"', raises=TypeError),
    # The checks after a set, every branch.
    P("checks", CHECKS),
    P("set-mode-experimental", SET, '"skorv.mode", "experimental"', stores='("experimental", "compact")'),
    P("set-mode-invalid", SET, '"skorv.mode", "fast"', raises=ValueError, stores='("fast",)'),
    P("set-malloc-none", SET, '"malloc.lib", None', stores='(None, "mi")'),
    P("set-malloc-missing", SET, '"malloc.lib", MISSING_LIB', stores='(MISSING_LIB, "mi")'),
    P("set-malloc-missing-subclass", SET, '"malloc.lib", MISSING_TEXT', stores='(MISSING_TEXT, "mi")'),
    P(
        "set-malloc-missing-real-warnings",
        SET,
        '"malloc.lib", MISSING_LIB',
        prepare="real-warnings-ignored",
        stores='(MISSING_LIB, "mi")',
    ),
    P("set-malloc-unlisted", SET, '"malloc.lib", "unlisted"', stores='("unlisted",)'),
    P("set-malloc-existing", SET, '"malloc.lib", sys.executable', stores="(sys.executable,)"),
    P("set-malloc-bytes", SET, '"malloc.lib", b"mi"', stores='(b"mi",)'),
    P("set-wdir-multibyte", SET, '"working.directory", MB_DIR', stores="(MB_DIR,)"),
    P("set-wdir-plain", SET, '"working.directory", "/tmp"', stores='("/tmp",)'),
    P("check-mode-compare-raises", SET, '"keep", True', '{"skorv.mode": Refusing()}', raises=Boom, stores="(True,)"),
    P("check-startswith-raises", SET, '"malloc.lib", RefusingStr("/x")', raises=Boom, stores='(RefusingStr("/x"),)'),
    P(
        "check-exists-raises",
        SET,
        '"malloc.lib", MISSING_LIB',
        prepare="exists-raises",
        raises=Boom,
        stores="(MISSING_LIB,)",
    ),
    P("check-warn-raises", SET, '"malloc.lib", "unlisted"', prepare="warn-raises", raises=Boom, stores='("unlisted",)'),
    P("check-any-mb-raises", SET, '"working.directory", "/x"', prepare="any-mb-raises", raises=Boom, stores='("/x",)'),
    # Argument errors of the functions.
    P("args-defaults-positional", DEFAULTS, "1", raises=TypeError),
    P("args-defaults-keyword", DEFAULTS, "x=1", raises=TypeError),
    P("args-checks-positional", CHECKS, "1", raises=TypeError),
    P("args-read-two", GET, '"keep", "verbose"', raises=TypeError),
    P("args-read-keyword", GET, 'name="keep"', raises=TypeError),
    P("args-read-twice", GET, '"keep", option="keep"', raises=TypeError),
    P("args-keyword-not-str", GET, "**{1: 2}", raises=TypeError),
]
BY_NAME = {path.name: path for path in CALL_PATHS}
assert len(BY_NAME) == len(CALL_PATHS), "two paths of one name"


def _rebind(name, value):
    return lambda m: setattr(m, name, value)


def _real_warnings_ignored(m):
    import warnings

    m.warnings = warnings
    warnings.simplefilter("ignore")


# name -> what it does to the module m, once, before the calls.
PREPARATIONS = {
    "count-float": lambda m: setattr(m, "os", types.SimpleNamespace(cpu_count=lambda: 4.0, path=m.os.path)),
    "cpu-count-raises": lambda m: setattr(m, "os", types.SimpleNamespace(cpu_count=raising, path=m.os.path)),
    "exists-raises": lambda m: setattr(
        m, "os", types.SimpleNamespace(cpu_count=m.os.cpu_count, path=types.SimpleNamespace(exists=raising))
    ),
    "defaults-rebound": _rebind(
        "skorv_get_option_default",
        lambda: {"keep": False, "num.threads": "2:1", "skorv.mode": "compact", "malloc.lib": "mi"},
    ),
    "remote-script-empty": _rebind("skorv_remote_script", lambda: ""),
    "remote-script-raises": _rebind("skorv_remote_script", raising),
    "mevro-builtin-raises": _rebind("mevro_call_builtin", raising),
    "warn-raises": _rebind("warnings", types.SimpleNamespace(warn=raising)),
    "any-mb-raises": _rebind("_any_mb", raising),
    "table-unbound": lambda m: delattr(m, "_SKORV_OPTIONS"),
    "real-warnings-ignored": _real_warnings_ignored,
}


def _arguments(*args, **kwargs):
    return args, kwargs


def _evaluate(source):
    return eval(source, dict(globals()))


def stored(path):
    """The entries put in the table before the calls (made once)."""
    return _evaluate(path.stored)


def may_store(path):
    """The values that the call may leave in the table (made once)."""
    return _evaluate(path.stores)


def prepare(path, module):
    """Apply the path's preparation, if any, to ``module``."""
    if path.prepare:
        PREPARATIONS[path.prepare](module)


def arguments(path):
    """A function that makes the call's (args, kwargs) afresh."""
    return _evaluate(f"lambda: _arguments({path.args})")


def caller(path, module):
    """The call as a function of no arguments, ``f(<args>)``, with f the module's function as bound now."""
    return eval(f"lambda: f({path.args})", {**globals(), "f": getattr(module, path.function)})


def statement(path):
    """The call as the benchmark times and shows it: (``f(<args>)``, ``<function>(<args>)``)."""
    return f"f({path.args})", f"{path.function}({path.args})"
