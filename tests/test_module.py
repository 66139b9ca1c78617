"""The module as Python sees it: docstring, bindings, function objects, argument
errors, name lookups at call time, and the import life cycle."""

import builtins
import inspect
import os
import pickle
import pydoc
import re
import subprocess
import sys
import typing
import warnings
from pathlib import Path

import pytest

import drovik._catalogue as CATALOGUE
import drovik.skorv_call
import drovik.utils

from support import PROGRAMS

FUNCTIONS = [function.name for function in CATALOGUE.FUNCTIONS]
NO_ARG_FUNCTIONS = [function.name for function in CATALOGUE.FUNCTIONS if not function.parameters]
BOUND_NAMES = [
    "os",
    "warnings",
    "Any",
    "Dict",
    "Optional",
    "Union",
    "skorv_call_builtin",
    "mevro_call_builtin",
    "skorv_remote_script",
    "_any_mb",
    "_SKORV_OPTIONS",
    *FUNCTIONS,
]


def twin(function):
    """A plain-Python function with the signature that the catalogue gives ``function``.

    The annotations stand in its def line, as in source code, so that from
    3.14 on it has the __annotate__ that the compiler makes for them.
    """
    annotations = dict(function.annotations)
    parameters = []
    for parameter in filter(None, function.parameters.split(", ")):
        name, _, default = parameter.partition("=")
        annotation = f": {annotations[name]!r}" if name in annotations else ""
        parameters.append(name + annotation + (f" = {default}" if default else ""))
    returns = f" -> {annotations['return']!r}" if "return" in annotations else ""
    namespace = {}
    exec(f"def {function.name}({', '.join(parameters)}){returns}: pass", namespace)
    return namespace[function.name]


TWINS = {function.name: twin(function) for function in CATALOGUE.FUNCTIONS}
SHAPES = {
    # name: (ordered annotations, __defaults__, __doc__)
    function.name: (list(function.annotations), TWINS[function.name].__defaults__, function.doc)
    for function in CATALOGUE.FUNCTIONS
}


def test_names_bound_in_order_and_nothing_else(options):
    names = list(vars(options))
    assert [name for name in names if name in BOUND_NAMES] == BOUND_NAMES
    own = {name for name in names if not (name.startswith("__") and name.endswith("__"))}
    assert own == set(BOUND_NAMES)
    assert "skorv_anyMultibyteUTF8Characters" not in names


def test_imported_names_are_the_real_objects(options):
    assert options.os is os
    assert options.warnings is warnings
    for name in ("Any", "Dict", "Optional", "Union"):
        assert getattr(options, name) is getattr(typing, name)
    for name in ("skorv_call_builtin", "mevro_call_builtin", "skorv_remote_script"):
        assert getattr(options, name) is getattr(drovik.skorv_call, name)
    assert options._any_mb is drovik.utils.skorv_anyMultibyteUTF8Characters


def test_module_attributes_follow_how_it_was_found(options):
    found = options.__spec__
    assert found.name == "drovik.options"
    assert options.__name__ == "drovik.options"
    assert options.__file__ == found.origin
    assert options.__loader__ is found.loader
    assert options.__package__ == "drovik"
    assert not hasattr(options, "__path__")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object_attributes(options, name):
    func = getattr(options, name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "drovik.options"
    assert func.__defaults__ == SHAPES[name][1]
    assert func.__kwdefaults__ is None
    assert hasattr(func, "__annotate__") == hasattr(TWINS[name], "__annotate__")
    assert re.fullmatch(rf"<function {name} at 0x[0-9a-fA-F]+>", repr(func))


# --- the docstrings and signatures, against the compiled module and the model


@pytest.mark.both_implementations
def test_docstrings_and_signatures_follow_the_catalogue(options):
    # A fact changed on one side only fails here; the other facts of the
    # catalogue are those the behaviour tests take, on both implementations.
    module = options
    compiled = module.__name__ == "drovik.options"
    assert module.__doc__ == CATALOGUE.MODULE_DOC
    for function in CATALOGUE.FUNCTIONS:
        func, expected = getattr(module, function.name), TWINS[function.name]
        if compiled or function.doc is None:
            assert func.__doc__ == function.doc, function.name
        else:
            # From 3.13 on, the compiler takes the indentation off the model's docstrings.
            assert inspect.cleandoc(func.__doc__) == inspect.cleandoc(function.doc), function.name
        assert list(func.__annotations__.items()) == list(function.annotations), function.name
        assert inspect.signature(func) == inspect.signature(expected), function.name
        assert str(inspect.signature(func)) == str(inspect.signature(expected)), function.name
        if compiled:
            # The model may use locals of its own; the module lists these.
            assert func.__code__.co_varnames == expected.__code__.co_varnames + function.local_names


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_pickle_by_reference(options, name):
    func = getattr(options, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func


def help_page(obj, monkeypatch):
    pages = []
    monkeypatch.setattr(pydoc, "pager", lambda text, *args: pages.append(text))
    help(obj)
    return [line.rstrip() for line in pydoc.plain("".join(pages)).splitlines()]


# pydoc heads the page by what the object is. Up to 3.13 it names the type
# ("function") of what is no Python function; from 3.14 on it calls whatever
# binds as a method without being a Python function a method descriptor.
HELP_HEADER = (
    "Help on function in module drovik.options:"
    if sys.version_info < (3, 14)
    else "Help on method descriptor {} in module drovik.options:"
)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_help_shows_what_it_shows_for_the_plain_python_function(options, name, monkeypatch):
    twin = TWINS[name]
    monkeypatch.setattr(twin, "__doc__", SHAPES[name][2])
    page = help_page(getattr(options, name), monkeypatch)
    assert page[0] == HELP_HEADER.format(name)
    assert page[1:] == help_page(twin, monkeypatch)[1:]


@pytest.mark.skipif(sys.version_info < (3, 14), reason="__annotate__ is 3.14's")
@pytest.mark.parametrize("name", FUNCTIONS)
def test_annotations_in_every_format_as_for_the_plain_python_function(options, name):
    import annotationlib

    func = getattr(options, name)
    for form in annotationlib.Format:
        if form != annotationlib.Format.VALUE_WITH_FAKE_GLOBALS:
            got = annotationlib.get_annotations(func, format=form)
            assert got == annotationlib.get_annotations(TWINS[name], format=form)
    fresh = func.__annotate__(annotationlib.Format.VALUE)
    assert fresh == func.__annotations__ and fresh is not func.__annotations__
    with pytest.raises(NotImplementedError):
        func.__annotate__(max(annotationlib.Format) + 1)


def _no_arg_errors():
    for name in NO_ARG_FUNCTIONS:
        yield name, (1,), {}, f"{name}() takes no arguments (1 given)"
        yield name, (1, 2), {}, f"{name}() takes no arguments (2 given)"
        yield name, (), {"x": 1}, f"{name}() takes no keyword arguments"
        yield name, (1,), {"x": 1}, f"{name}() takes no keyword arguments"


GET = "skorv_get_option"
SET_ONE = "_set_one"
EXACTLY = "_set_one() takes exactly 2 positional arguments ({} given)"
WRONG_TYPE = "Argument 'option' has incorrect type (expected str, got {})"


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        *_no_arg_errors(),
        (GET, ("keep", "verbose"), {}, f"{GET}() takes at most 1 positional argument (2 given)"),
        (GET, ("a", "b", "c"), {"option": 1}, f"{GET}() takes at most 1 positional argument (3 given)"),
        (GET, (), {"name": "keep"}, f"{GET}() got an unexpected keyword argument 'name'"),
        (GET, (), {"option": None, "name": 1}, f"{GET}() got an unexpected keyword argument 'name'"),
        (GET, ("keep",), {"option": "keep"}, f"{GET}() got multiple values for keyword argument 'option'"),
        (GET, ("keep",), {"other": 1, "option": 2}, f"{GET}() got an unexpected keyword argument 'other'"),
        (GET, ("keep",), {"option": 2, "other": 1}, f"{GET}() got multiple values for keyword argument 'option'"),
        (SET_ONE, (), {}, EXACTLY.format(0)),
        (SET_ONE, ("keep",), {}, EXACTLY.format(1)),
        (SET_ONE, ("keep", True, None), {}, EXACTLY.format(3)),
        (SET_ONE, ("keep", True, None), {"value": 1}, EXACTLY.format(3)),
        (SET_ONE, (), {"value": 1}, EXACTLY.format(0)),
        (SET_ONE, (), {"option": "keep"}, EXACTLY.format(1)),
        # A missing value is reported before the type of option is looked at.
        (SET_ONE, (), {"option": None}, EXACTLY.format(1)),
        (SET_ONE, ("keep",), {"bogus": 1}, f"{SET_ONE}() got an unexpected keyword argument 'bogus'"),
        (SET_ONE, (), {"value": 1, "bogus": 2, "nope": 3}, f"{SET_ONE}() got an unexpected keyword argument 'bogus'"),
        (SET_ONE, ("keep",), {"option": "x"}, f"{SET_ONE}() got multiple values for keyword argument 'option'"),
        (SET_ONE, ("keep", 1), {"value": 2}, f"{SET_ONE}() got multiple values for keyword argument 'value'"),
        (SET_ONE, (None, 1), {}, WRONG_TYPE.format("NoneType")),
        (SET_ONE, (5, 1), {}, WRONG_TYPE.format("int")),
        (SET_ONE, (), {"value": 1, "option": b"keep"}, WRONG_TYPE.format("bytes")),
    ],
)
def test_argument_errors(options, env, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(options, name)(*args, **kwargs)
    assert info.value.args == (message,)
    # Refused before the body: nothing read (no defaults, no paths), nothing stored.
    assert env.log == []
    assert options._SKORV_OPTIONS == {}


@pytest.mark.both_implementations
def test_set_one_refuses_str_subclass(options, env):
    class Key(str):
        pass

    with pytest.raises(TypeError) as info:
        options._set_one(Key("keep"), True)
    assert str(info.value).startswith(WRONG_TYPE.format("Key"))
    assert options._SKORV_OPTIONS == {}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_non_string_keyword_refused(options, env, name):
    with pytest.raises(TypeError) as info:
        getattr(options, name)(**{1: 2})
    assert info.value.args == ("keywords must be strings",)
    assert options._SKORV_OPTIONS == {}


@pytest.mark.both_implementations
@pytest.mark.parametrize(
    "missing, call",
    [
        ("os", lambda o: o._cpu_default_string()),
        ("os", lambda o: o.skorv_get_option_default()),
        ("_cpu_default_string", lambda o: o.skorv_get_option_default()),
        ("_SKORV_OPTIONS", lambda o: o.skorv_get_option("keep")),
        ("skorv_get_option_default", lambda o: o.skorv_get_option()),
        ("skorv_call_builtin", lambda o: o.skorv_get_option("keep")),
        ("mevro_call_builtin", lambda o: o.skorv_get_option()),
        ("_set_one", lambda o: o.skorv_set_option("keep", True)),
        ("_post_set_checks", lambda o: o.skorv_set_option("keep", True)),
        ("skorv_get_option", lambda o: o._post_set_checks()),
        ("skorv_get_option", lambda o: o.skorv_enabled_Plexa_features()),
        ("warnings", lambda o: o.skorv_set_option("malloc.lib", "")),
        ("_any_mb", lambda o: o.skorv_set_option("working.directory", "/data/\u00e9t\u00e9")),
    ],
)
def test_deleted_module_name_raises_name_error(options, env, monkeypatch, missing, call):
    monkeypatch.delattr(options, missing)
    with pytest.raises(NameError) as info:
        call(options)
    assert info.value.args == (f"name '{missing}' is not defined",)
    if sys.version_info >= (3, 10):
        assert info.value.name == missing  # what "Did you mean" suggestions read


@pytest.mark.both_implementations
def test_missing_module_names_fall_back_to_builtins(options, env, monkeypatch):
    env.cpus = 3
    monkeypatch.delattr(options, "os")
    monkeypatch.setattr(builtins, "os", env.os, raising=False)
    assert options._cpu_default_string() == "3:1"
    monkeypatch.delattr(options, "skorv_call_builtin")
    monkeypatch.setattr(builtins, "skorv_call_builtin", lambda: "/from/builtins", raising=False)
    assert options.skorv_get_option("skorv.call") == "/from/builtins"


def test_import_lifecycle_keeps_one_module_and_table(run_program):
    proc = run_program("import_lifecycle.py")
    assert proc.stdout == "done\n"


def test_failed_setup_leaves_nothing_and_later_import_starts_afresh(run_program):
    proc = run_program("failed_setup.py")
    assert proc.stdout == "done\n"


def test_import_from_subinterpreter_is_refused(run_program, tmp_path):
    result = tmp_path / "result.txt"
    proc = run_program("subinterpreter.py", str(result))
    if proc.stdout.startswith("no sub-interpreters"):
        pytest.skip("this interpreter has no _testcapi.run_in_subinterp")
    assert proc.stdout == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
    )


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters arrived in 3.12")
def test_isolated_subinterpreter_is_refused_by_the_import_system(run_program):
    proc = run_program("isolated_subinterpreter.py")
    assert proc.stdout == "True\nTrue\n"


def test_failed_setup_under_another_name_leaves_nothing_behind(run_program):
    # Loaded on its own, outside the package, the relative companion imports
    # fail; the half-built module must not stay behind as drovik.options.
    proc = run_program("setup_under_another_name.py")
    assert proc.stdout == "True\n"


def test_reinitialised_interpreter_is_refused(tmp_path):
    # A program that embeds Python and initialises it a second time gets the
    # documented refusal, not a module whose namespace died with the first.
    import shutil
    import site
    import sysconfig

    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("a twice-initialised interpreter leaks by design; nothing for the sanitizer run")
    compiler = shutil.which("cc") or shutil.which("gcc")
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if not compiler or not libdir or not library.endswith(".so"):
        pytest.skip("needs a C compiler and a shared libpython")
    source = tmp_path / "embed.c"
    source.write_text(Path(PROGRAMS, "embed.c").read_text())
    program = tmp_path / "embed"
    version = sysconfig.get_config_var("LDVERSION")
    subprocess.run(
        [
            compiler,
            str(source),
            "-o",
            str(program),
            "-I" + sysconfig.get_paths()["include"],
            "-L" + libdir,
            "-Wl,-rpath," + libdir,
            "-lpython" + version,
        ],
        check=True,
        capture_output=True,
    )
    env = dict(os.environ, PYTHONHOME=sys.base_prefix)
    path = ":".join(p for p in sys.path if p)
    # The site folders' .pth files too, as an editable install's import hook is set up there.
    site_folders = ":".join(site.getsitepackages())
    proc = subprocess.run([str(program), path, site_folders], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "True",
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
    ]
