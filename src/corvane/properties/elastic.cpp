// corvane.properties.elastic: the elastic stiffness tensor of a relaxed structure and the
// averaged moduli derived from it.
//
// The fit and the moduli formulas are matscipy's; what is ours is the unit conversion to GPa
// and how the direction-dependent moduli are reduced to single numbers. matscipy is imported
// at each call, so the module loads (and the rest of the package works) without it.
#include <corvane/runtime.hpp>

namespace rt = corvane::rt;
namespace py = pybind11;

namespace {

using rt::add;
using rt::truediv;
using rt::truthy;

// calculate_elastic_properties(atoms)
py::object calculate_elastic_properties(rt::Call& call) {
    std::vector<py::object> imported =
        rt::import_names(call, "matscipy.elasticity", {"fit_elastic_constants", "elastic_moduli"});
    py::object fit_elastic_constants = imported[0];
    py::object elastic_moduli = imported[1];

    py::handle atoms = call.arg("atoms");
    if (!truthy(atoms.attr("calc")))
        rt::raise(PyExc_ValueError, "An ASE calculator must be attached to the atoms object.");

    // The tensor in the calculator's own unit (eV/A^3); the fit's error estimate is not used.
    std::vector<py::object> fit =
        rt::unpack(fit_elastic_constants(atoms, py::arg("verbose") = false), 2);
    py::object C_voigt_eV_A3 = fit[0];

    py::object units = call.global("units");
    py::object GPa = units.attr("GPa");
    py::object C_voigt_GPa = truediv(C_voigt_eV_A3, GPa);

    // E_matrix, nu_matrix, G_matrix, B, B_matrix (the bulk-modulus tensor is not reported).
    std::vector<py::object> moduli = rt::unpack(elastic_moduli(C_voigt_eV_A3), 5);
    const py::object& E_matrix = moduli[0];
    const py::object& nu_matrix = moduli[1];
    const py::object& G_matrix = moduli[2];
    const py::object& B = moduli[3];

    py::object youngs_modulus = truediv(E_matrix.attr("mean")(), GPa);
    py::object shear_modulus = truediv(G_matrix.attr("mean")(), GPa);
    py::object bulk_modulus = truediv(B, GPa);

    // nu_matrix holds -1 on its diagonal: adding the identity leaves the six off-diagonal
    // ratios, whose mean is the averaged Poisson's ratio.
    py::object eye = call.global("np").attr("eye")(3);
    py::object poisson_ratio = truediv(add(nu_matrix, eye).attr("sum")(), py::int_(6));

    py::dict result;
    result["elastic_constants"] = C_voigt_GPa;
    result["youngs_modulus"] = youngs_modulus;
    result["shear_modulus"] = shear_modulus;
    result["bulk_modulus"] = bulk_modulus;
    result["poisson_ratio"] = poisson_ratio;
    return std::move(result);
}

const char* const kDoc =
    R"(Calculates the elastic tensor and derived elastic properties for a structure.

    The structure must be an optimised (relaxed) structure with an ASE calculator
    attached; the 6x6 stiffness tensor is fitted from stresses under small strains.

    Args:
        atoms: ASE Atoms object with a calculator attached.

    Returns:
        dict with "elastic_constants" (6x6 Voigt tensor, GPa), "youngs_modulus",
        "shear_modulus", "bulk_modulus" (GPa) and "poisson_ratio".
    )";

}  // namespace

PYBIND11_MODULE(elastic, m) {
    rt::Module mod(m);
    mod.import("numpy", "np");
    mod.from_import("ase", {"units"});

    mod.def(calculate_elastic_properties,
            rt::Sig("calculate_elastic_properties").arg("atoms").doc(kDoc));
}
