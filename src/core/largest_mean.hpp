// The search for the largest literal mean, by which the map is scaled.
#pragma once

#include "block_totals.hpp"
#include "box_scan.hpp"

#include <vector>

namespace dofmap::detail {

// The largest literal mean of the image (0 when every mean is 0). Scans only the parts of the image
// that may hold it, found from the block totals (computed here unless given).
double largestMean(const BoxScan& scan, const BlockTotals* blocks = nullptr);

// The same from one scan of the whole image, whose rows are passed on to `alongside` as well: for
// callers that need every box sum anyway.
double largestMean(const BoxScan& scan, RowSink& alongside);

}  // namespace dofmap::detail
