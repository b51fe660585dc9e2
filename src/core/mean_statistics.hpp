// The average and the 90th percentile of the fast means: the rendering pass sums them and keeps the
// few that lie in a window predicted, from the block totals, to hold the percentile.
#pragma once

#include "block_totals.hpp"
#include "box_scan.hpp"
#include "focus_map.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace dofmap::detail {

// Buckets per binade of the means' single-precision values: the relative width of a bucket is
// 2^-kMeanBucketBits.
constexpr int kMeanBucketBits = 11;
// The binades that get buckets of their own, by biased single-precision exponent: from 2^-34 (below
// the smallest mean that is not 0, a distance of 1 over the kGreatestWindow^2 = 10^10 positions of
// the widest window) to 2^8 (the largest distance lies below 2^9). Smaller means share the first
// bucket after 0.
constexpr int kLowestMeanExponent = 127 - 34;
constexpr int kHighestMeanExponent = 127 + 8;
static_assert(double(kGreatestWindow) * kGreatestWindow < 0x1p34,
              "the smallest mean that is not 0 must lie in the lowest binade with buckets of its own");
// The number of buckets of meanBucket.
constexpr int kMeanBuckets = 1 + (kHighestMeanExponent - kLowestMeanExponent + 1) * (1 << kMeanBucketBits);

// The bucket of a mean (>= 0): buckets are ordered as the means are, 0 for a mean of 0.
inline int meanBucket(double mean)
{
    if (!(mean > 0.0)) return 0;
    // Rounding to single precision keeps the order (ties merge), and so does the bit pattern of a
    // positive float read as an integer.
    const float value = float(mean);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const int exponent = int(bits >> 23);
    if (exponent < kLowestMeanExponent) return 1;
    if (exponent > kHighestMeanExponent) return kMeanBuckets - 1;
    const int fraction = int((bits >> (23 - kMeanBucketBits)) & ((1u << kMeanBucketBits) - 1));
    return 1 + ((exponent - kLowestMeanExponent) << kMeanBucketBits) + fraction;
}

// A range [first, second] that holds every mean of `bucket` (and maybe a few of its neighbors').
std::pair<double, double> meanBucketBounds(int bucket);

// The rank of the nearest-rank 90th percentile among `pixels` values: ceil(0.9 pixels), from 1.
std::int64_t percentileRank(std::int64_t pixels);

// The fast means [low, high] among which the rendering pass looks for the percentile.
struct PercentileWindow {
    double low;
    double high;
};

// A window expected to hold the percentile, with a wide margin: the means over neighborhoods of
// whole blocks, one per block, are spread as the pixels' means are, so their percentiles on either
// side of the 90th bound it. Small images keep every mean.
PercentileWindow predictPercentileWindow(const BoxScan& scan, const BlockTotals& blocks);

// The most means that the gatherings of one pass keep between them: 16 MB. A photo keeps a few
// percent of its means, a picture of many equal means (a flat or dark photo) may have them all in
// the window; past this they are only counted, and the percentile is then found by passes that
// count (fastMeanOfRank).
constexpr std::int64_t kMostMeansGathered = std::int64_t(1) << 21;

// What one part of the rendering pass gathers for the statistics.
struct MeanGathering {
    struct RowTotal {
        int y;
        int x0;
        double total;
    };
    std::int64_t below = 0;  // means under the window
    std::int64_t within = 0;  // means within it
    std::vector<double> inWindow;  // the means within it, unless dropped
    // Whether the means within the window were too many to keep (see room) and are only counted.
    bool dropped = false;
    // The number of means that all gatherings of the pass may still keep, shared by them; none
    // for no limit.
    std::atomic<std::int64_t>* room = nullptr;
    std::vector<RowTotal> rows;  // the sum of each row's means
    std::vector<double> rowKept;  // the row at hand's means in the window

    // Gathers the means of pixels (x0 ... x0 + count - 1, y). A window of one value (low == high)
    // holds only means equal to it, which are counted and not kept.
    void addRow(int y, int x0, const double* means, int count, const PercentileWindow& window);
};

// The average of the means of all `pixels` pixels gathered by `parts` with `window` (the same
// whoever gathered which rows), and their percentile when the window held its rank and its means
// were kept (or are all one value).
std::pair<double, std::optional<double>> gatheredStatistics(std::int64_t pixels, const PercentileWindow& window,
                                                            const std::vector<MeanGathering>& parts);

// The `rank`-th smallest fast mean (from 1) of the scan, all means lying in [0, upper], by
// successive passes that narrow the range: for a window that missed the percentile.
double fastMeanOfRank(const BoxScan& scan, std::int64_t rank, double upper);

}  // namespace dofmap::detail
