// Totals of the distances over small square blocks: cheap bounds and estimates of the means of
// whole regions, from one pass over the image.
#pragma once

#include "box_scan.hpp"

#include <vector>

namespace dofmap::detail {

// The sums of the distance terms (single-precision roots) over blocks of kSide x kSide pixels,
// clipped at the right and bottom edges.
class BlockTotals {
public:
    static constexpr int kSide = 8;

    explicit BlockTotals(const BoxScan& scan);

    int across() const { return across_; }
    int down() const { return down_; }
    double at(int bx, int by) const { return totals_[std::size_t(by) * across_ + bx]; }
    const std::vector<double>& totals() const { return totals_; }
    // The number of pixels of block (bx, by).
    int pixels(int bx, int by) const;

private:
    int width_;
    int height_;
    int across_;
    int down_;
    std::vector<double> totals_;  // by block row, then block column
};

}  // namespace dofmap::detail
