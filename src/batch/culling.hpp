// Judging a shoot as a photographer culls it (--cull): each photo against the sharpest frames of its
// scene, and a photo alone, or a scene without a sharp frame, by figures that mean the same in every
// photo.
#pragma once

#include "batch.hpp"

#include <optional>
#include <vector>

namespace dofmap::batch {

// The cuts, set on the tuning scenes of the culling benchmark (bench/culling/), never on its
// held-out scenes. A frame of a scene is blurry when its largest mean with the noise taken out is
// below this share of the sharpest frame's: the frames of a burst differ in focus and shake, not in
// what they show, so the sharpest one tells what the others could hold.
inline constexpr double kSceneShare = 0.7;
// A photo judged on its own is blurry when its detail ratio (CullFigures::detailRatio) is below
// this: its sharpest tiles lose less than this share of their detail to the wider blur than to
// the reference's.
inline constexpr double kDetailRatioCut = 0.42;
// Or when its directional blur (CullFigures::motion) is above this many pixels: motion blur keeps
// the edges along the motion sharp, so the figures of detail miss it.
inline constexpr double kMotionCut = 0.3;

// The verdicts of --cull for the photos of `outcomes` (in input order, their figures with
// CullFigures), grouped as `scenes` says; nullopt for a photo not figured. In a scene of several
// frames, a frame is blurry when its corrected largest mean is below kSceneShare of the scene's
// sharpest, or its motion above kMotionCut and its scene's least; a scene whose sharpest frame
// fails the single-photo cuts has no sharp frame to judge by, and each of its frames is judged as a
// photo alone: blurry below kDetailRatioCut, or above kMotionCut.
std::vector<std::optional<Verdict>> cullVerdicts(const std::vector<PhotoOutcome>& outcomes,
                                                 const SceneAssignment& scenes);

}  // namespace dofmap::batch
