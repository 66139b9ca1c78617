"""Change options for one block or one function, and get the exact old table back."""

import contextlib
import threading
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, TypeVar, Union, overload

from ._at_caller import set_options_at_caller

if TYPE_CHECKING:
    from ._catalogue import OptionKey

__all__ = ["option_context"]

# Stands for "this key had no entry in the option table".  A stored None is a
# set value like any other, so None cannot play this part.
_ABSENT = object()

_Function = TypeVar("_Function", bound=Callable[..., Any])


class _Entry:
    """One active entry of a context: the table it set, and what each key it changed held before."""

    __slots__ = ("owner", "table", "saved")

    def __init__(self, owner: Optional["option_context"], table: Dict[Any, Any], saved: Dict[str, Any]) -> None:
        self.owner = owner
        self.table = table
        self.saved = saved


# Every active entry, of every context, thread and task, oldest first.  The
# lock makes each entry (the record and the set) and each exit one step, so
# that no other context's entry or exit runs in between.  It is reentrant:
# the set may warn, and a warning may run code that enters a context.
_LOCK = threading.RLock()
_ACTIVE: List[_Entry] = []
# The entries made in this thread or task, innermost last: they tell which
# entry of a context object an exit ends when that object is active in
# several threads or tasks at once.
_ENTERED: "ContextVar[Tuple[_Entry, ...]]" = ContextVar("drovik_option_context_entries", default=())


def _checked_keys(args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> List[str]:
    """The keys named by a call of one of the two forms of ``skorv_set_option``; refuse any other call."""
    # Imported here, so that importing the package loads none of it.
    from ._catalogue import KEYS
    from ._suggest import unknown_option

    if len(args) == 2 and not kwargs:
        if type(args[0]) is not str:
            raise TypeError(f"option_context('key', value) needs a str key, not {type(args[0]).__name__}")
        keys = [args[0]]
    elif not args and kwargs:
        keys = list(kwargs)
    else:
        raise TypeError("Use either option_context('key', value) or option_context(key=value, ...).")
    for key in keys:
        if key not in KEYS:
            raise unknown_option(key)
    return keys


def _suspends(func: Any) -> bool:
    """Whether calling ``func`` runs a body that goes on in steps after the call returns."""
    import functools
    import inspect

    seen = set()
    # See through what only passes the call on: method wrappers, partial
    # objects, functools.wraps wrappers, and objects called through __call__,
    # until nothing is left to see through.
    while id(func) not in seen:
        seen.add(id(func))
        if isinstance(func, (staticmethod, classmethod)):
            func = func.__func__
        elif isinstance(func, (functools.partial, functools.partialmethod)):
            func = func.func
        elif hasattr(func, "__wrapped__"):
            func = inspect.unwrap(func)
        elif callable(func) and not inspect.isroutine(func) and not inspect.isclass(func):
            func = type(func).__call__
    return inspect.iscoroutinefunction(func) or inspect.isgeneratorfunction(func) or inspect.isasyncgenfunction(func)


def _enter(owner: Optional["option_context"], keys: List[str], args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> _Entry:
    """Record the entries of ``keys``, then set as ``skorv_set_option(*args, **kwargs)``.

    The new entry is active when this returns.  If the set fails, what it
    changed is put back before its exception passes out.  Call with the lock
    held.
    """
    # Imported here, so that importing the package alone does not load the
    # compiled module.
    from . import options
    from ._catalogue import ALLOCATOR_KEY, MODE_KEY

    # Looked up now: the module attribute may have been rebound.
    table = options._SKORV_OPTIONS
    entry = _Entry(owner, table, {key: table.get(key, _ABSENT) for key in keys})
    # The checks after a set may rewrite these two entries on any set,
    # whatever keys it names.
    watched = [(key, table.get(key, _ABSENT)) for key in (MODE_KEY, ALLOCATOR_KEY) if key not in entry.saved]
    _ACTIVE.append(entry)
    try:
        try:
            set_options_at_caller(options.skorv_set_option, args, kwargs)
        finally:
            # What the checks of this very set rewrote is this entry's change
            # too, and only that: an entry that is still the same object was
            # not touched by it, and keeps what later code stores there.
            entry.saved.update((key, old) for key, old in watched if table.get(key, _ABSENT) is not old)
    except BaseException:
        # The setter rolls nothing back: entries stored before the failure
        # and corrections made by the checks are still in the table.
        _leave(entry)
        raise
    return entry


def _leave(entry: _Entry) -> None:
    """End an active entry: put back what it recorded, or hand it on; call with the lock held."""
    position = _ACTIVE.index(entry)
    del _ACTIVE[position]
    later = _ACTIVE[position:]
    for key, old in entry.saved.items():
        heir = next((other for other in later if other.table is entry.table and key in other.saved), None)
        if heir is not None:
            # A later entry holds the key: the table keeps its value, and it
            # puts back this one's record when it ends.
            heir.saved[key] = old
        elif old is _ABSENT:
            entry.table.pop(key, None)
        else:
            entry.table[key] = old


def set_or_undo(kwargs: Dict[str, Any]) -> None:
    """Set options in one ``skorv_set_option`` call; if it raises, put the table back as it was."""
    with _LOCK:
        # Active only while it sets: the contexts that hold these keys still
        # put back what they recorded.
        _ACTIVE.remove(_enter(None, list(kwargs), (), kwargs))


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

    The call form and the keys are checked when the context is made: any
    other form raises ``TypeError``, an unknown key the ``KeyError`` of the
    module, before anything is set.

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

    Contexts may overlap in any way: nested in one thread, or entered and
    left in any order by several threads or asyncio tasks.  While they
    overlap, each key holds the value of the context that set it last.  A
    context that is left while a later one still holds one of its keys
    leaves that key alone and hands what it recorded on to the later one.
    So once the last of them is left, the table is exactly what it was
    before the first was entered.  Entries and exits take a lock, so they
    never interleave.  One object may be entered again while it is active
    (nested ``with`` blocks, a decorated function that calls itself or runs
    in several threads); each exit ends the latest entry of that object made
    in the same thread or task.

    A coroutine function, generator function or asynchronous generator
    function cannot be decorated (``TypeError``), nor anything that only
    passes the call on to one (a ``staticmethod`` or ``classmethod``, a
    ``functools.partial``, a wrapper with ``__wrapped__``, an object whose
    ``__call__`` is one): its body runs after the call has returned, in
    steps, and while it is suspended the values would be in force for
    unrelated code.  Use a ``with`` block inside it.

    Limits:

    * The option table is one dict for the whole process.  While a context
      is active its values are seen by every thread and task, not only by
      the one that entered it.  Jobs that need different options at the same
      time belong in separate processes (see ``options_environ``).
    * A set made outside any context by another thread, to a key that a
      context holds, is overwritten when that context is left.
    * The restore goes to the table object that was current on entry; a
      table bound to ``drovik.options._SKORV_OPTIONS`` inside the block is
      left alone.
    """

    @overload
    def __init__(self, key: "Union[OptionKey, str]", value: Any, /) -> None: ...
    @overload
    def __init__(self, **options: Any) -> None: ...
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._keys = _checked_keys(args, kwargs)
        self._args = args
        self._kwargs = kwargs

    def __call__(self, func: _Function) -> _Function:
        if _suspends(func):
            name = getattr(func, "__qualname__", None) or repr(func)
            raise TypeError(
                f"option_context cannot decorate {name}: it runs after the call "
                "returns, and while suspended would leave the options set for all other code; "
                "use 'with option_context(...)' inside it"
            )
        return super().__call__(func)

    def __enter__(self) -> "option_context":
        with _LOCK:
            entry = _enter(self, self._keys, self._args, self._kwargs)
        _ENTERED.set(_ENTERED.get() + (entry,))
        return self

    def __exit__(self, *exc_info: Any) -> None:
        # Returns None: the block's exception, if any, passes out unchanged.
        with _LOCK:
            entered = _ENTERED.get()
            # The latest entry of this object in this thread or task; failing
            # that (entered in one and left in another), its latest anywhere.
            mine = [entry for entry in entered if entry.owner is self and entry in _ACTIVE]
            mine = mine or [entry for entry in _ACTIVE if entry.owner is self]
            if not mine:
                raise RuntimeError("option_context left without being entered")
            _ENTERED.set(tuple(entry for entry in entered if entry is not mine[-1]))
            _leave(mine[-1])
