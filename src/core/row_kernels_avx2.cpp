// The row kernels for processors with AVX2: this file alone is compiled with -mavx2 (and without FMA,
// whose single rounding would change results). AVX2 widens the integer work to 256 bits: the
// squared distances from interleaved color bytes and the row kernels that take their roots straight
// from the pixels are written with intrinsics here, the expansion of gray levels to three channels
// in row_kernel_avx_common.hpp; the other loops over floats and doubles are compiled again for
// AVX2, and the work that AVX already runs at 256 bits in double precision is AVX's, compiled again
// from row_kernel_avx_common.hpp.
#include "row_kernels.hpp"

#ifdef DOFMAP_HAVE_AVX_KERNELS

#include <immintrin.h>

namespace dofmap::kernels::avx2 {

#define DOFMAP_OWN_GRAY_TO_THREE_CHANNELS
#define DOFMAP_OWN_PIXEL_ROWS
#include "row_kernel_loops.hpp"
#undef DOFMAP_OWN_PIXEL_ROWS
#undef DOFMAP_OWN_GRAY_TO_THREE_CHANNELS

namespace {

// A 32-byte load at the first byte of pixel i stays within a row of BGR pixels while this many
// pixels remain: 3 * 11 >= 32.
constexpr int kPixelsUnderLoad = 11;

__m256i load32(const std::uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The squared distances of the eight pixels, 24 interleaved bytes, from `source` and `blurred` on:
// the absolute differences of 32 bytes, their 32-bit words spread so that the lower lane holds
// bytes 0 to 15 and the upper bytes 12 to 27 (four whole pixels each); in each lane blue and green
// widened to 16-bit pairs and red paired with zero, each multiplied with itself and summed in
// pairs. Reads 32 bytes from each, or when `whole` is false only the 24 bytes of the eight pixels
// (a masked load, for the last eight pixels of a row).
__m256i squaredOfEight(const std::uint8_t* source, const std::uint8_t* blurred, bool whole = true)
{
    const __m256i blueGreen = _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1, 0, -1, 1, -1, 3,
                                               -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
    const __m256i red = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 2, -1, -1, -1, 5,
                                         -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i pixelWords = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0);
    const auto load = [&](const std::uint8_t* p) {
        return whole ? load32(p) : _mm256_maskload_epi32(reinterpret_cast<const int*>(p), pixelWords);
    };
    const __m256i s = load(source);
    const __m256i b = load(blurred);
    const __m256i d =
        _mm256_permutevar8x32_epi32(_mm256_or_si256(_mm256_subs_epu8(s, b), _mm256_subs_epu8(b, s)), spread);
    const __m256i bg = _mm256_shuffle_epi8(d, blueGreen);
    const __m256i r = _mm256_shuffle_epi8(d, red);
    return _mm256_add_epi32(_mm256_madd_epi16(bg, bg), _mm256_madd_epi16(r, r));
}

// The correctly rounded single-precision roots of eight squared distances (exact as floats, below
// 2^24).
__m256 rootsOfEight(__m256i squared)
{
    return _mm256_sqrt_ps(_mm256_cvtepi32_ps(squared));
}

// sums[0..7] += the eight floats widened to double.
void addWidened(double* sums, __m256 values)
{
    _mm256_storeu_pd(sums, _mm256_add_pd(_mm256_loadu_pd(sums), _mm256_cvtps_pd(_mm256_castps256_ps128(values))));
    _mm256_storeu_pd(sums + 4,
                     _mm256_add_pd(_mm256_loadu_pd(sums + 4), _mm256_cvtps_pd(_mm256_extractf128_ps(values, 1))));
}

// Calls group(i, squared) for the squared distances of each eight pixels i to i + 7 of a row of
// `count` pixels, while eight remain; returns the first pixel left. Plain loads while they stay
// within the row, one masked load for the last group.
template <class Group>
int inGroupsOfEight(const std::uint8_t* source, const std::uint8_t* blurred, int count, Group group)
{
    int i = 0;
#pragma GCC unroll 4
    for (; count - i >= kPixelsUnderLoad; i += 8) group(i, squaredOfEight(source + 3 * i, blurred + 3 * i));
    if (count - i >= 8) {
        group(i, squaredOfEight(source + 3 * i, blurred + 3 * i, false));
        i += 8;
    }
    return i;
}

}  // namespace

void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared)
{
    const int i = inGroupsOfEight(source, blurred, count, [&](int at, __m256i values) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(squared + at), values);
    });
    portable::squaredDistances(source + 3 * i, blurred + 3 * i, count - i, squared + i);
}

// The loops of addRow, replaceRow and addDistances on eight pixels at a time, their squared
// distances kept in a register; the same operations in the same order, so the same bits.

void addPixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots, double* columnSums)
{
    const int i = inGroupsOfEight(source, blurred, count, [&](int at, __m256i squared) {
        const __m256 fresh = rootsOfEight(squared);
        _mm256_storeu_ps(roots + at, fresh);
        addWidened(columnSums + at, fresh);
    });
    portable::addPixelRow(source + 3 * i, blurred + 3 * i, count - i, roots + i, columnSums + i);
}

void replacePixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots,
                     double* columnSums)
{
    const int i = inGroupsOfEight(source, blurred, count, [&](int at, __m256i squared) {
        const __m256 fresh = rootsOfEight(squared);
        const __m256 old = _mm256_loadu_ps(roots + at);
        _mm256_storeu_ps(roots + at, fresh);
        // columnSums[at] += double(fresh) - double(old), four at a time.
        for (int half = 0; half < 2; ++half) {
            const __m128 freshHalf = half == 0 ? _mm256_castps256_ps128(fresh) : _mm256_extractf128_ps(fresh, 1);
            const __m128 oldHalf = half == 0 ? _mm256_castps256_ps128(old) : _mm256_extractf128_ps(old, 1);
            double* sums = columnSums + at + 4 * half;
            _mm256_storeu_pd(sums,
                             _mm256_add_pd(_mm256_loadu_pd(sums),
                                           _mm256_sub_pd(_mm256_cvtps_pd(freshHalf), _mm256_cvtps_pd(oldHalf))));
        }
    });
    portable::replacePixelRow(source + 3 * i, blurred + 3 * i, count - i, roots + i, columnSums + i);
}

void addPixelDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, double* sums)
{
    const int i = inGroupsOfEight(source, blurred, count,
                                  [&](int at, __m256i squared) { addWidened(sums + at, rootsOfEight(squared)); });
    portable::addPixelDistances(source + 3 * i, blurred + 3 * i, count - i, sums + i);
}

#define DOFMAP_AVX2_INTRINSICS
#include "row_kernel_avx_common.hpp"
#undef DOFMAP_AVX2_INTRINSICS

}  // namespace dofmap::kernels::avx2

#endif
