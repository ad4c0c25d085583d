// The corvane runtime: what makes a C++ extension module look, to Python code, like a module
// written in Python.
//
//   * `Function`: a function type with __defaults__, __kwdefaults__, __annotations__, __doc__,
//     __dict__, a real __code__ (so inspect.signature works), method binding, vectorcall, and
//     CPython's own TypeError wording for bad calls.
//   * `Module` / `ClassBuilder`: the statements of a module body (imports, constants, def, class).
//   * `Call`: one call's arguments, read by parameter name, and the module's globals.
//   * `raise`: every exception a module raises itself, with the interpreter's formatting.
//   * Objects: Python's operators, `x[k]`, `a, b = x`, float(x) / int(x), calls merging keywords.
//   * Argument checks on entry: float conversion and the exact-type check.
//   * Text: format(value, spec), concatenation, fixed-point numbers; `print` through Python's
//     own print().
//
// pybind11 is the object layer and its vocabulary is used as it is: handles, attribute access,
// calls with keywords (`fn(x, "name"_a = v)`, `fn(*args, **kwargs)`), `py::isinstance`, `py::len`.
// Numpy arrays cross between modules and kernels through corvane/arrays.hpp.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Hidden like pybind11's own namespace: each extension module keeps its own copy.
#pragma GCC visibility push(hidden)

namespace corvane::rt {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// Signatures

enum class ParamKind { PositionalOrKeyword, VarPositional, KeywordOnly, VarKeyword };

struct Param {
    std::string name;
    std::string annotation;    // empty: not annotated
    py::object default_value;  // null: no default
    ParamKind kind = ParamKind::PositionalOrKeyword;
};

// A function's declaration: name, parameters in source order, return annotation, docstring.
// Parameters must be declared in Python's order: positional-or-keyword, *args, keyword-only,
// **kwargs. Defaults are evaluated by the caller once, when the module is loaded.
class Sig {
public:
    explicit Sig(std::string name) : name_(std::move(name)) {}

    Sig& arg(std::string name, std::string annotation = {});
    Sig& opt(std::string name, py::object default_value, std::string annotation = {});
    Sig& varargs(std::string name, std::string annotation = {});
    Sig& kwonly(std::string name, std::string annotation = {});
    Sig& kwonly_opt(std::string name, py::object default_value, std::string annotation = {});
    Sig& varkw(std::string name, std::string annotation = {});
    Sig& returns(std::string annotation);
    Sig& doc(std::string text);

    const std::string& name() const { return name_; }

    // Read by the runtime when it builds the function object.
    std::string name_;
    std::vector<Param> params_;
    std::string return_annotation_;
    bool has_return_ = false;
    std::string doc_;
    bool has_doc_ = false;
};

// The immutable calling layout derived from a Sig, shared by every function object made from it.
// Slots are ordered as CPython orders a frame's arguments: positional-or-keyword, keyword-only,
// *args, **kwargs.
class Layout {
public:
    explicit Layout(const Sig& sig);
    ~Layout();
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;

    Py_ssize_t argcount = 0;  // positional-or-keyword
    Py_ssize_t kwonlycount = 0;
    bool has_varargs = false;
    bool has_varkw = false;
    Py_ssize_t nslots = 0;
    std::vector<PyObject*> names;  // interned, one per slot
    Sig sig;

    // The slot of the parameter `name`; std::logic_error when the signature has none. Inline:
    // a function body reads its arguments through it on every call.
    Py_ssize_t slot(const char* name) const {
        for (std::size_t i = 0; i < slot_names_.size(); ++i)
            if (slot_names_[i][0] == name[0] && std::strcmp(slot_names_[i], name) == 0)
                return static_cast<Py_ssize_t>(i);
        no_such_parameter(name);
    }

private:
    [[noreturn]] void no_such_parameter(const char* name) const;
    std::vector<const char*> slot_names_;  // into sig.params_, one per slot
};

// ---------------------------------------------------------------------------------------------
// Calls

class Call;
using Impl = py::object (*)(Call&);

// The bound arguments of one call, plus access to the function's module namespace and closure.
// Handles are borrowed for the duration of the call.
class Call {
public:
    // The argument bound to the parameter `name` of the function's signature (for *args the
    // tuple, for **kwargs the dict).
    py::handle arg(const char* name) const { return slots_[layout_->slot(name)]; }
    // All arguments in slot order (positional-or-keyword, keyword-only, *args, **kwargs), for
    // code that walks every argument.
    py::handle slot(Py_ssize_t i) const { return slots_[i]; }
    Py_ssize_t size() const { return nslots_; }
    // A name as the function body sees it, looked up now: the module dict, then builtins
    // (so rebinding a module attribute, or shadowing a builtin, changes later calls);
    // NameError if absent.
    py::object global(const char* name) const;
    // The i-th object of the function's closure.
    py::handle closure(Py_ssize_t i) const;
    // The function object being called.
    py::handle function() const { return function_; }

    Call(PyObject* function, const Layout* layout, PyObject** slots, Py_ssize_t nslots)
        : function_(function), layout_(layout), slots_(slots), nslots_(nslots) {}

private:
    PyObject* function_;
    const Layout* layout_;
    PyObject** slots_;
    Py_ssize_t nslots_;
};

// Creates a function object. `globals` is the module dict the function looks names up in,
// `module_name` its __module__, `qualname` its __qualname__ (the Sig's name when empty),
// `closure` a tuple of objects the implementation reads through Call::closure (may be null).
py::object make_function(Impl impl, const std::shared_ptr<const Layout>& layout, py::dict globals,
                         py::object module_name, const std::string& qualname = {},
                         py::tuple closure = py::tuple());

// The function type of this extension module (created on first use).
PyTypeObject* function_type();

// ---------------------------------------------------------------------------------------------
// Module and class builders

class ClassBuilder;

class Module {
public:
    explicit Module(py::module_ module);

    // `import a.b`  binds `a`;  `import a.b as c` binds `c` to a.b.  Returns the bound object.
    py::object import(const char* dotted, const char* as = nullptr);
    // `from module import name, ...` (relative when `module` starts with dots).
    void from_import(const char* module, std::initializer_list<const char*> names);
    // `from module import name as alias`.
    py::object from_import_as(const char* module, const char* name, const char* alias);
    // Binds a module attribute.
    void set(const char* name, py::handle value);
    py::object get(const char* name) const;
    // A name as the module body sees it: the module dict, then builtins; NameError if absent.
    py::object global(const char* name) const;
    // `def`: creates a module-level function and binds it.
    py::object def(Impl impl, const Sig& sig);
    // A function made at call time (a closure) whose module is this one.
    static py::object closure(Impl impl, const std::shared_ptr<const Layout>& layout,
                              py::handle in_function, py::tuple closure,
                              const std::string& qualname);

    py::module_& module() { return module_; }
    py::dict globals() const { return dict_; }
    py::object name() const { return name_; }

private:
    py::module_ module_;
    py::dict dict_;
    py::object name_;
};

// `class Name(bases): ...` built through type(name, bases, namespace): an ordinary class.
class ClassBuilder {
public:
    ClassBuilder(Module& module, std::string name, std::string doc = {},
                 py::tuple bases = py::tuple());
    ClassBuilder& def(Impl impl, const Sig& sig);  // a method; qualname "Class.name"
    ClassBuilder& attr(const char* name, py::handle value);
    // Creates the class and binds it in the module.
    py::object build();

private:
    Module& module_;
    std::string name_;
    py::tuple bases_;
    py::dict ns_;
};

// ---------------------------------------------------------------------------------------------
// Raising

// `raise type(message)`, the one way a module raises an exception of its own. With arguments the
// message is formatted as the interpreter formats its own (PyErr_Format: %s, %d, %zd, %U for a
// str object, %S for str(obj), %R for repr(obj), %.200s ...); without, it is taken as written.
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* message, Args... args) {
    if constexpr (sizeof...(Args) == 0)
        PyErr_SetString(type, message);
    else
        PyErr_Format(type, message, args...);
    throw py::error_already_set();
}
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    raise(type, message.c_str());
}
// The message as a Python object (raised as it is, like `raise ValueError(obj)`).
[[noreturn]] inline void raise(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------------------------
// Objects: Python's statements and operators with the interpreter's own semantics and errors

// A new reference returned by the C API, or the pending Python error thrown.
inline py::object steal(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}
// An int status of the C API (negative on error), or the pending Python error thrown.
inline int check(int status) {
    if (status < 0) throw py::error_already_set();
    return status;
}
inline py::object add(py::handle a, py::handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }
inline py::object sub(py::handle a, py::handle b) {
    return steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
    return steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object truediv(py::handle a, py::handle b) {
    return steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object remainder(py::handle a, py::handle b) {
    return steal(PyNumber_Remainder(a.ptr(), b.ptr()));
}
inline py::object power(py::handle a, py::handle b) {
    return steal(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
}
// `if value:`
inline bool truthy(py::handle value) { return check(PyObject_IsTrue(value.ptr())) != 0; }
// `container[key]` and `container[index]`, with the container's own errors.
inline py::object item(py::handle container, py::handle key) {
    return steal(PyObject_GetItem(container.ptr(), key.ptr()));
}
inline py::object item(py::handle container, Py_ssize_t index) {
    return item(container, py::int_(index));
}
// float(value) and int(value), the builtins (they parse strings, unlike a typed parameter).
inline py::object builtin_float(py::handle value) { return steal(PyNumber_Float(value.ptr())); }
inline py::object builtin_int(py::handle value) { return steal(PyNumber_Long(value.ptr())); }

// `a, b, c = value`: exactly `n` items of any iterable, with the interpreter's errors for a
// non-iterable (TypeError) and for too few or too many items (ValueError).
std::vector<py::object> unpack(py::handle value, Py_ssize_t n);

// `fn(*args, **given, **kwargs)`: the given keywords first, then the caller's, with the
// interpreter's TypeError when a keyword arrives twice.
py::object call_with_kwargs(py::handle fn, py::tuple args, py::dict given, py::handle kwargs);

// `from module import a, b` executed inside a function, at each call (relative when `module`
// starts with dots, resolved against the function's module). Returns the objects in the order
// of `names`; errors are the import statement's own (ModuleNotFoundError, ImportError).
std::vector<py::object> import_names(const Call& call, const char* module,
                                     std::initializer_list<const char*> names);

// ---------------------------------------------------------------------------------------------
// Argument checks on entry

// Python's float conversion as a typed double parameter does it: floats, ints and objects with
// __float__/__index__ are accepted; anything else raises the conversion's TypeError.
double as_double(py::handle value);
py::float_ to_float(py::handle value);

// The exact-type check: `value` must be exactly of `type` (no subclass); None passes only when
// `none_ok`. TypeError "Argument 'name' has incorrect type (expected T, got U)" otherwise.
void check_exact(py::handle value, PyTypeObject* type, const char* name, bool none_ok = false);

// ---------------------------------------------------------------------------------------------
// Text

// format(value, spec), as an f-string replacement field {value:spec} does it.
inline py::str format(py::handle value, const char* spec) {
    return py::reinterpret_steal<py::str>(
        steal(PyObject_Format(value.ptr(), py::str(spec).ptr())).release());
}
// The parts joined, as `a + b + ...` on str objects.
py::str concat(std::initializer_list<py::handle> parts);
// A float as format(value, ".Nf") gives it.
std::string fixed(double value, int decimals);

// A builtin by name (print, str, ...), for the runtime's lookups; modules use Call::global or
// Module::global, which honour the module namespace first.
py::object builtin(const char* name);

// Calls the builtins' print() (looked up at each call, so redirection and capture work).
template <typename... Args>
void print(Args&&... args) {
    builtin("print")(std::forward<Args>(args)...);
}

}  // namespace corvane::rt

#pragma GCC visibility pop
