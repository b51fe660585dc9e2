// OpenCV's image codecs, loaded the first time a file needs them: the formats dofmap has no decoder
// or encoder of its own for (PNG, TIFF, WebP, BMP, PNM and the rest on reading; TIFF, WebP and the
// others on writing). Loading them brings in over a hundred shared libraries, which a run on JPEG,
// RAW or HEIF photos writing PNG maps never needs.
#pragma once

#include "io_error.hpp"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace dofmap {

// The file name of the module that carries the codecs: looked for by the dynamic loader's own rules
// (the run paths of the program or module that asks, LD_LIBRARY_PATH), then where it is installed.
extern const char* const kOpenCvCodecsModule;

// `content` decoded as cv::imdecode(content, cv::IMREAD_COLOR) decodes it; an empty image when it
// cannot. Fails with IoReason::codecsUnavailable when the codecs cannot be loaded, outOfMemory when
// OpenCV's memory runs out.
IoResult<cv::Mat> decodeByOpenCv(const std::vector<unsigned char>& content);

// `image` encoded into `encoded` as cv::imencode(extension, image, encoded, params) encodes it.
// Fails with IoReason::cannotEncodeImage when OpenCV cannot (or has no encoder for `extension`),
// codecsUnavailable when the codecs cannot be loaded, outOfMemory when OpenCV's memory runs out.
IoStatus encodeByOpenCv(const std::string& extension, const cv::Mat& image, const std::vector<int>& params,
                        std::vector<unsigned char>& encoded);

}  // namespace dofmap
