// Files read whole, and written whole or not at all through a temporary file that nobody else can
// have planted.
#pragma once

#include "io_error.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace dofmap {

// Opens `path` read-only and close-on-exec, with `extraFlags` (O_NOFOLLOW, say), without blocking
// whatever the file is (a FIFO nobody writes to, a device), and fills `status` from the open file.
// Returns the descriptor, or -1 with errno set. Callers check the kind of file in `status` (a
// regular one, S_ISREG) before they read: a FIFO or a device would block or never end.
int openWithoutBlocking(const std::filesystem::path& path, int extraFlags, struct stat& status);

// Appends what is left to read from `fd` to `content`, but no more than `limit` bytes (the size
// fstat gave, for a file that may grow while it is read); reads interrupted by signals resumed.
// Returns the system's failure when a read fails; throws std::bad_alloc when the memory for the
// content cannot be had (see withMemoryGuard).
IoStatus readRest(int fd, std::vector<unsigned char>& content,
                  std::size_t limit = std::numeric_limits<std::size_t>::max());

// What a replacement keeps of the file it replaces, and what must still hold when it takes its place.
struct Replacement {
    // The status of the file replaced: the new file takes its permission bits, and its owner and
    // group where the process may set them (a process that may not give a file away keeps its own,
    // which is no failure). Null: a new file's permissions (0666 less the umask).
    const struct stat* keep = nullptr;
    // Called once the new content is on the disk, just before the rename: success lets the rename
    // go ahead; a failure is returned as the write's, nothing replaced.
    std::function<IoStatus()> beforeRename;
};

// Writes `bytes` to `path`: into a temporary file created exclusively in the same folder under an
// unpredictable hidden name (so that no link planted there is ever followed), synced to the disk,
// then renamed over `path`, which thus holds either its old content or all of the new. Returns the
// failure (the system's, or out of memory), having removed the temporary file. A temporary is
// created and registered, and renamed and unregistered, under one lock, which the removal on
// signals takes (see removeTemporaryFilesOnSignals).
IoStatus writeFileAtomically(const std::filesystem::path& path, const std::vector<unsigned char>& bytes,
                             const Replacement& replacement = {});

// Whether `name` is the name of a temporary file of writeFileAtomically (also one left by a run that
// was killed), which folders of photos must not offer as a photo.
bool isTemporaryFileName(const std::string& name);

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of writes in progress before the
// process ends as the signal would end it (its default action, so that the exit status names the
// signal). The signals are blocked in the calling thread, and so in every thread started after,
// and taken by one thread of their own, which holds the lock of the temporaries from then on; a
// signal the process ignores at start stays ignored (nohup). Call first in main, before any thread
// exists.
void removeTemporaryFilesOnSignals();

}  // namespace dofmap
