// HEVC decoding for libheif through libde265, with every sign of damage that libde265 gives taken as
// an error: libheif's own libde265 plugin ignores the decoder's warnings, so that bytes changed
// inside a HEIC file's coded data would decode to a damaged picture without complaint.
#include "hevc_decoder.hpp"

#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace dofmap {
namespace {

// Above the priority of libheif's own decoders (100), so that this one is chosen.
constexpr int kPriority = 200;
// The version of libheif's plugin interface this decoder fills in: up to set_strict_decoding and
// id_name.
constexpr int kPluginApiVersion = 3;
// Bytes of the big-endian length in front of each NAL unit, as libheif hands the data over (the
// parameter sets of the hvcC box, then the coded picture).
constexpr std::size_t kLengthBytes = 4;

struct Decoder {
    de265_decoder_context* context = nullptr;
    bool damaged = false;  // a NAL unit that does not fit the data, or one libde265 refused
};

heif_error failure(heif_error_code code, heif_suberror_code subcode = heif_suberror_Unspecified)
{
    return {code, subcode, "damaged HEVC data"};
}

constexpr heif_error kSuccess{heif_error_Ok, heif_suberror_Unspecified, "Success"};

const char* name()
{
    return "libde265 HEVC decoder, every warning an error";
}

int supports(heif_compression_format format)
{
    return format == heif_compression_HEVC ? kPriority : 0;
}

heif_error newDecoder(void** decoder)
{
    auto* created = new (std::nothrow) Decoder;
    if (created == nullptr) return failure(heif_error_Memory_allocation_error);
    created->context = de265_new_decoder();
    if (created->context == nullptr) {
        delete created;
        return failure(heif_error_Memory_allocation_error);
    }
    // One worker thread, as libheif's plugin starts: libheif decodes the tiles of a grid itself.
    de265_start_worker_threads(created->context, 1);
    *decoder = created;
    return kSuccess;
}

void freeDecoder(void* decoder)
{
    auto* owned = static_cast<Decoder*>(decoder);
    de265_free_decoder(owned->context);
    delete owned;
}

heif_error pushData(void* decoder, const void* data, std::size_t size)
{
    auto& own = *static_cast<Decoder*>(decoder);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t at = 0; at < size;) {
        if (size - at < kLengthBytes) return failure(heif_error_Decoder_plugin_error, heif_suberror_End_of_data);
        const std::size_t length = (std::size_t(bytes[at]) << 24) | (std::size_t(bytes[at + 1]) << 16) |
            (std::size_t(bytes[at + 2]) << 8) | std::size_t(bytes[at + 3]);
        at += kLengthBytes;
        if (length > size - at) return failure(heif_error_Decoder_plugin_error, heif_suberror_End_of_data);
        if (de265_push_NAL(own.context, bytes + at, int(length), 0, nullptr) != DE265_OK) own.damaged = true;
        at += length;
    }
    return kSuccess;
}

// Whether a warning of libde265 says nothing of the data: its threads, its queue of warnings.
bool harmless(de265_error warning)
{
    return warning == DE265_WARNING_NO_WPP_CANNOT_USE_MULTITHREADING || warning == DE265_WARNING_WARNING_BUFFER_FULL ||
        warning == DE265_WARNING_NUMBER_OF_THREADS_LIMITED_TO_MAXIMUM;
}

// The decoded picture as libheif holds images: its planes at their bit depth, and the color
// description the stream gives.
heif_error toHeifImage(const de265_image* picture, heif_image** out)
{
    const de265_chroma chroma = de265_get_chroma_format(picture);
    const bool mono = chroma == de265_chroma_mono;
    heif_image* image = nullptr;
    // libde265's chroma formats are numbered as libheif's.
    heif_error error = heif_image_create(de265_get_image_width(picture, 0), de265_get_image_height(picture, 0),
                                         mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                                         static_cast<heif_chroma>(chroma), &image);
    if (error.code != heif_error_Ok) return error;
    const int bits = de265_get_bits_per_pixel(picture, 0);
    static const heif_channel kChannels[] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        const int width = de265_get_image_width(picture, c), height = de265_get_image_height(picture, c);
        if (de265_get_bits_per_pixel(picture, c) != bits || width <= 0 || height <= 0) {
            heif_image_release(image);
            return failure(heif_error_Unsupported_feature, heif_suberror_Unsupported_color_conversion);
        }
        error = heif_image_add_plane(image, kChannels[c], width, height, bits);
        if (error.code != heif_error_Ok) {
            heif_image_release(image);
            return error;
        }
        int fromStride = 0, toStride = 0;
        const std::uint8_t* from = de265_get_image_plane(picture, c, &fromStride);
        std::uint8_t* to = heif_image_get_plane(image, kChannels[c], &toStride);
        const std::size_t rowBytes = std::size_t(width) * std::size_t((bits + 7) / 8);
        for (int y = 0; y < height; ++y)
            std::memcpy(to + std::size_t(y) * std::size_t(toStride), from + std::size_t(y) * std::size_t(fromStride),
                        rowBytes);
    }
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    if (nclx == nullptr) {
        heif_image_release(image);
        return failure(heif_error_Memory_allocation_error);
    }
    const bool described =
        heif_nclx_color_profile_set_color_primaries(nclx, std::uint16_t(de265_get_image_colour_primaries(picture)))
                .code == heif_error_Ok &&
        heif_nclx_color_profile_set_transfer_characteristics(
            nclx, std::uint16_t(de265_get_image_transfer_characteristics(picture)))
                .code == heif_error_Ok &&
        heif_nclx_color_profile_set_matrix_coefficients(nclx,
                                                        std::uint16_t(de265_get_image_matrix_coefficients(picture)))
                .code == heif_error_Ok;
    nclx->full_range_flag = std::uint8_t(de265_get_image_full_range_flag(picture) != 0);
    if (described) heif_image_set_nclx_color_profile(image, nclx);
    heif_nclx_color_profile_free(nclx);
    if (!described) {
        heif_image_release(image);
        return failure(heif_error_Decoder_plugin_error);
    }
    *out = image;
    return kSuccess;
}

heif_error decodeImage(void* decoder, heif_image** out)
{
    auto& own = *static_cast<Decoder*>(decoder);
    *out = nullptr;
    if (own.damaged) return failure(heif_error_Decoder_plugin_error);
    de265_flush_data(own.context);
    heif_image* image = nullptr;
    for (int more = 1; more != 0;) {
        more = 0;
        const de265_error error = de265_decode(own.context, &more);
        if (error == DE265_ERROR_OUT_OF_MEMORY) return failure(heif_error_Memory_allocation_error);
        if (error != DE265_OK) {
            if (image != nullptr) heif_image_release(image);
            return failure(heif_error_Decoder_plugin_error);
        }
        if (const de265_image* picture = de265_get_next_picture(own.context)) {
            // A still image holds one picture: a second one is taken, as libheif's plugin does.
            if (image != nullptr) heif_image_release(image);
            image = nullptr;
            const heif_error converted = toHeifImage(picture, &image);
            de265_release_next_picture(own.context);
            if (converted.code != heif_error_Ok) return converted;
        }
    }
    bool damaged = image == nullptr;
    for (de265_error warning = de265_get_warning(own.context); warning != DE265_OK;
         warning = de265_get_warning(own.context))
        damaged |= !harmless(warning);
    if (damaged) {
        if (image != nullptr) heif_image_release(image);
        return failure(heif_error_Decoder_plugin_error);
    }
    *out = image;
    return kSuccess;
}

// Damage is always an error here, strict decoding asked for or not.
void setStrictDecoding(void*, int)
{
}

}  // namespace

const heif_decoder_plugin& strictHevcDecoder()
{
    static const heif_decoder_plugin plugin = [] {
        heif_decoder_plugin filled{};
        filled.plugin_api_version = kPluginApiVersion;
        filled.get_plugin_name = name;
        filled.does_support_format = supports;
        filled.new_decoder = newDecoder;
        filled.free_decoder = freeDecoder;
        filled.push_data = pushData;
        filled.decode_image = decodeImage;
        filled.set_strict_decoding = setStrictDecoding;
        filled.id_name = "dofmap-strict-libde265";
        return filled;
    }();
    return plugin;
}

}  // namespace dofmap
