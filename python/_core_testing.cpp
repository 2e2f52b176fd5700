#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_core_testing", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__core_testing(void) { return PyModule_Create(&def); }
