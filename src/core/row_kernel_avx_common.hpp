// The kernels written with intrinsics that several instruction sets run, included into the
// namespace of each of them and compiled with its flags, so that every set holds every kernel of the
// list (no include guard on purpose): AVX's over rows of doubles, which run at 256 bits already,
// into the AVX and AVX2 sets and, but for those that AVX-512 widens, into the AVX-512 set; AVX2's
// expansion of gray levels to three channels into the AVX2 and AVX-512 sets, which define
// DOFMAP_AVX2_INTRINSICS before including this file (rather than testing __AVX2__, which global
// flags such as -march=native set for the AVX set too). A set with a kernel of its own among them
// defines DOFMAP_OWN_<its name> before including this file.

#ifndef DOFMAP_OWN_PREFIX_SUMS
// Four sums at a time: within each group of four the running sums by two shifted additions, then
// the total of the groups before added. Exact, as the portable version, since all sums are exact.
void prefixSums(const double* values, int count, double start, double* prefix)
{
    prefix[0] = start;
    __m256d before = _mm256_set1_pd(start);
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        __m256d sums = _mm256_loadu_pd(values + i);  // [a, b, c, d]
        const __m256d swapped = _mm256_permute_pd(sums, 0b0101);  // [b, a, d, c]
        const __m256d lowPairUp = _mm256_permute2f128_pd(swapped, swapped, 0x08);  // [0, 0, b, a]
        sums = _mm256_add_pd(sums, _mm256_blend_pd(swapped, lowPairUp, 0b0101));  // + [0, a, b, c]
        sums = _mm256_add_pd(sums, _mm256_permute2f128_pd(sums, sums, 0x08));  // + [0, 0, a, a + b]
        _mm256_storeu_pd(prefix + i + 1, _mm256_add_pd(sums, before));
        // The group's total in every lane.
        before = _mm256_add_pd(before, _mm256_permute_pd(_mm256_permute2f128_pd(sums, sums, 0x11), 0b1111));
    }
    double running = prefix[i];
    for (; i < count; ++i) prefix[i + 1] = running += values[i];
}
#endif

#ifndef DOFMAP_OWN_GRAY_LEVELS
// Sixteen levels at a time, four to a register, as the portable loops compute them; then packed to
// 16 bits with signed saturation (a level in doubt, 65536 or more, to 32767) and to bytes with
// unsigned saturation, which clamps at 255.
bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray)
{
    const __m256d scale = _mm256_set1_pd(rowScale);
    const __m256d shift = _mm256_set1_pd(0x1p52);
    const __m256d signBit = _mm256_set1_pd(-0.0);
    const __m256d relative = _mm256_set1_pd(error.relative);
    const __m256d limit = _mm256_set1_pd(0.5 - error.absolute);
    const __m256d doubtful = _mm256_set1_pd(double(kDoubtful));
    __m128i any = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        __m128i quarter[4];
        for (int q = 0; q < 4; ++q) {
            const int at = i + 4 * q;
            const __m256d level =
                _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(boxSums + at), _mm256_loadu_pd(columnScale + at)), scale);
            const __m256d nearest = _mm256_sub_pd(_mm256_add_pd(level, shift), shift);
            const __m256d distance = _mm256_andnot_pd(signBit, _mm256_sub_pd(level, nearest));
            const __m256d doubt =
                _mm256_cmp_pd(_mm256_add_pd(distance, _mm256_mul_pd(level, relative)), limit, _CMP_GE_OQ);
            quarter[q] = _mm256_cvttpd_epi32(_mm256_add_pd(nearest, _mm256_and_pd(doubt, doubtful)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(levels + at), quarter[q]);
            any = _mm_or_si128(any, quarter[q]);
        }
        const __m128i words =
            _mm_packus_epi16(_mm_packs_epi32(quarter[0], quarter[1]), _mm_packs_epi32(quarter[2], quarter[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(gray + i), words);
    }
    alignas(16) std::int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), any);
    const bool rest =
        portable::grayLevels(boxSums + i, columnScale + i, rowScale, count - i, error, levels + i, gray + i);
    return rest || ((lanes[0] | lanes[1] | lanes[2] | lanes[3]) >= kDoubtful);
}
#endif

#ifndef DOFMAP_OWN_LARGEST_OF
// The largest of sixteen values at a time in four registers, the rest one by one.
double largestOf(const double* values, int count)
{
    double largest = values[0];
    int i = 0;
    if (count >= 16) {
        __m256d a = _mm256_loadu_pd(values), b = _mm256_loadu_pd(values + 4), c = _mm256_loadu_pd(values + 8),
                d = _mm256_loadu_pd(values + 12);
        for (i = 16; i + 16 <= count; i += 16) {
            a = _mm256_max_pd(a, _mm256_loadu_pd(values + i));
            b = _mm256_max_pd(b, _mm256_loadu_pd(values + i + 4));
            c = _mm256_max_pd(c, _mm256_loadu_pd(values + i + 8));
            d = _mm256_max_pd(d, _mm256_loadu_pd(values + i + 12));
        }
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, _mm256_max_pd(_mm256_max_pd(a, b), _mm256_max_pd(c, d)));
        largest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    }
    for (; i < count; ++i) largest = values[i] > largest ? values[i] : largest;
    return largest;
}
#endif

#ifndef DOFMAP_OWN_FIRST_AT_LEAST
// Sixteen values compared at a time, four to a register, the loop left at the first group that
// holds one at least the threshold.
int firstAtLeast(const double* values, int count, double threshold)
{
    const __m256d least = _mm256_set1_pd(threshold);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256d a = _mm256_cmp_pd(_mm256_loadu_pd(values + i), least, _CMP_GE_OQ);
        const __m256d b = _mm256_cmp_pd(_mm256_loadu_pd(values + i + 4), least, _CMP_GE_OQ);
        const __m256d c = _mm256_cmp_pd(_mm256_loadu_pd(values + i + 8), least, _CMP_GE_OQ);
        const __m256d d = _mm256_cmp_pd(_mm256_loadu_pd(values + i + 12), least, _CMP_GE_OQ);
        if (_mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(a, b), _mm256_or_pd(c, d))) != 0) break;
    }
    while (i < count && !(values[i] >= threshold)) ++i;
    return i;
}
#endif

#ifndef DOFMAP_OWN_FLOAT_MEANS
// Eight means at a time, written with streaming stores from the first 32-byte boundary on, so that
// the table of means does not push the ring of roots out of the caches; the largest sum kept on the
// way.
double floatMeans(const double* boxSums, const double* columnScale, double rowScale, int count, float* floats)
{
    const __m256d scale = _mm256_set1_pd(rowScale);
    double largest = 0.0;
    int i = 0;
    for (; i < count && (reinterpret_cast<std::uintptr_t>(floats + i) & 31) != 0; ++i) {
        floats[i] = float(boxSums[i] * columnScale[i] * rowScale);
        largest = std::max(largest, boxSums[i]);
    }
    __m256d top = _mm256_set1_pd(largest);
    for (; i + 8 <= count; i += 8) {
        const __m256d low = _mm256_loadu_pd(boxSums + i), high = _mm256_loadu_pd(boxSums + i + 4);
        top = _mm256_max_pd(top, _mm256_max_pd(low, high));
        const __m128 lowMeans =
            _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_mul_pd(low, _mm256_loadu_pd(columnScale + i)), scale));
        const __m128 highMeans =
            _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_mul_pd(high, _mm256_loadu_pd(columnScale + i + 4)), scale));
        _mm256_stream_ps(floats + i, _mm256_insertf128_ps(_mm256_castps128_ps256(lowMeans), highMeans, 1));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, top);
    largest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    for (; i < count; ++i) {
        floats[i] = float(boxSums[i] * columnScale[i] * rowScale);
        largest = std::max(largest, boxSums[i]);
    }
    return largest;
}
#endif

// Four roots at a time in each of two registers, summed in two accumulators: the sums are of
// integers below 2^53, exact in any order.
bool gridSum(const std::int32_t* squared, int count, double scale, double* total)
{
    const __m256d factor = _mm256_set1_pd(scale);
    const __m256d shift = _mm256_set1_pd(0x1p52);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d signBit = _mm256_set1_pd(-0.0);
    __m256d sums[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    __m256d ties = _mm256_setzero_pd();
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int half4 = 0; half4 < 2; ++half4) {
            const __m128i integers = _mm_loadu_si128(reinterpret_cast<const __m128i*>(squared + i + 4 * half4));
            const __m256d scaled = _mm256_mul_pd(_mm256_sqrt_pd(_mm256_cvtepi32_pd(integers)), factor);
            const __m256d nearest = _mm256_sub_pd(_mm256_add_pd(scaled, shift), shift);
            const __m256d distance = _mm256_andnot_pd(signBit, _mm256_sub_pd(scaled, nearest));
            ties = _mm256_or_pd(ties, _mm256_cmp_pd(distance, half, _CMP_EQ_OQ));
            sums[half4] = _mm256_add_pd(sums[half4], nearest);
        }
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(sums[0], sums[1]));
    double rest = 0.0;
    const bool restClean = portable::gridSum(squared + i, count - i, scale, &rest);
    *total = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + rest;
    return restClean && _mm256_movemask_pd(ties) == 0;
}

// Eight values at a time into the eight partial sums, the count below kept as doubles (exact far
// beyond any row); groups of four holding no value of the window, most of them, copy nothing.
int gatherRow(const double* values, int count, double low, double high, double* lanes, std::int64_t* below,
              double* kept)
{
    const __m256d lower = _mm256_set1_pd(low);
    const __m256d upper = _mm256_set1_pd(high);
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d sums[2] = {_mm256_loadu_pd(lanes), _mm256_loadu_pd(lanes + 4)};
    __m256d under = _mm256_setzero_pd();
    int copied = 0;
    int i = 0;
    for (; i + 8 <= count; i += 8)
        for (int half = 0; half < 2; ++half) {
            const double* at = values + i + 4 * half;
            const __m256d v = _mm256_loadu_pd(at);
            sums[half] = _mm256_add_pd(sums[half], v);
            const __m256d isBelow = _mm256_cmp_pd(v, lower, _CMP_LT_OQ);
            under = _mm256_add_pd(under, _mm256_and_pd(isBelow, one));
            const int within = _mm256_movemask_pd(_mm256_andnot_pd(isBelow, _mm256_cmp_pd(v, upper, _CMP_LE_OQ)));
            if (within == 0) continue;
            for (int lane = 0; lane < 4; ++lane)
                if ((within >> lane) & 1) kept[copied++] = at[lane];
        }
    _mm256_storeu_pd(lanes, sums[0]);
    _mm256_storeu_pd(lanes + 4, sums[1]);
    alignas(32) double counts[4];
    _mm256_store_pd(counts, under);
    *below += std::int64_t(counts[0] + counts[1] + counts[2] + counts[3]);
    return copied + portable::gatherRow(values + i, count - i, low, high, lanes, below, kept + copied);
}

#ifdef DOFMAP_AVX2_INTRINSICS
// 32 levels, 96 bytes, at a time: each 32-byte store takes its bytes from 16 levels loaded into
// both lanes, the in-lane shuffles repeating each level three times.
void grayToThreeChannels(const std::uint8_t* gray, int count, std::uint8_t* out)
{
    // Output bytes 32k + j come from level (32k + j) / 3, loaded from level 8k on.
    const __m256i first = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8,
                                           8, 9, 9, 9, 10, 10);
    const __m256i second = _mm256_setr_epi8(2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10,
                                            10, 11, 11, 11, 12, 12, 12, 13);
    const __m256i third = _mm256_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10, 10, 11, 11, 11, 12, 12, 12,
                                           13, 13, 13, 14, 14, 14, 15, 15, 15);
    // Writes 32 bytes at `to`: the 16 levels from `from` on in both lanes, picked by `shuffle`.
    const auto storeBytes = [](std::uint8_t* to, __m256i shuffle, const std::uint8_t* from) {
        const __m256i levels = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_shuffle_epi8(levels, shuffle));
    };
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        std::uint8_t* o = out + 3 * i;
        storeBytes(o, first, gray + i);
        storeBytes(o + 32, second, gray + i + 8);
        storeBytes(o + 64, third, gray + i + 16);
    }
    portable::grayToThreeChannels(gray + i, count - i, out + 3 * i);
}
#endif
