// Decoding JPEG files with libjpeg directly, so that every warning of the library is seen: a file cut
// short or corrupt is refused instead of decoded with a gray lower part.
#pragma once

#include "io_error.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace dofmap {

// Whether `data` starts as a JPEG file does.
bool looksLikeJpeg(const unsigned char* data, std::size_t size);

// The width and height a JPEG file declares, before any EXIF rotation; nullopt when its header
// cannot be read.
std::optional<cv::Size> jpegSize(const unsigned char* data, std::size_t size);

// The JPEG file in `data` as 8-bit BGR, pixel for pixel as cv::imread(path, cv::IMREAD_COLOR) gives
// it for an intact file (grayscale expanded, CMYK converted, EXIF orientation applied unless
// `applyOrientation` is false), into `reuse` when given, which keeps its memory when it has the size
// already. Fails when the library reports any error or warning: IoReason::notAnImage or truncated;
// outOfMemory when the memory for it cannot be had.
IoResult<cv::Mat> decodeJpeg(const unsigned char* data, std::size_t size, bool applyOrientation = true,
                             cv::Mat* reuse = nullptr);

}  // namespace dofmap
