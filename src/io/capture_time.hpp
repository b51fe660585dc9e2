// When a photo was taken, as its file records it: the EXIF date and time of the original, with its
// fraction of a second and its offset from UTC where the camera wrote them.
#pragma once

#include "image_io.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace dofmap {

// A moment on the camera's clock.
struct CaptureTime {
    // The date and time the clock showed, counted in seconds from 1970-01-01 00:00:00 on that clock
    // (no time zone applied: the offset below tells the zone when the file gives it).
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;  // the fraction of a second (SubSecTimeOriginal), 0 when not given
    // The clock's offset from UTC in minutes (OffsetTimeOriginal "+02:00" is 120); none when not given.
    std::optional<std::int32_t> offsetMinutes;
};

// The seconds from `from` to `to` (negative when `to` is earlier): in UTC when both give their
// offset, otherwise as their clocks show them.
double secondsBetween(const CaptureTime& from, const CaptureTime& to);

// The time the photo in `file` was taken, read from its bytes alone: EXIF DateTimeOriginal with
// SubSecTimeOriginal and OffsetTimeOriginal, parsed by Exiv2, from a JPEG's EXIF segment, a TIFF
// file's (also a RAW file laid out as TIFF: DNG, CR2, NEF, ARW, PEF, ...) and a HEIF file's Exif
// item (located by libheif); from other RAW files (ORF, RW2, RAF, CR3, CRW, ...) the time LibRaw
// reads, in whole seconds and without offset. None when the file gives no time or a malformed one
// ("0000:00:00 00:00:00", a month 13), and for the other formats (PNG, WebP, BMP, PNM); a malformed
// fraction or offset is left out. Fails when the time cannot be read: IoReason::truncated for an
// EXIF structure Exiv2 cannot decode, outOfMemory, or Exiv2's failure to read. Prints nothing.
IoResult<std::optional<CaptureTime>> readCaptureTime(const PhotoFile& file);

}  // namespace dofmap
