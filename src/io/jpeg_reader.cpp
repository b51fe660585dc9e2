// Decoding JPEG files with libjpeg directly, so that every warning of the library is seen: a file cut
// short or corrupt is refused instead of decoded with a gray lower part.
#include "jpeg_reader.hpp"

#include "jpeg_errors.hpp"

#include <opencv2/core.hpp>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

namespace dofmap {
namespace {

// The part of an APP1 marker that says it holds EXIF data.
constexpr unsigned char kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};
// The EXIF tag of the orientation, and the largest orientation (1 ... 8).
constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr int kLargestOrientation = 8;

// A decompressor and its error manager, destroyed with it.
struct Decompressor {
    jpeg_decompress_struct info;
    detail::JpegErrors errors;
    bool created = false;

    Decompressor() { info.err = detail::quietJpegErrors(errors); }
    ~Decompressor()
    {
        if (created) jpeg_destroy_decompress(&info);
    }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

// Reads the header (and keeps the APP1 markers). The functions that call setjmp hold no objects with
// destructors, which the jump back would skip.
bool readHeader(Decompressor& d, const unsigned char* data, std::size_t size)
{
    if (setjmp(d.errors.jump) != 0) return false;
    jpeg_create_decompress(&d.info);
    d.created = true;
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&d.info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&d.info, TRUE);
    return true;
}

// Inverted CMYK, as Adobe writes it, to BGR: each of C, M, Y scaled by K.
void cmykToBgr(const unsigned char* cmyk, int width, unsigned char* bgr)
{
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = static_cast<unsigned char>(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = static_cast<unsigned char>(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = static_cast<unsigned char>(k - ((255 - cmyk[2]) * k >> 8));
    }
}

// Decodes the pixels into `out` (8-bit BGR of the image's size), through `cmykRow` (4 bytes a
// pixel) for four-component files.
bool readPixels(Decompressor& d, unsigned char* out, std::size_t step, unsigned char* cmykRow)
{
    if (setjmp(d.errors.jump) != 0) return false;
    jpeg_start_decompress(&d.info);
    for (JDIMENSION y = 0; y < d.info.output_height; ++y) {
        unsigned char* target = out + step * y;
        JSAMPROW row = cmykRow != nullptr ? cmykRow : target;
        jpeg_read_scanlines(&d.info, &row, 1);
        if (cmykRow != nullptr) cmykToBgr(cmykRow, int(d.info.output_width), target);
#ifndef JCS_EXTENSIONS
        else
            for (JDIMENSION x = 0; x < d.info.output_width; ++x) std::swap(target[3 * x], target[3 * x + 2]);
#endif
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

std::uint32_t readUnsigned(const unsigned char* p, int bytes, bool bigEndian)
{
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint32_t(p[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return value;
}

// The orientation of the first EXIF block among the saved markers (1 when there is none or it
// cannot be read).
int exifOrientation(jpeg_saved_marker_ptr marker)
{
    for (; marker != nullptr; marker = marker->next) {
        const std::size_t size = marker->data_length;
        const unsigned char* data = marker->data;
        if (size < sizeof kExifHeader + 8 || std::memcmp(data, kExifHeader, sizeof kExifHeader) != 0) continue;
        const unsigned char* tiff = data + sizeof kExifHeader;
        const std::size_t length = size - sizeof kExifHeader;
        const bool big = tiff[0] == 'M' && tiff[1] == 'M';
        if (!big && !(tiff[0] == 'I' && tiff[1] == 'I')) return 1;
        const std::uint32_t directory = readUnsigned(tiff + 4, 4, big);
        if (directory > length - 2) return 1;
        const std::uint32_t entries = readUnsigned(tiff + directory, 2, big);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t at = directory + 2 + 12 * std::size_t(i);
            if (at + 12 > length) return 1;
            if (readUnsigned(tiff + at, 2, big) != kOrientationTag) continue;
            const int orientation = int(readUnsigned(tiff + at + 8, 2, big));
            return orientation >= 1 && orientation <= kLargestOrientation ? orientation : 1;
        }
        return 1;
    }
    return 1;
}

// Turns the image as its EXIF orientation says it is to be shown.
void orient(cv::Mat& image, int orientation)
{
    switch (orientation) {
    case 2:
        cv::flip(image, image, 1);
        break;
    case 3:
        cv::flip(image, image, -1);
        break;
    case 4:
        cv::flip(image, image, 0);
        break;
    case 5:
        cv::transpose(image, image);
        break;
    case 6:
        cv::rotate(image, image, cv::ROTATE_90_CLOCKWISE);
        break;
    case 7:
        cv::transpose(image, image);
        cv::flip(image, image, -1);
        break;
    case 8:
        cv::rotate(image, image, cv::ROTATE_90_COUNTERCLOCKWISE);
        break;
    default:
        break;
    }
}

// The failure of libjpeg's error `code`.
IoError failureOfError(int code)
{
    if (code == JERR_NO_SOI || code == JERR_NOT_COMPILED) return failure(IoReason::notAnImage);
    if (code == JERR_OUT_OF_MEMORY) return failure(IoReason::outOfMemory);
    return failure(IoReason::truncated);
}

}  // namespace

bool looksLikeJpeg(const unsigned char* data, std::size_t size)
{
    return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

std::optional<cv::Size> jpegSize(const unsigned char* data, std::size_t size)
{
    Decompressor d;
    if (!readHeader(d, data, size)) return std::nullopt;
    return cv::Size(int(d.info.image_width), int(d.info.image_height));
}

namespace {

// decodeJpeg, its allocation failures thrown.
IoResult<cv::Mat> decodedJpeg(const unsigned char* data, std::size_t size, bool applyOrientation, cv::Mat* reuse)
{
    Decompressor d;
    if (!readHeader(d, data, size)) return failureOfError(d.errors.errorCode);
    // The saved markers live until the decompression finishes.
    const int orientation = exifOrientation(d.info.marker_list);
    const bool cmyk = d.info.num_components == 4;
#ifdef JCS_EXTENSIONS
    d.info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
#else
    d.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
#endif
    cv::Mat image;
    if (reuse != nullptr) {
        reuse->create(int(d.info.image_height), int(d.info.image_width), CV_8UC3);
        image = *reuse;
    } else {
        image.create(int(d.info.image_height), int(d.info.image_width), CV_8UC3);
    }
    std::vector<unsigned char> cmykRow(cmyk ? std::size_t(d.info.image_width) * 4 : 0);
    if (!readPixels(d, image.data, image.step, cmyk ? cmykRow.data() : nullptr))
        return failureOfError(d.errors.errorCode);
    if (d.errors.warnings > 0) return failure(IoReason::truncated);
    if (applyOrientation) orient(image, orientation);
    return image;
}

}  // namespace

IoResult<cv::Mat> decodeJpeg(const unsigned char* data, std::size_t size, bool applyOrientation, cv::Mat* reuse)
{
    return withMemoryGuard([&] { return decodedJpeg(data, size, applyOrientation, reuse); });
}

}  // namespace dofmap
