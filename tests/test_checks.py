"""The checks after a set (engine mode, allocator library, working directory)
and the Plexa feature switch."""

import re
import types
import warnings

import pytest

from drovik._catalogue import ALLOCATOR_NAMES, DEFAULTS, ENGINE_MODES, MODE_REPLACEMENTS, UNSET_ALLOCATOR, message

from support import MODEL_PATH

pytestmark = [pytest.mark.usefixtures("env"), pytest.mark.both_implementations]

BAD_MODE = message("invalid_mode")
MISSING_LIB = message("allocator_missing", "{}")
UNAVAILABLE_LIB = message("allocator_unavailable", "{!r}")
MULTIBYTE_DIR = message("working_directory_multibyte", "{}")


class PathText(str):
    pass


DEFAULT_LIB = dict(DEFAULTS)["malloc.lib"]


@pytest.mark.parametrize("mode", [mode for mode in ENGINE_MODES if mode not in MODE_REPLACEMENTS])
def test_accepted_mode_stays(options, caught, mode):
    options.skorv_set_option("skorv.mode", mode)
    assert options._SKORV_OPTIONS["skorv.mode"] is mode
    assert caught.texts() == []


@pytest.mark.parametrize("mode, replacement", list(MODE_REPLACEMENTS.items()))
def test_experimental_mode_becomes_compact(options, caught, check_runs, mode, replacement):
    options.skorv_set_option("skorv.mode", mode)
    assert options._SKORV_OPTIONS["skorv.mode"] == replacement
    assert options.skorv_get_option("skorv.mode") == replacement
    assert caught.texts() == []
    # The correction is written straight into the table, not through a set.
    assert check_runs == [()]


@pytest.mark.parametrize("mode", ["Compact", " compact", "compact ", "COMPACT", "", None, 0, b"compact"])
def test_invalid_mode_refused_and_kept(options, caught, mode):
    with pytest.raises(ValueError) as info:
        options.skorv_set_option("skorv.mode", mode)
    assert info.value.args == (BAD_MODE,)
    assert options._SKORV_OPTIONS == {"skorv.mode": mode}
    assert options.skorv_get_option("skorv.mode") is mode
    assert caught.texts() == []


def test_invalid_mode_makes_later_sets_fail_until_fixed(options, env):
    options._set_one("skorv.mode", "fast")
    options._set_one("malloc.lib", None)
    options._set_one("working.directory", "/d\u00e9p\u00f4t")
    with pytest.raises(ValueError, match="^" + re.escape(BAD_MODE) + "$"):
        options.skorv_set_option("num.threads", "3:1")
    with pytest.raises(ValueError):
        options.skorv_set_option(keep=True)
    # Nothing after the mode check ran: no library reset, no directory test.
    assert options._SKORV_OPTIONS == {
        "skorv.mode": "fast",
        "malloc.lib": None,
        "working.directory": "/d\u00e9p\u00f4t",
        "num.threads": "3:1",
        "keep": True,
    }
    assert env.count("exists") == 0
    assert env.count("_any_mb") == 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert options.skorv_set_option("skorv.mode", "compact") is None
    assert options._SKORV_OPTIONS["malloc.lib"] == "mi"


def test_mode_compared_with_its_own_inequality(options):
    class Mode:
        def __ne__(self, other):
            return other != "twostage"

    mode = Mode()
    options.skorv_set_option("skorv.mode", mode)
    assert options._SKORV_OPTIONS["skorv.mode"] is mode


@pytest.mark.parametrize(
    "value, existing, stored, warning, exists_calls",
    [
        (None, (), DEFAULT_LIB, None, 0),
        # The listed names need no file; the unset one reads as the default.
        *[(name, (), DEFAULT_LIB if name == UNSET_ALLOCATOR else name, None, 0) for name in ALLOCATOR_NAMES],
        ("/no/such/libfoo.so", (), "mi", MISSING_LIB.format("/no/such/libfoo.so"), 1),
        (PathText("/gone/lib.so"), (), "mi", MISSING_LIB.format("/gone/lib.so"), 1),
        ("/opt/lib/libjemalloc.so", ("/opt/lib/libjemalloc.so",), "/opt/lib/libjemalloc.so", None, 2),
        ("", (), "", UNAVAILABLE_LIB.format(""), 1),
        ("JE", (), "JE", UNAVAILABLE_LIB.format("JE"), 1),
        ("libtcmalloc.so", ("libtcmalloc.so",), "libtcmalloc.so", None, 1),
        ("lib/missing.so", (), "lib/missing.so", UNAVAILABLE_LIB.format("lib/missing.so"), 1),
        (b"/no/lib.so", (), b"/no/lib.so", UNAVAILABLE_LIB.format(b"/no/lib.so"), 1),
        (b"/opt/lib.so", (b"/opt/lib.so",), b"/opt/lib.so", None, 1),
        (5, (), 5, UNAVAILABLE_LIB.format(5), 1),
    ],
)
def test_allocator_library(options, env, caught, value, existing, stored, warning, exists_calls):
    env.existing.update(existing)
    options.skorv_set_option("malloc.lib", value)
    assert options._SKORV_OPTIONS == {"malloc.lib": stored}
    assert caught.texts() == ([] if warning is None else [(UserWarning, warning)])
    assert env.calls("exists") == [(value,)] * exists_calls


# The one place where the two implementations differ: the extension has no
# Python frame of its own, so its warnings name the caller's line; the model's
# warnings.warn names the model's own line, as plain Python does.
@pytest.mark.parametrize(
    "options, named",
    [("extension", __file__), ("model", MODEL_PATH)],
    ids=["extension", "model-differs"],
    indirect=["options"],
)
@pytest.mark.parametrize(
    "key, value", [("malloc.lib", "/gone/libmi.so"), ("malloc.lib", "JE"), ("working.directory", "/d\u00e9p\u00f4t")]
)
def test_frame_that_a_warning_names(options, caught, named, key, value):
    options.skorv_set_option(key, value)
    assert [record.filename for record in caught.records] == [named]


def test_library_reset_uses_the_current_default(options, monkeypatch):
    real = options.skorv_get_option_default
    monkeypatch.setattr(options, "skorv_get_option_default", lambda: {**real(), "malloc.lib": "tc"})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        options.skorv_set_option("malloc.lib", "/gone/lib.so")
    assert options._SKORV_OPTIONS["malloc.lib"] == "tc"


def test_unavailable_library_is_reported_on_every_set(options, caught):
    options.skorv_set_option("malloc.lib", "JE")
    options.skorv_set_option("keep", True)
    assert caught.texts() == [(UserWarning, UNAVAILABLE_LIB.format("JE"))] * 2
    assert options._SKORV_OPTIONS == {"malloc.lib": "JE", "keep": True}


def test_missing_library_as_error_stays_stored(options):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as info:
            options.skorv_set_option("malloc.lib", "/gone/libje.so")
    assert str(info.value) == MISSING_LIB.format("/gone/libje.so")
    assert options._SKORV_OPTIONS == {"malloc.lib": "/gone/libje.so"}


def test_exists_error_propagates(options, env, monkeypatch):
    def broken(path):
        raise OSError("disk gone")

    monkeypatch.setattr(env.os.path, "exists", broken)
    with pytest.raises(OSError, match="^disk gone$"):
        options.skorv_set_option("malloc.lib", "/x.so")
    assert options._SKORV_OPTIONS == {"malloc.lib": "/x.so"}


def test_warnings_are_issued_through_the_bound_module(options, monkeypatch):
    issued = []
    fake = types.SimpleNamespace(warn=lambda *args, **kwargs: issued.append((args, kwargs)))
    monkeypatch.setattr(options, "warnings", fake)
    options.skorv_set_option("malloc.lib", "")
    assert issued == [((UNAVAILABLE_LIB.format(""),), {})]


@pytest.mark.parametrize(
    "wdir, answer, warned",
    [
        ("/data/run", None, False),
        ("/data/r\u00e9sultats", None, True),
        ("/data/\u6570\u636e", None, True),
        ("/data/run", 1, True),
        ("/data/run", "yes", True),
        ("/data/r\u00e9sultats", 0, False),
        ("/data/r\u00e9sultats", "", False),
    ],
)
def test_working_directory(options, env, caught, wdir, answer, warned):
    env.multibyte = answer
    options.skorv_set_option("working.directory", wdir)
    assert env.calls("_any_mb") == [(wdir,)]
    assert caught.texts() == ([(UserWarning, MULTIBYTE_DIR.format(wdir))] if warned else [])
    assert options._SKORV_OPTIONS == {"working.directory": wdir}


@pytest.mark.parametrize("wdir", [None, "/data/r\u00e9sultats".encode(), 7])
def test_working_directory_not_a_string_is_skipped(options, env, caught, wdir):
    options.skorv_set_option("working.directory", wdir)
    assert env.count("_any_mb") == 0
    assert caught.texts() == []


def test_both_warnings_come_in_order(options, env, caught):
    wdir = "/tmp/\u00fcber"
    options.skorv_set_option(**{"working.directory": wdir, "malloc.lib": "/gone/lib.so"})
    options.skorv_set_option("malloc.lib", "")
    assert caught.texts() == [
        (UserWarning, MISSING_LIB.format("/gone/lib.so")),
        (UserWarning, MULTIBYTE_DIR.format(wdir)),
        (UserWarning, UNAVAILABLE_LIB.format("")),
        (UserWarning, MULTIBYTE_DIR.format(wdir)),
    ]


def test_checks_read_through_the_bound_reader(options, monkeypatch):
    asked = []
    values = {"skorv.mode": "experimental", "malloc.lib": "default", "working.directory": None}

    def reader(*args, **kwargs):
        asked.append((args, kwargs))
        return values[args[0]]

    monkeypatch.setattr(options, "skorv_get_option", reader)
    assert options._post_set_checks() is None
    assert asked == [(("skorv.mode",), {}), (("malloc.lib",), {}), (("working.directory",), {})]
    assert options._SKORV_OPTIONS == {"skorv.mode": "compact", "malloc.lib": "mi"}


_UNSET = object()


@pytest.mark.parametrize(
    "value, expected",
    [
        (_UNSET, False),
        (True, True),
        (False, False),
        (1, True),
        ("False", True),
        ("on", True),
        (0, False),
        (None, False),
        ("", False),
        ([], False),
    ],
)
def test_plexa_feature_switch(options, env, value, expected):
    if value is not _UNSET:
        options.skorv_set_option("Plexa.features", value)
        env.log.clear()
    assert options.skorv_enabled_Plexa_features() is expected
    # Every call reads through skorv_get_option, built-in paths included.
    assert env.count("skorv_call_builtin") == 1
    assert env.count("mevro_call_builtin") == 1


def test_plexa_switch_uses_the_bound_reader(options, monkeypatch):
    calls = []
    monkeypatch.setattr(options, "skorv_get_option", lambda *a, **k: calls.append((a, k)) or "on")
    assert options.skorv_enabled_Plexa_features() is True
    assert calls == [(("Plexa.features",), {})]
    assert options._SKORV_OPTIONS == {}


def test_plexa_switch_truth_test_error_propagates(options):
    class Broken:
        def __bool__(self):
            raise RuntimeError("no truth")

    options._set_one("Plexa.features", Broken())
    with pytest.raises(RuntimeError, match="^no truth$"):
        options.skorv_enabled_Plexa_features()


class _FormattedText(str):
    def __format__(self, format_spec):
        return "FORMATTED"


class _LibraryHandle:
    def __repr__(self):
        return _FormattedText("LibraryHandle()")


def test_unavailable_library_warning_formats_the_repr_as_an_fstring_does(options, env, caught):
    # {arg!r} takes the repr and then formats it like any other field.
    options.skorv_set_option("malloc.lib", _LibraryHandle())
    assert caught.texts() == [
        (UserWarning, "Value for option 'malloc.lib' = FORMATTED may not be available on this system.")
    ]
