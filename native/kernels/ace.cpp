#include "ace.hpp"

#include "neighbors.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace corvane::kernels {
namespace {

constexpr int kComponents[kAceMaxRank + 1] = {1, 3, 6, 10};

// Exponents (a, b, c) of u_x^a u_y^b u_z^c for each component of ranks 0..3, a descending, then
// b descending: the order in which the moments of one rank are stored.
struct Exponents {
    int a, b, c;
};
constexpr Exponents kExponents[20] = {
    {0, 0, 0},                                                         // rank 0
    {1, 0, 0}, {0, 1, 0}, {0, 0, 1},                                   // rank 1
    {2, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 2, 0}, {0, 1, 1}, {0, 0, 2},  // rank 2
    {3, 0, 0}, {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 1, 1}, {1, 0, 2},
    {0, 3, 0}, {0, 2, 1}, {0, 1, 2}, {0, 0, 3}};  // rank 3
constexpr int kFirstComponent[kAceMaxRank + 1] = {0, 1, 4, 10};

// The component whose exponents are those of q less one power of axis a (-1 if q has none):
// the derivative of component q by u_a is exponent * that component.
struct LowerComponents {
    int of[20][3];
};
constexpr LowerComponents lower_components() {
    LowerComponents t{};
    for (int q = 0; q < 20; ++q)
        for (int a = 0; a < 3; ++a) {
            int e[3] = {kExponents[q].a, kExponents[q].b, kExponents[q].c};
            t.of[q][a] = -1;
            if (e[a] == 0) continue;
            --e[a];
            for (int k = 0; k < 20; ++k)
                if (kExponents[k].a == e[0] && kExponents[k].b == e[1] && kExponents[k].c == e[2])
                    t.of[q][a] = k;
        }
    return t;
}
constexpr LowerComponents kLower = lower_components();

// ---------------------------------------------------------------------------------------------
// Moment layout. The kernels keep an atom's moments per neighbour element, rank by rank, each
// component's radial functions in groups of four (zero-padded past the basis's count): the loops
// over radial functions then run on whole groups, one AVX2 register on CPUs that have it and two
// SSE2 registers elsewhere. Programs address moments in the basis's own slot order (rank, radial
// function, component); `index_of` translates.
constexpr int kLanes = 4;

struct MomentLayout {
    std::array<int, kAceMaxRank + 1> groups{};          // groups of radial functions per rank
    std::array<std::size_t, kAceMaxRank + 1> offset{};  // where each rank starts
    std::size_t per_element = 0;                        // doubles per neighbour element
    int max_groups = 0;

    explicit MomentLayout(const AceBasis& basis) {
        for (int nu = 0; nu <= kAceMaxRank; ++nu) {
            groups[nu] = (basis.nrad[nu] + kLanes - 1) / kLanes;
            offset[nu] = per_element;
            per_element += static_cast<std::size_t>(kLanes * groups[nu] * kComponents[nu]);
            max_groups = std::max(max_groups, groups[nu]);
        }
    }

    std::size_t index(std::size_t element, int nu, std::size_t q, std::size_t mu) const {
        return element * per_element + offset[nu] +
               (q * static_cast<std::size_t>(groups[nu]) + mu / kLanes) * kLanes + mu % kLanes;
    }

    // What the moment in slot `slot` of the basis's order is, and where it is kept.
    struct Place {
        std::size_t element;
        int nu;
        std::size_t q, mu;
    };
    static Place place(std::size_t slot, const AceBasis& basis) {
        const std::size_t ns = basis.slots();
        std::size_t s = slot % ns;
        int nu = 0;
        while (s >= static_cast<std::size_t>(basis.nrad[nu] * kComponents[nu])) {
            s -= static_cast<std::size_t>(basis.nrad[nu] * kComponents[nu]);
            ++nu;
        }
        return {slot / ns, nu, s % kComponents[nu], s / kComponents[nu]};
    }
    std::size_t index_of(std::size_t slot, const AceBasis& basis) const {
        const Place at = place(slot, basis);
        return index(at.element, at.nu, at.q, at.mu);
    }
};

// Four doubles as one AVX register, or as two SSE2 ones (GCC lowers a 32-byte vector poorly
// where AVX is missing). Neither assumes alignment: the same storage is read by both builds,
// which disagree on a 32-byte vector's natural alignment.
typedef double Quad __attribute__((vector_size(32), aligned(8), may_alias));
typedef double Pair __attribute__((vector_size(16), aligned(8), may_alias));

struct AvxLanes {
    Quad v;
    static AvxLanes zero() { return {Quad{0, 0, 0, 0}}; }
    static AvxLanes load(const double* p) { return {*reinterpret_cast<const Quad*>(p)}; }
    void store(double* p) const { *reinterpret_cast<Quad*>(p) = v; }
    AvxLanes operator+(AvxLanes o) const { return {v + o.v}; }
    AvxLanes operator*(AvxLanes o) const { return {v * o.v}; }
    AvxLanes operator*(double a) const { return {v * a}; }
    double sum() const { return (v[0] + v[1]) + (v[2] + v[3]); }
};

struct SseLanes {
    Pair lo, hi;
    static SseLanes zero() { return {Pair{0, 0}, Pair{0, 0}}; }
    static SseLanes load(const double* p) {
        return {*reinterpret_cast<const Pair*>(p), *reinterpret_cast<const Pair*>(p + 2)};
    }
    void store(double* p) const {
        *reinterpret_cast<Pair*>(p) = lo;
        *reinterpret_cast<Pair*>(p + 2) = hi;
    }
    SseLanes operator+(SseLanes o) const { return {lo + o.lo, hi + o.hi}; }
    SseLanes operator*(SseLanes o) const { return {lo * o.lo, hi * o.hi}; }
    SseLanes operator*(double a) const { return {lo * a, hi * a}; }
    double sum() const { return (lo[0] + lo[1]) + (hi[0] + hi[1]); }
};

// What one bond contributes to its atom's moments, in factored form: moment (nu, mu, q) of the
// bond is radial[mu] * angular[q] (q counting the components of all ranks; all ranks are kept,
// since the gradient of a component is made of components one rank lower). Gradients by the
// bond vector are formed when needed, which keeps the per-bond record small enough for an
// atom's bonds to stay in cache between the two passes over them.
struct Bond {
    double radial[kAceMaxRadial], dradial[kAceMaxRadial];  // whole groups
    double u[3], inv_r;
    double angular[20];
};

// The per-rank loops below take the rank as a template argument, so that the component loops
// have fixed trip counts the compiler unrolls: they are most of the time spent. The helpers are
// always inlined, so each entry point's build (AVX2 or not) compiles them for itself.
template <int Nu>
constexpr int kRankComponents = (Nu + 1) * (Nu + 2) / 2;

// Chebyshev polynomials T_k(xi) and their derivatives by r, times the cutoff function.
[[gnu::always_inline]] inline void chebyshev_factors(double xi, double scale, double fc, double dfc,
                                                     int groups, Bond& f) {
    f.radial[0] = fc;
    f.dradial[0] = dfc;
    f.radial[1] = xi * fc;
    f.dradial[1] = scale * fc + xi * dfc;
    double t_prev = 1.0, t = xi, dt_prev = 0.0, dt = 1.0;
    for (int k = 2; k < kLanes * groups; ++k) {
        const double tk = 2.0 * xi * t - t_prev, dtk = 2.0 * t + 2.0 * xi * dt - dt_prev;
        t_prev = t;
        t = tk;
        dt_prev = dt;
        dt = dtk;
        f.radial[k] = tk * fc;
        f.dradial[k] = dtk * scale * fc + tk * dfc;
    }
}

[[gnu::always_inline]] inline void bond_factors(const double* d, const AceBasis& basis, int groups,
                                                Bond& f) {
    const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double r = std::sqrt(r2);
    f.inv_r = 1.0 / r;
    for (int a = 0; a < 3; ++a) f.u[a] = d[a] * f.inv_r;

    const double scale = 2.0 / (basis.cutoff - basis.r_inner);
    const double xi = scale * (r - basis.r_inner) - 1.0;
    const double rc2 = basis.cutoff * basis.cutoff;
    const double s = 1.0 - r2 / rc2;
    const double fc = s * s * s, dfc = -6.0 * s * s * r / rc2;
    if (xi < -1.0) {
        // Below r_inner no data constrain the polynomials, which grow as fast as cosh(k t) there
        // and, multiplied in the three-tensor terms, made atoms fall into each other. Each
        // continues instead as T_k(-1) + T_k'(-1) g_k(xi + 1), g_k(t) = t / (1 - k^2 t): equal
        // with its slope at r_inner and never past twice its largest value inside. The repulsive
        // core takes over at short range.
        const double t = xi + 1.0;
        for (int k = 0; k < kLanes * groups; ++k) {
            const double sign = k % 2 ? -1.0 : 1.0, slope = -sign * k * k;  // T_k(-1), T_k'(-1)
            const double q = 1.0 - k * k * t, g = t / q, dg = scale / (q * q);
            f.radial[k] = (sign + slope * g) * fc;
            f.dradial[k] = slope * dg * fc + (sign + slope * g) * dfc;
        }
    } else {
        chebyshev_factors(xi, scale, fc, dfc, groups, f);
    }

    // Monomials of the unit vector, each from one a rank lower.
    f.angular[0] = 1.0;
#pragma GCC unroll 20
    for (int q = 1; q < 20; ++q) {
        const int a = kExponents[q].a ? 0 : kExponents[q].b ? 1 : 2;
        f.angular[q] = f.u[a] * f.angular[kLower.of[q][a]];
    }
}

template <typename L, int Nu>
[[gnu::always_inline]] inline void add_rank_moments(const Bond& f, int groups, double* m) {
    constexpr int nc = kRankComponents<Nu>, first = kFirstComponent[Nu];
#pragma GCC unroll 10
    for (int q = 0; q < nc; ++q) {
        const double a = f.angular[first + q];
        for (int g = 0; g < groups; ++g, m += kLanes)
            (L::load(m) + L::load(f.radial + kLanes * g) * a).store(m);
    }
}

// m += the bond's moments, for the block of one neighbour element.
template <typename L>
[[gnu::always_inline]] inline void add_moments(const Bond& f, const MomentLayout& layout,
                                               double* m) {
    add_rank_moments<L, 0>(f, layout.groups[0], m + layout.offset[0]);
    add_rank_moments<L, 1>(f, layout.groups[1], m + layout.offset[1]);
    add_rank_moments<L, 2>(f, layout.groups[2], m + layout.offset[2]);
    add_rank_moments<L, 3>(f, layout.groups[3], m + layout.offset[3]);
}

// The part of weighted_gradient from the moments of rank Nu: with s = sum_q P_q w_q over a group
// of radial functions, adds s R' to `along`, Nu s R to `radial_along` and
// sum_q grad_u(P_q) w_q R to `gu`.
template <typename L, int Nu>
[[gnu::always_inline]] inline void rank_gradient(const Bond& f, int groups, const double* w,
                                                 L& along, L& radial_along, L gu[3]) {
    constexpr int nc = kRankComponents<Nu>, first = kFirstComponent[Nu];
    for (int g = 0; g < groups; ++g) {
        L s = L::zero(), d0 = s, d1 = s, d2 = s;
#pragma GCC unroll 10
        for (int q = 0; q < nc; ++q) {
            const L wq = L::load(w + kLanes * (q * groups + g));
            s = s + wq * f.angular[first + q];
            if constexpr (Nu > 0) {
                // d(u_x^a u_y^b u_z^c)/du_x = a u_x^(a-1) u_y^b u_z^c, and so on.
                const Exponents e = kExponents[first + q];
                const int* lower = kLower.of[first + q];
                if (e.a) d0 = d0 + wq * (e.a * f.angular[lower[0]]);
                if (e.b) d1 = d1 + wq * (e.b * f.angular[lower[1]]);
                if (e.c) d2 = d2 + wq * (e.c * f.angular[lower[2]]);
            }
        }
        const L rad = L::load(f.radial + kLanes * g);
        along = along + s * L::load(f.dradial + kLanes * g);
        if constexpr (Nu > 0) {
            radial_along = radial_along + s * rad * double(Nu);
            gu[0] = gu[0] + d0 * rad;
            gu[1] = gu[1] + d1 * rad;
            gu[2] = gu[2] + d2 * rad;
        }
    }
}

// sum over moments s of w[s] * (gradient of the bond's moment s by the bond vector). With
// W_nu(u) = sum_q w_q P_q(u), the angular part is (grad_u W - nu W u) / r.
template <typename L>
[[gnu::always_inline]] inline void weighted_gradient(const Bond& f, const MomentLayout& layout,
                                                     const double* w, double* g) {
    L along = L::zero(), radial_along = along, gu[3] = {along, along, along};
    rank_gradient<L, 0>(f, layout.groups[0], w + layout.offset[0], along, radial_along, gu);
    rank_gradient<L, 1>(f, layout.groups[1], w + layout.offset[1], along, radial_along, gu);
    rank_gradient<L, 2>(f, layout.groups[2], w + layout.offset[2], along, radial_along, gu);
    rank_gradient<L, 3>(f, layout.groups[3], w + layout.offset[3], along, radial_along, gu);
    const double scale = along.sum() - radial_along.sum() * f.inv_r;
    for (int a = 0; a < 3; ++a) g[a] = scale * f.u[a] + gu[a].sum() * f.inv_r;
}

// The gradient of each of the bond's moments (3 per moment of one neighbour element's block;
// zero in the padding).
void moment_gradients(const Bond& f, const AceBasis& basis, const MomentLayout& layout,
                      double* dphi) {
    std::fill(dphi, dphi + 3 * layout.per_element, 0.0);
    for (int nu = 0; nu <= kAceMaxRank; ++nu) {
        const int first = kFirstComponent[nu];
        for (int q = first; q < first + kComponents[nu]; ++q) {
            const Exponents& e = kExponents[q];
            const int* lower = kLower.of[q];
            // (grad_u P - nu P u) / r
            double dang[3] = {e.a ? e.a * f.angular[lower[0]] : 0.0,
                              e.b ? e.b * f.angular[lower[1]] : 0.0,
                              e.c ? e.c * f.angular[lower[2]] : 0.0};
            for (int a = 0; a < 3; ++a) dang[a] = (dang[a] - nu * f.angular[q] * f.u[a]) * f.inv_r;
            for (int mu = 0; mu < basis.nrad[nu]; ++mu) {
                double* out = dphi + 3 * layout.index(0, nu, static_cast<std::size_t>(q - first),
                                                      static_cast<std::size_t>(mu));
                for (int a = 0; a < 3; ++a)
                    out[a] = f.dradial[mu] * f.u[a] * f.angular[q] + f.radial[mu] * dang[a];
            }
        }
    }
}

// Half the core energy of one bond to its first atom (the list holds each bond both ways), and
// its derivative by the bond vector to that bond's gradient.
void add_core(const double* d, const AceBasis& basis, double& energy, double* grad) {
    const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (r >= basis.core_radius) return;
    const double x = basis.core_radius / r - 1.0;
    energy += 0.5 * basis.core_energy * x * x * x;
    const double de_dr = -1.5 * basis.core_energy * x * x * basis.core_radius / (r * r);
    for (int a = 0; a < 3; ++a) grad[a] += de_dr * d[a] / r;
}

// The input checks both entry points share; returns the neighbour pairs within the cutoff.
void checked_pairs(NeighborPairs& pairs, const double* positions, std::size_t n, const double* cell,
                   const bool* pbc, const std::int32_t* species, const AceBasis& basis) {
    basis.check();
    for (std::size_t i = 0; i < n; ++i)
        if (species[i] < 0 || static_cast<std::size_t>(species[i]) >= basis.nelem)
            throw std::invalid_argument("species index out of range");
    for (std::size_t i = 0; i < 3 * n; ++i)
        if (!std::isfinite(positions[i])) throw std::invalid_argument("positions must be finite");
    neighbor_pairs(pairs, positions, n, cell, pbc, basis.cutoff);
}

// What ace_compute needs per bond, kept by each calling thread from one call to the next: an
// optimizer or a dynamics run evaluates one system over and over, and fresh pages for these
// lists cost about as much as filling them.
struct BondScratch {
    NeighborPairs pairs;
    std::vector<std::size_t> into;
    std::vector<double> grad;
};

// A program's terms in moment-layout indices, grouped by the neighbour elements whose moments
// they read: an atom evaluates only the groups whose elements all occur among its neighbours,
// since a term with a moment of an absent element is zero and its derivatives act on no bond.
// Within a group, terms come by degree, so a term reads and writes only the moments it has.
struct TermGroup {
    std::uint32_t elements;
    std::size_t begin, end;
    std::size_t degree_begin[3];         // [1], [2]: where its terms of 1 and 2 moments begin
    std::size_t outer_begin, outer_end;  // its terms of degree three, as runs (CubicTerms)
};

// The terms of degree three, c * m[a] * m[b] * m[c] with a <= b <= c, sorted and nested by their
// first and second moments: each run shares the product of the moments it fixes, so a term
// costs one load and one scatter instead of three of each.
struct CubicTerms {
    std::vector<std::int32_t> first;        // per outer run: a
    std::vector<std::uint32_t> first_end;   // per outer run: where its middle runs end
    std::vector<std::int32_t> second;       // per middle run: b
    std::vector<std::uint32_t> second_end;  // per middle run: where its terms end
    std::vector<std::int32_t> third;        // per term: c
    std::vector<double> coef;               // per term
};

// The terms of degree two, where each couples two moments of the same rank and component (as
// contractions of two tensors do): per rank and component, a dense symmetric matrix between
// the radial functions of every pair of neighbour elements. An atom evaluates these as small
// matrix-vector products over the elements it has, far cheaper than term by term once there
// are more than a few radial functions.
struct QuadraticBlock {
    std::size_t start = 0;       // where the (rank, component) starts in an element's moments
    std::size_t width = 0;       // radial functions it covers, a whole number of groups
    std::vector<char> nonzero;   // per element pair (c, c')
    std::vector<double> matrix;  // per element pair, width x width: [c][c'][mu'][mu]
};

struct EnergyTerms {
    std::vector<std::int32_t> index;  // 3 per term
    std::vector<double> coef;
    std::vector<TermGroup> groups;
    std::vector<QuadraticBlock> quadratic;  // empty: the terms of degree two are in `groups`
    CubicTerms cubic;
};

// Appends the terms (sorted triples of moment indices, with their coefficients) as runs.
void add_cubic_runs(std::vector<std::pair<std::array<std::int32_t, 3>, double>>& terms,
                    CubicTerms& out) {
    std::sort(terms.begin(), terms.end());
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const auto& [abc, c] = terms[k];
        const bool new_first = k == 0 || terms[k - 1].first[0] != abc[0];
        if (new_first) out.first.push_back(abc[0]);
        if (new_first || terms[k - 1].first[1] != abc[1]) {
            out.second.push_back(abc[1]);
            out.second_end.push_back(0);
        }
        out.third.push_back(abc[2]);
        out.coef.push_back(c);
        out.second_end.back() = static_cast<std::uint32_t>(out.third.size());
        if (new_first) out.first_end.push_back(0);
        out.first_end.back() = static_cast<std::uint32_t>(out.second.size());
    }
}

// The terms of degree two of `prog` as blocks, or nothing if some term couples moments of
// different ranks or components.
std::vector<QuadraticBlock> quadratic_blocks(const AceProgram& prog, const std::vector<int>& degree,
                                             const AceBasis& basis, const MomentLayout& layout) {
    using Place = MomentLayout::Place;
    // The blocks grow as the square of the element count; beyond a few elements most of them
    // would be zeros, and the terms stay cheaper one by one.
    if (basis.nelem > 8) return {};
    std::vector<std::pair<Place, Place>> places;
    std::array<std::size_t, kAceMaxRank + 1> width{};
    for (std::size_t t = 0; t < prog.size(); ++t) {
        if (degree[t] != 2) continue;
        const std::int32_t* sl = prog.slots.data() + 3 * t;
        const std::int32_t a = sl[0] >= 0 ? sl[0] : sl[1], b = sl[2] >= 0 ? sl[2] : sl[1];
        const Place pa = MomentLayout::place(static_cast<std::size_t>(a), basis);
        const Place pb = MomentLayout::place(static_cast<std::size_t>(b), basis);
        if (pa.nu != pb.nu || pa.q != pb.q) return {};
        places.emplace_back(pa, pb);
        const std::size_t needed = std::max(pa.mu, pb.mu) + 1;
        width[pa.nu] = std::max(width[pa.nu], (needed + kLanes - 1) / kLanes * kLanes);
    }
    const std::size_t ne = basis.nelem;
    std::vector<QuadraticBlock> blocks;
    std::vector<std::vector<std::size_t>> block_of(kAceMaxRank + 1);
    for (int nu = 0; nu <= kAceMaxRank; ++nu) block_of[nu].assign(kComponents[nu], SIZE_MAX);
    std::size_t k = 0;
    for (std::size_t t = 0; t < prog.size(); ++t) {
        if (degree[t] != 2) continue;
        const auto& [pa, pb] = places[k++];
        std::size_t& which = block_of[pa.nu][pa.q];
        if (which == SIZE_MAX) {
            QuadraticBlock block;
            block.start = layout.index(0, pa.nu, pa.q, 0);
            block.width = width[pa.nu];
            block.nonzero.assign(ne * ne, 0);
            block.matrix.assign(ne * ne * block.width * block.width, 0.0);
            which = blocks.size();
            blocks.push_back(std::move(block));
        }
        QuadraticBlock& block = blocks[which];
        const std::size_t w = block.width;
        auto entry = [&](std::size_t c, std::size_t c2, std::size_t mu,
                         std::size_t mu2) -> double& {
            block.nonzero[c * ne + c2] = 1;
            return block.matrix[((c * ne + c2) * w + mu2) * w + mu];
        };
        const double c = prog.coef[t];
        if (pa.element == pb.element && pa.mu == pb.mu) {
            entry(pa.element, pa.element, pa.mu, pa.mu) += c;
        } else {
            entry(pa.element, pb.element, pa.mu, pb.mu) += 0.5 * c;
            entry(pb.element, pa.element, pb.mu, pa.mu) += 0.5 * c;
        }
    }
    return blocks;
}

EnergyTerms energy_terms(const AceProgram& prog, const AceBasis& basis,
                         const MomentLayout& layout) {
    const std::size_t ns = basis.slots(), one = basis.nelem * layout.per_element;
    std::vector<std::uint32_t> mask(prog.size(), 0);
    std::vector<int> degree(prog.size(), 0);
    for (std::size_t t = 0; t < prog.size(); ++t)
        for (int f = 0; f < 3; ++f)
            if (prog.slots[3 * t + f] >= 0) {
                mask[t] |= 1u << (static_cast<std::size_t>(prog.slots[3 * t + f]) / ns);
                ++degree[t];
            }
    std::vector<std::size_t> order(prog.size());
    for (std::size_t t = 0; t < order.size(); ++t) order[t] = t;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return mask[a] != mask[b] ? mask[a] < mask[b] : degree[a] < degree[b];
    });
    EnergyTerms terms;
    terms.quadratic = quadratic_blocks(prog, degree, basis, layout);
    if (!terms.quadratic.empty())
        order.erase(std::remove_if(order.begin(), order.end(),
                                   [&](std::size_t t) { return degree[t] == 2; }),
                    order.end());
    std::vector<std::pair<std::array<std::int32_t, 3>, double>> cubic;
    std::size_t k = 0;
    for (const std::size_t t : order) {
        if (terms.groups.empty() || terms.groups.back().elements != mask[t]) {
            if (!terms.groups.empty()) {
                add_cubic_runs(cubic, terms.cubic);
                terms.groups.back().outer_end = terms.cubic.first.size();
                cubic.clear();
            }
            const std::size_t outer = terms.cubic.first.size();
            terms.groups.push_back({mask[t], k, k, {k, k, k}, outer, outer});
        }
        TermGroup& group = terms.groups.back();
        // The moments first (a term of degree 0 is a constant: its one factor is the moment 1).
        std::array<std::int32_t, 3> at{};
        int written = 0;
        for (int f = 0; f < 3; ++f) {
            const std::int32_t slot = prog.slots[3 * t + f];
            if (slot < 0) continue;
            at[written++] =
                static_cast<std::int32_t>(layout.index_of(static_cast<std::size_t>(slot), basis));
        }
        if (written == 3) {
            std::sort(at.begin(), at.end());
            cubic.emplace_back(at, prog.coef[t]);
            continue;
        }
        for (; written < 3; ++written) at[written] = static_cast<std::int32_t>(one);
        terms.index.insert(terms.index.end(), at.begin(), at.end());
        terms.coef.push_back(prog.coef[t]);
        group.end = ++k;
        for (int d = std::max(degree[t], 1) + 1; d <= 2; ++d) group.degree_begin[d] = group.end;
    }
    if (!terms.groups.empty()) {
        add_cubic_runs(cubic, terms.cubic);
        terms.groups.back().outer_end = terms.cubic.first.size();
    }
    return terms;
}

// The energy of the quadratic blocks for one atom; adds its gradient by the moments to `adj`.
template <typename L>
[[gnu::always_inline]] inline double quadratic_energy(const std::vector<QuadraticBlock>& blocks,
                                                      std::size_t ne, std::size_t per_element,
                                                      std::uint32_t present, const double* m,
                                                      double* adj) {
    constexpr int kMaxGroups = kAceMaxRadial / kLanes;
    double energy = 0.0;
    for (const QuadraticBlock& block : blocks) {
        const std::size_t w = block.width, groups = w / kLanes;
        for (std::size_t c = 0; c < ne; ++c) {
            if (!(present >> c & 1u)) continue;
            L acc[kMaxGroups];
            for (std::size_t g = 0; g < groups; ++g) acc[g] = L::zero();
            for (std::size_t c2 = 0; c2 < ne; ++c2) {
                if (!(present >> c2 & 1u) || !block.nonzero[c * ne + c2]) continue;
                const double* a = block.matrix.data() + (c * ne + c2) * w * w;
                const double* v = m + c2 * per_element + block.start;
                for (std::size_t mu2 = 0; mu2 < w; ++mu2, a += w)
                    for (std::size_t g = 0; g < groups; ++g)
                        acc[g] = acc[g] + L::load(a + kLanes * g) * v[mu2];
            }
            const double* v = m + c * per_element + block.start;
            double* out = adj + c * per_element + block.start;
            for (std::size_t g = 0; g < groups; ++g) {
                energy += (acc[g] * L::load(v + kLanes * g)).sum();
                (L::load(out + kLanes * g) + acc[g] * 2.0).store(out + kLanes * g);
            }
        }
    }
    return energy;
}

// The energy of the cubic runs [begin, end) for one atom; adds its gradient by the moments to
// `adj`. A term's three factors are treated as distinct, so a repeated moment gets each of its
// partial derivatives.
[[gnu::always_inline]] inline double cubic_energy(const CubicTerms& cubic, std::size_t begin,
                                                  std::size_t end, const double* m, double* adj) {
    double energy = 0.0;
    std::size_t middle = begin == 0 ? 0 : cubic.first_end[begin - 1];
    std::size_t t = middle == 0 ? 0 : cubic.second_end[middle - 1];
    for (std::size_t o = begin; o < end; ++o) {
        const double f0 = m[cubic.first[o]];
        double by_first = 0.0;
        for (; middle < cubic.first_end[o]; ++middle) {
            const double f1 = m[cubic.second[middle]], f01 = f0 * f1;
            double by_second = 0.0;
            for (; t < cubic.second_end[middle]; ++t) {
                const double c = cubic.coef[t];
                by_second += c * m[cubic.third[t]];
                adj[cubic.third[t]] += c * f01;
            }
            adj[cubic.second[middle]] += f0 * by_second;
            by_first += f1 * by_second;
        }
        energy += f0 * by_first;
        adj[cubic.first[o]] += by_first;
    }
    return energy;
}

// What pass 1 of the energy kernel reads and writes.
struct EnergyPass {
    const AceBasis& basis;
    const MomentLayout& layout;
    const NeighborPairs& pairs;
    const std::int32_t* species;
    const double* reference;
    const std::vector<std::size_t>& row;
    const std::vector<EnergyTerms>& terms;  // per element of the central atom
    double* energies;
    double* grad;  // 3 per pair
};

// Pass 1 for atoms [begin, end): each atom's energy and its gradient by each of its bond vectors.
template <typename L>
[[gnu::always_inline]] inline void energy_pass_body(const EnergyPass& ctx, std::size_t begin,
                                                    std::size_t end) {
    const std::size_t per_element = ctx.layout.per_element, nm = ctx.basis.nelem * per_element;
    std::vector<Bond> bonds;
    std::vector<double> moments(nm + 1), adjoint(nm + 1);
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t p0 = ctx.row[i], p1 = ctx.row[i + 1];
        bonds.resize(p1 - p0);
        std::fill(moments.begin(), moments.end(), 0.0);
        std::uint32_t present = 0;
        for (std::size_t p = p0; p < p1; ++p) {
            const auto c = static_cast<std::size_t>(ctx.species[ctx.pairs.second[p]]);
            present |= 1u << c;
            bond_factors(ctx.pairs.vector.data() + 3 * p, ctx.basis, ctx.layout.max_groups,
                         bonds[p - p0]);
            add_moments<L>(bonds[p - p0], ctx.layout, moments.data() + c * per_element);
        }
        moments[nm] = 1.0;
        const auto e = static_cast<std::size_t>(ctx.species[i]);
        const EnergyTerms& terms = ctx.terms[e];
        std::fill(adjoint.begin(), adjoint.end(), 0.0);
        double energy = ctx.reference[e];
        const double* m = moments.data();
        double* adj = adjoint.data();
        const std::int32_t* index = terms.index.data();
        const double* coef = terms.coef.data();
        for (const TermGroup& g : terms.groups) {
            if (g.elements & ~present) continue;
            for (std::size_t t = g.begin; t < g.degree_begin[2]; ++t) {
                const std::int32_t* sl = index + 3 * t;
                energy += coef[t] * m[sl[0]];
                adj[sl[0]] += coef[t];
            }
            for (std::size_t t = g.degree_begin[2]; t < g.end; ++t) {
                const std::int32_t* sl = index + 3 * t;
                const double c = coef[t], f0 = m[sl[0]], f1 = m[sl[1]];
                energy += c * f0 * f1;
                adj[sl[0]] += c * f1;
                adj[sl[1]] += c * f0;
            }
            energy += cubic_energy(terms.cubic, g.outer_begin, g.outer_end, m, adj);
        }
        energy +=
            quadratic_energy<L>(terms.quadratic, ctx.basis.nelem, per_element, present, m, adj);
        ctx.energies[i] = energy;
        for (std::size_t p = p0; p < p1; ++p) {
            const auto c = static_cast<std::size_t>(ctx.species[ctx.pairs.second[p]]);
            weighted_gradient<L>(bonds[p - p0], ctx.layout, adj + c * per_element,
                                 ctx.grad + 3 * p);
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2,fma")]] void energy_pass_avx2(const EnergyPass& ctx, std::size_t begin,
                                                  std::size_t end) {
    energy_pass_body<AvxLanes>(ctx, begin, end);
}
#endif

// The AVX2 build where the CPU has it, unless CORVANE_SIMD=sse2 asks for the portable one (the
// tests compare the two).
bool use_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    const char* choice = std::getenv("CORVANE_SIMD");
    if (choice && std::string(choice) == "sse2") return false;
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

void energy_pass(const EnergyPass& ctx, std::size_t begin, std::size_t end) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = use_avx2();
    if (avx2) return energy_pass_avx2(ctx, begin, end);
#endif
    energy_pass_body<SseLanes>(ctx, begin, end);
}

}  // namespace

std::size_t AceBasis::rank_offset(int nu) const {
    std::size_t offset = 0;
    for (int k = 0; k < nu; ++k) offset += static_cast<std::size_t>(nrad[k] * kComponents[k]);
    return offset;
}

std::size_t AceBasis::slots() const { return rank_offset(kAceMaxRank + 1); }

void AceBasis::check() const {
    if (nelem == 0 || nelem > 32) throw std::invalid_argument("the basis needs 1 to 32 elements");
    if (!(std::isfinite(cutoff) && std::isfinite(r_inner) && r_inner >= 0 && cutoff > r_inner))
        throw std::invalid_argument("the basis needs 0 <= r_inner < cutoff");
    if (!(std::isfinite(core_radius) && std::isfinite(core_energy) && core_radius >= 0 &&
          core_energy >= 0 && core_radius <= cutoff))
        throw std::invalid_argument("the core needs 0 <= core_radius <= cutoff and core_energy >= 0");
    for (int n : nrad)
        if (n < 0 || n > kAceMaxRadial)
            throw std::invalid_argument("radial functions per rank must be 0.." +
                                        std::to_string(kAceMaxRadial));
}

void AceProgram::check(std::size_t moments) const {
    if (coef.size() != out.size() || slots.size() != 3 * out.size())
        throw std::invalid_argument("program arrays disagree in length");
    for (std::int32_t o : out)
        if (o < 0 || static_cast<std::size_t>(o) >= outputs)
            throw std::invalid_argument("program output index out of range");
    for (std::int32_t s : slots)
        if (s < -1 || (s >= 0 && static_cast<std::size_t>(s) >= moments))
            throw std::invalid_argument("program slot out of range");
}

AceResult ace_compute(const double* positions, std::size_t n, const double* cell, const bool* pbc,
                      const std::int32_t* species, const AceBasis& basis, const double* reference,
                      const AceProgram* programs, int threads) {
    AceResult out;
    out.energies.assign(n, 0.0);
    out.forces.assign(3 * n, 0.0);
    if (n == 0) return out;
    const std::size_t ns = basis.slots(), nm = basis.nelem * ns;
    for (std::size_t e = 0; e < basis.nelem; ++e) {
        programs[e].check(nm);
        if (programs[e].outputs != 1)
            throw std::invalid_argument("energy programs have one output");
    }
    thread_local BondScratch scratch;
    const NeighborPairs& pairs = scratch.pairs;
    checked_pairs(scratch.pairs, positions, n, cell, pbc, species, basis);
    const std::size_t np = pairs.size();
    std::vector<std::size_t>& into = scratch.into;
    reuse(into, np);
    into.resize(np);
    std::vector<std::size_t> row(n + 1, 0), col(n + 1, 0);
    for (std::size_t p = 0; p < np; ++p) {
        ++row[pairs.first[p] + 1];
        ++col[pairs.second[p] + 1];
    }
    for (std::size_t i = 0; i < n; ++i) {
        row[i + 1] += row[i];
        col[i + 1] += col[i];
    }
    {
        std::vector<std::size_t> fill(col.begin(), col.end() - 1);
        for (std::size_t p = 0; p < np; ++p) into[fill[pairs.second[p]]++] = p;
    }

    const MomentLayout layout(basis);
    std::vector<EnergyTerms> terms;
    for (std::size_t e = 0; e < basis.nelem; ++e)
        terms.push_back(energy_terms(programs[e], basis, layout));

    std::vector<double>& grad = scratch.grad;
    reuse(grad, 3 * np);
    grad.resize(3 * np);
    const EnergyPass pass{
        basis, layout, pairs, species, reference, row, terms, out.energies.data(), grad.data()};
    parallel_blocks(n, threads,
                    [&](std::size_t begin, std::size_t end) { energy_pass(pass, begin, end); });
    if (basis.core_energy > 0)
        parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                for (std::size_t p = row[i]; p < row[i + 1]; ++p)
                    add_core(pairs.vector.data() + 3 * p, basis, out.energies[i],
                             grad.data() + 3 * p);
        });

    // Pass 2: gather per atom. The bond vector is r_j - r_i, so dE/dr_i = -sum(out) + sum(in).
    std::vector<double> vir_block(9 * ((n + kBlock - 1) / kBlock), 0.0);
    parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
        double* w = vir_block.data() + 9 * (begin / kBlock);
        for (std::size_t i = begin; i < end; ++i) {
            double f[3] = {0, 0, 0};
            for (std::size_t p = row[i]; p < row[i + 1]; ++p) {
                const double* g = grad.data() + 3 * p;
                const double* d = pairs.vector.data() + 3 * p;
                for (int a = 0; a < 3; ++a) {
                    f[a] += g[a];
                    for (int c = 0; c < 3; ++c) w[3 * a + c] += d[a] * g[c];
                }
            }
            for (std::size_t s = col[i]; s < col[i + 1]; ++s) {
                const double* g = grad.data() + 3 * into[s];
                for (int a = 0; a < 3; ++a) f[a] -= g[a];
            }
            for (int a = 0; a < 3; ++a) out.forces[3 * i + a] = f[a];
        }
    });
    for (std::size_t i = 0; i < n; ++i) out.energy += out.energies[i];
    for (std::size_t b = 0; b < vir_block.size(); b += 9)
        for (int a = 0; a < 9; ++a) out.virial[a] += vir_block[b + a];
    return out;
}

AceDesign ace_design(const double* positions, std::size_t n, const double* cell, const bool* pbc,
                     const std::int32_t* species, const AceBasis& basis, const AceProgram& program,
                     bool derivatives) {
    const std::size_t ns = basis.slots(), nm = basis.nelem * ns;
    const std::size_t K = program.outputs, ncol = basis.nelem * K;
    program.check(nm);
    AceDesign out;
    out.descriptors.assign(n * K, 0.0);
    out.energy.assign(ncol, 0.0);
    if (derivatives) {
        out.forces.assign(3 * n * ncol, 0.0);
        out.virial.assign(9 * ncol, 0.0);
    }
    if (n == 0) return out;
    NeighborPairs pairs;
    checked_pairs(pairs, positions, n, cell, pbc, species, basis);

    // The program in moment-layout indices (-1 stays the factor 1).
    const MomentLayout layout(basis);
    const std::size_t per_element = layout.per_element, nl = basis.nelem * per_element;
    std::vector<std::int64_t> index(program.slots.size());
    for (std::size_t k = 0; k < index.size(); ++k)
        index[k] = program.slots[k] < 0 ? -1
                                        : static_cast<std::int64_t>(layout.index_of(
                                              static_cast<std::size_t>(program.slots[k]), basis));

    // The distinct (output, moment) derivatives the program has, sorted by moment so that those
    // of one neighbour element are contiguous; each factor of each term points at its entry.
    std::vector<std::pair<std::int64_t, std::int32_t>> keys;  // (moment, output)
    for (std::size_t t = 0; t < program.size(); ++t)
        for (int f = 0; f < 3; ++f)
            if (index[3 * t + f] >= 0) keys.emplace_back(index[3 * t + f], program.out[t]);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<std::int64_t> entry_of(3 * program.size(), -1);
    for (std::size_t t = 0; t < program.size(); ++t)
        for (int f = 0; f < 3; ++f) {
            if (index[3 * t + f] < 0) continue;
            auto it = std::lower_bound(keys.begin(), keys.end(),
                                       std::make_pair(index[3 * t + f], program.out[t]));
            entry_of[3 * t + f] = it - keys.begin();
        }
    std::vector<std::size_t> element_start(basis.nelem + 1, 0);
    for (std::size_t c = 0; c <= basis.nelem; ++c)
        element_start[c] = static_cast<std::size_t>(
            std::lower_bound(
                keys.begin(), keys.end(),
                std::make_pair(static_cast<std::int64_t>(c * per_element), std::int32_t{-1})) -
            keys.begin());

    std::vector<Bond> bonds;
    std::vector<double> moments(nl), value(keys.size()), bond_virial(9 * nl), dphi(3 * per_element);
    std::size_t p0 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t p1 = p0;
        while (p1 < pairs.size() && static_cast<std::size_t>(pairs.first[p1]) == i) ++p1;
        bonds.resize(p1 - p0);
        std::fill(moments.begin(), moments.end(), 0.0);
        for (std::size_t p = p0; p < p1; ++p) {
            const auto c = static_cast<std::size_t>(species[pairs.second[p]]);
            bond_factors(pairs.vector.data() + 3 * p, basis, layout.max_groups, bonds[p - p0]);
            add_moments<SseLanes>(bonds[p - p0], layout, moments.data() + c * per_element);
        }
        const std::size_t column = static_cast<std::size_t>(species[i]) * K;
        std::fill(value.begin(), value.end(), 0.0);
        const std::int64_t* sl = index.data();
        for (std::size_t t = 0; t < program.size(); ++t, sl += 3) {
            const double c = program.coef[t];
            const double f0 = sl[0] < 0 ? 1.0 : moments[static_cast<std::size_t>(sl[0])];
            const double f1 = sl[1] < 0 ? 1.0 : moments[static_cast<std::size_t>(sl[1])];
            const double f2 = sl[2] < 0 ? 1.0 : moments[static_cast<std::size_t>(sl[2])];
            const double b = c * f0 * f1 * f2;
            out.descriptors[i * K + program.out[t]] += b;
            out.energy[column + program.out[t]] += b;
            if (!derivatives) continue;
            if (sl[0] >= 0) value[entry_of[3 * t]] += c * f1 * f2;
            if (sl[1] >= 0) value[entry_of[3 * t + 1]] += c * f0 * f2;
            if (sl[2] >= 0) value[entry_of[3 * t + 2]] += c * f0 * f1;
        }
        if (derivatives) {
            std::fill(bond_virial.begin(), bond_virial.end(), 0.0);
            for (std::size_t p = p0; p < p1; ++p) {
                const auto j = static_cast<std::size_t>(pairs.second[p]);
                const auto c = static_cast<std::size_t>(species[j]);
                moment_gradients(bonds[p - p0], basis, layout, dphi.data());
                const double* dp = dphi.data();
                const double* d = pairs.vector.data() + 3 * p;
                for (std::size_t s = 0; s < per_element; ++s)
                    for (int a = 0; a < 3; ++a)
                        for (int b = 0; b < 3; ++b)
                            bond_virial[9 * (c * per_element + s) + 3 * a + b] +=
                                d[a] * dp[3 * s + b];
                double* fi = out.forces.data() + 3 * i * ncol + column;
                double* fj = out.forces.data() + 3 * j * ncol + column;
                for (std::size_t k = element_start[c]; k < element_start[c + 1]; ++k) {
                    const double v = value[k];
                    if (v == 0.0) continue;
                    const std::size_t s = static_cast<std::size_t>(keys[k].first) - c * per_element;
                    const auto o = static_cast<std::size_t>(keys[k].second);
                    for (int a = 0; a < 3; ++a) {
                        const double g = v * dp[3 * s + a];
                        fi[a * ncol + o] += g;
                        fj[a * ncol + o] -= g;
                    }
                }
            }
            for (std::size_t k = 0; k < keys.size(); ++k) {
                const double v = value[k];
                if (v == 0.0) continue;
                const double* w = bond_virial.data() + 9 * static_cast<std::size_t>(keys[k].first);
                const std::size_t o = column + static_cast<std::size_t>(keys[k].second);
                for (int ab = 0; ab < 9; ++ab) out.virial[ab * ncol + o] += v * w[ab];
            }
        }
        p0 = p1;
    }
    return out;
}

}  // namespace corvane::kernels
