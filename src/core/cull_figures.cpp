// The figures of cullFigures: one pass over the photo and its blurred reference for the tiles'
// differences and a sample of rows for the noise (noise_estimate.hpp), then the sharpest tiles
// again for the wider blur and the gradients (sharpest_tiles.hpp).
#include "cull_figures.hpp"

#include "noise_estimate.hpp"
#include "sharpest_tiles.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <vector>

namespace dofmap {
namespace {

using detail::addBroadGradients;
using detail::addDifferences;
using detail::addNoiseRow;
using detail::gaussianKernel;
using detail::gradientNoiseGain;
using detail::grayAt;
using detail::Measures;
using detail::motionOf;
using detail::NoiseHistogram;
using detail::noiseOf;
using detail::noiseStride;
using detail::residualNoiseGain;
using detail::WideBlur;

// The share of the tiles, the sharpest, that the contrast-free sharpness and the motion figure are
// measured over, and the fewest tiles either takes.
constexpr double kRatioTileShare = 0.02;
constexpr double kMotionTileShare = 0.30;
constexpr int kLeastTiles = 4;
// The wider blur of the contrast-free sharpness, as a multiple of the reference's sigma.
constexpr double kWideBlurFactor = 4.0 / 1.5;

// What the pass gives for each tile: the sum of the squared color differences from the blurred
// reference, and the sums of the outer products (xx, xy, yy) of twice the central differences of
// the gray photo (the channels' sum) over its pixels that have four neighbors.
struct TileSums {
    std::int64_t energy = 0;
    std::int64_t gradient[3] = {0, 0, 0};
    std::int32_t gradientPixels = 0;
};

// The gray values of a row, at most 765 each.
void grayRow(const std::uint8_t* row, int width, std::int16_t* gray)
{
    for (int x = 0; x < width; ++x) gray[x] = std::int16_t(grayAt(row, x));
}

// The pass over the photo and its reference, in bands of one row of tiles, parallel: each tile's
// sums, the gray photo binned 2 x 2 (the start of the wider blur), and the noise's samples of the
// sampled rows while they are in the caches.
class Pass {
public:
    Pass(const cv::Mat& source, const cv::Mat& blurred, const std::atomic<bool>* cancel)
        : source_(source),
          blurred_(blurred),
          across_((source.cols + kCullTile - 1) / kCullTile),
          down_((source.rows + kCullTile - 1) / kCullTile),
          stride_(noiseStride(source.size())),
          tiles_(std::size_t(across_) * down_),
          binned_(source.rows / 2, source.cols / 2, CV_32F)
    {
        std::mutex mutex;
        const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(std::memory_order_relaxed); };
        cv::parallel_for_(cv::Range(0, down_), [&](const cv::Range& range) {
            NoiseHistogram own;
            Buffers buffers(source.cols);
            for (int ty = range.start; ty < range.end && !cancelled(); ++ty) band(ty, buffers, own);
            const std::lock_guard<std::mutex> lock(mutex);
            noise_.add(own);
        });
        if (cancelled()) throw AnalysisCancelled();
    }

    int across() const { return across_; }
    int down() const { return down_; }
    const TileSums& tile(int tx, int ty) const { return tiles_[std::size_t(ty) * across_ + tx]; }
    const NoiseHistogram& noise() const { return noise_; }
    // The gray photo's sums over 2 x 2 pixels, (cols / 2) x (rows / 2), CV_32F: the pixel (X, Y)
    // lies at (2 X + 0.5, 2 Y + 0.5) in the photo.
    const cv::Mat& binned() const { return binned_; }

private:
    struct Buffers {
        std::vector<std::int16_t> rows[3];  // the gray rows above, at and below the row at hand
        std::vector<std::int32_t> mask, gradient;  // the noise's samples of a row

        explicit Buffers(int width)
        {
            for (std::vector<std::int16_t>& row : rows) row.resize(std::size_t(width));
        }
    };

    void band(int ty, Buffers& buffers, NoiseHistogram& noise)
    {
        const int width = source_.cols, height = source_.rows;
        const int y0 = ty * kCullTile, y1 = std::min(y0 + kCullTile, height);
        TileSums* tiles = tiles_.data() + std::size_t(ty) * across_;
        std::int16_t* above = buffers.rows[0].data();
        std::int16_t* row = buffers.rows[1].data();
        std::int16_t* below = buffers.rows[2].data();
        if (y0 > 0) grayRow(source_.ptr<std::uint8_t>(y0 - 1), width, above);
        grayRow(source_.ptr<std::uint8_t>(y0), width, row);
        for (int y = y0; y < y1; ++y) {
            const bool inner = y > 0 && y + 1 < height;
            if (y + 1 < height) grayRow(source_.ptr<std::uint8_t>(y + 1), width, below);
            const std::uint8_t* s = source_.ptr<std::uint8_t>(y);
            const std::uint8_t* b = blurred_.ptr<std::uint8_t>(y);
            for (int tx = 0; tx < across_; ++tx) {
                const int x0 = tx * kCullTile, x1 = std::min(x0 + kCullTile, width);
                std::int32_t energy = 0;  // at most 96 * 255^2
                for (int i = 3 * x0; i < 3 * x1; ++i) {
                    const std::int16_t d = std::int16_t(s[i] - b[i]);
                    energy += std::int32_t(d) * d;
                }
                tiles[tx].energy += energy;
                if (!inner) continue;
                // At most 32 * 765^2 each.
                std::int32_t xx = 0, xy = 0, yy = 0;
                const int g0 = std::max(x0, 1), g1 = std::min(x1, width - 1);
                for (int x = g0; x < g1; ++x) {
                    const std::int16_t gx = std::int16_t(row[x + 1] - row[x - 1]);
                    const std::int16_t gy = std::int16_t(below[x] - above[x]);
                    xx += std::int32_t(gx) * gx;
                    xy += std::int32_t(gx) * gy;
                    yy += std::int32_t(gy) * gy;
                }
                tiles[tx].gradient[0] += xx;
                tiles[tx].gradient[1] += xy;
                tiles[tx].gradient[2] += yy;
                tiles[tx].gradientPixels += std::max(0, g1 - g0);
            }
            // Rows y and y + 1 (y even: bands start on even rows) go into one binned row.
            if (y % 2 == 0 && y / 2 < binned_.rows) {
                float* out = binned_.ptr<float>(y / 2);
                for (int x = 0; x < binned_.cols; ++x)
                    out[x] = float(int(row[2 * x]) + row[2 * x + 1] + below[2 * x] + below[2 * x + 1]);
            }
            if (inner && (y - 1) % stride_ == 0) addNoiseRow(source_, y, buffers.mask, buffers.gradient, noise);
            std::swap(above, row);
            std::swap(row, below);
        }
    }

    const cv::Mat& source_;
    const cv::Mat& blurred_;
    const int across_;
    const int down_;
    const int stride_;
    std::vector<TileSums> tiles_;
    cv::Mat binned_;
    NoiseHistogram noise_;
};

}  // namespace

CullFigures cullFigures(const cv::Mat& source, const cv::Mat& blurred, double maxMean, double sigma,
                        const std::atomic<bool>* cancel)
{
    CV_Assert(source.type() == CV_8UC3 && blurred.type() == CV_8UC3 && source.size() == blurred.size() &&
              !source.empty());
    CV_Assert(sigma > 0.0);
    CullFigures figures;
    if (source.rows < 3 || source.cols < 3) return figures;

    const Pass pass(source, blurred, cancel);
    figures.noise = noiseOf(pass.noise());
    const double noiseTerm = kNoiseMaxMean * figures.noise;
    figures.correctedMaxMean = std::sqrt(std::max(0.0, maxMean * maxMean - noiseTerm * noiseTerm));

    // The tiles, sharpest first (by their mean squared difference from the reference).
    struct Ranked {
        cv::Rect area;
        double energy;  // per pixel
        const TileSums* sums;
    };
    std::vector<Ranked> tiles;
    tiles.reserve(std::size_t(pass.across()) * pass.down());
    for (int ty = 0; ty < pass.down(); ++ty)
        for (int tx = 0; tx < pass.across(); ++tx) {
            const cv::Rect area(tx * kCullTile, ty * kCullTile, std::min(kCullTile, source.cols - tx * kCullTile),
                                std::min(kCullTile, source.rows - ty * kCullTile));
            const TileSums& sums = pass.tile(tx, ty);
            tiles.push_back({area, double(sums.energy) / double(area.area()), &sums});
        }
    const auto tileCount = [&](double share) {
        return std::min(tiles.size(), std::max<std::size_t>(kLeastTiles, std::size_t(share * double(tiles.size()))));
    };
    const std::size_t motionTiles = tileCount(kMotionTileShare);
    const std::size_t ratioTiles = tileCount(kRatioTileShare);
    const std::size_t ranked = std::max(motionTiles, ratioTiles);
    std::partial_sort(tiles.begin(), tiles.begin() + std::ptrdiff_t(ranked), tiles.end(),
                      [](const Ranked& a, const Ranked& b) { return a.energy > b.energy; });

    // The wider blur, small, and the sharpest tiles again.
    const double wideSigma = sigma * kWideBlurFactor;
    const WideBlur wide(pass.binned().empty() ? cv::Mat(1, 1, CV_32F, cv::Scalar(0)) : pass.binned(), wideSigma);
    // Each tile's measures on their own, added in the tiles' order afterwards: floating-point sums
    // that do not depend on how the threads share the tiles, so a photo gets the same figures on
    // every run.
    std::vector<Measures> perTile(ranked);
    cv::parallel_for_(cv::Range(0, int(ranked)), [&](const cv::Range& range) {
        for (std::size_t i = std::size_t(range.start); i < std::size_t(range.end); ++i) {
            Measures& own = perTile[i];
            if (i < motionTiles) {
                const TileSums& sums = *tiles[i].sums;
                for (int k = 0; k < 3; ++k) own.photo[k] += 0.25 * double(sums.gradient[k]);
                own.photoPixels += sums.gradientPixels;
                addBroadGradients(wide, tiles[i].area, own);
            }
            if (i < ratioTiles) addDifferences(source, blurred, wide, tiles[i].area, own);
        }
    });
    Measures measures;
    for (const Measures& own : perTile) measures.add(own);

    // Noise of sigma s in each channel is noise of 3 s^2 in the gray sum; its central differences
    // in the photo have half that along each axis.
    const cv::Mat kernel = gaussianKernel(sigma, CV_8U);
    const cv::Mat wideKernel = gaussianKernel(wideSigma, CV_32F);
    const double grayNoise = 3.0 * figures.noise * figures.noise;
    const double pixels = double(measures.pixels);
    const double narrow = measures.narrow - grayNoise * residualNoiseGain(kernel) * pixels;
    const double broad = measures.wide - grayNoise * residualNoiseGain(wideKernel) * pixels;
    figures.detailRatio = broad > 0.0 ? std::sqrt(std::max(0.0, narrow) / broad) : 0.0;
    figures.motion = motionOf(measures, grayNoise * 0.5, grayNoise * gradientNoiseGain(wideKernel), wideSigma);
    return figures;
}

}  // namespace dofmap
