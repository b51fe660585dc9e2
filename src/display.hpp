// Where the interactive program shows its images: real windows, or nothing when no screen is usable.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

namespace dofmap {

// A place to show images under window titles and to wait for the user.
class Display {
public:
    virtual ~Display() = default;

    // Shows `image` in the window titled `title`, creating the window on first use.
    virtual void show(const std::string& title, const cv::Mat& image) = 0;
    // Blocks until the user presses a key in one of the windows.
    virtual void waitForKey() = 0;
    // Closes every window this display opened.
    virtual void closeAll() = 0;
};

// Windows drawn by OpenCV's highgui.
class WindowDisplay final : public Display {
public:
    void show(const std::string& title, const cv::Mat& image) override;
    void waitForKey() override;
    void closeAll() override;
};

// Shows nothing and never waits: for runs without a screen.
class HeadlessDisplay final : public Display {
public:
    void show(const std::string&, const cv::Mat&) override { }
    void waitForKey() override { }
    void closeAll() override { }
};

// True when highgui can open windows in this environment. highgui's toolkit aborts the whole
// process when it cannot reach a display, so this must be asked before the first window.
// A platform chosen explicitly through QT_QPA_PLATFORM (other than xcb) is trusted; otherwise an X
// server named by DISPLAY must accept a connection.
bool windowsAvailable();

}  // namespace dofmap
