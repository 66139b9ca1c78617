"""The "did you mean" note for a key that is not one of the known option keys.

The compiled module asks ``note_for`` when it raises its ``KeyError`` for an
unknown key, so this runs only on that error path.  It calls nothing but
string methods and ``difflib``: a failed read or set must make exactly the
calls to ``os`` and the companion functions that it makes without a note.
"""

from __future__ import annotations

import sys

from ._catalogue import KEYS

# Similarity (difflib's ratio) from which a known key counts as close.
_CUTOFF = 0.7
_MOST = 3


def _normalised(text: str) -> str:
    # The usual slips: an underscore or a dash for a dot (a keyword argument
    # cannot hold a dot, and the setter's own docstring writes num_threads),
    # and the letter case.
    return text.lower().replace("_", ".").replace("-", ".")


def close_keys(key: object) -> list[str]:
    """The known keys closest to ``key``, best first; empty when none is close."""
    # Exactly str: a subclass may override the methods used here, and nothing
    # observable may run on this path.
    if type(key) is not str:
        return []
    import difflib

    word = _normalised(key)
    by_form = {_normalised(known): known for known in KEYS}
    if word in by_form:
        return [by_form[word]]
    close = difflib.get_close_matches(word, list(by_form), n=_MOST, cutoff=_CUTOFF)
    if not close:
        # Only the last part of a dotted key: "mode" for "skorv.mode".
        close = [form for form in by_form if form.rpartition(".")[2] == word][:_MOST]
    return [by_form[form] for form in close]


def note_for(key: object) -> str | None:
    """The note for the KeyError of the unknown ``key``, or None when no known key is close."""
    keys = close_keys(key)
    if not keys:
        return None
    return "Did you mean " + " or ".join(repr(known) for known in keys) + "?"


def unknown_option(key: object) -> KeyError:
    """The module's KeyError for ``key``, with the note where notes exist (3.11 and later)."""
    error = KeyError(f"Unknown option '{key}'")
    if sys.version_info >= (3, 11):
        note = note_for(key)
        if note is not None:
            error.add_note(note)
    return error
