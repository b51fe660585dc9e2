// The row kernels for processors with AVX-512 (F, BW, DQ and VL, as Skylake-X and later have them):
// this file alone is compiled with those sets (and without FMA contraction, whose single rounding
// would change results). Sixteen pixels' distances and roots at once, the running sums, the prefix
// sums and the gray levels eight doubles at once; the other loops are compiled again for 512-bit
// vectors, and the few kernels that gain nothing from the width are those of AVX and AVX2, compiled
// again from row_kernel_avx_common.hpp.
#include "row_kernels.hpp"

#ifdef DOFMAP_HAVE_AVX_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

namespace dofmap::kernels::avx512 {

#define DOFMAP_OWN_GRAY_TO_THREE_CHANNELS
#define DOFMAP_OWN_PIXEL_ROWS
#define DOFMAP_OWN_LEVELS_OF_MEANS
#include "row_kernel_loops.hpp"
#undef DOFMAP_OWN_LEVELS_OF_MEANS
#undef DOFMAP_OWN_PIXEL_ROWS
#undef DOFMAP_OWN_GRAY_TO_THREE_CHANNELS

// The kernels that gain nothing from the width, or run too seldom to matter: AVX2's expansion of
// gray levels, AVX's grid sums and gathering, compiled again here.
#define DOFMAP_OWN_PREFIX_SUMS
#define DOFMAP_OWN_GRAY_LEVELS
#define DOFMAP_OWN_LARGEST_OF
#define DOFMAP_OWN_FIRST_AT_LEAST
#define DOFMAP_OWN_FLOAT_MEANS
#define DOFMAP_AVX2_INTRINSICS
#include "row_kernel_avx_common.hpp"
#undef DOFMAP_AVX2_INTRINSICS
#undef DOFMAP_OWN_FLOAT_MEANS
#undef DOFMAP_OWN_FIRST_AT_LEAST
#undef DOFMAP_OWN_LARGEST_OF
#undef DOFMAP_OWN_GRAY_LEVELS
#undef DOFMAP_OWN_PREFIX_SUMS

namespace {

// The pixels of one vector of roots.
constexpr int kPixels = 16;

// A 64-byte load at the first byte of pixel i stays within a row of BGR pixels while this many
// pixels remain: 3 * 22 >= 64. Masked loads, which would need no such margin, run far slower, and
// serve only for the last sixteen pixels.
constexpr int kPixelsUnderLoad = 22;

// The ring scan fetches the photo rows this many bytes ahead without letting them into L2, where
// the ring of roots lives: some forty groups of sixteen pixels ahead, so that a line comes from
// memory before the scan reaches it, while few fetches fall past the end of the rows being read.
constexpr int kPrefetchAhead = 2048;

// The 64 bytes from p on, or when `whole` is false only the 48 bytes of sixteen pixels (the rest
// zero): a masked load, slower, for the last sixteen pixels of a row.
__m512i load64(const std::uint8_t* p, bool whole)
{
    return whole ? _mm512_loadu_si512(p) : _mm512_maskz_loadu_epi8(__mmask64(0xFFFFFFFFFFFF), p);
}

// The squared distances of sixteen pixels, 48 interleaved bytes, from `source` and `blurred` on
// (reading 64 bytes of each unless `whole` is false):
// the absolute differences of the bytes, their 32-bit words spread so that lane k holds bytes 12k to
// 12k + 15 (four whole pixels); in each lane blue and green widened to 16-bit pairs and red paired
// with zero, each multiplied with itself and summed in pairs.
__m512i squaredOfSixteen(const std::uint8_t* source, const std::uint8_t* blurred, bool whole = true)
{
    const __m512i blueGreen =
        _mm512_broadcast_i32x4(_mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1));
    const __m512i red =
        _mm512_broadcast_i32x4(_mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1));
    const __m512i spread = _mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12);
    const __m512i s = load64(source, whole);
    const __m512i b = load64(blurred, whole);
    const __m512i d = _mm512_permutexvar_epi32(spread, _mm512_sub_epi8(_mm512_max_epu8(s, b), _mm512_min_epu8(s, b)));
    const __m512i bg = _mm512_shuffle_epi8(d, blueGreen);
    const __m512i r = _mm512_shuffle_epi8(d, red);
    return _mm512_add_epi32(_mm512_madd_epi16(bg, bg), _mm512_madd_epi16(r, r));
}

// Calls group(i, squared) for the squared distances of each sixteen pixels i to i + 15 of a row of
// `count` pixels, while sixteen remain; returns the first pixel left. Plain loads while they stay
// within the row, one masked load for the last group.
template <class Group>
int inGroupsOfSixteen(const std::uint8_t* source, const std::uint8_t* blurred, int count, Group group)
{
    int i = 0;
    for (; count - i >= kPixelsUnderLoad; i += kPixels) group(i, squaredOfSixteen(source + 3 * i, blurred + 3 * i));
    if (count - i >= kPixels) {
        group(i, squaredOfSixteen(source + 3 * i, blurred + 3 * i, false));
        i += kPixels;
    }
    return i;
}

// The correctly rounded single-precision roots of sixteen squared distances (exact as floats, below
// 2^24).
__m512 rootsOfSixteen(__m512i squared)
{
    return _mm512_sqrt_ps(_mm512_cvtepi32_ps(squared));
}

__m512d lowHalf(__m512 values)
{
    return _mm512_cvtps_pd(_mm512_castps512_ps256(values));
}

__m512d highHalf(__m512 values)
{
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(values), 1)));
}

// sums[0..15] += the sixteen floats widened to double.
void addWidened(double* sums, __m512 values)
{
    _mm512_storeu_pd(sums, _mm512_add_pd(_mm512_loadu_pd(sums), lowHalf(values)));
    _mm512_storeu_pd(sums + 8, _mm512_add_pd(_mm512_loadu_pd(sums + 8), highHalf(values)));
}

}  // namespace

void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared)
{
    const int i = inGroupsOfSixteen(source, blurred, count,
                                    [&](int at, __m512i values) { _mm512_storeu_si512(squared + at, values); });
    avx2::squaredDistances(source + 3 * i, blurred + 3 * i, count - i, squared + i);
}

// The loops of addRow, replaceRow and addDistances on sixteen pixels at a time, their squared
// distances kept in a register; the same operations in the same order, so the same bits.

void addPixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots, double* columnSums)
{
    const int i = inGroupsOfSixteen(source, blurred, count, [&](int at, __m512i squared) {
        const __m512 fresh = rootsOfSixteen(squared);
        _mm512_storeu_ps(roots + at, fresh);
        addWidened(columnSums + at, fresh);
    });
    avx2::addPixelRow(source + 3 * i, blurred + 3 * i, count - i, roots + i, columnSums + i);
}

void replacePixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots,
                     double* columnSums)
{
    const int i = inGroupsOfSixteen(source, blurred, count, [&](int at, __m512i squared) {
        // Prefetches never fault, so they may reach past the row.
        _mm_prefetch(reinterpret_cast<const char*>(source + 3 * at + kPrefetchAhead), _MM_HINT_NTA);
        _mm_prefetch(reinterpret_cast<const char*>(blurred + 3 * at + kPrefetchAhead), _MM_HINT_NTA);
        const __m512 fresh = rootsOfSixteen(squared);
        const __m512 old = _mm512_loadu_ps(roots + at);
        _mm512_storeu_ps(roots + at, fresh);
        // columnSums[at] += double(fresh) - double(old), eight at a time.
        double* sums = columnSums + at;
        _mm512_storeu_pd(sums, _mm512_add_pd(_mm512_loadu_pd(sums), _mm512_sub_pd(lowHalf(fresh), lowHalf(old))));
        _mm512_storeu_pd(sums + 8,
                         _mm512_add_pd(_mm512_loadu_pd(sums + 8), _mm512_sub_pd(highHalf(fresh), highHalf(old))));
    });
    avx2::replacePixelRow(source + 3 * i, blurred + 3 * i, count - i, roots + i, columnSums + i);
}

void addPixelDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, double* sums)
{
    const int i = inGroupsOfSixteen(source, blurred, count,
                                    [&](int at, __m512i squared) { addWidened(sums + at, rootsOfSixteen(squared)); });
    avx2::addPixelDistances(source + 3 * i, blurred + 3 * i, count - i, sums + i);
}

namespace {

// Lane j of `v` moved to lane j + lanes, zeros below.
__m512d shiftedUp(__m512d v, int lanes)
{
    const __m512i from = _mm512_sub_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7), _mm512_set1_epi64(lanes));
    return _mm512_castsi512_pd(_mm512_maskz_permutexvar_epi64(__mmask8(0xFF << lanes), from, _mm512_castpd_si512(v)));
}

// The running sums of eight values within their vector: three shifted additions.
__m512d runningSums(__m512d v)
{
    v = _mm512_add_pd(v, shiftedUp(v, 1));
    v = _mm512_add_pd(v, shiftedUp(v, 2));
    return _mm512_add_pd(v, shiftedUp(v, 4));
}

__m512d lastInEveryLane(__m512d v)
{
    return _mm512_permutexvar_pd(_mm512_set1_epi64(7), v);
}

}  // namespace

// 32 sums at a time: four groups of eight summed within their vectors independently, then each
// shifted by the total before it, the totals of the groups added in a tree so that only one
// addition per 32 values waits on the one before. Exact, as the portable version, since all sums
// are exact.
void prefixSums(const double* values, int count, double start, double* prefix)
{
    prefix[0] = start;
    __m512d before = _mm512_set1_pd(start);
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m512d a = runningSums(_mm512_loadu_pd(values + i));
        const __m512d b = runningSums(_mm512_loadu_pd(values + i + 8));
        const __m512d c = runningSums(_mm512_loadu_pd(values + i + 16));
        const __m512d d = runningSums(_mm512_loadu_pd(values + i + 24));
        const __m512d ta = lastInEveryLane(a), tb = lastInEveryLane(b), tc = lastInEveryLane(c),
                      td = lastInEveryLane(d);
        const __m512d tab = _mm512_add_pd(ta, tb);
        _mm512_storeu_pd(prefix + i + 1, _mm512_add_pd(a, before));
        _mm512_storeu_pd(prefix + i + 9, _mm512_add_pd(b, _mm512_add_pd(before, ta)));
        _mm512_storeu_pd(prefix + i + 17, _mm512_add_pd(c, _mm512_add_pd(before, tab)));
        _mm512_storeu_pd(prefix + i + 25, _mm512_add_pd(d, _mm512_add_pd(before, _mm512_add_pd(tab, tc))));
        before = _mm512_add_pd(before, _mm512_add_pd(tab, _mm512_add_pd(tc, td)));
    }
    for (; i + 8 <= count; i += 8) {
        const __m512d sums = _mm512_add_pd(runningSums(_mm512_loadu_pd(values + i)), before);
        _mm512_storeu_pd(prefix + i + 1, sums);
        before = lastInEveryLane(sums);
    }
    double running = prefix[i];
    for (; i < count; ++i) prefix[i + 1] = running += values[i];
}

namespace {

// Rounds levels eight at a time as the portable loops do: to the nearest integer (halves to even),
// plus kDoubtful where exactness::inDoubt.
class LevelRounding {
public:
    explicit LevelRounding(const LevelError& error)
        : relative_(_mm512_set1_pd(error.relative)),
          limit_(_mm512_set1_pd(0.5 - error.absolute))
    {
    }

    // The sixteen levels `low` then `high`, rounded; `any` gathers the lanes in doubt.
    __m512i operator()(__m512d low, __m512d high, __mmask8& any) const
    {
        return _mm512_inserti64x4(_mm512_castsi256_si512(eight(low, any)), eight(high, any), 1);
    }

    // The gray bytes of sixteen rounded levels: clamped at 255 (a level in doubt among them) and
    // narrowed.
    static __m128i grays(__m512i levels)
    {
        return _mm512_cvtepi32_epi8(_mm512_min_epi32(levels, _mm512_set1_epi32(255)));
    }

private:
    __m256i eight(__m512d level, __mmask8& any) const
    {
        const __m512d shift = _mm512_set1_pd(0x1p52);
        const __m512d nearest = _mm512_sub_pd(_mm512_add_pd(level, shift), shift);
        const __m512d distance = _mm512_abs_pd(_mm512_sub_pd(level, nearest));
        const __mmask8 doubt =
            _mm512_cmp_pd_mask(_mm512_add_pd(distance, _mm512_mul_pd(level, relative_)), limit_, _CMP_GE_OQ);
        any |= doubt;
        return _mm512_cvttpd_epi32(_mm512_mask_add_pd(nearest, doubt, nearest, _mm512_set1_pd(double(kDoubtful))));
    }

    const __m512d relative_;
    const __m512d limit_;
};

}  // namespace

// Sixteen levels at a time, eight to a register, as the portable loops compute them.
bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray)
{
    const __m512d scale = _mm512_set1_pd(rowScale);
    const LevelRounding rounded(error);
    const auto level = [&](int at) {
        return _mm512_mul_pd(_mm512_mul_pd(_mm512_loadu_pd(boxSums + at), _mm512_loadu_pd(columnScale + at)), scale);
    };
    __mmask8 any = 0;
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512i both = rounded(level(i), level(i + 8), any);
        _mm512_storeu_si512(levels + i, both);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(gray + i), LevelRounding::grays(both));
    }
    const bool rest = avx2::grayLevels(boxSums + i, columnScale + i, rowScale, count - i, error, levels + i, gray + i);
    return rest || any != 0;
}

// The largest of 32 values at a time in four registers, the rest one by one.
double largestOf(const double* values, int count)
{
    double largest = values[0];
    int i = 0;
    if (count >= 32) {
        __m512d a = _mm512_loadu_pd(values), b = _mm512_loadu_pd(values + 8), c = _mm512_loadu_pd(values + 16),
                d = _mm512_loadu_pd(values + 24);
        for (i = 32; i + 32 <= count; i += 32) {
            a = _mm512_max_pd(a, _mm512_loadu_pd(values + i));
            b = _mm512_max_pd(b, _mm512_loadu_pd(values + i + 8));
            c = _mm512_max_pd(c, _mm512_loadu_pd(values + i + 16));
            d = _mm512_max_pd(d, _mm512_loadu_pd(values + i + 24));
        }
        largest = _mm512_reduce_max_pd(_mm512_max_pd(_mm512_max_pd(a, b), _mm512_max_pd(c, d)));
    }
    for (; i < count; ++i) largest = values[i] > largest ? values[i] : largest;
    return largest;
}

// Thirty-two values compared at a time, eight to a register, the loop left at the first group that
// holds one at least the threshold.
int firstAtLeast(const double* values, int count, double threshold)
{
    const __m512d least = _mm512_set1_pd(threshold);
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const __mmask8 a = _mm512_cmp_pd_mask(_mm512_loadu_pd(values + i), least, _CMP_GE_OQ);
        const __mmask8 b = _mm512_cmp_pd_mask(_mm512_loadu_pd(values + i + 8), least, _CMP_GE_OQ);
        const __mmask8 c = _mm512_cmp_pd_mask(_mm512_loadu_pd(values + i + 16), least, _CMP_GE_OQ);
        const __mmask8 d = _mm512_cmp_pd_mask(_mm512_loadu_pd(values + i + 24), least, _CMP_GE_OQ);
        if ((a | b | c | d) != 0) break;
    }
    while (i < count && !(values[i] >= threshold)) ++i;
    return i;
}

// Sixteen means at a time, written with streaming stores from the first 64-byte boundary on, so
// that the table of means does not push the ring of roots out of the caches; the largest sum kept
// on the way.
double floatMeans(const double* boxSums, const double* columnScale, double rowScale, int count, float* floats)
{
    const __m512d scale = _mm512_set1_pd(rowScale);
    double largest = 0.0;
    int i = 0;
    for (; i < count && (reinterpret_cast<std::uintptr_t>(floats + i) & 63) != 0; ++i) {
        floats[i] = float(boxSums[i] * columnScale[i] * rowScale);
        largest = std::max(largest, boxSums[i]);
    }
    __m512d top = _mm512_set1_pd(largest);
    for (; i + 16 <= count; i += 16) {
        const __m512d low = _mm512_loadu_pd(boxSums + i), high = _mm512_loadu_pd(boxSums + i + 8);
        top = _mm512_max_pd(top, _mm512_max_pd(low, high));
        const __m256 lowMeans =
            _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_mul_pd(low, _mm512_loadu_pd(columnScale + i)), scale));
        const __m256 highMeans =
            _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_mul_pd(high, _mm512_loadu_pd(columnScale + i + 8)), scale));
        _mm512_stream_ps(floats + i, _mm512_insertf32x8(_mm512_castps256_ps512(lowMeans), highMeans, 1));
    }
    largest = _mm512_reduce_max_pd(top);
    for (; i < count; ++i) {
        floats[i] = float(boxSums[i] * columnScale[i] * rowScale);
        largest = std::max(largest, boxSums[i]);
    }
    return largest;
}

// Sixteen levels at a time, as grayLevels takes them, from means widened to double; the gray bytes
// written with streaming stores where they are aligned, since the map is read again only once it
// is complete.
bool grayLevelsOfMeans(const float* means, int count, double toLevel, LevelError error, std::int32_t* levels,
                       std::uint8_t* gray)
{
    const __m512d scale = _mm512_set1_pd(toLevel);
    const LevelRounding rounded(error);
    const auto level = [&](int at) { return _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(means + at)), scale); };
    __mmask8 any = 0;
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512i both = rounded(level(i), level(i + 8), any);
        if (levels != nullptr) _mm512_storeu_si512(levels + i, both);
        const __m128i bytes = LevelRounding::grays(both);
        if ((reinterpret_cast<std::uintptr_t>(gray + i) & 15) == 0)
            _mm_stream_si128(reinterpret_cast<__m128i*>(gray + i), bytes);
        else
            _mm_storeu_si128(reinterpret_cast<__m128i*>(gray + i), bytes);
    }
    const bool rest = avx2::grayLevelsOfMeans(means + i, count - i, toLevel, error,
                                              levels != nullptr ? levels + i : nullptr, gray + i);
    return rest || any != 0;
}

}  // namespace dofmap::kernels::avx512

#endif
