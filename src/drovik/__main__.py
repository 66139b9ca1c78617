"""``python -m drovik``: show the options, their values and where they come from; check them."""

import argparse
import json
import os
import re
import sys
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence

from . import options
from ._catalogue import COMMAND_KEYS, KEYS
from ._toolkit import (
    DOES_NOT_EXIST,
    NOT_ON_PATH,
    OptionInfo,
    OptionLoadError,
    Problem,
    check_options,
    command_problem,
    load_env,
    load_options,
    option_info,
    shown,
    unknown_key_line,
)

PROG = "python -m drovik"
# Exit statuses, as the README lists them.
PROBLEMS_FOUND = 1  # --check found problems
USAGE_ERROR = 2  # arguments, a file or the environment that cannot be used
OUTPUT_FAILED = 3  # standard output is closed or full, or its reader has gone

_SOURCE_LABELS = {"set": "set", "default": "default", "built-in": "built-in path"}
_SOURCE_REMOTE = "remote script"
# Characters that UTF-8 cannot write: the surrogates by which os.fsdecode
# keeps the bytes of a file name that are not UTF-8, and any other.
_UNWRITABLE = re.compile("[\ud800-\udfff]")


class CommandError(Exception):
    """Lines of error for the user, one per argument; the command exits with USAGE_ERROR."""


class OutputError(Exception):
    """Standard output cannot be written; the command exits with OUTPUT_FAILED after the message, if any."""


def _source_label(info: OptionInfo) -> str:
    stored = options._SKORV_OPTIONS
    if info.source == "set" and info.key in stored and info.value is not stored[info.key]:
        # Only a stored "remote" engine path reads differently from what was set.
        return _SOURCE_REMOTE
    return _SOURCE_LABELS[info.source]


def _is_missing(info: OptionInfo) -> bool:
    return info.key in COMMAND_KEYS and command_problem(info.value) in (DOES_NOT_EXIST, NOT_ON_PATH)


def _json_value(value: Any) -> Any:
    try:
        json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return shown(value)
    return value


def _escaped(match: "re.Match[str]") -> str:
    code = ord(match.group())
    # As JSON text: a backslash, then x and the byte in hex (or u and the
    # code point), so that the output is valid UTF-8 and says which byte it was.
    return f"\\\\x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF else f"\\\\u{code:04x}"


def _json(rows: List[Dict[str, Any]]) -> str:
    return _UNWRITABLE.sub(_escaped, json.dumps(rows, indent=2, ensure_ascii=False))


def format_table(infos: List[OptionInfo]) -> str:
    rows = []
    for info in infos:
        source = _source_label(info) + (", missing" if _is_missing(info) else "")
        rows.append((info.key, shown(info.value), source))
    key_width = max(len("option"), *(len(key) for key, _, _ in rows))
    value_width = max(len("value"), *(len(value) for _, value, _ in rows))
    lines = [f"{'option':<{key_width}}  {'value':<{value_width}}  source"]
    lines.append(f"{'-' * key_width}  {'-' * value_width}  {'-' * len('source')}")
    for key, value, source in rows:
        lines.append(f"{key:<{key_width}}  {value:<{value_width}}  {source}")
    return "\n".join(lines)


def format_json(infos: List[OptionInfo]) -> str:
    table = []
    for info in infos:
        row: Dict[str, Any] = {
            "key": info.key,
            "value": _json_value(info.value),
            "source": _source_label(info),
        }
        if info.key in COMMAND_KEYS:
            row["missing"] = _is_missing(info)
        table.append(row)
    return _json(table)


def format_problems(problems: List[Problem], as_json: bool) -> str:
    if as_json:
        return _json([{"key": p.key, "value": _json_value(p.value), "message": p.message} for p in problems])
    if not problems:
        return "No problems found."
    return "\n".join(f"{p.key} = {shown(p.value)}: {p.message}" for p in problems)


def _load(load: Callable[[], object], source: str) -> None:
    """Run ``load``: its problems and failures become a CommandError, its warnings one line each."""
    with warnings.catch_warnings(record=True) as shown_warnings:
        try:
            load()
        except OptionLoadError as error:
            raise CommandError(*(f"{error.source}: {problem}" for problem in error.problems)) from None
        except OSError as error:
            raise CommandError(f"cannot read {source}: {error.strerror or error}") from None
        except (ValueError, Warning) as error:
            # A check that refused the set, or one of its warnings that the
            # filters raise as an error (-W error).
            raise CommandError(f"{source}: {error}") from None
        finally:
            # The filters have passed these; show them as one line each.
            for warning in shown_warnings:
                _tell(f"{PROG}: warning: {warning.message}")


def _drop_output() -> None:
    # Point standard output at nothing, so that the flush at exit does not
    # fail again on what is still buffered.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _print(text: str) -> None:
    if sys.stdout is None:
        # Started with standard output closed.
        raise OutputError("standard output is closed")
    try:
        print(text, flush=True)
    except BrokenPipeError:
        # The reader has gone (`| head`): end without a word, as a pipe would.
        _drop_output()
        raise OutputError() from None
    except OSError as error:
        _drop_output()
        raise OutputError(f"cannot write to standard output: {error.strerror or error}") from None


def _tell(line: str) -> None:
    """Print a line on standard error, if there is one to print on."""
    if sys.stderr is not None:
        try:
            print(line, file=sys.stderr, flush=True)
        except OSError:
            pass


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Show drovik options with their current values and where they come from.",
        epilog=(
            f"exit status: 0 done; {PROBLEMS_FOUND} --check found problems; {USAGE_ERROR} arguments, a file or "
            f"the environment that cannot be used; {OUTPUT_FAILED} standard output could not be written"
        ),
    )
    parser.add_argument("keys", nargs="*", metavar="KEY", help="show only these options")
    parser.add_argument("--json", action="store_true", help="print JSON, for tools")
    parser.add_argument(
        "--check",
        action="store_true",
        help=f"print the problems a run would meet instead; exit status {PROBLEMS_FOUND} if there are any",
    )
    parser.add_argument("--env", action="store_true", help="set the options of the DROVIK_ variables first")
    parser.add_argument("--config", metavar="FILE", help="set the options of a TOML file first (after --env)")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    return parser


def _run(args: argparse.Namespace) -> int:
    if args.version:
        import drovik

        _print(f"drovik {drovik.__version__}")
        return 0
    unknown = [unknown_key_line(key) for key in args.keys if key not in KEYS]
    if unknown:
        raise CommandError(*unknown)
    if args.env:
        _load(load_env, "environment")
    if args.config is not None:
        _load(lambda: load_options(args.config), args.config)
    if args.check:
        problems = [p for p in check_options() if not args.keys or p.key in args.keys]
        _print(format_problems(problems, args.json))
        return PROBLEMS_FOUND if problems else 0
    infos = option_info(*args.keys)
    _print(format_json(infos) if args.json else format_table(infos))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except CommandError as error:
        for line in error.args:
            _tell(f"{PROG}: error: {line}")
        return USAGE_ERROR
    except OutputError as error:
        if error.args:
            _tell(f"{PROG}: error: {error.args[0]}")
        return OUTPUT_FAILED


if __name__ == "__main__":
    sys.exit(main())
