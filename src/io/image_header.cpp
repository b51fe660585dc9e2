// The size an image file declares in its header, read without decoding it: how much memory its
// decoding will take is known before any is taken.
#include "image_header.hpp"

#include "jpeg_reader.hpp"

#include <cstdint>
#include <cstring>

namespace dofmap {
namespace {

std::uint32_t littleEndian(const unsigned char* p, int bytes)
{
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

std::uint32_t bigEndian(const unsigned char* p, int bytes)
{
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

bool startsWith(const unsigned char* data, std::size_t size, const char* signature, std::size_t length,
                std::size_t at = 0)
{
    return size >= at + length && std::memcmp(data + at, signature, length) == 0;
}

std::optional<cv::Size> sizeOf(std::uint64_t width, std::uint64_t height)
{
    // Sizes that do not fit OpenCV's int dimensions are reported as the largest that do: too large
    // for any budget either way.
    constexpr std::uint64_t kLargest = 0x7fffffff;
    if (width == 0 || height == 0) return std::nullopt;
    return cv::Size(int(std::min(width, kLargest)), int(std::min(height, kLargest)));
}

// PNG: the IHDR chunk comes first, width and height big-endian.
std::optional<cv::Size> pngSize(const unsigned char* data, std::size_t size)
{
    if (size < 24 || std::memcmp(data + 12, "IHDR", 4) != 0) return std::nullopt;
    return sizeOf(bigEndian(data + 16, 4), bigEndian(data + 20, 4));
}

// TIFF: the first directory's ImageWidth (256) and ImageLength (257), SHORT or LONG.
std::optional<cv::Size> tiffSize(const unsigned char* data, std::size_t size)
{
    const bool big = data[0] == 'M';
    const auto read = [&](std::size_t at, int bytes) {
        return big ? bigEndian(data + at, bytes) : littleEndian(data + at, bytes);
    };
    const std::uint32_t directory = read(4, 4);
    if (std::uint64_t(directory) + 2 > size) return std::nullopt;
    const std::uint32_t entries = read(directory, 2);
    std::uint64_t width = 0, height = 0;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = directory + 2 + 12 * std::size_t(i);
        if (at + 12 > size) break;
        const std::uint32_t tag = read(at, 2), type = read(at + 2, 2);
        const std::uint32_t value = type == 3 ? read(at + 8, 2) : read(at + 8, 4);
        if (tag == 256) width = value;
        if (tag == 257) height = value;
    }
    return sizeOf(width, height);
}

// WebP: the canvas of an extended file, or the frame of a lossy or lossless one.
std::optional<cv::Size> webpSize(const unsigned char* data, std::size_t size)
{
    if (startsWith(data, size, "VP8X", 4, 12) && size >= 30)
        return sizeOf(std::uint64_t(littleEndian(data + 24, 3)) + 1, std::uint64_t(littleEndian(data + 27, 3)) + 1);
    if (startsWith(data, size, "VP8 ", 4, 12) && size >= 30)
        return sizeOf(littleEndian(data + 26, 2) & 0x3fff, littleEndian(data + 28, 2) & 0x3fff);
    if (startsWith(data, size, "VP8L", 4, 12) && size >= 25) {
        const std::uint32_t bits = littleEndian(data + 21, 4);
        return sizeOf((bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1);
    }
    return std::nullopt;
}

// BMP: a signed width and height (negative height for top-down rows) in the info header.
std::optional<cv::Size> bmpSize(const unsigned char* data, std::size_t size)
{
    if (size < 26) return std::nullopt;
    const std::int32_t width = std::int32_t(littleEndian(data + 18, 4));
    const std::int32_t height = std::int32_t(littleEndian(data + 22, 4));
    return sizeOf(std::uint64_t(std::abs(std::int64_t(width))), std::uint64_t(std::abs(std::int64_t(height))));
}

}  // namespace

std::optional<cv::Size> declaredSize(const unsigned char* data, std::size_t size)
{
    if (looksLikeJpeg(data, size)) return jpegSize(data, size);
    if (startsWith(data, size, "\x89PNG\r\n\x1a\n", 8)) return pngSize(data, size);
    if (startsWith(data, size, "II*\0", 4) || startsWith(data, size, "MM\0*", 4)) return tiffSize(data, size);
    if (startsWith(data, size, "RIFF", 4) && startsWith(data, size, "WEBP", 4, 8)) return webpSize(data, size);
    if (startsWith(data, size, "BM", 2)) return bmpSize(data, size);
    return std::nullopt;
}

bool isImageFormat(const unsigned char* data, std::size_t size)
{
    return looksLikeJpeg(data, size) || startsWith(data, size, "\x89PNG\r\n\x1a\n", 8) ||
        startsWith(data, size, "II*\0", 4) || startsWith(data, size, "MM\0*", 4) ||
        (startsWith(data, size, "RIFF", 4) && startsWith(data, size, "WEBP", 4, 8)) || startsWith(data, size, "BM", 2);
}

}  // namespace dofmap
