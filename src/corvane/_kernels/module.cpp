// corvane._kernels: thin bindings of the numeric kernels in native/kernels. Each area binds its
// kernels in a file of its own here (bind_<area>.cpp) and is registered below.
#include "bindings.hpp"

PYBIND11_MODULE(_kernels, m) {
    m.doc() = "Numeric kernels of corvane (internal).";
    corvane::bindings::bind_neighbors(m);
    corvane::bindings::bind_polycrystal(m);
    corvane::bindings::bind_tersoff(m);
    corvane::bindings::bind_layers(m);
    corvane::bindings::bind_twins(m);
    corvane::bindings::bind_ace(m);
}
