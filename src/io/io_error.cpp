// The one failure of reading and writing, and the words it is reported in.
#include "io_error.hpp"

#include "messages.hpp"

#include <cerrno>

namespace dofmap {

IoError systemFailure(int error, bool photo)
{
    if (photo && error == ENOENT) return IoError{IoReason::noSuchFile, error, {}};
    if (photo && error == EISDIR) return IoError{IoReason::isFolder, error, {}};
    return IoError{IoReason::system, error, {}};
}

IoError failure(IoReason reason)
{
    return IoError{reason, 0, {}};
}

std::string describe(const IoError& error)
{
    switch (error.reason) {
    case IoReason::system:
        return reasonOf(error.systemError);
    case IoReason::noSuchFile:
        return "no such file";
    case IoReason::isFolder:
        return "is a folder";
    case IoReason::notRegularFile:
        return "not a regular file";
    case IoReason::notAnImage:
        return "not an image";
    case IoReason::truncated:
        return "truncated or corrupt data";
    case IoReason::unsupported:
        return "unsupported image";
    case IoReason::tooLargeForRaw:
        return "too large for the RAW decoder";
    case IoReason::tooLarge:
        return "too large (" + error.detail + ")";
    case IoReason::outOfMemory:
        return "out of memory";
    case IoReason::cannotEncodeImage:
        return "cannot encode the image";
    case IoReason::isLink:
        return "is a link";
    case IoReason::hardLinks:
        return "has more than one hard link";
    case IoReason::notXmpSidecar:
        return "not an XMP sidecar";
    case IoReason::cannotEncodeSidecar:
        return "cannot encode the sidecar";
    case IoReason::changed:
        return "changed while being updated";
    case IoReason::metadataUnreadable:
        return "cannot read the metadata";
    case IoReason::metadataUnwritable:
        return "cannot write the metadata";
    case IoReason::codecsUnavailable:
        return "OpenCV's image codecs cannot be loaded (" + error.detail + ")";
    }
    return "unknown failure";  // not reached: every reason is worded above
}

}  // namespace dofmap
