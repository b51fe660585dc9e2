// Exiv2 set up once for the process, for the sidecars' XMP and the photos' EXIF alike: its own
// messages muted, this program's XMP namespace registered, one lock for every use, and its error
// codes turned into failures of reading and writing.
#pragma once

#include "io_error.hpp"

#include <mutex>

namespace dofmap {

// Exiv2's XMP toolkit is not safe from several threads at once, and EXIF may hold an XMP packet
// (a TIFF file's tag 700) that Exiv2 decodes with it: every use of Exiv2 holds `lock`.
class Exiv2Toolkit {
public:
    Exiv2Toolkit();
    ~Exiv2Toolkit();
    Exiv2Toolkit(const Exiv2Toolkit&) = delete;
    Exiv2Toolkit& operator=(const Exiv2Toolkit&) = delete;

    std::mutex lock;
};

// The toolkit, set up at its first use and released at exit.
Exiv2Toolkit& exiv2Toolkit();

// The failure of Exiv2's error `code` (an Exiv2::ErrorCode, as Exiv2::AnyError::code() gives it):
// IoReason::outOfMemory when its memory could not be had, metadataUnreadable when it could not
// read its input, metadataUnwritable when it could not write or encode its output, and
// `malformed` for the others, which are about the content (XMP that does not parse, a corrupt EXIF
// structure).
IoError exiv2Failure(int code, IoReason malformed);

}  // namespace dofmap
