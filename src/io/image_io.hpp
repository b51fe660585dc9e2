// Reading photographs and writing images, with failures given their reasons.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace dofmap {

// Decodes the image at `path` as 8-bit, three-channel BGR color: grayscale is expanded, alpha
// dropped, 16-bit scaled down, and EXIF orientation applied. Empty when the file is missing or
// cannot be decoded, with the reason in `reason` when given ("no such file", "not an image", ...).
cv::Mat readColorImage(const std::string& path, std::string* reason = nullptr);

// Encodes `image` by the extension of `path`, with `params` (empty for the library's defaults), and
// writes it there whole or not at all (see writeFileAtomically). Returns an empty string, or the
// reason why the file could not be written.
std::string writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params = {});

}  // namespace dofmap
