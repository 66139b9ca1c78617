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

# Runs the session in the file argv[1]. An example marked +PYTHON_3_11 shows
# what only 3.11 and later print (an exception's note), so earlier versions
# skip it. The doctest of early 3.11 releases (3.11.2 of Debian 12 among them)
# compares only the last line of an exception's text, its note where it has
# one, with the whole expected text: there it gets the text as one line, as
# later releases join it.
DOCTEST_SESSION = """
import doctest, sys, traceback, types

def compares_notes():
    probe = doctest.DocTestParser().get_doctest(
        ">>> e = Exception('x'); e.add_note('n'); raise e\\n"
        "Traceback (most recent call last):\\nException: x\\nn\\n", {}, "probe", None, 0)
    runner = doctest.DocTestRunner()
    runner.run(probe, out=lambda text: None)
    return not runner.failures

if sys.version_info >= (3, 11) and not compares_notes():
    doctest.traceback = types.SimpleNamespace(**{
        **vars(traceback),
        "format_exception_only": lambda *exc: ["".join(traceback.format_exception_only(*exc))],
    })

PYTHON_3_11 = doctest.register_optionflag("PYTHON_3_11")
with open(sys.argv[1], encoding="utf-8") as session:
    test = doctest.DocTestParser().get_doctest(session.read(), {}, "README", "README.md", 0)
for example in test.examples:
    if example.options.get(PYTHON_3_11) and sys.version_info < (3, 11):
        example.options[doctest.SKIP] = True
runner = doctest.DocTestRunner()
runner.run(test)
print(f"{runner.tries} examples, {runner.failures} failed")
sys.exit(1 if runner.failures else 0)
"""


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


def test_examples_with_prompts_print_what_the_readme_shows(run_interpreter, tmp_path):
    blocks = python_blocks(prompts=True)
    assert blocks
    session = at_readme_lines(blocks, tmp_path / "session.txt")
    proc = run_interpreter("-c", DOCTEST_SESSION, session)
    assert re.fullmatch(r"[1-9][0-9]* examples, 0 failed\n", proc.stdout), proc.stdout


@pytest.mark.parametrize("start, code", python_blocks(prompts=False))
def test_example_programs_run(run_interpreter, tmp_path, start, code):
    run_interpreter(at_readme_lines([(start, code)], tmp_path / "example.py"))
