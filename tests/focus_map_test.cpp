// The map, the means and the statistics against the literal definition on small photos made in each test.
#include "focus_map.hpp"
#include "image_io.hpp"
#include "images.hpp"
#include "literal_map.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>

namespace dofmap {
namespace {

using reference::literalMap;
using testing::firstDifference;
using testing::randomImage;

// Random photos of sizes that stress the clipping of the neighborhood: single pixels, single
// rows and columns, pictures smaller than, equal to and just above the window.
TEST(DofMap, EqualsTheLiteralScanOnAwkwardSizes)
{
    const cv::Size sizes[] = {{1, 1},  {1, 40},  {40, 1},  {7, 5},   {15, 15}, {16, 16},
                              {17, 3}, {29, 31}, {30, 30}, {31, 31}, {46, 45}, {301, 23}};
    unsigned seed = 1;
    for (const cv::Size size : sizes) {
        const cv::Mat source = randomImage(size.width, size.height, seed++);
        const cv::Mat blurred = blurredReference(source);
        EXPECT_EQ(firstDifference(dofMapOf(source, blurred), literalMap(source, blurred)), "")
            << "size " << size.width << "x" << size.height;
    }
}

// Smooth photos with a sharp patch look like real ones: most means are small, a few large.
TEST(DofMap, EqualsTheLiteralScanOnASmoothPhotoWithASharpPatch)
{
    cv::Mat source(90, 120, CV_8UC3);
    for (int y = 0; y < source.rows; ++y)
        for (int x = 0; x < source.cols; ++x)
            source.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 2), uchar(y * 2), uchar(x + y));
    randomImage(25, 20, 99).copyTo(source(cv::Rect(60, 40, 25, 20)));
    const cv::Mat blurred = blurredReference(source);
    EXPECT_EQ(firstDifference(dofMapOf(source, blurred), literalMap(source, blurred)), "");
}

TEST(DofMap, LargestMeanIsWhiteAndChannelsAreEqual)
{
    const cv::Mat source = randomImage(64, 48, 7);
    const cv::Mat map = dofMapOf(source, blurredReference(source));
    int whites = 0;
    for (int y = 0; y < map.rows; ++y) {
        for (int x = 0; x < map.cols; ++x) {
            const cv::Vec3b p = map.at<cv::Vec3b>(y, x);
            ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << "pixel (" << x << ", " << y << ") is " << p;
            whites += p[0] == 255;
        }
    }
    EXPECT_GE(whites, 1);
}

TEST(DofMap, NeighborhoodUnchangedByTheBlurIsBlack)
{
    // The left 60 columns are identical in photo and reference; only the far right differs.
    const cv::Mat source = randomImage(100, 40, 3);
    cv::Mat blurred = source.clone();
    blurred(cv::Rect(80, 0, 20, 40)) += cv::Scalar(9, 9, 9);
    const cv::Mat map = dofMapOf(source, blurred);
    for (int y = 0; y < map.rows; ++y)
        for (int x = 0; x < 60; ++x) ASSERT_EQ(map.at<cv::Vec3b>(y, x)[0], 0) << "pixel (" << x << ", " << y << ")";
    EXPECT_EQ(map.at<cv::Vec3b>(20, 99)[0], 255);
}

// A distance of 1 at a single pixel shows how many positions the mean there divides by.
TEST(NeighborhoodMeans, CornersAverageTheirClippedNeighborhoods)
{
    const cv::Mat source(40, 50, CV_8UC3, cv::Scalar::all(100));
    const auto meanWithOneDifferenceAt = [&](int x, int y) {
        cv::Mat blurred = source.clone();
        blurred.at<cv::Vec3b>(y, x)[1] = 101;
        return neighborhoodMeans(source, blurred).at<double>(y, x);
    };
    EXPECT_NEAR(meanWithOneDifferenceAt(0, 0), 1.0 / 225.0, meanTolerance(1.0 / 225.0));
    EXPECT_NEAR(meanWithOneDifferenceAt(49, 39), 1.0 / 256.0, meanTolerance(1.0 / 256.0));
    EXPECT_NEAR(meanWithOneDifferenceAt(49, 0), 1.0 / 240.0, meanTolerance(1.0 / 240.0));
    EXPECT_NEAR(meanWithOneDifferenceAt(25, 20), 1.0 / 900.0, meanTolerance(1.0 / 900.0));
}

TEST(NeighborhoodMeans, NeighborhoodReachesFifteenBeforeAndFourteenAfter)
{
    const cv::Mat source(60, 60, CV_8UC3, cv::Scalar::all(0));
    cv::Mat blurred = source.clone();
    blurred.at<cv::Vec3b>(30, 30) = cv::Vec3b(3, 4, 0);  // distance 5
    const cv::Mat means = neighborhoodMeans(source, blurred);
    const double inside = 5.0 / 900.0;
    EXPECT_NEAR(means.at<double>(30, 45), inside, meanTolerance(inside));  // 15 to the right: the pixel is 15 before
    EXPECT_EQ(means.at<double>(30, 46), 0.0);
    EXPECT_NEAR(means.at<double>(30, 16), inside, meanTolerance(inside));  // 14 to the left: the pixel is 14 after
    EXPECT_EQ(means.at<double>(30, 15), 0.0);
    EXPECT_NEAR(means.at<double>(45, 30), inside, meanTolerance(inside));
    EXPECT_EQ(means.at<double>(15, 30), 0.0);
}

TEST(DofMap, PictureWithinTheWindowIsAllWhite)
{
    const cv::Mat source = randomImage(15, 12, 5);
    const cv::Mat map = dofMapOf(source, blurredReference(source));
    EXPECT_EQ(cv::countNonZero(map.reshape(1) != 255), 0);
}

TEST(DofMap, FlatPhotoIsAllBlack)
{
    const cv::Mat source(33, 47, CV_8UC3, cv::Scalar(10, 200, 77));
    const cv::Mat map = dofMapOf(source, blurredReference(source));
    ASSERT_EQ(map.type(), CV_8UC3);
    EXPECT_EQ(cv::countNonZero(map.reshape(1)), 0);
}

// The table of means stays within its stated tolerance of the literal sums, everywhere.
TEST(NeighborhoodMeans, WithinToleranceOfTheLiteralSums)
{
    const cv::Mat source = randomImage(83, 61, 17);
    const cv::Mat blurred = blurredReference(source);
    const cv::Mat means = neighborhoodMeans(source, blurred);
    for (int y = 0; y < source.rows; ++y) {
        for (int x = 0; x < source.cols; ++x) {
            const double literal = reference::literalMean(source, blurred, x, y, kWindow);
            ASSERT_NEAR(means.at<double>(y, x), literal, meanTolerance(literal)) << "pixel (" << x << ", " << y << ")";
        }
    }
}

TEST(DofMap, OneChannelRenderingEqualsEachChannelOfThree)
{
    const cv::Mat source = randomImage(40, 35, 11);
    const cv::Mat blurred = blurredReference(source);
    cv::Mat first;
    cv::extractChannel(dofMapOf(source, blurred), first, 0);
    EXPECT_EQ(firstDifference(dofMapOf(source, blurred, kWindow, 1), first), "");
}

TEST(BlurredReference, HasThePhotosSizeAndType)
{
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 17), cv::Size(64, 9)}) {
        const cv::Mat blurred = blurredReference(randomImage(size.width, size.height, 2));
        EXPECT_EQ(blurred.size(), size);
        EXPECT_EQ(blurred.type(), CV_8UC3);
    }
}

TEST(ReadColorImage, GrayscaleFileBecomesThreeEqualChannels)
{
    const auto path = std::filesystem::temp_directory_path() / "dofmap-gray-test.png";
    cv::Mat gray(20, 30, CV_8UC1);
    cv::randu(gray, 0, 256);
    ASSERT_TRUE(cv::imwrite(path.string(), gray));
    const cv::Mat color = readColorImage(path.string());
    std::filesystem::remove(path);
    ASSERT_EQ(color.type(), CV_8UC3);
    cv::Mat channels[3];
    cv::split(color, channels);
    for (const cv::Mat& channel : channels) EXPECT_EQ(firstDifference(channel, gray), "");
}

TEST(ReadColorImage, MissingOrUndecodableFileGivesAnEmptyImage)
{
    const auto path = std::filesystem::temp_directory_path() / "dofmap-not-an-image.jpg";
    EXPECT_TRUE(readColorImage(path.string()).empty());
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not a JPEG", file);
    std::fclose(file);
    EXPECT_TRUE(readColorImage(path.string()).empty());
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace dofmap
