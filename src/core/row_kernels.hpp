// Row kernels of the neighborhood scan: loops over contiguous rows, with vectorized versions of each
// for AVX, AVX2 and AVX-512, the widest set that OpenCV reports usable chosen at run time.
#pragma once

#include "exactness.hpp"

#include <cmath>
#include <cstdint>

namespace dofmap::kernels {

using exactness::LevelError;

// The color distance sqrt(squared) as the default scan sums it: the correctly rounded
// single-precision root. For squared >= 1 it is a multiple of 2^-23, so sums of up to
// exactness::kExactFloatRoots of them are exact in double precision, in any order.
inline float rootOf(std::int32_t squared)
{
    return std::sqrt(float(squared));
}

// The color distance as the fixed-point scan sums it: the double root rounded to the nearest
// multiple of 1 / units (halves to even), in those units. Requires units = 2^k with
// 441.68 * units < 2^51.
inline double fixedRootOf(std::int32_t squared, double units)
{
    return (std::sqrt(double(squared)) * units + 0x1p52) - 0x1p52;
}

// The gray level that the kernels compute for a box sum: (sum * columnScale) * rowScale.
inline double levelOf(double boxSum, double columnScale, double rowScale)
{
    return boxSum * columnScale * rowScale;
}

// Where splitParts cuts integers of up to 53 bits: both parts and their sums over 2^26 values stay
// below 2^53.
constexpr double kPartUnit = 0x1p26;

// Added to a level in doubt by grayLevels.
constexpr std::int32_t kDoubtful = 1 << 16;

// The instruction sets that have kernels of their own, from the narrowest to the widest.
enum class InstructionSet { portable, avx, avx2, avx512 };

// The set whose kernels run, decided at the first call: where this build has the vectorized kernels,
// AVX-512 when cv::checkHardwareSupport reports AVX, AVX2 and AVX-512 F, BW, DQ and VL, AVX2 when it
// reports both AVX and AVX2, AVX when it reports AVX alone, else the portable loops (so
// OPENCV_CPU_DISABLE=AVX512F selects the AVX2 kernels, OPENCV_CPU_DISABLE=AVX2 the AVX kernels and
// OPENCV_CPU_DISABLE=AVX,AVX2 the portable loops).
InstructionSet activeInstructionSet();

// The set's name in lower case: "portable", "avx", "avx2", "avx512".
const char* instructionSetName(InstructionSet set);

// Orders the streaming stores of this thread (floatMeans) before its later stores, such as those
// that tell other threads the work is done.
void finishStreamingStores();

// A kernel's function type as row_kernel_list.hpp gives it: the type declares the function.
template <class Signature>
using RowKernel = Signature;

// The kernels of each instruction set, every one of the list in every set.
#define DOFMAP_ROW_KERNEL(name, signature) RowKernel<signature> name;

// Plain C++ loops for any processor: the reference of the others.
namespace portable {
#include "row_kernel_list.hpp"
}  // namespace portable

#if defined(__x86_64__) && defined(__GNUC__)
#define DOFMAP_HAVE_AVX_KERNELS 1
// Compiled for AVX: call only where activeInstructionSet() is InstructionSet::avx or wider.
namespace avx {
#include "row_kernel_list.hpp"
}  // namespace avx
// Compiled for AVX2: call only where activeInstructionSet() is InstructionSet::avx2 or wider.
namespace avx2 {
#include "row_kernel_list.hpp"
}  // namespace avx2
// Compiled for AVX-512: call only where activeInstructionSet() is InstructionSet::avx512.
namespace avx512 {
#include "row_kernel_list.hpp"
}  // namespace avx512
#endif

#undef DOFMAP_ROW_KERNEL

// The dispatch table: the kernels of one instruction set, a pointer for each kernel of the list.
struct RowKernels {
#define DOFMAP_ROW_KERNEL(name, signature) RowKernel<signature>* name;
#include "row_kernel_list.hpp"
#undef DOFMAP_ROW_KERNEL
};

// The kernels of `set`, which this build must have (all of them on x86-64, else only the portable
// ones) and the processor run: InstructionSet::portable anywhere, the others only up to
// activeInstructionSet().
const RowKernels& kernelsOf(InstructionSet set);

// kernelsOf(activeInstructionSet()), chosen at the first call.
const RowKernels& activeKernels();

// The call of one kernel of the active set: kernels::addRow(...) and the like below are objects of
// this type, which pass their arguments on to the kernel that activeKernels() holds for them.
template <auto kernel>
struct ActiveKernel;

template <class Result, class... Parameters, Result (*RowKernels::*kernel)(Parameters...)>
struct ActiveKernel<kernel> {
    Result operator()(Parameters... arguments) const { return (activeKernels().*kernel)(arguments...); }
};

// The kernels of the active set, called as functions: kernels::squaredDistances(...) and so on.
#define DOFMAP_ROW_KERNEL(name, signature) inline constexpr ActiveKernel<&RowKernels::name> name{};
#include "row_kernel_list.hpp"
#undef DOFMAP_ROW_KERNEL

}  // namespace dofmap::kernels
