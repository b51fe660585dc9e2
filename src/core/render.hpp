// The one pass that turns box sums into the outputs: gray levels, float means, and what the
// statistics gather.
#pragma once

#include "box_scan.hpp"
#include "mean_statistics.hpp"

#include <opencv2/core.hpp>

#include <vector>

namespace dofmap::detail {

// What a rendering pass writes; each output is optional.
struct RenderTargets {
    // CV_8UC1 or CV_8UC3 of the image's size: every pixel's gray level for `maxMean` (the largest
    // literal mean, > 0), bit-identical to the literal scan's.
    cv::Mat* map = nullptr;
    double maxMean = 0.0;
    // CV_32F or CV_64F of the image's size: every pixel's fast mean.
    cv::Mat* means = nullptr;
    // Every fast mean gathered for the statistics, with this window, one gathering per part.
    std::vector<MeanGathering>* gatherings = nullptr;
    PercentileWindow window{};
};

// Scans the whole image once and writes every target.
void render(const BoxScan& scan, const RenderTargets& targets);

// The map of a scan from the table of its float means that largestMean wrote, read once:
// `map` (CV_8UC1 or CV_8UC3 of the image's size) gets every pixel's gray level for `maxMean` (the
// largest literal mean, > 0), bit-identical to render's. Requires a scan of single-precision roots.
void renderFromFloatMeans(const BoxScan& scan, const cv::Mat& means, double maxMean, cv::Mat& map);

}  // namespace dofmap::detail
