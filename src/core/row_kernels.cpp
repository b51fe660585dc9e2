// The portable row kernels, the dispatch tables of every instruction set and the choice, at run
// time, of the one that runs.
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

int firstAtLeast(const double* values, int count, double threshold)
{
    int i = 0;
    while (i < count && !(values[i] >= threshold)) ++i;
    return i;
}

// The compiler keeps this loop scalar, each maximum waiting on the one before.
double largestOf(const double* values, int count)
{
    double largest = values[0];
    for (int i = 1; i < count; ++i) largest = values[i] > largest ? values[i] : largest;
    return largest;
}

double floatMeans(const double* boxSums, const double* columnScale, double rowScale, int count, float* floats)
{
    for (int i = 0; i < count; ++i) floats[i] = float(boxSums[i] * columnScale[i] * rowScale);
    return count > 0 ? largestOf(boxSums, count) : 0.0;
}

}  // namespace portable

// The dispatch table of each set: the address of every kernel of the list in the set's namespace.
#define DOFMAP_ROW_KERNEL(name, signature) &name,

namespace portable {
constexpr RowKernels kKernels = {
#include "row_kernel_list.hpp"
};
}  // namespace portable

#ifdef DOFMAP_HAVE_AVX_KERNELS
namespace avx {
constexpr RowKernels kKernels = {
#include "row_kernel_list.hpp"
};
}  // namespace avx

namespace avx2 {
constexpr RowKernels kKernels = {
#include "row_kernel_list.hpp"
};
}  // namespace avx2

namespace avx512 {
constexpr RowKernels kKernels = {
#include "row_kernel_list.hpp"
};
}  // namespace avx512
#endif

#undef DOFMAP_ROW_KERNEL

const char* instructionSetName(InstructionSet set)
{
    switch (set) {
    case InstructionSet::portable:
        return "portable";
    case InstructionSet::avx:
        return "avx";
    case InstructionSet::avx2:
        return "avx2";
    case InstructionSet::avx512:
        return "avx512";
    }
    return "?";
}

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

const RowKernels& kernelsOf(InstructionSet set)
{
    switch (set) {
#ifdef DOFMAP_HAVE_AVX_KERNELS
    case InstructionSet::avx512:
        return avx512::kKernels;
    case InstructionSet::avx2:
        return avx2::kKernels;
    case InstructionSet::avx:
        return avx::kKernels;
#endif
    default:
        return portable::kKernels;
    }
}

const RowKernels& activeKernels()
{
    static const RowKernels& active = kernelsOf(activeInstructionSet());
    return active;
}

void finishStreamingStores()
{
#ifdef DOFMAP_HAVE_AVX_KERNELS
    _mm_sfence();
#endif
}

}  // namespace dofmap::kernels
