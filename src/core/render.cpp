// The one pass that turns box sums into the outputs: gray levels, float means, and what the
// statistics gather.
#include "render.hpp"

#include "literal_bounds.hpp"
#include "literal_means.hpp"
#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <atomic>
#include <utility>

namespace dofmap::detail {
namespace {

// Doubts whose literal sums would take more terms than this many per pixel of the image are first
// tested against the bounds of their own sums, which cost a pass over the image.
constexpr std::int64_t kWorthBoundingPerPixel = 2;

// A pixel whose gray level the fast sum leaves in doubt, and its box sum (unused by the levels of
// float means).
struct Doubt {
    int x;
    int y;
    double boxSum;
};

void writeGray(cv::Mat& map, const Doubt& d, uchar gray)
{
    uchar* pixel = map.ptr<uchar>(d.y) + d.x * map.channels();
    for (int c = 0; c < map.channels(); ++c) pixel[c] = gray;
}

// Writes the gray levels of the pixels in doubt from the literal means of their neighborhoods.
void settleLiterally(const BoxScan& scan, const std::vector<Doubt>& doubts, double maxMean, cv::Mat& map)
{
    if (doubts.empty()) return;
    std::vector<Area> neighborhoods;
    neighborhoods.reserve(doubts.size());
    for (const Doubt& d : doubts) neighborhoods.push_back(scan.clippedNeighborhood(d.x, d.y));
    const LiteralMeans literal(scan, neighborhoods);
    for (const Doubt& d : doubts) writeGray(map, d, grayLevel(literal.of(scan.clippedNeighborhood(d.x, d.y)), maxMean));
}

class RenderPass final : public RowSink {
public:
    RenderPass(const BoxScan& scan, const RenderTargets& targets)
        : scan_(scan),
          targets_(targets),
          toLevel_(targets.map != nullptr ? 255.0 / targets.maxMean : 0.0),
          error_(exactness::levelError(scan.bound())),
          parts_(scan.wholeImage().size())
    {
        if (targets_.gatherings != nullptr) {
            targets_.gatherings->assign(parts_.size(), {});
            for (MeanGathering& gathering : *targets_.gatherings) gathering.room = &gatheringRoom_;
        }
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

    // The statistics sum each row's means as a whole, in a fixed order.
    bool takesPieces() const override { return targets_.gatherings == nullptr; }

    // Settles the levels in doubt with the literal means of their neighborhoods. Where those would
    // be long to sum (wide windows, in fixed point), each level is first tested again against the
    // bound of its own neighborhood's literal sum, and only those still in doubt are summed.
    void settleDoubts() const
    {
        std::vector<Doubt> doubts;
        for (const PartState& state : parts_) doubts.insert(doubts.end(), state.doubts.begin(), state.doubts.end());
        if (doubts.empty()) return;
        std::int64_t terms = 0;
        for (const Doubt& d : doubts) terms += scan_.clippedNeighborhood(d.x, d.y).pixels();
        if (scan_.terms() == ScanTerms::fixedPoint &&
            terms > kWorthBoundingPerPixel * std::int64_t(scan_.width()) * scan_.height()) {
            const LiteralSumBounds bounds(scan_);
            const auto settled = std::remove_if(doubts.begin(), doubts.end(), [&](const Doubt& d) {
                const double level =
                    kernels::levelOf(d.boxSum, scan_.inverseColumnSpans()[d.x], scan_.rowScale(d.y) * toLevel_);
                const double nearest = (level + 0x1p52) - 0x1p52;
                const Area area = scan_.clippedNeighborhood(d.x, d.y);
                const double mean = scan_.fastMean(d.boxSum, d.x, scan_.rowScale(d.y));
                const double relative =
                    std::min(scan_.bound().relative,
                             exactness::meanBound(mean, area.pixels(), scan_.termRoundoff(), bounds.error(area)));
                if (exactness::inDoubt(level, nearest, exactness::levelError(relative))) return false;
                write(d, uchar(std::min(nearest, 255.0)));
                return true;
            });
            doubts.erase(settled, doubts.end());
        }
        settleLiterally(scan_, doubts, targets_.maxMean, *targets_.map);
    }

private:
    struct PartState {
        std::vector<std::int32_t> levels;
        std::vector<uchar> grays;
        std::vector<Doubt> doubts;
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
                if (state.levels[i] >= kernels::kDoubtful) state.doubts.push_back({x0 + i, y, boxSums[i]});
        if (channels == 3) kernels::grayToThreeChannels(gray, count, out);
    }

    void write(const Doubt& d, uchar gray) const { writeGray(*targets_.map, d, gray); }

    const BoxScan& scan_;
    const RenderTargets& targets_;
    const double toLevel_;
    const exactness::LevelError error_;
    std::vector<PartState> parts_;
    // The means that the gatherings may still keep.
    std::atomic<std::int64_t> gatheringRoom_{kMostMeansGathered};
};

}  // namespace

void renderFromFloatMeans(const BoxScan& scan, const cv::Mat& means, double maxMean, cv::Mat& map)
{
    CV_Assert(scan.terms() == ScanTerms::floatRoots && maxMean > 0.0);
    CV_Assert(means.type() == CV_32F && means.size() == map.size() && map.depth() == CV_8U);
    const double toLevel = 255.0 / maxMean;
    const exactness::LevelError error = exactness::levelError(exactness::floatMeanBound(scan.bound().relative));
    // Bands of rows for the threads, each with the pixels it leaves in doubt.
    const int bands = std::min(std::max(cv::getNumThreads(), 1) * 4, map.rows);
    std::vector<std::vector<Doubt>> doubts(bands);
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        std::vector<std::int32_t> levels(map.cols);
        std::vector<uchar> grays(map.channels() == 1 ? 0 : map.cols);
        for (int band = range.start; band < range.end && !scan.cancelled(); ++band) {
            const int y0 = int(std::int64_t(map.rows) * band / bands),
                      y1 = int(std::int64_t(map.rows) * (band + 1) / bands);
            for (int y = y0; y < y1; ++y) {
                uchar* out = map.ptr<uchar>(y);
                uchar* gray = map.channels() == 1 ? out : grays.data();
                // The rare rows with a level in doubt are taken again for their levels.
                const float* row = means.ptr<float>(y);
                if (kernels::grayLevelsOfMeans(row, map.cols, toLevel, error, nullptr, gray)) {
                    kernels::grayLevelsOfMeans(row, map.cols, toLevel, error, levels.data(), gray);
                    for (int x = 0; x < map.cols; ++x)
                        if (levels[x] >= kernels::kDoubtful) doubts[band].push_back({x, y, 0.0});
                }
                if (map.channels() == 3) kernels::grayToThreeChannels(gray, map.cols, out);
            }
        }
        kernels::finishStreamingStores();
    });
    scan.throwIfCancelled();
    std::vector<Doubt> all;
    for (const std::vector<Doubt>& band : doubts) all.insert(all.end(), band.begin(), band.end());
    settleLiterally(scan, all, maxMean, map);
}

void render(const BoxScan& scan, const RenderTargets& targets)
{
    CV_Assert(targets.map == nullptr || targets.maxMean > 0.0);
    RenderPass pass(scan, targets);
    scan.scan(scan.wholeImage(), pass);
    if (targets.map != nullptr) pass.settleDoubts();
}

}  // namespace dofmap::detail
