// False-color renderings of a gray DoF map through OpenCV's colormaps, and the map laid over its photograph.
#include "false_color.hpp"

#include <utility>

namespace dofmap {
namespace {

const std::vector<std::pair<std::string, cv::ColormapTypes>>& colormaps()
{
    static const std::vector<std::pair<std::string, cv::ColormapTypes>> table = {
        {"autumn", cv::COLORMAP_AUTUMN},
        {"bone", cv::COLORMAP_BONE},
        {"cividis", cv::COLORMAP_CIVIDIS},
        {"cool", cv::COLORMAP_COOL},
        {"deepgreen", cv::COLORMAP_DEEPGREEN},
        {"hot", cv::COLORMAP_HOT},
        {"hsv", cv::COLORMAP_HSV},
        {"inferno", cv::COLORMAP_INFERNO},
        {"jet", cv::COLORMAP_JET},
        {"magma", cv::COLORMAP_MAGMA},
        {"ocean", cv::COLORMAP_OCEAN},
        {"parula", cv::COLORMAP_PARULA},
        {"pink", cv::COLORMAP_PINK},
        {"plasma", cv::COLORMAP_PLASMA},
        {"rainbow", cv::COLORMAP_RAINBOW},
        {"spring", cv::COLORMAP_SPRING},
        {"summer", cv::COLORMAP_SUMMER},
        {"turbo", cv::COLORMAP_TURBO},
        {"twilight", cv::COLORMAP_TWILIGHT},
        {"twilight_shifted", cv::COLORMAP_TWILIGHT_SHIFTED},
        {"viridis", cv::COLORMAP_VIRIDIS},
        {"winter", cv::COLORMAP_WINTER},
    };
    return table;
}

}  // namespace

const std::vector<std::string>& colormapNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> result;
        for (const auto& entry : colormaps()) result.push_back(entry.first);
        return result;
    }();
    return names;
}

std::optional<cv::ColormapTypes> colormapNamed(const std::string& name)
{
    for (const auto& [candidate, colormap] : colormaps())
        if (candidate == name) return colormap;
    return std::nullopt;
}

cv::Mat falseColor(const cv::Mat& grayMap, cv::ColormapTypes colormap)
{
    CV_Assert(grayMap.type() == CV_8UC1);
    cv::Mat colored;
    cv::applyColorMap(grayMap, colored, colormap);
    return colored;
}

cv::Mat overlay(const cv::Mat& photo, const cv::Mat& grayMap, cv::ColormapTypes colormap)
{
    CV_Assert(photo.type() == CV_8UC3 && grayMap.type() == CV_8UC1 && photo.size() == grayMap.size());
    const cv::Mat colored = falseColor(grayMap, colormap);
    cv::Mat result(photo.size(), CV_8UC3);
    for (int y = 0; y < photo.rows; ++y) {
        const auto* p = photo.ptr<cv::Vec3b>(y);
        const auto* c = colored.ptr<cv::Vec3b>(y);
        const uchar* g = grayMap.ptr<uchar>(y);
        auto* out = result.ptr<cv::Vec3b>(y);
        for (int x = 0; x < photo.cols; ++x) {
            const double weight = kOverlayOpacity * g[x] / 255.0;
            for (int k = 0; k < 3; ++k)
                out[x][k] = cv::saturate_cast<uchar>(p[x][k] * (1.0 - weight) + c[x][k] * weight);
        }
    }
    return result;
}

}  // namespace dofmap
