# pyright: strict
"""Every documented call of drovik, written as a user would; the tests run it and check it
with mypy --strict and pyright in strict mode, where they are installed."""

import os
import pathlib
import subprocess
import sys
import tempfile
from typing import Any, Dict, List

import drovik
from drovik import (
    OptionInfo,
    OptionKey,
    OptionLoadError,
    Problem,
    check_options,
    describe_options,
    load_env,
    load_options,
    option_context,
    option_info,
    options,
    options_environ,
    reset_options,
)

key: OptionKey = "num.threads"
name: str = "keep"
value: Any = options.skorv_get_option(key)
everything: Dict[str, Any] = options.skorv_get_option()
several: List[Any] = options.skorv_get_option(["keep", "verbose"])
defaults: Dict[str, Any] = options.skorv_get_option_default()
options.skorv_set_option("num.threads", "4:1")
options.skorv_set_option(keep=True, verbose=True)
options.skorv_set_option(**{"skorv.mode": "classic"})
plexa: bool = options.skorv_enabled_Plexa_features()

with option_context("num.threads", "2:1"):
    pass
with option_context(name, True):
    pass
with option_context(verbose=True, **{"skorv.mode": "classic"}):
    pass


@option_context(keep=True)
def run_and_keep_files() -> int:
    return 1


count: int = run_and_keep_files()
reset_options("skorv.mode")
reset_options(["keep", name])
reset_options()
infos: List[OptionInfo] = option_info("keep", name)
text: str = describe_options(*infos)
problems: List[Problem] = check_options()
for problem in problems:
    print(problem.key, problem.value, problem.message)
config = pathlib.Path(tempfile.mkdtemp()) / "drovik.toml"
config.write_text('"num.threads" = "4:1"\n', encoding="utf-8")
loaded: Dict[str, Any] = load_options(config)
load_options(str(config), check=False)
try:
    load_options(config)
except OptionLoadError as error:
    lines: List[str] = error.problems
environ: Dict[str, str] = options_environ()
load_env(environ=environ)
load_env("JOB_", {"JOB_KEEP": "1"})
subprocess.run([sys.executable, "-c", "import drovik; drovik.load_env()"], env={**os.environ, **environ}, check=True)
print(drovik.__version__)
