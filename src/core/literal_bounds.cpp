// Bounds on how far the literal sum of a neighborhood lies from the exact sum of its distances,
// from the partial sums it passes through: far tighter than the worst case for wide neighborhoods.
#include "literal_bounds.hpp"

#include "exactness.hpp"

#include <algorithm>

namespace dofmap::detail {
namespace {

using exactness::kUnitRoundoff;

// A double root exceeds the single-precision root of its block total by at most this factor.
constexpr double kDoubleOverFloatRoot = 1.0 + 0x1p-22;
// Room for the roundings of the bound's own few hundred products and sums.
constexpr double kBoundRounding = 1.0 + 1e-12;

}  // namespace

LiteralSumBounds::LiteralSumBounds(const BoxScan& scan)
    : blocks_(scan),
      down_(std::size_t(blocks_.across()) * (blocks_.down() + 1), 0)
{
    const int across = blocks_.across();
    for (int by = 0; by < blocks_.down(); ++by)
        for (int bx = 0; bx < across; ++bx)
            down_[std::size_t(by + 1) * across + bx] =
                down_[std::size_t(by) * across + bx] + std::int64_t(blocks_.at(bx, by) * exactness::kFloatRootUnits);
}

double LiteralSumBounds::error(const Area& area) const
{
    constexpr int kSide = BlockTotals::kSide;
    const int across = blocks_.across();
    const int firstRow = area.y0 / kSide, endRow = (area.y1 - 1) / kSide + 1;
    const double k = double(std::max<std::int64_t>(area.pixels() - 1, 1)) * kUnitRoundoff;
    const double gamma = k / (1.0 - k);
    // Block column by block column: every partial sum in its columns lies below the totals of the
    // blocks so far (the double roots a little above their single-precision totals, the computed
    // sums within gamma of the exact ones), so each of their additions errs by at most half a unit
    // in the last place of that bound.
    std::int64_t sofar = 0;
    double halfUnits = 0.0;  // the sum over the columns of those half units
    for (int bx = area.x0 / kSide; bx <= (area.x1 - 1) / kSide; ++bx) {
        sofar += down_[std::size_t(endRow) * across + bx] - down_[std::size_t(firstRow) * across + bx];
        const double partialBound = double(sofar) / exactness::kFloatRootUnits * kDoubleOverFloatRoot * (1.0 + gamma);
        if (!(partialBound > 0.0)) continue;  // sums of zeros are exact
        const int columns = std::min(area.x1, (bx + 1) * kSide) - std::max(area.x0, bx * kSide);
        halfUnits += double(columns) * std::ldexp(1.0, std::ilogb(partialBound * kBoundRounding) - 53);
    }
    return double(area.height()) * halfUnits * kBoundRounding;
}

}  // namespace dofmap::detail
