// corvane.cli.polycrystal: the `polycrystal` subcommand. Gathers the box and the grain layout from
// an optional parameter file and the options, picks the seed crystal and drives Polycrystal.
//
// An option left at its registered default does not override the parameter file: the defaults
// of --box and --random are instances of _DefaultList / _DefaultInt, which compare and print
// like the plain values but tell main that the user did not type them.
#include <corvane/runtime.hpp>

#include <string>

namespace rt = corvane::rt;
namespace py = pybind11;

namespace {

const char* const kBanner = "============================================================";

py::object kw_call(py::handle fn, py::tuple args, py::dict kwargs) {
    PyObject* r = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

using rt::truthy;

py::object item(py::handle sequence, Py_ssize_t i) {
    PyObject* r = PySequence_GetItem(sequence.ptr(), i);  // IndexError when the field is missing
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object to_float_text(py::handle text) {
    PyObject* r = PyNumber_Float(text.ptr());  // float(text)
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object to_int_text(py::handle text) {
    PyObject* r = PyNumber_Long(text.ptr());  // int(text)
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// [float(v) for v in values[first:last]]
py::list floats(py::handle values, Py_ssize_t first, Py_ssize_t last) {
    py::object part = py::reinterpret_steal<py::object>(PySequence_GetSlice(values.ptr(), first, last));
    if (!part) throw py::error_already_set();
    py::list out;
    for (py::handle v : part) out.append(to_float_text(v));
    return out;
}

// list(values): a new plain list (also from a list subclass).
py::object plain_list(py::handle values) {
    PyObject* r = PySequence_List(values.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::list tail(py::handle values, Py_ssize_t first) {
    py::object part = py::reinterpret_steal<py::object>(
        PySequence_GetSlice(values.ptr(), first, PY_SSIZE_T_MAX));
    if (!part) throw py::error_already_set();
    return py::list(part);
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
        params["random"] = to_int_text(item(fields, 1));
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

// register_parser(subparsers)
py::object register_parser(rt::Call& call) {
    py::object subparsers = py::reinterpret_borrow<py::object>(call[0]);
    py::dict kw;
    kw["help"] = "Generate Polycrystal.";
    kw["description"] = "Generate Polycrystal.";
    kw["formatter_class"] = call.global("CombinedFormatter");
    py::object parser = kw_call(subparsers.attr("add_parser"), py::make_tuple("polycrystal"), kw);
    py::object add = parser.attr("add_argument");
    py::object str_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::object int_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type));
    py::object float_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = py::none();
    kw["help"] = "filename of the structure file (e.g., POSCAR, CONTCAR, cif).";
    kw_call(add, py::make_tuple("-f", "--filename"), kw);

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = "polycrystal";
    kw["help"] = "The prefix of the output files";
    kw_call(add, py::make_tuple("--prefix"), kw);

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = "polycrystal.cfg";
    kw["help"] = "Path for the main output file (optional for default run).";
    kw_call(add, py::make_tuple("-o", "--output"), kw);

    kw = py::dict();
    kw["default"] = py::none();
    kw["help"] = "[Optional] Path to a text file with generation parameters.";
    kw_call(add, py::make_tuple("--param-file"), kw);

    kw = py::dict();
    kw["required"] = false;
    py::object group = kw_call(parser.attr("add_mutually_exclusive_group"), py::tuple(), kw);
    py::object group_add = group.attr("add_argument");

    kw = py::dict();
    kw["type"] = int_type;
    kw["default"] = call.global("_DefaultInt")(8);
    kw["help"] = "Generate N random grains.";
    kw_call(group_add, py::make_tuple("--random"), kw);

    kw = py::dict();
    py::list choices;
    for (const char* name : {"fcc", "bcc", "diamond", "hcp"}) choices.append(name);
    kw["choices"] = choices;
    kw["default"] = py::none();
    kw["help"] = "Arrange grains on a crystal lattice.";
    kw_call(group_add, py::make_tuple("--lattice"), kw);

    kw = py::dict();
    kw["nargs"] = "+";
    kw["action"] = "append";
    kw["default"] = py::none();
    kw["help"] = "Define a grain explicitly. Can be used multiple times.\nEx: --node 10 10 10 45 30 0";
    kw_call(group_add, py::make_tuple("--node"), kw);

    kw = py::dict();
    kw["type"] = float_type;
    kw["nargs"] = 3;
    kw["default"] = call.global("_DefaultList")(py::make_tuple(80.0, 80.0, 80.0));
    kw["help"] = "Size of the final simulation box (x y z).";
    kw_call(add, py::make_tuple("--box"), kw);

    kw = py::dict();
    kw["nargs"] = "*";
    kw["default"] = py::list();
    kw["help"] = "List of additional output formats (e.g., xyz cfg).";
    kw_call(add, py::make_tuple("--formats"), kw);

    kw = py::dict();
    kw["type"] = float_type;
    kw["metavar"] = "R";
    kw["default"] = py::none();
    kw["help"] = "Remove atoms closer than R Angstroms.";
    kw_call(add, py::make_tuple("--remove-doubles"), kw);

    kw = py::dict();
    kw["action"] = "store_true";
    kw["help"] = "Do not wrap atoms into the box.";
    kw_call(add, py::make_tuple("--no-wrap"), kw);

    kw = py::dict();
    kw["action"] = "store_true";
    kw["help"] = "Print debug messages and write intermediate files.";
    kw_call(add, py::make_tuple("--verbose"), kw);

    kw = py::dict();
    kw["command"] = "polycrystal";
    kw_call(parser.attr("set_defaults"), py::tuple(), kw);
    return py::none();
}

bool is_instance(py::handle value, py::handle cls) {
    int r = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// main(args)
py::object main_impl(rt::Call& call) {
    py::handle args = call[0];
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
        if (!is_instance(box, call.global("_DefaultList"))) params["box"] = box;
        else if (!params.contains("box")) params["box"] = plain_list(box);
    }
    py::object random = args.attr("random");
    if (truthy(random)) {
        bool is_default = is_instance(random, call.global("_DefaultInt"));
        if (!(is_default && file_has_mode)) {
            params["random"] = is_default ? to_int_text(random) : random;
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
        throw py::value_error("A final box size is required. Use --box or define it in --param-file.");
    if (!params.contains("random") && !params.contains("lattice") && !params.contains("node"))
        throw py::value_error("A generation mode is required. Use --random, --lattice, or --node.");

    py::object seed = args.attr("filename");
    py::object output = args.attr("output");
    if (!truthy(seed)) {
        py::dict bkw;
        bkw["a"] = 4.046;
        bkw["cubic"] = true;
        seed = kw_call(call.global("bulk"), py::make_tuple("Al", "fcc"), bkw);
    }
    py::object prefix = truthy(output) ? call.global("Path")(output).attr("stem") : args.attr("prefix");

    py::dict ckw;
    ckw["seed"] = seed;
    ckw["params"] = params;
    ckw["prefix"] = prefix;
    ckw["verbose"] = args.attr("verbose");
    py::object generator = kw_call(call.global("Polycrystal"), py::tuple(), ckw);

    py::dict gkw;
    gkw["wrap"] = py::bool_(!truthy(args.attr("no_wrap")));
    gkw["remove_doubles"] = args.attr("remove_doubles");
    py::object polycrystal = kw_call(generator.attr("generate_polycrystal"), py::tuple(), gkw);

    rt::print(kBanner);
    rt::print("Success: Polycrystal Generation");
    rt::print(kBanner);

    py::dict wkw;
    wkw["output"] = output;
    wkw["formats"] = args.attr("formats");
    kw_call(generator.attr("write_final_files"), py::make_tuple(polycrystal), wkw);

    rt::print(kBanner);
    return py::none();
}

}  // namespace

PYBIND11_MODULE(polycrystal, m) {
    rt::Module mod(m);
    mod.from_import("pathlib", {"Path"});
    mod.from_import("ase.build", {"bulk"});
    mod.from_import("corvane.cli", {"CombinedFormatter"});
    mod.from_import("corvane.build.polycrystal", {"Polycrystal"});

    py::object int_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type));
    py::object list_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyList_Type));
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
