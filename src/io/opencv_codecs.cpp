// OpenCV's image codecs, loaded the first time a file needs them.
#include "opencv_codecs.hpp"

#include "opencv_codecs_module.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace dofmap {

const char* const kOpenCvCodecsModule = "libdofmap-opencv-codecs.so";

namespace {

// The loaded module's table, or why there is none.
struct LoadedCodecs {
    const OpenCvCodecs* codecs = nullptr;
    std::string problem;
};

std::string loaderMessage()
{
    const char* message = dlerror();
    return message != nullptr ? message : "unknown reason";
}

// The folder of the running program, with a slash; empty when the system cannot tell.
std::string programFolder()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !program.has_parent_path()) return {};
    return program.parent_path().string() + "/";
}

LoadedCodecs load()
{
    // Beside the program (a build tree's, its tests'); where it is installed relative to the
    // program (under any prefix); by name as the loader finds it (the run path of the object that
    // asks, as the Python module's; LD_LIBRARY_PATH), then where it was installed. RTLD_NODELETE:
    // the table stays valid to the end.
    constexpr int kMode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
    const std::string folder = programFolder();
    std::vector<std::string> candidates;
    if (!folder.empty()) {
        candidates.push_back(folder + kOpenCvCodecsModule);
        candidates.push_back(folder + DOFMAP_MODULE_FROM_PROGRAMS + "/" + kOpenCvCodecsModule);
    }
    candidates.push_back(kOpenCvCodecsModule);
    candidates.push_back(std::string(DOFMAP_MODULE_DIR) + "/" + kOpenCvCodecsModule);
    // Why the first candidate that is there failed (a library of its own missing, a damaged file),
    // rather than why the last one is not there.
    void* handle = nullptr;
    std::string problem, last;
    for (const std::string& candidate : candidates) {
        if ((handle = dlopen(candidate.c_str(), kMode)) != nullptr) break;
        last = loaderMessage();
        const bool absent = last.rfind(candidate + ": cannot open shared object file", 0) == 0;
        if (problem.empty() && !absent) problem = last;
    }
    if (handle == nullptr) return {nullptr, problem.empty() ? last : problem};
    using Table = const OpenCvCodecs* (*)();
    const auto table = reinterpret_cast<Table>(dlsym(handle, "dofmapOpenCvCodecs"));
    if (table == nullptr) return {nullptr, loaderMessage()};
    const OpenCvCodecs* codecs = table();
    if (codecs == nullptr || codecs->version != kOpenCvCodecsVersion)
        return {nullptr, std::string(kOpenCvCodecsModule) + " is of another version of dofmap"};
    return {codecs, {}};
}

// Loaded once per process, on the first call from any thread.
IoResult<const OpenCvCodecs*> codecs()
{
    static const LoadedCodecs loaded = load();
    if (loaded.codecs == nullptr) {
        IoError error = failure(IoReason::codecsUnavailable);
        error.detail = loaded.problem;
        return error;
    }
    return loaded.codecs;
}

}  // namespace

IoResult<cv::Mat> decodeByOpenCv(const std::vector<unsigned char>& content)
{
    const IoResult<const OpenCvCodecs*> loaded = codecs();
    if (!loaded) return loaded.error();
    return withMemoryGuard([&]() -> IoResult<cv::Mat> {
        cv::Mat image;
        try {
            loaded.value()->decode(content, image);
        } catch (const cv::Exception& error) {
            if (isOutOfMemory(error)) throw;  // for the guard
            image.release();
        }
        return image;
    });
}

IoStatus encodeByOpenCv(const std::string& extension, const cv::Mat& image, const std::vector<int>& params,
                        std::vector<unsigned char>& encoded)
{
    const IoResult<const OpenCvCodecs*> loaded = codecs();
    if (!loaded) return loaded.error();
    return withMemoryGuard([&]() -> IoStatus {
        try {
            if (loaded.value()->encode(extension, image, params, encoded)) return {};
        } catch (const cv::Exception& error) {
            if (isOutOfMemory(error)) throw;  // for the guard
        }
        return failure(IoReason::cannotEncodeImage);
    });
}

}  // namespace dofmap
