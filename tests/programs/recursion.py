"""Recursion through the module's own functions: recursion.py STACK LIMIT REBIND CALL STORED EXCEPTION TABLE.

With the recursion limit LIMIT and the table STORED, runs REBIND, then CALL, which must raise EXCEPTION (a
type name) and leave TABLE (dicts as literals); on the main thread ("main"), on a thread of a 256 KiB stack
("small-thread") or on the main thread with its stack limit lifted ("stack-limit-lifted"). Prints "ok".
"""

import ast
import os
import sys

stack, limit, rebind, call, stored, exception, expected_table = sys.argv[1:]

if stack == "stack-limit-lifted":
    # As `ulimit -s unlimited` or a program preparing for deep recursion does,
    # before the first call. The address space is capped (outside the
    # sanitizer, which reserves terabytes) so that a runaway loop fails the
    # child rather than taking the machine's memory.
    import resource

    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    resource.setrlimit(resource.RLIMIT_STACK, (hard, hard))


def main():
    import types

    import drovik.options as m

    sys.setrecursionlimit(int(limit))
    saved = dict(vars(m))
    m._SKORV_OPTIONS = dict(ast.literal_eval(stored))
    namespace = {"m": m, "types": types}
    exec(rebind, namespace)
    try:
        exec(call, namespace)
    except Exception as exc:
        got = type(exc).__name__
    else:
        got = "no exception"
    table = m._SKORV_OPTIONS
    vars(m).update(saved)
    print("raised:", got)
    print("table:", table)
    assert got == exception
    assert table == ast.literal_eval(expected_table)

    # The module keeps working afterwards.
    m._SKORV_OPTIONS.clear()
    m.skorv_set_option("keep", True)
    assert m.skorv_get_option(["keep", "skorv.mode"]) == [True, "compact"]
    print("ok")


if stack == "small-thread":
    import threading

    threading.stack_size(256 * 1024)
    thread = threading.Thread(target=main)
    thread.start()
    thread.join()
else:
    main()
