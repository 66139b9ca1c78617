"""Where the skorv engine and the mevro mesh generator are found.

The programs live in the package's ``bin/`` folder.  ``drovik.options`` asks
these functions on every read of an option, so every path is worked out once,
at import, and each call only returns what was found then.
"""

import os
import sys
from typing import Optional

__all__ = ["skorv_call_builtin", "mevro_call_builtin", "skorv_remote_script"]

_EXE_SUFFIX = ".exe" if sys.platform == "win32" else ""
_BIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")
_SKORV_PATH = os.path.join(_BIN_DIR, "skorv" + _EXE_SUFFIX)
_MEVRO_PATH = os.path.join(_BIN_DIR, "mevro" + _EXE_SUFFIX)
_REMOTE_SCRIPT_PATH = os.path.join(_BIN_DIR, "skorv_remote.sh")
# The bin folder is part of the installed package and does not change while
# the process runs, so its contents are looked at once.
_REMOTE_SCRIPT: Optional[str] = _REMOTE_SCRIPT_PATH if os.path.isfile(_REMOTE_SCRIPT_PATH) else None


def skorv_call_builtin() -> str:
    """Path of the engine program shipped in the package, whether or not it is there."""
    return _SKORV_PATH


def mevro_call_builtin() -> str:
    """Path of the mesh generator shipped in the package, whether or not it is there."""
    return _MEVRO_PATH


def skorv_remote_script() -> Optional[str]:
    """Path of the remote-run script in the package, or None when it is not installed."""
    return _REMOTE_SCRIPT
