#include "focus_map.hpp"

#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

// How the map is computed exactly in linear time.
//
// The literal definition sums, for every pixel, up to window^2 colour distances in double precision
// in a fixed order. Instead each distance d = sqrt(s), s an integer, is taken once as its correctly
// rounded single-precision root, a multiple of 2^-23 (for s >= 1). Box sums Q of these roots over
// the clipped neighbourhoods are kept with running column and row sums in double precision, which
// hold them exactly while they have fewer than 2.4 million roots (below 2^30); beyond that, for
// windows of hundreds of pixels, the row sums are kept as 64-bit integers in units of 2^-23. So
// every sum is exact in any order: rows are scanned in parallel bands, vectorised, and every box
// sum is the same whoever computes it.
//
// Q / n (n the number of positions) differs from the literal mean by at most
//   2^-24 * mean                   from the single-precision roots (half a unit in their last place),
//   gamma(n - 1) * mean            from the literal summation's roundings (nonnegative terms),
//   a few units of 2^-53 * mean    from the divisions and conversions on both sides,
// where gamma(k) = k u / (1 - k u) with u = 2^-53. ErrorBound doubles that sum. A gray level is
// taken from the fast mean only when the whole interval allowed by the bound rounds to one level;
// otherwise, and for every candidate for the largest mean, the mean is recomputed in the literal
// order. Since all distances are 0 or at least 1, Q == 0 exactly when the literal mean is 0.

namespace dofmap {
namespace {

constexpr double kUnitRoundoff = 0x1p-53;
constexpr double kRootRoundoff = 0x1p-24;
// The largest colour distance, sqrt(3 * 255^2), rounded up.
constexpr double kLargestDistance = 441.68;
// Tiles of the parallel scans are at most this many columns wide.
constexpr int kMaxTileColumns = 8192;
// The most roots whose sum stays below 2^30, and so exact in double precision with their 23
// fraction bits.
constexpr std::int64_t kExactTerms = std::int64_t(0x1p30 / kLargestDistance);
// Roots in units of 2^-23 are integers.
constexpr double kRootUnits = 0x1p23;

void requireComparable(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    CV_Assert(source.type() == CV_8UC3 && blurred.type() == CV_8UC3);
    CV_Assert(source.size() == blurred.size() && !source.empty());
    CV_Assert(window >= 1);
}

// The most roots that a running row sum over a tile holds: a tile's columns and its neighbours',
// over the rows of a neighbourhood.
std::int64_t maxTermsPerSum(int width, int height, int window)
{
    const std::int64_t columns = std::min<std::int64_t>(width, std::int64_t(kMaxTileColumns) + window - 1);
    return columns * std::min(window, height);
}

// |literal mean - fast mean| <= relative * fast mean, for at most `maxTerms` terms per mean.
struct ErrorBound {
    double relative;

    explicit ErrorBound(std::int64_t maxTerms)
    {
        const double k = double(std::max<std::int64_t>(maxTerms - 1, 1)) * kUnitRoundoff;
        const double gamma = k / (1.0 - k);
        relative = 2.0 * (gamma + kRootRoundoff + 8.0 * kUnitRoundoff);
    }
    double operator()(double mean) const { return mean * relative; }
};

// Allocates large images in transparent huge pages where the system offers them on request: a
// fresh multi-megapixel image otherwise costs one page fault per 4 KiB, which takes longer than
// computing the map. Small images use OpenCV's own allocator.
class LargeImageAllocator final : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
                           cv::UMatUsageFlags usage) const override
    {
        const cv::MatAllocator* standard = cv::Mat::getStdAllocator();
        if (data != nullptr) return standard->allocate(dims, sizes, type, data, step, flags, usage);
        size_t total = CV_ELEM_SIZE(type);
        for (int i = 0; i < dims; ++i) total *= sizes[i];
        if (total < kHugePage) return standard->allocate(dims, sizes, type, data, step, flags, usage);

        for (int i = dims - 1; i >= 0; --i) step[i] = i == dims - 1 ? CV_ELEM_SIZE(type) : step[i + 1] * sizes[i + 1];

        const size_t rounded = (total + kHugePage - 1) / kHugePage * kHugePage;
        void* pixels = std::aligned_alloc(kHugePage, rounded);
        if (pixels == nullptr) throw std::bad_alloc();
        ::madvise(pixels, rounded, MADV_HUGEPAGE);  // a hint: without huge pages it works as usual
        auto* u = new cv::UMatData(this);  // owned and deleted by OpenCV's reference counting
        u->data = u->origdata = static_cast<uchar*>(pixels);
        u->size = total;
        return u;
    }

    bool allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const override { return data != nullptr; }

    void deallocate(cv::UMatData* data) const override
    {
        if (data == nullptr) return;
        std::free(data->origdata);
        delete data;
    }

private:
    static constexpr size_t kHugePage = size_t(2) << 20;
};

// An uninitialised image of the given size and type, allocated for speed when it is large.
cv::Mat largeImage(cv::Size size, int type)
{
    // Never destroyed: images held in static objects may be released after static destruction.
    static LargeImageAllocator* const allocator = new LargeImageAllocator();
    cv::Mat image;
    image.allocator = allocator;
    image.create(size, type);
    return image;
}

// Number of positions of a neighbourhood along one axis of `length` pixels, at `position`.
int clippedSpan(int position, int length, const Neighbourhood& n)
{
    return std::min(position + n.after, length - 1) - std::max(position - n.before, 0) + 1;
}

// A rectangle of output pixels: columns [x0, x1), rows [y0, y1).
struct Tile {
    int x0, x1, y0, y1;
};

// The geometry and tables shared by the scans of one image.
class BoxScan {
public:
    BoxScan(const cv::Mat& source, const cv::Mat& blurred, int window)
        : source_(source),
          blurred_(blurred),
          width_(source.cols),
          height_(source.rows),
          n_(Neighbourhood::ofSize(window)),
          wideSums_(maxTermsPerSum(width_, height_, window) > kExactTerms),
          bound_(std::int64_t(std::min(window, width_)) * std::min(window, height_)),
          inverseColumnSpan_(width_)
    {
        for (int x = 0; x < width_; ++x) inverseColumnSpan_[x] = 1.0 / clippedSpan(x, width_, n_);
    }

    int width() const { return width_; }
    int height() const { return height_; }
    const ErrorBound& bound() const { return bound_; }

    // Multiplier of box sums in row y, with inverseColumnSpan, giving the fast mean.
    double rowScale(int y) const { return 1.0 / clippedSpan(y, height_, n_); }
    double fastMean(double boxSum, int x, double rowScale) const { return boxSum * inverseColumnSpan_[x] * rowScale; }
    double inverseColumnSpan(int x) const { return inverseColumnSpan_[x]; }
    const double* inverseColumnSpans() const { return inverseColumnSpan_.data(); }
    // Columns [first, second) whose neighbourhood is clipped on neither side; empty when the image
    // is narrower than the window.
    std::pair<int, int> wholeColumns() const { return wholeSpan(width_); }
    int window() const { return n_.before + n_.after + 1; }

    // Calls rowDone(y, boxSums) for every row y of `tile`, top to bottom, boxSums[i] being the
    // sum of roots over the neighbourhood of (tile.x0 + i, y). The image rows are read in order
    // and the buffers (the distances of the neighbourhood's rows and the running sums, over the
    // tile's columns and their neighbours) are read and written in order too.
    template <class RowDone>
    void scanTile(const Tile& tile, RowDone&& rowDone) const
    {
        CV_DbgAssert(tile.x1 - tile.x0 <= kMaxTileColumns);
        const int columnsBegin = std::max(tile.x0 - n_.before, 0);
        const int columnsEnd = std::min(tile.x1 + n_.after, width_ - 1) + 1;
        const int columns = columnsEnd - columnsBegin;
        // A neighbourhood holds at most this many rows at once: a window taller than the image
        // needs no more slots than the image has rows.
        const int ringRows = std::min(n_.before + n_.after + 1, height_);
        std::vector<float> ring(std::size_t(ringRows) * columns);
        std::vector<double> columnSums(columns, 0.0);
        std::vector<double> prefix(wideSums_ ? 0 : std::size_t(columns) + 1);
        std::vector<std::int64_t> widePrefix(wideSums_ ? std::size_t(columns) + 1 : 0);
        std::vector<double> boxSums(tile.x1 - tile.x0);
        std::vector<std::int32_t> squared(columns);
        const auto slot = [&](int row) { return ring.data() + std::size_t(row % ringRows) * columns; };
        const auto distancesOfRow = [&](int row) {
            kernels::squaredDistances(source_.ptr<std::uint8_t>(row) + 3 * columnsBegin,
                                      blurred_.ptr<std::uint8_t>(row) + 3 * columnsBegin, columns, squared.data());
        };

        for (int row = std::max(tile.y0 - n_.before, 0); row <= std::min(tile.y0 + n_.after, height_ - 1); ++row) {
            distancesOfRow(row);
            kernels::addRow(squared.data(), columns, slot(row), columnSums.data());
        }
        for (int y = tile.y0; y < tile.y1; ++y) {
            if (y > tile.y0) {
                // The column sums move from the neighbourhood rows of y - 1 to those of y.
                const int leaving = y - 1 - n_.before;
                const int entering = y + n_.after;
                if (leaving >= 0 && entering < height_) {
                    // Both rows share one ring slot.
                    distancesOfRow(entering);
                    kernels::replaceRow(squared.data(), columns, slot(entering), columnSums.data());
                } else if (leaving >= 0) {
                    kernels::subtractRow(slot(leaving), columns, columnSums.data());
                } else if (entering < height_) {
                    distancesOfRow(entering);
                    kernels::addRow(squared.data(), columns, slot(entering), columnSums.data());
                }
            }
            if (wideSums_) {
                widePrefixSums(columnSums.data(), columns, widePrefix.data());
                sumAlongRow(tile, columnsBegin, widePrefix.data(), boxSums.data());
            } else {
                kernels::prefixSums(columnSums.data(), columns, prefix.data());
                sumAlongRow(tile, columnsBegin, prefix.data(), boxSums.data());
            }
            rowDone(y, boxSums.data());
        }
    }

    // Sums of the distances (their roots) over square blocks of Side pixels (clipped at the right and
    // bottom edges), for the block rows [blockRowBegin, blockRowEnd): sums[by * blocksAcross + bx].
    template <int Side>
    void blockSums(int blockRowBegin, int blockRowEnd, double* sums) const
    {
        const int blocksAcross = (width_ + Side - 1) / Side;
        std::vector<std::int32_t> squared(width_);
        std::vector<double> columnSums(std::size_t(blocksAcross) * Side);
        for (int by = blockRowBegin; by < blockRowEnd; ++by) {
            std::fill(columnSums.begin(), columnSums.end(), 0.0);
            for (int y = by * Side; y < std::min((by + 1) * Side, height_); ++y) {
                kernels::squaredDistances(source_.ptr<std::uint8_t>(y), blurred_.ptr<std::uint8_t>(y), width_,
                                          squared.data());
                kernels::addDistances(squared.data(), width_, columnSums.data());
            }
            double* out = sums + std::size_t(by) * blocksAcross;
            for (int bx = 0; bx < blocksAcross; ++bx) {
                const double* column = columnSums.data() + std::size_t(bx) * Side;
                double total = 0.0;
                for (int i = 0; i < Side; ++i) total += column[i];
                out[bx] = total;
            }
        }
    }

    // The smallest number of positions of the neighbourhoods of pixels [begin, end) along an axis.
    int smallestSpan(int begin, int end, bool alongRows) const
    {
        int smallest = std::numeric_limits<int>::max();
        for (int i = begin; i < end; ++i)
            smallest = std::min(smallest, clippedSpan(i, alongRows ? width_ : height_, n_));
        return smallest;
    }
    const Neighbourhood& neighbourhood() const { return n_; }

    // The clipped neighbourhood of (x, y): columns [x0, x1], rows [y0, y1], inclusive.
    cv::Vec4i clippedNeighbourhood(int x, int y) const
    {
        return {std::max(x - n_.before, 0), std::min(x + n_.after, width_ - 1), std::max(y - n_.before, 0),
                std::min(y + n_.after, height_ - 1)};
    }

    // The mean over a clipped neighbourhood summed in the literal order: x' outer, y' inner, from
    // 0.0. Pixels with the same clipped neighbourhood have the same literal mean.
    double literalMean(const cv::Vec4i& area) const
    {
        double sum = 0.0;
        for (int xx = area[0]; xx <= area[1]; ++xx) {
            for (int yy = area[2]; yy <= area[3]; ++yy) {
                const cv::Vec3b s = source_.at<cv::Vec3b>(yy, xx);
                const cv::Vec3b b = blurred_.at<cv::Vec3b>(yy, xx);
                const double d0 = double(b[0]) - double(s[0]);
                const double d1 = double(b[1]) - double(s[1]);
                const double d2 = double(b[2]) - double(s[2]);
                sum += std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
            }
        }
        return sum / double((area[1] - area[0] + 1) * (area[3] - area[2] + 1));
    }
    double literalMean(int x, int y) const { return literalMean(clippedNeighbourhood(x, y)); }

private:
    std::pair<int, int> wholeSpan(int length) const
    {
        const int first = std::min(n_.before, length);
        return {first, std::max(length - n_.after, first)};
    }

    // prefix[i] = sum of the first i column sums in units of 2^-23, for sums too large to be kept
    // exactly in double precision. Each column sum, a multiple of 2^-23 below 2^30, converts
    // exactly; the 64-bit sums wrap around past 2^63, and their differences come out exact.
    static void widePrefixSums(const double* columnSums, int columns, std::int64_t* prefix)
    {
        std::uint64_t running = 0;
        prefix[0] = 0;
        for (int i = 0; i < columns; ++i) {
            running += std::uint64_t(std::int64_t(columnSums[i] * kRootUnits));
            prefix[i + 1] = std::int64_t(running);
        }
    }

    static double difference(const double* prefix, int high, int low) { return prefix[high] - prefix[low]; }
    static double difference(const std::int64_t* prefix, int high, int low)
    {
        return double(std::uint64_t(prefix[high]) - std::uint64_t(prefix[low])) / kRootUnits;
    }

    // boxSums[x - tile.x0] = sum of the column sums over the clipped columns of x's neighbourhood,
    // as a difference of their prefix sums.
    template <class Prefix>
    void sumAlongRow(const Tile& tile, int columnsBegin, const Prefix* prefix, double* boxSums) const
    {
        const auto boxSum = [&](int x) {
            const int high = std::min(x + n_.after, width_ - 1) + 1 - columnsBegin;
            const int low = std::max(x - n_.before, 0) - columnsBegin;
            return difference(prefix, high, low);
        };
        // Columns whose neighbourhood is clipped on neither side, then the clipped ones.
        const int wholeBegin = std::min(std::max(tile.x0, n_.before), tile.x1);
        const int wholeEnd = std::max(std::min(tile.x1, width_ - n_.after), wholeBegin);
        if (wholeBegin < wholeEnd) {
            const Prefix* high = prefix + (wholeBegin + n_.after + 1 - columnsBegin);
            const Prefix* low = prefix + (wholeBegin - n_.before - columnsBegin);
            double* out = boxSums + (wholeBegin - tile.x0);
            if constexpr (std::is_same_v<Prefix, double>)
                kernels::differences(high, low, wholeEnd - wholeBegin, out);
            else
                for (int i = 0; i < wholeEnd - wholeBegin; ++i) out[i] = difference(high + i, 0, low - high);
        }
        for (int x = tile.x0; x < wholeBegin; ++x) boxSums[x - tile.x0] = boxSum(x);
        for (int x = wholeEnd; x < tile.x1; ++x) boxSums[x - tile.x0] = boxSum(x);
    }

    const cv::Mat& source_;
    const cv::Mat& blurred_;
    const int width_;
    const int height_;
    const Neighbourhood n_;
    // Whether the row sums may pass 2^30 and are kept as integers.
    const bool wideSums_;
    const ErrorBound bound_;
    std::vector<double> inverseColumnSpan_;
};

// Tiles for parallel scans: bands of whole rows, so that every row of the image is read from start
// to end, cut across only for images wider than kMaxTileColumns. Enough bands for the threads;
// each costs the neighbourhood's height in rows read twice, so bands stay tall compared with it.
std::vector<Tile> tiles(int width, int height, int window)
{
    const int threads = std::max(cv::getNumThreads(), 1);
    const int across = (width + kMaxTileColumns - 1) / kMaxTileColumns;
    const int minimumRows = std::max(8 * window, 64);
    const int wanted = (2 * threads + across - 1) / across;
    const int down = std::clamp(height / minimumRows, 1, std::max(wanted, 1));
    std::vector<Tile> result;
    for (int j = 0; j < down; ++j)
        for (int i = 0; i < across; ++i)
            result.push_back({int(std::int64_t(width) * i / across), int(std::int64_t(width) * (i + 1) / across),
                              int(std::int64_t(height) * j / down), int(std::int64_t(height) * (j + 1) / down)});
    return result;
}

// Scans the tiles in parallel: rowDone(t, y, boxSums) for every row y of tile t (see scanTile).
template <class RowDone>
void scanTiles(const BoxScan& scan, const std::vector<Tile>& parts, RowDone&& rowDone)
{
    cv::parallel_for_(cv::Range(0, int(parts.size())), [&](const cv::Range& range) {
        for (int t = range.start; t < range.end; ++t)
            scan.scanTile(parts[t], [&](int y, const double* boxSums) { rowDone(t, y, boxSums); });
    });
}

struct Candidate {
    int x;
    int y;
    double fastMean;
};

// The pixels that may hold the largest literal mean, found in one tile.
struct TileMaximum {
    double fastMaximum = 0.0;
    std::vector<Candidate> candidates;

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

// Scans `areas` for the largest fast mean and the pixels that may hold the largest literal mean.
TileMaximum scanForMaximum(const BoxScan& scan, const std::vector<Tile>& areas)
{
    const ErrorBound& bound = scan.bound();
    std::vector<TileMaximum> perArea(areas.size());
    std::vector<std::size_t> pruneAt(areas.size(), 1024);
    const std::pair<int, int> whole = scan.wholeColumns();
    scanTiles(scan, areas, [&](int t, int y, const double* boxSums) {
        TileMaximum& tile = perArea[t];
        const Tile& area = areas[t];
        const double rowScale = scan.rowScale(y);
        // Visits columns [begin, end), which fastMean scales by at most `largestFactor`.
        // Box sums below `skipBelow` give a fast mean under the floor even with the
        // roundings of fastMean, so comparing integers settles the common case.
        const auto visit = [&](int begin, int end, double largestFactor) {
            const auto skipBelowFor = [&](double floor) {
                const double lowestMean = floor / (1.0 + bound.relative);
                // At least 1: a zero sum is never a candidate.
                return std::max(lowestMean / (largestFactor * rowScale) * (1.0 - 1e-9), 1.0);
            };
            double skipBelow = skipBelowFor(tile.floor(bound));
            for (int x = begin; x < end; ++x) {
                const double sum = boxSums[x - area.x0];
                if (sum < skipBelow) continue;
                const double mean = scan.fastMean(sum, x, rowScale);
                if (mean + bound(mean) < tile.floor(bound)) continue;
                tile.candidates.push_back({x, y, mean});
                if (mean > tile.fastMaximum) {
                    tile.fastMaximum = mean;
                    skipBelow = skipBelowFor(tile.floor(bound));
                }
            }
        };
        const int middleBegin = std::clamp(whole.first, area.x0, area.x1);
        const int middleEnd = std::clamp(whole.second, middleBegin, area.x1);
        // Clipped columns divide by at least the span at the left edge (or the width).
        const double borderFactor = 1.0 / std::min(scan.window() - scan.window() / 2, scan.width());
        visit(area.x0, middleBegin, borderFactor);
        if (middleBegin < middleEnd) visit(middleBegin, middleEnd, scan.inverseColumnSpan(middleBegin));
        visit(middleEnd, area.x1, borderFactor);
        if (tile.candidates.size() >= pruneAt[t]) {
            tile.prune(bound);
            pruneAt[t] = std::max<std::size_t>(1024, 2 * tile.candidates.size());
        }
    });

    TileMaximum all;
    for (const TileMaximum& tile : perArea) all.fastMaximum = std::max(all.fastMaximum, tile.fastMaximum);
    for (TileMaximum& tile : perArea) {
        tile.fastMaximum = all.fastMaximum;
        tile.prune(bound);
        all.candidates.insert(all.candidates.end(), tile.candidates.begin(), tile.candidates.end());
    }
    return all;
}

// The parts of the image that may hold the largest mean, or `everywhere` when they are not few.
//
// The distances are summed over blocks of 8 x 8 pixels. The neighbourhoods of a block's pixels all
// lie within a few blocks around it, whose total bounds the box sum of every pixel in the block;
// divided by the block's smallest count, it bounds their fast means. The block with the largest
// bound is scanned for a first maximum; blocks whose bound stays below the floor that it sets can
// hold no candidate. In a typical photograph the sharpest region is small and the others are
// skipped; where many blocks remain, scanning everything is cheaper than scanning them one by one.
std::vector<Tile> promisingAreas(const BoxScan& scan, const std::vector<Tile>& everywhere)
{
    constexpr int kSide = 8;
    const int across = (scan.width() + kSide - 1) / kSide;
    const int down = (scan.height() + kSide - 1) / kSide;
    std::vector<double> blockTotals(std::size_t(across) * down, 0.0);
    cv::parallel_for_(cv::Range(0, down),
                      [&](const cv::Range& rows) { scan.blockSums<kSide>(rows.start, rows.end, blockTotals.data()); });

    // Blocks [b - reachBefore, b + reachAfter] hold the neighbourhoods of block b's pixels.
    const Neighbourhood& n = scan.neighbourhood();
    const int reachBefore = (n.before + kSide - 1) / kSide;
    const int reachAfter = (kSide - 1 + n.after) / kSide;
    // Wide neighbourhoods make the bounds loose and their sums long: scan everything.
    if (reachBefore + reachAfter > 16) return everywhere;
    // Upper bounds of the fast means in each block: its total with its neighbours' within reach,
    // along rows and then down columns by adding shifted rows (which vectorises), divided by the
    // smallest number of positions of its pixels' neighbourhoods, with room for the roundings.
    std::vector<double> columnFactor(across), rowFactor(down);
    for (int bx = 0; bx < across; ++bx)
        columnFactor[bx] = (1.0 + 1e-9) / scan.smallestSpan(bx * kSide, std::min((bx + 1) * kSide, scan.width()), true);
    for (int by = 0; by < down; ++by)
        rowFactor[by] = (1.0 + 1e-9) / scan.smallestSpan(by * kSide, std::min((by + 1) * kSide, scan.height()), false);
    const std::unique_ptr<double[]> alongRows(new double[blockTotals.size()]);
    cv::parallel_for_(cv::Range(0, down), [&](const cv::Range& range) {
        for (int by = range.start; by < range.end; ++by) {
            const double* in = blockTotals.data() + std::size_t(by) * across;
            double* out = alongRows.get() + std::size_t(by) * across;
            std::fill(out, out + across, 0.0);
            for (int shift = -reachBefore; shift <= reachAfter; ++shift)
                for (int bx = std::max(0, -shift); bx < std::min(across, across - shift); ++bx)
                    out[bx] += in[bx + shift];
        }
    });
    std::vector<double>& upper = blockTotals;
    std::vector<std::size_t> bestOfRow(down);
    cv::parallel_for_(cv::Range(0, down), [&](const cv::Range& range) {
        for (int by = range.start; by < range.end; ++by) {
            double* out = upper.data() + std::size_t(by) * across;
            std::fill(out, out + across, 0.0);
            for (int j = std::max(by - reachBefore, 0); j <= std::min(by + reachAfter, down - 1); ++j) {
                const double* in = alongRows.get() + std::size_t(j) * across;
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

    const int bestX = int(best % across) * kSide, bestY = int(best / across) * kSide;
    const TileMaximum first = scanForMaximum(
        scan, {{bestX, std::min(bestX + kSide, scan.width()), bestY, std::min(bestY + kSide, scan.height())}});
    const ErrorBound& bound = scan.bound();
    const double floor = first.floor(bound);

    // Runs of promising blocks along each block row become areas to scan.
    std::vector<std::vector<Tile>> runsOfRow(down);
    cv::parallel_for_(cv::Range(0, down), [&](const cv::Range& range) {
        for (int by = range.start; by < range.end; ++by) {
            const double* row = upper.data() + std::size_t(by) * across;
            int runStart = -1;
            for (int bx = 0; bx <= across; ++bx) {
                const bool keep = bx < across && row[bx] * (1.0 + bound.relative) >= floor;
                if (keep && runStart < 0) runStart = bx;
                if (!keep && runStart >= 0) {
                    runsOfRow[by].push_back({runStart * kSide, std::min(bx * kSide, scan.width()), by * kSide,
                                             std::min((by + 1) * kSide, scan.height())});
                    runStart = -1;
                }
            }
        }
    });
    std::vector<Tile> areas;
    std::size_t promising = 0;
    for (const std::vector<Tile>& runs : runsOfRow)
        for (const Tile& run : runs) {
            areas.push_back(run);
            promising += std::size_t(run.x1 - run.x0 + kSide - 1) / kSide;
        }
    return promising * 8 > upper.size() ? everywhere : areas;
}

// The largest literal mean of the image (0 when every mean is 0).
double largestMean(const BoxScan& scan, const std::vector<Tile>& tiles)
{
    const std::vector<Tile> areas = promisingAreas(scan, tiles);
    if (areas.empty()) return 0.0;
    const TileMaximum all = scanForMaximum(scan, areas);
    if (all.candidates.empty()) return 0.0;

    // Candidates that share a clipped neighbourhood share their literal mean: with a window as large
    // as the picture, that is all of them.
    std::vector<cv::Vec4i> areasToSum;
    for (const Candidate& c : all.candidates) areasToSum.push_back(scan.clippedNeighbourhood(c.x, c.y));
    const auto before = [](const cv::Vec4i& a, const cv::Vec4i& b) {
        return std::lexicographical_compare(a.val, a.val + 4, b.val, b.val + 4);
    };
    std::sort(areasToSum.begin(), areasToSum.end(), before);
    areasToSum.erase(std::unique(areasToSum.begin(), areasToSum.end()), areasToSum.end());
    std::vector<double> literal(areasToSum.size());
    cv::parallel_for_(cv::Range(0, int(literal.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) literal[i] = scan.literalMean(areasToSum[i]);
    });
    return *std::max_element(literal.begin(), literal.end());
}

// Turns box sums into gray levels for a given largest literal mean, falling back on the literal
// mean where the error bound leaves the level in doubt.
class LevelRule {
public:
    LevelRule(const BoxScan& scan, double maxMean)
        : scan_(scan),
          maxMean_(maxMean),
          toLevel_(255.0 / maxMean),
          // The level w = mean / maxMean * 255 computed from a box sum lies within w * relative_ +
          // absolute_ of the literal one: the mean's bound scaled, plus the roundings of w on both
          // sides (the factors of levelOf and their products, the literal division and product).
          relative_(scan.bound().relative + 16.0 * kUnitRoundoff),
          absolute_(2.0 * 255.0 * 16.0 * kUnitRoundoff)
    {
    }

    // Multiplier of the box sums of row y, with the inverse column spans, giving gray levels.
    double rowLevelScale(int y) const { return scan_.rowScale(y) * toLevel_; }

    // The error of the levels so computed: levels outside its reach of a half-integer round to the
    // literal gray level.
    kernels::LevelError error() const { return {relative_, absolute_}; }

    // The gray level of (x, y) from its literal mean.
    uchar literalGray(int x, int y) const { return grayLevel(scan_.literalMean(x, y), maxMean_); }

private:
    const BoxScan& scan_;
    const double maxMean_;
    const double toLevel_;
    const double relative_;
    const double absolute_;
};

// Writes the gray levels of every pixel for the given largest literal mean (> 0), into a map of
// `Channels` equal channels.
template <int Channels>
void render(const BoxScan& scan, const std::vector<Tile>& tiles, double maxMean, cv::Mat& map)
{
    static_assert(Channels == 1 || Channels == 3);
    const LevelRule rule(scan, maxMean);
    const kernels::LevelError error = rule.error();
    struct RowBuffers {
        std::vector<std::int32_t> levels;
        std::vector<uchar> grays;
    };
    std::vector<RowBuffers> buffers(tiles.size());
    scanTiles(scan, tiles, [&](int t, int y, const double* boxSums) {
        const Tile& area = tiles[t];
        const int count = area.x1 - area.x0;
        const double rowScale = rule.rowLevelScale(y);
        const double* columnScale = scan.inverseColumnSpans() + area.x0;
        uchar* out = map.ptr<uchar>(y) + area.x0 * Channels;
        RowBuffers& buffer = buffers[t];
        buffer.levels.resize(count);
        if (Channels != 1) buffer.grays.resize(count);
        uchar* gray = Channels == 1 ? out : buffer.grays.data();
        const std::int32_t* levels = buffer.levels.data();
        if (kernels::grayLevels(boxSums, columnScale, rowScale, count, error, buffer.levels.data(), gray))
            for (int i = 0; i < count; ++i)
                if (levels[i] >= kernels::kDoubtful) gray[i] = rule.literalGray(area.x0 + i, y);
        if (Channels == 3) kernels::grayToThreeChannels(gray, count, out);
    });
}

// Calls visit(x, y, fastMean) for every pixel, tile by tile in parallel; `State` is per-tile state
// default-constructed, handed to visit as its first argument, and returned for merging.
template <class State, class Visit>
std::vector<State> forEachFastMean(const BoxScan& scan, const std::vector<Tile>& parts, Visit&& visit)
{
    std::vector<State> states(parts.size());
    scanTiles(scan, parts, [&](int t, int y, const double* boxSums) {
        const double rowScale = scan.rowScale(y);
        for (int x = parts[t].x0; x < parts[t].x1; ++x)
            visit(states[t], scan.fastMean(boxSums[x - parts[t].x0], x, rowScale));
    });
    return states;
}

// The `rank`-th smallest fast mean (1-based), all means lying in [0, upper]. Each pass counts the
// means per bucket of the current range, then narrows the range to the smallest and largest mean
// of the bucket that holds the rank, until that bucket holds a single value.
double fastMeanOfRank(const BoxScan& scan, const std::vector<Tile>& parts, std::int64_t rank, double upper)
{
    constexpr int kBuckets = 4096;
    struct Histogram {
        std::int64_t below = 0;
        std::vector<std::int64_t> counts = std::vector<std::int64_t>(kBuckets, 0);
        std::vector<double> smallest = std::vector<double>(kBuckets, std::numeric_limits<double>::infinity());
        std::vector<double> largest = std::vector<double>(kBuckets, -std::numeric_limits<double>::infinity());
    };
    double low = 0.0, high = upper;
    while (true) {
        const double width = (high - low) / kBuckets;
        const auto bucketOf = [&](double mean) {
            return width > 0.0 ? std::min(int((mean - low) / width), kBuckets - 1) : 0;
        };
        const std::vector<Histogram> perTile = forEachFastMean<Histogram>(scan, parts, [&](Histogram& h, double mean) {
            if (mean < low) {
                ++h.below;
            } else if (mean <= high) {
                const int b = bucketOf(mean);
                ++h.counts[b];
                h.smallest[b] = std::min(h.smallest[b], mean);
                h.largest[b] = std::max(h.largest[b], mean);
            }
        });
        Histogram total;
        for (const Histogram& h : perTile) {
            total.below += h.below;
            for (int b = 0; b < kBuckets; ++b) {
                total.counts[b] += h.counts[b];
                total.smallest[b] = std::min(total.smallest[b], h.smallest[b]);
                total.largest[b] = std::max(total.largest[b], h.largest[b]);
            }
        }
        std::int64_t seen = total.below;
        int b = 0;
        while (b < kBuckets - 1 && seen + total.counts[b] < rank) seen += total.counts[b++];
        if (total.smallest[b] == total.largest[b]) return total.smallest[b];
        low = total.smallest[b];
        high = total.largest[b];
    }
}

}  // namespace

cv::Mat blurredReference(const cv::Mat& source, double sigma)
{
    cv::Mat blurred = largeImage(source.size(), source.type());
    cv::GaussianBlur(source, blurred, cv::Size(0, 0), sigma, 0, cv::BORDER_REFLECT_101);
    return blurred;
}

namespace {

template <class Value>
cv::Mat meansAs(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    requireComparable(source, blurred, window);
    const BoxScan scan(source, blurred, window);
    cv::Mat means = largeImage(source.size(), cv::traits::Type<Value>::value);
    const std::vector<Tile> parts = tiles(source.cols, source.rows, window);
    scanTiles(scan, parts, [&](int t, int y, const double* boxSums) {
        const double rowScale = scan.rowScale(y);
        Value* out = means.ptr<Value>(y);
        for (int x = parts[t].x0; x < parts[t].x1; ++x)
            out[x] = Value(scan.fastMean(boxSums[x - parts[t].x0], x, rowScale));
    });
    return means;
}

}  // namespace

cv::Mat neighbourhoodMeans(const cv::Mat& source, const cv::Mat& blurred, int window, int depth)
{
    CV_Assert(depth == CV_64F || depth == CV_32F);
    return depth == CV_64F ? meansAs<double>(source, blurred, window) : meansAs<float>(source, blurred, window);
}

double meanTolerance(double mean, int window)
{
    return ErrorBound(std::int64_t(window) * window)(mean);
}

DofMap computeDofMap(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    requireComparable(source, blurred, window);
    CV_Assert(channels == 1 || channels == 3);
    const BoxScan scan(source, blurred, window);
    const std::vector<Tile> parts = tiles(source.cols, source.rows, window);
    DofMap result{largeImage(source.size(), CV_8UC(channels)), largestMean(scan, parts)};
    if (result.maxMean == 0.0)
        result.map.setTo(cv::Scalar::all(0));
    else if (channels == 1)
        render<1>(scan, parts, result.maxMean, result.map);
    else
        render<3>(scan, parts, result.maxMean, result.map);
    return result;
}

MeanStatistics meanStatistics(const cv::Mat& source, const cv::Mat& blurred, double maxMean, int window)
{
    requireComparable(source, blurred, window);
    const BoxScan scan(source, blurred, window);
    const std::vector<Tile> parts = tiles(source.cols, source.rows, window);
    struct Sum {
        long double total = 0.0L;
        double largest = 0.0;
    };
    const std::vector<Sum> sums = forEachFastMean<Sum>(scan, parts, [](Sum& sum, double mean) {
        sum.total += mean;
        sum.largest = std::max(sum.largest, mean);
    });
    long double total = 0.0L;
    double largest = 0.0;
    for (const Sum& sum : sums) {
        total += sum.total;
        largest = std::max(largest, sum.largest);
    }
    const std::int64_t count = std::int64_t(source.total());
    const std::int64_t rank = std::max<std::int64_t>(1, (9 * count + 9) / 10);
    return {maxMean, double(total / count), fastMeanOfRank(scan, parts, rank, largest)};
}

cv::Mat dofMapOf(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    return computeDofMap(source, blurred, window, channels).map;
}

}  // namespace dofmap
