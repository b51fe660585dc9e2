// The second look of the culling figures at the sharpest tiles: the photo's wider blur, made small,
// the differences of the photo from its reference and from that blur, and the gradients that give
// the motion figure.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

namespace dofmap::detail {

// The gray value (sum of the channels) of pixel x of a row of 8-bit BGR pixels.
inline int grayAt(const std::uint8_t* row, int x)
{
    return int(row[3 * x]) + int(row[3 * x + 1]) + int(row[3 * x + 2]);
}

// The photo's wider blur of the gray image, made small: the binned photo is halved further by
// cv::pyrDown (each a Gaussian of sigma 1 in its input's pixels, so that nothing finer than the
// new pixels is left to alias), then blurred by what remains of the wider sigma. Such a blur has
// no detail finer than a few of its pixels, so it loses nothing by being small.
struct WideBlur {
    cv::Mat image;  // CV_32F
    int levels = 1;  // the image's pixel is 2^levels of the photo's on each side

    // The wider blur of sigma `sigma` (in the photo's pixels) of the binned gray photo (Pass::binned).
    WideBlur(const cv::Mat& binned, double sigma);

    // The blur at pixel (x, y) of the photo, interpolated: the small pixel (X, Y) lies at
    // (2^levels X + 0.5, 2^levels Y + 0.5).
    float at(int x, int y) const;
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
void addBroadGradients(const WideBlur& blur, const cv::Rect& area, Measures& measures);

// Adds the squared gray differences of the photo from the reference and from the wider blur over
// `area`.
void addDifferences(const cv::Mat& source, const cv::Mat& blurred, const WideBlur& blur, const cv::Rect& area,
                    Measures& measures);

// The motion figure from the gradient products of the photo and of its wider blur, the noise's
// expected energy along each axis in each pixel (`photoNoise`, `broadNoise`) taken out of each.
double motionOf(const Measures& measures, double photoNoise, double broadNoise, double wideSigma);

}  // namespace dofmap::detail
