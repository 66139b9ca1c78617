"""Drive the skorv engine and the mevro mesh generator from Python.

``drovik.options`` holds the process-wide options that every run reads.
"""

__version__ = "0.1.0"
