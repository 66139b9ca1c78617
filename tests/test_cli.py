"""``python -m drovik``: every option with its current value and its source."""

import importlib.metadata
import json
import os
import re
import subprocess
import sys

import pytest

import drovik.skorv_call

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
    assert parse_table(proc.stdout) == [(key, repr(value), marked(key, value, source)) for key, value, source in fresh_rows]


def test_json_lists_every_option(run_interpreter, fresh_rows):
    proc = run_interpreter("-m", "drovik", "--json")
    table = json.loads(proc.stdout)
    assert [list(entry) for entry in table] == [["key", "value", "source"]] * 24 + [["key", "value", "source", "missing"]] * 2
    assert [e["missing"] for e in table[24:]] == [not os.path.exists(e["value"]) for e in table[24:]]
    got = [(e["key"], e["value"], e["source"]) for e in table]
    assert got == fresh_rows
    # JSON keeps the kinds of the defaults apart: false is not 0.
    assert [type(e["value"]) for e in table] == [type(value) for _, value, _ in fresh_rows]


def test_set_values_are_shown_as_set(run_python, fresh_rows):
    proc = run_python(
        """
        import drovik.options as o
        from drovik.__main__ import main

        o.skorv_set_option("keep", True)
        o.skorv_set_option(**{"mevro.call": "/usr/bin/mevro", "working.directory": b"/srv/data",
                              "num.threads": "3:1", "safe": True})
        main(["--json"])
        print("--")
        main([])
        """
    )
    changed = {
        "keep": (True, "set"),
        "num.threads": ("3:1", "set"),
        "working.directory": (b"/srv/data", "set"),
        # Set to the value it has by default: still a set value.
        "safe": (True, "set"),
        "mevro.call": ("/usr/bin/mevro", "set"),
    }
    expected = [(key, *changed.get(key, (value, source))) for key, value, source in fresh_rows]
    json_text, table_text = proc.stdout.split("\n--\n")
    as_json = [(e["key"], e["value"], e["source"]) for e in json.loads(json_text)]
    # A value that JSON cannot hold is given as its repr.
    assert as_json == [(k, repr(v) if isinstance(v, bytes) else v, s) for k, v, s in expected]
    assert parse_table(table_text) == [(k, repr(v), marked(k, v, s)) for k, v, s in expected]


def config(tmp_path, text):
    path = tmp_path / "drovik.toml"
    path.write_text(text, encoding="utf-8")
    return str(path)


RUNNABLE = f'skorv.call = "{sys.executable}"\nmevro.call = "{sys.executable}"\n'


@pytest.mark.parametrize("args, status, rows", [
    (["numa", "keep", "numa"], 0, [("numa", "False", "default"), ("keep", "False", "default"), ("numa", "False", "default")]),
    (["--config", "{config}", "keep", "skorv.call"], 0, [("keep", "True", "set"), ("skorv.call", repr(sys.executable), "set")]),
])
def test_keys_select_rows(run_interpreter, tmp_path, args, status, rows):
    path = config(tmp_path, RUNNABLE + "keep = true\n")
    proc = run_interpreter("-m", "drovik", *[arg.format(config=path) for arg in args], status=status)
    assert parse_table(proc.stdout) == rows


@pytest.mark.parametrize("args, text, error", [
    (["num_threads"], "", "Unknown option 'num_threads'. Did you mean 'num.threads'?"),
    (["--check", "keep", "Verbose"], "", "Unknown option 'Verbose'. Did you mean 'verbose'?"),
    (["--config", "{config}"], 'keep = true\nnumthreads = "2:1"\n', "{config}: Unknown option 'numthreads'. Did you mean 'num.threads'?"),
    (["--config", "{config}"], "keep = \n", "{config}: Invalid value (at line 1, column 8)"),
    (["--config", "{config}"], 'skorv.mode = "fast"\n', "Invalid 'skorv.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'."),
    (["--config", "{config}.absent"], "", "cannot read {config}.absent: No such file or directory"),
])
def test_error_is_one_line_with_status_2(run_interpreter, tmp_path, args, text, error):
    path = config(tmp_path, text)
    proc = run_interpreter("-m", "drovik", *[arg.format(config=path) for arg in args], status=2)
    assert proc.stdout == ""
    assert proc.stderr == f"python -m drovik: error: {error.format(config=path)}\n"


@pytest.mark.parametrize("text, args, status, out", [
    (RUNNABLE, [], 0, "No problems found.\n"),
    (RUNNABLE + 'keep = "false"\nskorv.timeout = -5\n', [], 1,
     "keep = 'false': is a str, but its default False is a bool\nskorv.timeout = -5: is negative: a time-out cannot be\n"),
    (RUNNABLE + 'keep = "false"\nskorv.timeout = -5\n', ["skorv.timeout"], 1, "skorv.timeout = -5: is negative: a time-out cannot be\n"),
    (RUNNABLE + 'keep = "false"\n', ["--json"], 1, '[\n  {\n    "key": "keep",\n    "value": "false",\n    "message": "is a str, but its default False is a bool"\n  }\n]\n'),
    ('mevro.call = "/nonexistent/mevro"\n', ["mevro.call"], 1, "mevro.call = '/nonexistent/mevro': does not exist\n"),
])
def test_check_prints_problems_and_sets_status(run_interpreter, tmp_path, text, args, status, out):
    proc = run_interpreter("-m", "drovik", "--check", "--config", config(tmp_path, text), *args, status=status)
    assert proc.stdout == out


def test_config_warnings_are_one_line_each(run_interpreter, tmp_path):
    proc = run_interpreter("-m", "drovik", "--config", config(tmp_path, 'malloc.lib = "JE"\n'), "malloc.lib")
    assert proc.stderr == "python -m drovik: warning: Value for option 'malloc.lib' = 'JE' may not be available on this system.\n"
    assert parse_table(proc.stdout) == [("malloc.lib", "'JE'", "set")]


def test_version_is_the_installed_distribution(run_interpreter):
    proc = run_interpreter("-m", "drovik", "--version")
    assert proc.stdout == f"drovik {importlib.metadata.version('drovik')}\n"


@pytest.mark.parametrize("args", [[], ["--json"], ["--check"]])
def test_closed_pipe_ends_quietly(tmp_path, args):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run([sys.executable, "-X", "dev", "-m", "drovik", *args], stdout=write_end,
                              stderr=subprocess.PIPE, text=True, cwd=tmp_path, timeout=60)
    finally:
        os.close(write_end)
    assert (proc.returncode, proc.stderr) == (1, "")
