"""``python -m drovik``: every option with its current value and its source."""

import json
import os
import re

import pytest

import drovik.skorv_call

ROW = re.compile(r"^(\S+) +(.*?) +(default|set|built-in path)$")


@pytest.fixture
def fresh_rows(default_items):
    """(key, value, source) that a fresh process must show, in dict-form order."""
    n = os.cpu_count() or 1
    n = 16 if n >= 16 else max(n, 1)
    rows = [(key, f"{n}:1" if key == "num.threads" else value, "default") for key, value in default_items]
    rows.append(("skorv.call", drovik.skorv_call.skorv_call_builtin(), "built-in path"))
    rows.append(("mevro.call", drovik.skorv_call.mevro_call_builtin(), "built-in path"))
    return rows


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
    assert parse_table(proc.stdout) == [(key, repr(value), source) for key, value, source in fresh_rows]


def test_json_lists_every_option(run_interpreter, fresh_rows):
    proc = run_interpreter("-m", "drovik", "--json")
    table = json.loads(proc.stdout)
    assert [list(entry) for entry in table] == [["key", "value", "source"]] * len(fresh_rows)
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
    assert parse_table(table_text) == [(k, repr(v), s) for k, v, s in expected]
