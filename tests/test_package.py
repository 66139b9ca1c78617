"""The package itself: cheap to import, its public names made on first use."""

import importlib.metadata
import json

import pytest

import drovik


def test_import_loads_nothing_until_used(run_program):
    proc = run_program("lazy_import.py")
    at_import, after_use, after_options = json.loads(proc.stdout)
    assert at_import == ["drovik"]
    assert "drovik.context" in after_use
    assert "drovik.options" not in after_use
    # The compiled module carries the facts of the catalogue itself.
    assert "drovik._catalogue" not in after_options


@pytest.mark.parametrize(
    "name, module, attribute",
    [
        ("options", "drovik.options", None),
        ("option_context", "drovik.context", "option_context"),
        ("reset_options", "drovik._toolkit", "reset_options"),
        ("option_info", "drovik._toolkit", "option_info"),
        ("describe_options", "drovik._toolkit", "describe_options"),
        ("check_options", "drovik._toolkit", "check_options"),
        ("load_options", "drovik._toolkit", "load_options"),
        ("load_env", "drovik._toolkit", "load_env"),
        ("options_environ", "drovik._toolkit", "options_environ"),
        ("OptionInfo", "drovik._toolkit", "OptionInfo"),
        ("Problem", "drovik._toolkit", "Problem"),
        ("OptionLoadError", "drovik._toolkit", "OptionLoadError"),
        ("OptionKey", "drovik._catalogue", "OptionKey"),
    ],
)
def test_public_names(name, module, attribute):
    target = importlib.import_module(module)
    assert getattr(drovik, name) is (target if attribute is None else getattr(target, attribute))
    assert name in drovik.__all__ and name in dir(drovik)


def test_every_public_name_is_made_on_use():
    assert sorted(drovik.__all__) == sorted(drovik._LAZY)


def test_version_and_unknown_attribute():
    assert drovik.__version__ == importlib.metadata.version("drovik")
    with pytest.raises(AttributeError, match="has no attribute 'nothing'"):
        drovik.nothing  # noqa: B018 (the lookup is what raises)
