// The culling figures against degradations of known size: added noise, darkening, blur, motion.
#include "cull_figures.hpp"
#include "focus_map.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace dofmap {
namespace {

cv::Mat demoPhoto()
{
    const cv::Mat photo = cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR);
    EXPECT_FALSE(photo.empty()) << DEMO_PHOTO;
    return photo;
}

// Smooth ramps and slow waves, without detail.
cv::Mat smoothPhoto()
{
    cv::Mat photo(480, 640, CV_8UC3);
    for (int y = 0; y < photo.rows; ++y)
        for (int x = 0; x < photo.cols; ++x)
            photo.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(40 + x * 0.2), uchar(60 + y * 0.25 + 20 * std::sin(x / 40.0)),
                                                  uchar(128 + 60 * std::sin((x + y) / 90.0)));
    return photo;
}

// The smooth photo with most of it covered by fine texture: random colors blurred by a pixel.
cv::Mat texturedPhoto()
{
    cv::Mat photo = smoothPhoto();
    cv::Mat texture(photo.rows * 3 / 4, photo.cols * 4 / 5, CV_8UC3);
    cv::RNG(17).fill(texture, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(texture, texture, cv::Size(0, 0), 1.0);
    texture.copyTo(photo(cv::Rect(cv::Point(photo.cols / 10, photo.rows / 8), texture.size())));
    return photo;
}

// Gaussian noise of this sigma added to each channel, rounded and clipped.
cv::Mat withNoise(const cv::Mat& photo, double sigma, unsigned seed)
{
    cv::Mat noisy;
    photo.convertTo(noisy, CV_32FC3);
    cv::Mat noise(photo.size(), CV_32FC3);
    cv::RNG(seed).fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    noisy += noise;
    noisy.convertTo(noisy, CV_8UC3);
    return noisy;
}

// A blur along a line of `length` pixels at `degrees` from the horizontal, the line's kernel drawn
// with subpixel weights.
cv::Mat motionBlurred(const cv::Mat& photo, int length, double degrees)
{
    const int side = length + 2;
    cv::Mat kernel(side, side, CV_32F, cv::Scalar(0));
    const double center = (side - 1) / 2.0, angle = degrees * CV_PI / 180.0;
    for (int i = 0; i < 16 * length; ++i) {
        const double t = (i + 0.5) / (16 * length) - 0.5;
        const double x = center + t * (length - 1) * std::cos(angle), y = center - t * (length - 1) * std::sin(angle);
        const int x0 = int(x), y0 = int(y);
        const double fx = x - x0, fy = y - y0;
        kernel.at<float>(y0, x0) += float((1 - fx) * (1 - fy));
        kernel.at<float>(y0, x0 + 1) += float(fx * (1 - fy));
        kernel.at<float>(y0 + 1, x0) += float((1 - fx) * fy);
        kernel.at<float>(y0 + 1, x0 + 1) += float(fx * fy);
    }
    kernel /= cv::sum(kernel)[0];
    cv::Mat blurred;
    cv::filter2D(photo, blurred, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    return blurred;
}

CullFigures figuresOf(const cv::Mat& photo)
{
    const cv::Mat blurred = blurredReference(photo);
    return cullFigures(photo, blurred, computeDofMap(photo, blurred, kWindow, 1).maxMean);
}

TEST(CullFigures, NoiseIsWithinTenPercentOfTheAddedNoise)
{
    const cv::Mat demo = demoPhoto();
    const cv::Mat smooth = smoothPhoto();
    const cv::Mat textured = texturedPhoto();
    EXPECT_LT(noiseSigma(smooth), 0.3);
    EXPECT_LT(noiseSigma(textured), 0.3);
    EXPECT_LT(noiseSigma(demo), 1.0);
    unsigned seed = 1;
    for (const double sigma : {2.0, 5.0, 10.0, 20.0}) {
        for (const auto& [name, photo] :
             {std::pair{"smooth", smooth}, std::pair{"textured", textured}, std::pair{"demo", demo}}) {
            const cv::Mat noisy = withNoise(photo, sigma, seed++);
            const double estimate = noiseSigma(noisy);
            EXPECT_NEAR(estimate, sigma, 0.1 * sigma) << name << " photo with noise of sigma " << sigma;
            EXPECT_EQ(figuresOf(noisy).noise, estimate) << name << " photo with noise of sigma " << sigma;
        }
    }
}

TEST(CullFigures, CorrectedLargestMeanTakesTheNoiseOut)
{
    const cv::Mat demo = demoPhoto();
    const double clean = figuresOf(demo).correctedMaxMean;
    const cv::Mat noisy = withNoise(demo, 10.0, 11);
    const cv::Mat blurred = blurredReference(noisy);
    const double maxMean = computeDofMap(noisy, blurred, kWindow, 1).maxMean;
    const CullFigures figures = cullFigures(noisy, blurred, maxMean);
    EXPECT_GT(maxMean, 1.3 * clean);
    EXPECT_NEAR(figures.correctedMaxMean, clean, 0.05 * clean) << "largest mean " << maxMean;
}

TEST(CullFigures, DetailRatioIgnoresExposureAndFallsWithBlur)
{
    const cv::Mat demo = demoPhoto();
    cv::Mat dark, blurred;
    demo.convertTo(dark, CV_8UC3, 0.3);
    cv::GaussianBlur(demo, blurred, cv::Size(0, 0), 1.5, 0, cv::BORDER_REFLECT_101);
    const double sharp = figuresOf(demo).detailRatio;
    EXPECT_NEAR(figuresOf(dark).detailRatio, sharp, 0.02 * sharp);
    EXPECT_LT(figuresOf(blurred).detailRatio, 0.7 * sharp);
    EXPECT_LT(figuresOf(withNoise(blurred, 10.0, 3)).detailRatio, 0.7 * sharp);
}

TEST(CullFigures, MotionIsHighForMotionBlurAndLowForSharpStripes)
{
    const cv::Mat demo = demoPhoto();
    const double sharp = figuresOf(demo).motion;
    EXPECT_LT(sharp, 0.1);
    for (const double degrees : {0.0, 30.0, 90.0}) {
        EXPECT_GT(figuresOf(motionBlurred(demo, 7, degrees)).motion, 0.3) << "7 px at " << degrees << " degrees";
        EXPECT_GT(figuresOf(withNoise(motionBlurred(demo, 15, degrees), 10.0, 5)).motion, 0.8)
            << "15 px at " << degrees << " degrees, with noise";
    }
    cv::GaussianBlur(demo, demo, cv::Size(0, 0), 2.0);
    EXPECT_LT(figuresOf(demo).motion, 0.15) << "a blur alike in every direction";

    // Stripes, vertical and at 20 degrees (drawn four times larger and scaled down, as a lens
    // would smooth their edges), are sharp across their lines and have no detail along them.
    for (const double degrees : {0.0, 20.0}) {
        cv::Mat large(1920, 2560, CV_8UC3);
        const double c = std::cos(degrees * CV_PI / 180.0), s = std::sin(degrees * CV_PI / 180.0);
        for (int y = 0; y < large.rows; ++y)
            for (int x = 0; x < large.cols; ++x)
                large.at<cv::Vec3b>(y, x) = cv::Vec3b::all(std::fmod(x * c + y * s, 48.0) < 24.0 ? 200 : 50);
        cv::Mat stripes;
        cv::resize(large, stripes, cv::Size(640, 480), 0, 0, cv::INTER_AREA);
        EXPECT_LT(figuresOf(stripes).motion, 0.05) << "stripes at " << degrees << " degrees";
    }
}

// The figures do not depend on how the threads share the work: the same photo gives the same
// figures, to the last bit, on one thread and on several.
TEST(CullFigures, SameOnOneThreadAndOnSeveral)
{
    const cv::Mat photo = withNoise(demoPhoto(), 6.0, 11);
    const cv::Mat blurred = blurredReference(photo);
    const double maxMean = computeDofMap(photo, blurred).maxMean;
    std::vector<CullFigures> shared;
    for (int run = 0; run < 5; ++run) shared.push_back(cullFigures(photo, blurred, maxMean));
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const CullFigures alone = cullFigures(photo, blurred, maxMean);
    cv::setNumThreads(threads);
    for (std::size_t run = 0; run < shared.size(); ++run) {
        EXPECT_EQ(shared[run].detailRatio, alone.detailRatio) << "run " << run;
        EXPECT_EQ(shared[run].motion, alone.motion) << "run " << run;
        EXPECT_EQ(shared[run].noise, alone.noise) << "run " << run;
    }
}

}  // namespace
}  // namespace dofmap
