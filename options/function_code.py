"""Writes the code objects of drovik.options' functions, marshalled, as a C++ array.

The functions carry genuine code objects, because inspect, help() and stub
checkers read their parameters and local names from one. They are compiled
here, at build time, so that importing the module compiles nothing: marshal
data loads in one step and fails cleanly when memory runs out. The build runs
this with the interpreter that the module is built for, since marshal's format
belongs to one interpreter version, as the module itself does.

    python function_code.py OUTPUT
"""

import marshal
import sys
import types

# One stub per function, in the order in which the module binds them: the
# parameters and the local names of the real function, nothing else.
STUBS = (
    "def _cpu_default_string():\n    n = None\n",
    "def skorv_get_option_default():\n    pass\n",
    "def skorv_get_option(option=None):\n    defaults = out = val = rem = keys = out_list = key = None\n",
    "def skorv_set_option(*args, **kwargs):\n    pass\n",
    "def _set_one(option, value):\n    pass\n",
    "def _post_set_checks():\n    mode = arg = wdir = None\n",
    "def skorv_enabled_Plexa_features():\n    pass\n",
)


def function_code(stub: str) -> types.CodeType:
    module = compile(stub, "<drovik.options>", "exec", dont_inherit=True)
    return next(const for const in module.co_consts if isinstance(const, types.CodeType))


def main(output: str) -> None:
    data = marshal.dumps(tuple(function_code(stub) for stub in STUBS))
    rows = (", ".join(str(byte) for byte in data[i : i + 24]) for i in range(0, len(data), 24))
    with open(output, "w", encoding="ascii") as out:
        out.write("// Written by options/function_code.py at build time.\n")
        out.write("constexpr unsigned char FUNCTION_CODE_MARSHALLED[] = {\n")
        out.write(",\n".join(rows))
        out.write("\n};\n")


if __name__ == "__main__":
    main(sys.argv[1])
