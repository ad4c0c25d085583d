// Shape-checked array views shared by the modules and the kernel bindings.
#include "corvane/arrays.hpp"

#include "corvane/runtime.hpp"

#include <string>

namespace corvane::rt {

DoubleArray rows_array(py::handle value, py::ssize_t width, const char* what) {
    DoubleArray a = as_array<double>(value);
    if (a.ndim() == 1 && a.shape(0) == 0) return DoubleArray(std::vector<py::ssize_t>{0, width});
    if (a.ndim() != 2 || a.shape(1) != width)
        raise(PyExc_ValueError,
              std::string(what) + " must have shape (N, " + std::to_string(width) + ")");
    return a;
}

DoubleArray positions_array(py::handle positions) { return rows_array(positions, 3, "positions"); }

DoubleArray cell_array(py::handle cell) {
    DoubleArray a = as_array<double>(cell);
    if (a.ndim() != 2 || a.shape(0) != 3 || a.shape(1) != 3)
        raise(PyExc_ValueError, "cell must have shape (3, 3)");
    return a;
}

std::array<bool, 3> pbc_array(py::handle pbc) {
    auto a = as_array<bool>(pbc);
    if (a.size() == 1) return {a.data()[0], a.data()[0], a.data()[0]};
    if (a.size() != 3) raise(PyExc_ValueError, "pbc must have three entries");
    return {a.data()[0], a.data()[1], a.data()[2]};
}

}  // namespace corvane::rt
