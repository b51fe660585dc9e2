// The literal definition of the focus map, summed position by position as the definition reads: the
// reference that the tests compare the library against and that the benchmarks time it against.
#pragma once

#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

namespace dofmap::reference {

// The mean color distance over the clipped window x window neighborhood of (x, y), summed in the
// reference order: x' outer, y' inner, from 0.0.
inline double literalMean(const cv::Mat& source, const cv::Mat& blurred, int x, int y, int window)
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
struct LiteralMeans {
    std::vector<std::vector<double>> byColumn;
    double maxMean = -10000.0;
};

inline LiteralMeans literalMeans(const cv::Mat& source, const cv::Mat& blurred, int window = 30)
{
    LiteralMeans result;
    result.byColumn.resize(source.cols);
    for (int x = 0; x < source.cols; ++x) {
        for (int y = 0; y < source.rows; ++y) {
            const double mean = literalMean(source, blurred, x, y, window);
            if (mean > result.maxMean) result.maxMean = mean;
            result.byColumn[x].push_back(mean);
        }
    }
    return result;
}

// The map as the literal scan renders it: three equal channels of round(mean / max * 255); a map
// whose means are all 0 is all 0.
inline cv::Mat literalMap(const LiteralMeans& means)
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

inline cv::Mat literalMap(const cv::Mat& source, const cv::Mat& blurred, int window = 30)
{
    return literalMap(literalMeans(source, blurred, window));
}

}  // namespace dofmap::reference
