// The workloads that the benchmarks time and whose peak memory they compare.
#pragma once

#include "focus_map.hpp"
#include "image_io.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>

namespace dofmap::bench {

// What every run does anyway: decode the photo, blur it, create the map image and encode both
// JPEG files. The map image is left black.
inline void decodeBlurEncode(const std::string& photo, const std::string& outputDirectory)
{
    const cv::Mat source = cv::imread(photo, cv::IMREAD_COLOR);
    if (source.empty()) throw std::runtime_error("cannot read " + photo);
    const cv::Mat blurred = blurredReference(source);
    const cv::Mat map(source.size(), CV_8UC3, cv::Scalar::all(0));
    cv::imwrite(outputDirectory + "/Blur.jpg", blurred);
    cv::imwrite(outputDirectory + "/DoF.jpg", map);
}

// The whole headless run of the program: the same, with the map computed.
inline void wholeRun(const std::string& photo, const std::string& outputDirectory)
{
    const cv::Mat source = cv::imread(photo, cv::IMREAD_COLOR);
    if (source.empty()) throw std::runtime_error("cannot read " + photo);
    const cv::Mat blurred = blurredReference(source);
    const cv::Mat map = computeDofMap(source, blurred).map;
    cv::imwrite(outputDirectory + "/Blur.jpg", blurred);
    cv::imwrite(outputDirectory + "/DoF.jpg", map);
}

// One photo as dofmap-batch processes it by default, at any window: read, blurred, mapped (one
// channel) and the map written as PNG.
inline void batchPhoto(const std::string& photo, const std::string& map, int window)
{
    const IoResult<cv::Mat> read = readColorImage(photo);
    if (!read) throw std::runtime_error("cannot read " + photo + ": " + read.message());
    const cv::Mat& source = read.value();
    const cv::Mat blurred = blurredReference(source);
    const IoStatus written = writeImage(map, computeDofMap(source, blurred, window, 1).map);
    if (!written) throw std::runtime_error("cannot write " + map + ": " + written.message());
}

// A 24-megapixel photo: the demo photo scaled to 6000 x 4000, with fine noise so that the
// upscaled areas keep some detail.
inline cv::Mat largePhoto(const std::string& demoPhoto)
{
    const cv::Mat small = cv::imread(demoPhoto, cv::IMREAD_COLOR);
    if (small.empty()) throw std::runtime_error("cannot read " + demoPhoto);
    cv::Mat large;
    cv::resize(small, large, cv::Size(6000, 4000), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(large.size(), CV_8UC3);
    cv::RNG(24).fill(noise, cv::RNG::UNIFORM, 0, 4);
    large += noise;
    return large;
}

// An adversarial 24-megapixel picture: vertical stripes 59 pixels wide, gray 0 and 64 in turn. Every
// column repeats the one 118 before, so at window 30 some 9.7 million means tie exactly for the
// largest, and at window 2001 a column of them ties and two columns sit exactly on half gray levels:
// all of those are summed literally.
inline cv::Mat twoLevelStripes()
{
    constexpr int kStripeWidth = 59;
    constexpr int kGray = 64;
    cv::Mat row(1, 6000, CV_8UC3);
    for (int x = 0; x < row.cols; ++x) row.at<cv::Vec3b>(0, x) = cv::Vec3b::all((x / kStripeWidth) % 2 ? kGray : 0);
    cv::Mat image;
    cv::repeat(row, 4000, 1, image);
    return image;
}

}  // namespace dofmap::bench
