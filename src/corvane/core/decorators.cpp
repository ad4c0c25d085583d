// corvane.core.decorators: join a function with a fallback that answers when it fails.
#include <corvane/runtime.hpp>

namespace rt = corvane::rt;
namespace py = pybind11;

namespace {

std::shared_ptr<const rt::Layout> wrapper_layout;

// wrapper(*args: P.args, **kwargs: P.kwargs) -> R
// closure: (func, func_ext)
py::object wrapper(rt::Call& call) {
    PyObject* func = call.closure(0).ptr();
    PyObject* func_ext = call.closure(1).ptr();
    PyObject* args = call.arg("args").ptr();
    PyObject* kwargs = call.arg("kwargs").ptr();

    py::object kw = rt::steal(PyDict_Copy(kwargs));
    PyObject* result = PyObject_Call(func, args, kw.ptr());
    if (result != nullptr) return py::reinterpret_steal<py::object>(result);

    // Every exception of func, KeyboardInterrupt and SystemExit included, is answered by
    // func_ext. While it runs, func's exception is the one being handled, so an exception of
    // func_ext gets it as __context__, as in an `except BaseException:` block.
    PyObject* failure = PyErr_GetRaisedException();
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(failure);
    PyObject* kw_again = PyDict_Copy(kwargs);
    result = kw_again ? PyObject_Call(func_ext, args, kw_again) : nullptr;
    Py_XDECREF(kw_again);
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    Py_DECREF(failure);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// extended_func_decorator(func: Callable[P, R], func_ext) -> Callable[P, R]
py::object extended_func_decorator(rt::Call& call) {
    py::handle func = call.arg("func");
    py::tuple closure = py::make_tuple(func, call.arg("func_ext"));
    py::object inner = rt::Module::closure(wrapper, wrapper_layout, call.function(), closure,
                                           "extended_func_decorator.<locals>.wrapper");
    return call.global("functools").attr("wraps")(func)(inner);
}

}  // namespace

PYBIND11_MODULE(decorators, m) {
    rt::Module mod(m);
    mod.import("functools");
    mod.from_import("typing", {"Callable", "TypeVar"});
    try {
        mod.from_import("typing", {"ParamSpec"});
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        mod.from_import("typing_extensions", {"ParamSpec"});
    }
    mod.set("P", mod.get("ParamSpec")("P"));
    mod.set("R", mod.get("TypeVar")("R"));

    wrapper_layout = std::make_shared<const rt::Layout>(
        rt::Sig("wrapper").varargs("args", "P.args").varkw("kwargs", "P.kwargs").returns("R"));
    mod.def(extended_func_decorator, rt::Sig("extended_func_decorator")
                                         .arg("func", "Callable[P, R]")
                                         .arg("func_ext")
                                         .returns("Callable[P, R]"));
}
