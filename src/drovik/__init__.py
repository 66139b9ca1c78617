"""Drive the skorv engine and the mevro mesh generator from Python.

``drovik.options`` holds the process-wide options that every run reads.
"""

from .context import option_context

__all__ = ["option_context"]

__version__ = "0.1.0"
