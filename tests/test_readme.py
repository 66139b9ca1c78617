"""The README's Python examples, run against the installed package: the
blocks with ``>>>`` prompts as one doctest session (they go on from each
other), every other block as a program of its own. Each runs in a fresh
interpreter, since the examples change the process-wide option table."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"

# A fenced Python block; group 1 is its code.
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks(prompts):
    """(first line, code) of the README's Python blocks with or without prompts."""
    text = README.read_text(encoding="utf-8")
    return [
        (text.count("\n", 0, match.start(1)) + 1, match.group(1))
        for match in BLOCK.finditer(text)
        if (">>> " in match.group(1)) == prompts
    ]


def at_readme_lines(blocks, path):
    """Write the blocks to path at their own line numbers, so that failures
    and tracebacks name the README's lines."""
    lines = []
    for start, code in blocks:
        lines += [""] * (start - 1 - len(lines))
        lines += code.splitlines()
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


def test_examples_with_prompts_print_what_the_readme_shows(run_program, tmp_path):
    blocks = python_blocks(prompts=True)
    assert blocks
    session = at_readme_lines(blocks, tmp_path / "session.txt")
    proc = run_program("readme_session.py", session)
    assert re.fullmatch(r"[1-9][0-9]* examples, 0 failed\n", proc.stdout), proc.stdout


@pytest.mark.parametrize("start, code", python_blocks(prompts=False))
def test_example_programs_run(run_interpreter, tmp_path, start, code):
    run_interpreter(at_readme_lines([(start, code)], tmp_path / "example.py"))
