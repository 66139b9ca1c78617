"""The type information shipped for the compiled module: the stub and the
py.typed marker are in the package folder, where type checkers look for them
(beside the compiled module in a wheel's install, in src/ in an editable one),
the stub names everything the module binds, and a type checker resolves calls
to the documented result types."""

import ast
import json
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import drovik
import drovik._catalogue as CATALOGUE
import drovik.options

USAGE = pathlib.Path(__file__).with_name("documented_usage.py")


def package_file(name):
    return pathlib.Path(drovik.__file__).with_name(name)


def stub_names(tree):
    """Names that the stub gives to users: its definitions and re-exports."""
    names = set()
    for node in tree.body:
        if isinstance(node, ast.If):
            # Version conditions: a name counts if any branch gives it.
            names |= stub_names(ast.Module(body=node.body + node.orelse, type_ignores=[]))
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # In a stub only "import x as y" re-exports a name.
            names.update(alias.asname for alias in node.names if alias.asname)
    return names


@pytest.mark.parametrize("name", ["options.pyi", "py.typed"])
def test_type_files_installed_in_package(name):
    assert package_file(name).is_file()


def test_stub_names_every_binding_of_the_module(options):
    # stubtest passes over private names that the stub lacks, so a new
    # internal function or a companion binding would go unnoticed without this.
    tree = ast.parse(package_file("options.pyi").read_text(encoding="utf-8"))
    bound = {name for name in vars(options) if not name.startswith("__")}
    assert stub_names(tree) == bound


def test_stub_docstrings_are_the_modules():
    # The docstring of each function is on its first definition (the first
    # overload), where editors show it.
    tree = ast.parse(package_file("options.pyi").read_text(encoding="utf-8"))
    docs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            docs.setdefault(node.name, ast.get_docstring(node, clean=False))
    assert docs == {function.name: function.doc for function in CATALOGUE.FUNCTIONS}


# Each line is checked by one mypy run over the whole snippet: either the type
# that mypy reveals for it, or that mypy reports an error on it.
REVEALED = [
    ("options.skorv_get_option()", "dict[str, Any]"),
    ("options.skorv_get_option(None)", "dict[str, Any]"),
    ("options.skorv_get_option(option=None)", "dict[str, Any]"),
    ('options.skorv_get_option("keep")', "Any"),
    ('options.skorv_get_option(option="num.threads")', "Any"),
    ('options.skorv_get_option(["keep", "verbose"])', "list[Any]"),
    ('options.skorv_get_option(("keep",))', "list[Any]"),
    ('options.skorv_get_option({"keep": 1})', "list[Any]"),
    ("options.skorv_get_option_default()", "dict[str, Any]"),
    ("options._SKORV_OPTIONS", "dict[str, Any]"),
    ("options._cpu_default_string()", "str"),
    ("options.skorv_enabled_Plexa_features()", "bool"),
    ('options.skorv_set_option("keep", True)', "None"),
    ("options.skorv_set_option(keep=True, verbose=True)", "None"),
    ('options.skorv_set_option(**{"num.threads": "4:1"})', "None"),
    ('options._set_one(value=1, option="keep")', "None"),
    ("options._post_set_checks()", "None"),
]

# Calls that the stub's overloads and parameter types must refuse; plain
# arity errors follow from the signatures, which stubtest compares.
REFUSED = [
    "options.skorv_get_option(5)",
    'options.skorv_get_option(b"keep")',
    'options.skorv_set_option("keep")',
    "options.skorv_set_option(1, True)",
    'options.skorv_set_option("keep", True, False)',
    "options._set_one(None, 1)",
]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    pytest.importorskip("mypy")
    tmp = tmp_path_factory.mktemp("typing")
    lines = ["from drovik import options"]
    revealed_at = {}
    for expr, _ in REVEALED:
        revealed_at[expr] = len(lines) + 1
        lines.append(f"reveal_type({expr})")
    refused_at = {}
    for expr in REFUSED:
        refused_at[expr] = len(lines) + 1
        lines.append(expr)
    snippet = tmp / "snippet.py"
    snippet.write_text("\n".join(lines) + "\n", encoding="utf-8")
    # Run from the snippet's folder so that the installed package is what
    # mypy finds, as it would in a user's project.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-error-summary",
            "--cache-dir",
            str(tmp / "cache"),
            "--hide-error-context",
            "--no-pretty",
            snippet.name,
        ],
        cwd=tmp,
        capture_output=True,
        text=True,
        check=False,
    )
    by_line = {}
    for line in result.stdout.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[0] == snippet.name and parts[1].isdigit():
            # Older mypy versions spell builtin types with their module.
            message = (parts[2].strip() + ":" + parts[3]).replace("builtins.", "")
            by_line.setdefault(int(parts[1]), []).append(message)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    assert not by_line.get(1), textwrap.indent(result.stdout, "  ")
    return revealed_at, refused_at, by_line


@pytest.mark.parametrize("expr, expected", REVEALED)
def test_checker_sees_documented_result_type(mypy_report, expr, expected):
    revealed_at, _, by_line = mypy_report
    messages = by_line.get(revealed_at[expr], [])
    assert messages == [f'note: Revealed type is "{expected}"'], messages


@pytest.mark.parametrize("expr", REFUSED)
def test_checker_refuses_call_the_module_refuses(mypy_report, expr):
    _, refused_at, by_line = mypy_report
    messages = by_line.get(refused_at[expr], [])
    assert any(message.startswith("error:") for message in messages), messages


def test_documented_usage_runs(run_interpreter):
    run_interpreter(str(USAGE))


def strict_check(checker, script, tmp_path):
    """The diagnostics of ``checker`` in strict mode on ``script``, as (rule or code, line, message)."""
    if checker == "mypy":
        args = [
            "--strict",
            "--no-error-summary",
            "--hide-error-context",
            "--no-pretty",
            "--cache-dir",
            str(tmp_path / "cache"),
        ]
    else:
        args = ["--outputjson", "--pythonpath", sys.executable]
    result = subprocess.run(
        [sys.executable, "-m", checker, *args, script.name], cwd=tmp_path, capture_output=True, text=True, check=False
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    if checker == "mypy":
        return [tuple(line.split(":", 2)[1:]) for line in result.stdout.splitlines()]
    report = json.loads(result.stdout)["generalDiagnostics"]
    return [(d.get("rule", d["severity"]), d["range"]["start"]["line"] + 1, d["message"]) for d in report]


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_documented_usage_is_clean_under_strict_checking(tmp_path, checker):
    pytest.importorskip(checker)
    script = tmp_path / USAGE.name
    shutil.copy(USAGE, script)
    found = strict_check(checker, script, tmp_path)
    if pathlib.Path(drovik.options.__file__).parent != pathlib.Path(drovik.__file__).parent:
        # An editable install keeps the compiled module apart from the
        # package's sources and stub, where pyright does not look for it.
        found = [diagnostic for diagnostic in found if diagnostic[0] != "reportMissingModuleSource"]
    assert found == []
