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

import pytest

import drovik._catalogue as CATALOGUE
import drovik.skorv_call
import drovik.utils

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


def test_import_lifecycle_keeps_one_module_and_table(run_python):
    proc = run_python(
        """
        import importlib, sys
        import drovik.options as m

        assert type(m._SKORV_OPTIONS) is dict and m._SKORV_OPTIONS == {}
        assert "_any_mb" in vars(m) and "skorv_anyMultibyteUTF8Characters" not in vars(m)
        table = m._SKORV_OPTIONS
        names = [n for n in vars(m) if not n.startswith("__")]
        funcs = {n: getattr(m, n) for n in names}
        m.skorv_set_option("keep", True)

        del sys.modules["drovik.options"]
        again = importlib.import_module("drovik.options")
        assert again is m and sys.modules["drovik.options"] is m
        assert again._SKORV_OPTIONS is table and table == {"keep": True}, table
        assert all(getattr(again, n) is f for n, f in funcs.items())

        reloaded = importlib.reload(m)
        assert reloaded is m
        assert m._SKORV_OPTIONS is table and table == {"keep": True}, table
        assert all(getattr(m, n) is f for n, f in funcs.items())
        m.skorv_set_option("verbose", True)
        assert m.skorv_get_option(["keep", "verbose"]) == [True, True]
        print("done")
        """
    )
    assert proc.stdout == "done\n"


def test_failed_setup_leaves_nothing_and_later_import_starts_afresh(run_python):
    proc = run_python(
        """
        import importlib, sys, types
        import drovik

        partial = []
        stub = types.ModuleType("drovik.utils")

        def __getattr__(name):
            # Remember the half-built module that is asking for the helper.
            partial.append(sys.modules.get("drovik.options"))
            raise AttributeError(name)

        stub.__getattr__ = __getattr__
        # A companion module that cannot be imported stops the set-up as well.
        sys.modules["drovik.skorv_call"] = None
        try:
            import drovik.options
        except ModuleNotFoundError as exc:
            assert exc.name == "drovik.skorv_call", exc
        else:
            raise AssertionError("import succeeded without drovik.skorv_call")
        assert "drovik.options" not in sys.modules
        del sys.modules["drovik.skorv_call"]

        sys.modules["drovik.utils"] = stub
        for attempt in range(2):
            try:
                import drovik.options
            except ImportError as exc:
                assert str(exc) == "cannot import name skorv_anyMultibyteUTF8Characters", repr(str(exc))
            else:
                raise AssertionError("import succeeded without the helper")
            assert "drovik.options" not in sys.modules
        partial = [p for p in partial if p is not None]
        assert partial, "the stub was never asked for the helper"

        def helper(text):
            return False

        stub.skorv_anyMultibyteUTF8Characters = helper
        m = importlib.import_module("drovik.options")
        assert all(m is not p for p in partial)
        assert m._SKORV_OPTIONS == {}
        assert m._any_mb is helper
        m.skorv_set_option("keep", True)
        assert m.skorv_get_option("keep") is True
        print("done")
        """
    )
    assert proc.stdout == "done\n"


def test_import_from_subinterpreter_is_refused(run_python, tmp_path):
    result = tmp_path / "result.txt"
    proc = run_python(
        """
        import sys
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            print("no sub-interpreters")
            raise SystemExit(0)
        import drovik.options as m

        m.skorv_set_option("keep", True)
        code = f'''
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import drovik.options
        except ImportError as exc:
            result = "ImportError: " + str(exc)
        else:
            result = "imported"
        with open({RESULT!r}, "w") as fh:
            fh.write(result)
        '''
        assert run_in_subinterp(code) == 0
        with open(RESULT) as fh:
            print(fh.read())
        assert sys.modules["drovik.options"] is m
        m.skorv_set_option("verbose", True)
        assert m.skorv_get_option(["keep", "verbose"]) == [True, True]
        """.replace("RESULT", repr(str(result)))
    )
    if proc.stdout.startswith("no sub-interpreters"):
        pytest.skip("this interpreter has no _testcapi.run_in_subinterp")
    assert proc.stdout == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
    )


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters arrived in 3.12")
def test_isolated_subinterpreter_is_refused_by_the_import_system(run_python):
    proc = run_python(
        """
        import sys
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import drovik.options as m

        code = f"import sys\\nsys.path[:] = {sys.path!r}\\nimport drovik.options"
        interp = interpreters.create()  # isolated: its own GIL
        try:
            failure = interpreters.run_string(interp, code)
        except Exception as exc:  # 3.12 raises where 3.13 returns the failure
            failure = exc
        finally:
            interpreters.destroy(interp)
        print("does not support loading in subinterpreters" in str(failure))
        m.skorv_set_option("keep", True)
        print(m.skorv_get_option("keep"))
        """
    )
    assert proc.stdout == "True\nTrue\n"


def test_failed_setup_under_another_name_leaves_nothing_behind(run_python):
    # Loaded on its own, outside the package, the relative companion imports
    # fail; the half-built module must not stay behind as drovik.options.
    proc = run_python(
        """
        import glob, importlib.machinery, importlib.util, sys
        import drovik

        path = glob.glob(drovik.__path__[0] + "/options*.so")[0]
        loader = importlib.machinery.ExtensionFileLoader("options", path)
        found = importlib.util.spec_from_file_location("options", path, loader=loader)
        try:
            loader.exec_module(importlib.util.module_from_spec(found))
        except ImportError:
            pass
        else:
            raise AssertionError("set-up outside the package succeeded")
        assert "drovik.options" not in sys.modules
        import drovik.options as m
        m.skorv_set_option("keep", True)
        print(m.skorv_get_option("keep"))
        """
    )
    assert proc.stdout == "True\n"


EMBEDDING_PROGRAM = r"""
#include <Python.h>
int main(int argc, char **argv) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        PyObject *globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyObject *path = PyUnicode_FromString(argv[1]);
        PyObject *site = PyUnicode_FromString(argv[2]);
        PyDict_SetItemString(globals, "SITE", site);
        Py_DECREF(site);
        PyDict_SetItemString(globals, "PATH", path);
        PyObject *result = PyRun_String(
            "import site, sys\nsys.path[:0] = PATH.split(':')\n"
            "for folder in SITE.split(':'):\n    site.addsitedir(folder)\n"
            "try:\n    import drovik.options as m\n"
            "except ImportError as exc:\n    print(exc)\n"
            "else:\n    m.skorv_set_option('keep', True)\n    print(m.skorv_get_option('keep'))\n",
            Py_file_input, globals, globals);
        if (!result) PyErr_Print();
        Py_XDECREF(result);
        Py_DECREF(path);
        Py_DECREF(globals);
        fflush(stdout);
        Py_FinalizeEx();
    }
    return 0;
}
"""


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
    source.write_text(EMBEDDING_PROGRAM)
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
