// Where the interactive program's windows go: side by side across the screen, each showing its
// whole picture, scaled down when it would not fit, never up.
#pragma once

#include <opencv2/core.hpp>

namespace dofmap {

// Room that a window manager's decorations may take around a window's picture, and that the
// window's own bars (a toolbar above the picture, a status bar below it) take inside the window.
struct Decorations {
    int titleBar = 0;  // the frame above the picture
    int border = 0;  // the frame on each other side
    int bars = 0;  // the window's toolbar and status bar together
};

// Where a window goes, and the size of the picture in it.
struct WindowPlace {
    cv::Point position;  // given to the window system for the window's top-left corner
    cv::Size picture;  // the picture's size in the window, its aspect kept
};

// The place of window `index` of `count` windows side by side on `screen` for a picture of
// `picture`'s size. Each window has an equal column of the screen; its picture is scaled down (never
// up, and to at least 1 x 1 pixel) until the window with its bars and decorations fits the column
// and the screen's height, wherever the window system puts the decorations: window systems take a
// window's position for that of its frame, or (before they know the frame) for that of its inside.
WindowPlace tiledWindow(cv::Size screen, cv::Size picture, int index, int count, const Decorations& decorations);

}  // namespace dofmap
