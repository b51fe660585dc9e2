// The size an image file declares in its header, read without decoding it: how much memory its
// decoding will take is known before any is taken.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <optional>

namespace dofmap {

// The width and height that the header of a JPEG, PNG, TIFF, WebP or BMP file in `data` declares
// (before any EXIF rotation); nullopt for other files and headers that cannot be read.
std::optional<cv::Size> declaredSize(const unsigned char* data, std::size_t size);

// Whether `data` starts as a file of one of those formats does.
bool isImageFormat(const unsigned char* data, std::size_t size);

}  // namespace dofmap
