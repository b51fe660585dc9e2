// Encoding 8-bit gray and BGR images as baseline JPEG through libjpeg, byte for byte as OpenCV's
// encoder writes them, without loading OpenCV's codecs.
#include "jpeg_writer.hpp"

#include "jpeg_errors.hpp"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

namespace dofmap {
namespace {

// The first output buffer; libjpeg asks for more as it fills, each time as much again.
constexpr std::size_t kFirstBufferBytes = std::size_t(1) << 16;

// libjpeg's destination: the vector, grown by doubling as libjpeg fills it.
struct VectorDestination {
    jpeg_destination_mgr library;
    std::vector<unsigned char>* out = nullptr;
    bool outOfMemory = false;
};

VectorDestination& destinationOf(j_compress_ptr info)
{
    return *reinterpret_cast<VectorDestination*>(info->dest);
}

// Makes the vector `bytes` long and points libjpeg past its first `used` bytes, or jumps back out of
// libjpeg with its out-of-memory error: an exception must not unwind through its C frames.
void resizeDestination(j_compress_ptr info, std::size_t bytes, std::size_t used)
{
    VectorDestination& d = destinationOf(info);
    try {
        d.out->resize(bytes);
    } catch (const std::bad_alloc&) {
        d.outOfMemory = true;
    }
    // Jumps once the exception is done with.
    if (d.outOfMemory) ERREXIT(info, JERR_OUT_OF_MEMORY);
    d.library.next_output_byte = d.out->data() + used;
    d.library.free_in_buffer = d.out->size() - used;
}

void startDestination(j_compress_ptr info)
{
    resizeDestination(info, kFirstBufferBytes, 0);
}

boolean growDestination(j_compress_ptr info)
{
    const std::size_t used = destinationOf(info).out->size();
    resizeDestination(info, 2 * used, used);
    return TRUE;
}

void finishDestination(j_compress_ptr info)
{
    VectorDestination& d = destinationOf(info);
    d.out->resize(d.out->size() - d.library.free_in_buffer);
}

// A compressor and its error manager, destroyed with it.
struct Compressor {
    jpeg_compress_struct info;
    detail::JpegErrors errors;
    VectorDestination destination;
    bool created = false;

    Compressor()
    {
        info.err = detail::quietJpegErrors(errors);
        destination.library.init_destination = startDestination;
        destination.library.empty_output_buffer = growDestination;
        destination.library.term_destination = finishDestination;
    }
    ~Compressor()
    {
        if (created) jpeg_destroy_compress(&info);
    }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
};

// Whether libjpeg takes BGR rows as they are (libjpeg-turbo's extension), with the same arithmetic
// as RGB ones; otherwise each row is copied in RGB order first.
#ifdef JCS_EXTENSIONS
constexpr bool kTakesBgr = true;
constexpr J_COLOR_SPACE kColorRows = JCS_EXT_BGR;
#else
constexpr bool kTakesBgr = false;
constexpr J_COLOR_SPACE kColorRows = JCS_RGB;
#endif

// The whole encoding, between setjmp and the jump back: it holds no objects with destructors, which
// the jump would skip. `rgbRow` takes one row of a color image in RGB order where libjpeg needs it.
bool compress(Compressor& c, const cv::Mat& image, int quality, unsigned char* rgbRow)
{
    if (setjmp(c.errors.jump) != 0) return false;
    jpeg_create_compress(&c.info);
    c.created = true;
    c.info.dest = &c.destination.library;
    c.info.image_width = JDIMENSION(image.cols);
    c.info.image_height = JDIMENSION(image.rows);
    const int channels = image.channels();
    c.info.input_components = channels;
    c.info.in_color_space = channels == 1 ? JCS_GRAYSCALE : kColorRows;
    jpeg_set_defaults(&c.info);
    jpeg_set_quality(&c.info, quality, TRUE);  // baseline tables, as OpenCV's encoder asks
    jpeg_start_compress(&c.info, TRUE);
    for (int y = 0; y < image.rows; ++y) {
        const unsigned char* source = image.ptr<unsigned char>(y);
        JSAMPROW row = const_cast<JSAMPROW>(source);
        if (channels == 3 && !kTakesBgr) {
            for (int x = 0; x < 3 * image.cols; x += 3) {
                rgbRow[x] = source[x + 2];
                rgbRow[x + 1] = source[x + 1];
                rgbRow[x + 2] = source[x];
            }
            row = rgbRow;
        }
        jpeg_write_scanlines(&c.info, &row, 1);
    }
    jpeg_finish_compress(&c.info);
    return true;
}

}  // namespace

bool jpegEncodes(const cv::Mat& image)
{
    return !image.empty() && image.dims == 2 && (image.type() == CV_8UC1 || image.type() == CV_8UC3);
}

IoStatus encodeJpeg(const cv::Mat& image, int quality, std::vector<unsigned char>& jpeg)
{
    CV_Assert(jpegEncodes(image));
    IoStatus status = withMemoryGuard([&]() -> IoStatus {
        std::vector<unsigned char> rgbRow(image.channels() == 3 && !kTakesBgr ? 3 * std::size_t(image.cols) : 0);
        Compressor compressor;
        compressor.destination.out = &jpeg;
        if (compress(compressor, image, std::clamp(quality, 0, 100), rgbRow.data())) return {};
        const bool memory = compressor.destination.outOfMemory || compressor.errors.errorCode == JERR_OUT_OF_MEMORY;
        return failure(memory ? IoReason::outOfMemory : IoReason::cannotEncodeImage);
    });
    if (!status) jpeg.clear();
    return status;
}

}  // namespace dofmap
