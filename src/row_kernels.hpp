// Row kernels of the neighbourhood scan: plain loops over contiguous rows that the compiler
// vectorises for the processor at hand.
#pragma once

#include <cmath>
#include <cstdint>

namespace dofmap::kernels {

// The colour distance sqrt(squared) as the scan keeps it: the correctly rounded single-precision
// root. For squared >= 1 it is a multiple of 2^-23.
inline float rootOf(std::int32_t squared) { return std::sqrt(float(squared)); }

// The value that the scan sums for a distance `root`. With scale 1, the root itself: every root
// of an integer >= 1 is a multiple of 2^-23, so sums of them below 2^30 are exact. Otherwise
// root * scale (a power of two below 2^23) rounded to an integer, halves to even, for sums too large
// for 23 fraction bits. The kernels below use this same function, so every copy of a distance
// agrees to the bit.
inline double fixedPoint(float root, double scale)
{
    if (scale == 1.0) return double(root);
    const double scaled = double(root) * scale;
    return (scaled + 0x1p52) - 0x1p52;  // exact rounding to an integer below 2^51
}

// The gray level that the kernels compute for a box sum: (sum * columnScale) * rowScale.
inline double levelOf(double boxSum, double columnScale, double rowScale) { return boxSum * columnScale * rowScale; }

// squared[i] = squared colour distance between pixel i of the BGR rows `source` and `blurred`.
void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared);


// roots[i] = rootOf(squared[i]); columnSums[i] += fixedPoint(roots[i], scale).
void addRow(const std::int32_t* squared, int count, double scale, float* roots, double* columnSums);

// columnSums[i] -= fixedPoint(roots[i], scale).
void subtractRow(const float* roots, int count, double scale, double* columnSums);

// sums[i] += fixedPoint(rootOf(squared[i]), scale).
void addDistances(const std::int32_t* squared, int count, double scale, double* sums);

// Replaces one row of the running column sums by another: with r = rootOf(squared[i]),
// columnSums[i] += fixedPoint(r, scale) - fixedPoint(roots[i], scale), then roots[i] = r.
void replaceRow(const std::int32_t* squared, int count, double scale, float* roots, double* columnSums);

// prefix[0] = 0, prefix[i + 1] = prefix[i] + values[i]. The values are integers and every prefix
// sum stays below 2^53, so the sums are exact and their grouping does not matter.
void prefixSums(const double* values, int count, double* prefix);

// The kernels above that are vectorised by hand, in plain C++ for any processor: their reference.
namespace portable {
void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared);
void prefixSums(const double* values, int count, double* prefix);
}  // namespace portable

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

}  // namespace dofmap::kernels
