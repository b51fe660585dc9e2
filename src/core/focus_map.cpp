// The pipeline of the analysis as it reads: the blurred reference, the largest mean, then one pass
// for the map, the means and the statistics.
#include "focus_map.hpp"

#include "block_totals.hpp"
#include "box_scan.hpp"
#include "largest_mean.hpp"
#include "mean_statistics.hpp"
#include "pipeline.hpp"
#include "render.hpp"

#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <optional>

namespace dofmap {
namespace {

using detail::BoxScan;

// Makes `image` a continuous image of the given size and type, keeping its memory when it already
// is one: analyses of photos of one size into one result then touch no fresh memory, whose first
// touch costs about as much as the map itself.
void reuseOrCreate(cv::Mat& image, cv::Size size, int type)
{
    if (image.size() != size || image.type() != type || !image.isContinuous()) image = cv::Mat(size, type);
}

}  // namespace

cv::Mat blurredReference(const cv::Mat& source, double sigma)
{
    cv::Mat blurred;
    blurredReference(source, blurred, sigma);
    return blurred;
}

void blurredReference(const cv::Mat& source, cv::Mat& blurred, double sigma)
{
    cv::GaussianBlur(source, blurred, cv::Size(0, 0), sigma, 0, cv::BORDER_REFLECT_101);
}

namespace {

// A limit as the messages write it: 0.1, 100.
std::string limitText(double limit)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", limit);
    return text;
}

}  // namespace

std::optional<ParameterProblem> parameterProblem(const Parameters& parameters)
{
    if (parameters.window < kLeastWindow || parameters.window > kGreatestWindow) {
        const std::string range = "from " + std::to_string(kLeastWindow) + " to " + std::to_string(kGreatestWindow);
        return ParameterProblem{"window", range, "must be a whole number " + range};
    }
    // Written so that NaN fails too.
    if (!(parameters.sigma >= kLeastSigma && parameters.sigma <= kGreatestSigma)) {
        const std::string range = "from " + limitText(kLeastSigma) + " to " + limitText(kGreatestSigma);
        return ParameterProblem{"sigma", range, "must be a number " + range};
    }
    return std::nullopt;
}

double meanTolerance(double mean, int window)
{
    // Twice the bound of the single-precision roots, which is looser than the fixed-point one.
    return 2.0 * exactness::floatRootBound(std::int64_t(window) * window)(mean);
}

namespace {

// Whether the request is answered from one scan of the photo through a table of float means.
bool inOneScan(const BoxScan& scan, const FocusRequest& request)
{
    return request.mapChannels != 0 && !request.statistics && scan.terms() == detail::ScanTerms::floatRoots &&
        (request.oneScan || request.meansDepth == CV_32F);
}

// The map (and the float means, when asked for) from one scan: the largest mean is searched for
// while every fast mean goes into the table, from which the map is then rendered.
void analyzeInOneScan(const BoxScan& scan, const FocusRequest& request, FocusAnalysis& result)
{
    const cv::Size size = scan.source().size();
    const bool meansWanted = request.meansDepth == CV_32F;
    cv::Mat& table = meansWanted ? result.means : result.scratch;
    reuseOrCreate(table, size, CV_32F);
    if (meansWanted) result.scratch.release();
    reuseOrCreate(result.map, size, CV_8UC(request.mapChannels));
    result.maxMean = detail::largestMean(scan, table);
    if (result.maxMean > 0.0)
        detail::renderFromFloatMeans(scan, table, result.maxMean, result.map);
    else
        result.map.setTo(cv::Scalar::all(0));
    if (!meansWanted) result.means.release();
    result.statistics = {result.maxMean, 0.0, 0.0};
}

}  // namespace

void detail::analyze(const BoxScan& scan, const FocusRequest& request, FocusAnalysis& result)
{
    CV_Assert(request.mapChannels == 0 || request.mapChannels == 1 || request.mapChannels == 3);
    CV_Assert(request.meansDepth == 0 || request.meansDepth == CV_32F || request.meansDepth == CV_64F);
    if (inOneScan(scan, request)) {
        analyzeInOneScan(scan, request, result);
        return;
    }
    result.scratch.release();
    const cv::Size size = scan.source().size();

    // The largest mean first: the map is scaled by it. The statistics look for their percentile in
    // a window that the block totals predict; the search for the maximum uses them too.
    std::optional<detail::BlockTotals> blocks;
    if (request.statistics) blocks.emplace(scan);
    result.maxMean =
        request.mapChannels != 0 || request.statistics ? detail::largestMean(scan, blocks ? &*blocks : nullptr) : 0.0;

    // Then one pass for everything else.
    detail::RenderTargets targets;
    if (request.mapChannels != 0) {
        reuseOrCreate(result.map, size, CV_8UC(request.mapChannels));
        if (result.maxMean > 0.0) {
            targets.map = &result.map;
            targets.maxMean = result.maxMean;
        } else {
            result.map.setTo(cv::Scalar::all(0));
        }
    } else {
        result.map.release();
    }
    if (request.meansDepth != 0) {
        reuseOrCreate(result.means, size, request.meansDepth);
        targets.means = &result.means;
    } else {
        result.means.release();
    }
    std::vector<detail::MeanGathering> gatherings;
    if (request.statistics) {
        targets.gatherings = &gatherings;
        targets.window = detail::predictPercentileWindow(scan, *blocks);
    }
    if (targets.map != nullptr || targets.means != nullptr || targets.gatherings != nullptr)
        detail::render(scan, targets);

    result.statistics = {result.maxMean, 0.0, 0.0};
    if (request.statistics) {
        const std::int64_t pixels = std::int64_t(size.area());
        const auto [average, percentile] = detail::gatheredStatistics(pixels, targets.window, gatherings);
        result.statistics.meanMean = average;
        // A window that missed the percentile: every fast mean lies within the bound of a literal one.
        result.statistics.p90Mean = percentile
            ? *percentile
            : detail::fastMeanOfRank(scan, detail::percentileRank(pixels),
                                     result.maxMean * (1.0 + 4.0 * scan.bound().relative));
    }
}

void analyzeFocus(const cv::Mat& source, const cv::Mat& blurred, int window, const FocusRequest& request,
                  FocusAnalysis& result)
{
    CV_Assert(window >= kLeastWindow && window <= kGreatestWindow);
    detail::analyze(BoxScan(source, blurred, window, detail::ScanTerms::automatic, request.cancel), request, result);
}

FocusAnalysis analyzeFocus(const cv::Mat& source, const cv::Mat& blurred, int window, const FocusRequest& request)
{
    FocusAnalysis result;
    analyzeFocus(source, blurred, window, request, result);
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

}  // namespace dofmap
