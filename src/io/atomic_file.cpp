// Files read whole, and written whole or not at all through a temporary file that nobody else can
// have planted.
#include "atomic_file.hpp"

#include "messages.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

namespace dofmap {
namespace {

// Temporary names end so, and start with a dot: hidden, and recognizable.
const std::string kTemporarySuffix = ".dofmap-part";
// Random hexadecimal digits in a temporary name: too many to guess.
constexpr int kRandomDigits = 16;

// A hidden name in the folder of `path` that no one can predict, within the file-name limit
// however long the name of `path`.
std::filesystem::path temporaryNameFor(const std::filesystem::path& path)
{
    thread_local std::mt19937_64 random(std::random_device{}());
    char digits[kRandomDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random()));
    const std::size_t room = NAME_MAX - (1 + 1 + kRandomDigits + kTemporarySuffix.size());
    const std::string stem = path.filename().string().substr(0, room);
    return path.parent_path() / ("." + stem + "." + digits + kTemporarySuffix);
}

// The temporary files of writes in progress, for the removal on signals. Writers create and
// register a temporary, and rename or remove it and unregister it, under the lock; the signal's
// thread takes the lock, removes what is registered and ends the process without letting it go,
// so that no temporary is created or left after it. Never destroyed: a signal may come while the
// process exits.
struct Temporaries {
    std::mutex lock;
    std::unordered_set<std::string> paths;
};

Temporaries& temporaries()
{
    static Temporaries* const instance = new Temporaries();  // owned by the process until its end
    return *instance;
}

// A temporary file beside `destination`, registered for as long as it exists: removed on
// destruction unless renamed into place.
class RegisteredTemporary {
public:
    explicit RegisteredTemporary(const std::filesystem::path& destination, mode_t mode)
    {
        Temporaries& registry = temporaries();
        // A name that exists already (planted, or drawn twice) is simply drawn again. The name is
        // registered before the file exists, under the lock, so that the memory to register it is
        // had (or std::bad_alloc thrown) before anything is left to remove.
        for (int attempt = 0; attempt < 8; ++attempt) {
            path_ = temporaryNameFor(destination).string();
            const std::lock_guard<std::mutex> hold(registry.lock);
            if (!registry.paths.insert(path_).second) continue;  // another writer's, in the making
            const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd >= 0) {
                fd_ = fd;
                return;
            }
            const int error = errno;
            registry.paths.erase(path_);
            if (error == EEXIST) continue;
            failure_ = systemFailure(error);
            return;
        }
        failure_ = systemFailure(EEXIST);
    }
    ~RegisteredTemporary()
    {
        if (fd_ >= 0) ::close(fd_);
        if (!registered()) return;
        Temporaries& registry = temporaries();
        const std::lock_guard<std::mutex> hold(registry.lock);
        ::unlink(path_.c_str());
        registry.paths.erase(path_);
    }
    RegisteredTemporary(const RegisteredTemporary&) = delete;
    RegisteredTemporary& operator=(const RegisteredTemporary&) = delete;

    // Success, or why the temporary could not be created.
    const IoStatus& failure() const { return failure_; }
    int descriptor() const { return fd_; }

    // Closes the descriptor.
    IoStatus close()
    {
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) return systemFailure(errno);
        return {};
    }

    // Renames the (closed) temporary over `destination` (on a failure, the temporary is removed on
    // destruction).
    IoStatus renameOver(const std::filesystem::path& destination)
    {
        Temporaries& registry = temporaries();
        const std::lock_guard<std::mutex> hold(registry.lock);
        if (::rename(path_.c_str(), destination.c_str()) != 0) return systemFailure(errno);
        registry.paths.erase(path_);
        renamed_ = true;
        return {};
    }

private:
    bool registered() const { return failure_.ok() && !renamed_; }

    std::string path_;
    IoStatus failure_;
    int fd_ = -1;
    bool renamed_ = false;
};

// Gives the file open at `fd` the permission bits of `original`, and its owner and group where the
// process may: a process that may not give a file away keeps its own (EPERM is no failure).
IoStatus keepAttributes(int fd, const struct stat& original)
{
    if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
        if (errno != EPERM) return systemFailure(errno);
        // The group alone may still be one of the process's own.
        if (::fchown(fd, uid_t(-1), original.st_gid) != 0 && errno != EPERM) return systemFailure(errno);
    }
    // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
    if (::fchmod(fd, original.st_mode & 07777) != 0) return systemFailure(errno);
    return {};
}

// Waits for one of `signals`, then removes the temporaries and ends the process by that signal's
// default action. Holds the lock of the temporaries from the removal on, so that no writer creates
// one after it or renames one it removed.
void removeTemporariesOnSignal(sigset_t signals)
{
    int signal = 0;
    while (::sigwait(&signals, &signal) != 0) { }
    Temporaries& registry = temporaries();
    registry.lock.lock();
    for (const std::string& path : registry.paths) ::unlink(path.c_str());
    struct sigaction fallback { };
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);  // not reached: the default action of these signals ends the process
}

}  // namespace

int openWithoutBlocking(const std::filesystem::path& path, int extraFlags, struct stat& status)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags);
    if (fd < 0) return -1;
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    // Reads of a regular file never block; a FIFO or device is refused by the caller unread.
    return fd;
}

IoStatus readRest(int fd, std::vector<unsigned char>& content, std::size_t limit)
{
    unsigned char buffer[1 << 16];
    std::size_t taken = 0;
    while (taken < limit) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - taken));
        if (got == 0) return {};
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return systemFailure(errno);
        content.insert(content.end(), buffer, buffer + got);
        taken += std::size_t(got);
    }
    return {};
}

IoStatus writeFileAtomically(const std::filesystem::path& path, const std::vector<unsigned char>& bytes,
                             const Replacement& replacement)
{
    return withMemoryGuard([&]() -> IoStatus {
        // A file whose attributes are to be kept is private until it has them.
        RegisteredTemporary temporary(path, replacement.keep ? 0600 : 0666);
        if (!temporary.failure()) return temporary.failure();
        IoStatus status = writeAll(temporary.descriptor(), bytes.data(), bytes.size());
        if (status && replacement.keep) status = keepAttributes(temporary.descriptor(), *replacement.keep);
        if (status && ::fsync(temporary.descriptor()) != 0) status = systemFailure(errno);
        const IoStatus closing = temporary.close();
        if (status) status = closing;
        if (status && replacement.beforeRename) status = replacement.beforeRename();
        if (status) status = temporary.renameOver(path);
        return status;
    });
}

bool isTemporaryFileName(const std::string& name)
{
    return name.size() > kTemporarySuffix.size() && name[0] == '.' &&
        name.compare(name.size() - kTemporarySuffix.size(), kTemporarySuffix.size(), kTemporarySuffix) == 0;
}

void removeTemporaryFilesOnSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current { };
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) sigaddset(&signals, signal);
    }
    if (sigisemptyset(&signals)) return;
    sigset_t previous;
    if (::pthread_sigmask(SIG_BLOCK, &signals, &previous) != 0) return;
    try {
        std::thread(removeTemporariesOnSignal, signals).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the signals end the process at once, as they did before the call.
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
}

}  // namespace dofmap
