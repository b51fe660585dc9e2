// The measures of the sharpest tiles for the culling figures (sharpest_tiles.hpp).
#include "sharpest_tiles.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

namespace dofmap::detail {
namespace {

// The weight, as a share of the mean gradient energy of a direction, of the isotropic energy of
// average sharpness added to every direction of the motion figure: a direction without detail
// then counts as the average, not as the least sharp.
constexpr double kMotionFloor = 0.02;
// The largest share of gradient energy taken as kept by the wider blur: a blur of 22 times its
// sigma, far beyond any figure a photo needs.
constexpr double kMostKeptEnergy = 0.999;

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

}  // namespace

WideBlur::WideBlur(const cv::Mat& binned, double sigma)
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

float WideBlur::at(int x, int y) const
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

}  // namespace dofmap::detail
