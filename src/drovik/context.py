"""Change options for one block or one function, and get the exact old table back."""

import contextlib
from typing import Any, Dict, List, Tuple

__all__ = ["option_context"]

# Stands for "this key had no entry in the option table".  A stored None is a
# set value like any other, so None cannot play this part.
_ABSENT = object()

# The checks after a set may rewrite these two entries on any set, whatever
# keys it names ("experimental" becomes "compact"; an unset or missing
# allocator library becomes the default), so they are always recorded.
_CORRECTED_KEYS = ("skorv.mode", "malloc.lib")


class option_context(contextlib.ContextDecorator):
    """Set options for the length of a ``with`` block or of a function call.

    Takes the two call forms of ``skorv_set_option``::

        with option_context("num.threads", "2:1"):
            ...
        with option_context(verbose=True, **{"skorv.mode": "classic"}):
            ...

        @option_context(keep=True)
        def run():
            ...

    On entry the entries of the option table that the set may touch (every
    key named, plus "skorv.mode" and "malloc.lib", which the checks after a
    set may correct) are recorded, value or absence, and the values are then
    set through ``skorv_set_option``, so the usual checks, warnings and errors
    apply.  If that set fails, the recorded entries are put back before its
    exception passes out unchanged.

    On exit, normal or by an exception, every recorded entry is put back
    exactly as it was: a key that had no entry loses it again (it does not
    fall back to a stored default), and corrections that the checks made on
    entry are undone.  Entries are written straight into the table, so the
    exit runs no checks and emits no warnings.  Changes made inside the block
    to recorded keys are discarded; other keys keep what the block set.  The
    block's exception is never suppressed.

    One object may be entered again while it is active (nested ``with``
    blocks, or a decorated function calling itself); each exit restores what
    the matching entry recorded, so an inner context restores the state of
    the outer one.

    Limits:

    * The option table is one dict for the whole process.  While a context
      is active its values are seen by every thread, not only by the one
      that entered it.
    * It is not thread-safe.  If another thread sets the same keys while a
      context is active, the exit overwrites that thread's values; contexts
      entered and left by different threads in an order other than strictly
      nested restore the wrong state.  One object entered from several
      threads at once (a decorated function run by several threads) keeps a
      single stack of recorded states and is affected the same way.
    * The restore goes to the table object that was current on entry; a
      table bound to ``drovik.options._SKORV_OPTIONS`` inside the block is
      left alone.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._args = args
        self._kwargs = kwargs
        # One (table, recorded entries) pair per active entry of this object.
        self._saved: List[Tuple[Dict[Any, Any], List[Tuple[str, Any]]]] = []

    def _keys_to_record(self) -> List[str]:
        # Follow the call forms of skorv_set_option.  A malformed call records
        # only the corrected keys; the setter then raises its own TypeError.
        named: Tuple[Any, ...]
        if len(self._args) == 2 and not self._kwargs:
            named = (self._args[0],)
        elif not self._args and self._kwargs:
            named = tuple(self._kwargs)
        else:
            named = ()
        keys = []
        # Only a key of exactly type str can ever be stored; any other one is
        # refused by the setter, and recording it could fail on hashing.
        for key in named + _CORRECTED_KEYS:
            if type(key) is str and key not in keys:
                keys.append(key)
        return keys

    def __enter__(self) -> "option_context":
        # Imported here, so that importing the package alone does not load the
        # compiled module.
        from . import options

        # Looked up now: the module attribute may have been rebound.
        table = options._SKORV_OPTIONS
        recorded = [(key, table.get(key, _ABSENT)) for key in self._keys_to_record()]
        self._saved.append((table, recorded))
        try:
            options.skorv_set_option(*self._args, **self._kwargs)
        except BaseException:
            # The setter rolls nothing back: entries stored before the failure
            # and corrections made by the checks are still in the table.
            self._restore()
            raise
        return self

    def __exit__(self, *exc_info: Any) -> None:
        # Returns None: the block's exception, if any, passes out unchanged.
        self._restore()

    def _restore(self) -> None:
        table, recorded = self._saved.pop()
        for key, value in recorded:
            if value is _ABSENT:
                table.pop(key, None)
            else:
                table[key] = value
