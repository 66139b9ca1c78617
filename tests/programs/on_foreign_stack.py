"""on_foreign_stack.py SIZE PROGRAM [ARGUMENT...]: runs PROGRAM, with sys.argv [PROGRAM, ARGUMENT...], on a
stack of SIZE bytes of this program's making (glibc's makecontext and swapcontext, with the x86-64 and AArch64
layout of ucontext_t); its exception, if any, is raised here.
"""

import ctypes
import sys

size, program, *arguments = sys.argv[1:]
with open(program, encoding="utf-8") as source_file:
    code = compile(source_file.read(), program, "exec")
sys.argv = [program, *arguments]

libc = ctypes.CDLL(None)
CONTEXT_SIZE = 4096  # more than glibc's ucontext_t takes on any architecture
caller, fiber = ctypes.create_string_buffer(CONTEXT_SIZE), ctypes.create_string_buffer(CONTEXT_SIZE)
stack = ctypes.create_string_buffer(int(size))
failures = []


@ctypes.CFUNCTYPE(None)
def run():
    try:
        exec(code, {})
    except BaseException as exc:
        failures.append(exc)


assert libc.getcontext(fiber) == 0
# glibc's ucontext_t begins with uc_flags, uc_link, then uc_stack {ss_sp, ss_flags, ss_size}.
ctypes.c_void_p.from_buffer(fiber, 8).value = ctypes.addressof(caller)
ctypes.c_void_p.from_buffer(fiber, 16).value = ctypes.addressof(stack)
ctypes.c_size_t.from_buffer(fiber, 32).value = len(stack)
libc.makecontext(fiber, run, 0)
assert libc.swapcontext(caller, fiber) == 0
if failures:
    raise failures[0]
