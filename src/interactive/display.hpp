// Where the interactive program shows its images: real windows, or nothing when no screen is usable.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// Windows drawn by OpenCV's highgui, tiled side by side on the screen in the order they are first
// shown, each showing its whole picture (scaled down when needed, never up) with highgui's zoom
// toolbar and status bar, and resizable by the user.
class WindowDisplay final : public Display {
public:
    // Room for `windowCount` windows across the screen.
    explicit WindowDisplay(int windowCount);

    void show(const std::string& title, const cv::Mat& image) override;
    void waitForKey() override;
    void closeAll() override;

private:
    struct Window {
        std::string title;
        cv::Point position;
        cv::Size size;  // the picture with the bars
    };

    int windowCount_;
    std::optional<cv::Size> screen_;  // as X11 reports it; unknown on other platforms
    std::vector<Window> windows_;  // in the order they were first shown
    bool keyPressed_ = false;  // a key came while the windows were being placed
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
