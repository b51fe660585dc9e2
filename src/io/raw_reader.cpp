// Camera RAW files (CR2, CR3, NEF, ARW, RAF, ORF, RW2, PEF, DNG, ...) developed with LibRaw as its
// own dcraw_emu -w develops them, or their embedded previews taken instead.
#include "raw_reader.hpp"

#include "jpeg_reader.hpp"
#include "raw_structure.hpp"

#include <libraw/libraw.h>
#include <opencv2/imgproc.hpp>

#include <cstdio>

extern "C" {
#include <jpeglib.h>
}

#include <algorithm>
#include <memory>

namespace dofmap {
namespace {

// Bytes a development holds besides the image returned: the unpacked sensor data (16-bit samples,
// four of them a pixel for sensors without a mosaic), LibRaw's working image of four 16-bit channels
// a pixel, and the demosaic's tiles and histograms.
constexpr double kMosaicBytesPerSample = 2.0;
constexpr double kFullColorBytesPerSample = 8.0;
constexpr double kWorkingBytesPerPixel = 8.0;
constexpr std::int64_t kDevelopmentOverheadBytes = std::int64_t(64) << 20;

// What LibRaw reports through its callbacks while it reads one file.
struct Trouble {
    bool dataError = false;
    bool outOfMemory = false;
};

// The file's bytes as LibRaw reads them, with libjpeg's warnings on the JPEG data it decodes (the
// tiles of a lossy DNG, say) caught rather than printed: LibRaw leaves libjpeg's default messages
// in place, which write to the standard error stream and decode damaged data without failing.
class RawStream final : public LibRaw_buffer_datastream {
public:
    // LibRaw only reads the buffer it is given.
    RawStream(const unsigned char* data, std::size_t size)
        : LibRaw_buffer_datastream(const_cast<unsigned char*>(data), size)
    {
    }

    // Whether libjpeg warned of damaged data since the stream was opened.
    bool jpegDamaged() const { return jpegDamaged_; }
    void forgetJpegDamage() { jpegDamaged_ = false; }

    int jpeg_src(void* decompressor) override
    {
        const int result = LibRaw_buffer_datastream::jpeg_src(decompressor);
        // LibRaw has set up the error manager by now: its messages come here instead.
        auto* const jpeg = static_cast<jpeg_decompress_struct*>(decompressor);
        jpeg->client_data = this;
        jpeg->err->emit_message = onJpegMessage;
        jpeg->err->output_message = [](j_common_ptr) {};
        return result;
    }

private:
    // Level -1 is a warning (corrupt data, premature end of data); higher levels trace.
    static void onJpegMessage(j_common_ptr jpeg, int level)
    {
        if (level < 0) static_cast<RawStream*>(jpeg->client_data)->jpegDamaged_ = true;
    }

    bool jpegDamaged_ = false;
};

void onDataError(void* trouble, const char*, const int)
{
    static_cast<Trouble*>(trouble)->dataError = true;
}

void onMemoryError(void* trouble, const char*, const char*)
{
    static_cast<Trouble*>(trouble)->outOfMemory = true;
}

// The failure of LibRaw's error `code`, or of the memory it reported short.
IoError failureOf(int code, const Trouble& trouble)
{
    if (trouble.outOfMemory || code == LIBRAW_UNSUFFICIENT_MEMORY || code == LIBRAW_MEMPOOL_OVERFLOW)
        return failure(IoReason::outOfMemory);
    switch (code) {
    case LIBRAW_TOO_BIG:
        return failure(IoReason::tooLargeForRaw);
    case LIBRAW_NOT_IMPLEMENTED:
    case LIBRAW_REQUEST_FOR_NONEXISTENT_IMAGE:
        return failure(IoReason::unsupported);
    default:
        return failure(IoReason::truncated);
    }
}

using Processor = std::unique_ptr<LibRaw>;

// A LibRaw processor over `stream`, which must outlive it, with its messages routed to `trouble`.
// Fails when LibRaw does not open the file as a RAW file: the files given to it are RAW files by
// their content, so one it does not know is taken for damaged.
IoResult<Processor> openRaw(RawStream& stream, Trouble& trouble)
{
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    raw->set_dataerror_handler(onDataError, &trouble);
    raw->set_memerror_handler(onMemoryError, &trouble);
    const int code = raw->open_datastream(&stream);
    if (code != LIBRAW_SUCCESS || raw->imgdata.sizes.width == 0 || raw->imgdata.sizes.height == 0)
        return code == LIBRAW_SUCCESS || code == LIBRAW_FILE_UNSUPPORTED ? failure(IoReason::truncated)
                                                                         : failureOf(code, trouble);
    return Processor(std::move(raw));
}

// Turns an image stored as the sensor lies as LibRaw's `flip` says it is to be shown: mirrored
// left-right (1), upside down (2), then transposed (4).
cv::Mat orientedByFlip(cv::Mat image, int flip)
{
    const bool horizontal = (flip & 1) != 0, vertical = (flip & 2) != 0;
    if (horizontal || vertical) cv::flip(image, image, horizontal && vertical ? -1 : horizontal ? 1 : 0);
    if ((flip & 4) != 0) cv::transpose(image, image);
    return image;
}

// The embedded preview, oriented, when it is at least half as large as the sensor and decodes
// cleanly; empty otherwise.
cv::Mat largePreview(LibRaw& raw, const Trouble& trouble)
{
    if (raw.unpack_thumb() != LIBRAW_SUCCESS || trouble.dataError) return {};
    const libraw_thumbnail_t& thumbnail = raw.imgdata.thumbnail;
    if (thumbnail.thumb == nullptr || thumbnail.tlength == 0) return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(thumbnail.thumb);
    cv::Mat preview;
    if (thumbnail.tformat == LIBRAW_THUMBNAIL_JPEG) {
        const std::optional<cv::Size> size = jpegSize(bytes, thumbnail.tlength);
        if (!size ||
            2 * std::max(size->width, size->height) < std::max<int>(raw.imgdata.sizes.width, raw.imgdata.sizes.height))
            return {};
        // The camera stores its preview as the sensor lies; the RAW file's orientation turns it.
        IoResult<cv::Mat> decoded = decodeJpeg(bytes, thumbnail.tlength, false);
        if (decoded) preview = decoded.value();
    } else if (thumbnail.tformat == LIBRAW_THUMBNAIL_BITMAP && thumbnail.tcolors == 3) {
        const int width = thumbnail.twidth, height = thumbnail.theight;
        if (std::size_t(width) * std::size_t(height) * 3 > thumbnail.tlength ||
            2 * std::max(width, height) < std::max<int>(raw.imgdata.sizes.width, raw.imgdata.sizes.height))
            return {};
        const cv::Mat rgb(height, width, CV_8UC3, const_cast<unsigned char*>(bytes));
        cv::cvtColor(rgb, preview, cv::COLOR_RGB2BGR);
    }
    if (preview.empty()) return {};
    return orientedByFlip(preview, raw.imgdata.sizes.flip);
}

IoResult<cv::Mat> develop(LibRaw& raw, const RawStream& stream, const Trouble& trouble)
{
    raw.imgdata.params.use_camera_wb = 1;
    int code = raw.unpack();
    if (code == LIBRAW_SUCCESS && (trouble.dataError || raw.error_count() > 0 || stream.jpegDamaged()))
        code = LIBRAW_DATA_ERROR;
    if (code == LIBRAW_SUCCESS) code = raw.dcraw_process();
    if (code == LIBRAW_SUCCESS && (trouble.dataError || raw.error_count() > 0)) code = LIBRAW_DATA_ERROR;
    if (code != LIBRAW_SUCCESS) return failureOf(code, trouble);
    int width = 0, height = 0, colors = 0, bits = 0;
    raw.get_mem_image_format(&width, &height, &colors, &bits);
    if (bits != 8 || (colors != 1 && colors != 3) || width <= 0 || height <= 0) return failure(IoReason::unsupported);
    cv::Mat image(height, width, colors == 1 ? CV_8UC1 : CV_8UC3);
    code = raw.copy_mem_image(image.data, int(image.step), 1);
    if (code != LIBRAW_SUCCESS) return failureOf(code, trouble);
    if (colors == 1) cv::cvtColor(image, image, cv::COLOR_GRAY2BGR);
    return image;
}

}  // namespace

std::optional<RawHeader> readRawHeader(const unsigned char* data, std::size_t size)
{
    Trouble trouble;
    RawStream stream(data, size);
    const IoResult<Processor> opened = openRaw(stream, trouble);
    if (!opened) return std::nullopt;
    const Processor& raw = opened.value();
    int width = 0, height = 0, colors = 0, bits = 0;
    raw->get_mem_image_format(&width, &height, &colors, &bits);
    if (width <= 0 || height <= 0) return std::nullopt;
    const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
    const double samples = double(sizes.raw_width) * double(sizes.raw_height);
    const double sensorBytes = samples *
        (raw->imgdata.idata.filters != 0 || raw->imgdata.idata.colors == 1 ? kMosaicBytesPerSample
                                                                           : kFullColorBytesPerSample);
    RawHeader header;
    header.size = cv::Size(width, height);
    header.decoderBytes =
        std::int64_t(sensorBytes + double(width) * double(height) * kWorkingBytesPerPixel) + kDevelopmentOverheadBytes;
    return header;
}

namespace {

// readRawDateTime, its allocation failures thrown.
IoResult<std::optional<std::tm>> rawDateTime(const unsigned char* data, std::size_t size)
{
    using Clock = std::optional<std::tm>;
    Trouble trouble;
    RawStream stream(data, size);
    const IoResult<Processor> opened = openRaw(stream, trouble);
    if (trouble.outOfMemory) return failure(IoReason::outOfMemory);
    if (!opened) return Clock();
    const Processor& raw = opened.value();
    if (raw->imgdata.other.timestamp <= 0) return Clock();
    // LibRaw makes its timestamp of the clock's date and time with mktime, as local time: local
    // time gives them back.
    const std::time_t timestamp = raw->imgdata.other.timestamp;
    std::tm clock{};
    if (localtime_r(&timestamp, &clock) == nullptr) return Clock();
    return Clock(clock);
}

}  // namespace

IoResult<std::optional<std::tm>> readRawDateTime(const unsigned char* data, std::size_t size)
{
    return withMemoryGuard([&] { return rawDateTime(data, size); });
}

namespace {

// decodeRaw, its allocation failures thrown.
IoResult<cv::Mat> developedRaw(const unsigned char* data, std::size_t size, RawDevelopment development)
{
    if (!rawFileComplete(data, size)) return failure(IoReason::truncated);
    Trouble trouble;
    RawStream stream(data, size);
    const IoResult<Processor> opened = openRaw(stream, trouble);
    if (!opened) return opened.error();
    LibRaw& raw = *opened.value();
    if (development == RawDevelopment::previewWhenLarge) {
        cv::Mat preview = largePreview(raw, trouble);
        if (!preview.empty()) return preview;
        // A preview too small or damaged: the sensor data is developed from a fresh start.
        trouble = Trouble();
        stream.forgetJpegDamage();
        raw.recycle();
        // LibRaw reads the byte order where the stream stands before it seeks to the start.
        stream.seek(0, SEEK_SET);
        if (raw.open_datastream(&stream) != LIBRAW_SUCCESS) return failure(IoReason::truncated);
    }
    // The JPEG streams of a lossy DNG are decoded once by the JPEG reader, which refuses any
    // warning of libjpeg (LibRaw stops reading each before its end, where some damage shows).
    for (const FilePart& part : lossyJpegParts(data, size)) {
        const IoResult<cv::Mat> tile = decodeJpeg(data + part.offset, part.length, false);
        if (!tile) return tile.error().reason == IoReason::outOfMemory ? tile.error() : failure(IoReason::truncated);
    }
    return develop(raw, stream, trouble);
}

}  // namespace

IoResult<cv::Mat> decodeRaw(const unsigned char* data, std::size_t size, RawDevelopment development)
{
    return withMemoryGuard([&] { return developedRaw(data, size, development); });
}

}  // namespace dofmap
