// Showing images in highgui windows, and finding out whether a screen is there to show them on.
#include "display.hpp"

#include "window_layout.hpp"

#include <opencv2/highgui.hpp>

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace dofmap {
namespace {

// Room left for a window manager's frame: the tallest title bars of the common ones (GNOME's is
// 37 pixels) and their side and bottom borders.
constexpr int kTitleBarRoom = 40;
constexpr int kBorderRoom = 8;
// The height of highgui's toolbar and status bar under Qt, which its windows hold beside the
// picture (their width adapts: buttons that do not fit fold behind an arrow).
constexpr int kBarsHeight = 48;

// The size of the screen that DISPLAY names, as X11 reports it.
std::optional<cv::Size> x11ScreenSize()
{
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return std::nullopt;
    ::Display* const connection = XOpenDisplay(name);
    if (connection == nullptr) return std::nullopt;
    const int screen = DefaultScreen(connection);
    const cv::Size size(DisplayWidth(connection, screen), DisplayHeight(connection, screen));
    XCloseDisplay(connection);
    if (size.width <= 0 || size.height <= 0) return std::nullopt;
    return size;
}

// Whether highgui draws on X11 (its Qt back end's default platform) rather than on a platform
// chosen through QT_QPA_PLATFORM, whose screen X11 does not describe.
bool drawsOnX11()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return platform == nullptr || *platform == '\0' || std::string_view(platform).substr(0, 3) == "xcb";
}

}  // namespace

WindowDisplay::WindowDisplay(int windowCount)
    : windowCount_(std::max(1, windowCount)),
      screen_(drawsOnX11() ? x11ScreenSize() : std::nullopt)
{
}

void WindowDisplay::show(const std::string& title, const cv::Mat& image)
{
    const auto known =
        std::find_if(windows_.begin(), windows_.end(), [&](const Window& window) { return window.title == title; });
    if (known != windows_.end()) {
        cv::imshow(title, image);
        return;
    }

    // Resizable windows that keep the picture's aspect, with highgui's toolbar and status bar.
    const int flags = cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_EXPANDED;
    const Decorations decorations{kTitleBarRoom, kBorderRoom, kBarsHeight};
    const WindowPlace place = screen_
        ? tiledWindow(*screen_, image.size(), int(windows_.size()), windowCount_, decorations)
        : WindowPlace{{0, 0}, image.size()};
    cv::namedWindow(title, flags);
    cv::resizeWindow(title, place.picture.width, place.picture.height + kBarsHeight);
    if (screen_) cv::moveWindow(title, place.position.x, place.position.y);
    windows_.push_back({title, place.position, {place.picture.width, place.picture.height + kBarsHeight}});
    cv::imshow(title, image);
    if (!screen_) return;

    // A window system learns the size of a window's frame only once the window is up, and a window
    // manager may size a window its own way when it first maps it: placed and sized again then,
    // every window is where it belongs. A key pressed meanwhile still counts.
    if (cv::pollKey() != -1) keyPressed_ = true;
    for (const Window& window : windows_) {
        cv::resizeWindow(window.title, window.size.width, window.size.height);
        cv::moveWindow(window.title, window.position.x, window.position.y);
    }
}

void WindowDisplay::waitForKey()
{
    if (keyPressed_) return;
    cv::waitKey(0);
}

void WindowDisplay::closeAll()
{
    cv::destroyAllWindows();
}

bool windowsAvailable()
{
    return !drawsOnX11() || x11ScreenSize().has_value();
}

}  // namespace dofmap
