// Whether a RAW file holds everything its structure points to. LibRaw develops a file cut short
// without a word when what is missing is a tag's values or compressed data (it reads zeros there),
// so truncations are found by walking the file's own structure first.
#pragma once

#include <cstddef>
#include <vector>

namespace dofmap {

// False when a part of the file that its structure points to lies beyond its end: for TIFF-based
// RAW files (DNG, CR2, NEF, ARW, PEF, ORF, RW2, ...) a directory, a tag's values, a strip or a tile
// of a directory reached from the first one (through the chain, sub-directories and the EXIF
// directory); for ISO media files (CR3) a top-level box; for Fujifilm RAF files a part the header
// locates. Other files are taken as they are.
bool rawFileComplete(const unsigned char* data, std::size_t size);

// A run of bytes in a file.
struct FilePart {
    std::size_t offset;
    std::size_t length;
};

// The parts of a TIFF-based RAW file, found by the same walk, that hold its image data as baseline
// JPEG streams: the strips or tiles of lossy DNG directories (compression 34892), which LibRaw
// decodes without heeding libjpeg's warnings. Empty for other files, and for parts beyond the end.
std::vector<FilePart> lossyJpegParts(const unsigned char* data, std::size_t size);

}  // namespace dofmap
