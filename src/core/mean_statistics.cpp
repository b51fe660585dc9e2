// Running statistics of the fast means: their sum for the average, and a histogram that locates the
// 90th percentile, which a second pass then picks exactly from the means of one bucket.
#include "mean_statistics.hpp"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace dofmap::detail {
namespace {

// Buckets per binade: the relative width of a bucket is 2^-kBucketBits, narrow enough that the
// percentile's bucket holds few means of a photo.
constexpr int kBucketBits = 11;
// The binades of single-precision values that get buckets of their own, by biased exponent: from
// 2^-34 (below the smallest nonzero mean of a 100000-pixel window, 1 / 10^10) to 2^8 (the
// largest distance lies below 2^9). Smaller means share the first bucket after 0.
constexpr int kLowestExponent = 127 - 34;
constexpr int kHighestExponent = 127 + 8;
// Passes of the fallback search count the means in this many buckets of the current range.
constexpr int kNarrowingBuckets = 4096;

}  // namespace

int meanBuckets()
{
    return 1 + (kHighestExponent - kLowestExponent + 1) * (1 << kBucketBits);
}

int meanBucket(double mean)
{
    if (!(mean > 0.0)) return 0;
    // Rounding to single precision keeps the order (ties merge), and so does the bit pattern of a
    // positive float read as an integer.
    const float value = float(mean);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const int exponent = int(bits >> 23);
    if (exponent < kLowestExponent) return 1;
    const int binade = std::min(exponent, kHighestExponent) - kLowestExponent;
    const int fraction = exponent > kHighestExponent ? (1 << kBucketBits) - 1
                                                     : int((bits >> (23 - kBucketBits)) & ((1u << kBucketBits) - 1));
    return 1 + (binade << kBucketBits) + fraction;
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
        (std::uint32_t(kLowestExponent) << 23) + (std::uint32_t(bucket - 1) << (23 - kBucketBits));
    const std::uint32_t last = first + (1u << (23 - kBucketBits)) - 1;
    const double high = bucket == meanBuckets() - 1 ? std::numeric_limits<double>::infinity() : floatOfBits(last);
    // The first bucket after 0 also holds the means below its binade.
    const double low = bucket == 1 ? 0.0 : floatOfBits(first) * (1.0 - kWidening);
    return {low, high * (1.0 + kWidening)};
}

std::int64_t percentileRank(std::int64_t pixels)
{
    return std::max<std::int64_t>(1, (9 * pixels + 9) / 10);
}

PercentileSearch::PercentileSearch(std::int64_t pixels, const std::vector<MeanTally>& tallies) : pixels_(pixels)
{
    std::vector<std::int64_t> counts(meanBuckets(), 0);
    for (const MeanTally& tally : tallies) {
        total_ += tally.total;
        for (std::size_t b = 0; b < counts.size(); ++b) counts[b] += tally.counts[b];
    }
    const std::int64_t rank = percentileRank(pixels);
    std::int64_t seen = 0;
    for (int b = 0; b < int(counts.size()); ++b) {
        if (seen + counts[b] >= rank) {
            bucket_ = b;
            bucketCount_ = counts[b];
            rankInBucket_ = rank - seen;
            return;
        }
        seen += counts[b];
    }
    CV_Error(cv::Error::StsInternal, "the means counted are fewer than the pixels");
}

double PercentileSearch::select(const std::vector<std::vector<double>>& bucketMeans) const
{
    std::vector<double> all;
    all.reserve(std::size_t(bucketCount_));
    for (const std::vector<double>& part : bucketMeans) all.insert(all.end(), part.begin(), part.end());
    CV_Assert(std::int64_t(all.size()) == bucketCount_);
    const auto nth = all.begin() + (rankInBucket_ - 1);
    std::nth_element(all.begin(), nth, all.end());
    return *nth;
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
