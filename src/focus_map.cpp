#include "focus_map.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace dofmap {
namespace {

void requireComparable(const cv::Mat& source, const cv::Mat& blurred)
{
    CV_Assert(source.type() == CV_8UC3 && blurred.type() == CV_8UC3);
    CV_Assert(source.size() == blurred.size() && !source.empty());
}

// Colour distances laid out column by column: entry (x, y) is the distance at column x, row y,
// so that the column-major summation order reads memory in sequence.
cv::Mat distancesByColumn(const cv::Mat& source, const cv::Mat& blurred)
{
    cv::Mat distances(source.cols, source.rows, CV_64FC1);
    for (int y = 0; y < source.rows; ++y) {
        const auto* src = source.ptr<cv::Vec3b>(y);
        const auto* blr = blurred.ptr<cv::Vec3b>(y);
        for (int x = 0; x < source.cols; ++x) {
            const double d0 = double(blr[x][0]) - double(src[x][0]);
            const double d1 = double(blr[x][1]) - double(src[x][1]);
            const double d2 = double(blr[x][2]) - double(src[x][2]);
            distances.at<double>(x, y) = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        }
    }
    return distances;
}

}  // namespace

cv::Mat blurredReference(const cv::Mat& source, double sigma)
{
    cv::Mat blurred;
    cv::GaussianBlur(source, blurred, cv::Size(0, 0), sigma, 0, cv::BORDER_REFLECT_101);
    return blurred;
}

cv::Mat neighbourhoodMeans(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    requireComparable(source, blurred);
    CV_Assert(window >= 1);
    const cv::Mat distances = distancesByColumn(source, blurred);
    const Neighbourhood n = Neighbourhood::ofSize(window);
    const int width = source.cols;
    const int height = source.rows;

    cv::Mat means(height, width, CV_64FC1);
    for (int x = 0; x < width; ++x) {
        const int x0 = std::max(x - n.before, 0);
        const int x1 = std::min(x + n.after, width - 1);
        for (int y = 0; y < height; ++y) {
            const int y0 = std::max(y - n.before, 0);
            const int y1 = std::min(y + n.after, height - 1);
            double sum = 0.0;
            for (int xx = x0; xx <= x1; ++xx) {
                const double* column = distances.ptr<double>(xx);
                for (int yy = y0; yy <= y1; ++yy) sum += column[yy];
            }
            const int count = (x1 - x0 + 1) * (y1 - y0 + 1);
            means.at<double>(y, x) = sum / double(count);
        }
    }
    return means;
}

cv::Mat renderMap(const cv::Mat& means, int channels)
{
    CV_Assert(means.type() == CV_64FC1 && (channels == 1 || channels == 3));
    double maxMean = 0.0;
    cv::minMaxLoc(means, nullptr, &maxMean);

    cv::Mat map(means.size(), CV_8UC(channels));
    for (int y = 0; y < means.rows; ++y) {
        const double* row = means.ptr<double>(y);
        uchar* out = map.ptr<uchar>(y);
        for (int x = 0; x < means.cols; ++x) {
            const uchar gray = grayLevel(row[x], maxMean);
            for (int c = 0; c < channels; ++c) out[x * channels + c] = gray;
        }
    }
    return map;
}

cv::Mat dofMapOf(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    return renderMap(neighbourhoodMeans(source, blurred, window), channels);
}

}  // namespace dofmap
