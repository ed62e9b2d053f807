// Antithetic pairs in the price-and-Greeks estimators. Two paths built from W and -W are
// not independent, so the standard error of a mean over all paths as if they were is
// wrong (too large when the pair is negatively correlated, as for a price). With pairs
// the estimators average each pair's samples first, (a + b) * 0.5, and report the mean
// and the population standard error of the n / 2 pair means. The pairs are rows k and
// k + n/2 ("halves": the antithetic half stacked under the first) or rows 2j and 2j + 1
// ("adjacent"). Centred estimators centre the pair means, which is the same linear
// combination of the same samples.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {

enum class Pairs { none, halves, adjacent };

// nullopt (and the empty name that stands for an omitted keyword) is no pairing.
inline Result<Pairs> pairs_named(std::optional<std::string_view> name) {
    if (!name || name->empty()) return Pairs::none;
    if (*name == "halves") return Pairs::halves;
    if (*name == "adjacent") return Pairs::adjacent;
    return ModelError{"unknown pairs '" + std::string(*name) +
                      "': expected 'halves', 'adjacent' or None"};
}

// Pairs need an even number of paths: an unpaired path would be neither a pair nor
// independent of the others.
inline std::optional<ModelError> check_pairs(Pairs pairs, std::size_t n_paths) {
    if (pairs != Pairs::none && n_paths % 2 != 0) {
        return ModelError{"pairs need an even number of paths, got " + std::to_string(n_paths)};
    }
    return std::nullopt;
}

// The rows of pair j of n paths.
struct PairRows {
    std::size_t first, second;
};

inline PairRows pair_rows(Pairs pairs, std::size_t n, std::size_t j) noexcept {
    if (pairs == Pairs::halves) return {j, j + n / 2};
    return {2 * j, 2 * j + 1};
}

inline double pair_mean(double a, double b) noexcept { return (a + b) * 0.5; }

inline GreekSamples pair_mean(const GreekSamples& a, const GreekSamples& b) noexcept {
    return {pair_mean(a.price, b.price),
            {pair_mean(a.greeks.delta, b.greeks.delta), pair_mean(a.greeks.gamma, b.greeks.gamma),
             pair_mean(a.greeks.vega, b.greeks.vega), pair_mean(a.greeks.rho, b.greeks.rho)}};
}

template <std::size_t N>
LocalisedSamples<N> pair_mean(const LocalisedSamples<N>& a, const LocalisedSamples<N>& b) noexcept {
    LocalisedSamples<N> m;
    m.price = pair_mean(a.price, b.price);
    for (std::size_t i = 0; i < N; ++i) {
        m.u[i] = pair_mean(a.u[i], b.u[i]);
        m.v[i] = pair_mean(a.v[i], b.v[i]);
    }
    return m;
}

// The sums of the price and the four Greeks of plain (uncentred) samples.
struct GreekSampleSums {
    double sp = 0.0, spp = 0.0;
    FourSums greeks;
    void add(const GreekSamples& s) noexcept {
        sp = sp + s.price;
        spp = spp + s.price * s.price;
        greeks.add(s.greeks);
    }
    PriceGreeks finish(std::size_t n) const noexcept {
        return detail::finish(sp, spp, greeks.s1, greeks.s2, n);
    }
};

// The centred sums' estimates of the price and four Greeks.
inline PriceGreeks finish_centred(const CentringSums<4>& sums, std::size_t n) noexcept {
    const MeanStderr p = sums.price(n);
    MeanStderr g[4];
    for (std::size_t i = 0; i < 4; ++i) g[i] = sums.greek(i, n);
    return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    g[3].mean,
            p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, g[3].stderr_};
}

// sums.add of each pair's mean sample, pair after pair; `sample(k)` is path k's.
template <class Sums, class Sample>
void add_pair_means(Sums& sums, Pairs pairs, std::size_t n, Sample sample) {
    for (std::size_t j = 0; j < n / 2; ++j) {
        const PairRows r = pair_rows(pairs, n, j);
        sums.add(pair_mean(sample(r.first), sample(r.second)));
    }
}

}  // namespace quarnel
