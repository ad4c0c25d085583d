// Signatures (`Sig`, declared beside each function of a module) and the calling layouts made from
// them.
#include "function_object.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace corvane::rt {

// ---------------------------------------------------------------------------------------------
// Sig

namespace {
int kind_rank(ParamKind k) { return static_cast<int>(k); }
}  // namespace

static void add_param(std::vector<Param>& params, Param p) {
    if (!params.empty()) {
        const Param& last = params.back();
        bool order_ok = kind_rank(last.kind) < kind_rank(p.kind) ||
                        (last.kind == p.kind && (p.kind == ParamKind::PositionalOrKeyword ||
                                                 p.kind == ParamKind::KeywordOnly));
        if (!order_ok) throw std::logic_error("parameters declared out of order: " + p.name);
        if (p.kind == ParamKind::PositionalOrKeyword && last.default_value && !p.default_value)
            throw std::logic_error("non-default parameter follows default parameter: " + p.name);
    }
    params.push_back(std::move(p));
}

Sig& Sig::arg(std::string name, std::string annotation) {
    add_param(params_, {std::move(name), std::move(annotation), py::object(),
                        ParamKind::PositionalOrKeyword});
    return *this;
}
Sig& Sig::opt(std::string name, py::object default_value, std::string annotation) {
    add_param(params_, {std::move(name), std::move(annotation), std::move(default_value),
                        ParamKind::PositionalOrKeyword});
    return *this;
}
Sig& Sig::varargs(std::string name, std::string annotation) {
    add_param(params_,
              {std::move(name), std::move(annotation), py::object(), ParamKind::VarPositional});
    return *this;
}
Sig& Sig::kwonly(std::string name, std::string annotation) {
    add_param(params_,
              {std::move(name), std::move(annotation), py::object(), ParamKind::KeywordOnly});
    return *this;
}
Sig& Sig::kwonly_opt(std::string name, py::object default_value, std::string annotation) {
    add_param(params_, {std::move(name), std::move(annotation), std::move(default_value),
                        ParamKind::KeywordOnly});
    return *this;
}
Sig& Sig::varkw(std::string name, std::string annotation) {
    add_param(params_,
              {std::move(name), std::move(annotation), py::object(), ParamKind::VarKeyword});
    return *this;
}
Sig& Sig::returns(std::string annotation) {
    return_annotation_ = std::move(annotation);
    has_return_ = true;
    return *this;
}
Sig& Sig::doc(std::string text) {
    doc_ = std::move(text);
    has_doc_ = true;
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Layout

Layout::Layout(const Sig& s) : sig(s) {
    std::vector<const Param*> order;
    const Param* varargs = nullptr;
    const Param* varkw = nullptr;
    for (const Param& p : sig.params_) {
        switch (p.kind) {
            case ParamKind::PositionalOrKeyword:
                ++argcount;
                order.push_back(&p);
                break;
            case ParamKind::KeywordOnly:
                break;
            case ParamKind::VarPositional:
                varargs = &p;
                break;
            case ParamKind::VarKeyword:
                varkw = &p;
                break;
        }
    }
    for (const Param& p : sig.params_)
        if (p.kind == ParamKind::KeywordOnly) {
            ++kwonlycount;
            order.push_back(&p);
        }
    if (varargs) order.push_back(varargs);
    if (varkw) order.push_back(varkw);
    has_varargs = varargs != nullptr;
    has_varkw = varkw != nullptr;
    nslots = static_cast<Py_ssize_t>(order.size());
    for (const Param* p : order) {
        slot_names_.push_back(p->name.c_str());
        PyObject* s = PyUnicode_InternFromString(p->name.c_str());
        if (s == nullptr) throw py::error_already_set();
        names.push_back(s);
    }
}

Layout::~Layout() {
    // Layouts live as long as the functions made from them; at interpreter shutdown the strings
    // may already be gone with the interpreter, so only release them while it runs.
    if (Py_IsInitialized()) {
        for (PyObject* s : names) Py_XDECREF(s);
    } else {
        for (Param& p : sig.params_) p.default_value.release();
    }
}

void Layout::no_such_parameter(const char* name) const {
    throw std::logic_error(std::string("no parameter named ") + name + " in " + sig.name_);
}

}  // namespace corvane::rt
