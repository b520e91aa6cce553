// Order statistics of a series of samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace bench {

// The p-th percentile (0 < p <= 100) by the nearest-rank rule: the smallest sample that at least
// p % of the samples do not exceed. 0 for an empty series.
inline double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size()) / 100.0));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

// The median; the mean of the two middle samples of an even series.
inline double Median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

}  // namespace bench
