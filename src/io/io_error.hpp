// The one failure of reading and writing: what went wrong, the system's error number where there is
// one, the words it is reported in, and the result shapes that carry it.
#pragma once

#include <opencv2/core.hpp>

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace dofmap {

// Why a photo, an image or a sidecar could not be read or written. The words of each are those of
// describe(), which the programs' messages, the records and Python's ReadError.reason show.
enum class IoReason {
    system,  // the system's error in IoError::systemError, in strerror's words ("permission denied")
    noSuchFile,  // "no such file": nothing at a photo's path (ENOENT)
    isFolder,  // "is a folder": a photo's path names a folder (EISDIR)
    notRegularFile,  // "not a regular file": a FIFO, a device or a socket, never read
    notAnImage,  // "not an image": no decoder knows the content, or there is none
    truncated,  // "truncated or corrupt data": a known format, damaged
    unsupported,  // "unsupported image": a kind of a known format its decoder does not handle
    tooLargeForRaw,  // "too large for the RAW decoder": LibRaw's own limit
    tooLarge,  // "too large (DETAIL)": more than the memory allowed, as IoError::detail says
    outOfMemory,  // "out of memory": the memory could not be had
    cannotEncodeImage,  // "cannot encode the image"
    isLink,  // "is a link": a sidecar linked outside its photo's folder, or to nothing
    hardLinks,  // "has more than one hard link"
    notXmpSidecar,  // "not an XMP sidecar": content that does not parse as XMP
    cannotEncodeSidecar,  // "cannot encode the sidecar"
    changed,  // "changed while being updated": another program changed the file at every attempt
    metadataUnreadable,  // "cannot read the metadata": Exiv2 failed to read its input
    metadataUnwritable,  // "cannot write the metadata": Exiv2 failed to write its output
    codecsUnavailable,  // "OpenCV's image codecs cannot be loaded (DETAIL)": the loader's reason
};

struct IoError {
    IoReason reason = IoReason::system;
    // The errno behind the reason: set for system, noSuchFile (ENOENT) and isFolder (EISDIR); 0 for
    // the reasons that are not the system's.
    int systemError = 0;
    // What tooLarge and codecsUnavailable say in their parentheses ("4000 x 3000 pixels need about
    // 1.2 GiB, ...", the dynamic loader's message).
    std::string detail;
};

// The failure for errno `error`: noSuchFile, isFolder or system as a photo's reader reports it when
// `photo`, otherwise system with strerror's words ("no such file or directory", "is a directory").
IoError systemFailure(int error, bool photo = false);

// The failure `reason`, one that is not the system's.
IoError failure(IoReason reason);

// The words of `error`, as the messages print them after "cannot read image PATH: " or "cannot
// write PATH: ": exactly the texts listed with IoReason, strerror's (starting in lower case) for
// the system's.
std::string describe(const IoError& error);

// A read or write that gives nothing back: success, or its failure.
class IoStatus {
public:
    IoStatus() = default;  // success
    IoStatus(IoError error) : error_(std::move(error)) { }  // implicit: a failure is a status

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    // The failure; only when !ok().
    const IoError& error() const { return *error_; }
    // Empty on success, otherwise describe(error()).
    std::string message() const { return ok() ? std::string() : describe(*error_); }

private:
    std::optional<IoError> error_;
};

// A read that gives a value: the value, or the failure.
template <typename T>
class IoResult {
public:
    // Implicit, so that a reader returns its value or its failure as it is.
    IoResult(T value) : outcome_(std::in_place_index<0>, std::move(value)) { }
    IoResult(IoError error) : outcome_(std::in_place_index<1>, std::move(error)) { }

    bool ok() const { return outcome_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // The value; only when ok().
    T& value() { return std::get<0>(outcome_); }
    const T& value() const { return std::get<0>(outcome_); }
    // The failure; only when !ok().
    const IoError& error() const { return std::get<1>(outcome_); }
    // Empty on success, otherwise describe(error()).
    std::string message() const { return ok() ? std::string() : describe(error()); }

private:
    std::variant<T, IoError> outcome_;
};

// Whether an exception from OpenCV says that memory could not be had.
inline bool isOutOfMemory(const cv::Exception& error)
{
    return error.code == cv::Error::StsNoMem;
}

// Runs `operation`, which returns an IoStatus or an IoResult, with its allocation failures
// (std::bad_alloc, and OpenCV's out of memory) returned as IoReason::outOfMemory: the one place
// where they become a failure of reading or writing. Other exceptions pass through.
template <typename Operation>
auto withMemoryGuard(Operation&& operation) -> decltype(operation())
{
    try {
        return operation();
    } catch (const std::bad_alloc&) {
    } catch (const cv::Exception& error) {
        if (!isOutOfMemory(error)) throw;
    }
    return failure(IoReason::outOfMemory);
}

}  // namespace dofmap
