// Images made in the tests, and comparisons that name the first pixel that differs.
#include "images.hpp"

namespace dofmap::testing {

std::string firstDifference(const cv::Mat& actual, const cv::Mat& expected)
{
    if (actual.size() != expected.size() || actual.type() != expected.type())
        return "size or type differs: " + std::to_string(actual.cols) + "x" + std::to_string(actual.rows) + " type " +
            std::to_string(actual.type()) + " vs " + std::to_string(expected.cols) + "x" +
            std::to_string(expected.rows) + " type " + std::to_string(expected.type());
    const int channels = actual.channels();
    for (int y = 0; y < actual.rows; ++y) {
        const uchar* a = actual.ptr<uchar>(y);
        const uchar* e = expected.ptr<uchar>(y);
        for (int i = 0; i < actual.cols * channels; ++i) {
            if (a[i] != e[i])
                return "pixel (x " + std::to_string(i / channels) + ", y " + std::to_string(y) + ") channel " +
                    std::to_string(i % channels) + ": " + std::to_string(a[i]) + " instead of " + std::to_string(e[i]);
        }
    }
    return {};
}

cv::Mat randomImage(int width, int height, unsigned seed)
{
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

}  // namespace dofmap::testing
