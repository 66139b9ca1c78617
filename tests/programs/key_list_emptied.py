# Child program of tests/test_hostile.py: a key's own code empties the list of keys being read.

import gc

import drovik.options as m


class Emptying:
    def __hash__(self):
        for obj in gc.get_objects():
            if type(obj) is list and any(item is self for item in obj):
                obj.clear()
        return hash("keep")

    def __eq__(self, other):
        return other == "keep"


keys = (key for key in [Emptying(), "".join(["ver", "bose"])])
print(m.skorv_get_option(keys))
