// Where the interactive program's windows go: side by side across the screen, each showing its
// whole picture, scaled down when it would not fit, never up.
#include "window_layout.hpp"

#include <algorithm>
#include <cmath>

namespace dofmap {
namespace {

// The largest size of `picture`'s aspect within `room`, never larger than `picture` itself.
cv::Size fitted(cv::Size picture, cv::Size room)
{
    if (picture.width <= room.width && picture.height <= room.height) return picture;
    const double scale = std::min(double(room.width) / picture.width, double(room.height) / picture.height);
    // Rounded down, so that the scaled picture stays inside the room.
    return {std::clamp(int(std::floor(picture.width * scale)), 1, std::max(1, room.width)),
            std::clamp(int(std::floor(picture.height * scale)), 1, std::max(1, room.height))};
}

int columnWidth(cv::Size screen, int count)
{
    return screen.width / std::max(1, count);
}

// The widest window inside a column: the position given may be that of the frame (then the window
// and its two borders follow it) or that of the inside (then one border lies before it), and it
// lies one border into the column.
int roomInColumn(int column, const Decorations& decorations)
{
    return column - 3 * decorations.border;
}

}  // namespace

WindowPlace tiledWindow(cv::Size screen, cv::Size picture, int index, int count, const Decorations& decorations)
{
    const int column = columnWidth(screen, count);
    // Vertically likewise: the position lies one title bar down, so that a title bar fits above the
    // inside either way, and below it a second title bar, the picture, the bars and a border.
    const cv::Size room(roomInColumn(column, decorations),
                        screen.height - 2 * decorations.titleBar - decorations.border - decorations.bars);
    return {{index * column + decorations.border, decorations.titleBar}, fitted(picture, room)};
}

}  // namespace dofmap
