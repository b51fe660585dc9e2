// The literal means of the neighborhoods that the fast sums leave in doubt, summed in the order of
// the definition.
#pragma once

#include "box_scan.hpp"
#include "repeats.hpp"

#include <vector>

namespace dofmap::detail {

// The literal means of a set of neighborhoods: each distinct one summed once, neighborhoods over the
// same rows that start at the same column taken from one running sum, all in parallel. Many over
// neighboring rows are summed column by column, each column loaded once for all that cross it, at a
// few operations per column whatever their height; many long sums are first matched with the
// earliest copies of their neighborhoods in images of repeating columns or rows (Repeats), and only
// those are summed. Throws AnalysisCancelled when the scan is cancelled.
class LiteralMeans {
public:
    // `areas` may repeat.
    LiteralMeans(const BoxScan& scan, std::vector<Area> areas);

    // The literal mean of one of the areas given.
    double of(const Area& area) const;
    // The largest of them (0 when none was given).
    double largest() const;

private:
    const Repeats* repeats_ = nullptr;  // the scan's, when the areas were matched with their earliest copies
    std::vector<Area> areas_;  // sorted, distinct (the earliest copies of the areas given, with repeats_)
    std::vector<double> means_;
};

}  // namespace dofmap::detail
