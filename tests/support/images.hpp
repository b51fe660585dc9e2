// Images made in the tests, and comparisons that name the first pixel that differs.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace dofmap::testing {

// Empty when the 8-bit images `actual` and `expected` are equal (same size and type); otherwise names the first pixel
// that differs and both values.
std::string firstDifference(const cv::Mat& actual, const cv::Mat& expected);

// A random color image with a fixed seed.
cv::Mat randomImage(int width, int height, unsigned seed);

}  // namespace dofmap::testing
