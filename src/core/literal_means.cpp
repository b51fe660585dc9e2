// The literal means of the neighborhoods that the fast sums leave in doubt, summed in the order of
// the definition.
#include "literal_means.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>

namespace dofmap::detail {

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
        for (int g = range.start; g < range.end; ++g) {
            std::size_t next = groupStarts[g];
            const std::size_t end = groupStarts[g + 1];
            const Area& first = areas_[next];
            double sum = 0.0;
            for (int xx = first.x0; next < end; ++xx) {
                sum = scan.sumColumnLiterally(sum, xx, first.y0, first.y1);
                for (; next < end && areas_[next].x1 == xx + 1; ++next)
                    means_[next] = sum / double(areas_[next].pixels());
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
