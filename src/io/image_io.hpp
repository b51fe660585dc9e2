// Reading photographs and writing images, with failures given their reasons.
#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

namespace dofmap {

// A photo read into memory, not yet decoded, and the size its header declares.
struct PhotoFile {
    std::vector<unsigned char> content;
    std::optional<cv::Size> declaredSize;
};

// Reads the file at `path`. Returns false, with the reason in `reason` ("no such file", "is a
// folder", "not an image" for an empty file, or the system's reason), when it cannot be read.
bool loadPhotoFile(const std::string& path, PhotoFile& file, std::string& reason);

// Decodes a photo as 8-bit, three-channel BGR color: grayscale is expanded, alpha dropped, 16-bit
// scaled down, and EXIF orientation applied. Empty when it cannot be decoded, with the reason in
// `reason`: "not an image", "truncated or corrupt data", or "out of memory" when the memory for it
// cannot be had.
cv::Mat decodePhoto(const PhotoFile& file, std::string& reason);

// loadPhotoFile and decodePhoto: empty, with the reason in `reason` when given, when the file cannot
// be read or decoded.
cv::Mat readColorImage(const std::string& path, std::string* reason = nullptr);

// Encodes `image` by the extension of `path`, with `params` (empty for the library's defaults), and
// writes it there whole or not at all (see writeFileAtomically). Returns an empty string, or the
// reason why the file could not be written.
std::string writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params = {});

}  // namespace dofmap
