"""Shared fixtures for the drovik.options behaviour suite.

Every test gets a fresh, empty option table and its own copy of the module
namespace: whatever a test rebinds or deletes in ``drovik.options`` is put
back afterwards, in the original order, so one test cannot leak into another.
The ``env`` fixture replaces ``os`` and the companion functions through the
module's own names with recording stand-ins, which makes the machine-dependent
values (processor count, built-in paths, files on disk) fixed.
"""

import importlib
import importlib.util
import os
import platform
import subprocess
import sys
import types
import warnings

import pytest

from support import CPUS, DEFAULTS, MEVRO_PATH, PROGRAMS, REMOTE_SCRIPT, SKORV_PATH, load_model

_MISSING = object()


# The behaviour tests (marked both_implementations) run once against the
# extension and once against the plain-Python model, under the same ids.
IMPLEMENTATIONS = ("extension", "model")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "both_implementations: run against the extension and against tests/options_model.py"
    )


def pytest_generate_tests(metafunc):
    def names(mark):
        argnames = mark.args[0]
        return [name.strip() for name in argnames.split(",")] if isinstance(argnames, str) else list(argnames)

    explicit = any("options" in names(mark) for mark in metafunc.definition.iter_markers("parametrize"))
    if metafunc.definition.get_closest_marker("both_implementations") and not explicit:
        metafunc.parametrize("options", IMPLEMENTATIONS, indirect=True)


@pytest.fixture(autouse=True)
def options(request, monkeypatch):
    """The installed module (or the model), with an empty table and its namespace restored afterwards."""
    if getattr(request, "param", "extension") == "model":
        yield load_model()
        return
    mod = importlib.import_module("drovik.options")
    ns = vars(mod)
    saved = dict(ns)
    monkeypatch.setattr(mod, "_SKORV_OPTIONS", {})
    yield mod
    for name in [name for name in ns if name not in saved]:
        del ns[name]
    for name, value in saved.items():
        if ns.get(name, _MISSING) is not value:
            ns[name] = value
    if list(ns) != list(saved):
        # A deleted and re-added name moved to the end; the binding order is
        # itself checked, so rebuild the namespace in its original order.
        ns.clear()
        ns.update(saved)


class Env:
    """Recording stand-ins for ``os`` and the four companion functions.

    Every call lands in ``log`` as a tuple (name, *args), in call order.
    The answers can be changed per test through the attributes.
    """

    def __init__(self):
        self.log = []
        self.cpus = CPUS
        self.existing = set()
        self.skorv_builtin = SKORV_PATH
        self.mevro_builtin = MEVRO_PATH
        self.remote = REMOTE_SCRIPT
        self.multibyte = None  # None: answer as the real helper does
        self.os = types.SimpleNamespace(
            cpu_count=self._cpu_count,
            path=types.SimpleNamespace(exists=self._exists),
        )

    def calls(self, name):
        return [entry[1:] for entry in self.log if entry[0] == name]

    def count(self, name):
        return len(self.calls(name))

    def _cpu_count(self):
        self.log.append(("cpu_count",))
        return self.cpus

    def _exists(self, path):
        self.log.append(("exists", path))
        return path in self.existing

    def skorv_call_builtin(self):
        self.log.append(("skorv_call_builtin",))
        return self.skorv_builtin

    def mevro_call_builtin(self):
        self.log.append(("mevro_call_builtin",))
        return self.mevro_builtin

    def skorv_remote_script(self):
        self.log.append(("skorv_remote_script",))
        return self.remote

    def any_mb(self, *args, **kwargs):
        self.log.append(("_any_mb",) + args + tuple(kwargs.items()))
        if self.multibyte is not None:
            return self.multibyte
        return not args[0].isascii()


@pytest.fixture
def env(options, monkeypatch):
    e = Env()
    monkeypatch.setattr(options, "os", e.os)
    monkeypatch.setattr(options, "skorv_call_builtin", e.skorv_call_builtin)
    monkeypatch.setattr(options, "mevro_call_builtin", e.mevro_call_builtin)
    monkeypatch.setattr(options, "skorv_remote_script", e.skorv_remote_script)
    monkeypatch.setattr(options, "_any_mb", e.any_mb)
    return e


@pytest.fixture
def check_runs(options, monkeypatch):
    """Count the runs of the checks after a set, while still running them."""
    runs = []
    real = options._post_set_checks

    def counting(*args, **kwargs):
        runs.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(options, "_post_set_checks", counting)
    return runs


class WarningLog:
    def __init__(self, records):
        self.records = records

    def texts(self):
        """(category, message) of every warning, in the order they were issued."""
        return [(w.category, str(w.message)) for w in self.records]


@pytest.fixture
def caught():
    """Record every warning, repeats included."""
    with warnings.catch_warnings(record=True) as records:
        warnings.simplefilter("always")
        yield WarningLog(records)


@pytest.fixture
def default_items():
    return list(DEFAULTS)


@pytest.fixture
def run_interpreter(tmp_path):
    """Run the interpreter with the given arguments in a fresh process.

    A crash there fails only the calling test.
    """

    def run(*args, timeout=60, env=None, status=0):
        proc = subprocess.run(
            [sys.executable, "-X", "dev", *args],
            capture_output=True,
            text=True,
            cwd=tmp_path,
            timeout=timeout,
            env=None if env is None else {**os.environ, **env},
        )
        assert proc.returncode == status, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        return proc

    return run


@pytest.fixture
def run_program(run_interpreter):
    """Run the child program tests/programs/NAME with the given arguments in a fresh process."""
    return lambda name, *args, **kwargs: run_interpreter(os.path.join(PROGRAMS, name), *args, **kwargs)


@pytest.fixture
def on_foreign_stack():
    """The interpreter's arguments that run a child program on a stack of the given size of its own making."""
    if sys.platform != "linux" or platform.libc_ver()[0] != "glibc" or platform.machine() not in ("x86_64", "aarch64"):
        pytest.skip("the child lays out glibc's ucontext_t of x86-64 and AArch64")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer does not follow swapcontext")
    return lambda name, size, *args: [
        os.path.join(PROGRAMS, "on_foreign_stack.py"),
        str(size),
        os.path.join(PROGRAMS, name),
        *args,
    ]
