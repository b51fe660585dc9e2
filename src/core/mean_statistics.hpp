// Running statistics of the fast means: their sum for the average, and a histogram that locates the
// 90th percentile, which a second pass then picks exactly from the means of one bucket.
#pragma once

#include "box_scan.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace dofmap::detail {

// The bucket of a mean (>= 0): buckets are ordered as the means are, each binade of the means'
// single-precision values split into 2048 buckets, 0 for a mean of 0.
int meanBucket(double mean);

// The number of buckets of meanBucket.
int meanBuckets();

// A range [first, second] that holds every mean of `bucket` (and maybe a few of its neighbors'):
// a cheap test before meanBucket.
std::pair<double, double> meanBucketBounds(int bucket);

// What one part of a scan counts: its means by bucket, and their sum.
struct MeanTally {
    std::vector<std::uint32_t> counts = std::vector<std::uint32_t>(meanBuckets(), 0);
    long double total = 0.0L;

    void add(double mean)
    {
        ++counts[meanBucket(mean)];
        total += mean;
    }
};

// The average and the nearest-rank 90th percentile of the means of all `pixels` pixels, from the
// tallies of one pass over all of them and the means of the percentile's bucket from another.
class PercentileSearch {
public:
    PercentileSearch(std::int64_t pixels, const std::vector<MeanTally>& tallies);

    double average() const { return double(total_ / pixels_); }
    // The bucket that holds the mean of the percentile's rank, and how many means it holds.
    int bucket() const { return bucket_; }
    std::int64_t bucketCount() const { return bucketCount_; }

    // The percentile, from every mean of bucket() (in any order, split in any way).
    double select(const std::vector<std::vector<double>>& bucketMeans) const;

private:
    std::int64_t pixels_;
    long double total_ = 0.0L;
    int bucket_ = 0;
    std::int64_t bucketCount_ = 0;
    // The rank of the percentile among the means of its bucket, from 1.
    std::int64_t rankInBucket_ = 1;
};

// The rank of the nearest-rank 90th percentile among `pixels` values: ceil(0.9 pixels), from 1.
std::int64_t percentileRank(std::int64_t pixels);

// The `rank`-th smallest fast mean (from 1) of the scan, all means lying in [0, upper], by
// successive passes that narrow the range: for a bucket too full to collect in one pass.
double fastMeanOfRank(const BoxScan& scan, std::int64_t rank, double upper);

}  // namespace dofmap::detail
