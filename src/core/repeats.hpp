// Columns and rows of the image that repeat a period earlier: neighborhoods that are copies of each
// other have one literal sum, so regular images (stripes, tiles) need few.
#pragma once

#include "box_scan.hpp"

#include <vector>

namespace dofmap::detail {

// The column period p and the row period q over which most whole columns (rows) of squared
// distances equal the column p before (the row q before), and where they do, checked value by
// value. An area whose columns all equal those p before has the same distances in the same order
// as the area moved left by p, so the same literal sum; likewise for rows. Images without such
// periods (up to kMaxPeriod) have none, and every area is its own earliest copy.
class Repeats {
public:
    static constexpr int kMaxPeriod = 256;

    explicit Repeats(const BoxScan& scan);

    // The copy of `area` moved left and up by whole periods as far as every move keeps its
    // distances: an area with the same literal sum.
    Area earliestCopy(const Area& area) const;

    int columnPeriod() const { return columnPeriod_; }
    int rowPeriod() const { return rowPeriod_; }

private:
    int columnPeriod_ = 0;
    int rowPeriod_ = 0;
    // runStart[i]: the first of the run of columns (rows) up to i that each equal the one a period
    // before; i + 1 where column (row) i does not.
    std::vector<int> columnRunStart_;
    std::vector<int> rowRunStart_;
};

}  // namespace dofmap::detail
