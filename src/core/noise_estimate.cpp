// The noise estimate of the culling figures (noise_estimate.hpp) and noiseSigma, the noise alone.
#include "noise_estimate.hpp"

#include "cull_figures.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>

namespace dofmap {
namespace detail {
namespace {

// The noise is estimated from about this many pixels, in rows spread evenly over the photo: the
// mean response of a million samples lies within a fraction of a percent of its expectation.
constexpr std::int64_t kNoisePixels = std::int64_t(1) << 18;
// The share of the samples, those of the smallest gradient, over which the noise is measured.
constexpr double kNoiseShare = 0.10;
// The mean absolute response of the noise mask to Gaussian noise of sigma 1: 6 sqrt(2 / pi).
const double kMaskResponse = 6.0 * std::sqrt(2.0 / CV_PI);

}  // namespace

// Adds the samples of row y (1 ... rows - 2) of `source` to `histogram`.
void addNoiseRow(const cv::Mat& source, int y, std::vector<std::int32_t>& mask, std::vector<std::int32_t>& gradient,
                 NoiseHistogram& histogram)
{
    const std::uint8_t* above = source.ptr<std::uint8_t>(y - 1);
    const std::uint8_t* row = source.ptr<std::uint8_t>(y);
    const std::uint8_t* below = source.ptr<std::uint8_t>(y + 1);
    const int count = 3 * (source.cols - 2);
    mask.resize(std::size_t(count));
    gradient.resize(std::size_t(count));
    // The mask and the Sobel gradient of every channel of pixels 1 ... cols - 2, a loop the compiler
    // vectorizes.
    for (int i = 0; i < count; ++i) {
        const int l = i, c = i + 3, r = i + 6;
        const int a = above[l], b = above[c], d = above[r];
        const int e = row[l], f = row[c], g = row[r];
        const int h = below[l], k = below[c], m = below[r];
        mask[i] = (a - 2 * b + d) - 2 * (e - 2 * f + g) + (h - 2 * k + m);
        const int gx = (d - a) + 2 * (g - e) + (m - h);
        const int gy = (h + 2 * k + m) - (a + 2 * b + d);
        const int least =
            std::min(std::min(std::min(a, b), std::min(d, e)), std::min(std::min(f, g), std::min(h, std::min(k, m))));
        const int most =
            std::max(std::max(std::max(a, b), std::max(d, e)), std::max(std::max(f, g), std::max(h, std::max(k, m))));
        // A neighborhood that touches 0 or 255 is clipped, its noise cut short: left out.
        gradient[i] = least == 0 || most == 255 ? -1 : gx * gx + gy * gy;
    }
    for (int i = 0; i < count; ++i) {
        if (gradient[i] < 0) continue;
        const int bin = std::min(int(std::sqrt(float(gradient[i])) * float(kGradientBinsPerLevel)), kGradientBins - 1);
        ++histogram.count[bin];
        histogram.response[bin] += std::abs(mask[i]);
    }
}

// The noise sigma from the samples of the smallest gradients.
double noiseOf(const NoiseHistogram& histogram)
{
    const std::int64_t total = std::accumulate(histogram.count.begin(), histogram.count.end(), std::int64_t(0));
    if (total == 0) return 0.0;
    const double wanted = std::max(1.0, kNoiseShare * double(total));
    double taken = 0.0, response = 0.0;
    for (int bin = 0; bin < kGradientBins && taken < wanted; ++bin) {
        const double count = double(histogram.count[bin]);
        if (count == 0.0) continue;
        // The bin that reaches the share is taken in part, at its mean response.
        const double share = std::min(1.0, (wanted - taken) / count);
        taken += share * count;
        response += share * double(histogram.response[bin]);
    }
    return response / taken / kMaskResponse;
}

// Every sampled row of the noise: rows 1 + k * stride with an odd stride, so that the rows take
// every phase of the 8-row blocks of JPEG compression.
int noiseStride(const cv::Size& size)
{
    int stride = int(std::max<std::int64_t>(1, std::int64_t(size.area()) / kNoisePixels));
    return stride | 1;
}

// The discrete kernel cv::GaussianBlur uses at this sigma for an image of this depth (3 sigma on
// either side for 8 bits, 4 for floats).
cv::Mat gaussianKernel(double sigma, int depth)
{
    const int size = cvRound(sigma * (depth == CV_8U ? 3 : 4) * 2 + 1) | 1;
    return cv::getGaussianKernel(size, sigma, CV_64F);
}

// The expected squared difference, in one channel, between noise of sigma 1 and its blur by the
// kernel g: 1 - 2 g0 + sum g^2 over the separable two-dimensional kernel.
double residualNoiseGain(const cv::Mat& kernel)
{
    const double center = kernel.at<double>(kernel.rows / 2);
    const double squares = kernel.dot(kernel);
    return 1.0 - 2.0 * center * center + squares * squares;
}

// The expected squared central difference, along one axis, of noise of sigma 1 blurred by the
// kernel g: sum over the kernel of ((g(k + 1) - g(k - 1)) / 2)^2, times sum g^2 across.
double gradientNoiseGain(const cv::Mat& kernel)
{
    const int n = kernel.rows;
    double along = 0.0;
    for (int k = -1; k <= n; ++k) {
        const double next = k + 1 < n ? kernel.at<double>(k + 1) : 0.0;
        const double previous = k - 1 >= 0 && k - 1 < n ? kernel.at<double>(k - 1) : 0.0;
        along += (next - previous) * (next - previous) / 4.0;
    }
    return along * kernel.dot(kernel);
}

}  // namespace detail

double noiseSigma(const cv::Mat& source)
{
    CV_Assert(source.type() == CV_8UC3 && !source.empty());
    if (source.rows < 3 || source.cols < 3) return 0.0;
    const int stride = detail::noiseStride(source.size());
    const int sampled = (source.rows - 3) / stride + 1;
    detail::NoiseHistogram total;
    std::mutex mutex;
    cv::parallel_for_(cv::Range(0, sampled), [&](const cv::Range& range) {
        detail::NoiseHistogram histogram;
        std::vector<std::int32_t> mask, gradient;
        for (int k = range.start; k < range.end; ++k)
            detail::addNoiseRow(source, 1 + k * stride, mask, gradient, histogram);
        const std::lock_guard<std::mutex> lock(mutex);
        total.add(histogram);
    });
    return detail::noiseOf(total);
}

}  // namespace dofmap
