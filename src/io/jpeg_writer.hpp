// Encoding 8-bit gray and BGR images as baseline JPEG through libjpeg, byte for byte as OpenCV's
// encoder writes them, without loading OpenCV's codecs.
#pragma once

#include "io_error.hpp"

#include <opencv2/core.hpp>

#include <vector>

namespace dofmap {

// The quality OpenCV's encoder takes when it is given none.
constexpr int kDefaultJpegQuality = 95;

// Whether encodeJpeg takes `image`: not empty, 2-D, CV_8UC1 or CV_8UC3.
bool jpegEncodes(const cv::Mat& image);

// Encodes `image` (see jpegEncodes) into `jpeg`, replacing what it held: the bytes that
// cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, quality}) gives (libjpeg's defaults,
// quality clamped to 0..100 and scaled with baseline tables, 4:2:0 for color, JFIF header). Fails
// with IoReason::cannotEncodeImage when libjpeg refuses the image (larger than 65500 pixels a side)
// and outOfMemory when its memory cannot be had, `jpeg` emptied.
IoStatus encodeJpeg(const cv::Mat& image, int quality, std::vector<unsigned char>& jpeg);

}  // namespace dofmap
