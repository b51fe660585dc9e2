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
    : blocks_(scan), down_(std::size_t(blocks_.across()) * (blocks_.down() + 1), 0)
{
    const int across = blocks_.across();
    for (int by = 0; by < blocks_.down(); ++by)
        for (int bx = 0; bx < across; ++bx)
            down_[std::size_t(by + 1) * across + bx] = down_[std::size_t(by) * across + bx] +
                std::int64_t(blocks_.at(bx, by) * exactness::kFloatRootUnits);
}

double LiteralSumBounds::error(const Area& area) const
{
    constexpr int kSide = BlockTotals::kSide;
    const int across = blocks_.across();
    const int firstRow = area.y0 / kSide, endRow = (area.y1 - 1) / kSide + 1;
    // The sum over the columns of the area of the totals of the blocks up to them.
    double weighted = 0.0;
    for (int bx = area.x0 / kSide; bx <= (area.x1 - 1) / kSide; ++bx) {
        const std::int64_t column =
            down_[std::size_t(endRow) * across + bx] - down_[std::size_t(firstRow) * across + bx];
        weighted += double(column) * double(area.x1 - std::max(area.x0, bx * kSide));
    }
    const double k = double(std::max<std::int64_t>(area.pixels() - 1, 1)) * kUnitRoundoff;
    const double gamma = k / (1.0 - k);
    return kUnitRoundoff * (1.0 + gamma) * double(area.height()) * weighted / exactness::kFloatRootUnits *
        kDoubleOverFloatRoot * kBoundRounding;
}

}  // namespace dofmap::detail
