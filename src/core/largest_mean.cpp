// The search for the largest literal mean: bounds on blocks of pixels rule out most of the picture,
// the rest is scanned for the pixels that may hold the maximum, and those are summed literally.
#include "largest_mean.hpp"

#include "literal_means.hpp"
#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <limits>
#include <optional>

namespace dofmap::detail {
namespace {

using exactness::ErrorBound;

// Neighborhoods reaching over more blocks than this make the bounds loose: scan everything.
constexpr int kMostBlocksInReach = 16;
// Bounds formed from box sums and block totals are widened by this much, relatively, which covers
// the few roundings (units of 2^-53) of the products and quotients that form them.
constexpr double kRoundingRoom = 1e-9;
// Candidates are pruned against the running maximum once a part holds this many.
constexpr std::size_t kPruneAtCandidates = 1024;

struct Candidate {
    int x;
    int y;
    double fastMean;
};

// The pixels that may hold the largest literal mean, found in one part of a scan.
struct PartMaximum {
    double fastMaximum = 0.0;
    std::vector<Candidate> candidates;
    std::size_t pruneAt = kPruneAtCandidates;

    // The smallest fast mean that may still be the largest literal mean.
    double floor(const ErrorBound& bound) const { return fastMaximum - bound(fastMaximum); }

    // Keeps only candidates whose mean may still reach the floor.
    void prune(const ErrorBound& bound)
    {
        const double lowest = floor(bound);
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const Candidate& c) { return c.fastMean + bound(c.fastMean) < lowest; }),
                         candidates.end());
    }
};

// Collects, part by part, the largest fast mean and the pixels that may hold the largest literal
// mean.
class MaximumSearch final : public RowSink {
public:
    MaximumSearch(const BoxScan& scan, std::size_t parts)
        : scan_(scan),
          bound_(scan.bound()),
          parts_(parts),
          thresholds_(parts),
          // Clipped columns divide by at least the span at the left edge (or the width).
          borderFactor_(1.0 / std::min(scan.window() - scan.window() / 2, scan.width())),
          wholeFactor_(1.0 / scan.window())
    {
        // Columns [first, second) have the clipped columns of the column before them.
        repeatsBegin_ = std::max(scan.width() - scan.neighborhood().after, 1);
        repeatsEnd_ = std::max(std::min(scan.neighborhood().before, scan.width() - 1) + 1, repeatsBegin_);
    }

    void row(int part, int y, int x0, int count, const double* boxSums) override
    {
        rowWithLargest(part, y, x0, count, boxSums, kernels::largestOf(boxSums, count));
    }

    // The same for a piece whose largest box sum is `largest`.
    void rowWithLargest(int part, int y, int x0, int count, const double* boxSums, double largest)
    {
        PartMaximum& maximum = parts_[part];
        Thresholds& least = thresholds_[part];
        if (least.y != y || least.maximum != maximum.fastMaximum) {
            const double rowScale = scan_.rowScale(y);
            least = {y, maximum.fastMaximum, rowScale, skipBelow(maximum, wholeFactor_, rowScale),
                     skipBelow(maximum, borderFactor_, rowScale)};
        }
        const double rowScale = least.rowScale;
        const int x1 = x0 + count;
        // A column that repeats the one before it in this row holds no other candidate.
        const int skipBegin = std::clamp(repeatsBegin_, x0 + 1, x1);
        const int skipEnd = std::clamp(repeatsEnd_, skipBegin, x1);
        const std::pair<int, int> whole = scan_.wholeColumns();
        const int middleBegin = std::clamp(whole.first, x0, x1);
        const int middleEnd = std::clamp(whole.second, middleBegin, x1);
        // Most pieces hold no sum that may reach the floor, even in the columns of the largest factor
        // among theirs.
        const bool clipped = x0 < middleBegin || middleEnd < x1;
        if (largest < (clipped ? least.clippedColumns : least.wholeColumns)) return;
        // The three runs of columns, without the repeats.
        const auto visitRun = [&](int begin, int end, double largestFactor) {
            visit(maximum, y, x0, boxSums, begin, std::min(end, skipBegin), largestFactor, rowScale);
            visit(maximum, y, x0, boxSums, std::max(begin, skipEnd), end, largestFactor, rowScale);
        };
        visitRun(x0, middleBegin, borderFactor_);
        if (middleBegin < middleEnd) visitRun(middleBegin, middleEnd, wholeFactor_);
        visitRun(middleEnd, x1, borderFactor_);
        if (maximum.candidates.size() >= maximum.pruneAt) {
            maximum.prune(bound_);
            maximum.pruneAt = std::max(kPruneAtCandidates, 2 * maximum.candidates.size());
        }
    }

    bool takesPieces() const override { return true; }

    // The largest fast mean of all parts and the candidates that may reach it.
    PartMaximum merged()
    {
        PartMaximum all;
        for (const PartMaximum& part : parts_) all.fastMaximum = std::max(all.fastMaximum, part.fastMaximum);
        std::size_t count = 0;
        for (PartMaximum& part : parts_) {
            part.fastMaximum = all.fastMaximum;
            part.prune(bound_);
            count += part.candidates.size();
        }
        // The parts' candidates are let go as they are merged: ties may make them millions.
        all.candidates.reserve(count);
        for (PartMaximum& part : parts_) {
            all.candidates.insert(all.candidates.end(), part.candidates.begin(), part.candidates.end());
            part.candidates = std::vector<Candidate>();
        }
        return all;
    }

private:
    void consider(PartMaximum& maximum, int x, int y, double mean)
    {
        maximum.candidates.push_back({x, y, mean});
        maximum.fastMaximum = std::max(maximum.fastMaximum, mean);
    }

    // Box sums below this give a fast mean under the floor even with the roundings of fastMean, in
    // columns that fastMean scales by at most `largestFactor`: comparing sums settles the common
    // case.
    double skipBelow(const PartMaximum& maximum, double largestFactor, double rowScale) const
    {
        const double lowestMean = maximum.floor(bound_) / (1.0 + bound_.relative);
        // At least 1: a zero sum is never a candidate.
        return std::max(lowestMean / (largestFactor * rowScale) * (1.0 - kRoundingRoom), 1.0);
    }

    // Visits columns [begin, end), which fastMean scales by at most `largestFactor`.
    void visit(PartMaximum& maximum, int y, int x0, const double* boxSums, int begin, int end, double largestFactor,
               double rowScale)
    {
        if (begin >= end) return;
        double least = skipBelow(maximum, largestFactor, rowScale);
        const auto evaluate = [&](int x) {
            const double mean = scan_.fastMean(boxSums[x - x0], x, rowScale);
            if (mean + bound_(mean) < maximum.floor(bound_)) return;
            const double before = maximum.fastMaximum;
            consider(maximum, x, y, mean);
            if (maximum.fastMaximum > before) least = skipBelow(maximum, largestFactor, rowScale);
        };
        const auto firstFrom = [&](int x) { return x + kernels::firstAtLeast(boxSums + (x - x0), end - x, least); };
        int x = firstFrom(begin);
        if (x == end) return;
        // The largest sum from there on first: the floor that it raises leaves fewer of the others
        // (a rising run of means would otherwise make each of them a candidate in turn).
        const double top = kernels::largestOf(boxSums + (x - x0), end - x);
        const int largest = x + kernels::firstAtLeast(boxSums + (x - x0), end - x, top);
        evaluate(largest);
        for (x = firstFrom(x); x < end; x = firstFrom(x + 1))
            if (x != largest) evaluate(x);
    }

    // The sums below which a piece of row y holds no candidate, for the part's maximum when they were
    // taken: in pieces of whole columns only, and in pieces with clipped ones.
    struct Thresholds {
        int y = -1;
        double maximum = -1.0;
        double rowScale = 0.0;
        double wholeColumns = 0.0;
        double clippedColumns = 0.0;
    };

    const BoxScan& scan_;
    const ErrorBound& bound_;
    std::vector<PartMaximum> parts_;
    std::vector<Thresholds> thresholds_;
    const double borderFactor_;
    // The factor of the columns whose neighborhoods are clipped on neither side.
    const double wholeFactor_;
    int repeatsBegin_;
    int repeatsEnd_;
};

PartMaximum scanForMaximum(const BoxScan& scan, const std::vector<Area>& areas)
{
    MaximumSearch search(scan, areas.size());
    scan.scan(areas, search);
    return search.merged();
}

// The smallest number of positions of the neighborhoods of pixels [begin, end) along an axis of
// `length` pixels.
int smallestSpan(const BoxScan& scan, int begin, int end, int length)
{
    int smallest = std::numeric_limits<int>::max();
    for (int i = begin; i < end; ++i) smallest = std::min(smallest, scan.clippedSpan(i, length));
    return smallest;
}

// The parts of the image that may hold the largest mean (none when every distance is 0), or the
// whole image when they are not few.
//
// The distances are summed over blocks of 8 x 8 pixels. The neighborhoods of a block's pixels all
// lie within a few blocks around it, whose total bounds the box sum of every pixel in the block;
// divided by the block's smallest count, it bounds their fast means. The block with the largest
// bound is scanned for a first maximum; blocks whose bound stays below the floor that it sets can
// hold no candidate. In a typical photograph the sharpest region is small and the others are
// skipped; where many blocks remain, scanning everything is cheaper than scanning them one by one.
std::vector<Area> promisingAreas(const BoxScan& scan, const BlockTotals* given)
{
    const std::vector<Area>& everywhere = scan.wholeImage();
    const Neighborhood& n = scan.neighborhood();
    // Blocks [b - reachBefore, b + reachAfter] hold the neighborhoods of block b's pixels.
    const int reachBefore = (n.before + BlockTotals::kSide - 1) / BlockTotals::kSide;
    const int reachAfter = (BlockTotals::kSide - 1 + n.after) / BlockTotals::kSide;
    if (!scan.scansAnyArea() || reachBefore + reachAfter > kMostBlocksInReach) return everywhere;

    std::optional<BlockTotals> computed;
    if (given == nullptr) computed.emplace(scan);
    const BlockTotals& blocks = given != nullptr ? *given : *computed;
    const int across = blocks.across();
    const int down = blocks.down();

    // Upper bounds of the fast means in each block: its total with its neighbors' within reach,
    // along rows and then down columns by adding shifted rows (which vectorizes), divided by the
    // smallest number of positions of its pixels' neighborhoods, with room for the roundings.
    std::vector<double> columnFactor(across), rowFactor(down);
    for (int bx = 0; bx < across; ++bx)
        columnFactor[bx] = (1.0 + kRoundingRoom) /
            smallestSpan(scan, bx * BlockTotals::kSide, std::min((bx + 1) * BlockTotals::kSide, scan.width()),
                         scan.width());
    for (int by = 0; by < down; ++by)
        rowFactor[by] = (1.0 + kRoundingRoom) /
            smallestSpan(scan, by * BlockTotals::kSide, std::min((by + 1) * BlockTotals::kSide, scan.height()),
                         scan.height());
    std::vector<double> alongRows(blocks.totals().size());
    cv::parallel_for_(cv::Range(0, down), [&](const cv::Range& range) {
        for (int by = range.start; by < range.end; ++by) {
            const double* in = blocks.totals().data() + std::size_t(by) * across;
            double* out = alongRows.data() + std::size_t(by) * across;
            std::fill(out, out + across, 0.0);
            for (int shift = -reachBefore; shift <= reachAfter; ++shift)
                for (int bx = std::max(0, -shift); bx < std::min(across, across - shift); ++bx)
                    out[bx] += in[bx + shift];
        }
    });
    std::vector<double> upper(blocks.totals().size());
    std::vector<std::size_t> bestOfRow(down);
    cv::parallel_for_(cv::Range(0, down), [&](const cv::Range& range) {
        for (int by = range.start; by < range.end; ++by) {
            double* out = upper.data() + std::size_t(by) * across;
            std::fill(out, out + across, 0.0);
            for (int j = std::max(by - reachBefore, 0); j <= std::min(by + reachAfter, down - 1); ++j) {
                const double* in = alongRows.data() + std::size_t(j) * across;
                for (int bx = 0; bx < across; ++bx) out[bx] += in[bx];
            }
            for (int bx = 0; bx < across; ++bx) out[bx] *= columnFactor[bx] * rowFactor[by];
            bestOfRow[by] = std::size_t(by) * across + std::size_t(std::max_element(out, out + across) - out);
        }
    });
    std::size_t best = bestOfRow[0];
    for (const std::size_t b : bestOfRow)
        if (upper[b] > upper[best]) best = b;
    if (upper[best] == 0.0) return {};

    const int bestX = int(best % across) * BlockTotals::kSide, bestY = int(best / across) * BlockTotals::kSide;
    const PartMaximum first = scanForMaximum(scan,
                                             {{bestX, std::min(bestX + BlockTotals::kSide, scan.width()), bestY,
                                               std::min(bestY + BlockTotals::kSide, scan.height())}});
    const ErrorBound& bound = scan.bound();
    const double floor = first.floor(bound);

    // Runs of promising blocks along each block row become areas to scan.
    std::vector<std::vector<Area>> runsOfRow(down);
    cv::parallel_for_(cv::Range(0, down), [&](const cv::Range& range) {
        for (int by = range.start; by < range.end; ++by) {
            const double* row = upper.data() + std::size_t(by) * across;
            int runStart = -1;
            for (int bx = 0; bx <= across; ++bx) {
                const bool keep = bx < across && row[bx] * (1.0 + bound.relative) >= floor;
                if (keep && runStart < 0) runStart = bx;
                if (!keep && runStart >= 0) {
                    runsOfRow[by].push_back({runStart * BlockTotals::kSide,
                                             std::min(bx * BlockTotals::kSide, scan.width()), by * BlockTotals::kSide,
                                             std::min((by + 1) * BlockTotals::kSide, scan.height())});
                    runStart = -1;
                }
            }
        }
    });
    std::vector<Area> areas;
    std::size_t promising = 0;
    for (const std::vector<Area>& runs : runsOfRow)
        for (const Area& run : runs) {
            areas.push_back(run);
            promising += std::size_t(run.width() + BlockTotals::kSide - 1) / BlockTotals::kSide;
        }
    // Scanning areas one by one costs more than a plain scan once they cover an eighth of the blocks.
    return promising * 8 > upper.size() ? everywhere : areas;
}

}  // namespace

namespace {

// The largest literal mean among the candidates of a search.
double literalMaximum(const BoxScan& scan, PartMaximum all)
{
    if (all.candidates.empty()) return 0.0;
    // Candidates that share a clipped neighborhood share their literal mean: with a window as large
    // as the picture, that is all of them.
    std::vector<Area> neighborhoods;
    neighborhoods.reserve(all.candidates.size());
    for (const Candidate& c : all.candidates) neighborhoods.push_back(scan.clippedNeighborhood(c.x, c.y));
    all.candidates = std::vector<Candidate>();
    return LiteralMeans(scan, std::move(neighborhoods)).largest();
}

// Writes the table of float means and passes each piece on to the search, with its largest sum.
class TableAndSearch final : public RowSink {
public:
    TableAndSearch(const BoxScan& scan, cv::Mat& table, MaximumSearch& search)
        : scan_(scan),
          table_(table),
          search_(search)
    {
        CV_Assert(table.type() == CV_32F && table.rows == scan.height() && table.cols == scan.width());
    }

    void row(int part, int y, int x0, int count, const double* boxSums) override
    {
        const double largest = kernels::floatMeans(boxSums, scan_.inverseColumnSpans() + x0, scan_.rowScale(y), count,
                                                   table_.ptr<float>(y) + x0);
        // The streaming stores of a part's row are ordered before the part ends.
        if (x0 + count == scan_.wholeImage()[part].x1) kernels::finishStreamingStores();
        search_.rowWithLargest(part, y, x0, count, boxSums, largest);
    }
    bool takesPieces() const override { return true; }

private:
    const BoxScan& scan_;
    cv::Mat& table_;
    MaximumSearch& search_;
};

}  // namespace

double largestMean(const BoxScan& scan, const BlockTotals* blocks)
{
    const std::vector<Area> areas = promisingAreas(scan, blocks);
    if (areas.empty()) return 0.0;
    return literalMaximum(scan, scanForMaximum(scan, areas));
}

double largestMean(const BoxScan& scan, cv::Mat& table)
{
    MaximumSearch search(scan, scan.wholeImage().size());
    TableAndSearch both(scan, table, search);
    scan.scan(scan.wholeImage(), both);
    return literalMaximum(scan, search.merged());
}

}  // namespace dofmap::detail
