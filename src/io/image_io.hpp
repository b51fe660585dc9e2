// Reading photographs and writing images, with failures given their reasons.
#pragma once

#include "image_header.hpp"
#include "io_error.hpp"
#include "raw_reader.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dofmap {

class PngEncoder;

// A photo read into memory, not yet decoded: its format, known by its content whatever its name,
// and the size its header declares.
struct PhotoFile {
    std::vector<unsigned char> content;
    PhotoFormat format = PhotoFormat::unknown;
    std::optional<cv::Size> declaredSize;  // see PhotoHeader::size
    std::int64_t decoderBytes = 0;  // the most memory its decoder holds beside the decoded photo
};

// Reads the file at `path` (a link followed) into `file`, whose content keeps its memory for the next file: no more
// than its size when opened. Fails when it cannot be read: IoReason::noSuchFile, isFolder, notRegularFile (a FIFO,
// device or socket, which is never read), notAnImage (an empty file), outOfMemory, or the system's error.
IoStatus loadPhotoFile(const std::string& path, PhotoFile& file);

// Reads all that descriptor `fd` holds until its end (standard input: a pipe, a file or a terminal)
// into `file`, as loadPhotoFile reads a file, its format known by its content alone. Fails when it
// cannot be read: IoReason::notAnImage when it holds nothing, tooLarge ("more than the memory
// allowed, M") past `limit` bytes, isFolder, outOfMemory, or the system's error.
IoStatus loadPhotoStream(int fd, PhotoFile& file, std::int64_t limit);

// Decodes a photo as 8-bit, three-channel BGR color: grayscale is expanded, alpha dropped, 16-bit
// scaled down, and EXIF orientation applied; HEIF files as libheif decodes them (their rotation and
// mirroring applied), RAW files as `raw` says. Fails when it cannot be decoded: IoReason::notAnImage,
// truncated, unsupported (a kind the decoder does not handle), tooLargeForRaw, or outOfMemory when
// the memory for it cannot be had. Other formats (PNG, TIFF, WebP, BMP, PNM...) are decoded by
// OpenCV's codecs, loaded on the first such photo; codecsUnavailable when they cannot be.
// A JPEG is decoded into `reuse` when given, which keeps its memory when it has the photo's size
// already (the result then shares it).
IoResult<cv::Mat> decodePhoto(const PhotoFile& file, RawDevelopment raw = RawDevelopment::full,
                              cv::Mat* reuse = nullptr);

// loadPhotoFile and decodePhoto: the photo at `path`, or why it cannot be read or decoded.
IoResult<cv::Mat> readColorImage(const std::string& path);

// Encodes `image` as a file of `extension` (".png", ".jpg", ".tif") holds it, with `params` (empty
// for the library's defaults), into `encoded`, replacing what it held: 8-bit gray and color PNGs
// without params by PngEncoder (by `png` when given, which keeps its buffers for the next image),
// 8-bit gray and color JPEGs without params by encodeJpeg, the rest by OpenCV's codecs, loaded on
// the first such image. Fails with IoReason::cannotEncodeImage, outOfMemory or codecsUnavailable.
IoStatus encodeImage(const std::string& extension, const cv::Mat& image, std::vector<unsigned char>& encoded,
                     const std::vector<int>& params = {}, PngEncoder* png = nullptr);

// Encodes `image` by the extension of `path`, with `params` (empty for the library's defaults), and
// writes it there whole or not at all (see writeFileAtomically). Fails as encodeImage or with the
// system's error.
IoStatus writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params = {},
                    PngEncoder* png = nullptr);

// Encodes `image` as a file of `extension` (".png", ".jpg", ".tif") would hold it, as writeImage
// encodes without params, and writes it to descriptor `fd` (standard output). Fails as writeImage.
IoStatus writeImage(int fd, const std::string& extension, const cv::Mat& image, PngEncoder* png = nullptr);

}  // namespace dofmap
