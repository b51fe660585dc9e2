// The error analysis that lets fast box sums stand in for the literal summation: how far a fast mean
// or gray level may lie from the literal one, so that only the pixels in doubt are summed literally.
#pragma once

#include <algorithm>
#include <cstdint>

// How the map is computed exactly in linear time.
//
// The literal definition sums, for every pixel, the n <= window^2 color distances of its clipped
// neighborhood in double precision in a fixed order (columns outer, rows inner, from 0.0) and
// divides by n. Each distance is t = sqrt(s) for an integer s = d0^2 + d1^2 + d2^2, and the literal
// code computes it as the correctly rounded double root, so t is the same in both computations.
//
// The fast scan replaces each t by a term tau that can be summed exactly in any order:
//   - the correctly rounded single-precision root (the default): a multiple of 2^-23 for s >= 1,
//     within 2^-24 t of sqrt(s), so |tau - t| <= (2^-24 + u) t;
//   - for wide windows, t rounded to a multiple of 2^-k ("fixed point", k chosen per image so that
//     every sum fits): |tau - t| <= 2^-(k+1) <= 2^-(k+1) t, since t is 0 or at least 1.
// Box sums Q = sum of tau over a neighborhood are kept with running column sums and prefix sums
// along rows that hold them exactly (double precision while the values have few enough bits, 64-bit
// integers beyond), so every box sum is the same whoever computes it and in whatever order.
//
// With u = 2^-53 and gamma(m) = m u / (1 - m u), and writing T = sum of t:
//   |Q - T|       <= termRoundoff * T                       (the terms above)
//   |L - T|       <= gamma(n - 1) * T                       (the literal recursive sum L of
//                                                            nonnegative terms)
//   fast mean F = Q / n with at most five roundings, the literal mean = L / n with one,
// so |F - literal mean| <= (termRoundoff + gamma(n - 1) + 8u) * F * (1 + 2^-20): the last factor
// covers the second-order terms (T, Q and L / n all lie within 10^-6 of F, relatively). ErrorBound
// holds that relative bound. A gray level is taken from the fast mean only when the whole interval
// allowed by the bound rounds to one level; otherwise, and for every pixel that may hold the
// largest mean, the mean is summed in the literal order. Since all distances are 0 or at least 1,
// Q == 0 exactly when the literal mean is 0.
//
// For wide windows gamma(n - 1) dominates, and it assumes that every addition errs by half a unit of
// the final sum. A level still in doubt is first tested against a bound of its own neighborhood's
// literal sum (LiteralSumBounds): each addition errs by at most half a unit of the partial sum at
// that point, which block totals bound column by column. Only the levels still in doubt under that
// bound are summed literally.

namespace dofmap::exactness {

// The unit roundoff of double precision.
constexpr double kUnitRoundoff = 0x1p-53;
// How far a correctly rounded single-precision root may lie from the true root, relatively.
constexpr double kFloatRootRoundoff = 0x1p-24;
// The largest squared color distance, 3 * 255^2.
constexpr std::int32_t kLargestSquaredDistance = 3 * 255 * 255;
// The largest color distance, sqrt(3 * 255^2), rounded up.
constexpr double kLargestDistance = 441.68;
// The most single-precision roots whose sum stays below 2^30, and so exact in double precision with
// their 23 fraction bits.
constexpr std::int64_t kExactFloatRoots = std::int64_t(0x1p30 / kLargestDistance);
// Single-precision roots in units of 2^-23 are integers.
constexpr double kFloatRootUnits = 0x1p23;

// |literal mean - fast mean| <= relative * fast mean, for means of at most `maxTerms` terms each
// within termRoundoff of its double root, relatively.
struct ErrorBound {
    double relative;

    ErrorBound(std::int64_t maxTerms, double termRoundoff)
    {
        const double k = double(std::max<std::int64_t>(maxTerms - 1, 1)) * kUnitRoundoff;
        const double gamma = k / (1.0 - k);
        relative = (termRoundoff + gamma + 8.0 * kUnitRoundoff) * (1.0 + 0x1p-20);
    }
    double operator()(double mean) const { return mean * relative; }
};

// The bound for the single-precision roots, which also covers the means of any scan with fewer terms.
inline ErrorBound floatRootBound(std::int64_t maxTerms)
{
    return ErrorBound(maxTerms, kFloatRootRoundoff + kUnitRoundoff);
}

// How far a computed gray level may lie from the literal one: level * relative + absolute.
struct LevelError {
    double relative;
    double absolute;
};

// The error of gray levels w = boxSum * (1 / columns) * ((1 / rows) * (255 / maxMean)) computed
// from fast box sums, against the literal (mean / maxMean) * 255: the mean's bound, plus the
// roundings of w on both sides (the factors, their products, the literal division and product).
inline LevelError levelError(double meanRelative)
{
    return {meanRelative + 16.0 * kUnitRoundoff, 2.0 * 255.0 * 16.0 * kUnitRoundoff};
}
inline LevelError levelError(const ErrorBound& bound)
{
    return levelError(bound.relative);
}

// The bound of a fast mean F rounded to single precision, F' = float(F), relatively to F', for a
// bound `meanRelative` of F: |F' - F| <= 2^-24 F and F <= F' (1 + 2^-23), since F is 0 or at least
// 1 / n for n positions, far above the least normal float.
inline double floatMeanBound(double meanRelative)
{
    return (meanRelative + kFloatRootRoundoff) * (1.0 + 0x1p-23);
}

// The relative bound of one fast mean F of n terms, each within termRoundoff of its double root,
// whose literal sum lies within literalError of the exact sum of those roots (as
// LiteralSumBounds bounds it for one neighborhood): as ErrorBound, with that error in place of
// gamma(n - 1) times the sum (the sum lies within 10^-6 of n F).
inline double meanBound(double mean, std::int64_t n, double termRoundoff, double literalError)
{
    return (termRoundoff + literalError / (double(n) * mean) * (1.0 + 1e-6) + 8.0 * kUnitRoundoff) * (1.0 + 0x1p-20);
}

// Whether `level` lies so near a half-integer that the exact level, within `error` of it, might
// round to another integer than `nearest`, the integer nearest to `level`.
inline bool inDoubt(double level, double nearest, const LevelError& error)
{
    const double distance = level > nearest ? level - nearest : nearest - level;
    return distance + level * error.relative >= 0.5 - error.absolute;
}

}  // namespace dofmap::exactness
