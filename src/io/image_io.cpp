// Reading photographs and writing images, with failures given their reasons.
#include "image_io.hpp"

#include "atomic_file.hpp"
#include "messages.hpp"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace dofmap {
namespace {

// The reason a file cannot be opened for reading, or an empty string when it can.
std::string unreadable(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? "no such file" : reasonOf(errno);
    ::close(fd);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return "is a folder";
    return {};
}

}  // namespace

cv::Mat readColorImage(const std::string& path, std::string* reason)
{
    std::string why = unreadable(path);
    cv::Mat image;
    if (why.empty()) {
        try {
            image = cv::imread(path, cv::IMREAD_COLOR);
            if (image.empty()) why = "not an image";
        } catch (const cv::Exception&) {
            why = "not an image";
        }
    }
    if (reason != nullptr) *reason = why;
    return image;
}

std::string writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params)
{
    std::vector<unsigned char> encoded;
    try {
        if (!cv::imencode(std::filesystem::path(path).extension().string(), image, encoded, params))
            return "cannot encode the image";
    } catch (const cv::Exception&) {
        return "cannot encode the image";
    }
    return writeFileAtomically(path, encoded);
}

}  // namespace dofmap
