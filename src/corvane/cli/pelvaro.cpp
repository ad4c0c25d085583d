// corvane.cli.pelvaro: the `pelvaro` subcommand. Serves an ASE structure database in a browser
// through corvane.data.db.ASEDBApp: waitress by default, Flask's development server with --debug.
#include <corvane/runtime.hpp>

namespace rt = corvane::rt;
namespace py = pybind11;

namespace {

const char* const kHelp = "A web application with database integration.";

py::object kw_call(py::handle fn, py::tuple args, py::dict kwargs) {
    PyObject* r = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object type_object(PyTypeObject* type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
}

// parser.add_argument(flag, **kw)
void add_argument(py::handle add, const char* flag, py::dict kw) {
    kw_call(add, py::make_tuple(flag), kw);
}

// register_parser(subparsers)
py::object register_parser(rt::Call& call) {
    py::object subparsers = py::reinterpret_borrow<py::object>(call[0]);
    py::dict kw;
    kw["help"] = kHelp;
    kw["description"] = kHelp;
    kw["formatter_class"] = call.global("CombinedFormatter");
    py::object parser = kw_call(subparsers.attr("add_parser"), py::make_tuple("pelvaro"), kw);
    py::object add = parser.attr("add_argument");
    py::object str_type = type_object(&PyUnicode_Type);
    py::object int_type = type_object(&PyLong_Type);

    kw = py::dict();
    kw["help"] = "Path to the database file.";
    add_argument(add, "db", kw);

    kw = py::dict();
    kw["default"] = "0.0.0.0";
    kw["help"] = "The host IP address to run the server on.";
    add_argument(add, "--host", kw);

    kw = py::dict();
    kw["type"] = int_type;
    kw["default"] = 80;
    kw["help"] = "The port to run the server on.";
    add_argument(add, "--port", kw);

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = py::none();
    kw["help"] = "The path to the templates directory.";
    add_argument(add, "--templates", kw);

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = py::none();
    kw["help"] = "The path to the static directory.";
    add_argument(add, "--static", kw);

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = "default";
    kw["help"] = "The name of the project.";
    add_argument(add, "--name", kw);

    kw = py::dict();
    kw["type"] = str_type;
    kw["default"] = "Corvane";
    kw["help"] = "The title of the database.";
    add_argument(add, "--title", kw);

    kw = py::dict();
    kw["nargs"] = "*";
    kw["default"] = py::none();
    kw["help"] = "List of columns to show.";
    add_argument(add, "--columns", kw);

    kw = py::dict();
    kw["action"] = "store_true";
    kw["help"] = "Enable debug mode, which uses the development server.";
    add_argument(add, "--debug", kw);

    kw = py::dict();
    kw["command"] = "pelvaro";
    kw_call(parser.attr("set_defaults"), py::tuple(), kw);
    return py::none();
}

// main(args)
py::object main_impl(rt::Call& call) {
    py::handle args = call[0];
    // Attributes are read in this order: db, name, templates, static, columns, title.
    py::object db = args.attr("db");
    py::dict kw;
    kw["name"] = args.attr("name");
    kw["templates"] = args.attr("templates");
    kw["static"] = args.attr("static");
    kw["default_columns"] = args.attr("columns");
    kw["title"] = args.attr("title");
    py::object app = kw_call(call.global("ASEDBApp"), py::make_tuple(db), kw);

    int debug = PyObject_IsTrue(args.attr("debug").ptr());
    if (debug < 0) throw py::error_already_set();
    kw = py::dict();
    kw["host"] = args.attr("host");
    kw["port"] = args.attr("port");
    if (debug) {
        kw["debug"] = py::bool_(true);
        kw_call(app.attr("run"), py::tuple(), kw);
    } else {
        kw_call(app.attr("run_server"), py::tuple(), kw);
    }
    return py::none();
}

}  // namespace

PYBIND11_MODULE(pelvaro, m) {
    rt::Module mod(m);
    mod.from_import("corvane.cli", {"CombinedFormatter"});
    mod.from_import("corvane.data.db", {"ASEDBApp"});

    mod.def(register_parser, rt::Sig("register_parser").arg("subparsers"));
    mod.def(main_impl, rt::Sig("main").arg("args"));
}
