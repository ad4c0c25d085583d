// Objects and text: argument conversion and checks, unpacking, calls merging keywords, string
// formatting, and the lookup of names in a module namespace and builtins.
#include "function_object.hpp"

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
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, type->tp_name, Py_TYPE(value.ptr())->tp_name);
}

std::vector<py::object> unpack(py::handle value, Py_ssize_t n) {
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                  Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    std::vector<py::object> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (!PyErr_Occurred())
                raise(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n,
                      i);
            throw py::error_already_set();
        }
        out.push_back(py::reinterpret_steal<py::object>(item));
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

namespace {

// How the interpreter names a function in call errors: "module.qualname()".
py::str function_str(py::handle fn) {
    py::object qualname = py::getattr(fn, "__qualname__", py::none());
    if (!PyUnicode_Check(qualname.ptr())) return py::str(fn);
    py::object module = py::getattr(fn, "__module__", py::none());
    if (!module.is_none() && !module.equal(py::str("builtins")))
        return py::str("{}.{}()").format(module, qualname);
    return py::str("{}()").format(qualname);
}

}  // namespace

py::object call_with_kwargs(py::handle fn, py::tuple args, py::dict given, py::handle kwargs) {
    for (auto item : py::reinterpret_borrow<py::dict>(kwargs)) {
        if (given.contains(item.first))
            raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'",
                  function_str(fn).ptr(), item.first.ptr());
        given[item.first] = item.second;
    }
    return steal(PyObject_Call(fn.ptr(), args.ptr(), given.ptr()));
}

py::str concat(std::initializer_list<py::handle> parts) {
    py::str out("");
    for (py::handle p : parts)
        out = py::reinterpret_steal<py::str>(steal(PyUnicode_Concat(out.ptr(), p.ptr())).release());
    return out;
}

std::string fixed(double value, int decimals) {
    char* text = PyOS_double_to_string(value, 'f', decimals, 0, nullptr);
    if (!text) throw py::error_already_set();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

py::object builtin(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (v == nullptr) raise(PyExc_NameError, "name '%s' is not defined", name);
    return py::reinterpret_borrow<py::object>(v);
}

namespace detail {

py::object lookup_global(PyObject* globals, const char* name) {
    PyObject* v = PyDict_GetItemString(globals, name);
    if (v != nullptr) return py::reinterpret_borrow<py::object>(v);
    return builtin(name);
}

}  // namespace detail

}  // namespace corvane::rt
