"""reset_options, option_info, describe_options, check_options and load_options."""

import stat
import sys

import pytest

import drovik
from drovik._catalogue import message

BAD_MODE = message("invalid_mode")
NOTES = sys.version_info >= (3, 11)


@pytest.fixture
def table(options, env):
    return options._SKORV_OPTIONS


# --- reset_options


@pytest.mark.parametrize("preset, keys, after", [
    ({"keep": True, "verbose": True}, ("keep",), {"verbose": True}),
    ({"keep": True, "skorv.call": "/x"}, ("skorv.call", "keep", "numa", "keep"), {}),
    ({"keep": True, "verbose": 1}, (), {}),
])
def test_reset_removes_entries_without_checks(table, env, check_runs, preset, keys, after):
    table.update(preset)
    assert drovik.reset_options(*keys) is None
    assert table == after
    assert check_runs == [] and env.log == []


def test_reset_refuses_unknown_key_before_removing_anything(table):
    table.update(keep=True, verbose=True)
    with pytest.raises(KeyError) as info:
        drovik.reset_options("keep", "verbos")
    assert info.value.args == ("Unknown option 'verbos'",)
    assert table == {"keep": True, "verbose": True}


def test_reset_unsticks_refused_mode(options, table):
    with pytest.raises(ValueError):
        options.skorv_set_option("skorv.mode", "fast")
    drovik.reset_options("skorv.mode")
    options.skorv_set_option("keep", True)
    assert table == {"keep": True}


# --- option_info and describe_options


def test_info_of_every_option_in_read_order(options, env, table):
    table.update({"keep": True, "skorv.call": "Remote", "safe": True})
    infos = drovik.option_info()
    assert [info.key for info in infos] == list(options.skorv_get_option())
    by_key = {info.key: tuple(info) for info in infos}
    assert by_key["keep"] == ("keep", True, False, "set")
    assert by_key["safe"] == ("safe", True, True, "set")
    assert by_key["verbose"] == ("verbose", False, False, "default")
    assert by_key["skorv.call"] == ("skorv.call", env.remote, env.skorv_builtin, "set")
    assert by_key["mevro.call"] == ("mevro.call", env.mevro_builtin, env.mevro_builtin, "built-in")
    assert table == {"keep": True, "skorv.call": "Remote", "safe": True}


def test_info_of_given_keys_in_their_order(table):
    table["numa"] = 1
    infos = drovik.option_info("numa", "skorv.timeout", "numa")
    assert [tuple(info) for info in infos] == [
        ("numa", 1, False, "set"), ("skorv.timeout", 0, 0, "default"), ("numa", 1, False, "set"),
    ]


@pytest.mark.parametrize("key, says", [
    ("skorv.mode", "'experimental' is stored as 'compact'"),
    ("malloc.lib", "'compiler', 'je', 'tc' and 'mi' are allocator names"),
    ("working.directory", "outside ASCII"),
    ("skorv.call", "reads as the path of the remote-run script"),
    ("num.threads", "processor count, from 1 to 16"),
    ("keep", None),
    ("smtp", None),
])
def test_describe_tells_value_default_source_and_checks(options, table, key, says):
    table[key] = "value of " + key
    lines = drovik.describe_options(key).splitlines()
    [info] = drovik.option_info(key)
    assert lines[:4] == [key, f"    value:   {info.value!r}", f"    default: {info.default!r}", "    source:  set"]
    assert (says is None) == (len(lines) == 4)
    assert says is None or says in " ".join(line.strip() for line in lines[4:])


def test_describe_every_option(options):
    blocks = drovik.describe_options().split("\n\n")
    assert [block.splitlines()[0] for block in blocks] == list(options.skorv_get_option())


# --- check_options


@pytest.fixture
def runnable(tmp_path, table):
    """Command paths that exist and may be run, so that only the case's own problems show."""
    program = tmp_path / "program"
    program.write_text("#!/bin/sh\n")
    program.chmod(stat.S_IRWXU)
    table.update({"skorv.call": str(program), "mevro.call": str(program)})
    return tmp_path


@pytest.mark.parametrize("entries, expected", [
    ({}, []),
    ({"keep": "false", "verbose": 0}, [("keep", "is a str, but its default False is a bool"),
                                       ("verbose", "is a int, but its default False is a bool")]),
    ({"skorv.timeout": True, "mevro.timeout": "5"}, [("skorv.timeout", "is a bool"), ("mevro.timeout", "is a str")]),
    ({"skorv.timeout": -1, "mevro.timeout": 30}, [("skorv.timeout", "negative")]),
    ({"num.threads": 4}, [("num.threads", "is a int, but its default")]),
    ({"num.threads": "4"}, [("num.threads", "'<count>:<count>'")]),
    ({"num.threads": "0:1"}, [("num.threads", "'<count>:<count>'")]),
    ({"num.threads": "\u0664:1"}, [("num.threads", "'<count>:<count>'")]),
    ({"num.threads": "12:2"}, []),
    ({"working.directory": "{tmp}/absent"}, [("working.directory", "not an existing directory")]),
    ({"working.directory": "{tmp}/program"}, [("working.directory", "not an existing directory")]),
    ({"working.directory": "{tmp}"}, []),
    ({"working.directory": 3}, [("working.directory", "not a path")]),
    ({"skorv.call": "{tmp}/absent"}, [("skorv.call", "does not exist")]),
    ({"mevro.call": "{tmp}/data"}, [("mevro.call", "is not executable")]),
    ({"mevro.call": "{tmp}"}, [("mevro.call", "is not a file")]),
    ({"skorv.mode": "fast"}, [("skorv.mode", BAD_MODE)]),
    ({"skorv.mode": "twostage"}, []),
    ({"malloc.lib": "JE"}, [("malloc.lib", "neither an allocator name")]),
    ({"malloc.lib": "{tmp}/data"}, []),
])
def test_check_reports_problems_and_changes_nothing(table, runnable, entries, expected):
    (runnable / "data").write_text("")
    entries = {k: v.format(tmp=runnable) if isinstance(v, str) else v for k, v in entries.items()}
    table.update(entries)
    before = list(table.items())
    problems = drovik.check_options()
    assert [(p.key, p.value) for p in problems] == [(key, entries[key]) for key, _ in expected]
    for problem, (_, message) in zip(problems, expected):
        assert message in problem.message
    assert list(table.items()) == before


def test_check_reads_unset_command_paths_as_built_in(env, table):
    env.skorv_builtin = "REMOTE"
    assert [(p.key, p.value, p.message) for p in drovik.check_options()] == [
        ("skorv.call", env.remote, "does not exist"), ("mevro.call", env.mevro_builtin, "does not exist"),
    ]


# --- load_options


def write(tmp_path, text, name="drovik.toml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("as_text", [True, False])
def test_load_sets_quoted_dotted_and_table_keys_in_one_set(table, tmp_path, check_runs, as_text):
    path = write(tmp_path, '"num.threads" = "4:1"\nskorv.mode = "classic"\nkeep = true\n[mevro]\ntimeout = 30\n')
    applied = drovik.load_options(str(path) if as_text else path)
    expected = {"num.threads": "4:1", "skorv.mode": "classic", "keep": True, "mevro.timeout": 30}
    assert applied == expected and list(applied) == list(expected)
    assert table == expected
    assert check_runs == [()]


def test_load_of_empty_file_sets_nothing(table, tmp_path, check_runs):
    assert drovik.load_options(write(tmp_path, "# nothing yet\n")) == {}
    assert check_runs == [] and table == {}


def test_load_refuses_unknown_key_before_storing(table, tmp_path):
    path = write(tmp_path, 'keep = true\nnum_threads = "2:1"\n')
    with pytest.raises(KeyError) as info:
        drovik.load_options(path)
    assert info.value.args == ("Unknown option 'num_threads'",)
    notes = ["Did you mean 'num.threads'?", f"The key is in {path}."] if NOTES else None
    assert getattr(info.value, "__notes__", None) == notes
    assert table == {}


@pytest.mark.parametrize("text, says", [
    ('keep = true\nverbose = \n', "line 2"),
    ('keep = true\nkeep = false\n', "line 2"),
    ('"skorv.mode" = "classic"\nskorv.mode = "twostage"\n', "option 'skorv.mode' is given twice"),
])
def test_load_refuses_malformed_file_before_storing(table, tmp_path, text, says):
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as info:
        drovik.load_options(path)
    assert str(info.value).startswith(f"{path}: ") and says in str(info.value)
    assert table == {}


def test_load_warning_names_callers_line(table, tmp_path, caught):
    path = write(tmp_path, 'malloc.lib = "JE"\n')
    line = sys._getframe().f_lineno + 1
    drovik.load_options(path)
    [warning] = caught.records
    assert (warning.filename, warning.lineno) == (__file__, line)
    assert table == {"malloc.lib": "JE"}
