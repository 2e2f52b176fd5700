// Test-only window onto the funnel core's steps (core/reference/), so that
// pytest can pin each step below the public module. Sequences of floats in,
// lists out. Built only with VELMORA_TEST_WINDOW, never into the wheel.
// It checks the preconditions that the driver normally guarantees, so a test
// can never drive the core out of its contract.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <span>
#include <vector>

#include "reference/reference.hpp"
#include "velmora_funnel/records.hpp"

namespace {

using Vec = std::vector<double>;

bool to_vec(PyObject* obj, Vec& out) {
    PyObject* seq = PySequence_Fast(obj, "expected a sequence of floats");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i));
        if (v == -1.0 && PyErr_Occurred()) {
            Py_DECREF(seq);
            return false;
        }
        out[static_cast<std::size_t>(i)] = v;
    }
    Py_DECREF(seq);
    return true;
}

PyObject* to_list(const Vec& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (!f) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return list;
}

PyObject* curve_tuple(const velmora::Curve& c) {
    PyObject* x = to_list(c.x);
    PyObject* y = x ? to_list(c.y) : nullptr;
    if (!y) {
        Py_XDECREF(x);
        return nullptr;
    }
    return Py_BuildValue("(NN)", x, y);
}

// Parses `count` sequence arguments (the first `count` of args) into vectors.
bool vectors(PyObject* args, std::initializer_list<Vec*> outs) {
    Py_ssize_t k = 0;
    for (Vec* v : outs) {
        if (!to_vec(PyTuple_GET_ITEM(args, k++), *v)) return false;
    }
    return true;
}

bool require(bool ok, const char* message) {
    if (!ok) PyErr_SetString(PyExc_ValueError, message);
    return ok;
}

bool same_length(std::initializer_list<const Vec*> vs) {
    const std::size_t n = (*vs.begin())->size();
    for (const Vec* v : vs) {
        if (v->size() != n) return require(false, "sequences differ in length");
    }
    return true;
}

template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* t_get_data_char(PyObject*, PyObject* args) {
    PyObject *ox, *oy;
    if (!PyArg_ParseTuple(args, "OO", &ox, &oy)) return nullptr;
    Vec x, y;
    if (!vectors(args, {&x, &y}) || !same_length({&x, &y}) || !require(!x.empty(), "empty curve"))
        return nullptr;
    const velmora::DataChar d = velmora::reference::get_data_char(x, y);
    return Py_BuildValue("(dddd)", d.x_span, d.y_span, d.x_mag, d.y_mag);
}

PyObject* t_tube_halfwidths(PyObject*, PyObject* args) {
    PyObject *ox, *oy;
    velmora::DataChar d{};
    velmora::CompareOptions o{};
    if (!PyArg_ParseTuple(args, "OO(dddd)(dddddd)", &ox, &oy, &d.x_span, &d.y_span, &d.x_mag,
                          &d.y_mag, &o.atolx, &o.atoly, &o.ltolx, &o.ltoly, &o.rtolx, &o.rtoly))
        return nullptr;
    Vec x, y;
    if (!vectors(args, {&x, &y}) || !same_length({&x, &y})) return nullptr;
    return guarded([&]() -> PyObject* {
        const velmora::reference::HalfWidths h = velmora::reference::tube_halfwidths(x, y, d, o);
        return curve_tuple(velmora::Curve{h.hx, h.hy});
    });
}

PyObject* t_build_corner_curve(PyObject*, PyObject* args) {
    PyObject *a, *b, *c, *d;
    int upper;
    if (!PyArg_ParseTuple(args, "OOOOp", &a, &b, &c, &d, &upper)) return nullptr;
    Vec x, y, hx, hy;
    if (!vectors(args, {&x, &y, &hx, &hy}) || !same_length({&x, &y, &hx, &hy}) ||
        !require(!x.empty(), "empty curve"))
        return nullptr;
    return guarded([&] {
        return curve_tuple(velmora::reference::build_corner_curve(x, y, hx, hy, upper != 0));
    });
}

template <void (*Remove)(velmora::Curve&, bool)>
PyObject* t_remove(PyObject*, PyObject* args) {
    PyObject *a, *b;
    int upper;
    if (!PyArg_ParseTuple(args, "OOp", &a, &b, &upper)) return nullptr;
    velmora::Curve c;
    if (!vectors(args, {&c.x, &c.y}) || !same_length({&c.x, &c.y})) return nullptr;
    return guarded([&] {
        Remove(c, upper != 0);
        return curve_tuple(c);
    });
}

PyObject* t_build_bounds(PyObject*, PyObject* args) {
    PyObject *a, *b, *c, *d;
    double x_mag;
    if (!PyArg_ParseTuple(args, "OOOOd", &a, &b, &c, &d, &x_mag)) return nullptr;
    Vec x, y, hx, hy;
    if (!vectors(args, {&x, &y, &hx, &hy}) || !same_length({&x, &y, &hx, &hy}) ||
        !require(x.size() >= 2, "fewer than two points"))
        return nullptr;
    return guarded([&] {
        const velmora::Bounds bounds = velmora::reference::build_bounds(x, y, hx, hy, x_mag);
        return Py_BuildValue("(NN)", curve_tuple(bounds.lower), curve_tuple(bounds.upper));
    });
}

PyObject* t_interpolate_clamped(PyObject*, PyObject* args) {
    PyObject *a, *b, *c;
    if (!PyArg_ParseTuple(args, "OOO", &a, &b, &c)) return nullptr;
    Vec X, Y, q;
    if (!vectors(args, {&X, &Y, &q}) || !same_length({&X, &Y}) ||
        !require(!X.empty(), "empty bound"))
        return nullptr;
    return guarded([&] { return to_list(velmora::reference::interpolate_clamped(X, Y, q)); });
}

PyObject* t_compute_errors(PyObject*, PyObject* args) {
    PyObject *a, *b, *c, *d, *e, *f;
    if (!PyArg_ParseTuple(args, "OOOOOO", &a, &b, &c, &d, &e, &f)) return nullptr;
    Vec t, y;
    velmora::Curve lower, upper;
    if (!vectors(args, {&t, &y, &lower.x, &lower.y, &upper.x, &upper.y}) ||
        !same_length({&t, &y}) || !same_length({&lower.x, &lower.y}) ||
        !same_length({&upper.x, &upper.y}) ||
        !require(!lower.x.empty() && !upper.x.empty(), "empty bound"))
        return nullptr;
    return guarded(
        [&] { return curve_tuple(velmora::reference::compute_errors(t, y, lower, upper)); });
}

PyObject* t_filter_to_range(PyObject*, PyObject* args) {
    PyObject *a, *b;
    double lo, hi;
    if (!PyArg_ParseTuple(args, "OOdd", &a, &b, &lo, &hi)) return nullptr;
    Vec x, y;
    if (!vectors(args, {&x, &y}) || !same_length({&x, &y})) return nullptr;
    return guarded([&] { return curve_tuple(velmora::reference::filter_to_range(x, y, lo, hi)); });
}

PyObject* t_classify_status(PyObject*, PyObject* args) {
    PyObject *a, *b, *c;
    double lo, hi;
    if (!PyArg_ParseTuple(args, "OOOdd", &a, &b, &c, &lo, &hi)) return nullptr;
    Vec r, t, e;
    if (!vectors(args, {&r, &t, &e}) || !same_length({&t, &e}) ||
        !require(!r.empty() && !t.empty(), "empty curve"))
        return nullptr;
    return PyLong_FromLong(velmora::reference::classify_status(r, t, e, lo, hi));
}

PyObject* t_status_message(PyObject*, PyObject* args) {
    int code;
    if (!PyArg_ParseTuple(args, "i", &code)) return nullptr;
    const std::string_view text = velmora::status_message(code);
    if (text.empty()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef methods[] = {
    {"get_data_char", t_get_data_char, METH_VARARGS,
     "get_data_char(x, y) -> (x_span, y_span, x_mag, y_mag)"},
    {"tube_halfwidths", t_tube_halfwidths, METH_VARARGS,
     "tube_halfwidths(x, y, data_char, (atolx, atoly, ltolx, ltoly, rtolx, rtoly)) -> (hx, hy)"},
    {"build_corner_curve", t_build_corner_curve, METH_VARARGS,
     "build_corner_curve(x, y, hx, hy, upper) -> (x, y)"},
    {"remove_loop", t_remove<velmora::reference::remove_loop>, METH_VARARGS,
     "remove_loop(x, y, upper) -> (x, y)"},
    {"remove_loop_in_place", t_remove<velmora::reference::remove_loop_in_place>, METH_VARARGS,
     "remove_loop_in_place(x, y, upper) -> (x, y)"},
    {"build_bounds", t_build_bounds, METH_VARARGS,
     "build_bounds(x, y, hx, hy, x_mag) -> (lower, upper)"},
    {"interpolate_clamped", t_interpolate_clamped, METH_VARARGS,
     "interpolate_clamped(X, Y, queries) -> list"},
    {"compute_errors", t_compute_errors, METH_VARARGS,
     "compute_errors(t, y, lower_x, lower_y, upper_x, upper_y) -> (x, y)"},
    {"filter_to_range", t_filter_to_range, METH_VARARGS, "filter_to_range(x, y, lo, hi) -> (x, y)"},
    {"classify_status", t_classify_status, METH_VARARGS,
     "classify_status(r, t, errors, lo, hi) -> int"},
    {"status_message", t_status_message, METH_VARARGS, "status_message(code) -> str | None"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_core_testing",
                          "Test-only access to the funnel core.",
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core_testing(void) { return PyModule_Create(&module_def); }
