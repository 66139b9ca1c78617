"""What the fixtures and the tests share: the stand-ins' answers, the model, the child programs."""

import importlib.util
import itertools
import os

from drovik._catalogue import DEFAULTS as CATALOGUE_DEFAULTS
from drovik._catalogue import THREAD_STRING, THREAD_SUFFIX

SKORV_PATH = "/opt/drovik/bin/skorv"
MEVRO_PATH = "/opt/drovik/bin/mevro"
REMOTE_SCRIPT = "/opt/drovik/bin/skorv_remote.sh"
CPUS = 8
HERE = os.path.dirname(os.path.abspath(__file__))
MODEL_PATH = os.path.join(HERE, "options_model.py")
PROGRAMS = os.path.join(HERE, "programs")

# The table of defaults, in insertion order, with "num.threads" as the
# stand-in processor count (CPUS) gives it.
DEFAULTS = [(key, f"{CPUS}{THREAD_SUFFIX}" if value is THREAD_STRING else value) for key, value in CATALOGUE_DEFAULTS]

_model_serial = itertools.count()


def load_model():
    """A fresh copy of the plain-Python model of the module.

    A private name per copy, never put in sys.modules: each copy has its own
    table and namespace and may be mangled freely.
    """
    found = importlib.util.spec_from_file_location(f"_drovik_options_model_{next(_model_serial)}", MODEL_PATH)
    model = importlib.util.module_from_spec(found)
    found.loader.exec_module(model)
    return model
