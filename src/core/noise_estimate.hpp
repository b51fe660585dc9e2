// The noise estimate of the culling figures: the response of a noise mask on sampled rows of the
// photo, binned by gradient so that the flattest parts give the noise, and what Gaussian noise
// leaves after the blurs that the figures compare with.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <vector>

namespace dofmap::detail {

// The histogram of the samples' gradient magnitudes: bins of a quarter level, the last holding
// every larger one (noise of sigma 20 has gradients of about 70).
constexpr int kGradientBinsPerLevel = 4;
constexpr int kGradientBins = 256 * kGradientBinsPerLevel + 1;

// The samples of the noise mask: for each gradient bin, how many and the sum of their absolute
// responses.
struct NoiseHistogram {
    std::array<std::int64_t, kGradientBins> count{};
    std::array<std::int64_t, kGradientBins> response{};

    void add(const NoiseHistogram& other)
    {
        for (int i = 0; i < kGradientBins; ++i) {
            count[i] += other.count[i];
            response[i] += other.response[i];
        }
    }
};

// Every sampled row of the noise: rows 1 + k * stride for the stride of a photo of this size.
int noiseStride(const cv::Size& size);

// Adds the samples of row y (1 ... rows - 2) of `source` to `histogram`.
void addNoiseRow(const cv::Mat& source, int y, std::vector<std::int32_t>& mask, std::vector<std::int32_t>& gradient,
                 NoiseHistogram& histogram);

// The noise sigma from the samples of the smallest gradients.
double noiseOf(const NoiseHistogram& histogram);

// The discrete kernel cv::GaussianBlur uses at this sigma for an image of this depth (3 sigma on
// either side for 8 bits, 4 for floats).
cv::Mat gaussianKernel(double sigma, int depth);

// The expected squared difference, in one channel, between noise of sigma 1 and its blur by the
// kernel g: 1 - 2 g0 + sum g^2 over the separable two-dimensional kernel.
double residualNoiseGain(const cv::Mat& kernel);

// The expected squared central difference, along one axis, of noise of sigma 1 blurred by the
// kernel g: sum over the kernel of ((g(k + 1) - g(k - 1)) / 2)^2, times sum g^2 across.
double gradientNoiseGain(const cv::Mat& kernel);

}  // namespace dofmap::detail
