// Reading photographs and writing images, with failures given their reasons.
#include "image_io.hpp"

#include "atomic_file.hpp"
#include "jpeg_reader.hpp"
#include "messages.hpp"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace dofmap {
namespace {

// The file's whole content; empty, with the reason in `reason`, when it cannot be read.
std::vector<unsigned char> contentOf(const std::string& path, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = errno == ENOENT ? "no such file" : reasonOf(errno);
        return {};
    }
    std::vector<unsigned char> content;
    struct stat status { };
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        reason = "is a folder";
    } else {
        if (::fstat(fd, &status) == 0 && status.st_size > 0) content.reserve(std::size_t(status.st_size));
        unsigned char buffer[1 << 16];
        while (true) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got == 0) break;
            if (got < 0) {
                if (errno == EINTR) continue;
                reason = reasonOf(errno);
                content.clear();
                break;
            }
            content.insert(content.end(), buffer, buffer + got);
        }
        if (reason.empty() && content.empty()) reason = "not an image";
    }
    ::close(fd);
    return content;
}

// Whether `data` starts as a file of an image format that OpenCV reads does: its decoder's failure
// then means damaged data rather than another kind of file.
bool looksLikeOtherImage(const std::vector<unsigned char>& data)
{
    const auto startsWith = [&](const char* signature, std::size_t length, std::size_t at = 0) {
        return data.size() >= at + length && std::memcmp(data.data() + at, signature, length) == 0;
    };
    return startsWith("\x89PNG\r\n\x1a\n", 8) || startsWith("II*\0", 4) || startsWith("MM\0*", 4) ||
        (startsWith("RIFF", 4) && startsWith("WEBP", 4, 8)) || startsWith("BM", 2);
}

}  // namespace

cv::Mat readColorImage(const std::string& path, std::string* reason)
{
    std::string why;
    cv::Mat image;
    const std::vector<unsigned char> content = contentOf(path, why);
    if (why.empty() && looksLikeJpeg(content.data(), content.size())) {
        image = decodeJpeg(content.data(), content.size(), why);
    } else if (why.empty()) {
        try {
            image = cv::imdecode(content, cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
            image.release();
        }
        if (image.empty()) why = looksLikeOtherImage(content) ? "truncated or corrupt data" : "not an image";
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
