// corvane.cli.boundary: the `boundary` subcommand, which builds a coherent twin boundary and
// writes it (and, on request, each grain) to files.
#include <corvane/runtime.hpp>

#include <string>

#include "rules.hpp"

namespace rt = corvane::rt;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using corvane::cli::kRule;

py::list int_list(std::initializer_list<int> values) {
    py::list l;
    for (int v : values) l.append(v);
    return l;
}

py::object register_parser(rt::Call& call) {
    py::handle subparsers = call.arg("subparsers");
    py::str command("boundary");
    py::str description("Create a coherent grain boundary.");
    py::object parser = subparsers.attr("add_parser")(
        command, "help"_a = description, "description"_a = description,
        "formatter_class"_a = call.global("CombinedFormatter"));
    py::object str_ = call.global("str"), int_ = call.global("int"), float_ = call.global("float");
    py::object add = parser.attr("add_argument");

    add("-f", "--filename", "type"_a = str_,
        "help"_a = "Path to the input file for the bulk crystal structure (e.g., VASP POSCAR).");
    add("-o", "--output", "type"_a = str_, "default"_a = "grain_gb.vasp",
        "help"_a = "The output file for the grain boundary.");
    add("--plane", "type"_a = int_, "nargs"_a = 3, "default"_a = int_list({1, 1, 1}),
        "help"_a = "Miller indices of the twinning plane.");
    add("--layers", "type"_a = int_, "nargs"_a = "+", "default"_a = int_list({3}),
        "help"_a =
            "Number of layers for each grain.\n"
            "If one value is given, a standard two-grain twin boundary is created. \n"
            "If multiple values are given, a multi-grain boundary is created.");
    add("--tol_surface", "type"_a = float_, "default"_a = 0.02,
        "help"_a = "Tolerance for surface creation function.");
    add("--tol_layer", "type"_a = float_, "default"_a = 0.1,
        "help"_a = "Tolerance for grouping atoms into layers in Angstroms.");
    add("--average_cutoff", "type"_a = float_, "default"_a = 0.2,
        "help"_a = "Cutoff distance for merging nearby atoms.");
    add("--delete_layers", "type"_a = int_, "nargs"_a = "*", "default"_a = py::list(),
        "help"_a = "List of layer indices to delete from the surface.");
    add("--gap", "type"_a = float_, "default"_a = 0.0,
        "help"_a = "Separation gap between the two grains in Angstroms.");
    add("--symprec", "type"_a = float_, "default"_a = 0,
        "help"_a = "Precision for spglib symmetry finding.");
    add("--vacuum", "type"_a = float_, "default"_a = 0,
        "help"_a = "Amount of vacuum to add when stack the grains in Angstroms.");
    add("--supercell", "type"_a = int_, "nargs"_a = 3, "default"_a = int_list({1, 1, 1}),
        "help"_a = "The supercell of the final structure.");
    add("--write_grains", "action"_a = "store_true",
        "help"_a = "If set, write grain structures to files.");

    parser.attr("set_defaults")("command"_a = command);
    return py::none();
}

py::object main_impl(rt::Call& call) {
    py::handle args = call.arg("args");
    py::object bulk;
    py::object filename = args.attr("filename");
    if (rt::truthy(filename)) {
        bulk = filename;
    } else {
        py::object bulk_fn = py::module_::import("ase.build").attr("bulk");
        bulk = bulk_fn("C", "diamond", "a"_a = 3.56);
    }

    py::object plane = rt::steal(PySequence_Tuple(args.attr("plane").ptr()));
    py::object gb = call.global("CoherentTwinBoundary")(
        "bulk"_a = bulk, "plane"_a = plane, "layers"_a = args.attr("layers"),
        "tol_surface"_a = args.attr("tol_surface"), "tol_layer"_a = args.attr("tol_layer"),
        "average_cutoff"_a = args.attr("average_cutoff"),
        "delete_layers"_a = args.attr("delete_layers"), "gap"_a = args.attr("gap"),
        "vacuum"_a = args.attr("vacuum"), "symprec"_a = args.attr("symprec"));
    py::object final_gb = gb.attr("create")("supercell"_a = args.attr("supercell"));

    const bool write_grains = rt::truthy(args.attr("write_grains"));
    // Every file goes through a temporary file that replaces the old one only when complete.
    py::object write_with = py::module_::import("corvane.io.atomic").attr("write_with");
    if (write_grains) {
        Py_ssize_t i = 0;
        for (py::handle grain : gb.attr("grains")) {
            write_with(py::str("grain_" + std::to_string(i) + ".vasp"), grain.attr("write"),
                       "format"_a = "vasp");
            ++i;
        }
    }

    rt::print(kRule);
    rt::print("Success: Grain boundary");
    rt::print(kRule);
    py::object output = args.attr("output");
    write_with(output, final_gb.attr("write"));
    rt::print(py::str("  Written to file {}.").format(output));
    rt::print(kRule);
    return py::none();
}

}  // namespace

PYBIND11_MODULE(boundary, m) {
    rt::Module mod(m);
    mod.from_import("corvane.cli", {"CombinedFormatter"});
    mod.from_import("corvane.build.twin", {"CoherentTwinBoundary"});

    mod.def(register_parser, rt::Sig("register_parser").arg("subparsers"));
    mod.def(main_impl, rt::Sig("main").arg("args"));
}
