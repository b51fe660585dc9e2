// The figures of cullFigures: one pass over the photo and its blurred reference for the tiles'
// differences and a sample of rows for the noise, then the sharpest tiles again for the wider blur
// and the gradients.
#include "cull_figures.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <vector>

namespace dofmap {
namespace {

// The noise is estimated from about this many pixels, in rows spread evenly over the photo: the
// mean response of a million samples lies within a fraction of a percent of its expectation.
constexpr std::int64_t kNoisePixels = std::int64_t(1) << 18;
// The share of the samples, those of the smallest gradient, over which the noise is measured.
constexpr double kNoiseShare = 0.10;
// The histogram of the samples' gradient magnitudes: bins of a quarter level, the last holding
// every larger one (noise of sigma 20 has gradients of about 70).
constexpr int kGradientBinsPerLevel = 4;
constexpr int kGradientBins = 256 * kGradientBinsPerLevel + 1;
// The mean absolute response of the noise mask to Gaussian noise of sigma 1: 6 sqrt(2 / pi).
const double kMaskResponse = 6.0 * std::sqrt(2.0 / CV_PI);

// The share of the tiles, the sharpest, that the contrast-free sharpness and the motion figure are
// measured over, and the fewest tiles either takes.
constexpr double kRatioTileShare = 0.02;
constexpr double kMotionTileShare = 0.30;
constexpr int kLeastTiles = 4;
// The wider blur of the contrast-free sharpness, as a multiple of the reference's sigma.
constexpr double kWideBlurFactor = 4.0 / 1.5;
// The weight, as a share of the mean gradient energy of a direction, of the isotropic energy of
// average sharpness added to every direction of the motion figure: a direction without detail
// then counts as the average, not as the least sharp.
constexpr double kMotionFloor = 0.02;
// The largest share of gradient energy taken as kept by the wider blur: a blur of 22 times its
// sigma, far beyond any figure a photo needs.
constexpr double kMostKeptEnergy = 0.999;

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

// What the pass gives for each tile: the sum of the squared color differences from the blurred
// reference, and the sums of the outer products (xx, xy, yy) of twice the central differences of
// the gray photo (the channels' sum) over its pixels that have four neighbors.
struct TileSums {
    std::int64_t energy = 0;
    std::int64_t gradient[3] = {0, 0, 0};
    std::int32_t gradientPixels = 0;
};

// The gray value (sum of the channels) of pixel x of a row of 8-bit BGR pixels.
inline int grayAt(const std::uint8_t* row, int x)
{
    return int(row[3 * x]) + int(row[3 * x + 1]) + int(row[3 * x + 2]);
}

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

// The photo's wider blur of the gray image, made small: the binned photo is halved further by
// cv::pyrDown (each a Gaussian of sigma 1 in its input's pixels, so that nothing finer than the
// new pixels is left to alias), then blurred by what remains of the wider sigma. Such a blur has
// no detail finer than a few of its pixels, so it loses nothing by being small.
struct WideBlur {
    cv::Mat image;  // CV_32F
    int levels = 1;  // the image's pixel is 2^levels of the photo's on each side

    WideBlur(const cv::Mat& binned, double sigma)
    {
        // The variance of the blur so far, in the photo's pixels: 1/4 from the 2 x 2 binning, and
        // 4^k from the pyramid's level k. Levels are taken while they leave at least half of the
        // wider blur's variance to the last blur and the image at least 16 pixels on each side.
        double variance = 0.25;
        cv::Mat level = binned;
        while (variance + std::pow(4.0, levels) <= sigma * sigma / 2.0 && level.cols >= 32 && level.rows >= 32) {
            cv::Mat half;
            cv::pyrDown(level, half);
            level = half;
            variance += std::pow(4.0, levels);
            ++levels;
        }
        const double scale = std::ldexp(1.0, levels);
        const double remaining = std::sqrt(std::max(sigma * sigma - variance, 0.0)) / scale;
        if (remaining > 0.0)
            cv::GaussianBlur(level, image, cv::Size(0, 0), remaining, 0, cv::BORDER_REFLECT_101);
        else
            image = level;
        // The binning summed four gray values.
        image *= 0.25;
    }

    // The blur at pixel (x, y) of the photo, interpolated: the small pixel (X, Y) lies at
    // (2^levels X + 0.5, 2^levels Y + 0.5).
    float at(int x, int y) const
    {
        const float scale = 1.0f / float(1 << levels);
        const float u = std::clamp((float(x) - 0.5f) * scale, 0.0f, float(image.cols - 1));
        const float v = std::clamp((float(y) - 0.5f) * scale, 0.0f, float(image.rows - 1));
        const int u0 = std::min(int(u), std::max(image.cols - 2, 0));
        const int v0 = std::min(int(v), std::max(image.rows - 2, 0));
        const int u1 = std::min(u0 + 1, image.cols - 1), v1 = std::min(v0 + 1, image.rows - 1);
        const float fu = u - float(u0), fv = v - float(v0);
        const float* top = image.ptr<float>(v0);
        const float* bottom = image.ptr<float>(v1);
        return (1 - fv) * ((1 - fu) * top[u0] + fu * top[u1]) + fv * ((1 - fu) * bottom[u0] + fu * bottom[u1]);
    }
};

// What the sharpest tiles give, on the gray image: the squared differences of the photo from the
// reference and from the wider blur, and the sums of the outer products (xx, xy, yy) of the
// gradients of the photo and of its wider blur, in the photo's pixels.
struct Measures {
    double narrow = 0.0;
    double wide = 0.0;
    std::int64_t pixels = 0;  // of the differences
    double photo[3] = {0.0, 0.0, 0.0};
    std::int64_t photoPixels = 0;
    double broad[3] = {0.0, 0.0, 0.0};
    std::int64_t broadPixels = 0;

    void add(const Measures& other)
    {
        narrow += other.narrow;
        wide += other.wide;
        pixels += other.pixels;
        for (int k = 0; k < 3; ++k) {
            photo[k] += other.photo[k];
            broad[k] += other.broad[k];
        }
        photoPixels += other.photoPixels;
        broadPixels += other.broadPixels;
    }
};

// Adds the gradient products of the wider blur over the small pixels whose centers lie in `area`
// and have four neighbors: a small pixel stands for 4^levels of the photo's, whose gradients are
// 2^levels times smaller, so the mean products of the small pixels are 4^levels times those of the
// photo's pixels.
void addBroadGradients(const WideBlur& blur, const cv::Rect& area, Measures& measures)
{
    const cv::Mat& image = blur.image;
    const int shift = blur.levels;
    const int x0 = std::max(area.x >> shift, 1), x1 = std::min((area.x + area.width) >> shift, image.cols - 1);
    const int y0 = std::max(area.y >> shift, 1), y1 = std::min((area.y + area.height) >> shift, image.rows - 1);
    if (x0 >= x1 || y0 >= y1) return;
    double xx = 0.0, xy = 0.0, yy = 0.0;
    for (int y = y0; y < y1; ++y) {
        const float* above = image.ptr<float>(y - 1);
        const float* row = image.ptr<float>(y);
        const float* below = image.ptr<float>(y + 1);
        for (int x = x0; x < x1; ++x) {
            const double gx = 0.5 * (row[x + 1] - row[x - 1]);
            const double gy = 0.5 * (below[x] - above[x]);
            xx += gx * gx;
            xy += gx * gy;
            yy += gy * gy;
        }
    }
    const double perPhotoPixel = std::ldexp(1.0, -2 * shift);
    measures.broad[0] += xx * perPhotoPixel;
    measures.broad[1] += xy * perPhotoPixel;
    measures.broad[2] += yy * perPhotoPixel;
    measures.broadPixels += std::int64_t(x1 - x0) * (y1 - y0);
}

// Adds the squared gray differences of the photo from the reference and from the wider blur over
// `area`.
void addDifferences(const cv::Mat& source, const cv::Mat& blurred, const WideBlur& blur, const cv::Rect& area,
                    Measures& measures)
{
    for (int y = area.y; y < area.y + area.height; ++y) {
        const std::uint8_t* photo = source.ptr<std::uint8_t>(y);
        const std::uint8_t* reference = blurred.ptr<std::uint8_t>(y);
        double narrow = 0.0, wide = 0.0;
        for (int x = area.x; x < area.x + area.width; ++x) {
            const double gray = grayAt(photo, x);
            const double near = gray - grayAt(reference, x);
            const double far = gray - blur.at(x, y);
            narrow += near * near;
            wide += far * far;
        }
        measures.narrow += narrow;
        measures.wide += wide;
    }
    measures.pixels += area.area();
}

// The extreme values over directions v of (v' A v) / (v' B v), for symmetric 2 x 2 matrices given
// as (xx, xy, yy) with B positive definite: the roots of det(A - t B) = 0, smaller first.
std::pair<double, double> generalizedEigenvalues(const double* a, const double* b)
{
    const double determinantB = b[0] * b[2] - b[1] * b[1];
    const double middle = a[0] * b[2] + a[2] * b[0] - 2.0 * a[1] * b[1];
    const double determinantA = a[0] * a[2] - a[1] * a[1];
    const double half = middle / (2.0 * determinantB);
    const double root = std::sqrt(std::max(0.0, half * half - determinantA / determinantB));
    return {half - root, half + root};
}

// The blur, as the sigma in pixels of a Gaussian, that leaves the share `kept` of an edge's gradient
// energy after a further blur of `wideSigma`: an edge blurred by s has gradient energy in
// proportion to 1 / s, so s / sqrt(s^2 + wide^2) of it survives.
double blurOfKeptEnergy(double kept, double wideSigma)
{
    const double share = std::clamp(kept, 0.0, kMostKeptEnergy);
    return wideSigma * share / std::sqrt(1.0 - share * share);
}

// The motion figure from the gradient products of the photo and of its wider blur, the noise's
// expected energy along each axis in each pixel (`photoNoise`, `broadNoise`) taken out of each.
double motionOf(const Measures& measures, double photoNoise, double broadNoise, double wideSigma)
{
    if (measures.photoPixels == 0 || measures.broadPixels == 0) return 0.0;
    const double p = 1.0 / double(measures.photoPixels), b = 1.0 / double(measures.broadPixels);
    double photo[3] = {std::max(0.0, measures.photo[0] * p - photoNoise), measures.photo[1] * p,
                       std::max(0.0, measures.photo[2] * p - photoNoise)};
    double broad[3] = {std::max(0.0, measures.broad[0] * b - broadNoise), measures.broad[1] * b,
                       std::max(0.0, measures.broad[2] * b - broadNoise)};
    const double energy = photo[0] + photo[2];
    if (!(energy > 0.0)) return 0.0;
    // Every direction gets a little energy of the average share kept, so that one without detail
    // counts as the average.
    const double average = std::clamp((broad[0] + broad[2]) / energy, 0.0, 1.0);
    const double floor = kMotionFloor * energy / 2.0;
    photo[0] += floor;
    photo[2] += floor;
    broad[0] += average * floor;
    broad[2] += average * floor;
    const auto [sharpest, smoothest] = generalizedEigenvalues(broad, photo);
    return blurOfKeptEnergy(smoothest, wideSigma) - blurOfKeptEnergy(sharpest, wideSigma);
}

}  // namespace

double noiseSigma(const cv::Mat& source)
{
    CV_Assert(source.type() == CV_8UC3 && !source.empty());
    if (source.rows < 3 || source.cols < 3) return 0.0;
    const int stride = noiseStride(source.size());
    const int sampled = (source.rows - 3) / stride + 1;
    NoiseHistogram total;
    std::mutex mutex;
    cv::parallel_for_(cv::Range(0, sampled), [&](const cv::Range& range) {
        NoiseHistogram histogram;
        std::vector<std::int32_t> mask, gradient;
        for (int k = range.start; k < range.end; ++k) addNoiseRow(source, 1 + k * stride, mask, gradient, histogram);
        const std::lock_guard<std::mutex> lock(mutex);
        total.add(histogram);
    });
    return noiseOf(total);
}

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
    Measures measures;
    std::mutex mutex;
    cv::parallel_for_(cv::Range(0, int(ranked)), [&](const cv::Range& range) {
        Measures own;
        for (std::size_t i = std::size_t(range.start); i < std::size_t(range.end); ++i) {
            if (i < motionTiles) {
                const TileSums& sums = *tiles[i].sums;
                for (int k = 0; k < 3; ++k) own.photo[k] += 0.25 * double(sums.gradient[k]);
                own.photoPixels += sums.gradientPixels;
                addBroadGradients(wide, tiles[i].area, own);
            }
            if (i < ratioTiles) addDifferences(source, blurred, wide, tiles[i].area, own);
        }
        const std::lock_guard<std::mutex> lock(mutex);
        measures.add(own);
    });

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
