# Child program of tests/test_process_edges.py: calls of each kind, run on a stack of the program's own.

import drovik.options as m

m.skorv_set_option("keep", True)
print([m.skorv_get_option("keep"), len(m.skorv_get_option()), m.skorv_enabled_Plexa_features()])
