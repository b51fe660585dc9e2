// The portable row kernels and the choice, at run time, between them and the AVX, AVX2 and AVX-512
// ones.
#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#ifdef DOFMAP_HAVE_AVX_KERNELS
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>

namespace dofmap::kernels {

namespace portable {

#include "row_kernel_loops.hpp"

void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared)
{
    for (int i = 0; i < count; ++i) {
        const int d0 = int(blurred[3 * i]) - int(source[3 * i]);
        const int d1 = int(blurred[3 * i + 1]) - int(source[3 * i + 1]);
        const int d2 = int(blurred[3 * i + 2]) - int(source[3 * i + 2]);
        squared[i] = d0 * d0 + d1 * d1 + d2 * d2;
    }
}

void prefixSums(const double* values, int count, double start, double* prefix)
{
    // Four running sums over the four quarters of the row, interleaved so that their additions
    // overlap, then each quarter shifted by the start and the total of the quarters before it.
    const int quarter = count / 4;
    const int begin[4] = {0, quarter, 2 * quarter, 3 * quarter};
    double running[4] = {start, 0.0, 0.0, 0.0};
    prefix[0] = start;
    double* p = prefix + 1;
    for (int i = 0; i < quarter; ++i)
        for (int part = 0; part < 4; ++part) p[begin[part] + i] = running[part] += values[begin[part] + i];
    for (int i = 4 * quarter; i < count; ++i) p[i] = running[3] += values[i];
    double offset = running[0];
    for (int part = 1; part < 4; ++part) {
        const int end = part == 3 ? count : begin[part] + quarter;
        for (int i = begin[part]; i < end; ++i) p[i] += offset;
        offset += running[part];
    }
}

bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray)
{
    for (int i = 0; i < count; ++i) {
        const double level = levelOf(boxSums[i], columnScale[i], rowScale);
        const double nearest = (level + 0x1p52) - 0x1p52;
        const double doubt = exactness::inDoubt(level, nearest, error) ? double(kDoubtful) : 0.0;
        levels[i] = std::int32_t(nearest + doubt);
    }
    std::int32_t any = 0;
    for (int i = 0; i < count; ++i) {
        any |= levels[i];
        gray[i] = std::uint8_t(std::min(levels[i], 255));
    }
    return any >= kDoubtful;
}

bool gridSum(const std::int32_t* squared, int count, double scale, double* total)
{
    double sum = 0.0;
    bool tie = false;
    for (int i = 0; i < count; ++i) {
        const double scaled = std::sqrt(double(squared[i])) * scale;
        const double nearest = (scaled + 0x1p52) - 0x1p52;
        tie |= scaled - nearest == 0.5 || nearest - scaled == 0.5;
        sum += nearest;
    }
    *total = sum;
    return !tie;
}

int gatherRow(const double* values, int count, double low, double high, double* lanes, std::int64_t* below,
              double* kept)
{
    int copied = 0;
    std::int64_t under = 0;
    for (int i = 0; i < count; ++i) {
        lanes[i % 8] += values[i];
        under += values[i] < low;
        if (values[i] >= low && values[i] <= high) kept[copied++] = values[i];
    }
    *below += under;
    return copied;
}

}  // namespace portable

InstructionSet activeInstructionSet()
{
#ifdef DOFMAP_HAVE_AVX_KERNELS
    static const InstructionSet active = [] {
        if (!cv::checkHardwareSupport(CV_CPU_AVX)) return InstructionSet::portable;
        if (!cv::checkHardwareSupport(CV_CPU_AVX2)) return InstructionSet::avx;
        const bool avx512 = cv::checkHardwareSupport(CV_CPU_AVX_512F) && cv::checkHardwareSupport(CV_CPU_AVX_512BW) &&
            cv::checkHardwareSupport(CV_CPU_AVX_512DQ) && cv::checkHardwareSupport(CV_CPU_AVX_512VL);
        return avx512 ? InstructionSet::avx512 : InstructionSet::avx2;
    }();
    return active;
#else
    return InstructionSet::portable;
#endif
}

void finishStreamingStores()
{
#ifdef DOFMAP_HAVE_AVX_KERNELS
    _mm_sfence();
#endif
}

#ifdef DOFMAP_HAVE_AVX_KERNELS
#define DOFMAP_DISPATCH(call)                                                                                          \
    switch (activeInstructionSet()) {                                                                                  \
    case InstructionSet::avx512:                                                                                       \
        return avx512::call;                                                                                           \
    case InstructionSet::avx2:                                                                                         \
        return avx2::call;                                                                                             \
    case InstructionSet::avx:                                                                                          \
        return avx::call;                                                                                              \
    case InstructionSet::portable:                                                                                     \
        break;                                                                                                         \
    }                                                                                                                  \
    return portable::call
#else
#define DOFMAP_DISPATCH(call) return portable::call
#endif

void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared)
{
    DOFMAP_DISPATCH(squaredDistances(source, blurred, count, squared));
}

void addRow(const std::int32_t* squared, int count, float* roots, double* columnSums)
{
    DOFMAP_DISPATCH(addRow(squared, count, roots, columnSums));
}

void subtractRow(const float* roots, int count, double* columnSums)
{
    DOFMAP_DISPATCH(subtractRow(roots, count, columnSums));
}

void replaceRow(const std::int32_t* squared, int count, float* roots, double* columnSums)
{
    DOFMAP_DISPATCH(replaceRow(squared, count, roots, columnSums));
}

void addDistances(const std::int32_t* squared, int count, double* sums)
{
    DOFMAP_DISPATCH(addDistances(squared, count, sums));
}

void moveFixedRows(const std::int32_t* entering, const std::int32_t* leaving, int count, const double* terms,
                   double* columnSums)
{
    DOFMAP_DISPATCH(moveFixedRows(entering, leaving, count, terms, columnSums));
}

void splitParts(const double* values, int count, double* high, double* low)
{
    DOFMAP_DISPATCH(splitParts(values, count, high, low));
}

void joinDifferences(const double* highEnd, const double* highBegin, const double* lowEnd, const double* lowBegin,
                     int count, double scale, double* out)
{
    DOFMAP_DISPATCH(joinDifferences(highEnd, highBegin, lowEnd, lowBegin, count, scale, out));
}

void prefixSums(const double* values, int count, double start, double* prefix)
{
    DOFMAP_DISPATCH(prefixSums(values, count, start, prefix));
}

void differences(const double* high, const double* low, int count, double* out)
{
    DOFMAP_DISPATCH(differences(high, low, count, out));
}

void addPixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots, double* columnSums)
{
    DOFMAP_DISPATCH(addPixelRow(source, blurred, count, roots, columnSums));
}

void replacePixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots,
                     double* columnSums)
{
    DOFMAP_DISPATCH(replacePixelRow(source, blurred, count, roots, columnSums));
}

void addPixelDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, double* sums)
{
    DOFMAP_DISPATCH(addPixelDistances(source, blurred, count, sums));
}

bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray)
{
    DOFMAP_DISPATCH(grayLevels(boxSums, columnScale, rowScale, count, error, levels, gray));
}

void fastMeans(const double* boxSums, const double* columnScale, double rowScale, int count, double* means,
               float* floats)
{
    DOFMAP_DISPATCH(fastMeans(boxSums, columnScale, rowScale, count, means, floats));
}

bool gridSum(const std::int32_t* squared, int count, double scale, double* total)
{
    DOFMAP_DISPATCH(gridSum(squared, count, scale, total));
}

double largestOf(const double* values, int count)
{
    DOFMAP_DISPATCH(largestOf(values, count));
}

int firstAtLeast(const double* values, int count, double threshold)
{
    DOFMAP_DISPATCH(firstAtLeast(values, count, threshold));
}

double floatMeans(const double* boxSums, const double* columnScale, double rowScale, int count, float* floats)
{
    DOFMAP_DISPATCH(floatMeans(boxSums, columnScale, rowScale, count, floats));
}

bool grayLevelsOfMeans(const float* means, int count, double toLevel, LevelError error, std::int32_t* levels,
                       std::uint8_t* gray)
{
    DOFMAP_DISPATCH(grayLevelsOfMeans(means, count, toLevel, error, levels, gray));
}

int gatherRow(const double* values, int count, double low, double high, double* lanes, std::int64_t* below,
              double* kept)
{
    DOFMAP_DISPATCH(gatherRow(values, count, low, high, lanes, below, kept));
}

void grayToThreeChannels(const std::uint8_t* gray, int count, std::uint8_t* out)
{
    DOFMAP_DISPATCH(grayToThreeChannels(gray, count, out));
}

#undef DOFMAP_DISPATCH

}  // namespace dofmap::kernels
