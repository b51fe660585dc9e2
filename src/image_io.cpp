#include "image_io.hpp"

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace dofmap {
namespace {

// A name in the folder of `path`, hidden and unique to this process and call, with the same
// extension so that the encoder is chosen as for `path`.
std::filesystem::path temporaryNameFor(const std::filesystem::path& path)
{
    static std::atomic<unsigned long> counter{0};
    const std::string name = "." + path.stem().string() + ".tmp" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter++) + path.extension().string();
    return path.parent_path() / name;
}

bool encodeAndRename(const std::filesystem::path& path, const cv::Mat& image, const std::vector<int>& params)
{
    const std::filesystem::path temporary = temporaryNameFor(path);
    bool written = false;
    try {
        written = cv::imwrite(temporary.string(), image, params);
    } catch (const cv::Exception&) {
        written = false;
    }
    std::error_code error;
    if (written) std::filesystem::rename(temporary, path, error);
    if (!written || error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

}  // namespace

cv::Mat readColorImage(const std::string& path)
{
    try {
        return cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return {};
    }
}

bool writeImage(const std::string& path, const cv::Mat& image, const std::string& program,
                const std::vector<int>& params)
{
    if (encodeAndRename(path, image, params)) return true;
    std::cerr << program << ": cannot write " << path << '\n';
    return false;
}

}  // namespace dofmap
