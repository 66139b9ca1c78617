"""One child process of ``bench/run.py --count``, run by the measured interpreter.

    count_child.py check            the floor and the Cython peer give the
                                    module's results and make its calls
    count_child.py loop IMPL I N    N calls of operation I of IMPL (module,
                                    floor or peer) in the stubbed world
    count_child.py loop empty 0 N   the same process with an empty loop

Every loop child does the same set-up, so that the difference between two of
them under callgrind is the loop alone.  The floor (options_floor) and the
peer (options_model) are found on PYTHONPATH.
"""

import gc
import os
import sys

import drovik.options as module

import options_floor as floor
import options_model as peer
from operations import (
    OPERATIONS,
    STUBBED_READ,
    STUBBED_VALUES,
    World,
    call_count_problem,
    reset,
    run_once,
    stubbed_bindings,
)

floor.bind(module)
# The floor works on the module's own table; run_once() finds it here.
floor._SKORV_OPTIONS = module._SKORV_OPTIONS
IMPLEMENTATIONS = {"module": module, "floor": floor, "peer": peer}
# The module whose namespace each implementation follows.
NAMESPACE_OF = {"module": module, "floor": module, "peer": peer}


def check():
    problems = []
    with World("stubbed", (module, peer), stubbed_bindings()):
        for func_name, label, stmt in OPERATIONS:
            expected = run_once(module, func_name, stmt)
            for name in ("floor", "peer"):
                got = run_once(IMPLEMENTATIONS[name], func_name, stmt)
                if got != expected:
                    problems.append(f"{label}: {name} gives {got!r}, the module {expected!r}")
        for name in ("module", "peer"):
            reset(IMPLEMENTATIONS[name])
            values = IMPLEMENTATIONS[name].skorv_get_option(STUBBED_READ)
            if values != STUBBED_VALUES:
                problems.append(f"stubs not in effect in the {name}: {values!r}")
    for func_name, label, stmt in OPERATIONS:
        for name, implementation in IMPLEMENTATIONS.items():
            problem = call_count_problem(NAMESPACE_OF[name], implementation, func_name, label, stmt)
            if problem:
                problems.append(f"{name}: {problem}")
    reset(module)
    reset(peer)
    return problems


def loop(name, index, calls):
    body = "pass" if name == "empty" else OPERATIONS[index][2]
    namespace = {}
    exec(f"def run(f):\n    for _ in range({calls}):\n        {body}\n", namespace)
    with World("stubbed", (module, peer), stubbed_bindings()):
        # Every child warms every function up alike: the namespace caches and
        # the interpreter's own are filled before the loop.
        for implementation in IMPLEMENTATIONS.values():
            for func_name, _, stmt in OPERATIONS:
                run_once(implementation, func_name, stmt)
        reset(module)
        reset(peer)
        function = None if name == "empty" else getattr(IMPLEMENTATIONS[name], OPERATIONS[index][0])
        gc.disable()
        namespace["run"](function)


def main(argv):
    if argv[0] == "check":
        problems = check()
        for problem in problems:
            print(problem)
        return 1 if problems else 0
    name, index, calls = argv[1:]
    loop(name, int(index), int(calls))
    # Every child ends alike, without the interpreter's finalisation.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
