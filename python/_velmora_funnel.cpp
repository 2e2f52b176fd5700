#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_velmora_funnel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__velmora_funnel(void) { return PyModule_Create(&def); }
