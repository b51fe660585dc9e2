// The row kernels for processors with AVX: this file alone is compiled with -mavx. The squared
// distances of interleaved color bytes are written with intrinsics here, the work over rows of
// doubles that the compiler vectorizes poorly (running sums, gray levels, searches, float means,
// grid sums, the statistics' gathering) with intrinsics in row_kernel_avx_common.hpp, which the wider
// sets compile again; the others are the plain loops, vectorized by the compiler.
#include "row_kernels.hpp"

#ifdef DOFMAP_HAVE_AVX_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

namespace dofmap::kernels::avx {

#include "row_kernel_loops.hpp"

namespace {

__m128i load16(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__m128i absoluteDifference(__m128i a, __m128i b)
{
    return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
}

// The squared distances of four pixels whose byte differences `differences` holds at the indices
// that `blueGreen` and `red` pick: blue and green widened to 16-bit pairs, red paired with zero,
// each multiplied with itself and summed in pairs.
__m128i sumsOfSquares(__m128i differences, __m128i blueGreen, __m128i red)
{
    const __m128i bg = _mm_shuffle_epi8(differences, blueGreen);
    const __m128i r = _mm_shuffle_epi8(differences, red);
    return _mm_add_epi32(_mm_madd_epi16(bg, bg), _mm_madd_epi16(r, r));
}

}  // namespace

// 16 pixels, 48 interleaved bytes, at a time: a group of four pixels starts at byte 0, 12, 24 or 36.
void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared)
{
    const __m128i blueGreen = _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
    const __m128i red = _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m128i blueGreenFrom4 = _mm_setr_epi8(4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1);
    const __m128i redFrom4 = _mm_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const std::uint8_t* s = source + 3 * i;
        const std::uint8_t* b = blurred + 3 * i;
        const __m128i d0 = absoluteDifference(load16(s), load16(b));
        const __m128i d1 = absoluteDifference(load16(s + 16), load16(b + 16));
        const __m128i d2 = absoluteDifference(load16(s + 32), load16(b + 32));
        __m128i* out = reinterpret_cast<__m128i*>(squared + i);
        _mm_storeu_si128(out, sumsOfSquares(d0, blueGreen, red));
        _mm_storeu_si128(out + 1, sumsOfSquares(_mm_alignr_epi8(d1, d0, 12), blueGreen, red));
        _mm_storeu_si128(out + 2, sumsOfSquares(_mm_alignr_epi8(d2, d1, 8), blueGreen, red));
        _mm_storeu_si128(out + 3, sumsOfSquares(d2, blueGreenFrom4, redFrom4));
    }
    portable::squaredDistances(source + 3 * i, blurred + 3 * i, count - i, squared + i);
}

#include "row_kernel_avx_common.hpp"

}  // namespace dofmap::kernels::avx

#endif
