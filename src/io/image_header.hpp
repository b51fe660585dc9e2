// What a photo file is and the size it declares, read from its content without decoding it: the
// format chooses the decoder, and the size tells how much memory decoding will take before any is taken.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dofmap {

// The formats told apart by their content. TIFF files that LibRaw takes for a camera's RAW file
// (DNG, CR2, NEF, ARW, ...) are RAW; files of no format known here are left to OpenCV's decoders.
enum class PhotoFormat { unknown, jpeg, png, tiff, webp, bmp, pnm, heif, raw };

struct PhotoHeader {
    PhotoFormat format = PhotoFormat::unknown;
    // The size of the image the decoder returns (RAW and HEIF files: turned as they are to be shown;
    // the others: before any EXIF rotation); nullopt when the header does not declare one.
    std::optional<cv::Size> size;
    std::int64_t decoderBytes = 0;  // the most memory the decoder holds beside the image it returns
};

// The format and declared size of the file in `data`, whose file is named `name` (a path, or empty
// when unknown). A RAW file is known by a camera format's signature in its content; LibRaw also
// knows some headerless sensor dumps by their size alone, which any file of that size matches (a
// text file of 307200 bytes, say), so a file it knows only so is RAW only when `name` has the
// extension of a RAW format.
PhotoHeader readPhotoHeader(const unsigned char* data, std::size_t size, const std::string& name = {});

// The file extensions of the formats read (lower case, with the dot), by which folders are searched.
const std::vector<std::string>& photoExtensions();

// Whether `name` (a file name or path) ends in the extension of a camera RAW format, in any case.
bool hasRawExtension(const std::string& name);

}  // namespace dofmap
