"""The package itself: cheap to import, its public names made on first use."""

import importlib.metadata
import json
import os
import subprocess
import sys

import pytest

import drovik
from drovik import _catalogue

import support


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


GENERATOR = os.path.join(os.path.dirname(support.HERE), "options", "catalogue_code.py")


# The build writes the module's constants from the catalogue, and refuses a
# catalogue the module could not be built from, saying why.
@pytest.mark.skipif(not os.path.exists(GENERATOR), reason="the sources are not beside the tests")
@pytest.mark.parametrize(
    "old, new, problem",
    [
        ('("mevro.timeout", 0),', "", "KEYS must be the keys of DEFAULTS in their order"),
        ('{"experimental": "compact"}', '{"experimental": "fast"}', "'experimental' becomes 'fast'"),
        ('UNSET_ALLOCATOR = "default"', 'UNSET_ALLOCATOR = "je"', "UNSET_ALLOCATOR comes first"),
        (
            "\"Invalid 'skorv.mode'. Must be 'compact', ",
            "\"Invalid 'skorv.mode'. Must be ",
            "MESSAGES['invalid_mode'] does not name 'compact'",
        ),
        ("Global options for the Python port", "Options globales \u00e9t\u00e9", None),
    ],
)
def test_generated_constants_follow_the_catalogue(tmp_path, old, new, problem):
    with open(_catalogue.__file__, encoding="utf-8") as source:
        text = source.read()
    assert old in text
    path = tmp_path / "_catalogue.py"
    path.write_text(text.replace(old, new), encoding="utf-8")
    output = tmp_path / "catalogue.inc"
    proc = subprocess.run([sys.executable, "-B", GENERATOR, str(path), str(output)], capture_output=True, text=True)
    if problem is None:
        assert proc.returncode == 0, proc.stderr
        # Bytes outside ASCII go in as escapes of their UTF-8 encoding.
        assert "\\303\\251t\\303\\251" in output.read_text(encoding="ascii")
    else:
        assert proc.returncode == 1 and problem in proc.stderr and not output.exists()
