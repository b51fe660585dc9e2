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
// what they show, so the sharpest one tells what the others could hold. On the tuning bursts,
// sharp frames lay at 0.95 of the sharpest or more but for a few in twenty, blurred ones at 0.7 or
// less but at the strongest noise.
inline constexpr double kSceneShare = 0.85;
// Or when its directional blur (CullFigures::motion) exceeds the scene's least by this many pixels:
// motion blur keeps the edges along the motion sharp, which the largest mean finds.
inline constexpr double kSceneMotionMargin = 0.3;
// A photo judged on its own is blurry when its detail ratio (CullFigures::detailRatio) is below
// this, or its directional blur above this many pixels.
inline constexpr double kDetailRatioCut = 0.38;
inline constexpr double kMotionCut = 0.7;
// A scene has no sharp frame to judge the others by when even its sharpest frame is this clearly
// blurred (well past the single photo's cuts, which sharp frames of low detail fail at times): its
// frames are then judged as photos alone.
inline constexpr double kBlurredSceneDetailRatio = 0.2;
inline constexpr double kBlurredSceneMotion = 2.0;

// The verdicts of --cull for the photos of `outcomes` (in input order, their figures with
// CullFigures), grouped as `scenes` says; nullopt for a photo not figured. In a scene of several
// frames, a frame is blurry when its corrected largest mean is below kSceneShare of the scene's
// sharpest, or its motion more than kSceneMotionMargin above its scene's least; a scene whose
// sharpest frame is below kBlurredSceneDetailRatio or above kBlurredSceneMotion has no sharp frame to
// judge by, and each of its frames is judged as a photo alone: blurry below kDetailRatioCut, or
// above kMotionCut.
std::vector<std::optional<Verdict>> cullVerdicts(const std::vector<PhotoOutcome>& outcomes,
                                                 const SceneAssignment& scenes);

}  // namespace dofmap::batch
