"""Setting options: the two call forms of skorv_set_option, _set_one, unknown
keys, partial keyword sets, and one run of the checks per set."""

import pytest

from drovik._catalogue import message

pytestmark = [pytest.mark.usefixtures("env"), pytest.mark.both_implementations]

USE_EITHER = message("set_form")
STRING_KEY = message("set_key_type")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("keep",), {}),
        (("keep", True, False), {}),
        (("keep", True), {"verbose": True}),
        (("keep",), {"verbose": True}),
        (("keep", True, "verbose", True), {}),
    ],
    ids=["nothing", "one", "three", "two-and-keyword", "one-and-keyword", "four"],
)
def test_call_form_refused(options, check_runs, args, kwargs):
    with pytest.raises(TypeError) as info:
        options.skorv_set_option(*args, **kwargs)
    assert info.value.args == (USE_EITHER,)
    assert options._SKORV_OPTIONS == {}
    assert check_runs == []


@pytest.mark.parametrize("key", [1, None, b"keep", ("keep",)])
def test_key_form_needs_string_key(options, check_runs, key):
    with pytest.raises(TypeError) as info:
        options.skorv_set_option(key, True)
    assert info.value.args == (STRING_KEY,)
    assert options._SKORV_OPTIONS == {}
    assert check_runs == []


def test_key_form_str_subclass_refused_by_set_one(options, check_runs):
    class Key(str):
        pass

    with pytest.raises(TypeError) as info:
        options.skorv_set_option(Key("keep"), True)
    assert str(info.value).startswith("Argument 'option' has incorrect type (expected str, got Key)")
    assert options._SKORV_OPTIONS == {}
    assert check_runs == []


@pytest.mark.parametrize(
    "key, value",
    [
        ("keep", True),
        ("keep", None),
        ("num.threads", "4:1"),
        ("skorv.timeout", -7.5),
        ("skorv.call", "/usr/local/bin/skorv"),
        ("mevro.call", None),
        ("mevro.arg", ["--fine", "--quiet"]),
    ],
)
def test_key_form_stores_the_object(options, check_runs, key, value):
    assert options.skorv_set_option(key, value) is None
    assert list(options._SKORV_OPTIONS) == [key]
    assert options._SKORV_OPTIONS[key] is value
    assert options.skorv_get_option(key) is value
    assert check_runs == [()]


def test_keyword_form_stores_in_call_order_and_checks_once(options, check_runs):
    threads = "2:1"
    assert options.skorv_set_option(verbose=True, keep=False, **{"num.threads": threads}) is None
    assert list(options._SKORV_OPTIONS.items()) == [("verbose", True), ("keep", False), ("num.threads", threads)]
    assert options._SKORV_OPTIONS["num.threads"] is threads
    assert check_runs == [()]


def test_replacing_a_value_keeps_one_entry(options, check_runs):
    options.skorv_set_option("keep", True)
    options.skorv_set_option(verbose=True)
    options.skorv_set_option(keep=False)
    assert list(options._SKORV_OPTIONS.items()) == [("keep", False), ("verbose", True)]
    assert check_runs == [(), (), ()]


@pytest.mark.parametrize("key", ["num_threads", "Keep", "keep ", "", "NUM.THREADS", "skorv_call", "num.threads.x"])
def test_unknown_key_refused_in_both_forms(options, check_runs, key):
    expected = (message("unknown_option", key),)
    with pytest.raises(KeyError) as info:
        options.skorv_set_option(key, 1)
    assert info.value.args == expected
    with pytest.raises(KeyError) as info:
        options.skorv_set_option(**{key: 1})
    assert info.value.args == expected
    assert options._SKORV_OPTIONS == {}
    assert check_runs == []


def test_partial_keyword_set_stops_at_unknown_key(options, check_runs):
    options._SKORV_OPTIONS["verbose"] = "before"
    with pytest.raises(KeyError) as info:
        options.skorv_set_option(keep=True, bogus=1, verbose=True, safe=False)
    assert info.value.args == ("Unknown option 'bogus'",)
    assert options._SKORV_OPTIONS == {"verbose": "before", "keep": True}
    assert check_runs == []


def test_sets_go_through_the_bound_set_one(options, monkeypatch):
    calls = []
    monkeypatch.setattr(options, "_set_one", lambda *args, **kwargs: calls.append((args, kwargs)))
    options.skorv_set_option("anything", 1)
    options.skorv_set_option(**{"b": 2, "a": 3})
    assert calls == [(("anything", 1), {}), (("b", 2), {}), (("a", 3), {})]
    assert options._SKORV_OPTIONS == {}


def test_check_error_keeps_every_stored_pair(options, monkeypatch):
    def failing():
        raise RuntimeError("checks failed")

    monkeypatch.setattr(options, "_post_set_checks", failing)
    with pytest.raises(RuntimeError, match="^checks failed$"):
        options.skorv_set_option(keep=True, verbose=True)
    assert options._SKORV_OPTIONS == {"keep": True, "verbose": True}


@pytest.mark.parametrize(
    "args, kwargs",
    [(("keep", True), {}), ((), {"option": "keep", "value": True}), ((), {"value": True, "option": "keep"})],
)
def test_set_one_stores_without_checks(options, check_runs, args, kwargs):
    assert options._set_one(*args, **kwargs) is None
    assert options._SKORV_OPTIONS == {"keep": True}
    assert check_runs == []


def test_valid_keys_follow_the_current_defaults(options, monkeypatch):
    monkeypatch.setattr(options, "skorv_get_option_default", lambda: {"custom": 0})
    options._set_one("custom", 1)
    options._set_one("skorv.call", "/s")
    options._set_one("mevro.call", "/m")
    with pytest.raises(KeyError) as info:
        options._set_one("keep", True)
    assert info.value.args == ("Unknown option 'keep'",)
    assert options._SKORV_OPTIONS == {"custom": 1, "skorv.call": "/s", "mevro.call": "/m"}


def test_set_writes_into_the_currently_bound_table(options, monkeypatch):
    first = options._SKORV_OPTIONS
    second = {}
    monkeypatch.setattr(options, "_SKORV_OPTIONS", second)
    options.skorv_set_option("keep", True)
    assert second == {"keep": True}
    assert first == {}
