// corvane.cli.pelvaro: the `pelvaro` subcommand. Serves an ASE structure database in a browser
// through corvane.data.db.ASEDBApp: waitress by default, Flask's development server with --debug.
#include <corvane/runtime.hpp>

namespace rt = corvane::rt;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

const char* const kHelp = "A web application with database integration.";

py::object register_parser(rt::Call& call) {
    py::handle subparsers = call.arg("subparsers");
    py::object parser =
        subparsers.attr("add_parser")("pelvaro", "help"_a = kHelp, "description"_a = kHelp,
                                      "formatter_class"_a = call.global("CombinedFormatter"));
    py::object str_ = call.global("str"), int_ = call.global("int");
    py::object add = parser.attr("add_argument");

    add("db", "help"_a = "Path to the database file.");
    add("--host", "default"_a = "0.0.0.0", "help"_a = "The host IP address to run the server on.");
    add("--port", "type"_a = int_, "default"_a = 80, "help"_a = "The port to run the server on.");
    add("--templates", "type"_a = str_, "default"_a = py::none(),
        "help"_a = "The path to the templates directory.");
    add("--static", "type"_a = str_, "default"_a = py::none(),
        "help"_a = "The path to the static directory.");
    add("--name", "type"_a = str_, "default"_a = "default", "help"_a = "The name of the project.");
    add("--title", "type"_a = str_, "default"_a = "Corvane",
        "help"_a = "The title of the database.");
    add("--columns", "nargs"_a = "*", "default"_a = py::none(),
        "help"_a = "List of columns to show.");
    add("--debug", "action"_a = "store_true",
        "help"_a = "Enable debug mode, which uses the development server.");

    parser.attr("set_defaults")("command"_a = "pelvaro");
    return py::none();
}

py::object main_impl(rt::Call& call) {
    py::handle args = call.arg("args");
    // Attributes are read in this order: db, name, templates, static, columns, title.
    py::object db = args.attr("db");
    py::object name = args.attr("name"), templates = args.attr("templates");
    py::object static_dir = args.attr("static"), columns = args.attr("columns");
    py::object title = args.attr("title");
    py::object app = call.global("ASEDBApp")(db, "name"_a = name, "templates"_a = templates,
                                             "static"_a = static_dir, "default_columns"_a = columns,
                                             "title"_a = title);

    const bool debug = rt::truthy(args.attr("debug"));
    py::object host = args.attr("host"), port = args.attr("port");
    if (debug)
        app.attr("run")("host"_a = host, "port"_a = port, "debug"_a = true);
    else
        app.attr("run_server")("host"_a = host, "port"_a = port);
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
