// The search for the largest literal mean, by which the map is scaled.
#pragma once

#include "block_totals.hpp"
#include "box_scan.hpp"

#include <vector>

namespace dofmap::detail {

// The largest literal mean of the image (0 when every mean is 0). Scans only the parts of the image
// that may hold it, found from the block totals (computed here unless given).
double largestMean(const BoxScan& scan, const BlockTotals* blocks = nullptr);

// The same from one scan of the whole image, which writes every fast mean rounded to single
// precision (the values of the float means of render) into `table`, CV_32F of the image's size:
// for a map rendered from the table (renderFromFloatMeans). The table is complete on return.
double largestMean(const BoxScan& scan, cv::Mat& table);

}  // namespace dofmap::detail
