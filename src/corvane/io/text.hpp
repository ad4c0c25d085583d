// Line and field handling shared by the structure-file readers: Python's own rules for
// whitespace (str.split / str.strip), and int() / float() of a field, applied to str objects
// without leaving C++.
#pragma once

#include <corvane/runtime.hpp>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace corvane::io {

namespace py = pybind11;
namespace rt = corvane::rt;

// A read-only view of the code points of a Python str.
class StrView {
public:
    explicit StrView(py::handle s) : obj_(s.ptr()) {
        kind_ = PyUnicode_KIND(obj_);
        data_ = PyUnicode_DATA(obj_);
        len_ = PyUnicode_GET_LENGTH(obj_);
    }
    Py_ssize_t size() const { return len_; }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }
    static bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

    // The characters in [begin, end) as a new str.
    py::str slice(Py_ssize_t begin, Py_ssize_t end) const {
        PyObject* s = PyUnicode_Substring(obj_, begin, end);
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(s);
    }

    // [begin, end) narrowed to drop surrounding whitespace, as str.strip() does.
    std::pair<Py_ssize_t, Py_ssize_t> strip(Py_ssize_t begin, Py_ssize_t end) const {
        while (begin < end && is_space((*this)[begin])) ++begin;
        while (end > begin && is_space((*this)[end - 1])) --end;
        return {begin, end};
    }

    // The whitespace-separated fields of [begin, end), as str.split() without arguments
    // gives them.
    std::vector<py::str> split(Py_ssize_t begin, Py_ssize_t end) const {
        std::vector<py::str> fields;
        Py_ssize_t i = begin;
        while (i < end) {
            while (i < end && is_space((*this)[i])) ++i;
            if (i == end) break;
            Py_ssize_t start = i;
            while (i < end && !is_space((*this)[i])) ++i;
            fields.push_back(slice(start, i));
        }
        return fields;
    }
    std::vector<py::str> split() const { return split(0, len_); }

private:
    PyObject* obj_;
    int kind_;
    const void* data_;
    Py_ssize_t len_;
};

// The line as a str; a reader handed bytes (a file opened in binary mode) or anything else
// says so instead of failing somewhere deeper.
inline py::handle require_text_line(py::handle line) {
    if (!PyUnicode_Check(line.ptr())) {
        rt::raise(
            PyExc_TypeError,
            "expected lines of text from readlines(), got %.200s (open the file in text mode)",
            Py_TYPE(line.ptr())->tp_name);
    }
    return line;
}

// int(field) and float(field), with the interpreter's own parsing and error messages.
inline py::object parse_int(py::handle field) {
    return rt::steal(PyLong_FromUnicodeObject(field.ptr(), 10));
}

inline py::object parse_float(py::handle field) {
    return rt::steal(PyFloat_FromString(field.ptr()));
}

// The number a float field was read as, refused when it is NaN or infinite: such a value would
// give a structure of NaN positions or cell vectors without any error. `what` names the field.
inline py::object require_finite(py::object value, const std::string& what) {
    double v = rt::as_double(value);
    if (!std::isfinite(v)) {
        rt::raise(PyExc_ValueError, what + " must be a finite number, got " +
                                        (std::isnan(v) ? std::string("nan")
                                         : v > 0       ? "inf"
                                                       : "-inf"));
    }
    return value;
}

// A structure whose cell parameters ASE accepted but which span no volume (angles that sum up to
// a flat cell, such as 120 120 120 or one of 180 degrees): its atoms would overlap and a space
// group would multiply them without end, so it is refused. `cellpar` is what the file gave.
inline void require_volume(py::handle structure, py::handle cellpar, const char* what) {
    py::object cell = structure.attr("cell");
    double volume = std::fabs(py::cast<double>(cell.attr("volume")));
    double scale = 1.0;
    for (py::handle length : cell.attr("lengths")()) scale *= py::cast<double>(length);
    // Rounding leaves a flat cell about sqrt(machine epsilon) of volume, relative to a*b*c.
    if (volume > 1e-6 * scale && scale > 0.0) return;
    std::string given;
    for (py::handle v : cellpar)
        given += (given.empty() ? "" : " ") + py::str(v).cast<std::string>();
    rt::raise(PyExc_ValueError,
              std::string(what) + " " + given + " describe a cell of zero volume");
}

// The IndexError of indexing a list past its end.
[[noreturn]] inline void raise_list_index() {
    rt::raise(PyExc_IndexError, "list index out of range");
}

// Left-aligned in a field of at least `width` characters (format "<width"); never truncates.
inline std::string left(const std::string& utf8, std::size_t width) {
    std::size_t chars = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++chars;
    return chars >= width ? utf8 : utf8 + std::string(width - chars, ' ');
}

}  // namespace corvane::io
