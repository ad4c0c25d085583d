// The function type: attributes, descriptor protocol, GC, repr, pickling.
#include "function_object.hpp"

#include <structmember.h>

namespace corvane::rt {
namespace detail {
namespace {

int fn_traverse(PyObject* op, visitproc visit, void* arg) {
    FunctionObject* f = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->type_params);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    return 0;
}

int fn_clear(PyObject* op) {
    FunctionObject* f = as_function(op);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    return 0;
}

void fn_dealloc(PyObject* op) {
    FunctionObject* f = as_function(op);
    PyTypeObject* tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (f->weakreflist) PyObject_ClearWeakRefs(op);
    fn_clear(op);
    delete f->layout;
    f->layout = nullptr;
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyObject* fn_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
}

// Bound like a Python function: on an instance, a bound method; on the class, itself.
PyObject* fn_descr_get(PyObject* op, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(op);
    return PyMethod_New(op, obj);
}

// Module-level functions pickle by reference, as Python functions do.
PyObject* fn_reduce(PyObject* op, PyObject*) { return Py_NewRef(as_function(op)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- attribute access with CPython's own rules and messages ---

PyObject* get_name(PyObject* op, void*) { return Py_NewRef(as_function(op)->name); }
int set_name(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* op, void*) { return Py_NewRef(as_function(op)->qualname); }
int set_qualname(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* op, void*) {
    PyObject* d = as_function(op)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(op)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* op, void*) {
    PyObject* d = as_function(op)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* op, void*) {
    FunctionObject* f = as_function(op);
    if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_type_params(PyObject* op, void*) {
    FunctionObject* f = as_function(op);
    if (f->type_params == nullptr) return PyTuple_New(0);
    return Py_NewRef(f->type_params);
}
int set_type_params(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(op)->type_params, Py_NewRef(value));
    return 0;
}

PyObject* get_code(PyObject* op, void*) { return Py_NewRef(as_function(op)->code); }
PyObject* get_globals(PyObject* op, void*) { return Py_NewRef(as_function(op)->globals); }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_methods, fn_methods},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "corvane.function",
    sizeof(FunctionObject),
    0,
    // Immutable + method descriptor: the interpreter's fast path for method calls.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

PyTypeObject* the_type = nullptr;

}  // namespace
}  // namespace detail

PyTypeObject* function_type() {
    if (detail::the_type == nullptr) {
        PyObject* tp = PyType_FromSpec(&detail::fn_spec);
        if (tp == nullptr) throw py::error_already_set();
        detail::the_type = reinterpret_cast<PyTypeObject*>(tp);  // kept for the process's life
    }
    return detail::the_type;
}

namespace {

// A code object that describes the parameters, so inspect.signature and friends see them.
py::object make_code(const Layout& layout, PyObject* name, PyObject* filename) {
    PyCodeObject* empty = PyCode_NewEmpty(PyUnicode_AsUTF8(filename), PyUnicode_AsUTF8(name), 1);
    if (empty == nullptr) throw py::error_already_set();
    py::object code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(empty));
    py::tuple varnames(layout.nslots);
    for (Py_ssize_t i = 0; i < layout.nslots; ++i)
        varnames[i] = py::reinterpret_borrow<py::object>(layout.names[i]);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (layout.has_varargs) flags |= CO_VARARGS;
    if (layout.has_varkw) flags |= CO_VARKEYWORDS;
    return code.attr("replace")(
        py::arg("co_argcount") = layout.argcount, py::arg("co_posonlyargcount") = 0,
        py::arg("co_kwonlyargcount") = layout.kwonlycount, py::arg("co_nlocals") = layout.nslots,
        py::arg("co_flags") = flags, py::arg("co_varnames") = varnames);
}

}  // namespace

py::object make_function(Impl impl, const std::shared_ptr<const Layout>& layout, py::dict globals,
                         py::object module_name, const std::string& qualname, py::tuple closure) {
    using detail::FunctionObject;
    const Sig& sig = layout->sig;
    py::str name(sig.name_);
    py::str qual(qualname.empty() ? sig.name_ : qualname);

    // Defaults and annotations, as a def statement stores them.
    std::vector<py::object> defaults;
    py::dict kwdefaults, annotations;
    for (const Param& p : sig.params_) {
        if (p.default_value) {
            if (p.kind == ParamKind::KeywordOnly)
                kwdefaults[py::str(p.name)] = p.default_value;
            else
                defaults.push_back(p.default_value);
        }
        if (!p.annotation.empty()) annotations[py::str(p.name)] = py::str(p.annotation);
    }
    if (sig.has_return_) annotations["return"] = py::str(sig.return_annotation_);

    py::object filename = module_name ? py::str(module_name) : py::str("<corvane>");
    py::object code = make_code(*layout, name.ptr(), filename.ptr());

    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type());
    if (f == nullptr) throw py::error_already_set();
    f->vectorcall = detail::function_vectorcall;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->name = name.release().ptr();
    f->qualname = qual.release().ptr();
    f->module = module_name ? module_name.release().ptr() : Py_NewRef(Py_None);
    f->doc = sig.has_doc_ ? py::str(sig.doc_).release().ptr() : Py_NewRef(Py_None);
    if (defaults.empty()) {
        f->defaults = nullptr;
    } else {
        py::tuple t(defaults.size());
        for (size_t i = 0; i < defaults.size(); ++i) t[i] = defaults[i];
        f->defaults = t.release().ptr();
    }
    f->kwdefaults = kwdefaults.empty() ? nullptr : kwdefaults.release().ptr();
    f->annotations = annotations.release().ptr();
    f->type_params = nullptr;
    f->code = code.release().ptr();
    f->globals = globals.release().ptr();
    f->closure = closure.empty() ? nullptr : closure.release().ptr();
    f->impl = impl;
    f->layout = new std::shared_ptr<const Layout>(layout);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace corvane::rt
