// Decoding HEIC and AVIF files (the HEIF container) with libheif: the primary image, its rotation,
// mirroring and cropping applied.
#include "heif_reader.hpp"

#include "hevc_decoder.hpp"

#include <libheif/heif.h>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <memory>

namespace dofmap {
namespace {

// Bytes per pixel a decoding holds at its peak beside the BGR image returned: the decoded planes
// (up to three of 16-bit samples), libheif's interleaved RGB copy of them (16-bit samples for more
// than 8 bits), and the tiles of a grid in flight.
constexpr double kDecoderBytesPerPixel8 = 3.0 + 3.0 + 1.0;
constexpr double kDecoderBytesPerPixelDeep = 6.0 + 6.0 + 2.0;

// libheif is initialized once for the process (its plugins are loaded then) and released at exit.
class Library {
public:
    Library() { heif_init(nullptr); }
    ~Library() { heif_deinit(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

void ensureInitialized()
{
    static const Library library;
}

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Image = std::unique_ptr<heif_image, ImageRelease>;

// The failure of libheif's `error`.
IoError failureOf(const heif_error& error)
{
    switch (error.code) {
    case heif_error_Memory_allocation_error:
        return failure(IoReason::outOfMemory);
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
        return failure(IoReason::unsupported);
    case heif_error_Invalid_input:
    case heif_error_Decoder_plugin_error:
        return failure(error.subcode == heif_suberror_Security_limit_exceeded ? IoReason::unsupported
                                                                              : IoReason::truncated);
    default:
        return failure(IoReason::truncated);
    }
}

// Opens the container in `data` (which must outlive the context) and finds its primary image.
IoStatus openPrimary(const unsigned char* data, std::size_t size, Context& context, Handle& handle)
{
    ensureInitialized();
    context.reset(heif_context_alloc());
    if (!context) return failure(IoReason::outOfMemory);
    // HEVC images are decoded by libde265 with its warnings heeded, not by libheif's own plugin.
    heif_error error = heif_register_decoder(context.get(), &strictHevcDecoder());
    if (error.code != heif_error_Ok) return failureOf(error);
    error = heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr);
    if (error.code != heif_error_Ok) return failureOf(error);
    heif_image_handle* primary = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &primary);
    handle.reset(primary);
    if (error.code != heif_error_Ok) return failureOf(error);
    return {};
}

}  // namespace

bool looksLikeHeif(const unsigned char* data, std::size_t size)
{
    // The file type box comes first: its size, "ftyp", the major brand, a version, then the
    // compatible brands. Any brand of still images or sequences of the container makes it one.
    static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                          "hevs", "mif1", "mif2", "msf1", "avif", "avis", "avio"};
    if (size < 16 || std::memcmp(data + 4, "ftyp", 4) != 0) return false;
    const std::size_t box = std::min<std::size_t>(size,
                                                  (std::size_t(data[0]) << 24) | (std::size_t(data[1]) << 16) |
                                                      (std::size_t(data[2]) << 8) | std::size_t(data[3]));
    const auto known = [&](std::size_t at) {
        for (const char* brand : kBrands)
            if (std::memcmp(data + at, brand, 4) == 0) return true;
        return false;
    };
    if (known(8)) return true;
    for (std::size_t at = 16; at + 4 <= box; at += 4)
        if (known(at)) return true;
    return false;
}

std::optional<HeifHeader> readHeifHeader(const unsigned char* data, std::size_t size)
{
    Context context;
    Handle handle;
    if (!openPrimary(data, size, context, handle)) return std::nullopt;
    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0) return std::nullopt;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle.get()) > 8;
    HeifHeader header;
    header.size = cv::Size(width, height);
    header.decoderBytes =
        std::int64_t(double(width) * double(height) * (deep ? kDecoderBytesPerPixelDeep : kDecoderBytesPerPixel8));
    return header;
}

namespace {

// readHeifExif, its allocation failures thrown.
IoResult<std::vector<unsigned char>> heifExif(const unsigned char* data, std::size_t size)
{
    using Bytes = std::vector<unsigned char>;
    Context context;
    Handle handle;
    const IoStatus opened = openPrimary(data, size, context, handle);
    if (!opened) return opened.error().reason == IoReason::outOfMemory ? IoResult<Bytes>(opened.error()) : Bytes();
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1) return Bytes();
    const std::size_t length = heif_image_handle_get_metadata_size(handle.get(), id);
    // The item starts with the offset, big-endian in four bytes, from its end to the TIFF header
    // (past an "Exif\0\0" prefix, say).
    if (length < 4 || length > size) return Bytes();
    Bytes item(length);
    if (heif_image_handle_get_metadata(handle.get(), id, item.data()).code != heif_error_Ok) return Bytes();
    const std::size_t offset = (std::size_t(item[0]) << 24) | (std::size_t(item[1]) << 16) |
        (std::size_t(item[2]) << 8) | std::size_t(item[3]);
    if (offset >= length - 4) return Bytes();
    item.erase(item.begin(), item.begin() + std::ptrdiff_t(4 + offset));
    return item;
}

}  // namespace

IoResult<std::vector<unsigned char>> readHeifExif(const unsigned char* data, std::size_t size)
{
    return withMemoryGuard([&] { return heifExif(data, size); });
}

namespace {

// decodeHeif, its allocation failures thrown.
IoResult<cv::Mat> decodedHeif(const unsigned char* data, std::size_t size)
{
    Context context;
    Handle handle;
    const IoStatus opened = openPrimary(data, size, context, handle);
    if (!opened) return opened.error();

    // As libheif's converter does: interleaved RGB, 16-bit samples for more than 8 bits. Damaged
    // data is an error rather than a warning on an image decoded as well as it could be.
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    const bool deep = bits > 8;
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options) return failure(IoReason::outOfMemory);
    options->strict_decoding = 1;
    heif_image* decoded = nullptr;
    const heif_error error =
        heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                          deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, options.get());
    const Image image(decoded);
    if (error.code != heif_error_Ok) return failureOf(error);
    if (!image || heif_image_get_decoding_warnings(image.get(), 0, nullptr, 0) > 0) return failure(IoReason::truncated);

    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (plane == nullptr || width <= 0 || height <= 0) return failure(IoReason::truncated);
    cv::Mat bgr(height, width, CV_8UC3);
    if (!deep) {
        const cv::Mat rgb(height, width, CV_8UC3, const_cast<std::uint8_t*>(plane), std::size_t(stride));
        cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
        return bgr;
    }
    // A PNG keeps deep samples shifted up to 16 bits, and OpenCV reads them back by their top 8 bits:
    // so `bits` - 8 low bits are dropped, without rounding.
    const int range = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    const int drop = std::max(0, std::min(range, 16) - 8);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = plane + std::size_t(y) * std::size_t(stride);
        std::uint8_t* out = bgr.ptr<std::uint8_t>(y);
        for (int x = 0; x < width; ++x, in += 6, out += 3) {
            for (int c = 0; c < 3; ++c) {
                const unsigned sample = unsigned(in[2 * c]) | (unsigned(in[2 * c + 1]) << 8);
                out[2 - c] = std::uint8_t(std::min(255u, sample >> drop));
            }
        }
    }
    return bgr;
}

}  // namespace

IoResult<cv::Mat> decodeHeif(const unsigned char* data, std::size_t size)
{
    return withMemoryGuard([&] { return decodedHeif(data, size); });
}

}  // namespace dofmap
