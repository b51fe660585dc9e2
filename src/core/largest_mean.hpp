// The search for the largest literal mean, by which the map is scaled.
#pragma once

#include "box_scan.hpp"
#include "mean_statistics.hpp"

#include <vector>

namespace dofmap::detail {

// The largest literal mean of the image (0 when every mean is 0). Scans only the parts of the image
// that may hold it, unless `tallies` is given: then the whole image is scanned and every pixel's
// fast mean is counted into the tallies, one for each part of scan.wholeImage().
double largestMean(const BoxScan& scan, std::vector<MeanTally>* tallies = nullptr);

}  // namespace dofmap::detail
