// PNG encoding of 8-bit gray and color images through libdeflate: the maps' own encoder, several
// times faster than the general one at a smaller size, its buffers kept from image to image.
#pragma once

#include "io_error.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct libdeflate_compressor;

namespace dofmap {

class PngEncoder {
public:
    PngEncoder();
    ~PngEncoder();
    PngEncoder(const PngEncoder&) = delete;
    PngEncoder& operator=(const PngEncoder&) = delete;

    // Whether encode takes `image`: not empty, CV_8UC1 (gray) or CV_8UC3 (BGR).
    static bool handles(const cv::Mat& image);

    // Encodes `image` (see handles) as a non-interlaced 8-bit PNG into `png`, replacing what it
    // held: gray, or RGB from the BGR channels. Every row is filtered by its difference to the row
    // above and the whole compressed as one zlib stream (in IDAT chunks of up to 1 GiB). Fails with
    // IoReason::outOfMemory, `png` emptied, when the buffers cannot be had.
    IoStatus encode(const cv::Mat& image, std::vector<unsigned char>& png);

    // A buffer for the caller's encoded images, kept with the encoder's own.
    std::vector<unsigned char>& output() { return output_; }

    // Lets the kept buffers go.
    void release();

    // The bytes this encoder keeps between images.
    std::size_t keptBytes() const;

private:
    struct FreeCompressor {
        void operator()(libdeflate_compressor* compressor) const;
    };
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor_;
    std::vector<unsigned char> filtered_;  // the filtered rows, each after its filter byte
    std::vector<unsigned char> compressed_;  // their zlib stream
    std::vector<unsigned char> output_;
};

}  // namespace dofmap
