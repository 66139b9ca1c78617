"""Change options for one block or one function, and get the exact old table back."""

import contextlib
from typing import Any, Callable, Dict, List, Tuple, TypeVar

from ._at_caller import set_options_at_caller

__all__ = ["option_context"]

# Stands for "this key had no entry in the option table".  A stored None is a
# set value like any other, so None cannot play this part.
_ABSENT = object()

# The checks after a set may rewrite these two entries on any set, whatever
# keys it names ("experimental" becomes "compact"; an unset or missing
# allocator library becomes the default).
_CORRECTED_KEYS = ("skorv.mode", "malloc.lib")

_Function = TypeVar("_Function", bound=Callable[..., Any])
Entries = List[Tuple[str, Any]]


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

    On entry the entries of the option table for the keys named are
    recorded, value or absence, and the values are then set through
    ``skorv_set_option``, so the usual checks, warnings and errors apply.
    Warnings of that set are reported at the line of the ``with`` statement
    or of the call of the decorated function, as for a set made there.  The
    checks may also rewrite "skorv.mode" and "malloc.lib"; when this set made
    them do so, their earlier entries are recorded too.  If the set fails,
    the recorded entries are put back before its exception passes out
    unchanged.

    On exit, normal or by an exception, every recorded entry is put back
    exactly as it was: a key that had no entry loses it again (it does not
    fall back to a stored default), and corrections that the checks made on
    entry are undone.  Entries are written straight into the table, so the
    exit runs no checks and emits no warnings.  Changes made inside the block
    to recorded keys are discarded; every other key keeps what the block
    set.  The block's exception is never suppressed.

    One object may be entered again while it is active (nested ``with``
    blocks, or a decorated function calling itself); each exit restores what
    the matching entry recorded, so an inner context restores the state of
    the outer one.

    A coroutine function, generator function or asynchronous generator
    function cannot be decorated (``TypeError``): its body runs after the
    call has returned, in steps, and while it is suspended the values would
    be in force for unrelated code.  Use a ``with`` block inside it.

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
        self._saved: List[Tuple[Dict[Any, Any], Entries]] = []

    def __call__(self, func: _Function) -> _Function:
        import inspect

        if (
            inspect.iscoroutinefunction(func)
            or inspect.isgeneratorfunction(func)
            or inspect.isasyncgenfunction(func)
        ):
            raise TypeError(
                f"option_context cannot decorate {func.__qualname__}: it runs after the call "
                "returns, and while suspended would leave the options set for all other code; "
                "use 'with option_context(...)' inside it"
            )
        return super().__call__(func)

    def _named_keys(self) -> List[str]:
        # Follow the call forms of skorv_set_option.  A malformed call names
        # no key; the setter then raises its own TypeError.
        named: Tuple[Any, ...]
        if len(self._args) == 2 and not self._kwargs:
            named = (self._args[0],)
        elif not self._args and self._kwargs:
            named = tuple(self._kwargs)
        else:
            named = ()
        # Only a key of exactly type str can ever be stored; any other one is
        # refused by the setter, and recording it could fail on hashing.
        return [key for key in named if type(key) is str]

    def __enter__(self) -> "option_context":
        # Imported here, so that importing the package alone does not load the
        # compiled module.
        from . import options

        # Looked up now: the module attribute may have been rebound.
        table = options._SKORV_OPTIONS
        named = self._named_keys()
        recorded = [(key, table.get(key, _ABSENT)) for key in named]
        self._saved.append((table, recorded))
        try:
            self._set(options.skorv_set_option, table, named, recorded)
        except BaseException:
            # The setter rolls nothing back: entries stored before the failure
            # and corrections made by the checks are still in the table.
            self._restore()
            raise
        return self

    def _set(
        self, set_option: Callable[..., None], table: Dict[Any, Any], named: List[str], recorded: Entries
    ) -> None:
        watched = [(key, table.get(key, _ABSENT)) for key in _CORRECTED_KEYS if key not in named]
        try:
            set_options_at_caller(set_option, self._args, self._kwargs)
        finally:
            # What the checks of this very set rewrote is this entry's change
            # too, and only that: an entry that is still the same object was
            # not touched by it, and keeps what later code stores there.
            recorded.extend((key, old) for key, old in watched if table.get(key, _ABSENT) is not old)

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
