// Exiv2 set up once for the process, for the sidecars' XMP and the photos' EXIF alike: its own
// messages muted, this program's XMP namespace registered, one lock for every use, and its error
// codes turned into failures of reading and writing.
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

IoError exiv2Failure(int code, IoReason malformed)
{
    switch (code) {
    case Exiv2::kerMallocFailed:
        return failure(IoReason::outOfMemory);
    case Exiv2::kerCallFailed:
    case Exiv2::kerDataSourceOpenFailed:
    case Exiv2::kerFileOpenFailed:
    case Exiv2::kerFailedToReadImageData:
    case Exiv2::kerFailedToMapFileForReadWrite:
    case Exiv2::kerInputDataReadFailed:
        return failure(IoReason::metadataUnreadable);
    case Exiv2::kerFileRenameFailed:
    case Exiv2::kerTransferFailed:
    case Exiv2::kerMemoryTransferFailed:
    case Exiv2::kerImageWriteFailed:
    case Exiv2::kerEncodeLangAltPropertyFailed:
        return failure(IoReason::metadataUnwritable);
    default:
        return failure(malformed);
    }
}

}  // namespace dofmap
