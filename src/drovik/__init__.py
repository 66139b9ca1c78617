"""Drive the skorv engine and the mevro mesh generator from Python.

``drovik.options`` holds the process-wide options that every run reads; the
functions here look after them.
"""

import sys as _sys

# Public name: (submodule, attribute of it, or None for the submodule itself).
# Each is imported on first use, so that importing the package costs almost
# nothing until one of them is needed.
_LAZY = {
    "option_context": ("context", "option_context"),
    "options": ("options", None),
    "reset_options": ("_toolkit", "reset_options"),
    "option_info": ("_toolkit", "option_info"),
    "describe_options": ("_toolkit", "describe_options"),
    "check_options": ("_toolkit", "check_options"),
    "load_options": ("_toolkit", "load_options"),
}

__all__ = list(_LAZY)

# Not the typing module's: importing that alone costs more than the package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from . import options
    from ._toolkit import check_options, describe_options, load_options, option_info, reset_options
    from .context import option_context

    __version__: str


def __getattr__(name: str) -> object:
    if name == "__version__":
        # The version of the installed distribution, which the build took
        # from pyproject.toml: the one place where it is written.
        from importlib.metadata import version

        value: object = version(__name__)
    elif name in _LAZY:
        module_name, attribute = _LAZY[name]
        full_name = f"{__name__}.{module_name}"
        __import__(full_name)
        module = _sys.modules[full_name]
        value = module if attribute is None else getattr(module, attribute)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__, "__version__"})
