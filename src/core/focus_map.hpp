// Depth-of-field maps: the blurred reference, the neighborhood means, the rendered map and the
// figures of a photo. Pure computation on OpenCV matrices, linking only OpenCV's core and imgproc.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>

namespace dofmap {

// Standard deviation of the Gaussian blur that makes the reference.
constexpr double kBlurSigma = 1.5;
// Side of the square neighborhood over which color distances are averaged.
constexpr int kWindow = 30;

// The blurs accepted: from the least, whose kernel already leaves the photo as it is, to the
// greatest; a wider blur takes minutes and gigabytes and proves nothing about focus.
constexpr double kLeastSigma = 0.1;
constexpr double kGreatestSigma = 100.0;
// The windows accepted: from one pixel to a side whose neighborhoods of up to 10^10 positions keep
// every mean that is not 0 (at least 1 / 10^10) within the buckets of the statistics.
constexpr int kLeastWindow = 1;
constexpr int kGreatestWindow = 100000;

// The parameters of an analysis: the blur of the reference and the side of the neighborhood.
struct Parameters {
    double sigma = kBlurSigma;
    int window = kWindow;
};

// A parameter outside its range: which one, its range and the reason, in the programs' words.
struct ParameterProblem {
    std::string name;  // "window" or "sigma"
    std::string range;  // "from 1 to 100000" or "from 0.1 to 100"
    std::string reason;  // "must be a whole number from 1 to 100000" or "must be a number from 0.1 to 100"
};

// The first parameter of `parameters` outside its range (kLeastWindow ... kGreatestWindow,
// kLeastSigma ... kGreatestSigma; a sigma that is not a number is outside), the window before sigma;
// none when both lie within. The programs and the Python module refuse parameters with a problem,
// and analyzeFocus requires a window within its range.
std::optional<ParameterProblem> parameterProblem(const Parameters& parameters);

// Offsets of a neighborhood of `window` positions along one axis: it spans `before` positions
// before the center and `after` after it (-15 ... +14 for 30).
struct Neighborhood {
    int before;
    int after;

    // Requires window >= 1.
    static Neighborhood ofSize(int window) { return {window / 2, window - 1 - window / 2}; }
};

// Gaussian blur of `source` (any size, CV_8UC3) with the given sigma in both directions, kernel
// size derived from sigma, borders mirrored without repeating the edge pixel. Same size and type.
cv::Mat blurredReference(const cv::Mat& source, double sigma = kBlurSigma);

// The same into `blurred`, which keeps its memory when it has the size and type already.
void blurredReference(const cv::Mat& source, cv::Mat& blurred, double sigma);

// A bound on how far an entry `mean` of analyzeFocus's means at `window` may lie from the mean summed
// literally: about 1.2e-7 of the mean (the distances are taken as single-precision square roots, or
// for wide windows as double roots in fixed point, which lie closer), far below any visible change.
double meanTolerance(double mean, int window = kWindow);

// The gray level of a mean when the largest mean is `maxMean`: (mean / maxMean) * 255 rounded to
// the nearest integer, halves to even, clamped to 0...255. A maxMean of 0 (every mean 0) gives 0.
inline uchar grayLevel(double mean, double maxMean)
{
    return maxMean > 0.0 ? cv::saturate_cast<uchar>(mean / maxMean * 255.0) : uchar{0};
}

// Summary figures of the neighborhood means of a photo, in units of color distance (0 ... 441.67),
// comparable across photos where the normalized map is not.
struct MeanStatistics {
    double maxMean;  // the largest mean, exactly as the literal summation gives it
    double meanMean;  // the average of all means
    double p90Mean;  // the 90th percentile by nearest rank: the ceil(0.9 n)-th smallest mean
};

// What analyzeFocus computes beyond the largest mean.
struct FocusRequest {
    int mapChannels = 3;  // 1 or 3 for the map, 0 for none
    int meansDepth = 0;  // CV_32F or CV_64F for the table of means, 0 for none
    bool statistics = false;  // the average and the percentile of the means
    // Whether a map asked for without the statistics may be rendered from a single scan of the
    // photo, through a table of every fast mean in single precision that the result keeps in
    // FocusAnalysis::scratch: 4 more bytes a pixel, for about half the time of the two scans needed
    // otherwise (one to find the largest mean, one to render). Float means asked for serve as that
    // table whatever this says. Wide windows, whose sums are kept more finely than a float holds,
    // take the two scans.
    bool oneScan = false;
    // A flag that another thread may set to stop the analysis: when given, it is read between bands
    // of rows (every few milliseconds of work), and once it holds true analyzeFocus stops and
    // throws AnalysisCancelled, leaving the result partly written. The flag must outlive
    // the call.
    const std::atomic<bool>* cancel = nullptr;
};

// What analyzeFocus throws when its request's cancel flag was set while it ran.
class AnalysisCancelled : public std::runtime_error {
public:
    AnalysisCancelled() : std::runtime_error("the analysis was cancelled") { }
};

// The results of analyzeFocus; what was not asked for is empty or 0.
struct FocusAnalysis {
    cv::Mat map;  // CV_8UC(mapChannels): every pixel grayLevel(mean, maxMean), channels equal
    double maxMean = 0.0;  // the largest mean, exactly as the literal summation gives it (0 when all are 0)
    cv::Mat means;  // the fast mean of every pixel, within meanTolerance of the literal one
    MeanStatistics statistics{};  // maxMean, and the average and percentile within meanTolerance
    cv::Mat scratch;  // kept for the next analysis into this result: the float means of a one-scan map
};

// The depth-of-field analysis of `source` against its blurred reference (both CV_8UC3 of one size,
// not empty; window from kLeastWindow to kGreatestWindow). The mean of a pixel is the Euclidean
// color distance between the two images averaged over its window x window neighborhood, clipped to
// the image, summed in double column by column (x' outer, y' inner) from 0.0 and divided by the
// number of positions. The map and maxMean are bit-identical to that literal summation; the means
// and statistics are within meanTolerance of it. Takes time proportional to the number of pixels,
// whatever the window, with the image scanned as few times as the outputs need, on all cores.
FocusAnalysis analyzeFocus(const cv::Mat& source, const cv::Mat& blurred, int window, const FocusRequest& request);

// The same into `result`, whose map and means keep their memory when they already have the size
// and type asked for: analyses of photos of one size then touch no fresh memory.
void analyzeFocus(const cv::Mat& source, const cv::Mat& blurred, int window, const FocusRequest& request,
                  FocusAnalysis& result);

// A rendered DoF map and the largest neighborhood mean it was scaled by.
struct DofMap {
    cv::Mat map;  // CV_8U with equal channels
    double maxMean;  // the largest mean, exactly as the literal summation gives it (0 when all are 0)
};

// The plain map: the map of analyzeFocus with `channels` (1 or 3) channels, and the largest mean.
DofMap computeDofMap(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow, int channels = 3);

}  // namespace dofmap
