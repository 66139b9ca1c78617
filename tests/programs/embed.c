// Child program of tests/test_module.py: initialises the interpreter twice, importing drovik.options each time.

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
