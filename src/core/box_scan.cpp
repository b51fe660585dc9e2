// The producer of the pipeline: the geometry of the scan, its parts, and the ring scan of narrow
// windows with its box sums along the rows (the literal means that settle what the fast sums leave
// in doubt are summed in literal_means.cpp).
#include "box_scan.hpp"

#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <type_traits>

namespace dofmap::detail {
namespace {

using exactness::kExactFloatRoots;
using exactness::kLargestDistance;

// Ring-scan tiles are at most this many columns wide, which bounds the terms of a row sum.
constexpr int kMaxTileColumns = 8192;
// The ring scan moves the sums of this many columns at a time through its kernels, so that the
// column sums, prefix sums and box sums of a chunk stay in L1 from one kernel to the next.
constexpr int kScanChunk = 512;
// Neighborhoods of more positions than this are scanned in fixed point: their ring would outgrow
// the caches, and the single-precision error would leave too many levels to sum literally.
constexpr std::int64_t kFixedPointTerms = std::int64_t(1) << 15;
// The largest neighborhood of a window in an image.
std::int64_t largestNeighborhood(int width, int height, int window)
{
    return std::int64_t(std::min(window, width)) * std::min(window, height);
}

// The most roots that a running row sum over a ring tile holds: a tile's columns and its
// neighbors', over the rows of a neighborhood.
std::int64_t maxTermsPerRowSum(int width, int height, int window)
{
    const std::int64_t columns = std::min<std::int64_t>(width, std::int64_t(kMaxTileColumns) + window - 1);
    return columns * std::min(window, height);
}

// Tiles for ring scans: bands of whole rows, so that every row of the image is read from start to
// end, cut across only for images wider than kMaxTileColumns. Enough bands for the threads; each
// costs the neighborhood's height in rows read twice, so bands stay tall compared with it.
std::vector<Area> ringTiles(int width, int height, int window)
{
    const int threads = std::max(cv::getNumThreads(), 1);
    const int across = (width + kMaxTileColumns - 1) / kMaxTileColumns;
    const int minimumRows = std::max(8 * window, 64);
    const int wanted = (2 * threads + across - 1) / across;
    const int down = std::clamp(height / minimumRows, 1, std::max(wanted, 1));
    std::vector<Area> result;
    for (int j = 0; j < down; ++j)
        for (int i = 0; i < across; ++i)
            result.push_back({int(std::int64_t(width) * i / across), int(std::int64_t(width) * (i + 1) / across),
                              int(std::int64_t(height) * j / down), int(std::int64_t(height) * (j + 1) / down)});
    return result;
}

}  // namespace

BoxScan::BoxScan(const cv::Mat& source, const cv::Mat& blurred, int window, ScanTerms terms,
                 const std::atomic<bool>* cancel)
    : source_(source),
      blurred_(blurred),
      cancel_(cancel),
      width_(source.cols),
      height_(source.rows),
      n_(Neighborhood::ofSize(window)),
      fixedPoint_(terms == ScanTerms::automatic ? largestNeighborhood(width_, height_, window) > kFixedPointTerms
                                                : terms == ScanTerms::fixedPoint),
      bound_(exactness::floatRootBound(largestNeighborhood(width_, height_, window))),
      inverseColumnSpan_(width_)
{
    CV_Assert(source.type() == CV_8UC3 && blurred.type() == CV_8UC3);
    CV_Assert(source.size() == blurred.size() && !source.empty());
    CV_Assert(window >= 1);
    for (int x = 0; x < width_; ++x) inverseColumnSpan_[x] = 1.0 / clippedSpan(x, width_);
    if (fixedPoint_) {
        prepareFixedBands();
    } else {
        integerRowSums_ = maxTermsPerRowSum(width_, height_, window) > kExactFloatRoots;
        prefixUnits_ = exactness::kFloatRootUnits;
        wholeImage_ = ringTiles(width_, height_, window);
    }
}

std::pair<int, int> BoxScan::wholeColumns() const
{
    const int first = std::min(n_.before, width_);
    return {first, std::max(width_ - n_.after, first)};
}

void BoxScan::scan(const std::vector<Area>& parts, RowSink& sink) const
{
    cv::parallel_for_(cv::Range(0, int(parts.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end && !cancelled(); ++i) {
            if (fixedPoint_)
                scanFixedPart(parts[i], i, sink);
            else
                scanRingPart(parts[i], i, sink);
        }
    });
    throwIfCancelled();
}

// The image rows are read in order, and the buffers (the roots of the neighborhood's rows and the
// running sums, over the part's columns and their neighbors') are read and written in order too.
void BoxScan::scanRingPart(const Area& part, int index, RowSink& sink) const
{
    CV_DbgAssert(part.width() <= kMaxTileColumns);
    const int columnsBegin = std::max(part.x0 - n_.before, 0);
    const int columnsEnd = std::min(part.x1 + n_.after, width_ - 1) + 1;
    const int columns = columnsEnd - columnsBegin;
    // A neighborhood holds at most this many rows at once: a window taller than the image needs no
    // more slots than the image has rows.
    const int ringRows = std::min(window(), height_);
    std::vector<float> ring(std::size_t(ringRows) * columns);
    std::vector<double> columnSums(columns, 0.0);
    std::vector<double> prefix(integerRowSums_ ? 0 : std::size_t(columns) + 1);
    std::vector<std::int64_t> integerPrefix(integerRowSums_ ? std::size_t(columns) + 1 : 0);
    std::vector<double> boxSums(part.width());
    const auto slot = [&](int row) { return ring.data() + std::size_t(row % ringRows) * columns; };
    const auto sourceRow = [&](int row) { return source_.ptr<std::uint8_t>(row) + 3 * columnsBegin; };
    const auto blurredRow = [&](int row) { return blurred_.ptr<std::uint8_t>(row) + 3 * columnsBegin; };

    for (int row = std::max(part.y0 - n_.before, 0); row <= std::min(part.y0 + n_.after, height_ - 1); ++row) {
        kernels::addPixelRow(sourceRow(row), blurredRow(row), columns, slot(row), columnSums.data());
    }
    // Rows of double-precision sums go from kernel to kernel a chunk of columns at a time, for the
    // sinks that take them in pieces.
    const bool inChunks = sink.takesPieces() && !integerRowSums_;
    for (int y = part.y0; y < part.y1; ++y) {
        const int leaving = y - 1 - n_.before;
        const int entering = y + n_.after;
        // The column sums of columns [c0, c1) move from the neighborhood rows of y - 1 to those of y.
        const auto move = [&](int c0, int c1) {
            if (y == part.y0) return;
            const int count = c1 - c0;
            if (leaving >= 0 && entering < height_) {
                // Both rows share one ring slot.
                kernels::replacePixelRow(sourceRow(entering) + 3 * c0, blurredRow(entering) + 3 * c0, count,
                                         slot(entering) + c0, columnSums.data() + c0);
            } else if (leaving >= 0) {
                kernels::subtractRow(slot(leaving) + c0, count, columnSums.data() + c0);
            } else if (entering < height_) {
                kernels::addPixelRow(sourceRow(entering) + 3 * c0, blurredRow(entering) + 3 * c0, count,
                                     slot(entering) + c0, columnSums.data() + c0);
            }
        };
        // A row whose clipped neighborhood rows are those of the row before has its box sums.
        const bool moved = y == part.y0 || leaving >= 0 || entering < height_;
        if (!moved) {
            sink.row(index, y, part.x0, part.width(), boxSums.data());
        } else if (!inChunks) {
            move(0, columns);
            if (integerRowSums_) {
                integerPrefixSums(columnSums.data(), columns, integerPrefix.data());
                sumAlongRow(part, columnsBegin, integerPrefix.data(), boxSums.data());
            } else {
                kernels::prefixSums(columnSums.data(), columns, 0.0, prefix.data());
                sumAlongRow(part, columnsBegin, prefix.data(), boxSums.data());
            }
            sink.row(index, y, part.x0, part.width(), boxSums.data());
        } else {
            // Columns [part.x0, done) have had their box sums. The first chunk is longer by up to
            // 15 columns, so that the pieces of the row end at multiples of 16 columns (whole
            // vectors of the sinks' outputs).
            int done = part.x0;
            const int firstEnd = kScanChunk + ((n_.after - columnsBegin) % 16 + 16) % 16;
            for (int c0 = 0; c0 < columns;) {
                const int c1 = std::min(c0 == 0 ? firstEnd : c0 + kScanChunk, columns);
                move(c0, c1);
                kernels::prefixSums(columnSums.data() + c0, c1 - c0, prefix[c0], prefix.data() + c0);
                // The columns whose neighborhoods end within the chunks done.
                const int end = c1 == columns ? part.x1 : std::clamp(columnsBegin + c1 - n_.after, done, part.x1);
                if (end == done) {
                    c0 = c1;
                    continue;
                }
                double* sums = boxSums.data() + (done - part.x0);
                sumAlongRow({done, end, y, y + 1}, columnsBegin, prefix.data(), sums);
                sink.row(index, y, done, end - done, sums);
                done = end;
                c0 = c1;
            }
        }
    }
}

// prefix[i] = sum of the first i column sums in units of 1 / prefixUnits_, for row sums too large
// to be kept exactly in double precision. Each column sum converts exactly (an integer in those
// units below 2^53); the 64-bit sums wrap around past 2^63, and their differences come out exact.
void BoxScan::integerPrefixSums(const double* columnSums, int count, std::int64_t* prefix) const
{
    std::uint64_t running = 0;
    prefix[0] = 0;
    for (int i = 0; i < count; ++i) {
        running += std::uint64_t(std::int64_t(columnSums[i] * prefixUnits_));
        prefix[i + 1] = std::int64_t(running);
    }
}

// boxSums[x - part.x0] = sum of the column sums over the clipped columns of x's neighborhood, as a
// difference of their prefix sums.
template <class Prefix>
void BoxScan::sumAlongRow(const Area& part, int columnsBegin, const Prefix* prefix, double* boxSums) const
{
    const double inverseUnits = 1.0 / prefixUnits_;
    const auto difference = [&](const Prefix* high, const Prefix* low) {
        if constexpr (std::is_same_v<Prefix, double>)
            return *high - *low;
        else
            return double(std::uint64_t(*high) - std::uint64_t(*low)) * inverseUnits;
    };
    const auto boxSum = [&](int x) {
        const Area area = clippedNeighborhood(x, 0);
        return difference(prefix + (area.x1 - columnsBegin), prefix + (area.x0 - columnsBegin));
    };
    // Columns whose neighborhood is clipped on neither side, then the clipped ones.
    const int wholeBegin = std::min(std::max(part.x0, n_.before), part.x1);
    const int wholeEnd = std::max(std::min(part.x1, width_ - n_.after), wholeBegin);
    if (wholeBegin < wholeEnd) {
        const Prefix* high = prefix + (wholeBegin + n_.after + 1 - columnsBegin);
        const Prefix* low = prefix + (wholeBegin - n_.before - columnsBegin);
        double* out = boxSums + (wholeBegin - part.x0);
        if constexpr (std::is_same_v<Prefix, double>)
            kernels::differences(high, low, wholeEnd - wholeBegin, out);
        else
            for (int i = 0; i < wholeEnd - wholeBegin; ++i) out[i] = difference(high + i, low + i);
    }
    for (int x = part.x0; x < wholeBegin; ++x) boxSums[x - part.x0] = boxSum(x);
    for (int x = wholeEnd; x < part.x1; ++x) boxSums[x - part.x0] = boxSum(x);
}

template void BoxScan::sumAlongRow<double>(const Area&, int, const double*, double*) const;
template void BoxScan::sumAlongRow<std::int64_t>(const Area&, int, const std::int64_t*, double*) const;

}  // namespace dofmap::detail
