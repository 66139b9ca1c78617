# Child program of tests/test_package.py: what the import and the first uses load.

import importlib.util
import json
import sys

# An editable install's import hook loads its own helpers (contextlib
# among them) when the package is first looked for: look first, and
# count only what the import and the use load.
importlib.util.find_spec("drovik")
before = set(sys.modules)
import drovik  # noqa: E402 (imported only at this point on purpose)

loaded = sorted(set(sys.modules) - before)
drovik.option_context  # noqa: B018 (the lookup is what is tested)
after_use = sorted(set(sys.modules) - before)
drovik.options.skorv_set_option("keep", drovik.options.skorv_get_option("verbose"))
print(json.dumps([loaded, after_use, sorted(set(sys.modules) - before)]))
