"""Several threads reading, setting and rebinding the companions of
drovik.options at once: no crash, no deadlock, no error that the calls
themselves do not explain, and a table of known keys and whole values at the
end.
"""

import sys
import threading
import types

import pytest

OPS_PER_THREAD = 2_000
JOIN_TIMEOUT = 120

MODES = ["compact", "classic", "twostage", "experimental"]
BAD_MODE = "fast"
MISSING_LIB = "/nonexistent/drovik-test/libmissing.so"
MB_DIR = "/tmp/d\u00e9p\u00f4t"
# Every value any thread stores, with the corrections the checks write.
STORED_VALUES = [
    True,
    False,
    None,
    "2:1",
    "4:1",
    "mi",
    "unlisted",
    MISSING_LIB,
    "/tmp",
    MB_DIR,
    "remote",
    "/x/skorv",
    BAD_MODE,
    *MODES,
]


@pytest.fixture
def busy_switching():
    # Switch threads as often as the interpreter allows, so that every
    # call into Python code inside the module is a chance to interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(workers):
    errors = []
    start = threading.Barrier(len(workers))

    def guarded(work, index):
        start.wait()
        try:
            for n in range(OPS_PER_THREAD):
                work(n, index)
        except BaseException as exc:  # reported below, with the thread's name
            errors.append((threading.current_thread().name, exc))

    threads = [
        threading.Thread(target=guarded, args=(work, i), name=work.__name__, daemon=True)
        for i, work in enumerate(workers)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert [t.name for t in threads if t.is_alive()] == [], "threads still running: deadlock or runaway loop"
    assert errors == []


def test_threads_reading_setting_and_rebinding(options, monkeypatch, busy_switching):
    warned = []
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=warned.append))
    monkeypatch.setattr(options, "_any_mb", lambda text: not text.isascii())
    known = set(options.skorv_get_option_default()) | {"skorv.call", "mevro.call"}
    get, set_ = options.skorv_get_option, options.skorv_set_option

    def reader(n, index):
        everything = get()
        assert set(everything) <= known
        assert len(everything) == 26
        get("keep")
        values = get(["keep", "skorv.call", "mevro.call", "num.threads", "malloc.lib"])
        assert len(values) == 5
        assert options.skorv_enabled_Plexa_features() in (True, False)
        assert len(options.skorv_get_option_default()) == 24
        with pytest.raises(KeyError):
            get("no.such.option")

    def setter(n, index):
        # Another thread's rejected mode makes every set raise until it is fixed.
        try:
            set_("keep", n % 2 == 0)
            set_(verbose=bool(n % 3), **{"num.threads": "2:1" if n % 2 else "4:1"})
            set_("malloc.lib", [None, "mi", "unlisted", MISSING_LIB][n % 4])
            set_("working.directory", MB_DIR if n % 5 == 0 else "/tmp")
            set_("skorv.call", "remote" if n % 7 == 0 else "/x/skorv")
        except ValueError:
            pass
        with pytest.raises(KeyError):
            set_(keep=True, num_threads="2:1")

    def mode_flipper(n, index):
        try:
            set_("skorv.mode", BAD_MODE if n % 4 == 0 else MODES[n % 4])
        except ValueError:
            pass
        with pytest.raises(TypeError):
            set_("keep")

    def rebinder(n, index):
        path = f"/rebound/{n % 3}"
        options.skorv_call_builtin = (lambda: "REMOTE") if n % 2 else (lambda: path)
        options.mevro_call_builtin = lambda: path
        options.skorv_remote_script = (lambda: None) if n % 3 == 0 else (lambda: path + "/remote.sh")
        cpus = [None, 0, 3, 64][n % 4]
        options.os = types.SimpleNamespace(cpu_count=lambda: cpus, path=options.os.path)
        if n % 50 == 0:
            # A fresh table with the same entries, as a caller resetting state would.
            options._SKORV_OPTIONS = dict(options._SKORV_OPTIONS)
        options._cpu_default_string = options._cpu_default_string

    run_threads([reader, setter, mode_flipper, rebinder])

    table = options._SKORV_OPTIONS
    assert type(table) is dict
    assert set(table) <= known
    for key, value in table.items():
        assert any(value is v or (type(value) is type(v) and value == v) for v in STORED_VALUES), (key, value)
    # Whatever state the threads left, one set of an accepted mode repairs it.
    options.skorv_set_option("skorv.mode", "compact")
    options.skorv_set_option("keep", True)
    assert options.skorv_get_option("keep") is True


def test_threads_setting_the_same_keys(options, monkeypatch, busy_switching):
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=lambda message: None))
    values = [object() for _ in range(4)]

    def make(value):
        def worker(n, index):
            options.skorv_set_option("smtp", value)
            options._set_one("numa", value)
            assert options.skorv_get_option("smtp") in values
            assert options.skorv_get_option(["numa"])[0] in values

        worker.__name__ = f"worker-{values.index(value)}"
        return worker

    base = [sys.getrefcount(v) for v in values]
    run_threads([make(v) for v in values])
    assert set(options._SKORV_OPTIONS) == {"smtp", "numa"}
    assert options._SKORV_OPTIONS["smtp"] in values
    # Once the table lets go, no reference was lost or kept by any thread.
    options._SKORV_OPTIONS.clear()
    assert [sys.getrefcount(v) for v in values] == base
