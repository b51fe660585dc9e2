// Running statistics of the fast means: their sum for the average, and a histogram that locates the
// 90th percentile, which a second pass then picks exactly from the means of one bucket.
#include "mean_statistics.hpp"

#include "row_kernels.hpp"

#include <opencv2/core.hpp>

#include <algorithm>
#include <limits>

namespace dofmap::detail {
namespace {

// Passes of the fallback search count the means in this many buckets of the current range.
constexpr int kNarrowingBuckets = 4096;
// Images of at most this many pixels keep every mean: a window is not worth predicting.
constexpr std::int64_t kKeepAllMeans = std::int64_t(1) << 16;
// The window spans the predicted percentiles this far, as a fraction of the pixels, on either side
// of the 90th: on photos the prediction's rank lay within 0.003 of 0.9 for windows of 15 pixels and
// more, within 0.02 for smaller ones.
constexpr double kRankMargin = 0.01;
constexpr double kSmallWindowRankMargin = 0.04;
// The means kept in the window are counted in this many buckets to narrow the search for the rank.
constexpr int kSelectionBuckets = 1 << 12;

}  // namespace

void MeanGathering::addRow(int y, int x0, const double* means, int count, const PercentileWindow& window)
{
    double lanes[8] = {};
    std::int64_t under = 0;
    const std::int64_t inside = kernels::sumAndCount(means, count, window.low, window.high, lanes, &under);
    below += under;
    rows.push_back(
        {y, x0, ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]))});
    if (inside == 0) return;
    const std::size_t kept = inWindow.size();
    inWindow.resize(kept + std::size_t(inside));
    double* out = inWindow.data() + kept;
    for (int i = 0; i < count; ++i)
        if (means[i] >= window.low && means[i] <= window.high) *out++ = means[i];
}

std::pair<double, double> meanBucketBounds(int bucket)
{
    if (bucket == 0) return {0.0, 0.0};
    const auto floatOfBits = [](std::uint32_t bits) {
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        return double(value);
    };
    // A double that rounds to a float f lies within half a unit of f's last place, 2^-24 f.
    constexpr double kWidening = 0x1p-23;
    const std::uint32_t first =
        (std::uint32_t(kLowestMeanExponent) << 23) + (std::uint32_t(bucket - 1) << (23 - kMeanBucketBits));
    const std::uint32_t last = first + (1u << (23 - kMeanBucketBits)) - 1;
    const double high = bucket == kMeanBuckets - 1 ? std::numeric_limits<double>::infinity() : floatOfBits(last);
    // The first bucket after 0 also holds the means below its binade.
    const double low = bucket == 1 ? 0.0 : floatOfBits(first) * (1.0 - kWidening);
    return {low, high * (1.0 + kWidening)};
}

std::int64_t percentileRank(std::int64_t pixels)
{
    return std::max<std::int64_t>(1, (9 * pixels + 9) / 10);
}

PercentileWindow predictPercentileWindow(const BoxScan& scan, const BlockTotals& blocks)
{
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (std::int64_t(scan.width()) * scan.height() <= kKeepAllMeans) return {0.0, kInfinity};

    // A summed-area table of the block totals.
    const int across = blocks.across(), down = blocks.down();
    const std::size_t stride = std::size_t(across) + 1;
    std::vector<double> totals(stride * (down + 1), 0.0);
    for (int by = 0; by < down; ++by)
        for (int bx = 0; bx < across; ++bx) {
            const std::size_t at = (by + 1) * stride + bx + 1;
            totals[at] = blocks.at(bx, by) + totals[at - 1] + totals[at - stride] - totals[at - stride - 1];
        }
    const auto pixelsOf = [&](int first, int last, int length) {
        return double(std::min(last * BlockTotals::kSide, length) - first * BlockTotals::kSide);
    };
    // Every block's estimate: the mean over the blocks of a neighborhood of about the window's size
    // around it, clipped, counted by buckets for the block's pixels.
    const int side = std::max(1, (scan.window() + BlockTotals::kSide / 2) / BlockTotals::kSide);
    std::vector<std::int64_t> counts(kMeanBuckets, 0);
    for (int by = 0; by < down; ++by) {
        const int y0 = std::max(by - side / 2, 0), y1 = std::min(by - side / 2 + side, down);
        for (int bx = 0; bx < across; ++bx) {
            const int x0 = std::max(bx - side / 2, 0), x1 = std::min(bx - side / 2 + side, across);
            const double total = totals[y1 * stride + x1] - totals[y0 * stride + x1] - totals[y1 * stride + x0] +
                totals[y0 * stride + x0];
            const double pixels = pixelsOf(x0, x1, scan.width()) * pixelsOf(y0, y1, scan.height());
            counts[meanBucket(total / pixels)] += blocks.pixels(bx, by);
        }
    }
    const double margin = scan.window() >= 2 * BlockTotals::kSide ? kRankMargin : kSmallWindowRankMargin;
    const double count = double(scan.width()) * scan.height();
    const auto bucketAt = [&](double fraction) {
        const std::int64_t rank = std::int64_t(std::clamp(fraction, 0.0, 1.0) * count);
        std::int64_t seen = 0;
        for (int b = 0; b < kMeanBuckets; ++b) {
            seen += counts[b];
            if (seen > rank) return b;
        }
        return kMeanBuckets - 1;
    };
    return {meanBucketBounds(bucketAt(0.9 - margin)).first, meanBucketBounds(bucketAt(0.9 + margin)).second};
}

std::pair<double, std::optional<double>> gatheredStatistics(std::int64_t pixels,
                                                            const std::vector<MeanGathering>& parts)
{
    std::vector<MeanGathering::RowTotal> rows;
    std::int64_t below = 0;
    std::size_t kept = 0;
    for (const MeanGathering& part : parts) {
        rows.insert(rows.end(), part.rows.begin(), part.rows.end());
        below += part.below;
        kept += part.inWindow.size();
    }
    // The rows in the order of the image, whichever part summed them.
    std::sort(rows.begin(), rows.end(), [](const MeanGathering::RowTotal& a, const MeanGathering::RowTotal& b) {
        return a.y != b.y ? a.y < b.y : a.x0 < b.x0;
    });
    long double total = 0.0L;
    for (const MeanGathering::RowTotal& row : rows) total += row.total;
    const double average = double(total / pixels);

    const std::int64_t rank = percentileRank(pixels);
    if (rank <= below || rank > below + std::int64_t(kept)) return {average, std::nullopt};
    // The rank within the window: counted in buckets of the window first, then picked among the
    // means of its bucket.
    const std::int64_t rankInWindow = rank - below;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (const MeanGathering& part : parts)
        for (const double mean : part.inWindow) {
            low = std::min(low, mean);
            high = std::max(high, mean);
        }
    const double width = (high - low) / kSelectionBuckets;
    const auto bucketOf = [&](double mean) {
        return width > 0.0 ? std::min(int((mean - low) / width), kSelectionBuckets - 1) : 0;
    };
    std::vector<std::int64_t> counts(kSelectionBuckets, 0);
    for (const MeanGathering& part : parts)
        for (const double mean : part.inWindow) ++counts[bucketOf(mean)];
    std::int64_t seen = 0;
    int bucket = 0;
    while (seen + counts[bucket] < rankInWindow) seen += counts[bucket++];
    std::vector<double> candidates;
    candidates.reserve(std::size_t(counts[bucket]));
    for (const MeanGathering& part : parts)
        for (const double mean : part.inWindow)
            if (bucketOf(mean) == bucket) candidates.push_back(mean);
    const auto nth = candidates.begin() + (rankInWindow - seen - 1);
    std::nth_element(candidates.begin(), nth, candidates.end());
    return {average, *nth};
}

namespace {

// Counts the fast means of one pass within the current range of the search.
class NarrowingPass final : public RowSink {
public:
    NarrowingPass(const BoxScan& scan, double low, double high, std::size_t parts)
        : scan_(scan),
          low_(low),
          high_(high),
          width_((high - low) / kNarrowingBuckets),
          parts_(parts)
    {
    }

    void row(int part, int y, int x0, int count, const double* boxSums) override
    {
        Histogram& h = parts_[part];
        const double rowScale = scan_.rowScale(y);
        for (int i = 0; i < count; ++i) {
            const double mean = scan_.fastMean(boxSums[i], x0 + i, rowScale);
            if (mean < low_) {
                ++h.below;
            } else if (mean <= high_) {
                const int b = width_ > 0.0 ? std::min(int((mean - low_) / width_), kNarrowingBuckets - 1) : 0;
                ++h.counts[b];
                h.smallest[b] = std::min(h.smallest[b], mean);
                h.largest[b] = std::max(h.largest[b], mean);
            }
        }
    }

    struct Histogram {
        std::int64_t below = 0;
        std::vector<std::int64_t> counts = std::vector<std::int64_t>(kNarrowingBuckets, 0);
        std::vector<double> smallest = std::vector<double>(kNarrowingBuckets, std::numeric_limits<double>::infinity());
        std::vector<double> largest = std::vector<double>(kNarrowingBuckets, -std::numeric_limits<double>::infinity());
    };

    // The histograms of all parts, merged.
    Histogram merged() const
    {
        Histogram total;
        for (const Histogram& h : parts_) {
            total.below += h.below;
            for (int b = 0; b < kNarrowingBuckets; ++b) {
                total.counts[b] += h.counts[b];
                total.smallest[b] = std::min(total.smallest[b], h.smallest[b]);
                total.largest[b] = std::max(total.largest[b], h.largest[b]);
            }
        }
        return total;
    }

private:
    const BoxScan& scan_;
    const double low_;
    const double high_;
    const double width_;
    std::vector<Histogram> parts_;
};

}  // namespace

double fastMeanOfRank(const BoxScan& scan, std::int64_t rank, double upper)
{
    // Each pass counts the means per bucket of the current range, then narrows the range to the
    // smallest and largest mean of the bucket that holds the rank, until that bucket holds a single
    // value.
    double low = 0.0, high = upper;
    while (true) {
        NarrowingPass pass(scan, low, high, scan.wholeImage().size());
        scan.scan(scan.wholeImage(), pass);
        const NarrowingPass::Histogram total = pass.merged();
        std::int64_t seen = total.below;
        int b = 0;
        while (b < kNarrowingBuckets - 1 && seen + total.counts[b] < rank) seen += total.counts[b++];
        if (total.smallest[b] == total.largest[b]) return total.smallest[b];
        low = total.smallest[b];
        high = total.largest[b];
    }
}

}  // namespace dofmap::detail
