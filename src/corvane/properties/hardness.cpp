// corvane.properties.hardness: Vickers hardness from elastic moduli by four empirical models
// (Chen 2011, Tian 2012, Jiang 2011, Mazhnik and Oganov 2019) behind one dispatcher.
//
// Arithmetic on the caller's numbers goes through Python's own number protocol, so ints, floats
// and bools behave exactly as they would in Python (and division by zero raises Python's errors);
// the powers of Chen and Tian are complex powers, so a negative base gives a complex hardness.
#include <corvane/runtime.hpp>

#include <string>

namespace rt = corvane::rt;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using rt::add;
using rt::mul;
using rt::power;
using rt::steal;
using rt::sub;
using rt::truediv;

py::object num(double x) { return py::float_(x); }
py::object num(long x) { return py::int_(x); }
py::object complex_num(double re) { return steal(PyComplex_FromDoubles(re, 0.0)); }

// A complex result stays complex only when its imaginary part is non-zero.
py::object real_or_complex(const py::object& z) {
    if (PyComplex_ImagAsDouble(z.ptr()) != 0.0) return z;
    return py::float_(PyComplex_RealAsDouble(z.ptr()));
}

void validate(rt::Call& call, std::initializer_list<std::pair<const char*, py::handle>> items) {
    py::dict required;
    for (const auto& [name, value] : items) required[name] = value;
    call.global("_validate_inputs_number")(required);
}

// k = G / B in double arithmetic, as a typed division would do it.
double ratio(double shear, double bulk) {
    if (bulk == 0.0) rt::raise(PyExc_ZeroDivisionError, "float division");
    return shear / bulk;
}

// ---------------------------------------------------------------------------------------------

py::object validate_inputs_number(rt::Call& call) {
    py::handle required_args = call.arg("required_args");
    rt::check_exact(required_args, &PyDict_Type, "required_args");
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    py::dict args = py::reinterpret_borrow<py::dict>(required_args);
    while (PyDict_Next(args.ptr(), &pos, &key, &value)) {
        py::object name = py::reinterpret_borrow<py::object>(key);
        if (value == Py_None)
            rt::raise(PyExc_ValueError,
                      rt::concat({py::str("Missing required input: '"), name, py::str("'")}));
        if (!PyLong_Check(value) && !PyFloat_Check(value)) {
            py::object type_name =
                py::handle(reinterpret_cast<PyObject*>(Py_TYPE(value))).attr("__name__");
            rt::raise(PyExc_TypeError,
                      rt::concat({py::str("Input '"), name, py::str("' must be a number, not "),
                                  type_name}));
        }
    }
    return py::none();
}

py::object calculate_chen(rt::Call& call) {
    validate(call, {{"shear", call.arg("shear")}, {"bulk", call.arg("bulk")}});
    const double shear = rt::as_double(call.arg("shear"));
    const double bulk = rt::as_double(call.arg("bulk"));
    const double k_ratio = ratio(shear, bulk);
    py::object p = power(complex_num(k_ratio * k_ratio * shear), complex_num(0.585));
    py::object hardness = sub(mul(num(2L), p), num(3L));
    return real_or_complex(hardness);
}

py::object calculate_tian(rt::Call& call) {
    validate(call, {{"shear", call.arg("shear")}, {"bulk", call.arg("bulk")}});
    const double shear = rt::as_double(call.arg("shear"));
    const double bulk = rt::as_double(call.arg("bulk"));
    const double k_ratio = ratio(shear, bulk);
    py::object hardness = mul(mul(num(0.92), power(complex_num(k_ratio), complex_num(1.137))),
                              power(complex_num(shear), complex_num(0.708)));
    return real_or_complex(hardness);
}

py::object calculate_jiang(rt::Call& call) {
    py::handle shear = call.arg("shear"), young = call.arg("young");
    if (!shear.is_none()) {
        validate(call, {{"shear", shear}});
        return rt::builtin_float(truediv(shear, num(6.78)));
    }
    if (!young.is_none()) {
        validate(call, {{"young", young}});
        return rt::builtin_float(truediv(young, num(16.48)));
    }
    rt::raise(PyExc_ValueError, "Jiang's method requires either 'shear' or 'young' modulus.");
}

py::object calculate_mazhnik(rt::Call& call) {
    py::handle shear = call.arg("shear"), bulk = call.arg("bulk"), young = call.arg("young");
    py::object nu = py::reinterpret_borrow<py::object>(call.arg("poisson"));
    if (nu.is_none()) {
        if (!shear.is_none() && !bulk.is_none()) {
            validate(call, {{"shear", shear}, {"bulk", bulk}});
            py::object three_b = mul(num(3L), bulk);
            nu = truediv(sub(three_b, mul(num(2L), shear)), mul(num(2L), add(three_b, shear)));
        } else if (!young.is_none() && !shear.is_none()) {
            validate(call, {{"young", young}, {"shear", shear}});
            nu = sub(truediv(young, mul(num(2L), shear)), num(1L));
        } else if (!young.is_none() && !bulk.is_none()) {
            validate(call, {{"young", young}, {"bulk", bulk}});
            nu = truediv(sub(mul(num(3L), bulk), young), mul(num(6L), bulk));
        } else {
            rt::raise(PyExc_ValueError,
                      "Mazhnik's method requires 'poisson' ratio or enough moduli (shear/bulk, "
                      "young/shear, or young/bulk) to calculate it.");
        }
    }
    validate(call, {{"poisson", nu}});

    if (!(num(-1.0) < nu && nu < num(0.5))) {
        rt::print(rt::concat({py::str("Warning: Poisson's ratio ("), rt::format(nu, ".3f"),
                              py::str(") is outside the typical physical range [-1.0, 0.5].")}));
    }

    py::object nu2 = power(nu, num(2L));
    py::object nu3 = power(nu, num(3L));
    py::object numerator = add(sub(num(1L), mul(num(8.5), nu)), mul(num(19.5), nu2));
    py::object denominator =
        add(add(sub(num(1L), mul(num(7.5), nu)), mul(num(12.2), nu2)), mul(num(19.6), nu3));
    py::object xu = truediv(numerator, denominator);

    py::object e = py::reinterpret_borrow<py::object>(young);
    if (e.is_none()) {
        if (!shear.is_none())
            e = mul(mul(num(2L), shear), add(num(1L), nu));
        else if (!bulk.is_none())
            e = mul(mul(num(3L), bulk), sub(num(1L), mul(num(2L), nu)));
        else
            rt::raise(PyExc_ValueError,
                      "Mazhnik's method requires 'young' modulus or 'shear'/'bulk' to calculate it "
                      "alongside Poisson's ratio.");
    }
    validate(call, {{"young", e}});
    py::object hardness = mul(mul(num(0.096), xu), e);
    return rt::builtin_float(hardness);
}

py::object calculate_hardness(rt::Call& call) {
    py::handle method = call.arg("method");
    rt::check_exact(method, &PyUnicode_Type, "method");
    py::object normalized_method = method.attr("lower")();
    py::object methods = call.global("HARDNESS_METHODS");
    py::object calculation_func = methods.attr("get")(normalized_method, py::none());
    if (!rt::truthy(calculation_func)) {
        py::object keys = py::repr(call.global("list")(methods.attr("keys")()));
        rt::raise(PyExc_ValueError,
                  rt::concat({py::str("Method '"), method,
                              py::str("' is not supported. Available methods are: "), keys}));
    }
    return calculation_func("shear"_a = call.arg("shear"), "bulk"_a = call.arg("bulk"),
                            "young"_a = call.arg("young"), "poisson"_a = call.arg("poisson"));
}

const char* const kCalculateDoc =
    "Calculates the Vickers hardness (Hv) from elastic moduli with an empirical model.\n"
    "\n"
    "Args:\n"
    "    shear (float, optional): Shear modulus G in GPa.\n"
    "    bulk (float, optional): Bulk modulus B in GPa.\n"
    "    young (float, optional): Young's modulus E in GPa.\n"
    "    poisson (float, optional): Poisson's ratio nu.\n"
    "    method (str): The model to use (case-insensitive). Supported methods:\n"
    "        'chen' (2011), 'tian' (2012), 'jiang' (2011), 'mazhnik' (2019).\n"
    "\n"
    "Returns:\n"
    "    float: The calculated Vickers hardness (Hv) in GPa.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the method is not supported or a required input is missing.\n"
    "    TypeError: If an input the model uses is not a number.\n";

}  // namespace

PYBIND11_MODULE(hardness, m) {
    rt::Module mod(m);
    mod.from_import("typing", {"Optional", "Callable", "Dict"});
    mod.from_import(".tarnel", {"SimunekHardnessCalculator"});

    py::object none = py::none();
    mod.def(calculate_hardness, rt::Sig("calculate_hardness")
                                    .opt("shear", none, "Optional[float]")
                                    .opt("bulk", none, "Optional[float]")
                                    .opt("young", none, "Optional[float]")
                                    .opt("poisson", none, "Optional[float]")
                                    .opt("method", py::str("chen"), "str")
                                    .returns("float")
                                    .doc(kCalculateDoc));
    mod.def(validate_inputs_number,
            rt::Sig("_validate_inputs_number")
                .arg("required_args", "Dict[str, Optional[float]]")
                .doc("Checks that every required input is given and is a number.\n"
                     "\n"
                     "Raises:\n"
                     "    ValueError: If an input is None.\n"
                     "    TypeError: If an input is not an int or a float.\n"));
    py::object chen = mod.def(calculate_chen,
                              rt::Sig("_calculate_chen")
                                  .arg("shear", "float")
                                  .arg("bulk", "float")
                                  .varkw("kwargs")
                                  .returns("float")
                                  .doc("Chen et al. (2011) model.\n"
                                       "\n"
                                       "Formula: Hv = 2 * (k^2 * G)^0.585 - 3, where k = G/B.\n"));
    py::object tian = mod.def(calculate_tian,
                              rt::Sig("_calculate_tian")
                                  .arg("shear", "float")
                                  .arg("bulk", "float")
                                  .varkw("kwargs")
                                  .returns("float")
                                  .doc("Tian et al. (2012) model.\n"
                                       "\n"
                                       "Formula: Hv = 0.92 * k^1.137 * G^0.708, where k = G/B.\n"));
    py::object jiang = mod.def(
        calculate_jiang, rt::Sig("_calculate_jiang")
                             .opt("shear", none, "Optional[float]")
                             .opt("young", none, "Optional[float]")
                             .varkw("kwargs")
                             .returns("float")
                             .doc("Jiang et al. (2011) model, from the shear modulus when given, "
                                  "else from Young's modulus.\n"
                                  "\n"
                                  "Formula: Hv = G / 6.78  or  Hv = E / 16.48\n"));
    py::object mazhnik = mod.def(
        calculate_mazhnik,
        rt::Sig("_calculate_mazhnik")
            .opt("shear", none, "Optional[float]")
            .opt("bulk", none, "Optional[float]")
            .opt("young", none, "Optional[float]")
            .opt("poisson", none, "Optional[float]")
            .varkw("kwargs")
            .returns("float")
            .doc("Mazhnik and Oganov (2019) model.\n"
                 "\n"
                 "This model primarily depends on Poisson's ratio (nu).\n"
                 "Hv = 0.096 * chi(nu) * E, with\n"
                 "chi(nu) = (1 - 8.5 nu + 19.5 nu^2) / (1 - 7.5 nu + 12.2 nu^2 + 19.6 nu^3).\n"
                 "nu is derived from the moduli and E from G or B when not given.\n"));

    py::dict methods;
    methods["chen"] = chen;
    methods["chen2011"] = chen;
    methods["tian"] = tian;
    methods["tian2012"] = tian;
    methods["jiang"] = jiang;
    methods["jiang2011"] = jiang;
    methods["mazhnik"] = mazhnik;
    methods["mazhnik2019"] = mazhnik;
    mod.set("HARDNESS_METHODS", methods);
}
