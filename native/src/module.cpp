// The module and class builders (the statements of a module body), and imports at call time.
#include "function_object.hpp"

namespace corvane::rt {

// ---------------------------------------------------------------------------------------------
// Module

Module::Module(py::module_ module)
    : module_(module), dict_(module.attr("__dict__")), name_(module.attr("__name__")) {}

py::object Module::import(const char* dotted, const char* as) {
    py::object top = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel(dotted, dict_.ptr(), nullptr, nullptr, 0));
    if (!top) throw py::error_already_set();
    if (as == nullptr) {
        std::string first(dotted);
        first = first.substr(0, first.find('.'));
        dict_[first.c_str()] = top;
        return top;
    }
    py::object mod = py::module_::import(dotted);
    dict_[as] = mod;
    return mod;
}

namespace {

// What `from module import name` does with the imported module: the attribute, else a
// submodule already in sys.modules, else CPython's ImportError.
py::object import_from(py::handle mod, const char* name) {
    PyObject* v = PyObject_GetAttrString(mod.ptr(), name);
    if (v != nullptr) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object modname = py::getattr(mod, "__name__", py::none());
    if (PyUnicode_Check(modname.ptr())) {
        py::str full = py::str("{}.{}").format(modname, name);
        PyObject* sub = PyImport_GetModule(full.ptr());
        if (sub != nullptr) return py::reinterpret_steal<py::object>(sub);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    py::object path = py::getattr(mod, "__file__", py::none());
    py::object msg;
    if (path.is_none())
        msg = py::str("cannot import name '{}' from '{}' (unknown location)").format(name, modname);
    else
        msg = py::str("cannot import name '{}' from '{}' ({})").format(name, modname, path);
    PyErr_SetImportError(msg.ptr(), modname.ptr(), path.ptr());
    throw py::error_already_set();
}

py::object import_for_from(const py::dict& globals, const char* module,
                           std::initializer_list<const char*> names) {
    int level = 0;
    while (module[level] == '.') ++level;
    py::list fromlist;
    for (const char* n : names) fromlist.append(n);
    py::object mod = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel(module + level, globals.ptr(), nullptr, fromlist.ptr(), level));
    if (!mod) throw py::error_already_set();
    return mod;
}

}  // namespace

void Module::from_import(const char* module, std::initializer_list<const char*> names) {
    py::object mod = import_for_from(dict_, module, names);
    for (const char* n : names) dict_[n] = import_from(mod, n);
}

py::object Module::from_import_as(const char* module, const char* name, const char* alias) {
    py::object mod = import_for_from(dict_, module, {name});
    py::object v = import_from(mod, name);
    dict_[alias] = v;
    return v;
}

void Module::set(const char* name, py::handle value) {
    dict_[name] = py::reinterpret_borrow<py::object>(value);
}

py::object Module::get(const char* name) const { return dict_[name]; }

py::object Module::global(const char* name) const {
    return detail::lookup_global(dict_.ptr(), name);
}

py::object Module::def(Impl impl, const Sig& sig) {
    auto layout = std::make_shared<const Layout>(sig);
    py::object fn = make_function(impl, layout, dict_, name_);
    dict_[sig.name_.c_str()] = fn;
    return fn;
}

py::object Module::closure(Impl impl, const std::shared_ptr<const Layout>& layout,
                           py::handle in_function, py::tuple closure, const std::string& qualname) {
    auto* f = detail::as_function(in_function.ptr());
    return make_function(impl, layout, py::reinterpret_borrow<py::dict>(f->globals),
                         py::reinterpret_borrow<py::object>(f->module), qualname,
                         std::move(closure));
}

// ---------------------------------------------------------------------------------------------
// ClassBuilder

ClassBuilder::ClassBuilder(Module& module, std::string name, std::string doc, py::tuple bases)
    : module_(module), name_(std::move(name)), bases_(std::move(bases)) {
    // Put there explicitly: type() would otherwise take __module__ from the importing frame.
    ns_["__module__"] = module_.name();
    ns_["__qualname__"] = py::str(name_);
    if (!doc.empty()) ns_["__doc__"] = py::str(doc);
}

ClassBuilder& ClassBuilder::def(Impl impl, const Sig& sig) {
    auto layout = std::make_shared<const Layout>(sig);
    ns_[sig.name_.c_str()] =
        make_function(impl, layout, module_.globals(), module_.name(), name_ + "." + sig.name_);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
    ns_[name] = py::reinterpret_borrow<py::object>(value);
    return *this;
}

py::object ClassBuilder::build() {
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name_), bases_, ns_);
    module_.set(name_.c_str(), cls);
    return cls;
}

// ---------------------------------------------------------------------------------------------
// Statements inside a function body

std::vector<py::object> import_names(const Call& call, const char* module,
                                     std::initializer_list<const char*> names) {
    auto* f = detail::as_function(call.function().ptr());
    py::dict globals = py::reinterpret_borrow<py::dict>(f->globals);
    py::object mod = import_for_from(globals, module, names);
    std::vector<py::object> out;
    out.reserve(names.size());
    for (const char* n : names) out.push_back(import_from(mod, n));
    return out;
}

}  // namespace corvane::rt
