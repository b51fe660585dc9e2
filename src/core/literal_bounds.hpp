// Bounds on how far the literal sum of a neighborhood lies from the exact sum of its distances,
// from the partial sums it passes through: far tighter than the worst case for wide neighborhoods.
#pragma once

#include "block_totals.hpp"
#include "box_scan.hpp"

#include <cstdint>
#include <vector>

namespace dofmap::detail {

// The literal sum adds the n distances of a neighborhood in order, columns outer, rows inner; each
// addition rounds its result to the nearest double, off by at most half a unit in its last place,
// and the result lies below (1 + gamma(n - 1)) P(c), where P(c) is the exact sum of the distances
// through the end of its column c. Over a neighborhood of h rows, the rounding errors therefore add
// up to at most h times the sum over its columns of half a unit in the last place of that bound.
// P(c) is bounded by the totals of the blocks that meet the rows and the columns up to c, so the
// bound takes a few operations per block column; on random distances it came to about 40 % of the
// worst case gamma(n - 1) P.
class LiteralSumBounds {
public:
    explicit LiteralSumBounds(const BoxScan& scan);

    // A bound on |literal sum - exact sum of the double roots| over `area`.
    double error(const Area& area) const;

private:
    BlockTotals blocks_;
    // Sums of the block totals down each block column, in units of 2^-23, by block row then column:
    // exact, since the totals are sums of single-precision roots.
    std::vector<std::int64_t> down_;
};

}  // namespace dofmap::detail
