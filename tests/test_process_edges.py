"""The module where real programs take it: threads still inside calls while
the interpreter exits, Python running on stacks that the program allocated
itself, dict-watcher slots taken by other extensions, memory running out
during the import, and companion modules whose attribute access fails.

Each case runs in a child interpreter, so that a crash fails one test.
"""

import json
import os
import subprocess
import sys

import pytest

from support import PROGRAMS

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

# --- Interpreter exit with daemon threads inside calls.

# Paths of tests/call_paths.py: a read of each form, a set of each form, the
# checks, the defaults and the switch.
EXIT_PATHS = [
    "defaults",
    "read-one-remote",
    "read-all",
    "read-list-paths",
    "set-malloc-missing",
    "set-kw",
    "checks",
    "plexa",
]
# Before the module was built without C++ unwinding, 3.12 and 3.13 crashed
# in every run and 3.11 in about one run of four.
EXIT_RUNS = 6


# A thread ended inside a call never releases what the call held: no leak check.
NO_LEAK_CHECK = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


# CPython 3.10's own finalisation crashes now and then when daemon threads
# wait for the GIL: the same child with the plain-Python model in place of the
# module crashed in 3 of 300 runs on 3.10.13, and in none of 200 on 3.9, 3.11,
# 3.12 and 3.13.
@pytest.mark.skipif(sys.version_info[:2] == (3, 10), reason="the interpreter's own exit races its daemon threads")
@pytest.mark.parametrize("path", EXIT_PATHS)
def test_exit_with_daemon_threads_inside_calls(run_interpreter, path):
    for _ in range(EXIT_RUNS):
        proc = run_interpreter(
            os.path.join(PROGRAMS, "exit_in_calls.py"), path, env=NO_LEAK_CHECK if UNDER_SANITIZER else None
        )
        assert proc.stderr == ""


def test_module_has_no_cxx_unwinding(options):
    # pthread_exit unwinds a thread's stack through our frames; only frames
    # without cleanups (no exceptions, no C++ personality routine) are safe.
    with open(options.__file__, "rb") as module_file:
        image = module_file.read()
    assert b"__gxx_personality_v0" not in image
    if not UNDER_SANITIZER:  # the sanitizer runtimes bring the C++ library along
        assert b"libstdc++" not in image


# --- Python on a stack that the program allocated itself.


def test_calls_on_a_stack_the_program_allocated(run_interpreter, on_foreign_stack):
    proc = run_interpreter(*on_foreign_stack("foreign_stack_calls.py", 1 << 20))
    assert proc.stdout == "[True, 26, False]\n"


# --- Dict-watcher slots taken by other extensions.


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers arrived in 3.12")
def test_import_with_every_dict_watcher_slot_taken(run_program):
    pytest.importorskip("_testcapi")
    proc = run_program("watchers_taken.py")
    assert proc.stdout == "ok\n"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers arrived in 3.12")
@pytest.mark.parametrize("old_binding", ["dies", "held"])
@pytest.mark.parametrize("name", ["skorv_call_builtin", "_set_one"])
def test_lookup_during_a_later_watchers_callback_is_not_remembered(run_program, name, old_binding):
    # The later watcher's lookups see the binding that is about to go; the
    # next call must use the new one, as plain Python does.
    proc = run_program("later_watcher.py", name, old_binding)
    assert proc.stdout == "new\n"


# --- Companion modules whose attribute access fails.


def test_companion_attribute_error_is_the_import_error(run_program):
    # As `from .utils import skorv_anyMultibyteUTF8Characters` gives it, and
    # with nothing reported on the way.
    proc = run_program("failing_getattr.py")
    assert proc.stdout == "lookup of skorv_anyMultibyteUTF8Characters failed\nFalse\n"
    assert proc.stderr == ""


# --- A function object cleared by the collector.


def test_cleared_function_answers_like_a_python_function(run_program):
    proc = run_program("cleared_function.py")
    assert proc.stdout == "None None True\nno name\nFalse\n"


def test_function_type_makes_no_instance_the_module_did_not_fill(run_program):
    proc = run_program("hollow_function.py")
    assert "'drovik.options.function'" in proc.stdout


# --- Memory running out during the import.

# Plain-Python class creation under the same sweep: on some interpreters
# (3.13.0) the interpreter's own type machinery crashes, so there a sweep
# can only start once the module's type exists.


@pytest.fixture(scope="module")
def class_creation_survives_memory_failure():
    proc = subprocess.run(
        [sys.executable, os.path.join(PROGRAMS, "class_nomemory_probe.py")], capture_output=True, timeout=60
    )
    return proc.returncode == 0


@pytest.mark.parametrize("type_made", [False, True], ids=["cold", "type-made"])
@pytest.mark.parametrize("first", [0, 20, 60, 120])
@pytest.mark.parametrize("mode", ["alone", "from-on"])
def test_import_survives_memory_failure(
    run_interpreter, class_creation_survives_memory_failure, mode, first, type_made
):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot make allocations fail")
    if not type_made and not class_creation_survives_memory_failure:
        pytest.skip("this interpreter's own class creation crashes when memory runs out")
    proc = run_interpreter(
        os.path.join(PROGRAMS, "import_nomemory.py"), mode, str(first), "type-made" if type_made else "cold"
    )
    report = json.loads(proc.stdout)
    assert set(report["raised"]) <= {"MemoryError", "ImportError"}
    assert report["raised"], "no allocation of the set-up was made to fail"
    assert report["unraisable"] == []
