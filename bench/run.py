"""Benchmark of drovik.options against the plain-Python baseline.

Run as ``python bench/run.py`` (add ``--quick`` for a smoke run), or as
``python bench/run.py --count`` for instructions per call under callgrind
(bench/count.py).  See bench/README.md for the method.

Two worlds are measured, applied identically to both modules by rebinding
their module attributes:

* shipped: the real ``os`` and the real companion functions;
* stubbed: ``os`` and the companion functions replaced by C-level callables
  that return fixed values, so what is left is each module's own cost.

Besides the extension/baseline ratio, the shipped-world time of the extension
is set against the calls that every implementation must make anyway (the
processor-count query and the built-in path functions).
"""

import argparse
import gc
import importlib.util
import math
import os
import platform
import statistics
import sys
import timeit
import warnings

from operations import (
    OBLIGATORY,
    OPERATIONS,
    STUB_MEVRO,
    STUB_SKORV,
    STUBBED_READ,
    STUBBED_VALUES,
    WORLD_NAMES,
    World,
    call_count_problem,
    reset,
    run_once,
    stubbed_bindings,
)

HERE = os.path.dirname(os.path.abspath(__file__))
BASELINE_PATH = os.path.join(os.path.dirname(HERE), "tests", "options_model.py")
BASELINE_NAME = "drovik_bench_baseline"

# Targets.
STUBBED_MAX_RATIO = 0.2  # stubbed world: extension / baseline
SHIPPED_MAX_OVER_OBLIGATORY = 1.10  # shipped world: extension / obligatory calls


def load_file(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def make_timer(module, func_name, stmt):
    return timeit.Timer(stmt, setup=f"f = _m.{func_name}", globals={"_m": module})


def obligatory_stmt(counts):
    # Every read asks for the engine path and then the mesh generator path.
    assert counts["skorv_call_builtin"] == counts["mevro_call_builtin"]
    calls = ["c()"] * counts["cpu_count"] + ["s()", "m()"] * counts["skorv_call_builtin"]
    return "; ".join(calls)


# What each operation must hand back besides making its calls: building that
# object right after the processor-count query is part of any implementation's
# cost (the query's system calls leave the caches cold), so the obligatory
# calls plus this alone give a floor that no implementation can go below.
RESULT_STMT = {
    "skorv_get_option_default()": "d24.copy()",
    "skorv_get_option()": "d26.copy()",
    'skorv_get_option(["keep", "verbose", "num.threads"])': "list(k3)",
}


def make_obligatory_timer(counts, cpu_count, skorv_builtin, mevro_builtin, result_stmt=None):
    stmt = obligatory_stmt(counts)
    if result_stmt:
        stmt += "; " + result_stmt
    d24 = {f"key{i}": i for i in range(24)}
    return timeit.Timer(
        stmt,
        setup="c = _c; s = _s; m = _m",
        globals={
            "_c": cpu_count,
            "_s": skorv_builtin,
            "_m": mevro_builtin,
            "d24": d24,
            "d26": dict(d24, a=1, b=2),
            "k3": ["keep", "verbose", "num.threads"],
        },
    )


def calibrate(timer, target):
    """A loop count for which one repeat takes about ``target`` seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target / 10 or number >= 1 << 24:
            break
        number *= 10
    return max(1, int(math.ceil(number * target / max(elapsed, 1e-9))))


def best_ns(timer, number, repeat):
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


# --- sanity checks --------------------------------------------------------


def sanity_check(ext, base, shipped, stubbed):
    """Both modules give equal results in both worlds, the stubs are in
    effect, and each operation makes exactly the obligatory calls."""
    problems = []
    with warnings.catch_warnings():
        # No operation here may warn; make a surprise loud.
        warnings.simplefilter("error")
        for world_name, bindings in (("shipped", shipped), ("stubbed", stubbed)):
            with World(world_name, (ext, base), bindings):
                for func_name, label, stmt in OPERATIONS:
                    got_ext = run_once(ext, func_name, stmt)
                    got_base = run_once(base, func_name, stmt)
                    if got_ext != got_base:
                        problems.append(f"{world_name}: {label}: extension {got_ext!r} != baseline {got_base!r}")
                for module in (ext, base):
                    reset(module)
                    paths = module.skorv_get_option(STUBBED_READ)
                    if world_name == "stubbed":
                        if paths != STUBBED_VALUES:
                            problems.append(f"stubs not in effect in {module.__name__}: {paths!r}")
                    elif STUB_SKORV in paths or STUB_MEVRO in paths:
                        problems.append(f"stubs left bound in {module.__name__}: {paths!r}")

        for func_name, label, stmt in OPERATIONS:
            for module in (ext, base):
                problem = call_count_problem(module, module, func_name, label, stmt)
                if problem:
                    problems.append(problem)
    for module in (ext, base):
        reset(module)
    return problems


# --- report ---------------------------------------------------------------


def format_table(header, rows, align):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = []
    for i, row in enumerate([header] + rows):
        cells = []
        for cell, width, a in zip(row, widths, align):
            cells.append(str(cell).ljust(width) if a == "<" else str(cell).rjust(width))
        lines.append("  ".join(cells).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def fmt_ns(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fast smoke run: few rounds, short repeats")
    parser.add_argument("--rounds", type=int, help="rounds of alternating measurements (default 7, quick 2)")
    parser.add_argument("--repeat", type=int, help="repeats per measurement, best taken (default 5, quick 2)")
    parser.add_argument(
        "--baseline-as-ext",
        action="store_true",
        help="measure a second copy of the baseline in place of the extension (to try the harness)",
    )
    parser.add_argument(
        "--count",
        action="store_true",
        help="count instructions per call under callgrind instead of timing (see bench/README.md)",
    )
    parser.add_argument(
        "--python",
        nargs="+",
        metavar="X.Y",
        default=[f"{sys.version_info[0]}.{sys.version_info[1]}"],
        help="with --count: the CPython versions to measure, from pyenv (default: this one's)",
    )
    parser.add_argument("--calls", type=int, default=10_000, help="with --count: calls per loop (default 10,000)")
    args = parser.parse_args(argv)
    if args.count:
        import count

        return count.main(args.python, args.calls)

    rounds = args.rounds or (2 if args.quick else 7)
    repeat = args.repeat or (2 if args.quick else 5)
    target = 0.002 if args.quick else 0.03  # seconds per repeat

    base = load_file(BASELINE_NAME, BASELINE_PATH)
    if args.baseline_as_ext:
        ext = load_file(BASELINE_NAME + "_as_ext", BASELINE_PATH)
    else:
        import drovik.options as ext

    shipped = {attr: getattr(ext, attr) for attr in WORLD_NAMES}
    if shipped["os"] is not os:
        sys.exit(f"{ext.__name__}.os is not the os module; is the table already patched?")
    stubbed = stubbed_bindings()

    print(f"extension: {ext.__name__} from {ext.__file__}")
    print(f"baseline:  {base.__name__} from {base.__file__}")
    print(
        f"python {platform.python_version()} ({platform.python_implementation()}), {platform.machine()}, "
        f"{os.cpu_count()} cpus seen by os.cpu_count()"
    )
    print(f"rounds={rounds}, repeats per measurement={repeat} (best taken), ~{target * 1e3:g} ms per repeat")
    print()

    problems = sanity_check(ext, base, shipped, stubbed)
    if problems:
        print("SANITY CHECK FAILED:")
        for p in problems:
            print("  " + p)
        return 1
    print("sanity check: equal results in both worlds, stubs in effect, call counts as expected")
    print(flush=True)

    worlds = (("shipped", shipped), ("stubbed", stubbed))
    modules = (("ext", ext), ("base", base))
    timers = {}
    numbers = {}
    gc.collect()
    for world_name, bindings in worlds:
        with World(world_name, (ext, base), bindings):
            for func_name, label, stmt in OPERATIONS:
                for mod_key, module in modules:
                    timer = make_timer(module, func_name, stmt)
                    reset(module)
                    timers[label, world_name, mod_key] = timer
                    numbers[label, world_name, mod_key] = calibrate(timer, target)
    for _, label, _ in OPERATIONS:
        timer = make_obligatory_timer(
            OBLIGATORY[label], os.cpu_count, shipped["skorv_call_builtin"], shipped["mevro_call_builtin"]
        )
        timers[label, "obligatory"] = timer
        numbers[label, "obligatory"] = calibrate(timer, target)
        timer = make_obligatory_timer(
            OBLIGATORY[label],
            os.cpu_count,
            shipped["skorv_call_builtin"],
            shipped["mevro_call_builtin"],
            RESULT_STMT.get(label),
        )
        timers[label, "floor"] = timer
        numbers[label, "floor"] = calibrate(timer, target)

    samples = {key: [] for key in timers}
    for r in range(rounds):
        # Which module goes first alternates between rounds.
        order = modules if r % 2 == 0 else modules[::-1]
        for world_name, bindings in worlds:
            with World(world_name, (ext, base), bindings):
                for _, label, _ in OPERATIONS:
                    for mod_key, module in order:
                        reset(module)
                        key = (label, world_name, mod_key)
                        samples[key].append(best_ns(timers[key], numbers[key], repeat))
        for _, label, _ in OPERATIONS:
            for kind in ("obligatory", "floor"):
                key = (label, kind)
                samples[key].append(best_ns(timers[key], numbers[key], repeat))
        print(f"round {r + 1}/{rounds} done", file=sys.stderr, flush=True)
    for module in (ext, base):
        reset(module)
    med = {key: statistics.median(values) for key, values in samples.items()}

    rows = []
    met_all = True
    for world_name, _ in worlds:
        for _, label, _ in OPERATIONS:
            e = med[label, world_name, "ext"]
            b = med[label, world_name, "base"]
            ratio = e / b
            if world_name == "stubbed":
                ok = ratio <= STUBBED_MAX_RATIO
                met_all &= ok
                verdict = f"<= {STUBBED_MAX_RATIO}: {'met' if ok else 'MISSED'}"
            else:
                verdict = ""
            rows.append((label, world_name, fmt_ns(e), fmt_ns(b), f"{ratio:.3f}", verdict))
    print("Extension against baseline (median over rounds of best-of-repeats, ns per call)")
    print(
        format_table(
            ("operation", "world", "ext ns", "base ns", "ext/base", "target"),
            rows,
            "<<>>><",
        )
    )
    print()

    rows = []
    for _, label, _ in OPERATIONS:
        c = OBLIGATORY[label]
        calls = f"{c['cpu_count']} cpu + {c['skorv_call_builtin']} skorv + {c['mevro_call_builtin']} mevro"
        o = med[label, "obligatory"]
        e = med[label, "shipped", "ext"]
        ratio = e / o
        ok = ratio <= SHIPPED_MAX_OVER_OBLIGATORY
        met_all &= ok
        floor = med[label, "floor"]
        rows.append(
            (
                label,
                calls,
                fmt_ns(o),
                fmt_ns(e),
                f"{ratio:.3f}",
                f"<= {SHIPPED_MAX_OVER_OBLIGATORY}: {'met' if ok else 'MISSED'}",
                fmt_ns(floor),
                f"{e / floor:.3f}",
            )
        )
    print("Shipped-world extension against its obligatory calls alone (ns per call)")
    print("(floor: the obligatory calls plus building the object the operation returns)")
    print(
        format_table(
            ("operation", "obligatory calls", "oblig ns", "ext ns", "ext/oblig", "target", "floor ns", "ext/floor"),
            rows,
            "<<>>><>>",
        )
    )
    print()
    print(f"all targets met: {'yes' if met_all else 'no'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
