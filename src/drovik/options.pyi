# Types of drovik.options for editors and type checkers: the compiled module
# itself carries only annotation strings, which tools cannot read from it.
#
# The names follow what the module binds at import, in its order: the
# "X as X" imports re-export what the module really holds (the standard
# modules, the typing names, the companion functions); the plain imports
# serve this file only.

import os as os
import sys
import warnings as warnings
from typing import Any, Iterable, List, overload
from typing import Dict as Dict
from typing import Optional as Optional
from typing import Union as Union

if sys.version_info >= (3, 11):
    # Only from 3.11 on is typing.Any the class that the checkers know;
    # before, the module holds a special form that no stub can describe.
    from typing import Any as Any

from .skorv_call import mevro_call_builtin as mevro_call_builtin
from .skorv_call import skorv_call_builtin as skorv_call_builtin
from .skorv_call import skorv_remote_script as skorv_remote_script
from .utils import skorv_anyMultibyteUTF8Characters as _any_mb  # noqa: F401 (bound in the module under this name)

# The option table: only the keys that have been set, each with the very
# object that was set (any type; the defaults are str, bool, int or None).
_SKORV_OPTIONS: Dict[str, Any]

def _cpu_default_string() -> str: ...
def skorv_get_option_default() -> Dict[str, Any]:
    """
    Default options (no recursion to get current options).
    """

# No option: a new dict of every option.  One key (a str): that option's
# value itself.  Any other iterable of keys: a new list of their values.
@overload
def skorv_get_option(option: None = None) -> Dict[str, Any]:
    """
    Get current option(s). If option is None, return a dict of current values.
    Special handling for 'skorv.call' and 'mevro.call' to avoid recursion.
    """

@overload
def skorv_get_option(option: str) -> Any: ...
@overload
def skorv_get_option(option: Iterable[str]) -> List[Any]: ...

# The two call forms that the module accepts; any mixture of the two raises
# TypeError, and so does a call with no argument at all, which the second
# form cannot refuse here.
@overload
def skorv_set_option(option: str, value: Any, /) -> None:
    """
    Set global options.

    Supports:
      skorv_set_option("keep", True)
      skorv_set_option(keep=True, num_threads="4:1")
      skorv_set_option(keep=True, num_threads="4:1", verbose=True)
    """

@overload
def skorv_set_option(**kwargs: Any) -> None: ...
def _set_one(option: str, value: Any) -> None: ...
def _post_set_checks() -> None: ...
def skorv_enabled_Plexa_features() -> bool: ...
