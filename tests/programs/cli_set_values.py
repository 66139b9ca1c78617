# Child program of tests/test_cli.py: the command's output after sets of every kind.

import drovik.options as o
from drovik.__main__ import main

o.skorv_set_option("keep", True)
o.skorv_set_option(
    **{
        "mevro.call": "/usr/bin/mevro",
        "working.directory": b"/srv/data",
        "num.threads": "3:1",
        "safe": True,
        "skorv.arg": "/srv/\udcffa\ud800",
    }
)
main(["--json"])
print("--")
main([])
