// Bounds on how far the literal sum of a neighborhood lies from the exact sum of its distances,
// from the partial sums it passes through: far tighter than the worst case for wide neighborhoods.
#pragma once

#include "block_totals.hpp"
#include "box_scan.hpp"

#include <cstdint>
#include <vector>

namespace dofmap::detail {

// The literal sum adds the n distances of a neighborhood in order, columns outer, rows inner; each
// addition rounds its result by at most u = 2^-53 of itself, and every partial sum lies below the
// sum through the end of its column. Over a neighborhood of h rows, the rounding errors therefore
// add up to at most u (1 + gamma(n - 1)) h times the sum over its columns c of P(c), the sum of
// the distances through column c. P(c) is bounded by the totals of the blocks that meet the rows
// and the columns up to c, so the bound takes a few additions per block column.
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
