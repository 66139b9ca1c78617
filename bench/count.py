"""Instructions per call of drovik.options, of its floor and of its Cython peer.

The count mode of bench/run.py (``--count``); bench/README.md gives the method.
For each CPython version measured, everything lives under build/bench/<X.Y>/:

* ``venv/``: the measured environment, drovik installed from the worktree and
  nothing else (reinstalled when the package's sources change);
* ``tools/``: pip and Cython, which build the wheel and the peer;
* ``ext/``: ``options_floor`` (bench/options_floor.c) and ``options_model``
  (tests/options_model.py compiled by Cython), built with the measured
  interpreter's own compiler flags;
* ``callgrind/``: the profiles of the last run, for ``callgrind_annotate``.
"""

import collections
import concurrent.futures
import glob
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

from operations import OPERATIONS

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(REPO, "bench")
BUILD = os.path.join(REPO, "build", "bench")
MODEL = os.path.join(REPO, "tests", "options_model.py")
FLOOR = os.path.join(BENCH, "options_floor.c")
PACKAGE_SOURCES = ("options", "src", "CMakeLists.txt", "pyproject.toml")

# Targets.
FLOOR_MAX_RATIO = 1.05  # module / floor, every operation, every version
IMPORT_MAX_INSTRUCTIONS = {"3.11": 2_500_000}

IMPLEMENTATIONS = ("module", "floor", "peer")
PRELOADED = "import os, typing, contextlib, warnings"
IMPORTS = {"module": "import drovik.options", "peer": "import options_model"}
# Around the import counted: a collection falls to whichever import crosses
# the allocation threshold, so none runs; and the child ends at once, since
# the interpreter's finalisation, which tears down every module loaded, is no
# part of an import's cost.
BEFORE_IMPORT = f"{PRELOADED}; import gc; gc.disable()"
QUIT = "os._exit(0)"
IMPORTTIME_RUNS = 31
JOBS = 2  # the machine has two cores

PIP_ENV = dict(
    os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_ROOT_USER_ACTION="ignore", CMAKE_BUILD_PARALLEL_LEVEL="2"
)
# What an extension for the measured interpreter is built with.
SYSCONFIG_QUERY = (
    "import json, sysconfig; print(json.dumps({k: sysconfig.get_config_var(k) "
    "for k in ('LDSHARED', 'CFLAGS', 'CCSHARED', 'INCLUDEPY', 'EXT_SUFFIX')}))"
)


def run(argv, **kwargs):
    """Runs a command; its output is shown only when it fails."""
    done = subprocess.run(argv, check=False, capture_output=True, text=True, **kwargs)
    if done.returncode:
        sys.exit(f"{' '.join(argv)} failed:\n{done.stdout}{done.stderr}")
    return done


def pip(tools, *args):
    return run([os.path.join(tools, "bin", "python"), "-m", "pip", *args], env=PIP_ENV)


def find_python(version):
    """The newest patch release of ``version`` under pyenv."""
    root = os.environ.get("PYENV_ROOT") or run(["pyenv", "root"]).stdout.strip()
    found = [
        path
        for path in glob.glob(os.path.join(root, "versions", version + ".*"))
        if re.fullmatch(re.escape(version) + r"\.\d+", os.path.basename(path))
    ]
    if not found:
        sys.exit(f"no CPython {version} under {root}/versions")
    newest = max(found, key=lambda path: int(path.rsplit(".", 1)[1]))
    return os.path.join(newest, "bin", "python")


def digest(*paths):
    """A hash of every file under ``paths`` (relative to the repository)."""
    hashed = hashlib.sha256()
    for path in paths:
        full = os.path.join(REPO, path)
        files = (
            [full]
            if os.path.isfile(full)
            else sorted(
                os.path.join(folder, name)
                for folder, _, names in os.walk(full)
                for name in names
                if "__pycache__" not in folder
            )
        )
        for name in files:
            hashed.update(os.path.relpath(name, REPO).encode() + b"\0")
            with open(name, "rb") as f:
                hashed.update(f.read())
    return hashed.hexdigest()


def up_to_date(folder, inputs):
    try:
        with open(os.path.join(folder, ".inputs")) as f:
            return f.read() == inputs
    except OSError:
        return False


def mark_built(folder, inputs):
    with open(os.path.join(folder, ".inputs"), "w") as f:
        f.write(inputs)


def prepare_environments(base, python):
    """The tools environment, and the measured one with the current package."""
    tools = os.path.join(base, "tools")
    if not os.path.exists(os.path.join(tools, "bin", "cython")):
        run([python, "-m", "venv", "--clear", tools])
        pip(tools, "install", "-q", "cython")
    venv = os.path.join(base, "venv")
    inputs = digest(*PACKAGE_SOURCES) + python
    if up_to_date(venv, inputs):
        return tools, venv
    print(f"  building and installing drovik into {venv}", flush=True)
    wheels = os.path.join(base, "wheel")
    shutil.rmtree(wheels, ignore_errors=True)
    # Unstripped, so that profiles name the module's functions; the code and
    # what the loader does with it are those of the shipped build.
    pip(tools, "wheel", "-q", "--no-deps", "-w", wheels, "--config-settings=install.strip=false", REPO)
    run([python, "-m", "venv", "--clear", "--without-pip", venv])
    pip(tools, "install", "-q", "--no-deps", "--prefix", venv, *glob.glob(os.path.join(wheels, "*.whl")))
    mark_built(venv, inputs)
    return tools, venv


def compile_extension(config, source, output, extra_flags=()):
    """Compiles and links in one step, as the interpreter builds its own extensions."""
    flags = [*config["LDSHARED"].split(), *config["CFLAGS"].split(), *config["CCSHARED"].split()]
    return run([*flags, "-I", config["INCLUDEPY"], *extra_flags, source, "-o", output]).stderr


def build_extensions(base, python, tools, venv):
    """options_floor and options_model for the measured interpreter."""
    ext = os.path.join(base, "ext")
    inputs = digest("bench/options_floor.c", "tests/options_model.py") + python
    if up_to_date(ext, inputs):
        return ext
    print(f"  building the floor and the Cython peer into {ext}", flush=True)
    os.makedirs(ext, exist_ok=True)
    config = json.loads(run([os.path.join(venv, "bin", "python"), "-c", SYSCONFIG_QUERY]).stdout)
    suffix = config["EXT_SUFFIX"]
    warnings = compile_extension(config, FLOOR, os.path.join(ext, "options_floor" + suffix), ["-Wextra"])
    if warnings:
        print(warnings, file=sys.stderr)
    peer_source = os.path.join(ext, "options_model.c")
    run([os.path.join(tools, "bin", "cython"), "-3", MODEL, "-o", peer_source])
    compile_extension(config, peer_source, os.path.join(ext, "options_model" + suffix))
    mark_built(ext, inputs)
    return ext


# --- Counting.


def child_env(**extra):
    # The same small environment for every child: nothing in it varies.
    return {"PATH": os.environ["PATH"], "PYTHONHASHSEED": "0", "LC_ALL": "C.UTF-8", **extra}


def callgrind(argv, profile, cwd, env):
    """Instructions executed by the command, all of them, from its profile."""
    run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + profile, "-q", *argv], cwd=cwd, env=env)
    with open(profile) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1])
    sys.exit(f"no summary in {profile}")


def self_cost_by_object(profile):
    """Instructions spent in each shared object's own code, from a profile."""
    names = {}
    cost = collections.Counter()
    current = None
    call_cost_next = False
    with open(profile) as f:
        for line in f:
            named = re.match(r"(c?)ob=\((\d+)\)(?: (.*))?", line)
            if named:
                if named.group(3):
                    names[named.group(2)] = named.group(3).strip()
                if not named.group(1):
                    current = names[named.group(2)]
            elif line.startswith("calls="):
                # The next cost line is the callee's inclusive cost.
                call_cost_next = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if not call_cost_next:
                    cost[current] += int(line.split()[1])
                call_cost_next = False
    return cost


def count_calls(python, ext, profiles, calls):
    """Instructions per call of every operation of every implementation."""
    env = child_env(PYTHONPATH=ext)
    script = os.path.join(BENCH, "count_child.py")
    # The run stops here when the floor or the peer differs from the module.
    run([python, script, "check"], cwd=ext, env=env)

    def total(name, index):
        profile = os.path.join(profiles, f"{name}-{index}.out")
        return callgrind([python, script, "loop", name, str(index), str(calls)], profile, ext, env)

    jobs = [("empty", 0)] + [(name, index) for index in range(len(OPERATIONS)) for name in IMPLEMENTATIONS]
    with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
        totals = dict(zip(jobs, pool.map(lambda job: total(*job), jobs)))
    empty = totals.pop(("empty", 0))
    return {job: (value - empty) / calls for job, value in totals.items()}


def import_figures(python, ext, profiles):
    """Instructions (all, and the dynamic loader's) of each import after the
    preloaded modules, and its median -X importtime cumulative microseconds."""
    env = child_env()
    statements = {
        "none": f"{BEFORE_IMPORT}; {QUIT}",
        **{name: f"{BEFORE_IMPORT}; {line}; {QUIT}" for name, line in IMPORTS.items()},
    }
    costs = {}
    for name, statement in statements.items():
        profile = os.path.join(profiles, f"import-{name}.out")
        costs[name] = (callgrind([python, "-c", statement], profile, ext, env), self_cost_by_object(profile))
    startup = top_level_imports(python, "pass", ext, env)
    # Turn about, so that the load of the machine falls on both alike.
    times = {name: [] for name in IMPORTS}
    for _ in range(IMPORTTIME_RUNS):
        for name, line in IMPORTS.items():
            found = top_level_imports(python, line, ext, env)
            times[name].append(sum(us for imported, us in found.items() if imported not in startup))
    base_total, base_by_object = costs["none"]
    figures = {}
    for name in IMPORTS:
        total, by_object = costs[name]
        loader = sum(by_object[obj] - base_by_object[obj] for obj in by_object if "/ld-linux" in obj)
        figures[name] = (total - base_total, loader, statistics.median(times[name]))
    return figures


def top_level_imports(python, statement, cwd, env):
    """Cumulative microseconds of each outermost import that -X importtime reports."""
    done = run([python, "-X", "importtime", "-c", statement], cwd=cwd, env=env)
    found = {}
    for line in done.stderr.splitlines():
        fields = line.split("|")
        if line.startswith("import time:") and fields[1].strip().isdigit() and not fields[2].startswith("  "):
            found[fields[2].strip()] = int(fields[1])
    return found


def needed_libraries(venv):
    (extension,) = glob.glob(os.path.join(venv, "lib", "python*", "site-packages", "drovik", "options*.so"))
    dynamic = run(["readelf", "-d", extension]).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)


# --- Report.


def format_table(header, rows, align):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = []
    for i, row in enumerate([header] + rows):
        cells = [str(cell).ljust(w) if a == "<" else str(cell).rjust(w) for cell, w, a in zip(row, widths, align)]
        lines.append("  ".join(cells).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def verdict(ok):
    return "met" if ok else "MISSED"


def report(version, full_version, per_call, imports, needed, calls):
    """Prints the tables of one version; True when its targets are met."""
    met = True
    rows = []
    for index, (_, label, _) in enumerate(OPERATIONS):
        module, floor, peer = (per_call[name, index] for name in IMPLEMENTATIONS)
        ok = module <= FLOOR_MAX_RATIO * floor
        met &= ok
        rows.append(
            (
                label,
                f"{module:,.0f}",
                f"{floor:,.0f}",
                f"{module / floor:.3f}",
                f"<= {FLOOR_MAX_RATIO}: {verdict(ok)}",
                f"{peer:,.0f}",
                f"{peer / module:.2f}",
            )
        )
    print(
        f"CPython {full_version}: instructions per call, stubbed world (callgrind, {calls:,} calls minus an empty loop)"
    )
    print(
        format_table(
            ("operation", "module", "floor", "module/floor", "target", "Cython peer", "peer/module"), rows, "<>>><>>"
        )
    )
    print()
    rows = [(IMPORTS[name], f"{total:,}", f"{loader:,}", f"{us:,.0f}") for name, (total, loader, us) in imports.items()]
    print(f"Import after `{PRELOADED}`: instructions (callgrind);")
    print(f"the import alone: time by -X importtime, cumulative, median of {IMPORTTIME_RUNS} runs")
    print(format_table(("import", "instructions", "of which ld-linux", "importtime us"), rows, "<>>>"))
    limit = IMPORT_MAX_INSTRUCTIONS.get(version)
    if limit:
        ok = imports["module"][0] <= limit
        met &= ok
        print(f"target: import of drovik.options <= {limit:,} instructions: {verdict(ok)}")
    ok = imports["module"][2] <= imports["peer"][2]
    met &= ok
    print(f"target: importtime of drovik.options no slower than the Cython peer's: {verdict(ok)}")
    print(f"drovik.options needs: {', '.join(needed)}")
    print()
    return met


def main(versions, calls):
    met = True
    for version in versions:
        python = find_python(version)
        base = os.path.join(BUILD, version)
        print(f"== CPython {version} ({python})", flush=True)
        tools, venv = prepare_environments(base, python)
        ext = build_extensions(base, python, tools, venv)
        measured = os.path.join(venv, "bin", "python")
        profiles = os.path.join(base, "callgrind")
        os.makedirs(profiles, exist_ok=True)
        full_version = run([measured, "-c", "import platform; print(platform.python_version())"]).stdout.strip()
        per_call = count_calls(measured, ext, profiles, calls)
        imports = import_figures(measured, ext, profiles)
        met &= report(version, full_version, per_call, imports, needed_libraries(venv), calls)
    print(f"all targets met: {'yes' if met else 'no'}")
    return 0
