// The literal means of the neighborhoods that the fast sums leave in doubt, summed in the order of
// the definition.
#include "literal_means.hpp"

#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

namespace dofmap::detail {
namespace {

// Columns whose squared distances are gathered at a time, reading the image row by row (a column
// read on its own would touch a new cache line and page at every position), and summed at once
// while the literal sum stays in one binade.
constexpr int kStripColumns = 64;
// Distances of one column taken at a time by the binade shortcut; a run that leaves its binade is
// summed one by one, so runs stay short next to a binade.
constexpr int kRunLength = 128;
// Below this running sum a run of distances may leave the binade at every step: sum one by one.
// (Also the least sum for which gridSum's scale stays within its limit of 2^42.)
constexpr double kLeastShortcutSum = 1024.0;

// Continues the literal sum `sum` over a run of distances that follow each other in the literal
// order, given by their squared distances in any order, when its partial sums provably stay in one
// binade; returns false, leaving `sum`, otherwise.
//
// While every partial sum stays in one binade [2^e, 2^(e+1)), each addition rounds its exact result
// to a multiple of 2^(e-52); since the running sum already is one, the addition adds its term
// rounded to that grid (to nearest, the halves depending on the running sum). A run without halves
// therefore adds exactly the integer gridSum times the grid, whatever the order of its terms, and it
// stayed in the binade exactly when that result lies below 2^(e+1).
bool continueInBinade(double& sum, const std::int32_t* squared, int count)
{
    if (sum < kLeastShortcutSum) return false;
    const int exponent = std::ilogb(sum);
    const double scale = std::ldexp(1.0, 52 - exponent);
    double steps = 0.0;
    if (!kernels::gridSum(squared, count, scale, &steps)) return false;
    const double next = sum + steps / scale;
    if (next >= std::ldexp(1.0, exponent + 1)) return false;
    sum = next;
    return true;
}

// Continues the literal sum `sum` over `squared`'s distances in their order, as the definition's
// loop adds them: each the double root of its squared distance.
double continueLiterally(double sum, const std::int32_t* squared, int count)
{
    for (int begin = 0; begin < count; begin += kRunLength) {
        const int run = std::min(kRunLength, count - begin);
        if (continueInBinade(sum, squared + begin, run)) continue;
        for (int i = begin; i < begin + run; ++i) sum += std::sqrt(double(squared[i]));
    }
    return sum;
}

}  // namespace

LiteralMeans::LiteralMeans(const BoxScan& scan, std::vector<Area> areas) : areas_(std::move(areas))
{
    std::sort(areas_.begin(), areas_.end());
    areas_.erase(std::unique(areas_.begin(), areas_.end()), areas_.end());
    means_.resize(areas_.size());

    // Groups of areas over the same rows from the same first column, narrowest first: the literal
    // sum of a wider one runs through the narrower ones' sums on its way.
    std::vector<std::size_t> groupStarts;
    for (std::size_t i = 0; i < areas_.size(); ++i) {
        const Area& a = areas_[i];
        if (i == 0 || a.y0 != areas_[i - 1].y0 || a.y1 != areas_[i - 1].y1 || a.x0 != areas_[i - 1].x0)
            groupStarts.push_back(i);
    }
    groupStarts.push_back(areas_.size());

    cv::parallel_for_(cv::Range(0, int(groupStarts.size()) - 1), [&](const cv::Range& range) {
        std::vector<std::int32_t> strip, column;
        for (int g = range.start; g < range.end; ++g) {
            std::size_t next = groupStarts[g];
            const std::size_t end = groupStarts[g + 1];
            const Area& first = areas_[next];
            const int height = first.height();
            strip.resize(std::size_t(kStripColumns) * height);
            column.resize(height);
            double sum = 0.0;
            for (int x = first.x0; next < end;) {
                // A strip of columns read row by row, ending where a mean is due.
                const int columns = std::min(kStripColumns, areas_[next].x1 - x);
                for (int y = first.y0; y < first.y1; ++y)
                    kernels::squaredDistances(scan.source().ptr<std::uint8_t>(y) + 3 * x,
                                              scan.blurred().ptr<std::uint8_t>(y) + 3 * x, columns,
                                              strip.data() + std::size_t(y - first.y0) * columns);
                if (!continueInBinade(sum, strip.data(), columns * height)) {
                    for (int c = 0; c < columns; ++c) {
                        for (int y = 0; y < height; ++y) column[y] = strip[std::size_t(y) * columns + c];
                        sum = continueLiterally(sum, column.data(), height);
                    }
                }
                x += columns;
                for (; next < end && areas_[next].x1 == x; ++next) means_[next] = sum / double(areas_[next].pixels());
            }
        }
    });
}

double LiteralMeans::of(const Area& area) const
{
    const auto found = std::lower_bound(areas_.begin(), areas_.end(), area);
    CV_Assert(found != areas_.end() && *found == area);
    return means_[std::size_t(found - areas_.begin())];
}

double LiteralMeans::largest() const
{
    return means_.empty() ? 0.0 : *std::max_element(means_.begin(), means_.end());
}

}  // namespace dofmap::detail
