"""Writes the code objects of drovik.options' functions, marshalled, as a C++ array.

The functions carry genuine code objects, because inspect, help() and stub
checkers read their parameters and local names from one. They are compiled
here, at build time, so that importing the module compiles nothing: marshal
data loads in one step and fails cleanly when memory runs out. The build runs
this with the interpreter that the module is built for, since marshal's format
belongs to one interpreter version, as the module itself does. The parameters
and local names are the catalogue's (src/drovik/_catalogue.py).

    python function_code.py CATALOGUE OUTPUT
"""

import marshal
import sys
import types

import catalogue_code


def function_code(stub: str) -> types.CodeType:
    module = compile(stub, "<drovik.options>", "exec", dont_inherit=True)
    return next(const for const in module.co_consts if isinstance(const, types.CodeType))


def main(catalogue_path: str, output: str) -> None:
    functions = catalogue_code.load(catalogue_path).FUNCTIONS
    stubs = (catalogue_code.stub_source(function) for function in functions)
    data = marshal.dumps(tuple(function_code(stub) for stub in stubs))
    rows = (", ".join(str(byte) for byte in data[i : i + 24]) for i in range(0, len(data), 24))
    with open(output, "w", encoding="ascii") as out:
        out.write("// Written by options/function_code.py at build time.\n")
        out.write("constexpr unsigned char FUNCTION_CODE_MARSHALLED[] = {\n")
        out.write(",\n".join(rows))
        out.write("\n};\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
