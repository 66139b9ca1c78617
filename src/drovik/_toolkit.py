"""Looking after the option table: reset, describe, check before a run, load from a file.

Everything here goes through the public functions of ``drovik.options`` and
the table itself; the meaning of the options beyond what that module checks
belongs to the package's other modules, so nothing here claims more.
"""

from __future__ import annotations

import os
import sys
import textwrap
from typing import Any, Dict, Iterable, List, NamedTuple, Tuple, Union

from . import options
from ._at_caller import set_options_at_caller
from ._suggest import KNOWN_KEYS, unknown_option

__all__ = [
    "OptionInfo",
    "Problem",
    "reset_options",
    "option_info",
    "describe_options",
    "check_options",
    "load_options",
]

_COMMAND_KEYS = ("skorv.call", "mevro.call")
_TIMEOUT_KEYS = ("skorv.timeout", "mevro.timeout")
_ENGINE_MODES = ("compact", "classic", "twostage", "experimental")
_ALLOCATOR_NAMES = ("default", "compiler", "je", "tc", "mi")
_BAD_MODE = "Invalid 'skorv.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'."

# What the checks after every set do with a key, and what a read does with
# the command paths; keys not listed here are stored and read unchanged.
_HANDLING = {
    "num.threads": "Default: the processor count, from 1 to 16, followed by ':1'.",
    "working.directory": (
        "Checked after every set: a path with characters outside ASCII (more than one byte in "
        "UTF-8) gives a warning; the value stays."
    ),
    "skorv.mode": (
        "Checked after every set: must be 'compact', 'classic', 'twostage' or 'experimental', "
        "else the set raises ValueError (the value stays stored); 'experimental' is stored as "
        "'compact'."
    ),
    "malloc.lib": (
        "Checked after every set: None or 'default' becomes the default 'mi'; 'compiler', "
        "'je', 'tc' and 'mi' are allocator names; any other value should be an existing library "
        "file: an absolute path that does not exist warns and becomes 'mi', anything else "
        "that does not exist warns and stays."
    ),
    "Plexa.features": "Read by skorv_enabled_Plexa_features(), which tells whether it is true.",
    "skorv.call": (
        "Read: the built-in engine path while unset. A value 'remote' or 'skorv.remote' (in "
        "any case) reads as the path of the remote-run script, when that script is installed."
    ),
    "mevro.call": "Read: the built-in mesh generator path while unset.",
}


class OptionInfo(NamedTuple):
    """One option: what a read gives, its default, and where the value comes from."""

    key: str
    value: Any
    default: Any
    # "set", "default", or "built-in" for a command path that is unset.
    source: str


class Problem(NamedTuple):
    """A value that a run of the engine would likely trip over."""

    key: str
    value: Any
    message: str


def _require_known(keys: Iterable[object]) -> None:
    for key in keys:
        if key not in KNOWN_KEYS:
            raise unknown_option(key)


def reset_options(*keys: str) -> None:
    """Remove ``keys`` (every key when none is given) from the option table.

    They read as their defaults again.  No checks run: defaults need none, so
    resetting a refused "skorv.mode" makes later sets work again.  An unknown
    key raises KeyError before anything is removed.
    """
    _require_known(keys)
    table = options._SKORV_OPTIONS
    if not keys:
        table.clear()
    for key in keys:
        table.pop(key, None)


def _builtin_path(key: str) -> Any:
    if key == "skorv.call":
        return options.skorv_call_builtin()
    return options.mevro_call_builtin()


def option_info(*keys: str) -> List[OptionInfo]:
    """Value, default and source of ``keys``, or of every option in the order of a read."""
    _require_known(keys)
    names = list(keys) if keys else list(options.skorv_get_option())
    values = options.skorv_get_option(names)
    defaults = options.skorv_get_option_default()
    table = options._SKORV_OPTIONS
    records = []
    for key, value in zip(names, values):
        stored = key in table
        if key in _COMMAND_KEYS:
            source = "set" if stored else "built-in"
            default = _builtin_path(key)
        else:
            source = "set" if stored else "default"
            default = defaults.get(key)
        records.append(OptionInfo(key, value, default, source))
    return records


def describe_options(*keys: str) -> str:
    """Human text for ``keys`` (every option when none is given): value, default, source, checks."""
    blocks = []
    for info in option_info(*keys):
        lines = [
            info.key,
            f"    value:   {info.value!r}",
            f"    default: {info.default!r}",
            f"    source:  {info.source}",
        ]
        if info.key in _HANDLING:
            lines.append(textwrap.fill(_HANDLING[info.key], 79, initial_indent="    ", subsequent_indent="    "))
        blocks.append("\n".join(lines))
    return "\n\n".join(blocks)


def command_problem(value: Any) -> Union[str, None]:
    """Why ``value`` cannot be run as a program, or None when it can."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        return "is not a path"
    if not os.path.isfile(value):
        return "does not exist" if not os.path.exists(value) else "is not a file"
    if not os.access(value, os.X_OK):
        return "is not executable"
    return None


def _thread_string_problem(value: str) -> Union[str, None]:
    counts = value.split(":")
    if len(counts) == 2 and all(c.isascii() and c.isdigit() and int(c) > 0 for c in counts):
        return None
    return "must be '<count>:<count>' with two whole numbers from 1 up, as in '4:1'"


def _type_problem(value: Any, default: Any) -> Union[str, None]:
    if default is None:
        return None
    expected = type(default)
    # A bool is an int to Python, not to an option that counts something.
    if isinstance(value, expected) and not (expected is int and isinstance(value, bool)):
        return None
    return f"is a {type(value).__name__}, but its default {default!r} is a {expected.__name__}"


def _value_problem(info: OptionInfo) -> Union[str, None]:
    key, value = info.key, info.value
    if key in _COMMAND_KEYS:
        return command_problem(value)
    if key == "working.directory":
        if value is None:
            return None
        if not isinstance(value, (str, bytes, os.PathLike)):
            return "is not a path"
        return None if os.path.isdir(value) else "is not an existing directory"
    mistyped = _type_problem(value, info.default)
    if mistyped is not None:
        return mistyped
    if key == "num.threads":
        return _thread_string_problem(value)
    if key in _TIMEOUT_KEYS and value < 0:
        return "is negative: a time-out cannot be"
    if key == "skorv.mode" and value not in _ENGINE_MODES:
        return _BAD_MODE
    if key == "malloc.lib" and value not in _ALLOCATOR_NAMES and not os.path.exists(value):
        return "is neither an allocator name ('compiler', 'je', 'tc', 'mi') nor an existing file"
    return None


def check_options() -> List[Problem]:
    """The problems with the current values that a run would meet; empty when there are none.

    Nothing in the table is changed.
    """
    problems = []
    for info in option_info():
        message = _value_problem(info)
        if message is not None:
            problems.append(Problem(info.key, info.value, message))
    return problems


def _flatten(table: Dict[str, Any], prefix: str, out: List[Tuple[str, Any]]) -> None:
    for name, value in table.items():
        key = prefix + name
        if isinstance(value, dict):
            _flatten(value, key + ".", out)
        else:
            out.append((key, value))


def _read_toml(path: Union[str, "os.PathLike[str]"]) -> Dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    with open(path, "rb") as file:
        try:
            return tomllib.load(file)
        except tomllib.TOMLDecodeError as error:
            # The parser's message ends with the line and column.
            raise ValueError(f"{os.fspath(path)}: {error}") from None


def load_options(path: Union[str, "os.PathLike[str]"]) -> Dict[str, Any]:
    """Set the options of a TOML file; return what was set.

    Keys are option keys, quoted (``"num.threads" = "4:1"``) or dotted
    (``skorv.mode = "classic"``).  Every key is checked before anything is
    stored; then all are set in one ``skorv_set_option`` call, so the checks
    run once.
    """
    pairs: List[Tuple[str, Any]] = []
    _flatten(_read_toml(path), "", pairs)
    applied: Dict[str, Any] = {}
    for key, value in pairs:
        if key not in KNOWN_KEYS:
            error = unknown_option(key)
            if sys.version_info >= (3, 11):
                error.add_note(f"The key is in {os.fspath(path)}.")
            raise error
        if key in applied:
            # A quoted and a dotted spelling of one key: TOML takes both.
            raise ValueError(f"{os.fspath(path)}: option '{key}' is given twice")
        applied[key] = value
    if applied:
        set_options_at_caller(options.skorv_set_option, (), applied)
    return applied
