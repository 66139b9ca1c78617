"""Reading options: dict form, single key, several keys, command paths and the
remote engine path."""

import pytest

from drovik._catalogue import KEYS, REMOTE_ENGINE_WORDS, message

from support import MEVRO_PATH as MEVRO
from support import REMOTE_SCRIPT as REMOTE
from support import SKORV_PATH as SKORV

pytestmark = [pytest.mark.usefixtures("env"), pytest.mark.both_implementations]


class KeyText(str):
    pass


def store(options, *pairs):
    for key, value in pairs:
        options._SKORV_OPTIONS[key] = value


def test_dict_form_with_empty_table(options, env, default_items):
    out = options.skorv_get_option()
    assert list(out.items()) == default_items + [("skorv.call", SKORV), ("mevro.call", MEVRO)]
    assert list(out) == list(KEYS)
    assert out["keep"] is False and out["skorv.arg"] is None
    assert env.log == [("cpu_count",), ("skorv_call_builtin",), ("mevro_call_builtin",)]
    assert options._SKORV_OPTIONS == {}


@pytest.mark.parametrize(
    "stored, tail",
    [
        ([], ["skorv.call", "mevro.call"]),
        ([("skorv.call", "/my/skorv")], ["mevro.call", "skorv.call"]),
        ([("mevro.call", "/my/mevro")], ["skorv.call", "mevro.call"]),
        ([("mevro.call", "/m"), ("skorv.call", "/s")], ["mevro.call", "skorv.call"]),
        ([("skorv.call", "/s"), ("mevro.call", "/m")], ["skorv.call", "mevro.call"]),
        ([("keep", True), ("skorv.call", "/s")], ["mevro.call", "skorv.call"]),
        # A key the defaults lack comes after them, in the order of the table.
        (
            [("zz.extra", 1), ("skorv.call", "/s"), ("aa.extra", 2)],
            ["mevro.call", "zz.extra", "skorv.call", "aa.extra"],
        ),
    ],
)
def test_dict_form_key_order(options, default_items, stored, tail):
    store(options, *stored)
    out = options.skorv_get_option()
    assert list(out) == [key for key, _ in default_items] + tail
    for key, value in stored:
        assert out[key] is value


def test_dict_form_returns_stored_objects_and_a_new_dict(options):
    value = ["a", "list"]
    store(options, ("mevro.arg", value))
    first = options.skorv_get_option()
    assert first["mevro.arg"] is value
    first["keep"] = "changed"
    del first["safe"]
    second = options.skorv_get_option(option=None)
    assert second is not first
    assert second["keep"] is False and second["safe"] is True
    assert options._SKORV_OPTIONS == {"mevro.arg": value}


def test_unset_values_come_from_the_fresh_defaults(options, env, monkeypatch):
    marker = object()
    real = options.skorv_get_option_default
    monkeypatch.setattr(options, "skorv_get_option_default", lambda: {**real(), "keep": marker})
    assert options.skorv_get_option("keep") is marker
    assert options.skorv_get_option()["keep"] is marker
    env.skorv_builtin = marker
    assert options.skorv_get_option("skorv.call") is marker


@pytest.mark.parametrize(
    "option, expected",
    [
        ("keep", False),
        ("skorv.timeout", 0),
        ("mevro.evolution", 2),
        ("mevro.call", MEVRO),
        (["keep", "safe"], [False, True]),
        (("keep",), [False]),
        ([], []),
        (["keep", "keep"], [False, False]),
        ({"keep": 1, "safe": 2}, [False, True]),
        # Made afresh for each run: a generator is used up by the first.
        (lambda: (key for key in ("safe", "num.threads")), [True, "8:1"]),
        ({"smtp"}, ["default"]),
        (KeyText("keep"), False),
    ],
    ids=[
        "one",
        "int-default",
        "evolution",
        "mevro-call",
        "list",
        "tuple",
        "empty",
        "twice",
        "dict",
        "generator",
        "set",
        "str-subclass",
    ],
)
def test_lookup_forms(options, env, option, expected):
    got = options.skorv_get_option(option() if callable(option) else option)
    assert got == expected
    assert type(got) is type(expected)
    # Both built-in paths are asked for, whatever was read.
    assert env.count("skorv_call_builtin") == 1
    assert env.count("mevro_call_builtin") == 1
    assert options._SKORV_OPTIONS == {}


def test_lookup_returns_stored_objects(options):
    value = [1, 2]
    store(options, ("keep", value), ("verbose", None))
    assert options.skorv_get_option("keep") is value
    got = options.skorv_get_option(["keep", "verbose"])
    assert got[0] is value and got[1] is None
    got[0].append(3)
    assert options._SKORV_OPTIONS["keep"] == [1, 2, 3]


class FormattedKey:
    """A key whose format() text differs from its str()."""

    def __format__(self, fmt):
        return "formatted" + fmt

    def __str__(self):
        return "plain"


@pytest.mark.parametrize(
    "option, shown",
    [
        ("num_threads", "num_threads"),
        ("", ""),
        ("Keep", "Keep"),
        (" keep", " keep"),
        (["keep", 5], "5"),
        (b"keep", "107"),
        ([FormattedKey()], "formatted"),
    ],
)
def test_unknown_key(options, option, shown):
    with pytest.raises(KeyError) as info:
        options.skorv_get_option(option)
    assert info.value.args == (message("unknown_option", shown),)
    assert options._SKORV_OPTIONS == {}


def test_unknown_key_stops_before_later_keys(options, env):
    env.skorv_builtin = "remote"
    with pytest.raises(KeyError):
        options.skorv_get_option(["keep", "bogus", "skorv.call"])
    assert env.count("skorv_remote_script") == 0


@pytest.mark.parametrize("option", [5, 2.5, object()])
def test_non_iterable_option(options, option):
    with pytest.raises(TypeError) as info:
        options.skorv_get_option(option)
    with pytest.raises(TypeError) as expected:
        list(option)
    assert info.value.args == expected.value.args


def test_unhashable_key(options):
    with pytest.raises(TypeError) as info:
        options.skorv_get_option([["keep"]])
    with pytest.raises(TypeError) as expected:
        ["keep"] in {}  # noqa: B015 (the test is what raises)
    assert info.value.args == expected.value.args


@pytest.mark.parametrize(
    "stored",
    [
        *REMOTE_ENGINE_WORDS,
        *(word.upper() for word in REMOTE_ENGINE_WORDS),
        "Remote",
        "Skorv.REMOTE",
        "S\u212aORV.remote",
    ],
)
@pytest.mark.parametrize("script", [REMOTE, None, ""])
def test_stored_remote_engine_path(options, env, stored, script):
    env.remote = script
    store(options, ("skorv.call", stored))
    expected = script or stored
    assert options.skorv_get_option()["skorv.call"] == expected
    assert options.skorv_get_option("skorv.call") == expected
    assert options.skorv_get_option(["skorv.call", "keep", "skorv.call"]) == [expected, False, expected]
    assert env.count("skorv_remote_script") == 4
    assert options._SKORV_OPTIONS == {"skorv.call": stored}


@pytest.mark.parametrize("stored", [" remote", "remote ", "remote.sh", "skorv-remote", b"remote", None])
def test_engine_path_that_is_not_remote(options, env, stored):
    store(options, ("skorv.call", stored))
    assert options.skorv_get_option()["skorv.call"] is stored
    assert options.skorv_get_option("skorv.call") is stored
    assert env.count("skorv_remote_script") == 0
    assert env.count("skorv_call_builtin") == 0


def test_builtin_remote_path_is_resolved_only_by_lookup(options, env):
    env.skorv_builtin = "REMOTE"
    assert options.skorv_get_option("skorv.call") == REMOTE
    assert env.count("skorv_remote_script") == 1
    assert options.skorv_get_option()["skorv.call"] == "REMOTE"
    assert env.count("skorv_remote_script") == 1


def test_mevro_path_is_never_resolved(options, env):
    store(options, ("mevro.call", "remote"))
    assert options.skorv_get_option("mevro.call") == "remote"
    assert options.skorv_get_option()["mevro.call"] == "remote"
    assert env.count("skorv_remote_script") == 0
    # The engine path is still unset, so its built-in path is still asked for.
    assert env.count("skorv_call_builtin") == 2
    assert env.count("mevro_call_builtin") == 0


def test_companion_errors_propagate(options, env, monkeypatch):
    def broken():
        raise RuntimeError("no engine")

    monkeypatch.setattr(options, "skorv_call_builtin", broken)
    for option in (None, "keep", ["keep"]):
        with pytest.raises(RuntimeError, match="^no engine$"):
            options.skorv_get_option(option)
    assert env.count("mevro_call_builtin") == 0
    assert options._SKORV_OPTIONS == {}


def test_reads_follow_rebound_names(options, env, monkeypatch):
    monkeypatch.setattr(options, "skorv_get_option_default", lambda: {"only": 1})
    assert options.skorv_get_option() == {"only": 1, "skorv.call": SKORV, "mevro.call": MEVRO}
    with pytest.raises(KeyError):
        options.skorv_get_option("keep")
    other = {"only": 2, "skorv.call": "/else"}
    monkeypatch.setattr(options, "_SKORV_OPTIONS", other)
    assert options.skorv_get_option(["only", "skorv.call"]) == [2, "/else"]


class Holder:  # so that the qualified name of the class in it is not its name
    class NoKeys:
        """Answers membership tests, but has no keys(): no mapping to `{**x}`."""

        def __contains__(self, key):
            return False


def test_read_all_refuses_a_table_without_keys_as_a_display_does(options, env, monkeypatch):
    # The error names the type as the running interpreter's `{**x}` does:
    # from 3.15 on with its module and qualified name.
    table = Holder.NoKeys()
    monkeypatch.setattr(options, "_SKORV_OPTIONS", table)
    with pytest.raises(TypeError) as plain:
        {**table}  # noqa: B018 (the display is what raises)
    with pytest.raises(TypeError) as got:
        options.skorv_get_option()
    assert str(got.value) == str(plain.value)


def test_defaults_dict_is_private_to_the_call(options, env, monkeypatch):
    kept = {"keep": False}
    monkeypatch.setattr(options, "skorv_get_option_default", lambda: kept)
    out = options.skorv_get_option()
    assert out is not kept
    assert out == {"keep": False, "skorv.call": env.skorv_builtin, "mevro.call": env.mevro_builtin}
    # The built-in paths are added to the dict the defaults function handed out.
    assert kept == out
    assert options._SKORV_OPTIONS == {}


class StrProxy:
    """Claims to be a str through __class__, as object proxies do."""

    def __init__(self, text):
        self._text = text

    @property
    def __class__(self):
        return str

    def __hash__(self):
        return hash(self._text)

    def __eq__(self, other):
        return self._text == other

    def __iter__(self):
        return iter(self._text)

    def lower(self):
        return self._text.lower()

    def __format__(self, format_spec):
        return format(self._text, format_spec)


def test_str_proxy_is_taken_as_a_str(options, env):
    assert isinstance(StrProxy("keep"), str)
    # One key, not its characters.
    assert options.skorv_get_option(StrProxy("keep")) is False
    # A stored proxy for a remote engine path is resolved like a str.
    options._SKORV_OPTIONS["skorv.call"] = StrProxy("Remote")
    assert options.skorv_get_option()["skorv.call"] == env.remote
    # The setter takes it as a key; the exact type test of _set_one refuses it.
    with pytest.raises(TypeError) as info:
        options.skorv_set_option(StrProxy("keep"), True)
    assert str(info.value) == "Argument 'option' has incorrect type (expected str, got StrProxy)"
