// What an X11 screen shows, seen from the tests: the screen's size, where a window and its frame lie,
// and a screenshot.
#pragma once

#include <opencv2/core.hpp>

#include "process.hpp"

#include <memory>
#include <optional>
#include <string>

namespace dofmap::testing {

// Where a top-level window lies on the screen.
struct WindowGeometry {
    cv::Rect inside;  // the window's own area (its picture and bars)
    cv::Rect frame;  // with the window manager's frame; the inside when there is none
};

// The size of the screen of `display` (":N"); nullopt when it cannot be reached.
std::optional<cv::Size> screenSize(const std::string& display);

// The geometry of the mapped window titled `title` on `display`; nullopt when there is none.
std::optional<WindowGeometry> windowGeometry(const std::string& display, const std::string& title);

// The whole screen of `display` as 8-bit BGR; empty when it cannot be read.
cv::Mat screenshot(const std::string& display);

// The openbox window manager running on a display, stopped on destruction.
class WindowManager {
public:
    explicit WindowManager(const std::string& display);
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    // True once the manager has announced itself on the display (within 30 seconds of starting).
    bool running() const { return running_; }

private:
    TemporaryDirectory logs_;
    std::unique_ptr<Process> process_;
    bool running_ = false;
};

}  // namespace dofmap::testing
