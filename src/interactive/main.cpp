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

// The photograph, refused before it is decoded when the memory it will take cannot be had.
dofmap::IoResult<cv::Mat> readPhotograph()
{
    using namespace dofmap;
    PhotoFile file;
    const IoStatus loaded = loadPhotoFile(kInputPath, file);
    if (!loaded) return loaded.error();
    const std::optional<std::int64_t> available = availableMemory();
    const double needed =
        file.declaredSize ? double(file.declaredSize->area()) * kBytesPerPixel + double(file.decoderBytes) : 0.0;
    if (available && needed > double(*available) * kShareOfAvailable)
        return IoError{IoReason::tooLarge, 0,
                       std::to_string(file.declaredSize->width) + " x " + std::to_string(file.declaredSize->height) +
                           " pixels need about " + formatMemorySize(std::int64_t(needed)) +
                           ", the memory available is " + formatMemorySize(*available)};
    return decodePhoto(file);
}

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

    const IoResult<cv::Mat> photo = readPhotograph();
    if (!photo) {
        reportLine(program + ": cannot read image " + kInputPath + ": " + photo.message());
        return 1;
    }

    const bool haveWindows = windowsAvailable();
    if (!haveWindows) reportLine(program + ": cannot open a window: no display");
    std::unique_ptr<Display> display;
    if (haveWindows)
        display = std::make_unique<WindowDisplay>(kWindowCount);
    else
        display = std::make_unique<HeadlessDisplay>();

    int status = 1;
    const IoStatus analyzed = withMemoryGuard([&]() -> IoStatus {
        FocusAnalyzer analyzer(photo.value(), *display, program);
        analyzer.computeDof();
        display->waitForKey();
        display->closeAll();
        status = analyzer.allSaved() && haveWindows ? 0 : 1;
        return {};
    });
    if (analyzed) return status;
    reportLine(program + ": cannot analyze " + kInputPath + ": out of memory");
    display->closeAll();
    return 1;
}
