// Running statistics of the fast means: their sum for the average, and a histogram that locates the
// 90th percentile, which a second pass then picks exactly from the means of one bucket.
#include "mean_statistics.hpp"

#include "row_kernels.hpp"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace dofmap::detail {
namespace {

// Passes of the fallback search count the means in this many buckets of the current range, and keep
// them once the range holds at most this many.
constexpr int kNarrowingBuckets = 4096;
constexpr std::int64_t kMostMeansKept = std::int64_t(1) << 22;
// Images of at most this many pixels keep every mean: a window is not worth predicting.
constexpr std::int64_t kKeepAllMeans = std::int64_t(1) << 16;
// The window spans the predicted percentiles this far, as a fraction of the pixels, on either side
// of the 90th: on photos the prediction's rank lay within 0.003 of 0.9 for windows of 15 pixels and
// more, within 0.02 for windows of 5.
constexpr double kRankMargin = 0.01;
constexpr double kSmallWindowRankMargin = 0.04;
// Windows narrower than a block predict from the means of pixels every kSampleStep along both axes
// (a 24-megapixel photo gives some 83000), whose rank errs only by sampling. A prime step meets
// every phase of periodic structure (an upscaled photo repeats every few pixels).
constexpr int kSampleStep = 17;
constexpr double kSampledRankMargin = 0.02;
// Blocks taken for the prediction along each axis: every second one gives far more estimates than
// its margin needs.
constexpr int kPredictionStep = 2;
// The means kept in the window are counted in this many buckets to narrow the search for the rank.
constexpr int kSelectionBuckets = 1 << 12;

}  // namespace

void MeanGathering::addRow(int y, int x0, const double* means, int count, const PercentileWindow& window)
{
    double lanes[8] = {};
    if (rowKept.size() < std::size_t(count)) rowKept.resize(count);
    const int kept = kernels::gatherRow(means, count, window.low, window.high, lanes, &below, rowKept.data());
    rows.push_back(
        {y, x0, ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]))});
    within += kept;
    if (kept == 0 || dropped || window.low == window.high) return;
    if (room != nullptr && room->fetch_sub(kept) < kept) {
        // Past the limit: from now on the means in the window are counted only.
        dropped = true;
        inWindow = std::vector<double>();
        return;
    }
    inWindow.insert(inWindow.end(), rowKept.begin(), rowKept.begin() + kept);
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

namespace {

// The window between the means at the given fractions below and above the 90th percentile of
// estimates counted by meanBucket.
PercentileWindow windowOf(const std::vector<std::int64_t>& counts, std::int64_t estimates, double margin)
{
    const auto bucketAt = [&](double fraction) {
        const std::int64_t rank = std::int64_t(std::clamp(fraction, 0.0, 1.0) * double(estimates));
        std::int64_t seen = 0;
        for (int b = 0; b < kMeanBuckets; ++b) {
            seen += counts[b];
            if (seen > rank) return b;
        }
        return kMeanBuckets - 1;
    };
    return {meanBucketBounds(bucketAt(0.9 - margin)).first, meanBucketBounds(bucketAt(0.9 + margin)).second};
}

// For windows narrower than a block: the means of pixels on a sparse grid, summed directly.
PercentileWindow sampledWindow(const BoxScan& scan)
{
    std::vector<std::int64_t> counts(kMeanBuckets, 0);
    std::int64_t estimates = 0;
    for (int y = kSampleStep / 2; y < scan.height(); y += kSampleStep)
        for (int x = kSampleStep / 2; x < scan.width(); x += kSampleStep) {
            const Area area = scan.clippedNeighborhood(x, y);
            double sum = 0.0;
            for (int yy = area.y0; yy < area.y1; ++yy) {
                const cv::Vec3b* s = scan.source().ptr<cv::Vec3b>(yy);
                const cv::Vec3b* b = scan.blurred().ptr<cv::Vec3b>(yy);
                for (int xx = area.x0; xx < area.x1; ++xx) {
                    const int d0 = b[xx][0] - s[xx][0], d1 = b[xx][1] - s[xx][1], d2 = b[xx][2] - s[xx][2];
                    sum += kernels::rootOf(d0 * d0 + d1 * d1 + d2 * d2);
                }
            }
            ++counts[meanBucket(sum / double(area.pixels()))];
            ++estimates;
        }
    return windowOf(counts, estimates, kSampledRankMargin);
}

}  // namespace

PercentileWindow predictPercentileWindow(const BoxScan& scan, const BlockTotals& blocks)
{
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (std::int64_t(scan.width()) * scan.height() <= kKeepAllMeans) return {0.0, kInfinity};
    if (scan.window() < BlockTotals::kSide) return sampledWindow(scan);

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
    // The estimates of every other block along both axes, each standing for the pixels of the four
    // blocks around it: the mean over the blocks of a neighborhood of about the window's size around
    // it, clipped, counted by buckets.
    const int side = std::max(1, (scan.window() + BlockTotals::kSide / 2) / BlockTotals::kSide);
    std::vector<std::int64_t> counts(kMeanBuckets, 0);
    std::int64_t counted = 0;
    for (int by = 0; by < down; by += kPredictionStep) {
        const int y0 = std::max(by - side / 2, 0), y1 = std::min(by - side / 2 + side, down);
        for (int bx = 0; bx < across; bx += kPredictionStep) {
            const int x0 = std::max(bx - side / 2, 0), x1 = std::min(bx - side / 2 + side, across);
            const double total = totals[y1 * stride + x1] - totals[y0 * stride + x1] - totals[y1 * stride + x0] +
                totals[y0 * stride + x0];
            const double pixels = pixelsOf(x0, x1, scan.width()) * pixelsOf(y0, y1, scan.height());
            ++counts[meanBucket(total / pixels)];
            ++counted;
        }
    }
    return windowOf(counts, counted, scan.window() >= 2 * BlockTotals::kSide ? kRankMargin : kSmallWindowRankMargin);
}

std::pair<double, std::optional<double>> gatheredStatistics(std::int64_t pixels, const PercentileWindow& window,
                                                            const std::vector<MeanGathering>& parts)
{
    std::vector<MeanGathering::RowTotal> rows;
    std::int64_t below = 0, within = 0;
    bool dropped = false;
    for (const MeanGathering& part : parts) {
        rows.insert(rows.end(), part.rows.begin(), part.rows.end());
        below += part.below;
        within += part.within;
        dropped = dropped || part.dropped;
    }
    // The rows in the order of the image, whichever part summed them.
    std::sort(rows.begin(), rows.end(), [](const MeanGathering::RowTotal& a, const MeanGathering::RowTotal& b) {
        return a.y != b.y ? a.y < b.y : a.x0 < b.x0;
    });
    long double total = 0.0L;
    for (const MeanGathering::RowTotal& row : rows) total += row.total;
    const double average = double(total / pixels);

    const std::int64_t rank = percentileRank(pixels);
    if (rank <= below || rank > below + within) return {average, std::nullopt};
    if (window.low == window.high) return {average, window.low};  // every mean in the window is that value
    if (dropped) return {average, std::nullopt};
    // The rank within the window: counted in buckets of the window first, each part in parallel,
    // then picked among the means of its bucket.
    const std::int64_t rankInWindow = rank - below;
    double low = window.low, high = window.high;
    if (!std::isfinite(high)) {
        high = low;
        for (const MeanGathering& part : parts)
            for (const double mean : part.inWindow) high = std::max(high, mean);
    }
    // Multiplying by the same factor everywhere keeps the order of the means, so bucketOf is the
    // same monotone function in both passes.
    const double perBucket = high > low ? kSelectionBuckets / (high - low) : 0.0;
    const auto bucketOf = [&](double mean) { return std::min(int((mean - low) * perBucket), kSelectionBuckets - 1); };
    std::vector<std::vector<std::int64_t>> partCounts(parts.size(), std::vector<std::int64_t>(kSelectionBuckets, 0));
    cv::parallel_for_(cv::Range(0, int(parts.size())), [&](const cv::Range& range) {
        for (int p = range.start; p < range.end; ++p)
            for (const double mean : parts[p].inWindow) ++partCounts[p][bucketOf(mean)];
    });
    std::vector<std::int64_t> counts(kSelectionBuckets, 0);
    for (const std::vector<std::int64_t>& part : partCounts)
        for (int b = 0; b < kSelectionBuckets; ++b) counts[b] += part[b];
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

// Counts the fast means of one pass within the current range of the search, and keeps them when
// they are few enough.
class NarrowingPass final : public RowSink {
public:
    NarrowingPass(const BoxScan& scan, double low, double high, bool keep)
        : scan_(scan),
          low_(low),
          high_(high),
          perBucket_(high > low ? kNarrowingBuckets / (high - low) : 0.0),
          keep_(keep),
          parts_(scan.wholeImage().size())
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
                const int b = std::min(int((mean - low_) * perBucket_), kNarrowingBuckets - 1);
                ++h.counts[b];
                h.smallest[b] = std::min(h.smallest[b], mean);
                h.largest[b] = std::max(h.largest[b], mean);
                if (keep_) h.kept.push_back(mean);
            }
        }
    }

    struct Histogram {
        std::int64_t below = 0;
        std::vector<std::int64_t> counts = std::vector<std::int64_t>(kNarrowingBuckets, 0);
        std::vector<double> smallest = std::vector<double>(kNarrowingBuckets, std::numeric_limits<double>::infinity());
        std::vector<double> largest = std::vector<double>(kNarrowingBuckets, -std::numeric_limits<double>::infinity());
        std::vector<double> kept;
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
            total.kept.insert(total.kept.end(), h.kept.begin(), h.kept.end());
        }
        return total;
    }

private:
    const BoxScan& scan_;
    const double low_;
    const double high_;
    const double perBucket_;
    const bool keep_;
    std::vector<Histogram> parts_;
};

}  // namespace

double fastMeanOfRank(const BoxScan& scan, std::int64_t rank, double upper)
{
    // Each pass counts the means per bucket of the current range and narrows the range to the
    // smallest and largest mean of the bucket that holds the rank; once a range holds few means, the
    // next pass keeps them and the rank is picked among them.
    double low = 0.0, high = upper;
    std::int64_t inRange = std::int64_t(scan.width()) * scan.height();
    while (true) {
        const bool keep = inRange <= kMostMeansKept;
        NarrowingPass pass(scan, low, high, keep);
        scan.scan(scan.wholeImage(), pass);
        NarrowingPass::Histogram total = pass.merged();
        if (keep) {
            const auto nth = total.kept.begin() + (rank - total.below - 1);
            std::nth_element(total.kept.begin(), nth, total.kept.end());
            return *nth;
        }
        std::int64_t seen = total.below;
        int b = 0;
        while (b < kNarrowingBuckets - 1 && seen + total.counts[b] < rank) seen += total.counts[b++];
        if (total.smallest[b] == total.largest[b]) return total.smallest[b];
        low = total.smallest[b];
        high = total.largest[b];
        inRange = total.counts[b];
    }
}

}  // namespace dofmap::detail
