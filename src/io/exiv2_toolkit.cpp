// Exiv2 set up once for the process, for the sidecars' XMP and the photos' EXIF alike: its own
// messages muted, this program's XMP namespace registered, and one lock for every use.
#include "exiv2_toolkit.hpp"

#include "exiv2_compat.hpp"
#include "xmp_sidecar.hpp"

namespace dofmap {

Exiv2Toolkit::Exiv2Toolkit()
{
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    Exiv2::XmpProperties::registerNs(kXmpNamespace, kXmpPrefix);
}

Exiv2Toolkit::~Exiv2Toolkit()
{
    Exiv2::XmpParser::terminate();
}

Exiv2Toolkit& exiv2Toolkit()
{
    static Exiv2Toolkit instance;
    return instance;
}

}  // namespace dofmap
