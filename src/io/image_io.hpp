// Reading photographs and writing images, with failures reported by file name.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace dofmap {

// Decodes the image at `path` as 8-bit, three-channel BGR color: grayscale is expanded, alpha
// dropped, 16-bit scaled down, and EXIF orientation applied. Empty when the file is missing or
// cannot be decoded.
cv::Mat readColorImage(const std::string& path);

// Encodes `image` to `path` by its extension, with `params` (empty for the library's defaults).
// The image is written under a temporary name in the same folder and renamed into place, so that
// `path` holds either its old content or the complete new file. Returns false, having removed the
// temporary file, when the file could not be written.
bool writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params = {});

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of writes in progress before the
// process ends as the signal would end it. Call once, before the first write.
void removeTemporaryFilesOnSignals();

}  // namespace dofmap
