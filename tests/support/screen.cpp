// What an X11 screen shows, seen from the tests: the screen's size, where a window and its frame lie,
// and a screenshot.
#include "screen.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace dofmap::testing {
namespace {

using Connection = std::unique_ptr<::Display, int (*)(::Display*)>;

struct ImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

Connection connect(const std::string& display)
{
    return Connection(XOpenDisplay(display.c_str()), XCloseDisplay);
}

std::string titleOf(::Display* connection, Window window)
{
    char* name = nullptr;
    if (XFetchName(connection, window, &name) == 0 || name == nullptr) return {};
    const std::string title(name);
    XFree(name);
    return title;
}

// The first viewable window below `parent` (depth first) for which `matches` holds.
Window findWindow(::Display* connection, Window parent, const std::function<bool(Window)>& matches)
{
    Window root = 0, up = 0, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(connection, parent, &root, &up, &children, &count) == 0) return 0;
    const std::unique_ptr<Window, int (*)(void*)> owned(children, XFree);
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(connection, children[i], &attributes) == 0 || attributes.map_state != IsViewable)
            continue;
        if (matches(children[i])) return children[i];
        if (const Window found = findWindow(connection, children[i], matches)) return found;
    }
    return 0;
}

// The rectangle of `window` on the screen, its border included.
cv::Rect onScreen(::Display* connection, Window window)
{
    XWindowAttributes attributes;
    XGetWindowAttributes(connection, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(connection, window, DefaultRootWindow(connection), 0, 0, &x, &y, &child);
    const int border = attributes.border_width;
    return {x - border, y - border, attributes.width + 2 * border, attributes.height + 2 * border};
}

}  // namespace

std::optional<cv::Size> screenSize(const std::string& display)
{
    const Connection connection = connect(display);
    if (!connection) return std::nullopt;
    const int screen = DefaultScreen(connection.get());
    return cv::Size(DisplayWidth(connection.get(), screen), DisplayHeight(connection.get(), screen));
}

std::optional<WindowGeometry> windowGeometry(const std::string& display, const std::string& title)
{
    const Connection connection = connect(display);
    if (!connection) return std::nullopt;
    ::Display* const c = connection.get();
    const Window root = DefaultRootWindow(c);
    const Window window = findWindow(c, root, [&](Window w) { return titleOf(c, w) == title; });
    if (window == 0) return std::nullopt;
    // The frame is the ancestor that is a child of the root: the window itself without a manager.
    Window frame = window;
    while (true) {
        Window up = 0, top = 0, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(c, frame, &top, &up, &children, &count) == 0) break;
        if (children != nullptr) XFree(children);
        if (up == root || up == 0) break;
        frame = up;
    }
    XWindowAttributes attributes;
    XGetWindowAttributes(c, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(c, window, root, 0, 0, &x, &y, &child);
    return WindowGeometry{{x, y, attributes.width, attributes.height}, onScreen(c, frame)};
}

cv::Mat screenshot(const std::string& display)
{
    const Connection connection = connect(display);
    if (!connection) return {};
    ::Display* const c = connection.get();
    const int screen = DefaultScreen(c);
    const int width = DisplayWidth(c, screen), height = DisplayHeight(c, screen);
    const std::unique_ptr<XImage, ImageDestroyer> image(
        XGetImage(c, DefaultRootWindow(c), 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap));
    if (!image) return {};
    cv::Mat shot(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image.get(), x, y);
            const auto channel = [&](unsigned long mask) {
                int shift = 0;
                while (mask != 0 && (mask & 1) == 0) {
                    mask >>= 1;
                    ++shift;
                }
                return uchar(mask == 0 ? 0 : ((pixel >> shift) & mask) * 255 / mask);
            };
            shot.at<cv::Vec3b>(y, x) =
                cv::Vec3b(channel(image->blue_mask), channel(image->green_mask), channel(image->red_mask));
        }
    return shot;
}

namespace {

// Whether a window manager has announced itself: the root window names its check window
// (_NET_SUPPORTING_WMCHECK), as EWMH window managers do.
bool managerAnnounced(const std::string& display)
{
    const Connection connection = connect(display);
    if (!connection) return false;
    ::Display* const c = connection.get();
    const Atom check = XInternAtom(c, "_NET_SUPPORTING_WM_CHECK", True);
    if (check == None) return false;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, left = 0;
    unsigned char* value = nullptr;
    const bool found = XGetWindowProperty(c, DefaultRootWindow(c), check, 0, 1, False, AnyPropertyType, &type, &format,
                                          &items, &left, &value) == Success &&
        items == 1;
    if (value != nullptr) XFree(value);
    return found;
}

}  // namespace

WindowManager::WindowManager(const std::string& display) : logs_("dofmap-openbox")
{
    process_ =
        std::make_unique<Process>(std::vector<std::string>{"openbox"}, logs_.path(),
                                  EnvironmentChanges{{"DISPLAY", display}}, logs_.path() / "out", logs_.path() / "err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(running_ = managerAnnounced(display)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

WindowManager::~WindowManager() = default;

}  // namespace dofmap::testing
