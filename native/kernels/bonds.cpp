#include "bonds.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace corvane::kernels {

namespace {

constexpr double kShortestBond = 1e-6;

bool skipped(double cn_j, double distance) { return cn_j == 0 || distance < kShortestBond; }

// Neumaier's compensated sum: stays exact to a few ulps over millions of terms.
struct CompensatedSum {
    double sum = 0, carry = 0;
    void add(double x) {
        double t = sum + x;
        if (std::fabs(sum) >= std::fabs(x))
            carry += (sum - t) + x;
        else
            carry += (x - t) + sum;
        sum = t;
    }
    double value() const { return sum + carry; }
};

}  // namespace

BondTypeTable group_bonds(const std::int64_t* first, const std::int64_t* second,
                          const double* length, std::size_t npairs, const std::int32_t* species,
                          std::size_t natoms, double tolerance) {
    const auto n = static_cast<std::int64_t>(natoms);
    BondTypeTable out;
    out.coordination.assign(natoms, 0);
    for (std::size_t k = 0; k < npairs; ++k) {
        if (first[k] < 0 || first[k] >= n || second[k] < 0 || second[k] >= n)
            throw std::out_of_range("pair " + std::to_string(k) + " names an atom outside 0.." +
                                    std::to_string(n - 1));
        ++out.coordination[static_cast<std::size_t>(first[k])];
    }
    // Pairs bucketed by first atom, keeping their given order within each atom (counting sort).
    std::vector<std::int64_t> start(natoms + 1, 0);
    for (std::size_t a = 0; a < natoms; ++a) start[a + 1] = start[a] + out.coordination[a];
    std::vector<std::int64_t> order(npairs);
    {
        std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
        for (std::size_t k = 0; k < npairs; ++k)
            order[static_cast<std::size_t>(fill[static_cast<std::size_t>(first[k])]++)] =
                static_cast<std::int64_t>(k);
    }

    out.offsets.assign(natoms + 1, 0);
    out.neighbor.reserve(npairs / 2 + 1);
    out.distance.reserve(npairs / 2 + 1);
    out.count.reserve(npairs / 2 + 1);
    for (std::size_t a = 0; a < natoms; ++a) {
        const std::size_t begin = out.neighbor.size();
        for (auto p = start[a]; p < start[a + 1]; ++p) {
            const auto k = static_cast<std::size_t>(order[static_cast<std::size_t>(p)]);
            const std::int32_t sym = species[second[k]];
            const double d = length[k];
            bool absorbed = false;
            for (std::size_t t = begin; t < out.neighbor.size(); ++t) {
                if (out.neighbor[t] == sym && std::fabs(out.distance[t] - d) < tolerance) {
                    const std::int64_t new_count = out.count[t] + 1;
                    out.distance[t] = (out.distance[t] * static_cast<double>(out.count[t]) + d) /
                                      static_cast<double>(new_count);
                    out.count[t] = new_count;
                    absorbed = true;
                    break;
                }
            }
            if (!absorbed) {
                out.neighbor.push_back(sym);
                out.distance.push_back(d);
                out.count.push_back(1);
            }
        }
        out.offsets[a + 1] = static_cast<std::int64_t>(out.neighbor.size());
    }
    return out;
}

std::vector<double> mean_coordination(const std::int64_t* coordination, const std::int32_t* species,
                                      std::size_t natoms, std::size_t nspecies) {
    std::vector<double> sum(nspecies, 0.0);
    std::vector<std::int64_t> atoms(nspecies, 0);
    for (std::size_t a = 0; a < natoms; ++a) {
        // Integer sums are exact in a double up to 2**53, so this is the mean numpy forms.
        sum[static_cast<std::size_t>(species[a])] += static_cast<double>(coordination[a]);
        ++atoms[static_cast<std::size_t>(species[a])];
    }
    std::vector<double> mean(nspecies);
    for (std::size_t s = 0; s < nspecies; ++s)
        mean[s] = atoms[s] ? sum[s] / static_cast<double>(atoms[s])
                           : std::numeric_limits<double>::quiet_NaN();
    return mean;
}

std::vector<std::int32_t> species_needed(const BondTypeTable& table, const std::int32_t* species,
                                         const double* mean_cn, std::size_t nspecies) {
    std::vector<std::int32_t> order;
    std::vector<char> seen(nspecies, 0);
    auto need = [&](std::int32_t s) {
        if (!seen[static_cast<std::size_t>(s)]) {
            seen[static_cast<std::size_t>(s)] = 1;
            order.push_back(s);
        }
    };
    for (std::size_t a = 0; a < table.natoms(); ++a) {
        if (table.coordination[a] == 0) continue;
        need(species[a]);
        for (auto t = static_cast<std::size_t>(table.offsets[a]);
             t < static_cast<std::size_t>(table.offsets[a + 1]); ++t) {
            const std::int32_t s = table.neighbor[t];
            if (!skipped(effective_coordination(mean_cn[s]), table.distance[t])) need(s);
        }
        if (order.size() == nspecies) break;
    }
    return order;
}

double BondStrength::geometric_mean() const {
    if (std::isnan(log_mean)) return log_mean;
    // A zero factor makes the product zero, unless an infinite one makes it undefined.
    if (zero)
        return std::isinf(log_mean) && log_mean > 0 ? std::numeric_limits<double>::quiet_NaN()
                                                    : 0.0;
    return std::exp(log_mean);
}

BondStrength bond_strength(const BondTypeTable& table, const std::int32_t* species,
                           const double* mean_cn, const double* e) {
    BondStrength out;
    out.total_types = static_cast<std::int64_t>(table.ntypes());
    if (out.total_types == 0) return out;
    CompensatedSum logs;
    for (std::size_t a = 0; a < table.natoms(); ++a) {
        if (table.coordination[a] == 0) continue;
        const double e_i = e[species[a]];
        const double cn_i = effective_coordination(static_cast<double>(table.coordination[a]));
        for (auto t = static_cast<std::size_t>(table.offsets[a]);
             t < static_cast<std::size_t>(table.offsets[a + 1]); ++t) {
            const std::int32_t s = table.neighbor[t];
            const double cn_j = effective_coordination(mean_cn[s]);
            const double d = table.distance[t];
            if (skipped(cn_j, d)) continue;
            const double term = std::sqrt(e_i * e[s]) / (cn_i * cn_j * d);
            const double factor = term * static_cast<double>(table.count[t]);
            ++out.factors;
            if (factor == 0)
                out.zero = true;
            else
                logs.add(std::log(factor));
        }
    }
    out.log_mean = logs.value() / static_cast<double>(out.total_types);
    return out;
}

}  // namespace corvane::kernels
