// Calling a corvane function: vectorcall entry, argument binding with CPython's rules and
// messages, the hand-off of C++ exceptions to Python, and what a body reads through `Call`.
#include <pybind11/detail/exception_translation.h>

#include "function_object.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace corvane::rt::detail {
namespace {

constexpr Py_ssize_t kInlineSlots = 12;

// Holds one strong reference per slot; releases them when the call ends.
class Slots {
public:
    explicit Slots(Py_ssize_t n) : n_(n) {
        if (n > kInlineSlots) {
            heap_.assign(static_cast<size_t>(n), nullptr);
            data_ = heap_.data();
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) inline_[i] = nullptr;
            data_ = inline_;
        }
    }
    ~Slots() {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_XDECREF(data_[i]);
    }
    PyObject*& operator[](Py_ssize_t i) { return data_[i]; }
    PyObject** data() { return data_; }

private:
    Py_ssize_t n_;
    PyObject* inline_[kInlineSlots];
    std::vector<PyObject*> heap_;
    PyObject** data_;
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing arguments.
void raise_missing(FunctionObject* f, const Layout& layout, Slots& slots, Py_ssize_t start,
                   Py_ssize_t end, const char* kind) {
    py::list names;
    for (Py_ssize_t i = start; i < end; ++i)
        if (slots[i] == nullptr) names.append(py::repr(layout.names[i]));
    Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    py::object listed;
    if (n == 1) {
        listed = names[0];
    } else if (n == 2) {
        listed = py::str("{} and {}").format(names[0], names[1]);
    } else {
        py::str tail = py::str(", {}, and {}").format(names[n - 2], names[n - 1]);
        py::list head(names[py::slice(0, n - 2, 1)]);
        listed = py::str(", ").attr("join")(head) + tail;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname, n,
                 kind, n == 1 ? "" : "s", listed.ptr());
}

void raise_too_many_positional(FunctionObject* f, const Layout& layout, Slots& slots,
                               Py_ssize_t given) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = layout.argcount; i < layout.argcount + layout.kwonlycount; ++i)
        if (slots[i] != nullptr) ++kwonly_given;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    py::object sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat("from %zd to %zd", layout.argcount - defcount, layout.argcount));
    } else {
        plural = layout.argcount != 1;
        sig = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("%zd", layout.argcount));
    }
    py::object kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = py::reinterpret_steal<py::object>(PyUnicode_FromFormat(
            " positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "",
            kwonly_given, kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = py::str("");
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 f->qualname, sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

// Index of the named parameter among the keyword-passable ones, -1 if none, -2 on error.
// Identity first (interned names: the common case), then equality, which may run Python code.
Py_ssize_t find_keyword(const Layout& layout, PyObject* keyword) {
    Py_ssize_t total = layout.argcount + layout.kwonlycount;
    for (Py_ssize_t j = 0; j < total; ++j)
        if (layout.names[j] == keyword) return j;
    for (Py_ssize_t j = 0; j < total; ++j) {
        int eq = PyObject_RichCompareBool(keyword, layout.names[j], Py_EQ);
        if (eq > 0) return j;
        if (eq < 0) return -2;
    }
    return -1;
}

// Binds args/kwnames into slots following CPython's frame initialisation, in its order of
// checks. Returns false with a Python error set on failure.
bool bind(FunctionObject* f, const Layout& layout, Slots& slots, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t n = layout.argcount;
    const Py_ssize_t k = layout.kwonlycount;
    Py_ssize_t varargs_slot = n + k;
    Py_ssize_t varkw_slot = n + k + (layout.has_varargs ? 1 : 0);

    PyObject* kwdict = nullptr;
    if (layout.has_varkw) {
        if ((kwdict = PyDict_New()) == nullptr) return false;
        slots[varkw_slot] = kwdict;
    }

    Py_ssize_t npos = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = Py_NewRef(args[i]);

    if (layout.has_varargs) {
        Py_ssize_t extra = nargs > n ? nargs - n : 0;
        PyObject* t = PyTuple_New(extra);
        if (t == nullptr) return false;
        for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(args[n + i]));
        slots[varargs_slot] = t;
    }

    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
            PyObject* value = args[nargs + i];
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return false;
            }
            Py_INCREF(keyword);  // comparisons may run code that drops the last other reference
            Py_ssize_t j = find_keyword(layout, keyword);
            if (j == -2) {
                Py_DECREF(keyword);
                return false;
            }
            if (j == -1) {
                if (kwdict == nullptr) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                                 f->qualname, keyword);
                    Py_DECREF(keyword);
                    return false;
                }
                int rc = PyDict_SetItem(kwdict, keyword, value);
                Py_DECREF(keyword);
                if (rc < 0) return false;
                continue;
            }
            if (slots[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, keyword);
                Py_DECREF(keyword);
                return false;
            }
            Py_DECREF(keyword);
            slots[j] = Py_NewRef(value);
        }
    }

    if (nargs > n && !layout.has_varargs) {
        raise_too_many_positional(f, layout, slots, nargs);
        return false;
    }

    // Defaults are read only now: the keyword comparisons above may have replaced them.
    if (nargs < n) {
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = n - defcount;
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = nargs; i < first_default; ++i)
            if (slots[i] == nullptr) ++missing;
        if (missing) {
            raise_missing(f, layout, slots, 0, first_default, "positional");
            return false;
        }
        for (Py_ssize_t i = nargs > first_default ? nargs : first_default; i < n; ++i)
            if (slots[i] == nullptr)
                slots[i] = Py_NewRef(PyTuple_GET_ITEM(f->defaults, i - first_default));
    }

    if (k > 0) {
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = n; i < n + k; ++i) {
            if (slots[i] != nullptr) continue;
            if (f->kwdefaults != nullptr) {
                PyObject* def = PyDict_GetItemWithError(f->kwdefaults, layout.names[i]);
                if (def != nullptr) {
                    slots[i] = Py_NewRef(def);
                    continue;
                }
                if (PyErr_Occurred()) return false;
            }
            ++missing;
        }
        if (missing) {
            raise_missing(f, layout, slots, n, n + k, "keyword-only");
            return false;
        }
    }
    return true;
}

// Guarding the C stack. Chains of our functions calling each other directly (a wrapper of a
// wrapper of ...) never pass through the interpreter's own depth check, so every call is guarded.
// On the thread that loaded the runtime (the main thread, in practice) the guard compares the
// stack pointer with that thread's stack bounds: no thread-state lookup, which on 3.12 is a TLS
// access through libpython costing as much as the rest of the call. Other threads use
// Py_EnterRecursiveCall.
struct StackBounds {
    std::uintptr_t lo = 0, hi = 0, limit = 0;  // limit: lowest address we let a call start at
};

StackBounds current_thread_stack() {
    StackBounds b;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > (1u << 20)) {
            b.lo = reinterpret_cast<std::uintptr_t>(addr);
            b.hi = b.lo + size;
            // Headroom for raising RecursionError and for the callee's own frames.
            std::size_t margin = std::max<std::size_t>(size / 8, 256u << 10);
            b.limit = b.lo + margin;
        }
        pthread_attr_destroy(&attr);
    }
#endif
    return b;
}

const StackBounds main_stack = current_thread_stack();

class RecursionGuard {
public:
    bool enter() {
        char here;
        auto sp = reinterpret_cast<std::uintptr_t>(&here);
        if (sp > main_stack.lo && sp < main_stack.hi) {
            if (sp > main_stack.limit) return true;
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while calling a Python object");
            return false;
        }
        counted_ = Py_EnterRecursiveCall(" while calling a Python object") == 0;
        return counted_;
    }
    ~RecursionGuard() {
        if (counted_) Py_LeaveRecursiveCall();
    }

private:
    bool counted_ = false;
};

inline PyObject* invoke(PyObject* callable, FunctionObject* f, PyObject** slots,
                        Py_ssize_t nslots) {
    RecursionGuard guard;
    if (!guard.enter()) return nullptr;
    PyObject* result = nullptr;
    try {
        Call call(callable, f->layout->get(), slots, nslots);
        result = f->impl(call).release().ptr();
        if (result == nullptr && !PyErr_Occurred()) result = Py_NewRef(Py_None);
    } catch (py::error_already_set& e) {
        e.restore();  // the very exception object, traceback included
    } catch (...) {
        // py::value_error & co. and std exceptions, through pybind11's translators.
        try {
            py::detail::try_translate_exceptions();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unhandled C++ exception");
        }
    }
    return result;
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    const Layout& layout = **f->layout;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

    // Fast path: positional arguments only, for a function with positional parameters only.
    // The caller keeps the arguments alive for the call; the defaults tuple is held here, since
    // the call itself may replace __defaults__.
    if (kwnames == nullptr && layout.nslots == layout.argcount && nargs <= layout.argcount &&
        layout.nslots <= kInlineSlots) {
        PyObject* defaults = f->defaults;
        Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
        Py_ssize_t first_default = layout.argcount - ndefaults;
        if (nargs >= first_default) {
            PyObject* slots[kInlineSlots];
            for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
            for (Py_ssize_t i = nargs; i < layout.argcount; ++i)
                slots[i] = PyTuple_GET_ITEM(defaults, i - first_default);
            if (nargs == layout.argcount) return invoke(callable, f, slots, layout.nslots);
            Py_INCREF(defaults);
            PyObject* result = invoke(callable, f, slots, layout.nslots);
            Py_DECREF(defaults);
            return result;
        }
    }
    Slots slots(layout.nslots);
    if (!bind(f, layout, slots, args, nargs, kwnames)) return nullptr;
    return invoke(callable, f, slots.data(), layout.nslots);
}

}  // namespace corvane::rt::detail

namespace corvane::rt {

py::object Call::global(const char* name) const {
    return detail::lookup_global(detail::as_function(function_)->globals, name);
}

py::handle Call::closure(Py_ssize_t i) const {
    return PyTuple_GET_ITEM(detail::as_function(function_)->closure, i);
}

}  // namespace corvane::rt
