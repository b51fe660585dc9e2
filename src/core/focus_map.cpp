// The pipeline of the analysis as it reads: the blurred reference, the largest mean, then one pass
// for the map, the means and the statistics.
#include "focus_map.hpp"

#include "box_scan.hpp"
#include "image_allocator.hpp"
#include "largest_mean.hpp"
#include "mean_statistics.hpp"
#include "render.hpp"

#include <opencv2/imgproc.hpp>

#include <optional>

namespace dofmap {
namespace {

using detail::BoxScan;

// Means' buckets holding more than this many means are not collected in the rendering pass: the
// percentile is then found by passes of its own (a picture whose means nearly all coincide).
constexpr std::int64_t kMostMeansCollected = std::int64_t(1) << 23;

}  // namespace

cv::Mat blurredReference(const cv::Mat& source, double sigma)
{
    cv::Mat blurred = detail::largeImage(source.size(), source.type());
    cv::GaussianBlur(source, blurred, cv::Size(0, 0), sigma, 0, cv::BORDER_REFLECT_101);
    return blurred;
}

double meanTolerance(double mean, int window)
{
    // Twice the bound of the single-precision roots, which is looser than the fixed-point one.
    return 2.0 * exactness::floatRootBound(std::int64_t(window) * window)(mean);
}

FocusAnalysis analyzeFocus(const cv::Mat& source, const cv::Mat& blurred, int window, const FocusRequest& request)
{
    CV_Assert(request.mapChannels == 0 || request.mapChannels == 1 || request.mapChannels == 3);
    CV_Assert(request.meansDepth == 0 || request.meansDepth == CV_32F || request.meansDepth == CV_64F);
    const BoxScan scan(source, blurred, window);
    FocusAnalysis result;

    // The largest mean first: the map is scaled by it. The statistics need every fast mean counted,
    // which the same pass does when it scans the whole image.
    std::vector<detail::MeanTally> tallies;
    const bool needMaximum = request.mapChannels != 0 || request.statistics;
    if (needMaximum) result.maxMean = detail::largestMean(scan, request.statistics ? &tallies : nullptr);
    std::optional<detail::PercentileSearch> percentile;
    if (request.statistics) percentile.emplace(std::int64_t(source.total()), tallies);
    const bool collect = percentile && percentile->bucketCount() <= kMostMeansCollected;

    // Then one pass for everything else.
    detail::RenderTargets targets;
    if (request.mapChannels != 0) {
        result.map = detail::largeImage(source.size(), CV_8UC(request.mapChannels));
        if (result.maxMean > 0.0) {
            targets.map = &result.map;
            targets.maxMean = result.maxMean;
        } else {
            result.map.setTo(cv::Scalar::all(0));
        }
    }
    if (request.meansDepth != 0) {
        result.means = detail::largeImage(source.size(), request.meansDepth);
        targets.means = &result.means;
    }
    std::vector<std::vector<double>> bucketMeans;
    if (collect) {
        targets.percentileBucket = percentile->bucket();
        targets.bucketMeans = &bucketMeans;
    }
    if (targets.map != nullptr || targets.means != nullptr || collect) detail::render(scan, targets);

    result.statistics.maxMean = result.maxMean;
    if (percentile) {
        result.statistics.averageMean = percentile->average();
        result.statistics.p90Mean = collect
            ? percentile->select(bucketMeans)
            : detail::fastMeanOfRank(scan, detail::percentileRank(std::int64_t(source.total())),
                                     result.maxMean * (1.0 + 2.0 * scan.bound().relative));
    }
    return result;
}

DofMap computeDofMap(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    CV_Assert(channels == 1 || channels == 3);
    FocusRequest request;
    request.mapChannels = channels;
    FocusAnalysis analysis = analyzeFocus(source, blurred, window, request);
    return {std::move(analysis.map), analysis.maxMean};
}

cv::Mat dofMapOf(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    return computeDofMap(source, blurred, window, channels).map;
}

cv::Mat neighborhoodMeans(const cv::Mat& source, const cv::Mat& blurred, int window, int depth)
{
    CV_Assert(depth == CV_64F || depth == CV_32F);
    FocusRequest request;
    request.mapChannels = 0;
    request.meansDepth = depth;
    return analyzeFocus(source, blurred, window, request).means;
}

MeanStatistics meanStatistics(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    FocusRequest request;
    request.mapChannels = 0;
    request.statistics = true;
    return analyzeFocus(source, blurred, window, request).statistics;
}

}  // namespace dofmap
