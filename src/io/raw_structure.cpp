// Whether a RAW file holds everything its structure points to. LibRaw develops a file cut short
// without a word when what is missing is a tag's values or compressed data (it reads zeros there),
// so truncations are found by walking the file's own structure first.
#include "raw_structure.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace dofmap {
namespace {

// A directory structure that deep, or that many directories, is not a camera's: walking stops
// there (and loops of directories pointing at each other end).
constexpr int kDeepestDirectory = 4;
constexpr int kMostDirectories = 64;

// TIFF tags whose values locate data or further directories.
constexpr std::uint32_t kStripOffsets = 273, kStripByteCounts = 279;
constexpr std::uint32_t kTileOffsets = 324, kTileByteCounts = 325;
constexpr std::uint32_t kSubDirectories = 330, kExifDirectory = 34665;
constexpr std::uint32_t kJpegOffset = 513, kJpegLength = 514;
constexpr std::uint32_t kCompression = 259;
// The compression of a lossy DNG's image data: baseline JPEG streams.
constexpr std::uint64_t kLossyJpeg = 34892;

class TiffWalk {
public:
    TiffWalk(const unsigned char* data, std::size_t size) : data_(data), size_(size), big_(data[0] == 'M') { }

    // The strips and tiles of the directories walked whose data are baseline JPEG streams.
    const std::vector<FilePart>& lossyJpegParts() const { return lossy_; }

    // Walks the chain of directories from the one at `offset`; false when anything is out of the file.
    bool chain(std::uint64_t offset, int depth)
    {
        for (int link = 0; offset != 0 && link < kMostDirectories; ++link) {
            std::uint64_t next = 0;
            if (!directory(offset, depth, next)) return false;
            offset = next;
        }
        return true;
    }

private:
    struct Entry {
        std::uint32_t tag, type, count;
        std::uint64_t valueAt;  // where the values lie: in the entry itself when they fit in 4 bytes
    };

    std::uint32_t read(std::uint64_t at, int bytes) const
    {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value = big_ ? (value << 8) | data_[at + std::uint64_t(i)]
                         : value | (std::uint32_t(data_[at + std::uint64_t(i)]) << (8 * i));
        return value;
    }

    bool inside(std::uint64_t at, std::uint64_t length) const { return at <= size_ && length <= size_ - at; }

    static std::uint64_t typeSize(std::uint32_t type)
    {
        switch (type) {
        case 1:
        case 2:
        case 6:
        case 7:
            return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
        case 3:
        case 8:
            return 2;  // SHORT, SSHORT
        case 4:
        case 9:
        case 11:
        case 13:
            return 4;  // LONG, SLONG, FLOAT, IFD
        case 5:
        case 10:
        case 12:
        case 16:
        case 17:
        case 18:
            return 8;  // rationals, DOUBLE, 64-bit
        default:
            return 0;
        }
    }

    // The `index`-th value of an entry of SHORT or LONG values (0 for other types).
    std::uint64_t value(const Entry& entry, std::uint32_t index) const
    {
        if (entry.type == 3 || entry.type == 8) return read(entry.valueAt + 2 * std::uint64_t(index), 2);
        if (entry.type == 4 || entry.type == 9 || entry.type == 13)
            return read(entry.valueAt + 4 * std::uint64_t(index), 4);
        return 0;
    }

    bool directory(std::uint64_t offset, int depth, std::uint64_t& next)
    {
        if (++directories_ > kMostDirectories) return true;
        if (!inside(offset, 2)) return false;
        const std::uint32_t count = read(offset, 2);
        if (!inside(offset + 2, 12 * std::uint64_t(count) + 4)) return false;
        next = read(offset + 2 + 12 * std::uint64_t(count), 4);

        std::vector<Entry> entries;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t at = offset + 2 + 12 * std::uint64_t(i);
            Entry entry{read(at, 2), read(at + 2, 2), read(at + 4, 4), at + 8};
            const std::uint64_t bytes = typeSize(entry.type) * entry.count;
            if (bytes > 4) {
                entry.valueAt = read(at + 8, 4);
                if (!inside(entry.valueAt, bytes)) return false;
            }
            if (typeSize(entry.type) != 0) entries.push_back(entry);
        }
        const auto find = [&](std::uint32_t tag) -> const Entry* {
            for (const Entry& entry : entries)
                if (entry.tag == tag) return &entry;
            return nullptr;
        };
        // Strips, tiles and an embedded JPEG lie inside the file.
        for (const auto& [offsets, lengths] :
             {std::pair{kStripOffsets, kStripByteCounts}, std::pair{kTileOffsets, kTileByteCounts},
              std::pair{kJpegOffset, kJpegLength}}) {
            const Entry* at = find(offsets);
            const Entry* length = find(lengths);
            if (at == nullptr || length == nullptr) continue;
            for (std::uint32_t i = 0; i < at->count && i < length->count; ++i)
                if (!inside(value(*at, i), value(*length, i))) return false;
        }
        const Entry* compression = find(kCompression);
        if (compression != nullptr && value(*compression, 0) == kLossyJpeg)
            for (const auto& [offsets, lengths] :
                 {std::pair{kStripOffsets, kStripByteCounts}, std::pair{kTileOffsets, kTileByteCounts}}) {
                const Entry* at = find(offsets);
                const Entry* length = find(lengths);
                if (at == nullptr || length == nullptr) continue;
                for (std::uint32_t i = 0; i < at->count && i < length->count; ++i)
                    lossy_.push_back({std::size_t(value(*at, i)), std::size_t(value(*length, i))});
            }
        if (depth >= kDeepestDirectory) return true;
        for (const std::uint32_t tag : {kSubDirectories, kExifDirectory}) {
            const Entry* entry = find(tag);
            if (entry == nullptr) continue;
            for (std::uint32_t i = 0; i < entry->count && i < kMostDirectories; ++i) {
                std::uint64_t ignored = 0;
                const std::uint64_t child = value(*entry, i);
                if (child != 0 && !directory(child, depth + 1, ignored)) return false;
            }
        }
        return true;
    }

    const unsigned char* data_;
    std::uint64_t size_;
    bool big_;
    int directories_ = 0;
    std::vector<FilePart> lossy_;
};

bool startsWith(const unsigned char* data, std::size_t size, const char* signature, std::size_t length)
{
    return size >= length && std::memcmp(data, signature, length) == 0;
}

std::uint64_t bigEndian(const unsigned char* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

// Every top-level box of an ISO media file ends within it.
bool boxesComplete(const unsigned char* data, std::size_t size)
{
    std::uint64_t at = 0;
    while (at < size) {
        if (size - at < 8) return false;
        std::uint64_t length = bigEndian(data + at, 4);
        if (length == 0) return true;  // the last box, to the end of the file
        if (length == 1) {
            if (size - at < 16) return false;
            length = bigEndian(data + at + 8, 8);
        }
        if (length < 8 || length > size - at) return false;
        at += length;
    }
    return true;
}

// The preview, the sensor data's header and the sensor data that a RAF header locates.
bool rafComplete(const unsigned char* data, std::size_t size)
{
    constexpr std::size_t kLocations = 84, kParts = 3;
    if (size < kLocations + 8 * kParts) return false;
    for (std::size_t part = 0; part < kParts; ++part) {
        const std::uint64_t offset = bigEndian(data + kLocations + 8 * part, 4);
        const std::uint64_t length = bigEndian(data + kLocations + 8 * part + 4, 4);
        if (offset != 0 && (offset > size || length > size - offset)) return false;
    }
    return true;
}

// Whether the file starts as TIFF does, or as the variants of its header that Olympus (ORF) and
// Panasonic (RW2) write.
bool isTiffLike(const unsigned char* data, std::size_t size)
{
    for (const char* header : {"II*\0", "MM\0*", "IIRO", "IIRS", "MMOR", "IIU\0"})
        if (startsWith(data, size, header, 4)) return true;
    return false;
}

// Walks a TIFF-like file from its first directory: false when a part lies beyond its end.
bool walkTiff(const unsigned char* data, std::size_t size, TiffWalk& walk)
{
    if (size < 8) return false;
    const std::uint64_t first = data[0] == 'M' ? bigEndian(data + 4, 4)
                                               : std::uint64_t(data[4]) | (std::uint64_t(data[5]) << 8) |
            (std::uint64_t(data[6]) << 16) | (std::uint64_t(data[7]) << 24);
    return first != 0 && walk.chain(first, 0);
}

}  // namespace

bool rawFileComplete(const unsigned char* data, std::size_t size)
{
    if (isTiffLike(data, size)) {
        TiffWalk walk(data, size);
        return walkTiff(data, size, walk);
    }
    if (size >= 8 && std::memcmp(data + 4, "ftyp", 4) == 0) return boxesComplete(data, size);
    if (startsWith(data, size, "FUJIFILM", 8)) return rafComplete(data, size);
    return true;
}

std::vector<FilePart> lossyJpegParts(const unsigned char* data, std::size_t size)
{
    if (!isTiffLike(data, size)) return {};
    TiffWalk walk(data, size);
    if (!walkTiff(data, size, walk)) return {};
    return walk.lossyJpegParts();
}

}  // namespace dofmap
