// Totals of the distances over small square blocks: cheap bounds and estimates of the means of
// whole regions, from one pass over the image.
#include "block_totals.hpp"

#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>

namespace dofmap::detail {

BlockTotals::BlockTotals(const BoxScan& scan)
    : width_(scan.width()),
      height_(scan.height()),
      across_((scan.width() + kSide - 1) / kSide),
      down_((scan.height() + kSide - 1) / kSide),
      totals_(std::size_t(across_) * down_, 0.0)
{
    cv::parallel_for_(cv::Range(0, down_), [&](const cv::Range& rows) {
        std::vector<double> columnSums(std::size_t(across_) * kSide);
        for (int by = rows.start; by < rows.end && !scan.cancelled(); ++by) {
            std::fill(columnSums.begin(), columnSums.end(), 0.0);
            for (int y = by * kSide; y < std::min((by + 1) * kSide, height_); ++y) {
                kernels::addPixelDistances(scan.source().ptr<std::uint8_t>(y), scan.blurred().ptr<std::uint8_t>(y),
                                           width_, columnSums.data());
            }
            double* out = totals_.data() + std::size_t(by) * across_;
            for (int bx = 0; bx < across_; ++bx) {
                const double* column = columnSums.data() + std::size_t(bx) * kSide;
                double total = 0.0;
                for (int i = 0; i < kSide; ++i) total += column[i];
                out[bx] = total;
            }
        }
    });
    scan.throwIfCancelled();
}

int BlockTotals::pixels(int bx, int by) const
{
    return (std::min((bx + 1) * kSide, width_) - bx * kSide) * (std::min((by + 1) * kSide, height_) - by * kSide);
}

}  // namespace dofmap::detail
