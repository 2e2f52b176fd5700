// libFuzzer driver for _velmora_funnel.compare.
//
// The binding and the funnel core are compiled into this executable with
// coverage instrumentation and the address and undefined-behaviour
// sanitizers; the interpreter is embedded and gets the binding as a built-in
// module. Each input goes to fuzz_one() of compare_target.py, which turns the
// bytes into the arrays and options of one call and checks the outcome. An
// exception out of fuzz_one() is a finding: it is printed and the process
// aborts, so libFuzzer keeps the input as a crash artifact.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" PyObject* PyInit__velmora_funnel(void);

namespace {

PyObject* fuzz_one = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_compare: %s\n", what);
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (PyImport_AppendInittab("_velmora_funnel", PyInit__velmora_funnel) < 0) {
        fail("cannot register the module");
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // libFuzzer's own handlers (SIGINT ends the run with statistics, SIGALRM
    // enforces the per-input time limit) must stay in place.
    config.install_signal_handlers = 0;
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) fail("cannot start the interpreter");

    // PYTHONPATH (set by tools/fuzz) names the fuzz/ folder and a venv's
    // site-packages with NumPy.
    PyObject* target = PyImport_ImportModule("compare_target");
    if (target == nullptr) fail("cannot import compare_target");
    fuzz_one = PyObject_GetAttrString(target, "fuzz_one");
    Py_DECREF(target);
    if (fuzz_one == nullptr) fail("compare_target has no fuzz_one");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) fail("cannot make the input bytes");
    PyObject* outcome = PyObject_CallOneArg(fuzz_one, bytes);
    Py_DECREF(bytes);
    if (outcome == nullptr) fail("fuzz_one raised");
    Py_DECREF(outcome);
    return 0;
}
