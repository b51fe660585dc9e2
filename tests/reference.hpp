// A plain, literal implementation of the focus map for the tests to compare the library against.
#pragma once

#include <opencv2/core.hpp>

#include <cmath>
#include <string>
#include <vector>

namespace dofmap::testing {

// The mean colour distance over the clipped window x window neighbourhood of (x, y), summed in
// the reference order: x' outer, y' inner, from 0.0.
inline double referenceMean(const cv::Mat& source, const cv::Mat& blurred, int x, int y, int window)
{
    const int before = window / 2;
    const int after = window - 1 - before;
    double sum = 0.0;
    int count = 0;
    for (int xx = x - before; xx <= x + after; ++xx) {
        for (int yy = y - before; yy <= y + after; ++yy) {
            if (xx < 0 || yy < 0 || xx > source.cols - 1 || yy > source.rows - 1) continue;
            const cv::Vec3b s = source.at<cv::Vec3b>(yy, xx);
            const cv::Vec3b b = blurred.at<cv::Vec3b>(yy, xx);
            const double d0 = double(b[0]) - double(s[0]);
            const double d1 = double(b[1]) - double(s[1]);
            const double d2 = double(b[2]) - double(s[2]);
            sum += std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
            ++count;
        }
    }
    return sum / double(count);
}

// All means, as a table indexed [x][y], and the largest of them found by the running maximum.
struct ReferenceMeans {
    std::vector<std::vector<double>> byColumn;
    double maxMean = -10000.0;
};

inline ReferenceMeans referenceMeans(const cv::Mat& source, const cv::Mat& blurred, int window = 30)
{
    ReferenceMeans result;
    result.byColumn.resize(source.cols);
    for (int x = 0; x < source.cols; ++x) {
        for (int y = 0; y < source.rows; ++y) {
            const double mean = referenceMean(source, blurred, x, y, window);
            if (mean > result.maxMean) result.maxMean = mean;
            result.byColumn[x].push_back(mean);
        }
    }
    return result;
}

// The map as the literal scan renders it: three equal channels of round(mean / max * 255); a map
// whose means are all 0 is all 0.
inline cv::Mat referenceMap(const ReferenceMeans& means)
{
    const int width = int(means.byColumn.size());
    const int height = int(means.byColumn.at(0).size());
    cv::Mat map(height, width, CV_8UC3);
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < height; ++y) {
            const double v = means.maxMean > 0.0 ? means.byColumn[x][y] / means.maxMean : 0.0;
            const uchar gray = cv::saturate_cast<uchar>(v * 255.0);
            map.at<cv::Vec3b>(y, x) = cv::Vec3b(gray, gray, gray);
        }
    }
    return map;
}

inline cv::Mat referenceMap(const cv::Mat& source, const cv::Mat& blurred, int window = 30)
{
    return referenceMap(referenceMeans(source, blurred, window));
}

// Empty when `actual` equals `expected` (same size and type); otherwise names the first pixel
// that differs and both values.
inline std::string firstDifference(const cv::Mat& actual, const cv::Mat& expected)
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

// A random colour image with a fixed seed.
inline cv::Mat randomImage(int width, int height, unsigned seed)
{
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

}  // namespace dofmap::testing
