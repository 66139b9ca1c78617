"""
Global options for the Python port (R-SKORV options analogue).

Key functions:
- skorv_get_option_default()
- skorv_get_option(option=None)
- skorv_set_option(**kwargs)   # also supports skorv_set_option("key", value)
- skorv_enabled_Plexa_features()
"""

import os
import warnings
from typing import Any, Dict, Optional, Union

# Absolute imports: this file is loaded standalone, under a module name of its
# own, so it cannot reach its companions relative to a package.
# In the order in which the module binds them.
from drovik.skorv_call import skorv_call_builtin, mevro_call_builtin, skorv_remote_script  # isort: skip
from drovik.utils import skorv_anyMultibyteUTF8Characters as _any_mb

_SKORV_OPTIONS = {}


def _cpu_default_string() -> "str":
    n = os.cpu_count() or 1
    n = max(1, min(16, n))
    return f"{n}:1"


def skorv_get_option_default() -> "Dict[str, Any]":
    """
    Default options (no recursion to get current options).
    """
    return {
        "skorv.arg": None,
        "mevro.arg": "",
        "num.threads": _cpu_default_string(),
        "smtp": "default",
        "safe": True,
        "keep": False,
        "verbose": False,
        "save.memory": False,
        "internal.opt": True,
        "working.directory": None,
        "silent": True,
        "debug": False,
        "show.warning.graph.file": True,
        "scale.model.default": False,
        "short.summary": False,
        "skorv.timeout": 0,
        "mevro.timeout": 0,
        "skorv.mode": "compact",
        "malloc.lib": "mi",
        "mevro.evolution": 2,
        "mevro.evolution.warn": True,
        "mevro.evolution.verbosity": "default",
        "Plexa.features": False,
        "numa": False,
    }


def skorv_get_option(option: "Optional[Union[str, list]]" = None):
    """
    Get current option(s). If option is None, return a dict of current values.
    Special handling for 'skorv.call' and 'mevro.call' to avoid recursion.
    """
    defaults = skorv_get_option_default()
    if "skorv.call" not in _SKORV_OPTIONS:
        defaults["skorv.call"] = skorv_call_builtin()
    if "mevro.call" not in _SKORV_OPTIONS:
        defaults["mevro.call"] = mevro_call_builtin()

    if option is None:
        out = {**defaults, **_SKORV_OPTIONS}
        # Only a stored engine path is resolved here, never the built-in one.
        val = _SKORV_OPTIONS.get("skorv.call", None)
        if isinstance(val, str) and val.lower() in ("remote", "skorv.remote"):
            rem = skorv_remote_script()
            if rem:
                out["skorv.call"] = rem
        return out

    keys = [option] if isinstance(option, str) else list(option)
    out_list = []
    for key in keys:
        if key in _SKORV_OPTIONS:
            val = _SKORV_OPTIONS[key]
        elif key in defaults:
            val = defaults[key]
        else:
            raise KeyError(f"Unknown option '{key}'")
        if key == "skorv.call" and isinstance(val, str) and val.lower() in ("remote", "skorv.remote"):
            rem = skorv_remote_script()
            if rem:
                val = rem
        out_list.append(val)
    return out_list[0] if isinstance(option, str) else out_list


def skorv_set_option(*args, **kwargs) -> "None":
    """
    Set global options.

    Supports:
      skorv_set_option("keep", True)
      skorv_set_option(keep=True, num_threads="4:1")
      skorv_set_option(keep=True, num_threads="4:1", verbose=True)
    """
    if len(args) == 2 and not kwargs:
        key, value = args
        if not isinstance(key, str):
            raise TypeError("First positional argument must be a string key")
        _set_one(key, value)
    elif not args and kwargs:
        for name, value in kwargs.items():
            _set_one(name, value)
    else:
        raise TypeError("Use either skorv_set_option('key', value) or skorv_set_option(key=value, ...).")
    _post_set_checks()


def _type_name(cls: type) -> str:
    # The name a type records for itself: a type made in C outside the
    # builtins records its module too (weakref.ProxyType); a class written in
    # Python, only its name.
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__qualname__}"


_HEAPTYPE = 1 << 9


def _set_one(option: "str", value: "Any") -> "None":
    # The key must be exactly a str: subclasses are refused like any other type.
    if type(option) is not str:
        raise TypeError(f"Argument 'option' has incorrect type (expected str, got {_type_name(type(option))})")
    allowed = set(skorv_get_option_default().keys()) | {"skorv.call", "mevro.call"}
    if option not in allowed:
        raise KeyError(f"Unknown option '{option}'")
    _SKORV_OPTIONS[option] = value


def _post_set_checks() -> "None":
    mode = skorv_get_option("skorv.mode")
    if mode != "compact" and mode != "classic" and mode != "twostage" and mode != "experimental":
        raise ValueError("Invalid 'skorv.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'.")
    if mode == "experimental":
        _SKORV_OPTIONS["skorv.mode"] = "compact"

    arg = skorv_get_option("malloc.lib")
    if arg is None or arg == "default":
        _SKORV_OPTIONS["malloc.lib"] = skorv_get_option_default()["malloc.lib"]
    elif isinstance(arg, str) and arg.startswith("/") and not os.path.exists(arg):
        warnings.warn(f"User-defined library for option 'malloc.lib', {arg}, does not exist. Using default.")
        _SKORV_OPTIONS["malloc.lib"] = skorv_get_option_default()["malloc.lib"]
    elif (
        arg != "default"
        and arg != "compiler"
        and arg != "je"
        and arg != "tc"
        and arg != "mi"
        and not os.path.exists(arg)
    ):
        warnings.warn(f"Value for option 'malloc.lib' = {arg!r} may not be available on this system.")

    wdir = skorv_get_option("working.directory")
    if isinstance(wdir, str) and _any_mb(wdir):
        warnings.warn(f"*** working.directory=[{wdir}] contains multibyte characters. This may fail on some systems.")


def skorv_enabled_Plexa_features() -> "bool":
    return bool(skorv_get_option("Plexa.features"))
