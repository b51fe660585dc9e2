// The module of OpenCV's image codecs: the one part of dofmap that links opencv_imgcodecs, loaded
// by the programs and the Python module only when a file needs it.
#include "opencv_codecs_module.hpp"

#include <opencv2/imgcodecs.hpp>

namespace {

void decode(const std::vector<unsigned char>& content, cv::Mat& image)
{
    image = cv::imdecode(content, cv::IMREAD_COLOR);
}

bool encode(const std::string& extension, const cv::Mat& image, const std::vector<int>& params,
            std::vector<unsigned char>& encoded)
{
    return cv::imencode(extension, image, encoded, params);
}

constexpr dofmap::OpenCvCodecs kCodecs{dofmap::kOpenCvCodecsVersion, decode, encode};

}  // namespace

extern "C" __attribute__((visibility("default"))) const dofmap::OpenCvCodecs* dofmapOpenCvCodecs()
{
    return &kCodecs;
}
