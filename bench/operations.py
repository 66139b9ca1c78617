"""The measured operations of drovik.options and the worlds they run in.

Shared by the timing mode (bench/run.py) and the instruction counts
(bench/count.py and the child processes of bench/count_child.py).
"""

import importlib.util
import itertools
import os
import types


def _load_call_paths():
    # The tests' catalogue of call paths, by its path: bench/ is no package.
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "call_paths.py")
    found = importlib.util.spec_from_file_location("call_paths", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


call_paths = _load_call_paths()

# The measured paths of the tests' catalogue: (function name, the statement
# as the table shows it, the statement timed, with ``f`` the module function).
BENCH_PATHS = ["defaults", "cpu-string", "read-one", "read-all", "read-list", "set-key", "set-kw", "plexa"]
OPERATIONS = [
    (call_paths.BY_NAME[name].function, *reversed(call_paths.statement(call_paths.BY_NAME[name])))
    for name in BENCH_PATHS
]

# Calls that each operation must make, starting from an empty option table
# (so both command paths are unset, "malloc.lib" reads "mi" and the working
# directory reads None):
# - building the defaults queries os.cpu_count() once;
# - every read builds the defaults once and, with both command paths unset,
#   asks skorv_call_builtin() and then mevro_call_builtin() once each; the
#   remote-run script is asked for only for a stored (dict form) or read
#   (lookup form) engine path that says "remote", which never happens here;
# - _set_one builds the defaults once per pair to get the known keys;
# - the checks after a set read "skorv.mode", "malloc.lib" and
#   "working.directory" (three reads); "mi" is a listed allocator, so no
#   os.path.exists() call, and None skips the multibyte test.
OBLIGATORY = {
    "skorv_get_option_default()": {"cpu_count": 1, "skorv_call_builtin": 0, "mevro_call_builtin": 0},
    "_cpu_default_string()": {"cpu_count": 1, "skorv_call_builtin": 0, "mevro_call_builtin": 0},
    'skorv_get_option("keep")': {"cpu_count": 1, "skorv_call_builtin": 1, "mevro_call_builtin": 1},
    "skorv_get_option()": {"cpu_count": 1, "skorv_call_builtin": 1, "mevro_call_builtin": 1},
    'skorv_get_option(["keep", "verbose", "num.threads"])': {
        "cpu_count": 1,
        "skorv_call_builtin": 1,
        "mevro_call_builtin": 1,
    },
    # one _set_one (1 default build) + three reads (3 builds, 3 + 3 path calls)
    'skorv_set_option("keep", True)': {"cpu_count": 4, "skorv_call_builtin": 3, "mevro_call_builtin": 3},
    # two _set_one calls + three reads
    "skorv_set_option(keep=True, verbose=False)": {
        "cpu_count": 5,
        "skorv_call_builtin": 3,
        "mevro_call_builtin": 3,
    },
    "skorv_enabled_Plexa_features()": {"cpu_count": 1, "skorv_call_builtin": 1, "mevro_call_builtin": 1},
}
# Further calls that none of the operations above may make.
NEVER_CALLED = ("skorv_remote_script", "_any_mb", "os.path.exists")

# The module attributes that the worlds rebind.
WORLD_NAMES = ("os", "skorv_call_builtin", "mevro_call_builtin", "skorv_remote_script", "_any_mb")

STUB_SKORV = "/opt/skorv/bin/skorv"
STUB_MEVRO = "/opt/skorv/bin/mevro"
STUB_REMOTE = "/opt/skorv/bin/skorv_remote.sh"
STUB_CPUS = 8


def stubbed_bindings():
    """C-level callables with fixed answers: calling them costs next to nothing."""
    return {
        "os": types.SimpleNamespace(cpu_count=itertools.repeat(STUB_CPUS).__next__, path=os.path),
        "skorv_call_builtin": itertools.repeat(STUB_SKORV).__next__,
        "mevro_call_builtin": itertools.repeat(STUB_MEVRO).__next__,
        "skorv_remote_script": itertools.repeat(STUB_REMOTE).__next__,
        # Takes the one text argument and answers False for any string.
        "_any_mb": frozenset().__contains__,
    }


class World:
    """Rebinds the world's names in every module, and restores them on exit."""

    def __init__(self, name, modules, bindings):
        self.name = name
        self.modules = modules
        self.bindings = bindings
        self._saved = []

    def __enter__(self):
        for module in self.modules:
            saved = {attr: getattr(module, attr) for attr in WORLD_NAMES}
            self._saved.append((module, saved))
            for attr, value in self.bindings.items():
                setattr(module, attr, value)
        return self

    def __exit__(self, *exc):
        while self._saved:
            module, saved = self._saved.pop()
            for attr, value in saved.items():
                setattr(module, attr, value)
        return False


def reset(module):
    # Every operation starts from an empty table, in place: the module keeps
    # its own dict object.
    module._SKORV_OPTIONS.clear()


def run_once(module, func_name, stmt):
    reset(module)
    result = eval(stmt, {"f": getattr(module, func_name)})
    return result, dict(module._SKORV_OPTIONS)


class Counter:
    def __init__(self, name, counts, result):
        self.name = name
        self.counts = counts
        self.result = result

    def __call__(self, *args):
        self.counts[self.name] += 1
        return self.result


def counting_bindings(counts):
    counted_path = types.SimpleNamespace(exists=Counter("os.path.exists", counts, False), join=os.path.join)
    return {
        "os": types.SimpleNamespace(cpu_count=Counter("cpu_count", counts, STUB_CPUS), path=counted_path),
        "skorv_call_builtin": Counter("skorv_call_builtin", counts, STUB_SKORV),
        "mevro_call_builtin": Counter("mevro_call_builtin", counts, STUB_MEVRO),
        "skorv_remote_script": Counter("skorv_remote_script", counts, STUB_REMOTE),
        "_any_mb": Counter("_any_mb", counts, False),
    }


def call_count_problem(world_module, module, func_name, label, stmt):
    """What is wrong with the calls that ``module`` makes for one operation,
    the counting stubs bound in ``world_module`` (whose namespace ``module``
    follows); None when it makes exactly the obligatory calls."""
    counts = dict.fromkeys(("cpu_count", "skorv_call_builtin", "mevro_call_builtin") + NEVER_CALLED, 0)
    with World("counting", (world_module,), counting_bindings(counts)):
        run_once(module, func_name, stmt)
    expected = dict.fromkeys(NEVER_CALLED, 0)
    expected.update(OBLIGATORY[label])
    if counts != expected:
        return f"call counts of {module.__name__} for {label}: {counts} != {expected}"
    return None


# What a read of these keys gives while the stubs are bound.
STUBBED_READ = ["skorv.call", "mevro.call", "num.threads"]
STUBBED_VALUES = [STUB_SKORV, STUB_MEVRO, f"{STUB_CPUS}:1"]
