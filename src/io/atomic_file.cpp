// Files read whole, and written whole or not at all through a temporary file that nobody else can
// have planted.
#include "atomic_file.hpp"

#include "messages.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

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

// Temporary files being written, for the signal handler: fixed slots of plain characters, since a
// handler may touch nothing else. A write that finds no free slot goes ahead unregistered.
constexpr int kSlots = 64;
constexpr std::size_t kPathCapacity = 4096;
char temporaryPaths[kSlots][kPathCapacity];
std::atomic<bool> slotInUse[kSlots];
std::atomic<bool> slotReady[kSlots];

// Holds a temporary path in a slot for as long as the write lasts.
class RegisteredTemporary {
public:
    explicit RegisteredTemporary(const std::string& path)
    {
        if (path.size() >= kPathCapacity) return;
        for (int i = 0; i < kSlots; ++i) {
            bool expected = false;
            if (slotInUse[i].compare_exchange_strong(expected, true)) {
                std::memcpy(temporaryPaths[i], path.c_str(), path.size() + 1);
                slotReady[i] = true;
                slot_ = i;
                return;
            }
        }
    }
    ~RegisteredTemporary()
    {
        if (slot_ < 0) return;
        slotReady[slot_] = false;
        slotInUse[slot_] = false;
    }
    RegisteredTemporary(const RegisteredTemporary&) = delete;
    RegisteredTemporary& operator=(const RegisteredTemporary&) = delete;

private:
    int slot_ = -1;
};

void removeTemporaryFilesAndDie(int signal)
{
    for (int i = 0; i < kSlots; ++i)
        if (slotReady[i]) ::unlink(temporaryPaths[i]);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// An open descriptor, closed on destruction unless released.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) { }
    ~Descriptor()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes the descriptor, returning the reason of a failure.
    std::string close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? std::string() : reasonOf(errno);
    }

private:
    int fd_;
};

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

std::string readRest(int fd, std::vector<unsigned char>& content, std::size_t limit)
{
    unsigned char buffer[1 << 16];
    std::size_t taken = 0;
    while (taken < limit) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - taken));
        if (got == 0) return "";
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return reasonOf(errno);
        content.insert(content.end(), buffer, buffer + got);
        taken += std::size_t(got);
    }
    return "";
}

std::string writeFileAtomically(const std::filesystem::path& path, const std::vector<unsigned char>& bytes)
{
    // A name that exists already (planted, or drawn twice) is simply drawn again.
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = temporaryNameFor(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return reasonOf(errno);
    }
    if (fd < 0) return reasonOf(EEXIST);
    const RegisteredTemporary registered(temporary.string());
    Descriptor file(fd);
    std::string reason = writeAll(file.get(), bytes.data(), bytes.size());
    if (reason.empty() && ::fsync(file.get()) != 0) reason = reasonOf(errno);
    const std::string closing = file.close();
    if (reason.empty()) reason = closing;
    if (reason.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) reason = reasonOf(errno);
    if (!reason.empty()) ::unlink(temporary.c_str());
    return reason;
}

bool isTemporaryFileName(const std::string& name)
{
    return name.size() > kTemporarySuffix.size() && name[0] == '.' &&
        name.compare(name.size() - kTemporarySuffix.size(), kTemporarySuffix.size(), kTemporarySuffix) == 0;
}

void removeTemporaryFilesOnSignals()
{
    struct sigaction action { };
    action.sa_handler = removeTemporaryFilesAndDie;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace dofmap
