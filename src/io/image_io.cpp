// Reading photographs and writing images, with failures given their reasons.
#include "image_io.hpp"

#include "atomic_file.hpp"
#include "heif_reader.hpp"
#include "image_header.hpp"
#include "jpeg_reader.hpp"
#include "jpeg_writer.hpp"
#include "memory.hpp"
#include "messages.hpp"
#include "opencv_codecs.hpp"
#include "png_writer.hpp"

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

// Fills in what the header of the content read into `file` declares (its file named `name`, or
// empty when it has no name).
IoStatus readHeaderOf(PhotoFile& file, const std::string& name)
{
    return withMemoryGuard([&]() -> IoStatus {
        const PhotoHeader header = readPhotoHeader(file.content.data(), file.content.size(), name);
        file.format = header.format;
        file.declaredSize = header.size;
        file.decoderBytes = header.decoderBytes;
        return {};
    });
}

// Empties `file` for the next photo, its content keeping its memory.
void startAfresh(PhotoFile& file)
{
    std::vector<unsigned char> content = std::move(file.content);
    content.clear();
    file = PhotoFile();
    file.content = std::move(content);
}

}  // namespace

IoStatus loadPhotoFile(const std::string& path, PhotoFile& file)
{
    startAfresh(file);
    // A link is followed to what it names: only a regular file is read, never a FIFO or device
    // (which would block or never end), and no more of it than its size when it was opened.
    struct stat status { };
    const int fd = openWithoutBlocking(path, 0, status);
    if (fd < 0) return systemFailure(errno, true);
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return S_ISDIR(status.st_mode) ? systemFailure(EISDIR, true) : failure(IoReason::notRegularFile);
    }
    IoStatus loaded = withMemoryGuard([&] {
        if (status.st_size > 0) file.content.reserve(std::size_t(status.st_size));
        return readRest(fd, file.content, std::size_t(std::max<off_t>(status.st_size, 0)));
    });
    ::close(fd);
    if (loaded && file.content.empty()) loaded = failure(IoReason::notAnImage);
    if (loaded) loaded = readHeaderOf(file, path);
    if (!loaded) file = PhotoFile();
    return loaded;
}

IoStatus loadPhotoStream(int fd, PhotoFile& file, std::int64_t limit)
{
    std::vector<unsigned char> content = std::move(file.content);
    content.clear();
    file = PhotoFile();
    const std::size_t most = std::size_t(std::clamp<std::int64_t>(limit, 0, std::int64_t(content.max_size() / 2)));
    IoStatus loaded = withMemoryGuard([&]() -> IoStatus {
        struct stat status { };
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
            content.reserve(std::min(std::size_t(status.st_size), most));
        unsigned char buffer[1 << 16];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got == 0) break;
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A descriptor left non-blocking by whoever started the program: wait for its data.
                pollfd readable{fd, POLLIN, 0};
                if (::poll(&readable, 1, -1) < 0 && errno != EINTR) return systemFailure(errno);
                continue;
            }
            if (got < 0) return errno == EISDIR ? systemFailure(EISDIR, true) : systemFailure(errno);
            if (content.size() + std::size_t(got) > most)
                return IoError{IoReason::tooLarge, 0,
                               "more than the memory allowed, " + formatMemorySize(std::int64_t(most))};
            content.insert(content.end(), buffer, buffer + got);
        }
        if (content.empty()) return failure(IoReason::notAnImage);
        return {};
    });
    // Out of memory, the content lets its memory go; otherwise it keeps it for the next photo.
    if (!loaded && loaded.error().reason == IoReason::outOfMemory) return loaded;
    file.content = std::move(content);
    if (!loaded) {
        file.content.clear();
        return loaded;
    }
    loaded = readHeaderOf(file, {});
    if (!loaded) file = PhotoFile();
    return loaded;
}

IoResult<cv::Mat> decodePhoto(const PhotoFile& file, RawDevelopment raw, cv::Mat* reuse)
{
    const unsigned char* data = file.content.data();
    const std::size_t size = file.content.size();
    // Content of a known format that its decoder refuses is damaged; other content is no image.
    const IoError refused = failure(file.format == PhotoFormat::unknown ? IoReason::notAnImage : IoReason::truncated);
    return withMemoryGuard([&]() -> IoResult<cv::Mat> {
        try {
            switch (file.format) {
            case PhotoFormat::jpeg:
                return decodeJpeg(data, size, true, reuse);
            case PhotoFormat::heif:
                return decodeHeif(data, size);
            case PhotoFormat::raw:
                return decodeRaw(data, size, raw);
            default: {
                IoResult<cv::Mat> image = decodeByOpenCv(file.content);
                if (image && image.value().empty()) return refused;
                return image;
            }
            }
        } catch (const cv::Exception& error) {
            if (isOutOfMemory(error)) throw;  // for the guard
            return refused;
        }
    });
}

IoResult<cv::Mat> readColorImage(const std::string& path)
{
    PhotoFile file;
    const IoStatus loaded = loadPhotoFile(path, file);
    if (!loaded) return loaded.error();
    return decodePhoto(file);
}

namespace {

std::string lowerCase(std::string text)
{
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

IoStatus encodeImage(const std::string& extension, const cv::Mat& image, std::vector<unsigned char>& encoded,
                     const std::vector<int>& params, PngEncoder* png)
{
    const std::string kind = lowerCase(extension);
    if (params.empty() && kind == ".png" && PngEncoder::handles(image)) {
        std::optional<PngEncoder> own;
        return (png != nullptr ? *png : own.emplace()).encode(image, encoded);
    }
    // The extensions OpenCV's encoder writes as JPEG.
    if (params.empty() && (kind == ".jpg" || kind == ".jpeg" || kind == ".jpe") && jpegEncodes(image))
        return encodeJpeg(image, kDefaultJpegQuality, encoded);
    return encodeByOpenCv(extension, image, params, encoded);
}

IoStatus writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params, PngEncoder* png)
{
    std::vector<unsigned char> encoded;
    const IoStatus encodedStatus =
        encodeImage(std::filesystem::path(path).extension().string(), image, encoded, params, png);
    return encodedStatus ? writeFileAtomically(path, encoded) : encodedStatus;
}

IoStatus writeImage(int fd, const std::string& extension, const cv::Mat& image, PngEncoder* png)
{
    std::vector<unsigned char> encoded;
    const IoStatus encodedStatus = encodeImage(extension, image, encoded, {}, png);
    return encodedStatus ? writeAll(fd, encoded.data(), encoded.size()) : encodedStatus;
}

}  // namespace dofmap
