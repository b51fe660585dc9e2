// The scan of wide windows: double roots in fixed point, bands started from column sums prepared
// in one pass over the image, rows read as they enter and as they leave the neighborhood.
#include "box_scan.hpp"

#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <set>

namespace dofmap::detail {
namespace {

using exactness::kLargestDistance;

// Bands of a fixed-point scan have at least this many rows: each starts afresh from its prepared
// column sums, so they may be short, but not shorter than it takes to amortize starting one.
constexpr int kMinimumBandRows = 16;
// The finest fixed-point unit 2^-k: fixedRootOf needs 441.68 * 2^k < 2^51.
constexpr int kFinestUnitBits = 42;

// The number of fraction bits of the fixed-point terms: as many as keep the column sums and the
// prepared vertical sums (up to `height` terms) integers below 2^53, and the box sums (up to
// `terms` terms) below 2^64.
int fixedPointBits(int height, std::int64_t terms)
{
    int bits = kFinestUnitBits;
    while (bits > 0 &&
           (std::ldexp(double(height) * kLargestDistance, bits) >= 0x1p53 ||
            std::ldexp(double(terms) * kLargestDistance, bits) >= 0x1p64))
        --bits;
    return bits;
}

}  // namespace

void BoxScan::prepareFixedBands()
{
    CV_Assert(width_ < (1 << 26));  // the limit of exact row sums in two parts
    const std::int64_t terms = std::int64_t(std::min(window(), width_)) * std::min(window(), height_);
    const int bits = fixedPointBits(height_, terms);
    fixedUnits_ = std::ldexp(1.0, bits);
    fixedTerms_.resize(std::size_t(exactness::kLargestSquaredDistance) + 1);
    for (std::size_t squared = 0; squared < fixedTerms_.size(); ++squared)
        fixedTerms_[squared] = kernels::fixedRootOf(std::int32_t(squared), fixedUnits_);
    termRoundoff_ = std::ldexp(0.5, -bits);
    bound_ = exactness::ErrorBound(terms, termRoundoff_);

    const int threads = std::max(cv::getNumThreads(), 1);
    const int bands = std::clamp(height_ / kMinimumBandRows, 1, 2 * threads);
    for (int j = 0; j < bands; ++j)
        wholeImage_.push_back(
            {0, width_, int(std::int64_t(height_) * j / bands), int(std::int64_t(height_) * (j + 1) / bands)});

    // The column sums at the first row y0 of a band are S(last + 1) - S(first) for the rows
    // [first, last] of y0's neighborhood, where S(r) sums the rows above r: one pass down the
    // image in strips of columns keeps S and notes it at those rows.
    std::set<int> marks;
    for (const Area& band : wholeImage_) {
        const Area rows = clippedNeighborhood(0, band.y0);
        marks.insert(rows.y0);
        marks.insert(rows.y1);
    }
    std::map<int, std::vector<double>> sumsAbove;
    for (const int mark : marks) sumsAbove[mark].assign(width_, 0.0);
    const int lastMark = *marks.rbegin();
    const int strips = std::min(2 * threads, width_);
    cv::parallel_for_(cv::Range(0, strips), [&](const cv::Range& range) {
        for (int strip = range.start; strip < range.end; ++strip) {
            const int x0 = int(std::int64_t(width_) * strip / strips);
            const int x1 = int(std::int64_t(width_) * (strip + 1) / strips);
            std::vector<double> running(x1 - x0, 0.0);
            std::vector<std::int32_t> squared(x1 - x0);
            for (int row = 0; row < lastMark && !cancelled(); ++row) {
                kernels::squaredDistances(source_.ptr<std::uint8_t>(row) + 3 * x0,
                                          blurred_.ptr<std::uint8_t>(row) + 3 * x0, x1 - x0, squared.data());
                kernels::moveFixedRows(squared.data(), nullptr, x1 - x0, fixedTerms_.data(), running.data());
                if (const auto noted = sumsAbove.find(row + 1); noted != sumsAbove.end())
                    std::copy(running.begin(), running.end(), noted->second.begin() + x0);
            }
        }
    });
    throwIfCancelled();
    for (const Area& band : wholeImage_) {
        const Area rows = clippedNeighborhood(0, band.y0);
        const std::vector<double>& below = sumsAbove.at(rows.y1);
        const std::vector<double>& above = sumsAbove.at(rows.y0);
        std::vector<double>& start = bandStarts_[band.y0];
        start.resize(width_);
        for (int x = 0; x < width_; ++x) start[x] = below[x] - above[x];
    }
}

// Row sums of the fixed-point column sums can pass 2^53, so they are formed as two prefix sums, of
// the column sums' parts above and below kernels::kPartUnit, each exact in double precision; a box
// sum joins the differences of both and is rounded once, as a 64-bit integer sum converted would be.
void BoxScan::scanFixedPart(const Area& part, int index, RowSink& sink) const
{
    CV_Assert(part.x0 == 0 && part.x1 == width_ && bandStarts_.count(part.y0) == 1);
    std::vector<double> columnSums = bandStarts_.at(part.y0);
    std::vector<double> high(width_), low(width_), highPrefix(std::size_t(width_) + 1),
        lowPrefix(std::size_t(width_) + 1), boxSums(width_);
    std::vector<std::int32_t> entering(width_), leaving(width_);
    const auto distancesOfRow = [&](int row, std::vector<std::int32_t>& squared) {
        kernels::squaredDistances(source_.ptr<std::uint8_t>(row), blurred_.ptr<std::uint8_t>(row), width_,
                                  squared.data());
        return squared.data();
    };
    // The box sums are in units of 1 / fixedUnits_, a power of two.
    const double inverseUnits = 1.0 / fixedUnits_;
    const auto boxSumOf = [&](int x) {
        const Area columns = clippedNeighborhood(x, 0);
        return ((highPrefix[columns.x1] - highPrefix[columns.x0]) * kernels::kPartUnit +
                (lowPrefix[columns.x1] - lowPrefix[columns.x0])) *
            inverseUnits;
    };
    const std::pair<int, int> whole = wholeColumns();
    for (int y = part.y0; y < part.y1; ++y) {
        const int leavingRow = y - 1 - n_.before;
        const int enteringRow = y + n_.after;
        const bool moved = y == part.y0 || leavingRow >= 0 || enteringRow < height_;
        if (y > part.y0 && moved)
            kernels::moveFixedRows(enteringRow < height_ ? distancesOfRow(enteringRow, entering) : nullptr,
                                   leavingRow >= 0 ? distancesOfRow(leavingRow, leaving) : nullptr, width_,
                                   fixedTerms_.data(), columnSums.data());
        if (moved) {
            kernels::splitParts(columnSums.data(), width_, high.data(), low.data());
            kernels::prefixSums(high.data(), width_, 0.0, highPrefix.data());
            kernels::prefixSums(low.data(), width_, 0.0, lowPrefix.data());
            // Columns whose neighborhood is clipped on neither side, then the clipped ones.
            if (whole.first < whole.second) {
                const int end = whole.first + n_.after + 1, begin = whole.first - n_.before;
                kernels::joinDifferences(highPrefix.data() + end, highPrefix.data() + begin, lowPrefix.data() + end,
                                         lowPrefix.data() + begin, whole.second - whole.first, inverseUnits,
                                         boxSums.data() + whole.first);
            }
            for (int x = 0; x < whole.first; ++x) boxSums[x] = boxSumOf(x);
            for (int x = std::max(whole.second, whole.first); x < width_; ++x) boxSums[x] = boxSumOf(x);
        }
        sink.row(index, y, 0, width_, boxSums.data());
    }
}

}  // namespace dofmap::detail
