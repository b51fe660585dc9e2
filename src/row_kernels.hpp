// Row kernels of the neighbourhood scan: loops over contiguous rows, vectorised for the processor
// at hand.
#pragma once

#include <cmath>
#include <cstdint>

namespace dofmap::kernels {

// The colour distance sqrt(squared) as the scan sums it: the correctly rounded single-precision
// root. For squared >= 1 it is a multiple of 2^-23, so sums of up to 2^53 / 2^23 / 441.68 roots
// (2.4 million) are exact in double precision, in any order.
inline float rootOf(std::int32_t squared)
{
    return std::sqrt(float(squared));
}

// The gray level that the kernels compute for a box sum: (sum * columnScale) * rowScale.
inline double levelOf(double boxSum, double columnScale, double rowScale)
{
    return boxSum * columnScale * rowScale;
}

// squared[i] = squared colour distance between pixel i of the BGR rows `source` and `blurred`.
void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared);

// roots[i] = rootOf(squared[i]); columnSums[i] += roots[i].
void addRow(const std::int32_t* squared, int count, float* roots, double* columnSums);

// columnSums[i] -= roots[i].
void subtractRow(const float* roots, int count, double* columnSums);

// sums[i] += rootOf(squared[i]).
void addDistances(const std::int32_t* squared, int count, double* sums);

// Replaces one row of the running column sums by another: with r = rootOf(squared[i]),
// columnSums[i] += r - roots[i], then roots[i] = r.
void replaceRow(const std::int32_t* squared, int count, float* roots, double* columnSums);

// prefix[0] = 0, prefix[i + 1] = prefix[i] + values[i]. The values are sums of roots and every
// prefix sum holds few enough roots to be exact, so the grouping of the additions does not matter.
void prefixSums(const double* values, int count, double* prefix);

// out[i] = high[i] - low[i].
void differences(const double* high, const double* low, int count, double* out);

// How far a computed gray level may lie from the exact one: level * relative + absolute.
struct LevelError {
    double relative;
    double absolute;
};

// Whether `level` lies so near a half-integer that the exact level, within `error` of it, might
// round to another integer than `nearest`, the integer nearest to `level`.
inline bool inDoubt(double level, double nearest, const LevelError& error)
{
    return std::fabs(level - nearest) + level * error.relative >= 0.5 - error.absolute;
}

// Added to a level in doubt by grayLevels.
constexpr std::int32_t kDoubtful = 1 << 16;

// levels[i] = levelOf(boxSums[i], columnScale[i], rowScale) rounded to the nearest integer (halves
// to even), plus kDoubtful where inDoubt; gray[i] = min(levels[i], 255). Levels must lie in
// [0, 2^15). Returns whether any level is in doubt: the caller settles those pixels otherwise.
bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray);

// out[3 * i + c] = gray[i] for the three channels c.
void grayToThreeChannels(const std::uint8_t* gray, int count, std::uint8_t* out);

// The kernels that are vectorised by hand, in plain C++ for any processor: their reference.
namespace portable {
void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared);
void prefixSums(const double* values, int count, double* prefix);
bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray);
}  // namespace portable

}  // namespace dofmap::kernels
