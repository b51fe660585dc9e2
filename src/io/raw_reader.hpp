// Camera RAW files (CR2, CR3, NEF, ARW, RAF, ORF, RW2, PEF, DNG, ...) developed with LibRaw as its
// own dcraw_emu -w develops them, or their embedded previews taken instead.
#pragma once

#include "io_error.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace dofmap {

// What a RAW file's header says before any of its data is unpacked.
struct RawHeader {
    cv::Size size;  // of the developed image, the camera's orientation applied
    std::int64_t decoderBytes = 0;  // the most memory the development holds beside the image returned
};

// The header of the RAW file in `data`; nullopt when LibRaw does not take the file for one. Throws
// std::bad_alloc when the memory to read it cannot be had.
std::optional<RawHeader> readRawHeader(const unsigned char* data, std::size_t size);

// How a RAW file becomes a photo.
enum class RawDevelopment {
    // LibRaw's development with the camera's white balance and otherwise its defaults (its default
    // demosaic, sRGB, 8 bits, its gamma and automatic brightness): pixel for pixel the image that
    // `dcraw_emu -w` writes.
    full,
    // The camera's own JPEG (or bitmap) preview embedded in the file when it is at least half as
    // large as the sensor (its longer side against the sensor's), the camera's orientation applied;
    // the full development otherwise. Much faster, but processed by the camera.
    previewWhenLarge,
};

// The RAW file in `data` as 8-bit BGR, developed as `development` says. Fails when it cannot be
// read: IoReason::truncated (also for files LibRaw does not know), unsupported or tooLargeForRaw;
// outOfMemory when the memory for it cannot be had.
IoResult<cv::Mat> decodeRaw(const unsigned char* data, std::size_t size, RawDevelopment development);

// The date and time the RAW file in `data` was taken as LibRaw reads it from the file's metadata:
// whole seconds on the camera's clock (std::tm's fields; its other members unset). Nullopt when the
// file gives none or LibRaw does not open it; fails with IoReason::outOfMemory when the memory for it
// cannot be had.
IoResult<std::optional<std::tm>> readRawDateTime(const unsigned char* data, std::size_t size);

}  // namespace dofmap
