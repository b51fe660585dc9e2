// Where the interactive program's windows go, checked over many screens and picture sizes.
#include "window_layout.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace dofmap {
namespace {

// Windows side by side stay inside the screen and apart wherever the window system draws their
// frames (around the position given, or with the position as the inside's), keep their pictures'
// aspect to the pixel, are never scaled up, and are scaled down no further than the room asks.
TEST(WindowLayout, ThreeWindowsFitTheScreenSideBySideWhateverTheSizes)
{
    const Decorations decorations{40, 8, 48};
    const cv::Size screens[] = {{1920, 1080}, {1280, 1024}, {3840, 2160}, {1366, 768}, {800, 600}};
    const cv::Size pictures[] = {{4000, 2500}, {1000, 605}, {300, 182}, {2500, 4000}, {6000, 1000}, {1, 1}, {640, 1}};
    for (const cv::Size& screen : screens)
        for (const cv::Size& picture : pictures) {
            SCOPED_TRACE(std::to_string(picture.width) + "x" + std::to_string(picture.height) + " on " +
                         std::to_string(screen.width) + "x" + std::to_string(screen.height));
            cv::Rect previous;
            for (int index = 0; index < 3; ++index) {
                const WindowPlace place = tiledWindow(screen, picture, index, 3, decorations);
                const cv::Size window(place.picture.width, place.picture.height + decorations.bars);
                // The frame around the position given, or one border and a title bar before it.
                const cv::Rect framedAt(place.position.x, place.position.y, window.width + 2 * decorations.border,
                                        window.height + decorations.titleBar + decorations.border);
                const cv::Rect framedAround = framedAt - cv::Point(decorations.border, decorations.titleBar);
                const cv::Rect area(cv::Point(0, 0), screen);
                for (const cv::Rect& frame : {framedAt, framedAround}) {
                    EXPECT_EQ(frame & area, frame) << "window " << index << " at " << frame;
                    if (index > 0) {
                        EXPECT_TRUE((frame & previous).empty()) << "window " << index << " at " << frame;
                    }
                }
                previous = framedAt | framedAround;

                EXPECT_LE(place.picture.width, picture.width);
                EXPECT_LE(place.picture.height, picture.height);
                EXPECT_GE(place.picture.width, 1);
                EXPECT_GE(place.picture.height, 1);
                const double scaledHeight = double(place.picture.width) * picture.height / picture.width;
                if (place.picture.height > 1) {
                    EXPECT_LE(std::abs(scaledHeight - place.picture.height), 1.0);
                }
                // Scaled down only as far as needed: one more pixel of width would not fit.
                if (place.picture != picture) {
                    const int room = screen.width / 3 - 3 * decorations.border;
                    const int height = screen.height - 2 * decorations.titleBar - decorations.border - decorations.bars;
                    const bool widthBound = place.picture.width + 1 > room;
                    const bool heightBound =
                        (place.picture.width + 1) * double(picture.height) / picture.width > height;
                    EXPECT_TRUE(widthBound || heightBound) << place.picture;
                }
            }
        }
}

}  // namespace
}  // namespace dofmap
