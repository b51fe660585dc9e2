#include "row_kernels.hpp"

#include <algorithm>

// Each kernel is compiled twice where the compiler can: for the baseline instruction set and for
// AVX. The loader picks the version that the processor supports, and both give the same results:
// the loops hold only exact arithmetic and correctly rounded IEEE operations, and the sums are of
// integers small enough to be exact in any order.
#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define DOFMAP_VECTORISED __attribute__((target_clones("avx", "default")))
#endif
#endif
#ifndef DOFMAP_VECTORISED
#define DOFMAP_VECTORISED
#endif

namespace dofmap::kernels {

DOFMAP_VECTORISED
void squaredDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared)
{
    for (int i = 0; i < count; ++i) {
        const int d0 = int(blurred[3 * i]) - int(source[3 * i]);
        const int d1 = int(blurred[3 * i + 1]) - int(source[3 * i + 1]);
        const int d2 = int(blurred[3 * i + 2]) - int(source[3 * i + 2]);
        squared[i] = d0 * d0 + d1 * d1 + d2 * d2;
    }
}

DOFMAP_VECTORISED
void addRow(const std::int32_t* squared, int count, double scale, float* roots, double* columnSums)
{
    for (int i = 0; i < count; ++i) {
        roots[i] = rootOf(squared[i]);
        columnSums[i] += fixedPoint(roots[i], scale);
    }
}

DOFMAP_VECTORISED
void subtractRow(const float* roots, int count, double scale, double* columnSums)
{
    for (int i = 0; i < count; ++i) columnSums[i] -= fixedPoint(roots[i], scale);
}

DOFMAP_VECTORISED
void addDistances(const std::int32_t* squared, int count, double scale, double* sums)
{
    for (int i = 0; i < count; ++i) sums[i] += fixedPoint(rootOf(squared[i]), scale);
}

DOFMAP_VECTORISED
void replaceRow(const std::int32_t* squared, int count, double scale, float* roots, double* columnSums)
{
    for (int i = 0; i < count; ++i) {
        const float fresh = rootOf(squared[i]);
        columnSums[i] += fixedPoint(fresh, scale) - fixedPoint(roots[i], scale);
        roots[i] = fresh;
    }
}

void prefixSums(const double* values, int count, double* prefix)
{
    // Four running sums over the four quarters of the row, interleaved so that their additions
    // overlap, then each quarter shifted by the total of the quarters before it.
    const int quarter = count / 4;
    const int begin[4] = {0, quarter, 2 * quarter, 3 * quarter};
    double running[4] = {0.0, 0.0, 0.0, 0.0};
    prefix[0] = 0.0;
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

DOFMAP_VECTORISED
void differences(const double* high, const double* low, int count, double* out)
{
    for (int i = 0; i < count; ++i) out[i] = high[i] - low[i];
}

DOFMAP_VECTORISED
bool grayLevels(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                std::int32_t* levels, std::uint8_t* gray)
{
    // Two loops, each over elements of one width, and the doubt as a number added: these
    // vectorise well.
    for (int i = 0; i < count; ++i) {
        const double level = levelOf(boxSums[i], columnScale[i], rowScale);
        const double nearest = (level + 0x1p52) - 0x1p52;
        const double doubt = inDoubt(level, nearest, error) ? double(kDoubtful) : 0.0;
        levels[i] = std::int32_t(nearest + doubt);
    }
    std::int32_t any = 0;
    for (int i = 0; i < count; ++i) {
        any |= levels[i];
        gray[i] = std::uint8_t(std::min(levels[i], 255));
    }
    return any >= kDoubtful;
}

DOFMAP_VECTORISED
void grayToThreeChannels(const std::uint8_t* gray, int count, std::uint8_t* out)
{
    for (int i = 0; i < count; ++i) out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = gray[i];
}

}  // namespace dofmap::kernels
