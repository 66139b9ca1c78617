"""Every fact about the options of ``drovik.options``, written once.

The keys and their order, the defaults, the words the checks accept, the
pieces of every message, the module's docstrings and the signatures of its
functions. The Python layer (the toolkit, the command, the key suggestions,
option_context) and the tests import this file; the build of the compiled
module reads it too and turns it into C++ constants, so the compiled module
never imports it and its import cost does not change.

Adding an option: add its key to ``OptionKey`` at its place in the order and
its default to ``DEFAULTS`` (and, if the module itself treats it specially, a
line to ``HANDLING``). Everything else follows.

Nothing here may import the package: the build loads this file on its own.
"""

from typing import Literal, Tuple, Union, get_args

# The known keys, in the order of a read of all options: the 24 keys with a
# default, in the order of the table of defaults, then the two command paths.
OptionKey = Literal[
    "skorv.arg",
    "mevro.arg",
    "num.threads",
    "smtp",
    "safe",
    "keep",
    "verbose",
    "save.memory",
    "internal.opt",
    "working.directory",
    "silent",
    "debug",
    "show.warning.graph.file",
    "scale.model.default",
    "short.summary",
    "skorv.timeout",
    "mevro.timeout",
    "skorv.mode",
    "malloc.lib",
    "mevro.evolution",
    "mevro.evolution.warn",
    "mevro.evolution.verbosity",
    "Plexa.features",
    "numa",
    "skorv.call",
    "mevro.call",
]

KEYS: Tuple[str, ...] = get_args(OptionKey)


class ThreadString:
    """Stands for the one default worked out at each call: the processor
    count, clamped to 1..MAX_THREADS, followed by THREAD_SUFFIX."""

    def __repr__(self) -> str:
        return "THREAD_STRING"


THREADS_KEY = "num.threads"
THREAD_STRING = ThreadString()
MAX_THREADS = 16
THREAD_SUFFIX = ":1"

# The table of defaults, in its order. Equal constants may be one object.
DEFAULTS: Tuple[Tuple[str, Union[None, bool, int, str, ThreadString]], ...] = (
    ("skorv.arg", None),
    ("mevro.arg", ""),
    ("num.threads", THREAD_STRING),
    ("smtp", "default"),
    ("safe", True),
    ("keep", False),
    ("verbose", False),
    ("save.memory", False),
    ("internal.opt", True),
    ("working.directory", None),
    ("silent", True),
    ("debug", False),
    ("show.warning.graph.file", True),
    ("scale.model.default", False),
    ("short.summary", False),
    ("skorv.timeout", 0),
    ("mevro.timeout", 0),
    ("skorv.mode", "compact"),
    ("malloc.lib", "mi"),
    ("mevro.evolution", 2),
    ("mevro.evolution.warn", True),
    ("mevro.evolution.verbosity", "default"),
    ("Plexa.features", False),
    ("numa", False),
)

# The command paths: no default; a read asks the companion function for the
# built-in path while the key is unset.
COMMAND_KEYS = ("skorv.call", "mevro.call")
BUILTIN_PATH_FUNCTIONS = {"skorv.call": "skorv_call_builtin", "mevro.call": "mevro_call_builtin"}

# An engine path whose lower() is one of these reads as the remote-run script.
REMOTE_ENGINE_WORDS = ("remote", "skorv.remote")

# Keys the checks after every set look at, and what they accept.
MODE_KEY = "skorv.mode"
ENGINE_MODES = ("compact", "classic", "twostage", "experimental")
# Stored in place of "experimental" by the checks.
MODE_REPLACEMENTS = {"experimental": "compact"}

ALLOCATOR_KEY = "malloc.lib"
# Names that need no file, in the order the checks compare them; the first
# one (and None) means "unset" and is replaced by the default.
ALLOCATOR_NAMES = ("default", "compiler", "je", "tc", "mi")
UNSET_ALLOCATOR = "default"

WORKING_DIRECTORY_KEY = "working.directory"
PLEXA_KEY = "Plexa.features"
TIMEOUT_KEYS = ("skorv.timeout", "mevro.timeout")

# The pieces of the messages, each joined with the value as the comment says.
MESSAGES = {
    # head + the key's text + tail
    "unknown_option": ("Unknown option '", "'"),
    "invalid_mode": ("Invalid 'skorv.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'.",),
    # head + the path's text + tail
    "allocator_missing": (
        "User-defined library for option 'malloc.lib', ",
        ", does not exist. Using default.",
    ),
    # head + repr of the value + tail
    "allocator_unavailable": (
        "Value for option 'malloc.lib' = ",
        " may not be available on this system.",
    ),
    # head + the directory's text + tail
    "working_directory_multibyte": (
        "*** working.directory=[",
        "] contains multibyte characters. This may fail on some systems.",
    ),
    "set_form": ("Use either skorv_set_option('key', value) or skorv_set_option(key=value, ...).",),
    "set_key_type": ("First positional argument must be a string key",),
}


def message(name: str, value: str = "") -> str:
    """The message ``name`` with ``value`` (already rendered) between its pieces."""
    return value.join(MESSAGES[name]) if len(MESSAGES[name]) == 2 else MESSAGES[name][0]


MODULE_DOC = (
    "\n"
    "Global options for the Python port (R-SKORV options analogue).\n"
    "\n"
    "Key functions:\n"
    "- skorv_get_option_default()\n"
    "- skorv_get_option(option=None)\n"
    '- skorv_set_option(**kwargs)   # also supports skorv_set_option("key", value)\n'
    "- skorv_enabled_Plexa_features()\n"
)


class Function:
    """One function of the module as Python sees it."""

    def __init__(
        self,
        name: str,
        parameters: str,
        annotations: Tuple[Tuple[str, str], ...],
        doc: Union[str, None] = None,
        local_names: Tuple[str, ...] = (),
    ) -> None:
        self.name = name
        # The parameter list as a def writes it.
        self.parameters = parameters
        # Parameter names first, "return" last; every value is a plain string.
        self.annotations = annotations
        self.doc = doc
        # The locals besides the parameters, as the code object lists them.
        self.local_names = local_names


# The module's functions, in the order in which they are bound.
FUNCTIONS = (
    Function("_cpu_default_string", "", (("return", "str"),), local_names=("n",)),
    Function(
        "skorv_get_option_default",
        "",
        (("return", "Dict[str, Any]"),),
        doc="\n    Default options (no recursion to get current options).\n    ",
    ),
    Function(
        "skorv_get_option",
        "option=None",
        (("option", "Optional[Union[str, list]]"),),
        doc=(
            "\n"
            "    Get current option(s). If option is None, return a dict of current values.\n"
            "    Special handling for 'skorv.call' and 'mevro.call' to avoid recursion.\n"
            "    "
        ),
        local_names=("defaults", "out", "val", "rem", "keys", "out_list", "key"),
    ),
    Function(
        "skorv_set_option",
        "*args, **kwargs",
        (("return", "None"),),
        doc=(
            "\n"
            "    Set global options.\n"
            "\n"
            "    Supports:\n"
            '      skorv_set_option("keep", True)\n'
            '      skorv_set_option(keep=True, num_threads="4:1")\n'
            '      skorv_set_option(keep=True, num_threads="4:1", verbose=True)\n'
            "    "
        ),
    ),
    Function("_set_one", "option, value", (("option", "str"), ("value", "Any"), ("return", "None"))),
    Function("_post_set_checks", "", (("return", "None"),), local_names=("mode", "arg", "wdir")),
    Function("skorv_enabled_Plexa_features", "", (("return", "bool"),)),
)

# What the module itself does with a key beyond storing and returning it; the
# other options mean something only to the programs.
HANDLING = {
    "num.threads": "Default: the processor count, from 1 to 16, followed by ':1'.",
    "working.directory": (
        "Checked after every set: a path with characters outside ASCII (more than one byte in "
        "UTF-8) gives a warning; the value stays."
    ),
    "skorv.mode": (
        "Checked after every set: must be 'compact', 'classic', 'twostage' or 'experimental', "
        "else the set raises ValueError (the value stays stored); 'experimental' is stored as "
        "'compact'."
    ),
    "malloc.lib": (
        "Checked after every set: None or 'default' becomes the default 'mi'; 'compiler', "
        "'je', 'tc' and 'mi' are allocator names; any other value should be an existing library "
        "file: an absolute path that does not exist warns and becomes 'mi', anything else "
        "that does not exist warns and stays."
    ),
    "Plexa.features": "Read by skorv_enabled_Plexa_features(), which tells whether it is true.",
    "skorv.call": (
        "Read: the built-in engine path while unset. A value 'remote' or 'skorv.remote' (in "
        "any case) reads as the path of the remote-run script, when that script is installed."
    ),
    "mevro.call": "Read: the built-in mesh generator path while unset.",
}
