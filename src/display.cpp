// Showing images in highgui windows, and finding out whether a screen is there to show them on.
#include "display.hpp"

#include <opencv2/highgui.hpp>

#include <X11/Xlib.h>

#include <cstdlib>
#include <string_view>

namespace dofmap {

void WindowDisplay::show(const std::string& title, const cv::Mat& image)
{
    cv::imshow(title, image);
}

void WindowDisplay::waitForKey()
{
    cv::waitKey(0);
}

void WindowDisplay::closeAll()
{
    cv::destroyAllWindows();
}

bool windowsAvailable()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::string_view(platform).substr(0, 3) != "xcb") return true;

    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    ::Display* const connection = XOpenDisplay(name);
    if (connection == nullptr) return false;
    XCloseDisplay(connection);
    return true;
}

}  // namespace dofmap
