// Scenes of a shoot: the photos taken of one subject at one moment (the frames of a burst, a shot
// taken again), told by their capture times and by signatures of their content.
#pragma once

#include "capture_time.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace dofmap::batch {

// A photo's content in small, to tell the frames of one scene from other scenes: its gray levels
// averaged over a grid of kSignatureSide x kSignatureSide cells whatever its shape, blurred over
// about a cell, and stretched to the range of 16 bits. A frame of the same scene that is moved by
// a few percent, blurred, noisy, darker or brighter has a signature that is close by
// signatureDistance. Empty for a photo that was not read.
struct SceneSignature {
    std::vector<std::uint16_t> cells;  // row by row, kSignatureSide * kSignatureSide, or none
    float aspect = 0.0f;  // the photo's width over its height
    bool flat = false;  // no contrast at this scale (a plain wall, a black frame): its cells are all 0
    bool empty() const { return cells.empty(); }
};

// Cells on each side of a signature: 32 cells of 3 % of the photo's width and height, fine
// enough to tell apart subjects and framings, coarse enough that a frame moved by a cell or blurred
// by a few percent of its width changes little.
inline constexpr int kSignatureSide = 32;

// The signature of the 8-bit BGR photo `photo` (not empty). Reads about 1 pixel in 90 of a
// 24-megapixel photo (8 x 8 pixels spread over each cell of a grid twice as fine as the
// signature's), so that it costs little beside decoding the photo: 1.1 to 2.6 ms for 24
// megapixels on a loaded machine here, where decoding its JPEG took 130 ms.
SceneSignature sceneSignature(const cv::Mat& photo);

// How unlike two signatures are, from 0 (alike) to 1: one less the best correlation of their cells
// over every relative shift of up to kSignatureShift cells each way (the cells that overlap at
// each), so that exposure, contrast and a move of the camera by up to 6 % do not count. Photos
// whose shapes differ by more than kAspectTolerance (a landscape and a portrait frame) are 1 apart,
// and so are a flat signature and one that is not; two flat ones are 0 apart. Either empty: 1.
double signatureDistance(const SceneSignature& a, const SceneSignature& b);

// The shift allowed between frames, in cells: 2 cells are 6 % of the width, more than a hand-held
// burst or a shot taken again moves.
inline constexpr int kSignatureShift = 2;
// The most the ratios of width to height of two frames of a scene differ by, as a factor: 10 %, so
// that a slight crop passes but a frame turned to portrait does not.
inline constexpr double kAspectTolerance = 1.1;

// Two photos taken at most this many seconds apart may be frames of one scene: a burst's frames,
// and a shot taken again after a glance at the camera's screen, follow within a few seconds; after
// a longer pause the subject, the light or the framing has been chosen anew.
inline constexpr double kSceneGapSeconds = 5.0;
// Photos without a capture time may be frames of one scene when at most this many places apart in
// input order: a photographer alternating between up to 3 or 4 subjects still finds each subject's
// last frame within reach.
inline constexpr int kSceneReach = 4;
// Frames whose signatures are at most this far apart are alike. On 21 images (the bundled photos
// and scikit-image's samples), frames moved by 1 to 5 %, blurred (a Gaussian of 4 and 8 pixels on
// 512, a motion of 21 pixels), with noise of 25 and 50 levels, at 0.4 and 1.6 times the exposure
// stayed within 0.13 of their original (0.24 for a wall of bricks, whose pattern is close to a cell
// in size), while images of different subjects and of the same shape were 0.44 apart at the least
// (the two views of a stereo pair 0.04, as frames of one scene).
inline constexpr double kAlikeDistance = 0.3;
// A photo is compared with this many of the latest frames of a scene, so that a scene that drifts
// (a pan, a subject walking) is followed and one odd frame (a passer-by, a missed flash) does not cut it.
inline constexpr int kFramesCompared = 3;

// What the grouping knows of one photo.
struct SceneFrame {
    std::optional<CaptureTime> time;  // none when the file gives none
    SceneSignature signature;  // empty for a photo that was not read
};

// The scene of each photo, in the photos' order: scene ids number the scenes by their first photo
// in that order (0, 1, ...), and `sizes` holds the photos of each; kNoScene for a photo not read.
struct SceneAssignment {
    std::vector<int> scene;
    std::vector<int> sizes;
};
inline constexpr int kNoScene = -1;

// Groups `frames` (the photos in input order) into scenes:
// - A photo not read (empty signature) belongs to none.
// - Photos with capture times are taken in the order of their times (input order for equal times),
//   each joining the scene it is most alike to (signatureDistance to the closest of that scene's
//   kFramesCompared latest frames, at most kAlikeDistance) among the scenes whose latest frame was
//   taken at most kSceneGapSeconds before it; a photo alike to none starts a scene. Two subjects
//   taken in turn within seconds so come apart by their content, a burst stays one scene however
//   long it lasts, and the same view taken again after a pause is a scene of its own. Times are
//   compared in UTC when every photo with a time gives its offset (OffsetTimeOriginal), and
//   otherwise as the cameras' clocks show them.
// - Photos without capture times are taken in input order in the same way, a scene being within
//   reach when its latest frame lies at most kSceneReach places before the photo in input order:
//   neighbours in file order that look alike are one scene. They never join photos with times.
// A photo in a scene of its own (size 1) is a photo alone.
SceneAssignment assignScenes(const std::vector<SceneFrame>& frames);

}  // namespace dofmap::batch
