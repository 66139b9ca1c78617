"""Set options on behalf of user code, so that the checks' warnings name the user's line.

The checks after a set warn at stack level 1: the warning belongs to the
innermost Python frame, whoever called ``skorv_set_option``.  When the
package sets options for the user (``option_context``, ``load_options``),
that frame would be ours, so filters by module or line would not match the
user's code, and the default filter would show a warning once for every use
anywhere.  Instead the set is made from a frame built for the purpose: its
code carries the user's file and line, and its globals are the user's (the
module that filters match and the registry of warnings already shown).

Nothing is shared between calls, so threads need no lock; and as the warning
is raised by the set itself, an "error" filter raises it at the same moment
as for a direct set.
"""

from __future__ import annotations

import contextlib
import os
import sys
import types
from typing import Any, Callable, Dict, Optional, Tuple

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
# The decorator form runs the entry from contextlib's wrapper.
_CONTEXTLIB_FILE = contextlib.__file__


# The call stands on the line of the def, so that the frame's line is the
# first line of the code, which becomes the user's line.
def _set_at(set_option: Any, args: Any, kwargs: Any) -> Any: return set_option(*args, **kwargs)  # fmt: skip


def _line_only(code: types.CodeType) -> types.CodeType:
    # From 3.11 on, code also maps each instruction to columns, which a
    # traceback underlines; the template's columns would mark an arbitrary
    # part of the user's line.  This location table says "this line, no
    # columns" for every code unit: entries of kind 13 covering up to 8 units
    # each, with a line change of 0.
    if sys.version_info < (3, 11):
        return code
    units = len(code.co_code) // 2
    table = bytearray()
    while units > 0:
        covered = min(units, 8)
        table += bytes([0x80 | 13 << 3 | (covered - 1), 0])
        units -= covered
    return code.replace(co_linetable=bytes(table))


_TEMPLATE = _line_only(_set_at.__code__)


def _is_ours(filename: str) -> bool:
    return filename.startswith(_PACKAGE_DIR) or filename == _CONTEXTLIB_FILE


def _user_frame() -> Optional[types.FrameType]:
    frame: Optional[types.FrameType] = sys._getframe(1)
    while frame is not None and _is_ours(frame.f_code.co_filename):
        frame = frame.f_back
    return frame


def set_options_at_caller(set_option: Callable[..., None], args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> None:
    """``set_option(*args, **kwargs)``, called as if from the nearest frame outside the package."""
    frame = _user_frame()
    if frame is None:
        set_option(*args, **kwargs)
        return
    line = frame.f_lineno or frame.f_code.co_firstlineno
    code = _TEMPLATE.replace(co_filename=frame.f_code.co_filename, co_firstlineno=line)
    types.FunctionType(code, frame.f_globals)(set_option, args, kwargs)
