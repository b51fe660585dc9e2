// What a photo file is and the size it declares, read from its content without decoding it: the
// format chooses the decoder, and the size tells how much memory decoding will take before any is taken.
#include "image_header.hpp"

#include "heif_reader.hpp"
#include "jpeg_reader.hpp"
#include "raw_reader.hpp"

#include <algorithm>
#include <cctype>
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

// Bytes per pixel that OpenCV's decoders hold beside the image they return (their own buffers of
// rows or of the whole image, before it is converted to 8-bit BGR).
constexpr double kOpenCvCopyBytesPerPixel = 4.0;

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

// What the first directory of a TIFF file says.
struct TiffDirectory {
    std::uint64_t width = 0, height = 0;  // ImageWidth (256), ImageLength (257): SHORT or LONG
    bool reduced = false;  // NewSubfileType (254) says it is a reduced image of one stored elsewhere
    bool dng = false;  // DNGVersion (50706) is present
};

std::optional<TiffDirectory> tiffDirectory(const unsigned char* data, std::size_t size)
{
    if (size < 8) return std::nullopt;
    const bool big = data[0] == 'M';
    const auto read = [&](std::size_t at, int bytes) {
        return big ? bigEndian(data + at, bytes) : littleEndian(data + at, bytes);
    };
    const std::uint32_t offset = read(4, 4);
    if (std::uint64_t(offset) + 2 > size) return std::nullopt;
    const std::uint32_t entries = read(offset, 2);
    TiffDirectory directory;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = offset + 2 + 12 * std::size_t(i);
        if (at + 12 > size) break;
        const std::uint32_t tag = read(at, 2), type = read(at + 2, 2);
        const std::uint32_t value = type == 3 ? read(at + 8, 2) : read(at + 8, 4);
        if (tag == 254) directory.reduced = (value & 1) != 0;
        if (tag == 256) directory.width = value;
        if (tag == 257) directory.height = value;
        if (tag == 50706) directory.dng = true;
    }
    return directory;
}

// Whether a TIFF file is a camera's RAW file even if LibRaw cannot read it (damaged, say): a DNG, a
// Canon CR2, or a file whose first image is only a preview of the main one stored elsewhere, as
// the RAW formats built on TIFF keep it. OpenCV would decode the preview of such a file.
bool isRawTiff(const unsigned char* data, std::size_t size, const std::optional<TiffDirectory>& directory)
{
    if (startsWith(data, size, "CR\x02", 3, 8)) return true;
    return directory && (directory->dng || directory->reduced);
}

// Whether the content begins as the camera formats that LibRaw reads begin: TIFF and its variants
// (Olympus, Panasonic), Canon's CIFF and CR3, Phase One, Fujifilm, Minolta, Sigma, Nokia and ARRI
// files. LibRaw tries the size table only when none of these is found.
bool hasRawSignature(const unsigned char* data, std::size_t size)
{
    struct Signature {
        const char* bytes;
        std::size_t length;
        std::size_t at;
    };
    static const Signature kSignatures[] = {
        {"II*\0", 4, 0}, {"MM\0*", 4, 0},    {"IIRO", 4, 0},    {"IIRS", 4, 0}, {"MMOR", 4, 0},
        {"IIU\0", 4, 0}, {"FUJIFILM", 8, 0}, {"\0MRM", 4, 0},   {"FOVb", 4, 0}, {"NOKIARAW", 8, 0},
        {"ARRI", 4, 0},  {"HEAPCCDR", 8, 6}, {"ftypcrx ", 8, 4}};
    for (const Signature& signature : kSignatures)
        if (startsWith(data, size, signature.bytes, signature.length, signature.at)) return true;
    // Phase One: IIII or MMMM within the first 32 bytes.
    for (std::size_t at = 0; at + 4 <= std::min<std::size_t>(size, 32); ++at)
        if (std::memcmp(data + at, "IIII", 4) == 0 || std::memcmp(data + at, "MMMM", 4) == 0) return true;
    return false;
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

// Whether the content starts as a Netpbm file does: P1 to P7 and whitespace.
bool looksLikePnm(const unsigned char* data, std::size_t size)
{
    return size >= 3 && data[0] == 'P' && data[1] >= '1' && data[1] <= '7' && std::isspace(data[2]);
}

// PBM, PGM and PPM (P1 to P6): width and height in decimal after the magic number, with whitespace
// and comments (from # to the end of the line) between the fields. PAM (P7) names its fields instead.
std::optional<cv::Size> pnmSize(const unsigned char* data, std::size_t size)
{
    if (data[1] == '7') return std::nullopt;
    std::size_t at = 2;
    const auto number = [&]() -> std::optional<std::uint64_t> {
        while (at < size && (std::isspace(data[at]) || data[at] == '#')) {
            if (data[at] == '#')
                while (at < size && data[at] != '\n' && data[at] != '\r') ++at;
            else
                ++at;
        }
        std::uint64_t value = 0;
        const std::size_t first = at;
        // Digits beyond 12 make a size no budget holds: the value is capped rather than overflowing.
        for (; at < size && std::isdigit(data[at]); ++at)
            if (at - first < 12) value = value * 10 + std::uint64_t(data[at] - '0');
        if (at == first) return std::nullopt;
        return value;
    };
    const std::optional<std::uint64_t> width = number();
    const std::optional<std::uint64_t> height = width ? number() : std::nullopt;
    if (!height) return std::nullopt;
    return sizeOf(*width, *height);
}

}  // namespace

PhotoHeader readPhotoHeader(const unsigned char* data, std::size_t size, const std::string& name)
{
    PhotoHeader header;
    const auto decodedByOpenCv = [&](PhotoFormat format, std::optional<cv::Size> declared) {
        header.format = format;
        header.size = declared;
        if (declared) header.decoderBytes = std::int64_t(double(declared->area()) * kOpenCvCopyBytesPerPixel);
        return header;
    };
    if (looksLikeJpeg(data, size)) {
        header.format = PhotoFormat::jpeg;
        header.size = jpegSize(data, size);
        return header;
    }
    if (startsWith(data, size, "\x89PNG\r\n\x1a\n", 8)) return decodedByOpenCv(PhotoFormat::png, pngSize(data, size));
    if (startsWith(data, size, "RIFF", 4) && startsWith(data, size, "WEBP", 4, 8))
        return decodedByOpenCv(PhotoFormat::webp, webpSize(data, size));
    if (startsWith(data, size, "BM", 2)) return decodedByOpenCv(PhotoFormat::bmp, bmpSize(data, size));
    if (looksLikePnm(data, size)) return decodedByOpenCv(PhotoFormat::pnm, pnmSize(data, size));
    if (looksLikeHeif(data, size)) {
        header.format = PhotoFormat::heif;
        if (const std::optional<HeifHeader> heif = readHeifHeader(data, size)) {
            header.size = heif->size;
            header.decoderBytes = heif->decoderBytes;
        }
        return header;
    }
    // Most RAW formats are TIFF files, and LibRaw knows the others by their content; a file it knows
    // by its size alone is RAW only by its name.
    const std::optional<RawHeader> raw =
        hasRawSignature(data, size) || hasRawExtension(name) ? readRawHeader(data, size) : std::nullopt;
    if (raw) {
        header.format = PhotoFormat::raw;
        header.size = raw->size;
        header.decoderBytes = raw->decoderBytes;
        return header;
    }
    if (startsWith(data, size, "II*\0", 4) || startsWith(data, size, "MM\0*", 4)) {
        const std::optional<TiffDirectory> directory = tiffDirectory(data, size);
        if (isRawTiff(data, size, directory)) {
            header.format = PhotoFormat::raw;  // one LibRaw cannot read: its decoding tells why
            return header;
        }
        return decodedByOpenCv(PhotoFormat::tiff,
                               directory ? sizeOf(directory->width, directory->height) : std::nullopt);
    }
    return header;
}

namespace {

// Camera RAW files that LibRaw develops.
const std::vector<std::string>& rawExtensions()
{
    static const std::vector<std::string> extensions = {".3fr", ".ari", ".arw", ".cr2", ".cr3", ".crw", ".dcr", ".dng",
                                                        ".erf", ".fff", ".gpr", ".iiq", ".k25", ".kdc", ".mdc", ".mef",
                                                        ".mos", ".mrw", ".nef", ".nrw", ".orf", ".ori", ".pef", ".raf",
                                                        ".raw", ".rw2", ".rwl", ".sr2", ".srf", ".srw", ".x3f"};
    return extensions;
}

std::string lowerCaseExtension(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return {};
    std::string extension = name.substr(dot);
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

}  // namespace

const std::vector<std::string>& photoExtensions()
{
    static const std::vector<std::string> extensions = [] {
        std::vector<std::string> all = {// Read by OpenCV (JPEG by libjpeg).
                                        ".jpg", ".jpeg", ".jpe", ".png", ".tif", ".tiff", ".bmp", ".webp", ".ppm",
                                        ".pgm", ".pbm", ".pnm",
                                        // HEIF: HEIC from phones and cameras, AVIF.
                                        ".heic", ".heif", ".hif", ".avif"};
        all.insert(all.end(), rawExtensions().begin(), rawExtensions().end());
        return all;
    }();
    return extensions;
}

bool hasRawExtension(const std::string& name)
{
    const std::string extension = lowerCaseExtension(name);
    const std::vector<std::string>& raw = rawExtensions();
    return !extension.empty() && std::find(raw.begin(), raw.end(), extension) != raw.end();
}

}  // namespace dofmap
