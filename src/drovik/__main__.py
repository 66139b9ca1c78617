"""``python -m drovik``: show every option, its current value and where it comes from."""

import argparse
import json
import sys
from typing import Any, List, Optional, Sequence, Tuple

from . import options

_SOURCE_SET = "set"
_SOURCE_DEFAULT = "default"
_SOURCE_BUILTIN = "built-in path"
_SOURCE_REMOTE = "remote script"
_CALL_KEYS = ("skorv.call", "mevro.call")

Row = Tuple[str, Any, str]


def option_rows() -> List[Row]:
    """(key, value, source) for every option, in the order of the dict form of a read."""
    stored = options._SKORV_OPTIONS
    rows = []
    for key, value in options.skorv_get_option().items():
        if key not in stored:
            source = _SOURCE_BUILTIN if key in _CALL_KEYS else _SOURCE_DEFAULT
        elif value is stored[key]:
            source = _SOURCE_SET
        else:
            # Only a stored "remote" engine path reads differently from what was set.
            source = _SOURCE_REMOTE
        rows.append((key, value, source))
    return rows


def _json_value(value: Any) -> Any:
    try:
        json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return repr(value)
    return value


def format_table(rows: List[Row]) -> str:
    key_width = max(len("option"), *(len(key) for key, _, _ in rows))
    value_width = max(len("value"), *(len(repr(value)) for _, value, _ in rows))
    lines = [f"{'option':<{key_width}}  {'value':<{value_width}}  source"]
    lines.append(f"{'-' * key_width}  {'-' * value_width}  {'-' * len('source')}")
    for key, value, source in rows:
        lines.append(f"{key:<{key_width}}  {value!r:<{value_width}}  {source}")
    return "\n".join(lines)


def format_json(rows: List[Row]) -> str:
    table = [{"key": key, "value": _json_value(value), "source": source} for key, value, source in rows]
    return json.dumps(table, indent=2, ensure_ascii=False)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m drovik",
        description="Show every drovik option with its current value and where it comes from.",
    )
    parser.add_argument("--json", action="store_true", help="print the table as JSON, for tools")
    args = parser.parse_args(argv)
    rows = option_rows()
    print(format_json(rows) if args.json else format_table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
