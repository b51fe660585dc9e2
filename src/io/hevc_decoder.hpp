// HEVC decoding for libheif through libde265, with every sign of damage that libde265 gives taken as
// an error: libheif's own libde265 plugin ignores the decoder's warnings, so that bytes changed
// inside a HEIC file's coded data would decode to a damaged picture without complaint.
#pragma once

struct heif_decoder_plugin;

namespace dofmap {

// The decoder, to be registered with a libheif context (heif_register_decoder) before its images
// are decoded; it takes precedence over libheif's own HEVC decoders. Its pictures are those of
// libheif's libde265 plugin: the same planes, bit depths and color description; its failures are
// heif_error_Decoder_plugin_error (heif_suberror_End_of_data when the data is cut short),
// heif_error_Memory_allocation_error when memory runs out.
const heif_decoder_plugin& strictHevcDecoder();

}  // namespace dofmap
