// Numpy arrays between Python and the kernels: the one way every module and binding hands them
// across. In: a C-contiguous view of the wanted dtype (a copy only when the input is not one
// already), checked for shape with a ValueError naming the input. Out: a kernel's result vector
// handed over to numpy without a copy.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#pragma GCC visibility push(hidden)

namespace corvane::rt {

namespace py = pybind11;

template <typename T>
using ArrayOf = py::array_t<T, py::array::c_style | py::array::forcecast>;
using DoubleArray = ArrayOf<double>;
using IntArray = ArrayOf<std::int64_t>;
using Int32Array = ArrayOf<std::int32_t>;

// `value` as a C-contiguous array of T, converted as numpy.asarray(value, dtype) does (its
// errors included).
template <typename T>
ArrayOf<T> as_array(py::handle value) {
    ArrayOf<T> a = ArrayOf<T>::ensure(value);
    if (!a) throw py::error_already_set();
    return a;
}

// A numpy array that takes over a result vector (no copy). `Element` is the numpy dtype when it
// differs from the stored type (bool stored as std::uint8_t).
template <typename T, typename Element = T>
py::array_t<Element> owned_array(std::vector<T>&& v, std::vector<py::ssize_t> shape) {
    static_assert(sizeof(T) == sizeof(Element), "the stored type must have the element's size");
    auto* heap = new std::vector<T>(std::move(v));
    py::capsule owner(heap, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<Element>(shape, reinterpret_cast<const Element*>(heap->data()), owner);
}

// An (N, width) float64 array (an empty sequence gives (0, width)); ValueError naming `what`.
DoubleArray rows_array(py::handle value, py::ssize_t width, const char* what);

// positions (N, 3) and cell (3, 3) as contiguous float64; ValueError on wrong shapes.
DoubleArray positions_array(py::handle positions);
DoubleArray cell_array(py::handle cell);
// Periodic boundary flags: one for all three directions, or three.
std::array<bool, 3> pbc_array(py::handle pbc);

}  // namespace corvane::rt

#pragma GCC visibility pop
