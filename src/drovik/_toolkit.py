"""Looking after the option table: reset, describe, check before a run, load from a file or the environment.

Everything here goes through the public functions of ``drovik.options`` and
the table itself; the meaning of the options beyond what that module checks
belongs to the package's other modules, so nothing here claims more.
"""

from __future__ import annotations

import collections.abc
import os
import reprlib
import shutil
import sys
import textwrap
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import options
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
from ._suggest import close_keys, note_for, unknown_option
from .context import set_or_undo

if TYPE_CHECKING:
    from ._catalogue import OptionKey

__all__ = [
    "OptionInfo",
    "Problem",
    "OptionLoadError",
    "reset_options",
    "option_info",
    "describe_options",
    "check_options",
    "load_options",
    "load_env",
    "options_environ",
]

_KNOWN = frozenset(KEYS)
ENV_PREFIX = "DROVIK_"
# What load_env reads as a boolean, in any case.
_TRUE_WORDS = ("1", "true", "yes", "on")
_FALSE_WORDS = ("0", "false", "no", "off")
_NOT_A_BOOLEAN = "is not a boolean: " + ", ".join(_TRUE_WORDS + _FALSE_WORDS)
DOES_NOT_EXIST = "does not exist"
NOT_ON_PATH = "is not a command found on PATH"


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


class OptionLoadError(KeyError, ValueError):
    """Options that ``load_options`` or ``load_env`` refused, with every reason; nothing was stored.

    ``source`` is the file's path or "environment", ``problems`` one line of
    text for each problem found.  It is a KeyError, as an unknown key always
    was, and a ValueError, as a malformed file was, so that code written for
    either catches it.
    """

    def __init__(self, source: str, problems: List[str]) -> None:
        super().__init__("\n".join(f"{source}: {problem}" for problem in problems))
        self.source = source
        self.problems = problems

    def __str__(self) -> str:
        # A KeyError shows the repr of its argument; this one is plain text.
        return str(self.args[0])

    def __reduce__(self) -> Tuple[Any, ...]:
        # Rebuilt from its own parts, so that it passes between processes.
        return (type(self), (self.source, self.problems))


# Short forms for messages: a value may be a long string or a deep list.
_BRIEF = reprlib.Repr()
_BRIEF.maxstring = _BRIEF.maxother = 80


def shown(value: Any, brief: bool = False) -> str:
    """The repr of ``value`` (shortened when ``brief``), or a stand-in where that fails."""
    try:
        return _BRIEF.repr(value) if brief else repr(value)
    except Exception:
        # An int too long for decimal digits, or a broken __repr__.
        return f"<{type(value).__name__} object>"


def unknown_key_line(key: str) -> str:
    """The line for an unknown key, with the closest known keys where there are any."""
    note = note_for(key)
    return f"Unknown option {shown(key, brief=True)}" + (f". {note}" if note else "")


if TYPE_CHECKING:
    # A key, a record of option_info, or any iterable of keys, as reading takes.
    KeyArgument = Union[OptionKey, str, "OptionInfo", Iterable[str]]


def _keys_of(arguments: Tuple[Any, ...]) -> List[str]:
    """The keys that ``arguments`` name, each a key, an OptionInfo or an iterable of keys; all must be known."""
    keys: List[Any] = []
    for argument in arguments:
        if isinstance(argument, OptionInfo):
            keys.append(argument.key)
        elif isinstance(argument, (str, bytes)) or not isinstance(argument, collections.abc.Iterable):
            keys.append(argument)
        else:
            keys.extend(argument)
    for key in keys:
        if not (isinstance(key, str) and key in _KNOWN):
            raise unknown_option(key)
    return keys


def reset_options(*keys: KeyArgument) -> None:
    """Remove ``keys`` from the option table; every key when called with no argument at all.

    Each argument is a key, a record of ``option_info`` or an iterable of
    keys.  They read as their defaults again.  No checks run: defaults need
    none, so resetting a refused "skorv.mode" makes later sets work again.  An
    unknown key raises KeyError before anything is removed.
    """
    table = options._SKORV_OPTIONS
    if not keys:
        table.clear()
    for key in _keys_of(keys):
        table.pop(key, None)


def _builtin_path(key: str) -> Any:
    return getattr(options, BUILTIN_PATH_FUNCTIONS[key])()


def option_info(*keys: KeyArgument) -> List[OptionInfo]:
    """Value, default and source of ``keys``, or of every option in the order of a read.

    The keys are given as ``reset_options`` takes them.
    """
    names = _keys_of(keys) if keys else list(options.skorv_get_option())
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


def describe_options(*keys: KeyArgument) -> str:
    """Human text for ``keys`` (every option when none is given): value, default, source, checks."""
    blocks = []
    for info in option_info(*keys):
        lines = [
            info.key,
            f"    value:   {shown(info.value)}",
            f"    default: {shown(info.default)}",
            f"    source:  {info.source}",
        ]
        if info.key in HANDLING:
            lines.append(textwrap.fill(HANDLING[info.key], 79, initial_indent="    ", subsequent_indent="    "))
        blocks.append("\n".join(lines))
    return "\n\n".join(blocks)


def command_problem(value: Any) -> Optional[str]:
    """Why ``value`` cannot be run as a program, or None when it can."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        return "is not a path"
    if isinstance(value, str) and value and os.sep not in value:
        # A bare name is looked up on PATH when it is run, as by a shell.
        return None if shutil.which(value) else NOT_ON_PATH
    if not os.path.isfile(value):
        return DOES_NOT_EXIST if not os.path.exists(value) else "is not a file"
    if not os.access(value, os.X_OK):
        return "is not executable"
    return None


def _is_count(text: str) -> bool:
    # Compared as text: int() refuses strings of more than 4,300 digits.
    return text.isascii() and text.isdigit() and text.strip("0") != ""


def _thread_string_problem(value: str) -> Optional[str]:
    counts = value.split(":")
    if len(counts) == 2 and all(_is_count(count) for count in counts):
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


def _word_problem(key: str, value: Any) -> Optional[str]:
    """Why the checks would refuse ``value`` as the engine mode or the allocator library."""
    if key == MODE_KEY and value not in ENGINE_MODES:
        return message("invalid_mode")
    if key == ALLOCATOR_KEY and value not in ALLOCATOR_NAMES and not os.path.exists(value):
        return _NOT_AN_ALLOCATOR
    return None


def _value_problem(info: OptionInfo) -> Optional[str]:
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
    return _word_problem(key, value)


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


# --- loading: a TOML file, the environment


def _loaded_problem(key: str, value: Any, defaults: Dict[str, Any]) -> Optional[str]:
    """Why a loaded ``value`` is refused: not of its default's type, or refused by the checks."""
    default = defaults.get(key)
    if default is None:
        # The command paths and the options unset by default take text.
        return None if isinstance(value, str) else f"is a {type(value).__name__}, but it must be a str"
    return _type_problem(value, default) or _word_problem(key, value)


def _set_all(source: str, applied: Dict[str, Any], problems: List[str]) -> Dict[str, Any]:
    """Refuse everything if there are problems; else set everything in one set, undone if it fails."""
    if problems:
        raise OptionLoadError(source, problems)
    if applied:
        set_or_undo(applied)
    return applied


def _flattened(table: Dict[str, Any]) -> List[Tuple[str, Any]]:
    """The (dotted key, value) pairs of a parsed TOML document, in the file's order."""
    # Iterative: dotted keys may nest deeper than Python recurses.
    pairs = []
    stack = [("", iter(table.items()))]
    while stack:
        prefix, items = stack[-1]
        for name, value in items:
            if isinstance(value, dict) and value:
                stack.append((f"{prefix}{name}.", iter(value.items())))
                break
            # An empty table is a key too: no option is a table.
            pairs.append((prefix + name, value))
        else:
            stack.pop()
    return pairs


def _read_toml(path: Union[str, "os.PathLike[str]"], source: str) -> Dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    with open(path, "rb") as file:
        data = file.read()
    try:
        return tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        problem = f"is not UTF-8 text ({error})"
    except RecursionError:
        problem = "nests arrays or tables more deeply than can be read"
    except ValueError as error:
        # The parser's message ends with the line and column; an integer of
        # more digits than Python converts gives its own.
        problem = str(error)
    raise OptionLoadError(source, [problem])


def load_options(path: Union[str, "os.PathLike[str]"], *, check: bool = True) -> Dict[str, Any]:
    """Set the options of a TOML file; return what was set.

    Keys are option keys, quoted (``"num.threads" = "4:1"``) or dotted
    (``skorv.mode = "classic"``).  The whole file is read and checked first:
    every key must be known and given once, and unless ``check`` is false,
    every value must have the type of its default (text for the command
    paths and for the options that are unset by default) and an engine mode
    or allocator library must be one that the checks accept.  Any problem
    raises OptionLoadError, listing them all, and nothing is stored.  Then
    all are set in one ``skorv_set_option`` call, so the checks run once; if
    that set raises (a refused mode with ``check=False``, a warning raised as
    an error), the table is put back as it was before the error passes out.
    """
    source = os.fspath(path)
    pairs = _flattened(_read_toml(path, source))
    defaults = options.skorv_get_option_default() if check else {}
    applied: Dict[str, Any] = {}
    problems = []
    for key, value in pairs:
        if key not in _KNOWN:
            problems.append(unknown_key_line(key))
        elif key in applied:
            # A quoted and a dotted spelling of one key: TOML takes both.
            problems.append(f"option '{key}' is given twice")
        else:
            applied[key] = value
            problem = _loaded_problem(key, value, defaults) if check else None
            if problem is not None:
                problems.append(f"{key} = {shown(value, brief=True)}: {problem}")
    return _set_all(source, applied, problems)


def _variable(prefix: str, key: str) -> str:
    # One-to-one: no key holds an underscore, and no two differ only in case.
    return prefix + key.upper().replace(".", "_")


def _parsed(text: str, default: Any) -> Any:
    """``text`` as a value of the type of ``default``; ValueError with the reason if it is none."""
    if isinstance(default, bool):
        if text.lower() in _TRUE_WORDS:
            return True
        if text.lower() in _FALSE_WORDS:
            return False
        raise ValueError(_NOT_A_BOOLEAN)
    if isinstance(default, int):
        digits = text[1:] if text[:1] in ("+", "-") else text
        if not (digits.isascii() and digits.isdigit()):
            raise ValueError("is not a whole number in decimal digits")
        return int(text)
    return text


def _misspelt_variable_line(name: str, prefix: str) -> Optional[str]:
    """The line for a variable that looks like a misspelt option's, or None when it looks like none."""
    keys = close_keys(name[len(prefix) :].lower().replace("_", "."))
    if not keys:
        return None
    hint = " or ".join(_variable(prefix, key) for key in keys)
    return f"{name} is not the variable of an option. Did you mean {hint}?"


def load_env(prefix: str = ENV_PREFIX, environ: Mapping[str, str] = os.environ) -> Dict[str, Any]:
    """Set the options given in the environment; return what was set.

    The variable of a key is ``prefix`` and the key in upper case with
    underscores for dots: ``DROVIK_SKORV_CALL``, ``DROVIK_NUM_THREADS``.  A
    value is read by the type of the option's default: a boolean from 1, 0,
    true, false, yes, no, on or off in any case, a whole number from decimal
    digits, anything else as the text itself.  As with ``load_options``,
    every variable is checked first (it must hold a value of its option's
    type, and an engine mode or allocator library that the checks accept; a
    name with the prefix that is close to an option's variable is taken for
    a misspelling of it, and other names are left alone), any problem raises
    OptionLoadError naming the variables and stores nothing, and then all are
    set in one set.  Nothing reads the environment unless this is called.
    """
    variables = {_variable(prefix, key): key for key in KEYS}
    defaults = options.skorv_get_option_default()
    found: Dict[str, Any] = {}
    problems = []
    # Problems come in the order of the names, the same on every machine:
    # the environment's own order depends on how the process was started.
    for name, text in sorted(environ.items()):
        if not name.startswith(prefix):
            continue
        if name not in variables:
            # The environment is shared: a name near no option's belongs to
            # something else (the project's build tools use some).
            misspelt = _misspelt_variable_line(name, prefix)
            if misspelt is not None:
                problems.append(misspelt)
            continue
        key = variables[name]
        try:
            found[key] = _parsed(text, defaults.get(key))
        except ValueError as error:
            # int() gives its own reason for more digits than it converts.
            problems.append(f"{name} = {shown(text, brief=True)}: {error}")
            continue
        problem = _word_problem(key, found[key])
        if problem is not None:
            problems.append(f"{name} = {shown(text, brief=True)}: {problem}")
    # In the order of a read, whatever the order of the environment.
    return _set_all("environment", {key: found[key] for key in KEYS if key in found}, problems)


def _environ_text(value: Any, default: Any) -> Optional[str]:
    """The variable's text that ``load_env`` reads back as ``value`` itself, or None if there is none."""
    if isinstance(value, bool):
        text = "true" if value else "false"
    elif isinstance(value, (int, str)):
        try:
            text = str(value)
        except ValueError:
            # An int of more digits than Python writes in decimal.
            return None
    else:
        return None
    try:
        back = _parsed(text, default)
        os.fsencode(text)
    except (ValueError, UnicodeError):
        return None
    if "\0" in text or type(back) is not type(value) or back != value:
        return None
    return text


def options_environ(prefix: str = ENV_PREFIX) -> Dict[str, str]:
    """The variables that give a process started with them the options set here, for ``load_env``.

    Add them to the environment of a child process or a worker
    (``env={**os.environ, **options_environ()}``), which calls
    ``load_env()``.  A set value that the environment cannot carry so that
    ``load_env`` reads it back as it is (not a str, bool or int of its
    option's type) raises ValueError naming every such option.  A None is
    carried by leaving the variable out, for the options whose default is
    None.
    """
    defaults = options.skorv_get_option_default()
    table = options._SKORV_OPTIONS
    environ = {}
    refused = []
    for key in KEYS:
        if key not in table:
            continue
        if table[key] is None and key in defaults and defaults[key] is None:
            # Unset, the option reads as the same None.
            continue
        text = _environ_text(table[key], defaults.get(key))
        if text is None:
            refused.append(f"{key} = {shown(table[key], brief=True)}")
        else:
            environ[_variable(prefix, key)] = text
    if refused:
        raise ValueError("cannot be passed in the environment as they are: " + "; ".join(refused))
    return environ
