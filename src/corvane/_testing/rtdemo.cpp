// corvane._testing.rtdemo: small functions that exercise every feature of the runtime, for the
// runtime's tests and the call-overhead benchmark.
#include <corvane/runtime.hpp>

namespace rt = corvane::rt;
namespace py = pybind11;

namespace {

// add3(a, b, c=1): a + b + c
py::object add3(rt::Call& call) {
    return rt::add(rt::add(call.arg("a"), call.arg("b")), call.arg("c"));
}

// third(a, b, c=1): c — a body that costs nothing, for measuring call overhead alone.
py::object third(rt::Call& call) { return py::reinterpret_borrow<py::object>(call.arg("c")); }

// Returns its bound arguments as a tuple, in slot order.
py::object echo(rt::Call& call) {
    py::tuple t(call.size());
    for (Py_ssize_t i = 0; i < call.size(); ++i) t[i] = call.slot(i);
    return std::move(t);
}

// callback(fn, *args, **kwargs): calls fn and returns what it returns.
py::object callback(rt::Call& call) {
    return py::reinterpret_borrow<py::object>(call.arg("fn"))(*call.arg("args"),
                                                              **call.arg("kwargs"));
}

py::object scale(rt::Call& call) { return py::float_(2.0 * rt::as_double(call.arg("x"))); }

py::object typed(rt::Call& call) {
    rt::check_exact(call.arg("items"), &PyList_Type, "items");
    rt::check_exact(call.arg("shape"), &PyTuple_Type, "shape", /*none_ok=*/true);
    return py::none();
}

py::object fail(rt::Call& call) { rt::raise(PyExc_ValueError, py::str(call.arg("message"))); }

py::object say(rt::Call& call) {
    rt::print(call.arg("text"), py::arg("end") = call.arg("end"));
    return py::none();
}

// Uses the module-level name `helper` as bound at the time of the call.
py::object use_helper(rt::Call& call) { return call.global("helper")(call.arg("x")); }

py::object counter_init(rt::Call& call) {
    call.arg("self").attr("count") = call.arg("start");
    return py::none();
}

py::object counter_bump(rt::Call& call) {
    py::object self = py::reinterpret_borrow<py::object>(call.arg("self"));
    py::object count = self.attr("count");
    self.attr("count") = count.attr("__add__")(call.arg("by"));
    return self.attr("count");
}

}  // namespace

PYBIND11_MODULE(rtdemo, m) {
    rt::Module mod(m);
    mod.import("os.path");
    mod.from_import("os.path", {"join"});
    mod.from_import_as("os", "sep", "SEPARATOR");
    mod.set("helper", mod.global("abs"));
    mod.set("DEFAULT_LIST", py::list());

    mod.def(add3, rt::Sig("add3").arg("a").arg("b").opt("c", py::int_(1)).doc("Sum of three."));
    mod.def(third, rt::Sig("third").arg("a").arg("b").opt("c", py::int_(1)));
    mod.def(echo, rt::Sig("echo")
                      .arg("a", "int")
                      .opt("b", mod.get("DEFAULT_LIST"), "list")
                      .varargs("rest")
                      .kwonly("key", "str")
                      .kwonly_opt("flag", py::bool_(false))
                      .varkw("extra")
                      .returns("tuple"));
    mod.def(echo, rt::Sig("kwonly_only").kwonly("x").kwonly_opt("y", py::int_(2)));
    mod.def(echo, rt::Sig("many").arg("a").arg("b").arg("c").arg("d").opt("e", py::none()));
    mod.def(callback, rt::Sig("callback").arg("fn").varargs("args").varkw("kwargs"));
    mod.def(scale, rt::Sig("scale").arg("x", "float"));
    mod.def(typed, rt::Sig("typed").arg("items", "list").opt("shape", py::none(), "tuple"));
    mod.def(fail, rt::Sig("fail").arg("message"));
    mod.def(say, rt::Sig("say").arg("text").opt("end", py::str("\n")));
    mod.def(use_helper, rt::Sig("use_helper").arg("x"));

    rt::ClassBuilder(mod, "Counter", "Counts.")
        .def(counter_init, rt::Sig("__init__").arg("self").opt("start", py::int_(0)))
        .def(counter_bump, rt::Sig("bump").arg("self").opt("by", py::int_(1), "int").returns("int"))
        .build();
}
