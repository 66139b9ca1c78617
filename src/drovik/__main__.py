"""``python -m drovik``: show the options, their values and where they come from; check them."""

import argparse
import json
import os
import sys
import warnings
from typing import Any, Dict, List, Optional, Sequence

from . import options
from ._catalogue import COMMAND_KEYS, KEYS
from ._suggest import note_for
from ._toolkit import OptionInfo, Problem, check_options, command_problem, load_options, option_info

PROG = "python -m drovik"
# Exit statuses: problems found by --check, and a call that cannot be carried out.
PROBLEMS_FOUND = 1
USAGE_ERROR = 2

_SOURCE_LABELS = {"set": "set", "default": "default", "built-in": "built-in path"}
_SOURCE_REMOTE = "remote script"


class CommandError(Exception):
    """A one-line error for the user; the command exits with USAGE_ERROR."""


def _source_label(info: OptionInfo) -> str:
    stored = options._SKORV_OPTIONS
    if info.source == "set" and info.key in stored and info.value is not stored[info.key]:
        # Only a stored "remote" engine path reads differently from what was set.
        return _SOURCE_REMOTE
    return _SOURCE_LABELS[info.source]


def _is_missing(info: OptionInfo) -> bool:
    return info.key in COMMAND_KEYS and command_problem(info.value) == "does not exist"


def _json_value(value: Any) -> Any:
    try:
        json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return repr(value)
    return value


def format_table(infos: List[OptionInfo]) -> str:
    rows = []
    for info in infos:
        source = _source_label(info) + (", missing" if _is_missing(info) else "")
        rows.append((info.key, repr(info.value), source))
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
    return json.dumps(table, indent=2, ensure_ascii=False)


def format_problems(problems: List[Problem], as_json: bool) -> str:
    if as_json:
        found = [
            {"key": p.key, "value": _json_value(p.value), "message": p.message} for p in problems
        ]
        return json.dumps(found, indent=2, ensure_ascii=False)
    if not problems:
        return "No problems found."
    return "\n".join(f"{p.key} = {p.value!r}: {p.message}" for p in problems)


def _unknown_key_line(key: str) -> str:
    note = note_for(key)
    return f"Unknown option '{key}'" + (f". {note}" if note else "")


def _key_error_line(error: KeyError) -> str:
    message = str(error.args[0]) if error.args else ""
    head = "Unknown option '"
    if message.startswith(head) and message.endswith("'"):
        return _unknown_key_line(message[len(head) : -1])
    return message


def _load_config(path: str) -> None:
    with warnings.catch_warnings(record=True) as shown:
        try:
            load_options(path)
        except OSError as error:
            raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
        except KeyError as error:
            raise CommandError(f"{path}: {_key_error_line(error)}") from None
        except ValueError as error:
            raise CommandError(str(error)) from None
        finally:
            # The filters have passed these; show them as one line each.
            for warning in shown:
                print(f"{PROG}: warning: {warning.message}", file=sys.stderr)


def _print(text: str) -> None:
    try:
        print(text, flush=True)
    except BrokenPipeError:
        # The reader has gone (`| head`). Point standard output at nothing, so
        # that the flush at exit does not fail again, and end quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        raise SystemExit(1) from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Show drovik options with their current values and where they come from.",
    )
    parser.add_argument("keys", nargs="*", metavar="KEY", help="show only these options")
    parser.add_argument("--json", action="store_true", help="print JSON, for tools")
    parser.add_argument(
        "--check",
        action="store_true",
        help="print the problems a run would meet instead; exit status 1 if there are any",
    )
    parser.add_argument("--config", metavar="FILE", help="set the options of a TOML file first")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    return parser


def _run(args: argparse.Namespace) -> int:
    if args.version:
        import drovik

        _print(f"drovik {drovik.__version__}")
        return 0
    for key in args.keys:
        if key not in KEYS:
            raise CommandError(_unknown_key_line(key))
    if args.config is not None:
        _load_config(args.config)
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
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return USAGE_ERROR


if __name__ == "__main__":
    sys.exit(main())
