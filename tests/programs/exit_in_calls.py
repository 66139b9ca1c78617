"""Four daemon threads call the path of tests/call_paths.py named by argv[1] while the interpreter exits."""

import os
import sys
import threading
import time
import types

import drovik.options as m

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import call_paths  # noqa: E402

# Every companion is Python code, so a call of the module leaves it for
# Python and may lose the GIL there; the interpreter's exit then ends the
# thread in the middle of that call.
m.os = types.SimpleNamespace(cpu_count=lambda: 4, path=types.SimpleNamespace(exists=lambda p: False))
m.warnings = types.SimpleNamespace(warn=lambda message: None)
m.skorv_call_builtin = lambda: "/x/skorv"
m.mevro_call_builtin = lambda: "/x/mevro"
m.skorv_remote_script = lambda: "/x/remote.sh"
m._any_mb = lambda text: True
m.skorv_set_option(**{"skorv.call": "remote", "working.directory": "/d\u00e9", "malloc.lib": "unlisted"})
path = call_paths.BY_NAME[sys.argv[1]]
call = call_paths.caller(path, m)
m._SKORV_OPTIONS.update(call_paths.stored(path))
call_paths.prepare(path, m)
started = threading.Barrier(5)


def loop():
    started.wait()
    while True:
        call()


sys.setswitchinterval(1e-6)
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
started.wait()
time.sleep(0.005)
