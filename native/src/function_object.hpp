// The layout of a corvane function object; private to the runtime.
#pragma once

#include "corvane/runtime.hpp"

namespace corvane::rt::detail {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;  // __dict__ (functools.wraps, __wrapped__, user attributes)
    PyObject* weakreflist;
    PyObject* name;         // __name__ (str)
    PyObject* qualname;     // __qualname__ (str)
    PyObject* module;       // __module__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // __defaults__: tuple or NULL
    PyObject* kwdefaults;   // __kwdefaults__: dict or NULL
    PyObject* annotations;  // __annotations__: dict
    PyObject* type_params;  // __type_params__: tuple
    PyObject* code;         // __code__
    PyObject* globals;      // __globals__: the defining module's dict
    PyObject* closure;      // tuple of objects the implementation closes over, or NULL
    Impl impl;
    std::shared_ptr<const Layout>* layout;  // heap-held so the object stays a C struct
};

inline FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

// `name` as a function or module body finds it: in `globals`, then in builtins; NameError.
py::object lookup_global(PyObject* globals, const char* name);

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

}  // namespace corvane::rt::detail
