// Judging photos by their sharpest neighborhood: the threshold as given, and as it comes out of the
// batch's own figures.
#include "verdicts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace dofmap::batch {

std::optional<Threshold> parseThreshold(const std::string& text)
{
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(value) || value < 0.0) return std::nullopt;
    const std::string rest(end);
    if (rest.empty()) return Threshold{value, false};
    if (rest == "%") return Threshold{value, true};
    return std::nullopt;
}

double median(std::vector<double> values)
{
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + long(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + long(middle));
    return (lower + upper) / 2.0;
}

std::optional<double> absoluteThreshold(const Threshold& threshold, const std::vector<double>& maxMeans)
{
    if (!threshold.percentOfMedian) return threshold.value;
    if (maxMeans.empty()) return std::nullopt;
    return threshold.value / 100.0 * median(maxMeans);
}

}  // namespace dofmap::batch
