// CPython extension module _nuvex_c: the bridge between interpreter objects and the solver.
// Holds no state between calls.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef nuvex_module = {PyModuleDef_HEAD_INIT, "_nuvex_c", "Bridge to the NUVEX solver.", -1,
                                   nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__nuvex_c(void) { return PyModule_Create2(&nuvex_module, 1013); }
