"""``python -m drovik``: every option with its current value and its source."""

import importlib.metadata
import json
import os
import re
import subprocess
import sys

import pytest

import drovik.skorv_call
from drovik._catalogue import message

ROW = re.compile(r"^(\S+) +(.*?) +((?:default|set|built-in path|remote script)(?:, missing)?)$")


@pytest.fixture
def fresh_rows(default_items):
    """(key, value, source) that a fresh process must show, in dict-form order."""
    n = os.cpu_count() or 1
    n = 16 if n >= 16 else max(n, 1)
    rows = [(key, f"{n}:1" if key == "num.threads" else value, "default") for key, value in default_items]
    rows.append(("skorv.call", drovik.skorv_call.skorv_call_builtin(), "built-in path"))
    rows.append(("mevro.call", drovik.skorv_call.mevro_call_builtin(), "built-in path"))
    return rows


def marked(key, value, source):
    """The source column: a command path that does not exist is marked."""
    missing = key in ("skorv.call", "mevro.call") and not os.path.exists(value)
    return source + (", missing" if missing else "")


def parse_table(text):
    lines = text.splitlines()
    assert re.fullmatch(r"option +value +source", lines[0]), lines[0]
    assert re.fullmatch(r"-+  -+  -{6}", lines[1]), lines[1]
    column = lines[0].index("source")
    rows = []
    for line in lines[2:]:
        match = ROW.match(line)
        assert match, line
        # The source column is aligned under its heading.
        assert line.index(match.group(3), len(line) - len(match.group(3))) == column, line
        rows.append(match.groups())
    return rows


def test_table_lists_every_option_in_read_order(run_interpreter, fresh_rows):
    proc = run_interpreter("-m", "drovik")
    assert parse_table(proc.stdout) == [
        (key, repr(value), marked(key, value, source)) for key, value, source in fresh_rows
    ]


def test_json_lists_every_option(run_interpreter, fresh_rows):
    proc = run_interpreter("-m", "drovik", "--json")
    table = json.loads(proc.stdout)
    assert [list(entry) for entry in table] == [["key", "value", "source"]] * 24 + [
        ["key", "value", "source", "missing"]
    ] * 2
    assert [e["missing"] for e in table[24:]] == [not os.path.exists(e["value"]) for e in table[24:]]
    got = [(e["key"], e["value"], e["source"]) for e in table]
    assert got == fresh_rows
    # JSON keeps the kinds of the defaults apart: false is not 0.
    assert [type(e["value"]) for e in table] == [type(value) for _, value, _ in fresh_rows]


def test_set_values_are_shown_as_set(run_program, fresh_rows):
    proc = run_program("cli_set_values.py", env={"PYTHONIOENCODING": "utf-8:strict"})
    changed = {
        "keep": (True, "set"),
        "num.threads": ("3:1", "set"),
        "working.directory": (b"/srv/data", "set"),
        # Set to the value it has by default: still a set value.
        "safe": (True, "set"),
        "mevro.call": ("/usr/bin/mevro", "set"),
        # A file name's byte that is not UTF-8, and any other lone surrogate.
        "skorv.arg": ("/srv/\udcffa\ud800", "set"),
    }
    expected = [(key, *changed.get(key, (value, source))) for key, value, source in fresh_rows]
    json_text, table_text = proc.stdout.split("\n--\n")
    as_json = [(e["key"], e["value"], e["source"]) for e in json.loads(json_text)]
    # A value that JSON cannot hold is given as its repr; what UTF-8 cannot
    # write, as a backslash and the byte or code point in hex.
    in_json = {"/srv/\udcffa\ud800": "/srv/\\xffa\\ud800", b"/srv/data": repr(b"/srv/data")}
    assert as_json == [(k, in_json.get(v, v), s) for k, v, s in expected]
    assert parse_table(table_text) == [(k, repr(v), marked(k, v, s)) for k, v, s in expected]


def config(tmp_path, text):
    path = tmp_path / "drovik.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return str(path)


RUNNABLE = f'skorv.call = "{sys.executable}"\nmevro.call = "{sys.executable}"\n'


@pytest.mark.parametrize(
    "args, rows",
    [
        (
            ["numa", "keep", "numa"],
            [("numa", "False", "default"), ("keep", "False", "default"), ("numa", "False", "default")],
        ),
        (
            ["--config", "{config}", "keep", "skorv.call"],
            [("keep", "True", "set"), ("skorv.call", repr(sys.executable), "set")],
        ),
        # The file is loaded after the environment.
        (["--env", "--config", "{config}", "keep", "verbose"], [("keep", "True", "set"), ("verbose", "True", "set")]),
        (["--env", "skorv.call"], [("skorv.call", "'sh'", "set")]),
    ],
)
def test_keys_select_rows(run_interpreter, tmp_path, args, rows):
    path = config(tmp_path, RUNNABLE + "keep = true\n")
    environ = {"DROVIK_KEEP": "0", "DROVIK_VERBOSE": "yes", "DROVIK_SKORV_CALL": "sh"}
    proc = run_interpreter("-m", "drovik", *[arg.format(config=path) for arg in args], env=environ)
    assert parse_table(proc.stdout) == rows


DEEP = 2000
MB_DIR = "/tmp/d\u00e9p\u00f4t"
MB_WARNING = message("working_directory_multibyte", MB_DIR)


def in_file(text, *errors, options=()):
    """A case of a configuration file, whose errors name it."""
    return list(options), {}, ["--config", "{config}"], text, [f"{{config}}: {error}" for error in errors]


def in_environment(environ, *errors):
    return [], environ, ["--env"], "", [f"environment: {error}" for error in errors]


@pytest.mark.parametrize(
    "options, environ, args, text, errors",
    [
        ([], {}, ["num_threads"], "", ["Unknown option 'num_threads'. Did you mean 'num.threads'?"]),
        (
            [],
            {},
            ["--check", "keep", "Verbose", "nokey"],
            "",
            ["Unknown option 'Verbose'. Did you mean 'verbose'?", "Unknown option 'nokey'"],
        ),
        in_file(
            'keep = true\nnumthreads = "2:1"\nverbos = 1\n',
            "Unknown option 'numthreads'. Did you mean 'num.threads'?",
            "Unknown option 'verbos'. Did you mean 'verbose'?",
        ),
        in_file(
            'keep = "yes"\n"skorv.timeout" = "30"\n',
            "keep = 'yes': is a str, but its default False is a bool",
            "skorv.timeout = '30': is a str, but its default 0 is a int",
        ),
        in_file("keep = \n", "Invalid value (at line 1, column 8)"),
        in_file('skorv.mode = "fast"\n', f"skorv.mode = 'fast': {message('invalid_mode')}"),
        in_file("keep = true\n[bogus]\n", "Unknown option 'bogus'"),
        in_file("keep = " + "[" * DEEP + "]" * DEEP, "nests arrays or tables more deeply than can be read"),
        in_file(
            b'smtp = "caf\xe9"\n',
            "is not UTF-8 text ('utf-8' codec can't decode byte 0xe9 in position 11: invalid continuation byte)",
        ),
        ([], {}, ["--config", "{config}.absent"], "", ["cannot read {config}.absent: No such file or directory"]),
        # A warning of the checks that the filters raise as an error.
        in_file(f'working.directory = "{MB_DIR}"\n', MB_WARNING, options=["-W", "error"]),
        in_environment({"PYTHONWARNINGS": "error::UserWarning", "DROVIK_WORKING_DIRECTORY": MB_DIR}, MB_WARNING),
        in_environment(
            {"DROVIK_KEEP": "maybe", "DROVIK_VERBOS": "1"},
            "DROVIK_KEEP = 'maybe': is not a boolean: 1, true, yes, on, 0, false, no, off",
            "DROVIK_VERBOS is not the variable of an option. Did you mean DROVIK_VERBOSE?",
        ),
    ],
)
def test_errors_are_one_line_each_with_status_2(run_interpreter, tmp_path, options, environ, args, text, errors):
    path = config(tmp_path, text)
    proc = run_interpreter(*options, "-m", "drovik", *[arg.format(config=path) for arg in args], env=environ, status=2)
    assert proc.stdout == ""
    assert proc.stderr == "".join(f"python -m drovik: error: {error.format(config=path)}\n" for error in errors)


@pytest.mark.parametrize(
    "text, args, status, out",
    [
        (RUNNABLE, [], 0, "No problems found.\n"),
        (
            RUNNABLE + '"num.threads" = "4"\nskorv.timeout = -5\n',
            [],
            1,
            "num.threads = '4': must be '<count>:<count>' with two whole numbers from 1 up, as in '4:1'\n"
            "skorv.timeout = -5: is negative: a time-out cannot be\n",
        ),
        (
            RUNNABLE + '"num.threads" = "4"\nskorv.timeout = -5\n',
            ["skorv.timeout"],
            1,
            "skorv.timeout = -5: is negative: a time-out cannot be\n",
        ),
        (
            RUNNABLE + "mevro.timeout = -1\n",
            ["--json"],
            1,
            '[\n  {\n    "key": "mevro.timeout",\n    "value": -1,\n'
            '    "message": "is negative: a time-out cannot be"\n  }\n]\n',
        ),
        (
            'mevro.call = "/nonexistent/mevro"\n',
            ["mevro.call"],
            1,
            "mevro.call = '/nonexistent/mevro': does not exist\n",
        ),
        (
            'mevro.call = "drovik-no-such-command"\n',
            ["mevro.call"],
            1,
            "mevro.call = 'drovik-no-such-command': is not a command found on PATH\n",
        ),
    ],
)
def test_check_prints_problems_and_sets_status(run_interpreter, tmp_path, text, args, status, out):
    proc = run_interpreter("-m", "drovik", "--check", "--config", config(tmp_path, text), *args, status=status)
    assert proc.stdout == out


def test_config_warnings_are_one_line_each(run_interpreter, tmp_path):
    proc = run_interpreter(
        "-m", "drovik", "--config", config(tmp_path, f'working.directory = "{MB_DIR}"\n'), "working.directory"
    )
    assert proc.stderr == f"python -m drovik: warning: {MB_WARNING}\n"
    assert parse_table(proc.stdout) == [("working.directory", repr(MB_DIR), "set")]


def test_version_is_the_installed_distribution(run_interpreter):
    proc = run_interpreter("-m", "drovik", "--version")
    assert proc.stdout == f"drovik {importlib.metadata.version('drovik')}\n"


@pytest.mark.parametrize(
    "output, error",
    [
        ("pipe", ""),  # the reader has gone, as with `| head`: no word, as a pipe would end it
        ("full", "python -m drovik: error: cannot write to standard output: No space left on device\n"),
        ("closed", "python -m drovik: error: standard output is closed\n"),
    ],
)
@pytest.mark.parametrize("args", [[], ["--json"], ["--check"]])
def test_output_that_cannot_be_written_has_status_3(tmp_path, output, error, args):
    command = [sys.executable, "-X", "dev", "-m", "drovik", *args]
    if output == "closed":
        command = ["sh", "-c", 'exec "$@" >&-', "sh", *command]
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        with open("/dev/full", "wb") as full:
            stdout = {"pipe": write_end, "full": full, "closed": None}[output]
            proc = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, text=True, cwd=tmp_path, timeout=60)
    finally:
        os.close(write_end)
    assert (proc.returncode, proc.stderr) == (3, error)
