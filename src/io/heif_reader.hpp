// Decoding HEIC and AVIF files (the HEIF container) with libheif: the primary image, its rotation,
// mirroring and cropping applied.
#pragma once

#include "io_error.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dofmap {

// Whether `data` starts as a HEIF file (HEIC, AVIF or another brand of the container) does.
bool looksLikeHeif(const unsigned char* data, std::size_t size);

// What the container says of its primary image before any of it is decoded.
struct HeifHeader {
    cv::Size size;  // as shown: after rotation and cropping
    std::int64_t decoderBytes = 0;  // the most memory its decoding holds beside the image returned
};

// The header of the HEIF file in `data`; nullopt when it cannot be read. Throws std::bad_alloc when
// the memory to read it cannot be had.
std::optional<HeifHeader> readHeifHeader(const unsigned char* data, std::size_t size);

// The primary image of the HEIF file in `data` as 8-bit BGR, pixel for pixel as libheif's own
// converter writes it to PNG and OpenCV reads that PNG back: transformations applied, alpha dropped,
// more than 8 bits per sample cut to their top 8. Fails when it cannot be decoded: IoReason::truncated
// or unsupported; outOfMemory when the memory for it cannot be had.
IoResult<cv::Mat> decodeHeif(const unsigned char* data, std::size_t size);

// The EXIF data of the primary image of the HEIF file in `data`: the TIFF structure its Exif item
// holds, from the byte order mark on; empty when the file has none or it cannot be read. Fails with
// IoReason::outOfMemory when the memory for it cannot be had.
IoResult<std::vector<unsigned char>> readHeifExif(const unsigned char* data, std::size_t size);

}  // namespace dofmap
