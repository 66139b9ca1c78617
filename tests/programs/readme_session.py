# Child program of tests/test_readme.py: the README's examples with prompts, as one doctest session.
# Runs the session in the file argv[1]. An example marked +PYTHON_3_11 shows
# what only 3.11 and later print (an exception's note), so earlier versions
# skip it. The doctest of early 3.11 releases (3.11.2 of Debian 12 among them)
# compares only the last line of an exception's text, its note where it has
# one, with the whole expected text: there it gets the text as one line, as
# later releases join it.

import doctest
import sys
import traceback
import types


def compares_notes():
    probe = doctest.DocTestParser().get_doctest(
        ">>> e = Exception('x'); e.add_note('n'); raise e\nTraceback (most recent call last):\nException: x\nn\n",
        {},
        "probe",
        None,
        0,
    )
    runner = doctest.DocTestRunner()
    runner.run(probe, out=lambda text: None)
    return not runner.failures


if sys.version_info >= (3, 11) and not compares_notes():
    doctest.traceback = types.SimpleNamespace(
        **{
            **vars(traceback),
            "format_exception_only": lambda *exc: ["".join(traceback.format_exception_only(*exc))],
        }
    )

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
