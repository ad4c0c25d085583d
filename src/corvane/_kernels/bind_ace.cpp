#include <ace.hpp>

#include "bindings.hpp"

#include <vector>

namespace corvane::bindings {

namespace {

using Int32Array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

Int32Array int32_array(py::handle value) {
    Int32Array a = Int32Array::ensure(value);
    if (!a) throw py::error_already_set();
    return a;
}

kernels::AceBasis basis_of(std::size_t nelem, py::handle nrad, double cutoff, double r_inner,
                           double core_radius = 0, double core_energy = 0) {
    Int32Array counts = int32_array(nrad);
    if (counts.size() != kernels::kAceMaxRank + 1)
        throw py::value_error("nrad must give the radial functions of ranks 0 to 3");
    kernels::AceBasis basis;
    basis.nelem = nelem;
    basis.cutoff = cutoff;
    basis.r_inner = r_inner;
    basis.core_radius = core_radius;
    basis.core_energy = core_energy;
    for (int k = 0; k <= kernels::kAceMaxRank; ++k) basis.nrad[k] = counts.data()[k];
    basis.check();
    return basis;
}

// Terms (out, coef, slots) as arrays of lengths T, T and (T, 3).
kernels::AceProgram program_of(py::handle out, py::handle coef, py::handle slots,
                               std::size_t outputs) {
    Int32Array o = int32_array(out), s = int32_array(slots);
    DoubleArray c = DoubleArray::ensure(coef);
    if (!c) throw py::error_already_set();
    if (o.ndim() != 1 || c.ndim() != 1 || c.shape(0) != o.shape(0) || s.ndim() != 2 ||
        s.shape(0) != o.shape(0) || s.shape(1) != 3)
        throw py::value_error("a program is out (T,), coef (T,) and slots (T, 3)");
    kernels::AceProgram p;
    p.outputs = outputs;
    p.out.assign(o.data(), o.data() + o.size());
    p.coef.assign(c.data(), c.data() + c.size());
    p.slots.assign(s.data(), s.data() + s.size());
    return p;
}

Int32Array species_of(py::handle species, std::size_t n) {
    Int32Array sp = int32_array(species);
    if (sp.ndim() != 1 || static_cast<std::size_t>(sp.shape(0)) != n)
        throw py::value_error("species must have one entry per atom");
    return sp;
}

py::tuple ace(py::handle positions, py::handle cell, py::handle pbc, py::handle species,
              py::handle nrad, double cutoff, double r_inner, py::handle reference,
              py::handle element, py::handle coef, py::handle slots, int threads,
              double core_radius, double core_energy) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    const auto n = static_cast<std::size_t>(pos.shape(0));
    Int32Array sp = species_of(species, n);
    DoubleArray ref = DoubleArray::ensure(reference);
    if (!ref) throw py::error_already_set();
    if (ref.ndim() != 1 || ref.shape(0) < 1)
        throw py::value_error("reference needs one energy per element");
    const auto nelem = static_cast<std::size_t>(ref.shape(0));
    kernels::AceBasis basis = basis_of(nelem, nrad, cutoff, r_inner, core_radius, core_energy);
    // One program per element, from the terms labelled with their central element.
    kernels::AceProgram all = program_of(element, coef, slots, nelem);
    std::vector<kernels::AceProgram> programs(nelem);
    all.check(nelem * basis.slots());
    for (auto& prog : programs) prog.outputs = 1;
    for (std::size_t t = 0; t < all.size(); ++t) {
        kernels::AceProgram& prog = programs[static_cast<std::size_t>(all.out[t])];
        prog.out.push_back(0);
        prog.coef.push_back(all.coef[t]);
        const auto first = all.slots.begin() + static_cast<std::ptrdiff_t>(3 * t);
        prog.slots.insert(prog.slots.end(), first, first + 3);
    }
    kernels::AceResult r;
    {
        py::gil_scoped_release nogil;
        r = kernels::ace_compute(pos.data(), n, c.data(), p.data(), sp.data(), basis, ref.data(),
                                 programs.data(), threads);
    }
    const auto sn = static_cast<py::ssize_t>(n);
    std::vector<double> virial(r.virial.begin(), r.virial.end());
    return py::make_tuple(r.energy, owned_array(std::move(r.energies), {sn}),
                          owned_array(std::move(r.forces), {sn, 3}),
                          owned_array(std::move(virial), {3, 3}));
}

py::tuple ace_design(py::handle positions, py::handle cell, py::handle pbc, py::handle species,
                     std::size_t nelem, py::handle nrad, double cutoff, double r_inner,
                     py::handle out, py::handle coef, py::handle slots, std::size_t outputs,
                     bool derivatives) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    const auto n = static_cast<std::size_t>(pos.shape(0));
    Int32Array sp = species_of(species, n);
    kernels::AceBasis basis = basis_of(nelem, nrad, cutoff, r_inner);
    kernels::AceProgram program = program_of(out, coef, slots, outputs);
    kernels::AceDesign d;
    {
        py::gil_scoped_release nogil;
        d = kernels::ace_design(pos.data(), n, c.data(), p.data(), sp.data(), basis, program,
                                derivatives);
    }
    const auto sn = static_cast<py::ssize_t>(n), sk = static_cast<py::ssize_t>(outputs);
    const auto cols = static_cast<py::ssize_t>(nelem * outputs);
    py::object forces = py::none(), virial = py::none();
    if (derivatives) {
        forces = owned_array(std::move(d.forces), {3 * sn, cols});
        virial = owned_array(std::move(d.virial), {9, cols});
    }
    return py::make_tuple(owned_array(std::move(d.descriptors), {sn, sk}),
                          owned_array(std::move(d.energy), {cols}), forces, virial);
}

}  // namespace

void bind_ace(py::module_& m) {
    m.def("ace", &ace, py::arg("positions"), py::arg("cell"), py::arg("pbc"), py::arg("species"),
          py::arg("nrad"), py::arg("cutoff"), py::arg("r_inner"), py::arg("reference"),
          py::arg("element"), py::arg("coef"), py::arg("slots"), py::arg("threads") = 1,
          py::arg("core_radius") = 0.0, py::arg("core_energy") = 0.0,
          "Cluster-expansion energy, site energies (N,), forces (N, 3) and virial (3, 3) = sum of "
          "r (x) dE/dr over bonds, in eV. The energy polynomial of each central element is given "
          "as terms: element (T,), coef (T,), moment slots (T, 3) with -1 for a factor 1. Pairs "
          "closer than core_radius add core_energy * (core_radius / r - 1)^3.");
    m.def("ace_design", &ace_design, py::arg("positions"), py::arg("cell"), py::arg("pbc"),
          py::arg("species"), py::arg("nelem"), py::arg("nrad"), py::arg("cutoff"),
          py::arg("r_inner"), py::arg("out"), py::arg("coef"), py::arg("slots"), py::arg("outputs"),
          py::arg("derivatives") = true,
          "Least-squares rows of one structure for the descriptor program (out, coef, slots): "
          "(descriptors (N, K), energy (E*K,), forces (3N, E*K) or None, virial (9, E*K) or None); "
          "column e*K + k holds descriptor k of the atoms of element e.");
}

}  // namespace corvane::bindings
