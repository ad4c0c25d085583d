// corvane.cli.polycrystal: the `polycrystal` subcommand. Gathers the box and the grain layout from
// an optional parameter file and the options, picks the seed crystal and drives Polycrystal.
//
// An option left at its registered default does not override the parameter file: the defaults
// of --box and --random are instances of _DefaultList / _DefaultInt, which compare and print
// like the plain values but tell main that the user did not type them.
#include <corvane/runtime.hpp>

#include <string>

#include "rules.hpp"

namespace rt = corvane::rt;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using corvane::cli::kRule;
using rt::item;
using rt::truthy;

// [float(v) for v in values[first:last]]
py::list floats(py::handle values, Py_ssize_t first, Py_ssize_t last) {
    py::object part = rt::steal(PySequence_GetSlice(values.ptr(), first, last));
    py::list out;
    for (py::handle v : part) out.append(rt::builtin_float(v));
    return out;
}

// list(values): a new plain list (also from a list subclass).
py::object plain_list(py::handle values) { return rt::steal(PySequence_List(values.ptr())); }

py::list tail(py::handle values, Py_ssize_t first) {
    return py::list(rt::steal(PySequence_GetSlice(values.ptr(), first, PY_SSIZE_T_MAX)));
}

void pop(py::dict& d, const char* key) {
    if (d.contains(key)) PyDict_DelItemString(d.ptr(), key);
}

// Reads one parameter-file line into params (keywords box, random, lattice, node/grain).
void read_param_line(py::dict& params, py::object line) {
    line = line.attr("strip")();
    if (!truthy(line) || truthy(line.attr("startswith")("#"))) return;
    py::object fields = line.attr("split")();
    std::string keyword = py::str(item(fields, 0).attr("lower")());
    if (keyword == "box") {
        params["box"] = floats(fields, 1, 4);
    } else if (keyword == "random") {
        params["random"] = rt::builtin_int(item(fields, 1));
    } else if (keyword == "lattice") {
        params["lattice"] = item(fields, 1).attr("lower")();
    } else if (keyword == "node" || keyword == "grain") {
        if (!params.contains("node")) params["node"] = py::list();
        py::dict record;
        record["pos"] = floats(fields, 1, 4);
        record["orient"] = tail(fields, 4);
        py::list(params["node"]).append(record);
    }
}

// The parameter file, opened and closed here; a failing line keeps its own exception (the
// missing field's IndexError, the conversion's ValueError) with a note naming file and line.
void read_param_file(rt::Call& call, py::dict& params, py::handle path) {
    py::object file = call.global("open")(path, "r");
    try {
        Py_ssize_t number = 0;
        for (py::handle raw : file) {
            ++number;
            py::object line = py::reinterpret_borrow<py::object>(raw);
            try {
                read_param_line(params, line);
            } catch (py::error_already_set& e) {
                if (e.matches(PyExc_IndexError) || e.matches(PyExc_ValueError)) {
                    std::string text = py::str(line.attr("strip")());
                    std::string note = py::str(path).cast<std::string>() + ", line " +
                                       std::to_string(number) + ": " + text;
                    if (e.matches(PyExc_IndexError)) note += " (a value is missing)";
                    e.value().attr("add_note")(note);
                }
                throw;
            }
        }
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

py::object register_parser(rt::Call& call) {
    py::handle subparsers = call.arg("subparsers");
    py::object parser =
        subparsers.attr("add_parser")("polycrystal", "help"_a = "Generate Polycrystal.",
                                      "description"_a = "Generate Polycrystal.",
                                      "formatter_class"_a = call.global("CombinedFormatter"));
    py::object add = parser.attr("add_argument");
    py::object str_ = call.global("str"), int_ = call.global("int"), float_ = call.global("float");

    add("-f", "--filename", "type"_a = str_, "default"_a = py::none(),
        "help"_a = "filename of the structure file (e.g., POSCAR, CONTCAR, cif).");
    add("--prefix", "type"_a = str_, "default"_a = "polycrystal",
        "help"_a = "The prefix of the output files");
    add("-o", "--output", "type"_a = str_, "default"_a = "polycrystal.cfg",
        "help"_a = "Path for the main output file (optional for default run).");
    add("--param-file", "default"_a = py::none(),
        "help"_a = "[Optional] Path to a text file with generation parameters.");

    py::object group = parser.attr("add_mutually_exclusive_group")("required"_a = false);
    py::object group_add = group.attr("add_argument");
    group_add("--random", "type"_a = int_, "default"_a = call.global("_DefaultInt")(8),
              "help"_a = "Generate N random grains.");
    py::list choices;
    for (const char* name : {"fcc", "bcc", "diamond", "hcp"}) choices.append(name);
    group_add("--lattice", "choices"_a = choices, "default"_a = py::none(),
              "help"_a = "Arrange grains on a crystal lattice.");
    group_add("--node", "nargs"_a = "+", "action"_a = "append", "default"_a = py::none(),
              "help"_a =
                  "Define a grain explicitly. Can be used multiple times.\n"
                  "Ex: --node 10 10 10 45 30 0");

    add("--box", "type"_a = float_, "nargs"_a = 3,
        "default"_a = call.global("_DefaultList")(py::make_tuple(80.0, 80.0, 80.0)),
        "help"_a = "Size of the final simulation box (x y z).");
    add("--formats", "nargs"_a = "*", "default"_a = py::list(),
        "help"_a = "List of additional output formats (e.g., xyz cfg).");
    add("--remove-doubles", "type"_a = float_, "metavar"_a = "R", "default"_a = py::none(),
        "help"_a = "Remove atoms closer than R Angstroms.");
    add("--no-wrap", "action"_a = "store_true", "help"_a = "Do not wrap atoms into the box.");
    add("--verbose", "action"_a = "store_true",
        "help"_a = "Print debug messages and write intermediate files.");

    parser.attr("set_defaults")("command"_a = "polycrystal");
    return py::none();
}

// main(args)
py::object main_impl(rt::Call& call) {
    py::handle args = call.arg("args");
    py::dict params;

    py::object param_file = args.attr("param_file");
    if (truthy(param_file)) {
        params["param_file"] = param_file;
        read_param_file(call, params, param_file);
    }
    const bool file_has_mode =
        params.contains("random") || params.contains("lattice") || params.contains("node");

    py::object box = args.attr("box");
    if (truthy(box)) {
        if (!py::isinstance(box, call.global("_DefaultList")))
            params["box"] = box;
        else if (!params.contains("box"))
            params["box"] = plain_list(box);
    }
    py::object random = args.attr("random");
    if (truthy(random)) {
        bool is_default = py::isinstance(random, call.global("_DefaultInt"));
        if (!(is_default && file_has_mode)) {
            params["random"] = is_default ? rt::builtin_int(random) : random;
            pop(params, "node");
            pop(params, "lattice");
        }
    }
    py::object lattice = args.attr("lattice");
    if (truthy(lattice)) {
        params["lattice"] = lattice;
        pop(params, "node");
        pop(params, "random");
    }
    py::object node = args.attr("node");
    if (truthy(node)) {
        py::list records;
        for (py::handle values : node) {
            py::dict record;
            record["pos"] = floats(values, 0, 3);
            record["orient"] = tail(values, 3);
            records.append(record);
        }
        params["node"] = records;
        pop(params, "random");
        pop(params, "lattice");
    }

    if (!params.contains("box"))
        rt::raise(PyExc_ValueError,
                  "A final box size is required. Use --box or define it in --param-file.");
    if (!params.contains("random") && !params.contains("lattice") && !params.contains("node"))
        rt::raise(PyExc_ValueError,
                  "A generation mode is required. Use --random, --lattice, or --node.");

    py::object seed = args.attr("filename");
    py::object output = args.attr("output");
    if (!truthy(seed)) seed = call.global("bulk")("Al", "fcc", "a"_a = 4.046, "cubic"_a = true);
    py::object prefix =
        truthy(output) ? call.global("Path")(output).attr("stem") : args.attr("prefix");

    py::object verbose = args.attr("verbose");
    py::object generator = call.global("Polycrystal")("seed"_a = seed, "params"_a = params,
                                                      "prefix"_a = prefix, "verbose"_a = verbose);

    py::bool_ wrap(!truthy(args.attr("no_wrap")));
    py::object remove_doubles = args.attr("remove_doubles");
    py::object polycrystal = generator.attr("generate_polycrystal")(
        "wrap"_a = wrap, "remove_doubles"_a = remove_doubles);

    rt::print(kRule);
    rt::print("Success: Polycrystal Generation");
    rt::print(kRule);

    py::object formats = args.attr("formats");
    generator.attr("write_final_files")(polycrystal, "output"_a = output, "formats"_a = formats);

    rt::print(kRule);
    return py::none();
}

}  // namespace

PYBIND11_MODULE(polycrystal, m) {
    rt::Module mod(m);
    mod.from_import("pathlib", {"Path"});
    mod.from_import("ase.build", {"bulk"});
    mod.from_import("corvane.cli", {"CombinedFormatter"});
    mod.from_import("corvane.build.polycrystal", {"Polycrystal"});

    py::object int_type = mod.global("int"), list_type = mod.global("list");
    rt::ClassBuilder(mod, "_DefaultInt",
                     "The registered default of an int option: equal to the plain value, but "
                     "not typed by the user.",
                     py::make_tuple(int_type))
        .attr("__slots__", py::tuple())
        .build();
    rt::ClassBuilder(mod, "_DefaultList",
                     "The registered default of a list option: equal to the plain value, but "
                     "not typed by the user.",
                     py::make_tuple(list_type))
        .attr("__slots__", py::tuple())
        .build();

    mod.def(register_parser, rt::Sig("register_parser").arg("subparsers"));
    mod.def(main_impl, rt::Sig("main").arg("args"));
}
