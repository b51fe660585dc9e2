// Judging a shoot as a photographer culls it (--cull): each photo against the sharpest frames of its
// scene, and a photo alone, or a scene without a sharp frame, by figures that mean the same in every
// photo.
#include "culling.hpp"

#include <algorithm>

namespace dofmap::batch {
namespace {

// A photo alone: motion first (its detail may read sharp along the motion), then its detail ratio.
Verdict judgedAlone(const CullFigures& figures, int scene, int sceneSize)
{
    Verdict verdict;
    if (figures.motion > kMotionCut) {
        verdict.blurry = true;
        verdict.cull = CullJudgement{scene, sceneSize, "motion", figures.motion, kMotionCut};
        return verdict;
    }
    verdict.blurry = figures.detailRatio < kDetailRatioCut;
    verdict.cull = CullJudgement{scene, sceneSize, "detail_ratio", figures.detailRatio, kDetailRatioCut};
    return verdict;
}

}  // namespace

std::vector<std::optional<Verdict>> cullVerdicts(const std::vector<PhotoOutcome>& outcomes,
                                                 const SceneAssignment& scenes)
{
    const auto figuresOf = [&](std::size_t i) -> const CullFigures* {
        const std::optional<PhotoStatistics>& statistics = outcomes[i].statistics;
        return statistics && statistics->cull ? &*statistics->cull : nullptr;
    };
    // The sharpest frame of each scene (by corrected largest mean), and its least motion.
    const std::size_t sceneCount = scenes.sizes.size();
    std::vector<int> sharpest(sceneCount, -1);
    std::vector<double> leastMotion(sceneCount, 0.0);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const CullFigures* figures = figuresOf(i);
        const int scene = i < scenes.scene.size() ? scenes.scene[i] : kNoScene;
        if (figures == nullptr || scene == kNoScene) continue;
        int& best = sharpest[std::size_t(scene)];
        if (best < 0) leastMotion[std::size_t(scene)] = figures->motion;
        leastMotion[std::size_t(scene)] = std::min(leastMotion[std::size_t(scene)], figures->motion);
        if (best < 0 || figures->correctedMaxMean > figuresOf(std::size_t(best))->correctedMaxMean) best = int(i);
    }

    std::vector<std::optional<Verdict>> verdicts(outcomes.size());
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const CullFigures* figures = figuresOf(i);
        if (figures == nullptr) continue;
        const int scene = i < scenes.scene.size() ? scenes.scene[i] : kNoScene;
        const int size = scene == kNoScene ? 1 : scenes.sizes[std::size_t(scene)];
        if (size < 2) {
            verdicts[i] = judgedAlone(*figures, scene, size);
            continue;
        }
        const CullFigures& best = *figuresOf(std::size_t(sharpest[std::size_t(scene)]));
        if (best.detailRatio < kBlurredSceneDetailRatio || best.motion > kBlurredSceneMotion) {
            verdicts[i] = judgedAlone(*figures, scene, size);
            continue;
        }
        Verdict verdict;
        const double motionCut = leastMotion[std::size_t(scene)] + kSceneMotionMargin;
        if (figures->motion > motionCut) {
            verdict.blurry = true;
            verdict.cull = CullJudgement{scene, size, "motion", figures->motion, motionCut};
        } else {
            const double cut = kSceneShare * best.correctedMaxMean;
            verdict.blurry = figures->correctedMaxMean < cut;
            verdict.cull = CullJudgement{scene, size, "corrected_max_mean", figures->correctedMaxMean, cut};
        }
        verdicts[i] = verdict;
    }
    return verdicts;
}

}  // namespace dofmap::batch
