// False-color renderings of a gray DoF map, and the map laid over its photograph.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <optional>
#include <string>
#include <vector>

namespace dofmap {

// The names of OpenCV's colormaps, in lower case ("inferno", "viridis", "turbo", "jet", ...).
const std::vector<std::string>& colormapNames();

// The colormap called `name` (one of colormapNames()), or nullopt.
std::optional<cv::ColormapTypes> colormapNamed(const std::string& name);

// `grayMap` (CV_8UC1) through the colormap: CV_8UC3 of the same size.
cv::Mat falseColor(const cv::Mat& grayMap, cv::ColormapTypes colormap);

// The photo (CV_8UC3) with the false-color map laid over it. Each pixel mixes the colored map
// with weight kOverlayOpacity * gray / 255 into the photo: out-of-focus areas (gray near 0) show
// the photo as it is, the sharpest ones are tinted most.
constexpr double kOverlayOpacity = 0.7;
cv::Mat overlay(const cv::Mat& photo, const cv::Mat& grayMap, cv::ColormapTypes colormap);

}  // namespace dofmap
