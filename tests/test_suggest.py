"""The "did you mean" note on the KeyError for an unknown key (3.11 and later)."""

import sys
import types

import pytest

import drovik
import drovik._suggest

NOTES = sys.version_info >= (3, 11)


def key_error(call):
    with pytest.raises(KeyError) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "key, note",
    [
        ("num_threads", "Did you mean 'num.threads'?"),
        ("Keep", "Did you mean 'keep'?"),
        ("plexa_features", "Did you mean 'Plexa.features'?"),
        ("verbos", "Did you mean 'verbose'?"),
        ("timeout", "Did you mean 'skorv.timeout' or 'mevro.timeout'?"),
        ("mode", "Did you mean 'skorv.mode'?"),
        ("nokey", None),
        ("", None),
    ],
)
@pytest.mark.parametrize("caller", ["read", "read-list", "set-key", "set-keyword", "set-one", "reset", "info"])
def test_unknown_key_error_carries_closest_keys(options, env, key, note, caller):
    calls = {
        "read": lambda: options.skorv_get_option(key),
        "read-list": lambda: options.skorv_get_option(["keep", key]),
        "set-key": lambda: options.skorv_set_option(key, 1),
        "set-keyword": lambda: options.skorv_set_option(**{key: 1}),
        "set-one": lambda: options._set_one(key, 1),
        "reset": lambda: drovik.reset_options("keep", key),
        "info": lambda: drovik.option_info(key),
    }
    error = key_error(calls[caller])
    assert type(error) is KeyError
    assert error.args == (f"Unknown option '{key}'",)
    expected = [note] if NOTES and note else None
    assert getattr(error, "__notes__", None) == expected
    assert options._SKORV_OPTIONS == {}


def test_no_note_for_a_number_key(options, env):
    error = key_error(lambda: options.skorv_get_option(["keep", 5]))
    assert error.args == ("Unknown option '5'",)
    assert not hasattr(error, "__notes__")


def failing_helper(monkeypatch):
    monkeypatch.setitem(sys.modules, "drovik._suggest", None)


def raising_helper(monkeypatch):
    def note_for(key):
        raise RuntimeError("helper broke")

    monkeypatch.setitem(sys.modules, "drovik._suggest", types.SimpleNamespace(note_for=note_for))


def wrong_note(monkeypatch):
    monkeypatch.setitem(sys.modules, "drovik._suggest", types.SimpleNamespace(note_for=lambda key: 42))


@pytest.mark.skipif(not NOTES, reason="notes arrived in 3.11")
@pytest.mark.parametrize("break_helper", [failing_helper, raising_helper, wrong_note])
def test_broken_helper_leaves_plain_key_error(options, env, monkeypatch, break_helper):
    break_helper(monkeypatch)
    for call in (lambda: options.skorv_get_option("num_threads"), lambda: options._set_one("num_threads", 1)):
        error = key_error(call)
        assert error.args == ("Unknown option 'num_threads'",)
        assert not hasattr(error, "__notes__")
        assert sys.exc_info() == (None, None, None)


def test_note_makes_no_call_the_module_would_not_make(options, env, monkeypatch):
    def failed_calls():
        for call in (
            lambda: options.skorv_get_option(["keep", "num_threads"]),
            lambda: options.skorv_set_option(keep=True, num_threads=1),
        ):
            key_error(call)
        logged = list(env.log)
        env.log.clear()
        return logged

    with_note = failed_calls()
    failing_helper(monkeypatch)
    assert with_note == failed_calls()
