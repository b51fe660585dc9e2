// Exiv2 set up once for the process, for the sidecars' XMP and the photos' EXIF alike: its own
// messages muted, this program's XMP namespace registered, and one lock for every use.
#pragma once

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

}  // namespace dofmap
