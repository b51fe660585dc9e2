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
enum class PhotoFormat { unknown, jpeg, png, tiff, webp, bmp, heif, raw };

struct PhotoHeader {
    PhotoFormat format = PhotoFormat::unknown;
    // The size of the image the decoder returns (RAW and HEIF files: turned as they are to be shown;
    // the others: before any EXIF rotation); nullopt when the header does not declare one.
    std::optional<cv::Size> size;
    std::int64_t decoderBytes = 0;  // the most memory the decoder holds beside the image it returns
};

// The format and declared size of the file in `data`.
PhotoHeader readPhotoHeader(const unsigned char* data, std::size_t size);

// The file extensions of the formats read (lower case, with the dot), by which folders are searched.
const std::vector<std::string>& photoExtensions();

}  // namespace dofmap
