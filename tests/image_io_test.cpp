// Reading photographs as color and writing images, in a temporary folder of each test's own.
#include "image_io.hpp"
#include "images.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <fstream>

namespace dofmap {
namespace {

using testing::firstDifference;
using testing::TemporaryDirectory;

TEST(ReadColorImage, GrayscaleFileBecomesThreeEqualChannels)
{
    const TemporaryDirectory folder("dofmap-io");
    const auto path = folder.path() / "gray.png";
    cv::Mat gray(20, 30, CV_8UC1);
    cv::randu(gray, 0, 256);
    ASSERT_TRUE(cv::imwrite(path.string(), gray));
    const cv::Mat color = readColorImage(path.string());
    ASSERT_EQ(color.type(), CV_8UC3);
    cv::Mat channels[3];
    cv::split(color, channels);
    for (const cv::Mat& channel : channels) EXPECT_EQ(firstDifference(channel, gray), "");
}

TEST(ReadColorImage, MissingOrUndecodableFileGivesAnEmptyImage)
{
    const TemporaryDirectory folder("dofmap-io");
    const auto path = folder.path() / "not-an-image.jpg";
    EXPECT_TRUE(readColorImage(path.string()).empty());
    std::ofstream(path) << "not a JPEG";
    EXPECT_TRUE(readColorImage(path.string()).empty());
}

}  // namespace
}  // namespace dofmap
