// The one pass that turns box sums into the outputs: gray levels, float means, and what the
// statistics gather.
#include "render.hpp"

#include "literal_means.hpp"
#include "row_kernels.hpp"

#include <algorithm>
#include <utility>

namespace dofmap::detail {
namespace {

class RenderPass final : public RowSink {
public:
    RenderPass(const BoxScan& scan, const RenderTargets& targets)
        : scan_(scan),
          targets_(targets),
          toLevel_(targets.map != nullptr ? 255.0 / targets.maxMean : 0.0),
          error_(exactness::levelError(scan.bound())),
          parts_(scan.wholeImage().size())
    {
        if (targets_.gatherings != nullptr) targets_.gatherings->assign(parts_.size(), {});
    }

    void row(int part, int y, int x0, int count, const double* boxSums) override
    {
        PartState& state = parts_[part];
        if (targets_.map != nullptr) levels(state, y, x0, count, boxSums);
        if (targets_.means == nullptr && targets_.gatherings == nullptr) return;
        const double rowScale = scan_.rowScale(y);
        const double* columnScale = scan_.inverseColumnSpans() + x0;
        std::vector<double>& means = state.means;
        means.resize(count);
        const bool wide = targets_.means != nullptr && targets_.means->depth() == CV_64F;
        double* out = wide ? targets_.means->ptr<double>(y) + x0 : means.data();
        float* floats = targets_.means != nullptr && !wide ? targets_.means->ptr<float>(y) + x0 : nullptr;
        kernels::fastMeans(boxSums, columnScale, rowScale, count, out, floats);
        if (targets_.gatherings != nullptr) (*targets_.gatherings)[part].addRow(y, x0, out, count, targets_.window);
    }

    // Settles the levels in doubt with the literal means of their neighborhoods.
    void settleDoubts() const
    {
        std::vector<Area> neighborhoods;
        for (const PartState& state : parts_)
            for (const auto& [x, y] : state.doubts) neighborhoods.push_back(scan_.clippedNeighborhood(x, y));
        if (neighborhoods.empty()) return;
        const LiteralMeans literal(scan_, neighborhoods);
        cv::Mat& map = *targets_.map;
        for (const PartState& state : parts_)
            for (const auto& [x, y] : state.doubts) {
                const uchar gray = grayLevel(literal.of(scan_.clippedNeighborhood(x, y)), targets_.maxMean);
                uchar* pixel = map.ptr<uchar>(y) + x * map.channels();
                for (int c = 0; c < map.channels(); ++c) pixel[c] = gray;
            }
    }

private:
    struct PartState {
        std::vector<std::int32_t> levels;
        std::vector<uchar> grays;
        std::vector<std::pair<int, int>> doubts;
        std::vector<double> means;
    };

    void levels(PartState& state, int y, int x0, int count, const double* boxSums) const
    {
        cv::Mat& map = *targets_.map;
        const int channels = map.channels();
        uchar* out = map.ptr<uchar>(y) + x0 * channels;
        state.levels.resize(count);
        if (channels != 1) state.grays.resize(count);
        uchar* gray = channels == 1 ? out : state.grays.data();
        const double rowLevelScale = scan_.rowScale(y) * toLevel_;
        if (kernels::grayLevels(boxSums, scan_.inverseColumnSpans() + x0, rowLevelScale, count, error_,
                                state.levels.data(), gray))
            for (int i = 0; i < count; ++i)
                if (state.levels[i] >= kernels::kDoubtful) state.doubts.emplace_back(x0 + i, y);
        if (channels == 3) kernels::grayToThreeChannels(gray, count, out);
    }

    const BoxScan& scan_;
    const RenderTargets& targets_;
    const double toLevel_;
    const exactness::LevelError error_;
    std::vector<PartState> parts_;
};

}  // namespace

void render(const BoxScan& scan, const RenderTargets& targets)
{
    CV_Assert(targets.map == nullptr || targets.maxMean > 0.0);
    RenderPass pass(scan, targets);
    scan.scan(scan.wholeImage(), pass);
    if (targets.map != nullptr) pass.settleDoubts();
}

}  // namespace dofmap::detail
