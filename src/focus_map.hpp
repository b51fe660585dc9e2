// Pure computation of depth-of-field maps: blurred reference, neighbourhood means, rendered map.
#pragma once

#include <opencv2/core.hpp>

namespace dofmap {

// Standard deviation of the Gaussian blur that makes the reference.
constexpr double kBlurSigma = 1.5;
// Side of the square neighbourhood over which colour distances are averaged.
constexpr int kWindow = 30;

// Offsets of a neighbourhood of `window` positions along one axis: it spans `before` positions
// before the centre and `after` after it (-15 ... +14 for 30).
struct Neighbourhood {
    int before;
    int after;

    // Requires window >= 1.
    static Neighbourhood ofSize(int window) { return {window / 2, window - 1 - window / 2}; }
};

// Gaussian blur of `source` (any size, CV_8UC3) with the given sigma in both directions, kernel
// size derived from sigma, borders mirrored without repeating the edge pixel. Same size and type.
cv::Mat blurredReference(const cv::Mat& source, double sigma = kBlurSigma);

// For every pixel, the mean over its window x window neighbourhood (clipped to the image) of the
// Euclidean colour distance between `source` and `blurred`. Both must be CV_8UC3 of one size, and
// window >= 1. Returns a one-channel matrix of the source's size and `depth` (CV_64F, or CV_32F
// for half the memory). Each CV_64F entry differs from the mean summed in double, column by column
// from 0.0, by less than meanTolerance() of it; a CV_32F entry is that value rounded to float.
cv::Mat neighbourhoodMeans(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow, int depth = CV_64F);

// A bound on how far an entry `mean` of neighbourhoodMeans(..., window) may lie from the mean summed
// literally: about 1.2e-7 of the mean (the distances are taken as single-precision square roots),
// far below any visible change.
double meanTolerance(double mean, int window = kWindow);

// The gray level of a mean when the largest mean is `maxMean`: (mean / maxMean) * 255 rounded to
// the nearest integer, halves to even, clamped to 0...255. A maxMean of 0 (every mean 0) gives 0.
inline uchar grayLevel(double mean, double maxMean)
{
    return maxMean > 0.0 ? cv::saturate_cast<uchar>(mean / maxMean * 255.0) : uchar{0};
}

// A rendered DoF map and the largest neighbourhood mean it was scaled by.
struct DofMap {
    cv::Mat map;  // CV_8U with equal channels
    double maxMean;  // the largest mean, exactly as the literal summation gives it (0 when all are 0)
};

// The depth-of-field map of `source` against its blurred reference: for every pixel
// grayLevel(mean, maxMean), where mean is its neighbourhood mean summed in double column by column
// (x' outer, y' inner) from 0.0 and divided by the number of positions, and maxMean the largest
// such mean. The result is bit-identical to that literal summation, but takes time proportional to
// the number of pixels and runs on all cores. Inputs as for neighbourhoodMeans; channels is 1 or 3.
DofMap computeDofMap(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow, int channels = 3);

// Summary figures of the neighbourhood means of a photo, in units of colour distance (0 ... 441.67),
// comparable across photos where the normalised map is not.
struct MeanStatistics {
    double maxMean;  // the largest mean, as given
    double averageMean;  // the average of all means
    double p90Mean;  // the 90th percentile by nearest rank: the ceil(0.9 n)-th smallest mean
};

// The statistics of neighbourhoodMeans(source, blurred, window) without holding the table: the
// means are recomputed in a few passes. `maxMean` is computeDofMap's. The average and the percentile
// are within meanTolerance of those of the literal means (and of each other's rounding).
MeanStatistics meanStatistics(const cv::Mat& source, const cv::Mat& blurred, double maxMean, int window = kWindow);

// computeDofMap(...).map.
cv::Mat dofMapOf(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow, int channels = 3);

}  // namespace dofmap
