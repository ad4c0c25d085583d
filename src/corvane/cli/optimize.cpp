// corvane.cli.optimize: the `optimize` subcommand — read a structure, attach a potential, relax
// it with the optimisation service and write the result.
#include <corvane/runtime.hpp>

#include "rules.hpp"

namespace rt = corvane::rt;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

const char* const kPotentialHelp =
    "The potential file of the calculator. There same default potentials.\n"
    "'pth':     pre-trained BCN ML potential.\n"
    "'tersoff': pre-trained BCN tersoff potential.\n";

// register_parser(subparsers)
py::object register_parser(rt::Call& call) {
    py::handle subparsers = call.arg("subparsers");
    py::object parser =
        subparsers.attr("add_parser")("optimize", "help"_a = "Optimize the atomic structure",
                                      "description"_a = "Optimize the atomic structure",
                                      "formatter_class"_a = call.global("CombinedFormatter"));
    py::object str_ = call.global("str"), int_ = call.global("int"), float_ = call.global("float");
    py::object add = parser.attr("add_argument");
    add("-f", "--filename", "type"_a = str_, "default"_a = py::none(),
        "help"_a = "Path to the input file for the bulk crystal structure (e.g., VASP POSCAR).");
    add("-o", "--output", "type"_a = str_, "default"_a = "optimized.vasp",
        "help"_a = "Path to save the optimized structure file.");
    add("--potential", "default"_a = "tersoff", "help"_a = kPotentialHelp);
    add("--method", "default"_a = "LBFGS",
        "help"_a = "Optimization algorithm (e.g., LBFGS, FIRE, BFGS).");
    add("--fmax", "type"_a = float_, "default"_a = 0.05,
        "help"_a = "Convergence criterion for forces.");
    add("--steps", "type"_a = int_, "default"_a = 5000,
        "help"_a = "Maximum number of optimization steps.");
    add("--pressure", "type"_a = float_, "default"_a = 0.0, "help"_a = "Target pressure (GPa).");
    add("--trajectory", "default"_a = "opt.traj",
        "help"_a = "Path to save optimization trajectory.");
    parser.attr("set_defaults")("command"_a = "optimize");
    return py::none();
}

// The text of the path of a default potential file, next to the `files` module.
py::object default_potential(rt::Call& call, const char* name) {
    py::object directory =
        call.global("Path")(call.global("files").attr("__file__")).attr("parent");
    return py::str(rt::truediv(directory, py::str(name)));
}

// main(args)
py::object main_impl(rt::Call& call) {
    py::handle args = call.arg("args");
    py::object outp = call.global("Path")(args.attr("output"));
    py::object suffix = outp.attr("suffix");
    py::object kind = rt::truthy(suffix) ? suffix : outp.attr("stem");

    py::object filename = args.attr("filename");
    rt::print(py::str("Reading initial structure from: {}").format(filename));
    py::object initial_atoms = call.global("read")(filename);

    py::object potential = args.attr("potential");
    if (potential.equal(py::str("pth")))
        potential = default_potential(call, "BCN-ms-v0.0.1.pth");
    else if (potential.equal(py::str("tersoff")))
        potential = default_potential(call, "BNC.tersoff");
    initial_atoms.attr("calc") = call.global("get_calculator")(potential);

    // A result that cannot be written must not cost a whole relaxation first.
    py::module_::import("corvane.io.atomic").attr("check_writable")(args.attr("output"));

    py::object optimized_atoms = call.global("optimize_structure")(
        initial_atoms, "fmax"_a = args.attr("fmax"), "method"_a = args.attr("method"),
        "steps"_a = args.attr("steps"), "pressure"_a = args.attr("pressure"),
        "trajectory"_a = args.attr("trajectory"));

    py::dict options;
    const bool vasp_name = kind.equal(py::str("poscar")) || kind.equal(py::str("contcar"));
    if (vasp_name || kind.equal(py::str(".vasp"))) {
        // ASE cannot tell the format from a lower-case poscar/contcar name, so it is named.
        if (vasp_name) options["format"] = "vasp";
        options["vasp5"] = true;
        options["direct"] = true;
    }
    call.global("write")(args.attr("output"), optimized_atoms, **options);

    rt::print(corvane::cli::kThinRule);
    rt::print("Optimization finished.");
    rt::print(py::str("Final optimized structure written to: {}").format(args.attr("output")));
    return py::none();
}

}  // namespace

PYBIND11_MODULE(optimize, m) {
    rt::Module mod(m);
    mod.import("argparse");
    mod.from_import("pathlib", {"Path"});
    mod.from_import("ase.io", {"read"});
    // ase.io.write, made atomic: a failed write (a full disk) leaves an existing file intact.
    mod.from_import("corvane.io.atomic", {"write"});
    mod.from_import("corvane.data", {"files"});
    mod.from_import("corvane.optimization", {"get_calculator", "optimize_structure"});
    mod.from_import("corvane.cli", {"CombinedFormatter"});

    mod.def(register_parser, rt::Sig("register_parser").arg("subparsers"));
    mod.def(main_impl, rt::Sig("main").arg("args"));
}
