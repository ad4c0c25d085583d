// Argument checking on entry: float conversion and the exact-type check.
#include "corvane/runtime.hpp"

namespace corvane::rt {

double as_double(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

py::float_ to_float(py::handle value) { return py::float_(as_double(value)); }

void check_exact(py::handle value, PyTypeObject* type, const char* name, bool none_ok) {
    if (Py_TYPE(value.ptr()) == type) return;
    if (none_ok && value.is_none()) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type->tp_name, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

}  // namespace corvane::rt
