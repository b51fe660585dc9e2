// Reading photographs and writing images, with failures given their reasons.
#include "image_io.hpp"

#include "atomic_file.hpp"
#include "heif_reader.hpp"
#include "image_header.hpp"
#include "jpeg_reader.hpp"
#include "memory.hpp"
#include "messages.hpp"
#include "png_writer.hpp"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace dofmap {
namespace {

// Whether an exception from OpenCV says that memory could not be had.
bool isOutOfMemory(const cv::Exception& error)
{
    return error.code == cv::Error::StsNoMem;
}

}  // namespace

namespace {

// Fills in what the header of the content read into `file` declares (its file named `name`, or
// empty when it has no name). False, `file` emptied, when the memory for it cannot be had.
bool readHeaderOf(PhotoFile& file, const std::string& name, std::string& reason)
{
    try {
        const PhotoHeader header = readPhotoHeader(file.content.data(), file.content.size(), name);
        file.format = header.format;
        file.declaredSize = header.size;
        file.decoderBytes = header.decoderBytes;
    } catch (const std::bad_alloc&) {
        file = PhotoFile();
        reason = "out of memory";
        return false;
    }
    return true;
}

}  // namespace

bool loadPhotoFile(const std::string& path, PhotoFile& file, std::string& reason)
{
    std::vector<unsigned char> content = std::move(file.content);
    content.clear();
    file = PhotoFile();
    file.content = std::move(content);
    // A link is followed to what it names: only a regular file is read, never a FIFO or device
    // (which would block or never end), and no more of it than its size when it was opened.
    struct stat status { };
    const int fd = openWithoutBlocking(path, 0, status);
    if (fd < 0) {
        reason = errno == ENOENT ? "no such file" : reasonOf(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        reason = S_ISDIR(status.st_mode) ? "is a folder" : "not a regular file";
        return false;
    }
    try {
        if (status.st_size > 0) file.content.reserve(std::size_t(status.st_size));
        reason = readRest(fd, file.content, std::size_t(std::max<off_t>(status.st_size, 0)));
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    ::close(fd);
    if (reason.empty() && file.content.empty()) reason = "not an image";
    if (!reason.empty()) {
        file = PhotoFile();
        return false;
    }
    return readHeaderOf(file, path, reason);
}

bool loadPhotoStream(int fd, PhotoFile& file, std::string& reason, std::int64_t limit)
{
    std::vector<unsigned char> content = std::move(file.content);
    content.clear();
    file = PhotoFile();
    reason.clear();
    const std::size_t most = std::size_t(std::clamp<std::int64_t>(limit, 0, std::int64_t(content.max_size() / 2)));
    try {
        struct stat status { };
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
            content.reserve(std::min(std::size_t(status.st_size), most));
        unsigned char buffer[1 << 16];
        while (reason.empty()) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got == 0) break;
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A descriptor left non-blocking by whoever started the program: wait for its data.
                pollfd readable{fd, POLLIN, 0};
                if (::poll(&readable, 1, -1) < 0 && errno != EINTR) reason = reasonOf(errno);
                continue;
            }
            if (got < 0)
                reason = errno == EISDIR ? "is a folder" : reasonOf(errno);
            else if (content.size() + std::size_t(got) > most)
                reason = "too large (more than the memory allowed, " + formatMemorySize(std::int64_t(most)) + ")";
            else
                content.insert(content.end(), buffer, buffer + got);
        }
        if (reason.empty() && content.empty()) reason = "not an image";
        if (!reason.empty()) {
            file.content = std::move(content);
            file.content.clear();
            return false;
        }
        file.content = std::move(content);
    } catch (const std::bad_alloc&) {
        file = PhotoFile();
        reason = "out of memory";
        return false;
    }
    return readHeaderOf(file, {}, reason);
}

cv::Mat decodePhoto(const PhotoFile& file, std::string& reason, RawDevelopment raw, cv::Mat* reuse)
{
    reason.clear();
    const unsigned char* data = file.content.data();
    const std::size_t size = file.content.size();
    // Content of a known format that its decoder refuses is damaged; other content is no image.
    const char* const refused = file.format == PhotoFormat::unknown ? "not an image" : "truncated or corrupt data";
    cv::Mat image;
    try {
        switch (file.format) {
        case PhotoFormat::jpeg:
            image = decodeJpeg(data, size, reason, true, reuse);
            break;
        case PhotoFormat::heif:
            image = decodeHeif(data, size, reason);
            break;
        case PhotoFormat::raw:
            image = decodeRaw(data, size, raw, reason);
            break;
        default:
            image = cv::imdecode(file.content, cv::IMREAD_COLOR);
            if (image.empty()) reason = refused;
            break;
        }
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const cv::Exception& error) {
        reason = isOutOfMemory(error) ? "out of memory" : refused;
    }
    if (!reason.empty()) image.release();
    return image;
}

cv::Mat readColorImage(const std::string& path, std::string* reason)
{
    std::string why;
    PhotoFile file;
    cv::Mat image;
    if (loadPhotoFile(path, file, why)) image = decodePhoto(file, why);
    if (reason != nullptr) *reason = why;
    return image;
}

namespace {

bool isPngExtension(std::string extension)
{
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".png";
}

// Encodes `image` as a file of `extension` holds it, into `encoded`, or the PNG encoder's own output
// buffer (`*bytes` then points to it). Returns an empty string, or the reason it cannot be encoded.
std::string encodeImage(const std::string& extension, const cv::Mat& image, const std::vector<int>& params,
                        PngEncoder* png, std::optional<PngEncoder>& own, std::vector<unsigned char>& encoded,
                        const std::vector<unsigned char>*& bytes)
{
    if (params.empty() && isPngExtension(extension) && PngEncoder::handles(image)) {
        PngEncoder& encoder = png != nullptr ? *png : own.emplace();
        const std::string reason = encoder.encode(image, encoder.output());
        bytes = &encoder.output();
        return reason;
    }
    bytes = &encoded;
    try {
        if (!cv::imencode(extension, image, encoded, params)) return "cannot encode the image";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const cv::Exception& error) {
        return isOutOfMemory(error) ? "out of memory" : "cannot encode the image";
    }
    return "";
}

}  // namespace

std::string writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params, PngEncoder* png)
{
    std::optional<PngEncoder> own;
    std::vector<unsigned char> encoded;
    const std::vector<unsigned char>* bytes = nullptr;
    const std::string reason =
        encodeImage(std::filesystem::path(path).extension().string(), image, params, png, own, encoded, bytes);
    return reason.empty() ? writeFileAtomically(path, *bytes) : reason;
}

std::string writeImage(int fd, const std::string& extension, const cv::Mat& image, PngEncoder* png)
{
    std::optional<PngEncoder> own;
    std::vector<unsigned char> encoded;
    const std::vector<unsigned char>* bytes = nullptr;
    const std::string reason = encodeImage(extension, image, {}, png, own, encoded, bytes);
    return reason.empty() ? writeAll(fd, bytes->data(), bytes->size()) : reason;
}

}  // namespace dofmap
