// Move-only owner of one strong reference to a Python object.
//
// Every new reference the binding creates goes into a py_ref at once, so an
// early return (a failed check, a C++ exception) drops it without a manual
// Py_DECREF on each path. The two ways in are named: steal() takes over a
// new reference, borrow() adds one to a borrowed reference. release() hands
// the reference on to a call that steals it (PyTuple_SET_ITEM, the base of an
// array) or back to the interpreter as a return value.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora::python {

class py_ref {
public:
    py_ref() noexcept = default;
    py_ref(const py_ref&) = delete;
    py_ref& operator=(const py_ref&) = delete;
    py_ref(py_ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    py_ref& operator=(py_ref&& other) noexcept {
        if (this != &other) {
            reset();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~py_ref() { reset(); }

    // Takes over a new reference (possibly null: a failed API call).
    [[nodiscard]] static py_ref steal(PyObject* obj) noexcept { return py_ref(obj); }
    // Adds a reference to a borrowed object (possibly null).
    [[nodiscard]] static py_ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return py_ref(obj);
    }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    // Gives up ownership without dropping the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept { Py_CLEAR(obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit py_ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace velmora::python
