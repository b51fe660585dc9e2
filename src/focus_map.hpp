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
// Euclidean colour distance between `source` and `blurred`. Both must be CV_8UC3 of one size.
// Returns a CV_64FC1 matrix of the source's size. Each mean is bit-identical to summing the
// distances in double, column by column (x outer, y inner), from 0.0, and dividing by the count.
cv::Mat neighbourhoodMeans(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow);

// The gray level of a mean when the largest mean is `maxMean`: (mean / maxMean) * 255 rounded to
// the nearest integer, halves to even, clamped to 0...255. A maxMean of 0 (every mean 0) gives 0.
inline uchar grayLevel(double mean, double maxMean)
{
    return maxMean > 0.0 ? cv::saturate_cast<uchar>(mean / maxMean * 255.0) : uchar{0};
}

// Renders a table of means (CV_64FC1) as a map with `channels` equal channels (1 or 3) of CV_8U,
// scaled so that the largest mean is 255. A table of zeros renders all 0.
cv::Mat renderMap(const cv::Mat& means, int channels = 3);

// The depth-of-field map of `source` against its blurred reference: CV_8U with `channels` equal
// channels, exactly renderMap(neighbourhoodMeans(source, blurred, window), channels).
cv::Mat dofMapOf(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow, int channels = 3);

}  // namespace dofmap
