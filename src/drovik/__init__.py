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
    "load_env": ("_toolkit", "load_env"),
    "options_environ": ("_toolkit", "options_environ"),
    "OptionInfo": ("_toolkit", "OptionInfo"),
    "Problem": ("_toolkit", "Problem"),
    "OptionLoadError": ("_toolkit", "OptionLoadError"),
    "OptionKey": ("_catalogue", "OptionKey"),
}

# Written out, not taken from _LAZY: type checkers read only a literal list.
__all__ = [
    "option_context",
    "options",
    "reset_options",
    "option_info",
    "describe_options",
    "check_options",
    "load_options",
    "load_env",
    "options_environ",
    "OptionInfo",
    "Problem",
    "OptionLoadError",
    "OptionKey",
]

# Not the typing module's: importing that alone costs more than the package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    # "import x as x" re-exports x, for checkers that read no __all__.
    from . import options as options
    from ._catalogue import OptionKey as OptionKey
    from ._toolkit import OptionInfo as OptionInfo
    from ._toolkit import OptionLoadError as OptionLoadError
    from ._toolkit import Problem as Problem
    from ._toolkit import check_options as check_options
    from ._toolkit import describe_options as describe_options
    from ._toolkit import load_env as load_env
    from ._toolkit import load_options as load_options
    from ._toolkit import option_info as option_info
    from ._toolkit import options_environ as options_environ
    from ._toolkit import reset_options as reset_options
    from .context import option_context as option_context

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
