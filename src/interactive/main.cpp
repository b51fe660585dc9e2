// The interactive program: analyses the fixed photograph, shows three windows, waits for a key.
//
// Exit status: 0 when the run completed and both files were written; 1 when the photograph cannot
// be read or is too large for the memory available (nothing else is done), the memory runs out
// during the analysis, a file cannot be written, or no window can be opened (the files are still
// written).
#include "atomic_file.hpp"
#include "display.hpp"
#include "focus_analyzer.hpp"
#include "image_io.hpp"
#include "memory.hpp"
#include "messages.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace {

// The bytes a pixel takes at the peak: the photo, its blurred copy and the map, the windows' copies
// of all three, and their encodings (what the decoder holds while it decodes comes on top).
constexpr double kBytesPerPixel = 24.0;
// The share of the available memory a photo may take.
constexpr double kShareOfAvailable = 0.85;
// The analyzer's windows: the photograph, its blurred reference and its map, side by side.
constexpr int kWindowCount = 3;

}  // namespace

int main()
{
    using namespace dofmap;
    // Before any thread exists, so that every thread inherits the blocked signals.
    removeTemporaryFilesOnSignals();
    ensureStandardDescriptors();
    const std::string program = "dofmap";
    // Failures are reported by this program, one line each; the library's own log would repeat them.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    silenceLibraryOutput();

    // The photograph is refused before it is decoded when the memory it will take cannot be had.
    std::string reason;
    PhotoFile file;
    cv::Mat photo;
    if (loadPhotoFile(kInputPath, file, reason)) {
        const std::optional<std::int64_t> available = availableMemory();
        const double needed =
            file.declaredSize ? double(file.declaredSize->area()) * kBytesPerPixel + double(file.decoderBytes) : 0.0;
        if (available && needed > double(*available) * kShareOfAvailable)
            reason = "too large (" + std::to_string(file.declaredSize->width) + " x " +
                std::to_string(file.declaredSize->height) + " pixels need about " +
                formatMemorySize(std::int64_t(needed)) + ", the memory available is " + formatMemorySize(*available) +
                ")";
        else
            photo = decodePhoto(file, reason);
    }
    file = PhotoFile();
    if (photo.empty()) {
        reportLine(program + ": cannot read image " + kInputPath + ": " + reason);
        return 1;
    }

    const bool haveWindows = windowsAvailable();
    if (!haveWindows) reportLine(program + ": cannot open a window: no display");
    std::unique_ptr<Display> display;
    if (haveWindows)
        display = std::make_unique<WindowDisplay>(kWindowCount);
    else
        display = std::make_unique<HeadlessDisplay>();

    try {
        FocusAnalyzer analyzer(photo, *display, program);
        analyzer.computeDof();
        display->waitForKey();
        display->closeAll();
        return analyzer.allSaved() && haveWindows ? 0 : 1;
    } catch (const std::bad_alloc&) {
    } catch (const cv::Exception& error) {
        if (error.code != cv::Error::StsNoMem) throw;
    }
    reportLine(program + ": cannot analyze " + kInputPath + ": out of memory");
    display->closeAll();
    return 1;
}
