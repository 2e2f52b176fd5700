// The CPython extension module _velmora_funnel: the thin binding between
// Python callers and the funnel core.
//
// compare() takes four one-dimensional float64 ndarrays and an optional
// options dict, turns them into spans and a CompareOptions record, makes one
// call of velmora::compare and hands the six result vectors to six ndarrays
// without copying them. The three auxiliary functions report the version, the
// default options and the message of a status. The interpreter lock is held
// from entry to return, the core call included.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// NumPy's API table is a static of this translation unit (no
// PY_ARRAY_UNIQUE_SYMBOL), filled on the first compare() call so that
// importing the module and the auxiliary functions never import NumPy.
#include <numpy/arrayobject.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "velmora_funnel/compare.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora::python {
namespace {

constexpr const char* MODULE_NAME = "_velmora_funnel";
// From pyproject.toml, through the build (cmake/version.cmake).
constexpr const char* MODULE_VERSION = VELMORA_VERSION;
// Name of the capsules that own the storage of result arrays.
constexpr const char* STORAGE_CAPSULE = "_velmora_funnel.storage";

// ---------------------------------------------------------------------------
// Errors

// Runs a module function body so that no C++ exception reaches the
// interpreter: exhausted memory becomes MemoryError, anything else a
// RuntimeError. Owners on the unwound stack release their references first.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "_velmora_funnel: unexpected internal error");
    }
    return nullptr;
}

// Raises TypeError "'{type}' object cannot be converted to '{target}'".
void raise_not_convertible(PyObject* obj, const char* target) {
    py_ref type_name = py_ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (type_name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                     target);
    }
}

// Prefixes the pending exception with "argument '{name}': " when its type is
// exactly TypeError; any other exception is left as it is.
void prefix_argument_error(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    py_ref original = py_ref::steal(raised);
    py_ref text = py_ref::steal(PyObject_Str(original.get()));
    if (text) PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

// ---------------------------------------------------------------------------
// Argument binding for METH_FASTCALL | METH_KEYWORDS

struct Signature {
    const char* function;
    std::span<const char* const> parameters;
    std::size_t required;  // the leading parameters without a default
};

// Fills slots (one per parameter, null-initialised) with borrowed references
// to the arguments: positional ones in order, keywords by name. Errors are
// checked in this order: too many positional arguments, each keyword in
// turn, missing required parameters.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto nparams = static_cast<Py_ssize_t>(sig.parameters.size());
    if (nargs > nparams) {
        if (sig.required == sig.parameters.size()) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                         sig.function, nparams, nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd were given",
                         sig.function, static_cast<Py_ssize_t>(sig.required), nparams, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = 0;
        while (index < sig.parameters.size() &&
               !(PyUnicode_Check(keyword) &&
                 PyUnicode_CompareWithASCIIString(keyword, sig.parameters[index]) == 0)) {
            ++index;
        }
        if (index == sig.parameters.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         sig.function, keyword);
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.function, sig.parameters[index]);
            return false;
        }
        slots[index] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(sig.parameters[i]);
    }
    if (missing.empty()) return true;
    // 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
    std::string listed;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                listed += " and ";
            } else {
                listed += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        listed += '\'';
        listed += missing[i];
        listed += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
                 sig.function, static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "" : "s", listed.c_str());
    return false;
}

// ---------------------------------------------------------------------------
// NumPy

// Fills the API table on first use. NumPy's own import_array macros print
// the failure to stderr, and _import_array can fail after it has already
// stored the table (a C-API version mismatch), so both are handled here: the
// table is cleared again and the cause is chained to one ImportError.
bool numpy_loaded() {
    if (PyArray_API != nullptr) return true;
    if (_import_array() == 0) return true;
    PyArray_API = nullptr;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError,
                    "_velmora_funnel.compare() needs NumPy, which could not be loaded");
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);  // steals cause
    PyErr_SetRaisedException(raised);
    return false;
}

// A one-dimensional ndarray (or subclass) whose dtype is equivalent to
// native float64; a byte-swapped float64 is not.
bool is_float64_vector(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1) return false;
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
    Py_DECREF(float64);
    return equivalent;
}

bool check_float64_vector(PyObject* obj, const char* name) {
    if (is_float64_vector(obj)) return true;
    raise_not_convertible(obj, "PyArray<T, D>");
    prefix_argument_error(name);
    return false;
}

// The values of one input array as the core reads them.
struct InputBuffer {
    std::span<const double> values;
    // Holds the values only when the array's data is not 8-byte aligned:
    // reading a double through a misaligned pointer is undefined behaviour,
    // so that one array is copied into aligned storage. The common aligned
    // array is read in place.
    std::vector<double> aligned;
};

// Step after the options: contiguity, then the span over the data. Parsing
// the options can run Python code (__float__, __index__, __eq__ of keys)
// that reshapes or retypes an array in place (a.shape = ..., a.dtype = ...),
// so the dimension and dtype are confirmed again here; the length handed to
// the core must match the buffer as it is now.
bool view_input(PyObject* obj, const char* name, InputBuffer& out) {
    if (!check_float64_vector(obj, name)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    if ((PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) == 0 ||
        data == nullptr) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return false;
    }
    const auto length = static_cast<std::size_t>(PyArray_DIM(array, 0));
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) != 0) {
        out.aligned.resize(length);
        if (length > 0) std::memcpy(out.aligned.data(), data, length * sizeof(double));
        out.values = out.aligned;
    } else {
        out.values = std::span<const double>(reinterpret_cast<const double*>(data), length);
    }
    return true;
}

void release_storage(PyObject* capsule) {
    delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, STORAGE_CAPSULE));
}

// A new writeable 1-D float64 array over the storage of `values`, taken over
// without a copy: a capsule owning the vector becomes the array's base and
// frees the storage when the array dies.
py_ref array_over(std::vector<double>&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(double))};
    // An empty vector of a rejected input may have no storage at all. Given
    // a null pointer NumPy would allocate its own buffer and set the stride
    // to 0, so even an empty array gets a (one-element) vector of its own
    // and every result array has the same form and ownership.
    if (values.data() == nullptr) values.reserve(1);
    auto storage = std::make_unique<std::vector<double>>(std::move(values));
    void* data = storage->data();
    py_ref owner = py_ref::steal(PyCapsule_New(storage.get(), STORAGE_CAPSULE, release_storage));
    if (!owner) return {};
    (void)storage.release();  // the capsule frees it from here on

    // PyArray_NewFromDescr steals the descriptor, also when it fails.
    py_ref array =
        py_ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1,
                                           dims, strides, data, NPY_ARRAY_CARRAY, nullptr));
    if (!array) return {};
    // PyArray_SetBaseObject steals the owner even when it fails; on failure
    // the storage is freed with it, and the array, which does not own its
    // data, is dropped without touching it.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        return {};
    }
    return array;
}

// ---------------------------------------------------------------------------
// Options

// A strong reference to the value of `key` in a dict or dict subclass, read
// with the plain dict lookup (no __getitem__, no __missing__). Empty for a
// missing key or None. The reference is taken because converting the value
// can run Python code that removes it from the dict.
bool dict_lookup(PyObject* dict, const char* key, py_ref& out) {
    py_ref name = py_ref::steal(PyUnicode_FromString(key));
    if (!name) return false;
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value == nullptr) return PyErr_Occurred() == nullptr;
    if (value != Py_None) out = py_ref::borrow(value);
    return true;
}

// The double under `key`, or nullopt when it is missing or None. Conversion
// errors are passed on unchanged, without the key's name.
bool dict_get_f64(PyObject* dict, const char* key, std::optional<double>& out) {
    py_ref value;
    if (!dict_lookup(dict, key, value)) return false;
    if (!value) {
        out.reset();
        return true;
    }
    if (PyFloat_CheckExact(value.get())) {
        out = PyFloat_AS_DOUBLE(value.get());
        return true;
    }
    const double converted = PyFloat_AsDouble(value.get());
    if (converted == -1.0 && PyErr_Occurred() != nullptr) return false;
    out = converted;
    return true;
}

bool parse_range(PyObject* value, double& lo, double& hi) {
    if (!PyDict_Check(value)) {
        raise_not_convertible(value, "PyDict");
        return false;
    }
    std::optional<double> end;
    if (!dict_get_f64(value, "lo", end)) return false;
    lo = end.value_or(-std::numeric_limits<double>::infinity());
    if (!dict_get_f64(value, "hi", end)) return false;
    hi = end.value_or(std::numeric_limits<double>::infinity());
    return true;
}

struct ToleranceKey {
    const char* key;
    double CompareOptions::* field;
};
constexpr ToleranceKey TOLERANCE_KEYS[] = {
    {"atolx", &CompareOptions::atolx}, {"atoly", &CompareOptions::atoly},
    {"ltolx", &CompareOptions::ltolx}, {"ltoly", &CompareOptions::ltoly},
    {"rtolx", &CompareOptions::rtolx}, {"rtoly", &CompareOptions::rtoly},
};

// A "tolerances" dict replaces all six tolerances: the keys it leaves out
// become 0.0, while an absent "tolerances" keeps the defaults.
bool parse_options(PyObject* options, CompareOptions& out) {
    out = CompareOptions{};
    if (options == nullptr || options == Py_None) return true;
    if (!PyDict_Check(options)) {
        PyErr_SetString(PyExc_ValueError, "options must be a dict or None");
        return false;
    }
    py_ref tolerances;
    if (!dict_lookup(options, "tolerances", tolerances)) return false;
    if (tolerances) {
        if (!PyDict_Check(tolerances.get())) {
            raise_not_convertible(tolerances.get(), "PyDict");
            return false;
        }
        for (const ToleranceKey& tolerance : TOLERANCE_KEYS) {
            std::optional<double> value;
            if (!dict_get_f64(tolerances.get(), tolerance.key, value)) return false;
            out.*tolerance.field = value.value_or(0.0);
        }
    }
    py_ref x_range;
    if (!dict_lookup(options, "x_range", x_range)) return false;
    if (x_range) return parse_range(x_range.get(), out.lo, out.hi);
    return true;
}

// ---------------------------------------------------------------------------
// Module functions

// The keys of the result dict, "status", "lower", "upper" and "errors",
// made and interned once: building four strings per call costs about as
// much as comparing two 10-point curves. Made under the interpreter lock and
// kept for the life of the process, like the module object.
PyObject* const* result_keys() {
    static PyObject* keys[4] = {};
    if (keys[3] == nullptr) {
        const char* const names[] = {"status", "lower", "upper", "errors"};
        for (std::size_t k = 0; k < std::size(names); ++k) {
            if (keys[k] == nullptr) keys[k] = PyUnicode_InternFromString(names[k]);
            if (keys[k] == nullptr) return nullptr;
        }
    }
    return keys;
}

constexpr const char* COMPARE_PARAMETERS[] = {"t_reference", "y_reference", "t_test", "y_test",
                                              "options"};
constexpr std::size_t ARRAY_COUNT = 4;
constexpr Signature COMPARE_SIGNATURE = {"compare", COMPARE_PARAMETERS, ARRAY_COUNT};

PyObject* compare_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* slots[std::size(COMPARE_PARAMETERS)] = {};
    if (!bind_arguments(COMPARE_SIGNATURE, args, nargsf, kwnames, slots)) return nullptr;

    if (!numpy_loaded()) return nullptr;
    py_ref arrays[ARRAY_COUNT];
    for (std::size_t i = 0; i < ARRAY_COUNT; ++i) {
        if (!check_float64_vector(slots[i], COMPARE_PARAMETERS[i])) return nullptr;
        arrays[i] = py_ref::borrow(slots[i]);
    }

    py_ref options = py_ref::borrow(slots[ARRAY_COUNT]);
    CompareOptions parsed;
    if (!parse_options(options.get(), parsed)) return nullptr;

    InputBuffer inputs[ARRAY_COUNT];
    for (std::size_t i = 0; i < ARRAY_COUNT; ++i) {
        if (!view_input(arrays[i].get(), COMPARE_PARAMETERS[i], inputs[i])) return nullptr;
    }

    CompareResult result = velmora::compare(inputs[0].values, inputs[1].values, inputs[2].values,
                                            inputs[3].values, parsed);
    // The core reports exhausted memory as a status for its C and C++
    // callers; Python callers get the exception they expect for it.
    if (result.status == STATUS_NO_MEMORY) return PyErr_NoMemory();

    PyObject* const* keys = result_keys();
    if (keys == nullptr) return nullptr;
    py_ref out = py_ref::steal(PyDict_New());
    if (!out) return nullptr;
    py_ref status = py_ref::steal(PyLong_FromLong(result.status));
    if (!status || PyDict_SetItem(out.get(), keys[0], status.get()) < 0) return nullptr;
    Curve* const curves[] = {&result.lower, &result.upper, &result.errors};
    for (std::size_t k = 0; k < std::size(curves); ++k) {
        py_ref x = array_over(std::move(curves[k]->x));
        if (!x) return nullptr;
        py_ref y = array_over(std::move(curves[k]->y));
        if (!y) return nullptr;
        py_ref pair = py_ref::steal(PyTuple_Pack(2, x.get(), y.get()));
        if (!pair || PyDict_SetItem(out.get(), keys[k + 1], pair.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* compare_py(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
    return guarded([&] { return compare_impl(args, nargsf, kwnames); });
}

PyObject* version_py(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyUnicode_FromString(MODULE_VERSION);
}

PyObject* default_options_impl() {
    const CompareOptions defaults;
    py_ref tolerances = py_ref::steal(PyDict_New());
    if (!tolerances) return nullptr;
    for (const ToleranceKey& tolerance : TOLERANCE_KEYS) {
        py_ref value = py_ref::steal(PyFloat_FromDouble(defaults.*tolerance.field));
        if (!value || PyDict_SetItemString(tolerances.get(), tolerance.key, value.get()) < 0) {
            return nullptr;
        }
    }
    py_ref x_range = py_ref::steal(PyDict_New());
    if (!x_range) return nullptr;
    const std::pair<const char*, double> ends[] = {{"lo", defaults.lo}, {"hi", defaults.hi}};
    for (const auto& [key, end] : ends) {
        py_ref value = py_ref::steal(PyFloat_FromDouble(end));
        if (!value || PyDict_SetItemString(x_range.get(), key, value.get()) < 0) return nullptr;
    }
    py_ref options = py_ref::steal(PyDict_New());
    if (!options || PyDict_SetItemString(options.get(), "tolerances", tolerances.get()) < 0 ||
        PyDict_SetItemString(options.get(), "x_range", x_range.get()) < 0) {
        return nullptr;
    }
    return options.release();
}

PyObject* default_options_py(PyObject* /*module*/, PyObject* /*unused*/) {
    return guarded(default_options_impl);
}

// The module's STATUS_* constants, in the order they are added.
struct StatusConstant {
    const char* name;
    Status value;
};
constexpr StatusConstant STATUS_CONSTANTS[] = {
    {"STATUS_PASS", STATUS_PASS},
    {"STATUS_FAIL", STATUS_FAIL},
    {"STATUS_MISSING_REFERENCE", STATUS_MISSING_REFERENCE},
    {"STATUS_MISSING_TEST", STATUS_MISSING_TEST},
    {"STATUS_NON_MONOTONIC", STATUS_NON_MONOTONIC},
    {"STATUS_LENGTH_MISMATCH", STATUS_LENGTH_MISMATCH},
    {"STATUS_EMPTY_RANGE", STATUS_EMPTY_RANGE},
    {"STATUS_BUFFER_TOO_SMALL", STATUS_BUFFER_TOO_SMALL},
    {"STATUS_INSUFFICIENT_DATA", STATUS_INSUFFICIENT_DATA},
};

constexpr const char* STATUS_MESSAGE_PARAMETERS[] = {"code"};
constexpr Signature STATUS_MESSAGE_SIGNATURE = {"status_message_py", STATUS_MESSAGE_PARAMETERS, 1};

PyObject* status_message_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!bind_arguments(STATUS_MESSAGE_SIGNATURE, args, nargsf, kwnames, slots)) return nullptr;
    // PyLong_AsLong accepts ints, bools and __index__, and refuses floats
    // and strings with a TypeError that gets the argument's name.
    const long code = PyLong_AsLong(slots[0]);
    if (code == -1 && PyErr_Occurred() != nullptr) {
        prefix_argument_error("code");
        return nullptr;
    }
    if (code < std::numeric_limits<Status>::min() || code > std::numeric_limits<Status>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return nullptr;
    }
    // The module's statuses are its nine constants: the core's lookup also
    // knows STATUS_NO_MEMORY, which the module raises as MemoryError.
    const bool constant = std::any_of(std::begin(STATUS_CONSTANTS), std::end(STATUS_CONSTANTS),
                                      [code](const StatusConstant& c) { return c.value == code; });
    const std::string_view message =
        constant ? status_message(static_cast<Status>(code)) : std::string_view{};
    if (message.empty()) {
        PyErr_Format(PyExc_ValueError, "unknown status code: %ld", code);
        return nullptr;
    }
    return PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
}

PyObject* status_message_py(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return guarded([&] { return status_message_impl(args, nargsf, kwnames); });
}

// ---------------------------------------------------------------------------
// Module definition and initialisation

template <class Function>
PyCFunction as_cfunction(Function function) noexcept {
    // The detour through void(*)() is the sanctioned way to store a
    // METH_FASTCALL function in PyMethodDef without a cast warning.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Static storage: the function objects keep pointers to their entries.
PyMethodDef METHOD_DEFS[] = {
    {"compare", as_cfunction(compare_py), METH_FASTCALL | METH_KEYWORDS,
     "compare(t_reference, y_reference, t_test, y_test, options=None)\n--\n\n"},
    {"default_options", as_cfunction(default_options_py), METH_NOARGS, "default_options()\n--\n\n"},
    {"status_message_py", as_cfunction(status_message_py), METH_FASTCALL | METH_KEYWORDS,
     "status_message_py(code)\n--\n\n"},
    {"version", as_cfunction(version_py), METH_NOARGS, "version()\n--\n\n"},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    MODULE_NAME,
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // functions are added one by one, bound to the module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide state, all set under the interpreter lock: the interpreter
// that first initialised the module, and the module object it got.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;

// Appends `name` to the module's __all__, creating the list when missing.
bool append_to_all(PyObject* module, PyObject* name) {
    py_ref all = py_ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = py_ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

bool init_module(PyObject* module) {
    py_ref module_name = py_ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : METHOD_DEFS) {
        py_ref function = py_ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return false;
        py_ref name = py_ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name || !append_to_all(module, name.get()) ||
            PyObject_SetAttr(module, name.get(), function.get()) < 0) {
            return false;
        }
    }
    for (const StatusConstant& constant : STATUS_CONSTANTS) {
        py_ref name = py_ref::steal(PyUnicode_FromString(constant.name));
        if (!name || !append_to_all(module, name.get())) return false;
        py_ref value = py_ref::steal(PyLong_FromLong(constant.value));
        if (!value || PyObject_SetAttr(module, name.get(), value.get()) < 0) return false;
    }
    return true;
}

PyObject* create_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "_velmora_funnel does not support sub-interpreters: it is already "
                        "loaded by another interpreter of this process");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);

    py_ref module = py_ref::steal(PyModule_Create2(&MODULE_DEF, PYTHON_API_VERSION));
    if (!module || !init_module(module.get())) return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace velmora::python

PyMODINIT_FUNC PyInit__velmora_funnel(void) {
    return velmora::python::guarded(velmora::python::create_module);
}
