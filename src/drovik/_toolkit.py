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
from ._catalogue import (
    ALLOCATOR_KEY,
    ALLOCATOR_NAMES,
    BUILTIN_PATH_FUNCTIONS,
    COMMAND_KEYS,
    ENGINE_MODES,
    HANDLING,
    KEYS,
    MODE_KEY,
    THREADS_KEY,
    TIMEOUT_KEYS,
    UNSET_ALLOCATOR,
    WORKING_DIRECTORY_KEY,
    message,
)
from ._suggest import unknown_option

__all__ = [
    "OptionInfo",
    "Problem",
    "reset_options",
    "option_info",
    "describe_options",
    "check_options",
    "load_options",
]

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
        if key not in KEYS:
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
    return getattr(options, BUILTIN_PATH_FUNCTIONS[key])()


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
        if key in COMMAND_KEYS:
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
        if info.key in HANDLING:
            lines.append(textwrap.fill(HANDLING[info.key], 79, initial_indent="    ", subsequent_indent="    "))
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


# The names besides the one that stands for the default.
_NOT_AN_ALLOCATOR = "is neither an allocator name ({}) nor an existing file".format(
    ", ".join(repr(name) for name in ALLOCATOR_NAMES if name != UNSET_ALLOCATOR)
)


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
    if key in COMMAND_KEYS:
        return command_problem(value)
    if key == WORKING_DIRECTORY_KEY:
        if value is None:
            return None
        if not isinstance(value, (str, bytes, os.PathLike)):
            return "is not a path"
        return None if os.path.isdir(value) else "is not an existing directory"
    mistyped = _type_problem(value, info.default)
    if mistyped is not None:
        return mistyped
    if key == THREADS_KEY:
        return _thread_string_problem(value)
    if key in TIMEOUT_KEYS and value < 0:
        return "is negative: a time-out cannot be"
    if key == MODE_KEY and value not in ENGINE_MODES:
        return message("invalid_mode")
    if key == ALLOCATOR_KEY and value not in ALLOCATOR_NAMES and not os.path.exists(value):
        return _NOT_AN_ALLOCATOR
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
        if key not in KEYS:
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
