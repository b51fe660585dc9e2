// The producer of the pipeline: box sums of the color distances over every pixel's clipped
// neighborhood, row by row, from which every output of the map is computed.
#pragma once

#include "exactness.hpp"
#include "focus_map.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace dofmap::detail {

class Repeats;

// A rectangle of pixels: columns [x0, x1), rows [y0, y1).
struct Area {
    int x0, x1, y0, y1;

    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    std::int64_t pixels() const { return std::int64_t(width()) * height(); }
    bool operator==(const Area& other) const
    {
        return x0 == other.x0 && x1 == other.x1 && y0 == other.y0 && y1 == other.y1;
    }
    // Orders by rows first, then by columns, so that areas over the same rows starting at the same
    // column lie together, the narrower first.
    bool operator<(const Area& other) const
    {
        if (y0 != other.y0) return y0 < other.y0;
        if (y1 != other.y1) return y1 < other.y1;
        if (x0 != other.x0) return x0 < other.x0;
        return x1 < other.x1;
    }
};

// Receives the box sums of a scan, row by row.
class RowSink {
public:
    // boxSums[i] is the sum of the distance terms over the clipped neighborhood of (x0 + i, y), for
    // i < count: the whole row of the part, or the next piece of it (see takesPieces). Rows of one
    // part come in order from top to bottom; parts run in parallel, and `part` is the index of the
    // part in the list given to BoxScan::scan.
    virtual void row(int part, int y, int x0, int count, const double* boxSums) = 0;

    // Whether the sink takes a row in pieces, left to right, each call with the next columns: the
    // ring scan then hands on the box sums of a few hundred columns at a time, while they are in L1.
    virtual bool takesPieces() const { return false; }

protected:
    ~RowSink() = default;
};

// The distance terms that a scan sums (see exactness.hpp).
enum class ScanTerms {
    automatic,  // single-precision roots for narrow windows, fixed point for wide ones
    floatRoots,
    fixedPoint,
};

// The geometry of one photo and its blurred reference, and the scans of its box sums.
//
// Narrow windows sum single-precision roots and keep the roots of the rows of a neighborhood in a
// ring, so that each image row is read once per scan. Wide windows, whose ring would not fit in the
// caches and whose sums hold so many terms that the single-precision error would leave many gray
// levels in doubt, sum double roots in fixed point instead: each row is read when it enters and
// again when it leaves the neighborhood, and bands start from column sums prepared once for all
// scans. Either way every box sum is exact in its terms (see exactness.hpp).
class BoxScan {
public:
    // Both images CV_8UC3 of one size, not empty; window >= 1. The images must outlive the scan, and
    // so must `cancel`, which when given stops the scans (see cancelled()).
    BoxScan(const cv::Mat& source, const cv::Mat& blurred, int window, ScanTerms terms = ScanTerms::automatic,
            const std::atomic<bool>* cancel = nullptr);

    int width() const { return width_; }
    int height() const { return height_; }
    int window() const { return n_.before + n_.after + 1; }
    const Neighborhood& neighborhood() const { return n_; }
    const cv::Mat& source() const { return source_; }
    const cv::Mat& blurred() const { return blurred_; }

    // How far a fast mean of this scan may lie from the literal mean.
    const exactness::ErrorBound& bound() const { return bound_; }
    // How far each term of this scan may lie from its double root, relatively.
    double termRoundoff() const { return termRoundoff_; }

    // The parts of a scan of the whole image: bands of whole rows, enough for the threads, cut
    // across only for images wider than the widest tile.
    const std::vector<Area>& wholeImage() const { return wholeImage_; }

    // Whether scan() takes any areas, or only wholeImage().
    bool scansAnyArea() const { return !fixedPoint_; }
    ScanTerms terms() const { return fixedPoint_ ? ScanTerms::fixedPoint : ScanTerms::floatRoots; }

    // Calls sink.row for every row of every part, parts in parallel. Throws AnalysisCancelled when
    // the scan was cancelled, leaving the parts not yet begun unscanned.
    void scan(const std::vector<Area>& parts, RowSink& sink) const;

    // Whether the flag given to the scan was set: the passes over the image test it between bands of
    // rows, skip the rest of their work once it is, and then throw through throwIfCancelled.
    bool cancelled() const { return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed); }
    void throwIfCancelled() const
    {
        if (cancelled()) throw AnalysisCancelled();
    }

    // Number of positions of a neighborhood along one axis of `length` pixels, at `position`.
    int clippedSpan(int position, int length) const
    {
        return std::min(position + n_.after, length - 1) - std::max(position - n_.before, 0) + 1;
    }
    // The clipped neighborhood of (x, y).
    Area clippedNeighborhood(int x, int y) const
    {
        return {std::max(x - n_.before, 0), std::min(x + n_.after, width_ - 1) + 1, std::max(y - n_.before, 0),
                std::min(y + n_.after, height_ - 1) + 1};
    }

    // The columns and rows of the scan's images that repeat a period earlier, found at the first call
    // (about three reads of the image) and kept for the later ones. Throws AnalysisCancelled when the
    // scan is cancelled meanwhile.
    const Repeats& repeats() const;

    // Multiplier of the box sums of row y, after inverseColumnSpans(), giving fast means.
    double rowScale(int y) const { return 1.0 / clippedSpan(y, height_); }
    const double* inverseColumnSpans() const { return inverseColumnSpan_.data(); }
    double fastMean(double boxSum, int x, double rowScale) const { return boxSum * inverseColumnSpan_[x] * rowScale; }
    // Columns [first, second) whose neighborhood is clipped on neither side (empty when the image
    // is narrower than the window).
    std::pair<int, int> wholeColumns() const;

private:
    void scanRingPart(const Area& part, int index, RowSink& sink) const;
    void scanFixedPart(const Area& part, int index, RowSink& sink) const;
    void prepareFixedBands();
    template <class Prefix>
    void sumAlongRow(const Area& part, int columnsBegin, const Prefix* prefix, double* boxSums) const;
    void integerPrefixSums(const double* columnSums, int count, std::int64_t* prefix) const;

    const cv::Mat& source_;
    const cv::Mat& blurred_;
    const std::atomic<bool>* const cancel_;
    const int width_;
    const int height_;
    const Neighborhood n_;
    // Whether the terms are fixed-point double roots rather than single-precision roots.
    const bool fixedPoint_;
    // Whether row sums are kept as 64-bit integers in units of 1 / prefixUnits_.
    bool integerRowSums_ = false;
    double prefixUnits_ = 1.0;
    // Fixed point: the terms in units of 1 / fixedUnits_, by squared distance.
    double fixedUnits_ = 1.0;
    std::vector<double> fixedTerms_;
    exactness::ErrorBound bound_;
    double termRoundoff_ = exactness::kFloatRootRoundoff + exactness::kUnitRoundoff;
    std::vector<double> inverseColumnSpan_;
    std::vector<Area> wholeImage_;
    // Fixed point: the column sums at the first row of each band, by that row.
    std::map<int, std::vector<double>> bandStarts_;
    // What repeats() found, once it was called.
    mutable std::mutex repeatsMutex_;
    mutable std::shared_ptr<const Repeats> repeats_;
};

}  // namespace dofmap::detail
