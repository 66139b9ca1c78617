"""reset_options, option_info, describe_options, check_options, load_options, load_env and options_environ."""

import pathlib
import pickle
import re
import stat
import sys
import warnings

import pytest

import drovik
from drovik._catalogue import message
from drovik._toolkit import OptionInfo, OptionLoadError, shown

BAD_MODE = message("invalid_mode")
NOTES = sys.version_info >= (3, 11)


@pytest.fixture
def table(options, env):
    return options._SKORV_OPTIONS


# --- reset_options


@pytest.mark.parametrize(
    "preset, keys, after",
    [
        ({"keep": True, "verbose": True}, ("keep",), {"verbose": True}),
        ({"keep": True, "skorv.call": "/x"}, ("skorv.call", "keep", "numa", "keep"), {}),
        ({"keep": True, "verbose": 1}, (), {}),
        ({"keep": True, "verbose": 1, "numa": 0}, (["keep", "verbose"],), {"numa": 0}),
        ({"keep": True, "verbose": 1}, ([], ()), {"keep": True, "verbose": 1}),
        ({"keep": True, "verbose": 1}, (OptionInfo("keep", True, False, "set"), {"verbose": 1}), {}),
    ],
)
def test_reset_removes_entries_without_checks(table, env, check_runs, preset, keys, after):
    table.update(preset)
    assert drovik.reset_options(*keys) is None
    assert table == after
    assert check_runs == [] and env.log == []


@pytest.mark.parametrize(
    "keys, unknown",
    [
        (("keep", "verbos"), "verbos"),
        ((["keep", "verbos"],), "verbos"),
        ((["keep", ["verbose"]],), "['verbose']"),
    ],
)
def test_reset_refuses_unknown_key_before_removing_anything(table, keys, unknown):
    table.update(keep=True, verbose=True)
    with pytest.raises(KeyError) as info:
        drovik.reset_options(*keys)
    assert info.value.args == (f"Unknown option '{unknown}'",)
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
        ("numa", 1, False, "set"),
        ("skorv.timeout", 0, 0, "default"),
        ("numa", 1, False, "set"),
    ]


@pytest.mark.parametrize(
    "key, says",
    [
        ("skorv.mode", "'experimental' is stored as 'compact'"),
        ("malloc.lib", "'compiler', 'je', 'tc' and 'mi' are allocator names"),
        ("working.directory", "outside ASCII"),
        ("skorv.call", "reads as the path of the remote-run script"),
        ("num.threads", "processor count, from 1 to 16"),
        ("keep", None),
        ("smtp", None),
    ],
)
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
    # The records of option_info stand for their keys.
    assert drovik.describe_options(*drovik.option_info()) == drovik.describe_options()


# --- check_options


@pytest.fixture
def runnable(tmp_path, table):
    """Command paths that exist and may be run, so that only the case's own problems show."""
    program = tmp_path / "program"
    program.write_text("#!/bin/sh\n")
    program.chmod(stat.S_IRWXU)
    table.update({"skorv.call": str(program), "mevro.call": str(program)})
    return tmp_path


@pytest.mark.parametrize(
    "entries, expected",
    [
        ({}, []),
        (
            {"keep": "false", "verbose": 0},
            [
                ("keep", "is a str, but its default False is a bool"),
                ("verbose", "is a int, but its default False is a bool"),
            ],
        ),
        (
            {"skorv.timeout": True, "mevro.timeout": "5"},
            [("skorv.timeout", "is a bool"), ("mevro.timeout", "is a str")],
        ),
        ({"skorv.timeout": -1, "mevro.timeout": 30}, [("skorv.timeout", "negative")]),
        ({"num.threads": 4}, [("num.threads", "is a int, but its default")]),
        ({"num.threads": "4"}, [("num.threads", "'<count>:<count>'")]),
        ({"num.threads": "0:1"}, [("num.threads", "'<count>:<count>'")]),
        ({"num.threads": "\u0664:1"}, [("num.threads", "'<count>:<count>'")]),
        ({"num.threads": "12:2"}, []),
        ({"num.threads": "1" * 5000 + ":1"}, []),
        ({"num.threads": "0" * 5000 + ":1"}, [("num.threads", "'<count>:<count>'")]),
        ({"working.directory": "{tmp}/absent"}, [("working.directory", "not an existing directory")]),
        ({"working.directory": "{tmp}/program"}, [("working.directory", "not an existing directory")]),
        ({"working.directory": "{tmp}"}, []),
        ({"working.directory": 3}, [("working.directory", "not a path")]),
        ({"skorv.call": "{tmp}/absent"}, [("skorv.call", "does not exist")]),
        ({"mevro.call": "{tmp}/data"}, [("mevro.call", "is not executable")]),
        ({"mevro.call": "{tmp}"}, [("mevro.call", "is not a file")]),
        ({"skorv.call": "sh"}, []),
        ({"skorv.call": "drovik-no-such-command"}, [("skorv.call", "is not a command found on PATH")]),
        ({"skorv.mode": "fast"}, [("skorv.mode", BAD_MODE)]),
        ({"skorv.mode": "twostage"}, []),
        ({"malloc.lib": "JE"}, [("malloc.lib", "neither an allocator name")]),
        ({"malloc.lib": "{tmp}/data"}, []),
    ],
)
def test_check_reports_problems_and_changes_nothing(table, runnable, entries, expected):
    (runnable / "data").write_text("")
    entries = {k: v.format(tmp=runnable) if isinstance(v, str) else v for k, v in entries.items()}
    table.update(entries)
    before = list(table.items())
    problems = drovik.check_options()
    assert [(p.key, p.value) for p in problems] == [(key, entries[key]) for key, _ in expected]
    for problem, (_, text) in zip(problems, expected):
        assert text in problem.message
    assert list(table.items()) == before


def test_check_reads_unset_command_paths_as_built_in(env, table):
    env.skorv_builtin = "REMOTE"
    assert [(p.key, p.value, p.message) for p in drovik.check_options()] == [
        ("skorv.call", env.remote, "does not exist"),
        ("mevro.call", env.mevro_builtin, "does not exist"),
    ]


# --- load_options


def write(tmp_path, text, name="drovik.toml"):
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
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


DEEP = 2000


def parser_reads(text):
    """Whether the TOML parser of this interpreter reads ``text`` (some refuse keys of many parts)."""
    import importlib

    parser = importlib.import_module("tomllib" if sys.version_info >= (3, 11) else "tomli")
    try:
        parser.loads(text)
    except RecursionError:
        return False
    return True


TOO_DEEP = "nests arrays or tables more deeply than can be read"
UNKNOWN_NUM_THREADS = "Unknown option 'num_threads'. Did you mean 'num.threads'?"


@pytest.mark.parametrize(
    "text, problems",
    [
        (
            'keep = true\nnum_threads = "2:1"\nverbos = 1\n',
            [UNKNOWN_NUM_THREADS, "Unknown option 'verbos'. Did you mean 'verbose'?"],
        ),
        (
            'keep = "yes"\n"skorv.timeout" = "30"\nmevro.timeout = true\nsmtp = 1\n',
            [
                "keep = 'yes': is a str, but its default False is a bool",
                "skorv.timeout = '30': is a str, but its default 0 is a int",
                "mevro.timeout = True: is a bool, but its default 0 is a int",
                "smtp = 1: is a int, but its default 'default' is a str",
            ],
        ),
        (
            "skorv.arg = 5\nmevro.call = [1]\nworking.directory = {}\n",
            [
                "skorv.arg = 5: is a int, but it must be a str",
                "mevro.call = [1]: is a list, but it must be a str",
                "working.directory = {}: is a dict, but it must be a str",
            ],
        ),
        (
            'skorv.mode = "fast"\nmalloc.lib = "JE"\n',
            [
                f"skorv.mode = 'fast': {BAD_MODE}",
                "malloc.lib = 'JE': is neither an allocator name ('compiler', 'je', 'tc', 'mi') nor an existing file",
            ],
        ),
        ("keep = true\n[bogus]\n", ["Unknown option 'bogus'"]),
        (
            "keep = true\nbogus = {}\nskorv = {}\n",
            ["Unknown option 'bogus'", "Unknown option 'skorv'. Did you mean 'skorv.arg'?"],
        ),
        ('"skorv.mode" = "classic"\nskorv.mode = "twostage"\n', ["option 'skorv.mode' is given twice"]),
        ("keep = true\nverbose = \n", ["Invalid value (at line 2, column 11)"]),
        ("keep = true\nkeep = false\n", ["Cannot overwrite a value (at line 2, column 13)"]),
        ("keep = " + "[" * DEEP + "]" * DEEP + "\n", [TOO_DEEP]),
        ("keep = " + "{a = " * DEEP + "1" + "}" * DEEP + "\n", [TOO_DEEP]),
        # Dotted keys nest tables too: whether the parser reads them that deep is its own affair.
        (
            "keep = true\n" + "a." * DEEP + "b = 1\n",
            [
                "Unknown option " + shown("a." * DEEP + "b", brief=True)
                if parser_reads("a." * DEEP + "b = 1")
                else TOO_DEEP
            ],
        ),
        (
            b'keep = true\nsmtp = "caf\xe9"\n',
            ["is not UTF-8 text ('utf-8' codec can't decode byte 0xe9 in position 23: invalid continuation byte)"],
        ),
    ],
)
def test_load_refuses_whole_file_listing_every_problem(table, tmp_path, check_runs, text, problems):
    table["numa"] = "before"
    path = write(tmp_path, text)
    with pytest.raises(OptionLoadError) as info:
        drovik.load_options(path)
    error = info.value
    assert isinstance(error, KeyError) and isinstance(error, ValueError)
    assert (error.source, error.problems) == (str(path), problems)
    assert str(error) == "\n".join(f"{path}: {problem}" for problem in problems)
    assert (pickle.loads(pickle.dumps(error)).problems, table, check_runs) == (problems, {"numa": "before"}, [])


def test_load_refuses_integer_of_too_many_digits(table, tmp_path):
    path = write(tmp_path, "skorv.timeout = " + "9" * 5000 + "\n")
    with pytest.raises(ValueError, match=f"^{path}: Exceeds the limit") as info:
        drovik.load_options(path)
    assert len(info.value.problems) == 1 and table == {}


@pytest.mark.parametrize(
    "text, action, error",
    [
        # check=False loads what a file holds as it is; a failing set still stores nothing.
        ('keep = "yes"\nskorv.timeout = "30"\n', "always", None),
        ('keep = true\nskorv.mode = "fast"\n', "always", ValueError),
        ('keep = true\nworking.directory = "/d\u00e9p\u00f4t"\n', "error", UserWarning),
    ],
)
def test_unchecked_load_is_all_or_nothing_too(table, tmp_path, text, action, error):
    table.update({"keep": "before", "malloc.lib": "tc"})
    path = write(tmp_path, text)
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        if error is None:
            assert drovik.load_options(path, check=False) == {"keep": "yes", "skorv.timeout": "30"}
            return
        with pytest.raises(error):
            drovik.load_options(path, check=False)
    assert list(table.items()) == [("keep", "before"), ("malloc.lib", "tc")]


MB_DIR = "/d\u00e9p\u00f4t"


@pytest.mark.parametrize("load", ["file", "environment"])
def test_load_warning_names_callers_line(table, tmp_path, caught, load):
    path = write(tmp_path, f'working.directory = "{MB_DIR}"\n')
    environ = {"DROVIK_WORKING_DIRECTORY": MB_DIR}
    line = sys._getframe().f_lineno + 1
    drovik.load_options(path) if load == "file" else drovik.load_env(environ=environ)
    [warning] = caught.records
    assert (warning.filename, warning.lineno) == (__file__, line)
    assert table == {"working.directory": MB_DIR}


# --- load_env and options_environ


@pytest.mark.parametrize(
    "environ, prefix, applied",
    [
        (
            {
                "DROVIK_SKORV_TIMEOUT": "+30",
                "DROVIK_KEEP": "Yes",
                "DROVIK_PLEXA_FEATURES": "off",
                "DROVIK_NUM_THREADS": "3:1",
                "DROVIK_SKORV_CALL": "sh",
                "DROVIK_SKORV_ARG": "",
                "DROVIK_WERROR": "OFF",
                "KEEP": "1",
            },
            "DROVIK_",
            {
                "skorv.arg": "",
                "num.threads": "3:1",
                "keep": True,
                "skorv.timeout": 30,
                "Plexa.features": False,
                "skorv.call": "sh",
            },
        ),
        (
            {"DROVIK_KEEP": "1", "JOB_KEEP": "0", "JOB_MEVRO_EVOLUTION": "-2"},
            "JOB_",
            {"keep": False, "mevro.evolution": -2},
        ),
        ({"PATH": "/bin"}, "DROVIK_", {}),
    ],
)
def test_env_sets_what_it_names_in_one_set(table, check_runs, environ, prefix, applied):
    result = drovik.load_env(prefix, environ)
    assert list(result.items()) == list(applied.items())
    assert table == applied and check_runs == ([()] if applied else [])


ENV_PROBLEMS = {
    "DROVIK_KEEP": "maybe",
    "DROVIK_SKORV_TIMEOUT": "3.5",
    "DROVIK_NUM_THREAD": "2:1",
    "DROVIK_SKORV_MODE": "fast",
    "DROVIK_MEVRO_TIMEOUT": "9" * 5000,
    "DROVIK_VERBOSE": "1",
}


# The problems come in the same order however the environment is ordered.
@pytest.mark.parametrize("environ", [ENV_PROBLEMS, dict(reversed(ENV_PROBLEMS.items()))])
def test_env_refuses_all_naming_every_variable(table, check_runs, environ):
    with pytest.raises(OptionLoadError) as info:
        drovik.load_env(environ=environ)
    assert info.value.source == "environment"
    assert info.value.problems[0] == "DROVIK_KEEP = 'maybe': is not a boolean: 1, true, yes, on, 0, false, no, off"
    assert info.value.problems[1].startswith("DROVIK_MEVRO_TIMEOUT = '999")
    assert info.value.problems[2:] == [
        "DROVIK_NUM_THREAD is not the variable of an option. Did you mean DROVIK_NUM_THREADS?",
        f"DROVIK_SKORV_MODE = 'fast': {BAD_MODE}",
        "DROVIK_SKORV_TIMEOUT = '3.5': is not a whole number in decimal digits",
    ]
    assert table == {} and check_runs == []


def test_environ_hands_the_table_to_load_env(options, table, caught):
    values = {
        "skorv.arg": None,
        "num.threads": "2:1",
        "keep": True,
        "verbose": False,
        "skorv.timeout": 0,
        "mevro.evolution": -3,
        "skorv.mode": "classic",
        "skorv.call": "/opt/skorv \u00e9",
        "working.directory": "/d\udcff",
    }
    table.update(values)
    environ = drovik.options_environ()
    assert environ["DROVIK_KEEP"] == "true" and "DROVIK_SKORV_ARG" not in environ
    table.clear()
    drovik.load_env(environ=environ)
    assert {key: (type(value), value) for key, value in table.items()} == {
        key: (type(value), value) for key, value in values.items() if value is not None
    }
    assert options.skorv_get_option(list(values)) == list(values.values())


def test_environ_refuses_what_it_cannot_carry(table):
    table.update(
        {
            "keep": "yes",
            "verbose": None,
            "skorv.timeout": True,
            "mevro.timeout": 10**5000,
            "working.directory": pathlib.Path("/srv"),
            "smtp": "a\0b",
            "skorv.call": None,
            "numa": False,
        }
    )
    with pytest.raises(ValueError) as info:
        drovik.options_environ()
    # An int too long for decimal digits has no repr before 3.14, and one that names no digits from then on.
    huge = r"<int object>|<int instance with roughly 5001 digits \(limit at 4300\) at 0x[0-9a-f]+>"
    assert re.fullmatch(
        re.escape(
            "cannot be passed in the environment as they are: smtp = 'a\\x00b'; keep = 'yes'; verbose = None; "
            "working.directory = PosixPath('/srv'); skorv.timeout = True; mevro.timeout = "
        )
        + f"({huge})"
        + re.escape("; skorv.call = None"),
        str(info.value),
    )
