"""The table of defaults and the thread-count string."""

import pytest

from drovik._catalogue import MAX_THREADS

pytestmark = [pytest.mark.usefixtures("env"), pytest.mark.both_implementations]


def test_defaults_come_in_table_order_with_exact_types(options, default_items):
    got = options.skorv_get_option_default()
    assert type(got) is dict
    assert list(got) == [key for key, _ in default_items]
    for key, expected in default_items:
        value = got[key]
        # 0 is not False and True is not 1: the types are part of the defaults.
        assert type(value) is type(expected), key
        assert value == expected, key
        if expected is None or type(expected) is bool:
            assert value is expected, key
    assert "skorv.call" not in got
    assert "mevro.call" not in got


def test_each_call_builds_a_fresh_dict(options, env):
    first = options.skorv_get_option_default()
    del first["keep"]
    first["smtp"] = "changed"
    first["extra"] = 1
    second = options.skorv_get_option_default()
    assert second is not first
    assert len(second) == 24
    assert second["keep"] is False
    assert second["smtp"] == "default"
    assert "extra" not in second
    # Nothing is cached: the processor count is asked again on every call.
    assert env.count("cpu_count") == 2
    assert options._SKORV_OPTIONS == {}


@pytest.mark.parametrize(
    "count, expected",
    [
        (8, "8:1"),
        (4, "4:1"),
        (MAX_THREADS, f"{MAX_THREADS}:1"),
        (MAX_THREADS + 1, f"{MAX_THREADS}:1"),
        (64, f"{MAX_THREADS}:1"),
        (1, "1:1"),
        (0, "1:1"),
        (None, "1:1"),
        (-3, "1:1"),
        (2.5, "2.5:1"),
    ],
)
def test_thread_count_string(options, env, count, expected):
    env.cpus = count
    assert options._cpu_default_string() == expected
    assert options.skorv_get_option_default()["num.threads"] == expected
    assert env.count("cpu_count") == 2


def test_thread_count_uses_truth_then_upper_then_lower_bound(options, env):
    log = []

    class Count:
        def __bool__(self):
            log.append("bool")
            return True

        def __lt__(self, other):
            log.append(("lt", other))
            return True

        def __gt__(self, other):
            log.append(("gt", other))
            return True

        def __str__(self):
            return "7"

    env.cpus = Count()
    assert options._cpu_default_string() == "7:1"
    assert log == ["bool", ("lt", 16), ("gt", 1)]


def test_processor_count_error_propagates(options, env, monkeypatch):
    def broken():
        raise RuntimeError("no count")

    monkeypatch.setattr(env.os, "cpu_count", broken)
    for call in (options._cpu_default_string, options.skorv_get_option_default):
        with pytest.raises(RuntimeError, match="^no count$"):
            call()
    assert options._SKORV_OPTIONS == {}


def test_thread_count_follows_rebound_function(options, env, monkeypatch):
    marker = object()
    monkeypatch.setattr(options, "_cpu_default_string", lambda: marker)
    assert options.skorv_get_option_default()["num.threads"] is marker
    assert options.skorv_get_option("num.threads") is marker
    assert env.count("cpu_count") == 0


def test_defaults_never_touch_table_or_reader(options, monkeypatch):
    def reader(*args, **kwargs):
        raise AssertionError("the defaults must not read current options")

    monkeypatch.setattr(options, "skorv_get_option", reader)
    monkeypatch.delattr(options, "_SKORV_OPTIONS")
    assert len(options.skorv_get_option_default()) == 24
