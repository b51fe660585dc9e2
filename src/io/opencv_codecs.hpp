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

// The file name of the module that carries the codecs: looked for beside the program, where it is
// installed relative to the program, by the dynamic loader's own rules (the run path of the object
// that asks, LD_LIBRARY_PATH), then where it was installed.
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
