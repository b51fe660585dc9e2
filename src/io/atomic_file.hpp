// Files read whole, and written whole or not at all through a temporary file that nobody else can
// have planted.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dofmap {

// Appends what is left to read from `fd` to `content` (reads interrupted by signals resumed).
// Returns an empty string, or the system's reason when a read fails; throws std::bad_alloc when
// the memory for the content cannot be had.
std::string readRest(int fd, std::vector<unsigned char>& content);

// Writes `bytes` to `path`: into a temporary file created exclusively in the same folder under an
// unpredictable hidden name (so that no link planted there is ever followed), synced to the disk,
// then renamed over `path`, which thus holds either its old content or all of the new. Returns an
// empty string, or the reason of the failure, having removed the temporary file.
std::string writeFileAtomically(const std::filesystem::path& path, const std::vector<unsigned char>& bytes);

// Whether `name` is the name of a temporary file of writeFileAtomically (also one left by a run that
// was killed), which folders of photos must not offer as a photo.
bool isTemporaryFileName(const std::string& name);

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of writes in progress before the
// process ends as the signal would end it. Call once, before the first write.
void removeTemporaryFilesOnSignals();

}  // namespace dofmap
