// Reading photographs and writing images atomically, with the temporary files removed on signals.
#include "image_io.hpp"

#include <opencv2/imgcodecs.hpp>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>

namespace dofmap {
namespace {

// A name in the folder of `path`, hidden and unique to this process and call, with the same
// extension so that the encoder is chosen as for `path`.
std::filesystem::path temporaryNameFor(const std::filesystem::path& path)
{
    static std::atomic<unsigned long> counter{0};
    const std::string name = "." + path.stem().string() + ".tmp" + std::to_string(::getpid()) + "-" +
        std::to_string(counter++) + path.extension().string();
    return path.parent_path() / name;
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

bool encodeAndRename(const std::filesystem::path& path, const cv::Mat& image, const std::vector<int>& params)
{
    const std::filesystem::path temporary = temporaryNameFor(path);
    const RegisteredTemporary registered(temporary.string());
    bool written = false;
    try {
        written = cv::imwrite(temporary.string(), image, params);
    } catch (const cv::Exception&) {
        written = false;
    }
    std::error_code error;
    if (written) std::filesystem::rename(temporary, path, error);
    if (!written || error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

}  // namespace

cv::Mat readColorImage(const std::string& path)
{
    try {
        return cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return {};
    }
}

bool writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params)
{
    return encodeAndRename(path, image, params);
}

void removeTemporaryFilesOnSignals()
{
    struct sigaction action { };
    action.sa_handler = removeTemporaryFilesAndDie;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace dofmap
