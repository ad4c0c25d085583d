// corvane.build.sigma3: Σ3 twins of cubic crystals by a mirror or by a 180° rotation.
//
// The bulk is re-expressed on a lattice basis whose first two vectors lie in the twinning plane
// (the oriented unit: one layer unit thick). Grains are images of that unit under the identity
// and the twin operation, alternating at every boundary; the operation acts through a plane of
// the boundary (mirror) or about the normal through an atom column of the boundary layer
// (rotation, which keeps every bond's species and polarity, as zinc-blende's ortho twin needs).
// Candidate boundaries are tried in a fixed order that depends on the crystal alone, never on
// where its origin lies, and the first whose every atom keeps the neighbour shell of its bulk
// site is taken.
#include <corvane/arrays.hpp>
#include <corvane/runtime.hpp>
#include <pybind11/stl.h>

#include <neighbors.hpp>
#include <twins.hpp>
#include <vec3.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace rt = corvane::rt;
namespace kn = corvane::kernels;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Neighbours closer than this many nearest-neighbour distances of the bulk form an atom's shell.
const double kShellFactor = 1.2;
// The largest denominator searched for when the operation's coincidence index is computed.
const std::int64_t kMaxSigmaDenominator = 60;

using kn::apply;
using kn::matmul;
using kn::transpose;
using rt::DoubleArray;
using rt::owned_array;
using Mat = kn::Mat3;
using Vec = kn::Vec3;

// The twin operations about the z axis through the origin (row-major).
const Mat kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};
const Mat kMirrorZ{1, 0, 0, 0, 1, 0, 0, 0, -1};
const Mat kRotationZ{-1, 0, 0, 0, -1, 0, 0, 0, 1};

std::string text_of(py::handle value) { return py::repr(value).cast<std::string>(); }

DoubleArray doubles(py::handle value) { return rt::as_array<double>(value); }

// Fractional in-plane coordinates (along u1, u2) of a lateral vector.
std::array<double, 2> in_plane(const Mat& cell, double x, double y) {
    double a = cell[0], b = cell[3], c = cell[1], d = cell[4];  // columns u1, u2 (x, y)
    double det = a * d - b * c;
    return {(d * x - b * y) / det, (a * y - c * x) / det};
}

// ---------------------------------------------------------------------------------------------
// The oriented unit and its layers

struct Layer {
    double height;
    std::vector<std::int64_t> atoms;  // by (atomic number, index)
    double gap_above, gap_below;
};

struct Unit {
    Mat cell;      // rows u1, u2 (in the xy plane) and u3 (height d)
    Mat rotation;  // from the bulk's frame to this one
    Mat lattice;   // the bulk's primitive lattice, rows in the bulk's frame
    std::vector<double> positions;
    std::vector<std::int32_t> numbers;
    std::vector<Layer> layers;  // in the order they are tried
    double d = 0, min_gap = 0, shell = 0;
    std::size_t size() const { return numbers.size(); }
};

// The bulk's primitive lattice (spglib, in the bulk's own frame; the bulk's cell when the
// analysis fails) and its atoms folded into it, duplicates merged.
std::pair<py::object, Mat> primitive(const rt::Call& call, py::handle bulk, double tol) {
    py::object spglib = py::module_::import("spglib");
    py::object cell = bulk.attr("cell").attr("array");
    py::object dataset = spglib.attr("get_symmetry_dataset")(
        py::make_tuple(cell, bulk.attr("get_scaled_positions")(), bulk.attr("numbers")),
        "symprec"_a = tol);
    py::object reduced = py::reinterpret_borrow<py::object>(bulk);
    py::object lattice = cell;
    if (!dataset.is_none()) {
        py::object prim = call.global("Atoms")(
            "numbers"_a = bulk.attr("numbers"), "positions"_a = bulk.attr("positions"),
            "cell"_a = dataset.attr("primitive_lattice"), "pbc"_a = true);
        prim.attr("wrap")();
        prim = call.global("average_atoms")(prim, tol);
        double v_bulk = std::fabs(rt::as_double(bulk.attr("get_volume")()));
        double v_prim = std::fabs(rt::as_double(prim.attr("get_volume")()));
        double expected = static_cast<double>(py::len(bulk)) * v_prim / v_bulk;
        if (std::fabs(expected - static_cast<double>(py::len(prim))) < 1e-6) {
            reduced = prim;
            lattice = dataset.attr("primitive_lattice");
        }
    }
    DoubleArray l = doubles(lattice);
    Mat m;
    std::copy(l.data(), l.data() + 9, m.begin());
    return {reduced, m};
}

Unit orient(const rt::Call& call, py::handle crystal, py::handle plane, double tol) {
    Unit u;
    auto [bulk, lattice] = primitive(call, crystal, tol);
    u.lattice = lattice;
    DoubleArray cell = doubles(bulk.attr("cell").attr("array"));
    DoubleArray scaled = doubles(bulk.attr("get_scaled_positions")("wrap"_a = false));
    rt::Int32Array numbers = rt::as_array<std::int32_t>(bulk.attr("numbers"));
    // The plane's indices on the primitive cell: the lattice rows dotted with the normal
    // h b1 + k b2 + l b3 of the crystal's own cell.
    DoubleArray own = doubles(crystal.attr("cell").attr("reciprocal")());
    double g[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        double h = py::cast<double>(py::object(plane[py::int_(k)]));
        for (int d = 0; d < 3; ++d) g[d] += h * own.at(k, d);
    }
    // The crystal's cell may be a supercell of the primitive one: its indices then give the
    // primitive plane's times a fraction ((110) of a cubic fcc cell is (1/2 1/2 0)-like).
    double on_prim[3];
    for (int k = 0; k < 3; ++k)
        on_prim[k] = cell.at(k, 0) * g[0] + cell.at(k, 1) * g[1] + cell.at(k, 2) * g[2];
    std::int64_t hkl[3] = {0, 0, 0};
    bool integral = false;
    for (int scale = 1; scale <= 64 && !integral; ++scale) {
        integral = true;
        for (int k = 0; k < 3; ++k) {
            hkl[k] = std::llround(scale * on_prim[k]);
            integral =
                integral && std::fabs(scale * on_prim[k] - static_cast<double>(hkl[k])) < 1e-6;
        }
    }
    if (!integral)
        rt::raise(PyExc_RuntimeError, "the plane has no rational indices on the primitive cell");
    std::array<std::int64_t, 9> basis = kn::plane_basis(cell.data(), hkl);

    Mat rows{}, nb{};
    for (int i = 0; i < 9; ++i) nb[i] = static_cast<double>(basis[i]);
    Mat a;
    std::copy(cell.data(), cell.data() + 9, a.begin());
    rows = matmul(nb, a);
    Vec r1{rows[0], rows[1], rows[2]}, r2{rows[3], rows[4], rows[5]};
    Vec z = kn::cross(r1, r2);
    double zn = kn::norm(z);
    double xn = kn::norm(r1);
    Vec x{r1[0] / xn, r1[1] / xn, r1[2] / xn};
    for (double& c : z) c /= zn;
    Vec y = kn::cross(z, x);
    u.rotation = {x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]};
    u.cell = transpose(matmul(u.rotation, transpose(rows)));
    u.cell[2] = u.cell[5] = 0.0;  // u1, u2 lie in the plane exactly
    u.d = u.cell[8];

    // Fractional coordinates on the new basis: f_new = f_bulk . N^-1 (N unimodular).
    const Mat ninv = kn::inverse3(nb.data());
    py::ssize_t n = scaled.shape(0);
    for (py::ssize_t i = 0; i < n; ++i) {
        double f[3];
        for (int k = 0; k < 3; ++k) {
            f[k] = 0;
            for (int j = 0; j < 3; ++j) f[k] += scaled.at(i, j) * ninv[3 * j + k];
            f[k] -= std::floor(f[k]);
            if (f[k] >= 1.0) f[k] = 0.0;
        }
        for (int d = 0; d < 3; ++d)
            u.positions.push_back(f[0] * u.cell[d] + f[1] * u.cell[3 + d] + f[2] * u.cell[6 + d]);
        u.numbers.push_back(numbers.at(i));
    }
    return u;
}

// Groups the unit's atoms into layers (joining the layers at the bottom and the top of the unit
// when they are one), and orders them by species and spacings: properties of the crystal alone.
void find_layers(const rt::Call& call, Unit& u, double tol) {
    std::vector<double> positions = u.positions;
    py::object pos = owned_array(std::move(positions), {static_cast<py::ssize_t>(u.size()), 3});
    py::object groups = call.global("get_layers")(pos, "direction"_a = 2, "tol"_a = tol);
    std::vector<Layer> layers;
    for (py::handle group : groups) {
        Layer l{};
        for (py::handle i : group) l.atoms.push_back(py::cast<std::int64_t>(i));
        layers.push_back(std::move(l));
    }
    if (layers.size() >= 2) {
        auto z = [&](std::int64_t a) { return u.positions[3 * a + 2]; };
        double bottom = z(layers.front().atoms.front()), top = 0;
        for (std::int64_t a : layers.back().atoms) top = std::max(top, z(a));
        for (std::int64_t a : layers.front().atoms) bottom = std::min(bottom, z(a));
        if (bottom + u.d - top <= tol) {  // one layer split by the unit's edge: move it below
            for (std::int64_t a : layers.back().atoms) {
                for (int d = 0; d < 3; ++d) u.positions[3 * a + d] -= u.cell[6 + d];
                layers.front().atoms.push_back(a);
            }
            layers.pop_back();
        }
    }
    for (Layer& l : layers) {
        double sum = 0;
        for (std::int64_t a : l.atoms) sum += u.positions[3 * a + 2];
        l.height = sum / static_cast<double>(l.atoms.size());
        std::sort(l.atoms.begin(), l.atoms.end(), [&](std::int64_t a, std::int64_t b) {
            return std::make_pair(u.numbers[a], a) < std::make_pair(u.numbers[b], b);
        });
    }
    std::sort(layers.begin(), layers.end(),
              [](const Layer& a, const Layer& b) { return a.height < b.height; });
    std::size_t nl = layers.size();
    u.min_gap = u.d;
    for (std::size_t i = 0; i < nl; ++i) {
        double above = i + 1 < nl ? layers[i + 1].height - layers[i].height
                                  : layers[0].height + u.d - layers[i].height;
        layers[i].gap_above = above;
        layers[(i + 1) % nl].gap_below = above;
        u.min_gap = std::min(u.min_gap, above);
    }
    auto key = [&](const Layer& l) {
        std::vector<std::int32_t> species;
        for (std::int64_t a : l.atoms) species.push_back(u.numbers[a]);
        return std::make_tuple(species, std::llround(l.gap_above / tol),
                               std::llround(l.gap_below / tol));
    };
    std::stable_sort(layers.begin(), layers.end(),
                     [&](const Layer& a, const Layer& b) { return key(a) < key(b); });
    u.layers = std::move(layers);
}

// The nearest-neighbour distance of the bulk crystal.
double nearest_distance(const Unit& u) {
    double volume = std::fabs(u.cell[0] * u.cell[4] - u.cell[1] * u.cell[3]) * u.d;
    double cutoff = 2.0 * std::cbrt(volume / static_cast<double>(u.size()));
    const bool periodic[3] = {true, true, true};
    for (int attempt = 0; attempt < 8; ++attempt, cutoff *= 2) {
        kn::NeighborPairs pairs =
            kn::neighbor_pairs(u.positions.data(), u.size(), u.cell.data(), periodic, cutoff);
        double best = -1;
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            const double* v = &pairs.vector[3 * p];
            double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
            if (best < 0 || r < best) best = r;
        }
        if (best > 0) return best;
    }
    rt::raise(PyExc_ValueError, "the bulk crystal's atoms have no neighbours");
}

// ---------------------------------------------------------------------------------------------
// One candidate boundary, built and checked

struct Candidate {
    bool rotation;
    std::size_t layer;
    std::int64_t column;  // the atom the rotation axis passes through, or the layer's first
    double offset;        // mirror: height of the plane above the layer
};

struct Twin {
    kn::StackedGrains stacked;
    Mat cell;
    std::vector<double> boundaries;           // heights, in boundary order
    std::vector<std::array<double, 2>> axes;  // rotation: axis point of each boundary
    std::string stacking;
    std::size_t mismatches = 0;
};

// The affine map x -> linear . x + shift.
struct Affine {
    Mat linear = kIdentity;
    Vec shift{0, 0, 0};
    Vec operator()(const Vec& x) const {
        Vec v = apply(linear, x);
        return {v[0] + shift[0], v[1] + shift[1], v[2] + shift[2]};
    }
};
Affine compose(const Affine& outer, const Affine& inner) {
    Affine r;
    r.linear = matmul(outer.linear, inner.linear);
    r.shift = outer(inner.shift);
    return r;
}

Twin assemble(const Unit& unit, const Candidate& cand, const std::vector<long>& thickness,
              double tol) {
    // The column atom goes to the origin: the boundary layer sits at height 0.
    std::vector<double> pos = unit.positions;
    Vec p{pos[3 * cand.column], pos[3 * cand.column + 1], pos[3 * cand.column + 2]};
    for (std::size_t a = 0; a < unit.size(); ++a)
        for (int d = 0; d < 3; ++d) pos[3 * a + d] -= p[d];
    const double d = unit.d, eps = 0.25 * unit.min_gap;
    const Vec u3{unit.cell[6], unit.cell[7], unit.cell[8]};

    Twin t;
    std::vector<kn::GrainImage> grains;
    Affine g;
    double z_low = -static_cast<double>(thickness.front()) * d;
    long total = 0;
    for (long n : thickness) {
        double z_high = z_low + static_cast<double>(n) * d;
        kn::GrainImage image{};
        image.linear = g.linear;
        image.shift = g.shift;
        image.z_low = z_low + eps;
        image.z_high = z_high + eps;
        grains.push_back(image);
        Affine op;
        if (cand.rotation) {
            // The column's image at the top of this grain (rotations keep heights).
            long m = std::lround(z_high / d);
            Vec q = g({m * u3[0], m * u3[1], m * u3[2]});
            op.linear = kRotationZ;
            op.shift = {2 * q[0], 2 * q[1], 0};
            t.boundaries.push_back(z_high);
            t.axes.push_back({q[0], q[1]});
        } else {
            double plane = z_high + cand.offset;
            op.linear = kMirrorZ;
            op.shift = {0, 0, 2 * plane};
            t.boundaries.push_back(plane);
        }
        g = compose(op, g);
        z_low = z_high;
        total += n;
    }
    // After an even number of boundaries the grain above the last is the first one moved by a
    // lattice vector of the twin: that vector is the cell's third.
    double height = static_cast<double>(total) * d;
    double steps = (height - g.shift[2]) / d;
    long j = std::lround(steps);
    for (int k = 0; k < 9; ++k)
        if (std::fabs(g.linear[k] - kIdentity[k]) > 1e-9 ||
            std::fabs(steps - static_cast<double>(j)) > 1e-6)
            rt::raise(PyExc_RuntimeError, "the grains do not close into a periodic cell");
    Vec c{g.shift[0] + j * u3[0], g.shift[1] + j * u3[1], g.shift[2] + j * u3[2]};
    t.cell = unit.cell;
    auto f = in_plane(unit.cell, c[0], c[1]);
    double fa = std::round(f[0]), fb = std::round(f[1]);
    t.cell[6] = c[0] - fa * unit.cell[0] - fb * unit.cell[3];
    t.cell[7] = c[1] - fa * unit.cell[1] - fb * unit.cell[4];
    t.cell[8] = height;

    {
        py::gil_scoped_release nogil;
        t.stacked = kn::stack_grains(pos.data(), unit.size(), u3.data(), grains);
    }
    // Heights from 0 (the bottom of the first grain), wrapped into the cell.
    const double shift_z = static_cast<double>(thickness.front()) * d;
    auto wrap = [&](double* x) {
        x[2] += shift_z;
        double f3 = x[2] / t.cell[8];
        double w3 = std::floor(f3);
        if (f3 - w3 >= 1.0 - 1e-12) w3 += 1;  // the top face belongs to the bottom
        for (int k = 0; k < 3; ++k) x[k] -= w3 * t.cell[6 + k];
        auto fl = in_plane(t.cell, x[0], x[1]);
        double wa = std::floor(fl[0] + 1e-9), wb = std::floor(fl[1] + 1e-9);
        for (int k = 0; k < 2; ++k) x[k] -= wa * t.cell[k] + wb * t.cell[3 + k];
    };
    for (std::size_t a = 0; a < t.stacked.size(); ++a) wrap(&t.stacked.positions[3 * a]);
    for (double& b : t.boundaries) b = std::fmod(b + shift_z, height);
    for (auto& axis : t.axes) {
        double x[3] = {axis[0], axis[1], 0};
        wrap(x);
        axis = {x[0], x[1]};
    }

    // Stacking: the lateral position of each atomic layer from the bottom (its lowest atom
    // stands for it), layers stacked directly on one another (a vertical bond) counted once,
    // A for the column of the first boundary and the other letters in order of appearance.
    std::vector<std::array<double, 2>> kinds;
    auto kind_of = [&](double x, double y) {
        auto fl = in_plane(unit.cell, x, y);
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            double da = fl[0] - kinds[k][0], db = fl[1] - kinds[k][1];
            da -= std::round(da);
            db -= std::round(db);
            double dx = da * unit.cell[0] + db * unit.cell[3],
                   dy = da * unit.cell[1] + db * unit.cell[4];
            if (std::sqrt(dx * dx + dy * dy) <= tol) return static_cast<int>(k);
        }
        kinds.push_back(fl);
        return static_cast<int>(kinds.size() - 1);
    };
    kind_of(0, 0);
    const std::vector<double>& xyz = t.stacked.positions;
    std::vector<std::size_t> order(t.stacked.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return xyz[3 * a + 2] < xyz[3 * b + 2]; });
    std::vector<int> labels;
    std::size_t at_boundary = 0;  // the entry of the first boundary's layer
    double last_z = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const double* x = &xyz[3 * order[k]];
        if (k == 0 || x[2] - last_z > tol) {
            int kind = kind_of(x[0], x[1]);
            if (labels.empty() || labels.back() != kind) labels.push_back(kind);
            if (x[2] <= t.boundaries.front() + tol) at_boundary = labels.size() - 1;
        }
        last_z = x[2];
    }
    if (labels.size() > 1 && labels.front() == labels.back()) {
        labels.pop_back();
        at_boundary %= labels.size();
    }
    // Letters run A, B, C upwards through the first grain: going down from its top layer (A),
    // new positions take the letters from the end.
    std::vector<int> letter(kinds.size(), -1);
    letter[0] = 0;
    int next = static_cast<int>(kinds.size()) - 1;
    for (std::size_t k = 0; k < labels.size(); ++k) {
        int kind = labels[(at_boundary + labels.size() - k) % labels.size()];
        if (letter[kind] < 0) letter[kind] = next--;
    }
    for (int k : labels)
        t.stacking.push_back(letter[k] < 26 ? static_cast<char>('A' + letter[k]) : '?');

    // Every atom must keep the neighbour shell of its bulk site.
    std::vector<std::int32_t> numbers(t.stacked.size());
    for (std::size_t a = 0; a < numbers.size(); ++a) numbers[a] = unit.numbers[t.stacked.site[a]];
    const bool periodic[3] = {true, true, true};
    {
        py::gil_scoped_release nogil;
        t.mismatches = kn::shell_mismatches(t.stacked.positions.data(), numbers.data(),
                                            t.stacked.site.data(), numbers.size(), t.cell.data(),
                                            periodic, pos.data(), unit.numbers.data(), unit.size(),
                                            unit.cell.data(), unit.shell, tol)
                           .size();
    }
    return t;
}

// The coincidence index of the twin operation (the mirror and the rotation have the same one:
// every lattice is centrosymmetric), on the bulk's primitive lattice.
std::int64_t sigma_of(const Unit& u) {
    Mat op = matmul(transpose(u.rotation), matmul(kRotationZ, u.rotation));
    return kn::coincidence_index(u.lattice.data(), op.data(), kMaxSigmaDenominator, 1e-4);
}

// ---------------------------------------------------------------------------------------------
// Sigma3TwinBoundary.__init__

py::object init(rt::Call& call) {
    py::handle self = call.arg("self"), bulk = call.arg("bulk"), plane = call.arg("plane");
    py::handle layers = call.arg("layers"), operation = call.arg("operation");
    double tol = rt::as_double(call.arg("tol"));
    double vacuum = rt::as_double(call.arg("vacuum"));

    py::object index = py::module_::import("operator").attr("index");
    py::list hkl;
    bool plane_ok =
        (PyTuple_Check(plane.ptr()) || PyList_Check(plane.ptr())) && py::len(plane) == 3;
    if (plane_ok) {
        try {
            for (py::handle h : plane) hkl.append(index(h));
        } catch (py::error_already_set&) {
            plane_ok = false;
        }
    }
    if (plane_ok)
        plane_ok = rt::truthy(py::object(hkl[0])) || rt::truthy(py::object(hkl[1])) ||
                   rt::truthy(py::object(hkl[2]));
    if (!plane_ok)
        rt::raise(PyExc_ValueError,
                  "plane must be three integer Miller indices, not all zero; got %R", plane.ptr());

    py::list thickness;
    bool layers_ok = true;
    try {
        if (PyLong_Check(layers.ptr()) && !PyBool_Check(layers.ptr())) {
            thickness.append(index(layers));
        } else if (PyTuple_Check(layers.ptr()) || PyList_Check(layers.ptr())) {
            for (py::handle n : layers) {
                if (PyBool_Check(n.ptr())) layers_ok = false;
                thickness.append(index(n));
            }
        } else {
            layers_ok = false;
        }
    } catch (py::error_already_set&) {
        layers_ok = false;
    }
    if (layers_ok) {
        layers_ok = py::len(thickness) > 0;
        for (py::handle n : thickness) layers_ok = layers_ok && py::cast<long long>(n) >= 2;
    }
    if (!layers_ok)
        rt::raise(PyExc_ValueError,
                  "layers must be whole numbers of at least 2 layer units per grain; got %R",
                  layers.ptr());

    std::string op = PyUnicode_Check(operation.ptr()) ? operation.cast<std::string>() : "";
    if (op != "auto" && op != "mirror" && op != "rotation")
        rt::raise(PyExc_ValueError, "operation must be 'auto', 'mirror' or 'rotation'; got %R",
                  operation.ptr());
    if (!(std::isfinite(tol) && tol > 0))
        rt::raise(PyExc_ValueError, "tol must be a positive distance in Angstrom; got %R",
                  call.arg("tol").ptr());
    if (!(std::isfinite(vacuum) && vacuum >= 0))
        rt::raise(PyExc_ValueError, "vacuum must be a distance of 0 or more Angstrom; got %R",
                  call.arg("vacuum").ptr());

    py::object crystal = py::isinstance(bulk, call.global("Atoms"))
                             ? py::reinterpret_borrow<py::object>(bulk)
                             : call.global("read")(bulk);
    if (py::len(crystal) == 0) rt::raise(PyExc_ValueError, "the bulk crystal has no atoms");
    if (!rt::truthy(call.global("np").attr("all")(crystal.attr("pbc"))))
        rt::raise(PyExc_ValueError,
                  "the bulk crystal must be periodic in all three directions; pbc is %R",
                  py::object(crystal.attr("pbc")).ptr());

    thickness.attr("sort")("reverse"_a = true);
    self.attr("bulk") = crystal;
    self.attr("plane") = py::tuple(hkl);
    self.attr("layers") = thickness;
    self.attr("operation") = py::str(op);
    self.attr("tol") = py::float_(tol);
    self.attr("vacuum") = py::float_(vacuum);
    self.attr("grains") = py::list();
    self.attr("twin_boundary") = py::none();
    return py::none();
}

const char* const kInitDoc = R"(
        A Σ3 twin builder for a bulk crystal.

        Args:
            bulk (str | Atoms): The bulk crystal, periodic in all three directions: an ASE
                Atoms object (kept, not copied) or the path of a structure file ASE can read.
            plane (tuple): Miller indices (h, k, l) of the twinning plane in the bulk's cell.
            layers (list): Thickness of each grain of the first half of the stack in layer units
                (interplanar spacings of the plane), each at least 2. One value gives two grains
                and two boundaries per cell; several give grains of those thicknesses followed
                by the same in reverse order, as in the mirror-plane builder.
            operation (str): "mirror" (a mirror through or midway between layers), "rotation"
                (180° about the plane normal through an atom column of the boundary layer) or
                "auto" (mirror first, then rotation).
            tol (float): Tolerance in Angstrom for grouping atoms into layers and for comparing
                each atom's neighbour distances with the bulk's.
            vacuum (float): Vacuum in Angstrom added along the normal by create(); zero keeps
                the twin periodic.
        )";

// ---------------------------------------------------------------------------------------------
// Sigma3TwinBoundary.oriented_unit

py::object make_atoms(const rt::Call& call, const std::vector<double>& positions,
                      const std::vector<std::int32_t>& numbers, const Mat& cell) {
    auto n = static_cast<py::ssize_t>(numbers.size());
    py::object pos = owned_array(std::vector<double>(positions), {n, 3});
    py::object z = owned_array(std::vector<std::int32_t>(numbers), {n});
    py::object c = owned_array(std::vector<double>(cell.begin(), cell.end()), {3, 3});
    return call.global("Atoms")("numbers"_a = z, "positions"_a = pos, "cell"_a = c, "pbc"_a = true);
}

py::object oriented_unit(rt::Call& call) {
    py::handle self = call.arg("self");
    Unit u = orient(call, self.attr("bulk"), self.attr("plane"), rt::as_double(self.attr("tol")));
    return make_atoms(call, u.positions, u.numbers, u.cell);
}

const char* const kOrientedUnitDoc = R"(
        The bulk's primitive cell on a lattice basis whose first two vectors lie in the
        twinning plane (the first along x) and whose third rises one layer unit along z.

        Returns:
            Atoms: the atoms of the primitive cell, heights in [0, layer unit).
        )";

// ---------------------------------------------------------------------------------------------
// Sigma3TwinBoundary.build

py::object build(rt::Call& call) {
    py::handle self = call.arg("self");
    py::object bulk = self.attr("bulk"), plane = self.attr("plane");
    double tol = rt::as_double(self.attr("tol"));
    std::string operation = self.attr("operation").cast<std::string>();
    std::vector<long> thickness;
    for (py::handle n : self.attr("layers")) thickness.push_back(py::cast<long>(n));
    const std::vector<long> first_half = thickness;
    thickness.insert(thickness.end(), first_half.rbegin(), first_half.rend());
    std::string formula = bulk.attr("get_chemical_formula")().cast<std::string>();
    std::string where = "plane " + text_of(plane) + " of " + formula;

    Unit unit = orient(call, bulk, plane, tol);
    find_layers(call, unit, tol);
    unit.shell = kShellFactor * nearest_distance(unit);

    std::int64_t sigma = sigma_of(unit);
    if (sigma == 1)
        rt::raise(PyExc_ValueError, "No Σ3 twin on " + where +
                                        ": the mirror and the 180° rotation normal to it are "
                                        "symmetries of the lattice (Σ1)");
    if (sigma != 3)
        rt::raise(
            PyExc_ValueError,
            "No Σ3 twin on " + where + ": the mirror and the 180° rotation normal to it give " +
                (sigma ? "Σ" + std::to_string(sigma) : std::string("no coincidence lattice")));

    std::vector<Candidate> candidates;
    std::size_t columns = 0;
    if (operation != "rotation") {
        for (std::size_t l = 0; l < unit.layers.size(); ++l)
            candidates.push_back({false, l, unit.layers[l].atoms.front(), 0.0});
        for (std::size_t l = 0; l < unit.layers.size(); ++l)
            candidates.push_back(
                {false, l, unit.layers[l].atoms.front(), 0.5 * unit.layers[l].gap_above});
    }
    if (operation != "mirror")
        for (std::size_t l = 0; l < unit.layers.size(); ++l)
            for (std::int64_t a : unit.layers[l].atoms) {
                candidates.push_back({true, l, a, 0.0});
                ++columns;
            }

    for (const Candidate& cand : candidates) {
        Twin twin = assemble(unit, cand, thickness, tol);
        if (twin.mismatches != 0) continue;

        std::vector<std::int32_t> numbers(twin.stacked.size());
        for (std::size_t a = 0; a < numbers.size(); ++a)
            numbers[a] = unit.numbers[twin.stacked.site[a]];
        py::object atoms = make_atoms(call, twin.stacked.positions, numbers, twin.cell);
        py::dict info = atoms.attr("info");
        std::vector<std::size_t> by_height(twin.boundaries.size());
        std::iota(by_height.begin(), by_height.end(), std::size_t{0});
        std::sort(by_height.begin(), by_height.end(), [&](std::size_t a, std::size_t b) {
            return twin.boundaries[a] < twin.boundaries[b];
        });
        py::list heights, axes;
        for (std::size_t k : by_height) {
            heights.append(twin.boundaries[k]);
            if (cand.rotation) axes.append(py::make_tuple(twin.axes[k][0], twin.axes[k][1]));
        }
        info["twin_operation"] = cand.rotation ? "rotation" : "mirror";
        info["twin_plane"] = py::list(plane);
        info["twin_boundaries"] = heights;
        if (cand.rotation) info["twin_axes"] = axes;
        info["twin_stacking"] = twin.stacking;

        py::list grains;
        py::object grain_of = owned_array(std::vector<std::int64_t>(twin.stacked.grain),
                                          {static_cast<py::ssize_t>(twin.stacked.size())});
        for (std::size_t k = 0; k < thickness.size(); ++k) {
            py::object mask =
                rt::steal(PyObject_RichCompare(grain_of.ptr(), py::int_(k).ptr(), Py_EQ));
            grains.append(atoms[mask]);
        }
        self.attr("grains") = grains;
        self.attr("twin_boundary") = atoms;
        return atoms;
    }

    auto count = [](std::size_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    std::string tried;
    if (operation != "rotation")
        tried = "mirrors through and midway above " + count(unit.layers.size(), "layer") +
                " of the layer unit";
    if (operation != "mirror")
        tried += std::string(tried.empty() ? "" : " and ") + "the 180° rotation about " +
                 count(columns, "atom column");
    rt::raise(PyExc_ValueError, "No Σ3 twin on " + where + ": tried " + tried +
                                    "; none keeps every atom's bulk neighbours");
}

const char* const kBuildDoc = R"(
        Builds the periodic twin: the first candidate boundary (mirror planes, then rotation
        axes, as the operation allows) whose every atom keeps the neighbour shell of its bulk
        site.

        Returns:
            Atoms: one lateral cell of the twin, periodic along the normal (z), with "twin_"
            entries in info: operation, plane, boundaries (heights in Angstrom), axes (rotation:
            the axis point of each boundary) and stacking (a letter per layer unit from the
            bottom, A for the column of the first boundary). Also sets grains and twin_boundary.

        Raises:
            ValueError: the plane admits no Σ3 twin of this crystal (the message names what
            was tried).
        )";

// ---------------------------------------------------------------------------------------------
// Sigma3TwinBoundary.create

py::object create(rt::Call& call) {
    py::handle self = call.arg("self"), supercell = call.arg("supercell");
    py::object index = py::module_::import("operator").attr("index");
    std::array<long, 3> reps{};
    bool ok = (PyTuple_Check(supercell.ptr()) || PyList_Check(supercell.ptr()) ||
               py::isinstance(supercell, call.global("np").attr("ndarray"))) &&
              py::len(supercell) == 3;
    if (ok) {
        try {
            for (int k = 0; k < 3; ++k) {
                reps[k] = py::cast<long>(
                    index(py::reinterpret_borrow<py::object>(supercell)[py::int_(k)]));
                ok = ok && reps[k] >= 1;
            }
        } catch (py::error_already_set&) {
            ok = false;
        }
    }
    if (!ok)
        rt::raise(PyExc_ValueError, "supercell must be three positive integers; got %R",
                  supercell.ptr());

    py::object twin = self.attr("build")();
    py::object result = twin.attr("copy")();
    py::dict info = result.attr("info");
    py::object np = call.global("np");
    double height =
        rt::as_double(py::object(twin.attr("cell").attr("array")[py::make_tuple(2, 2)]));
    std::vector<double> heights = info["twin_boundaries"].cast<std::vector<double>>();
    bool has_axes = info.contains("twin_axes");
    std::vector<std::array<double, 2>> axes;
    if (has_axes) axes = info["twin_axes"].cast<std::vector<std::array<double, 2>>>();
    if (reps[0] * reps[1] * reps[2] > 1) {
        DoubleArray cell = doubles(twin.attr("cell").attr("array"));
        result = result.attr("repeat")(py::make_tuple(reps[0], reps[1], reps[2]));
        std::vector<double> all;
        std::vector<std::array<double, 2>> all_axes;
        for (long j = 0; j < reps[2]; ++j)
            for (std::size_t k = 0; k < heights.size(); ++k) {
                all.push_back(heights[k] + static_cast<double>(j) * height);
                if (has_axes)
                    all_axes.push_back({axes[k][0] + static_cast<double>(j) * cell.at(2, 0),
                                        axes[k][1] + static_cast<double>(j) * cell.at(2, 1)});
            }
        heights = all;
        axes = all_axes;
        std::string stacking = info["twin_stacking"].cast<std::string>(), repeated;
        for (long j = 0; j < reps[2]; ++j) repeated += stacking;
        info = py::dict(result.attr("info"));
        info["twin_stacking"] = repeated;
    }
    double vacuum = rt::as_double(self.attr("vacuum"));
    if (vacuum > 0) {
        // The layer wrapped to the bottom face belongs on top of the slab.
        double tol = rt::as_double(self.attr("tol"));
        DoubleArray pos = doubles(result.attr("get_positions")());
        DoubleArray cell = doubles(result.attr("cell").attr("array"));
        const py::ssize_t natoms = pos.shape(0);
        std::vector<double> moved(static_cast<std::size_t>(3 * natoms));
        double zmin = 0, zmax = 0;
        for (py::ssize_t a = 0; a < natoms; ++a) {
            bool lift = pos.at(a, 2) < tol;
            for (int k = 0; k < 3; ++k)
                moved[static_cast<std::size_t>(3 * a + k)] =
                    pos.at(a, k) + (lift ? cell.at(2, k) : 0.0);
            double z = moved[static_cast<std::size_t>(3 * a + 2)];
            zmin = a == 0 ? z : std::min(zmin, z);
            zmax = a == 0 ? z : std::max(zmax, z);
        }
        double shift = 0.5 * vacuum - zmin;
        for (py::ssize_t a = 0; a < natoms; ++a)
            moved[static_cast<std::size_t>(3 * a + 2)] += shift;
        std::vector<double> new_cell(9);
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k)
                new_cell[static_cast<std::size_t>(3 * i + k)] = i < 2 ? cell.at(i, k) : 0.0;
        new_cell[8] = zmax - zmin + vacuum;
        result.attr("set_cell")(owned_array(std::move(new_cell), {3, 3}));
        result.attr("set_positions")(owned_array(std::move(moved), {natoms, 3}));
        std::vector<double> inside;  // boundaries at the cell's faces became surfaces
        std::vector<std::array<double, 2>> inside_axes;
        for (std::size_t k = 0; k < heights.size(); ++k)
            if (heights[k] > tol && heights[k] < cell.at(2, 2) - tol) {
                inside.push_back(heights[k] + shift);
                if (has_axes) inside_axes.push_back(axes[k]);
            }
        heights = inside;
        axes = inside_axes;
    }
    info = py::dict(result.attr("info"));
    info["twin_boundaries"] = py::cast(heights);
    if (has_axes) {
        py::list points;
        for (const auto& a : axes) points.append(py::make_tuple(a[0], a[1]));
        info["twin_axes"] = points;
    }
    // By chemical symbol, atoms of one element in their order (a stable sort).
    py::object symbols = np.attr("array")(result.attr("get_chemical_symbols")());
    return result[np.attr("argsort")(symbols, "kind"_a = "stable")];
}

const char* const kCreateDoc = R"(
        Builds the twin, repeats it by `supercell` (three positive integers), adds the vacuum
        (the two outer layers become surfaces) and sorts the atoms by chemical symbol.

        Returns:
            Atoms: a new structure; info holds the entries described under build().
        )";

}  // namespace

PYBIND11_MODULE(sigma3, m) {
    rt::Module mod(m);
    mod.import("numpy", "np");
    mod.from_import("ase.atoms", {"Atoms"});
    mod.from_import("ase.io", {"read"});
    mod.from_import("..core", {"average_atoms", "get_layers"});

    py::list default_layers;
    default_layers.append(3);

    rt::ClassBuilder(
        mod, "Sigma3TwinBoundary",
        "\n    Σ3 twin boundaries of a bulk crystal by a mirror or a 180° rotation about "
        "the plane normal.\n    ")
        .def(init, rt::Sig("__init__")
                       .arg("self")
                       .arg("bulk", "str | Atoms")
                       .opt("plane", py::make_tuple(1, 1, 1), "tuple")
                       .opt("layers", default_layers, "list")
                       .opt("operation", py::str("auto"), "str")
                       .opt("tol", py::float_(0.01), "float")
                       .opt("vacuum", py::float_(0.0), "float")
                       .doc(kInitDoc))
        .def(oriented_unit,
             rt::Sig("oriented_unit").arg("self").returns("Atoms").doc(kOrientedUnitDoc))
        .def(build, rt::Sig("build").arg("self").returns("Atoms").doc(kBuildDoc))
        .def(create, rt::Sig("create")
                         .arg("self")
                         .opt("supercell",
                              [] {
                                  py::list l;
                                  for (int k = 0; k < 3; ++k) l.append(1);
                                  return l;
                              }())
                         .returns("Atoms")
                         .doc(kCreateDoc))
        .build();
}
