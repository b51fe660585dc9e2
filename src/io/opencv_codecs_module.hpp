// What the module of OpenCV's codecs gives the program that loads it: a table of two functions,
// whose layout both sides are built with.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace dofmap {

// Raised whenever the table's layout changes, so that a program never calls a module of another.
constexpr int kOpenCvCodecsVersion = 1;

struct OpenCvCodecs {
    int version;
    // cv::imdecode(content, cv::IMREAD_COLOR) into `image`. OpenCV's exceptions pass through.
    void (*decode)(const std::vector<unsigned char>& content, cv::Mat& image);
    // cv::imencode(extension, image, encoded, params). OpenCV's exceptions pass through.
    bool (*encode)(const std::string& extension, const cv::Mat& image, const std::vector<int>& params,
                   std::vector<unsigned char>& encoded);
};

}  // namespace dofmap

// The module's one symbol: its table, which lives as long as the module.
extern "C" const dofmap::OpenCvCodecs* dofmapOpenCvCodecs();
