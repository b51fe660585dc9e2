// The interactive program: analyses the fixed photograph, shows three windows, waits for a key.
//
// Exit status: 0 when the run completed and both files were written; 1 when the photograph cannot
// be read (nothing else is done), a file cannot be written, or no window can be opened (the files
// are still written).
#include "atomic_file.hpp"
#include "display.hpp"
#include "focus_analyzer.hpp"
#include "image_io.hpp"
#include "messages.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <memory>
#include <string>

int main()
{
    using namespace dofmap;
    ensureStandardDescriptors();
    const std::string program = "dofmap";
    // Failures are reported by this program, one line each; the library's own log would repeat them.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    silenceLibraryOutput();
    removeTemporaryFilesOnSignals();

    std::string reason;
    const cv::Mat photo = readColorImage(kInputPath, &reason);
    if (photo.empty()) {
        reportLine(program + ": cannot read image " + kInputPath + ": " + reason);
        return 1;
    }

    const bool haveWindows = windowsAvailable();
    if (!haveWindows) reportLine(program + ": cannot open a window: no display");
    std::unique_ptr<Display> display;
    if (haveWindows)
        display = std::make_unique<WindowDisplay>();
    else
        display = std::make_unique<HeadlessDisplay>();

    FocusAnalyzer analyzer(photo, *display, program);
    analyzer.computeDof();
    display->waitForKey();
    display->closeAll();
    return analyzer.allSaved() && haveWindows ? 0 : 1;
}
