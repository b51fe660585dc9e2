// Reading photographs and writing images, with failures given their reasons.
#pragma once

#include "image_header.hpp"
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
// than its size when opened. Returns false, with the reason in `reason` ("no such file", "is a folder", "not a regular
// file" for a FIFO, device or socket, which is never read, "not an image" for an empty file, or the system's reason),
// when it cannot be read.
bool loadPhotoFile(const std::string& path, PhotoFile& file, std::string& reason);

// Reads all that descriptor `fd` holds until its end (standard input: a pipe, a file or a terminal)
// into `file`, as loadPhotoFile reads a file, its format known by its content alone. Returns false,
// with the reason in `reason`, when it cannot be read: "not an image" when it holds nothing, "too
// large (more than the memory allowed, M)" past `limit` bytes, "out of memory", or the system's reason.
bool loadPhotoStream(int fd, PhotoFile& file, std::string& reason, std::int64_t limit);

// Decodes a photo as 8-bit, three-channel BGR color: grayscale is expanded, alpha dropped, 16-bit
// scaled down, and EXIF orientation applied; HEIF files as libheif decodes them (their rotation and
// mirroring applied), RAW files as `raw` says. Empty when it cannot be decoded, with the reason in
// `reason`: "not an image", "truncated or corrupt data", "unsupported image" (a kind the decoder
// does not handle), "too large for the RAW decoder", or "out of memory" when the memory for it
// cannot be had.
// A JPEG is decoded into `reuse` when given, which keeps its memory when it has the photo's size
// already (the result then shares it).
cv::Mat decodePhoto(const PhotoFile& file, std::string& reason, RawDevelopment raw = RawDevelopment::full,
                    cv::Mat* reuse = nullptr);

// loadPhotoFile and decodePhoto: empty, with the reason in `reason` when given, when the file cannot
// be read or decoded.
cv::Mat readColorImage(const std::string& path, std::string* reason = nullptr);

// Encodes `image` by the extension of `path`, with `params` (empty for the library's defaults), and
// writes it there whole or not at all (see writeFileAtomically). Without params, 8-bit gray and
// color PNGs are encoded by PngEncoder: by `png` when given, which keeps its buffers for the next
// image. Returns an empty string, or the reason why the file could not be written.
std::string writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params = {},
                       PngEncoder* png = nullptr);

// Encodes `image` as a file of `extension` (".png", ".jpg", ".tif") would hold it, as writeImage
// encodes without params, and writes it to descriptor `fd` (standard output). Returns an empty string,
// or the reason why it could not be encoded or written.
std::string writeImage(int fd, const std::string& extension, const cv::Mat& image, PngEncoder* png = nullptr);

}  // namespace dofmap
