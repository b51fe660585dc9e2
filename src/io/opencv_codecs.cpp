// OpenCV's image codecs, loaded the first time a file needs them.
#include "opencv_codecs.hpp"

#include "opencv_codecs_module.hpp"

#include <dlfcn.h>

#include <string>

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

// The folder of the program or shared object that holds this code, with a slash; empty when the
// loader cannot tell.
std::string ownFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&ownFolder), &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

LoadedCodecs load()
{
    // Beside the program (a build tree's); by name, as the loader finds it through the asking
    // object's run path (the tests', the Python module's) and LD_LIBRARY_PATH; then where it is
    // installed. RTLD_NODELETE: the table stays valid to the end.
    constexpr int kMode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
    const std::string folder = ownFolder();
    void* handle = folder.empty() ? nullptr : dlopen((folder + kOpenCvCodecsModule).c_str(), kMode);
    if (handle == nullptr) handle = dlopen(kOpenCvCodecsModule, kMode);
    if (handle == nullptr) {
        const std::string installed = std::string(DOFMAP_MODULE_DIR) + "/" + kOpenCvCodecsModule;
        handle = dlopen(installed.c_str(), kMode);
        if (handle == nullptr) return {nullptr, loaderMessage()};
    }
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
