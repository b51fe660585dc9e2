// The row kernels that the compiler vectorizes well, as plain loops: included once into each
// instruction set's namespace and compiled with that set's flags (no include guard on purpose).
// Their helpers are local to each inclusion, so that no inline function is shared between code
// compiled for different processors.

namespace {

float root(std::int32_t squared)
{
    return std::sqrt(float(squared));
}

}  // namespace

void addRow(const std::int32_t* squared, int count, float* roots, double* columnSums)
{
    for (int i = 0; i < count; ++i) {
        roots[i] = root(squared[i]);
        columnSums[i] += roots[i];
    }
}

void subtractRow(const float* roots, int count, double* columnSums)
{
    for (int i = 0; i < count; ++i) columnSums[i] -= roots[i];
}

void replaceRow(const std::int32_t* squared, int count, float* roots, double* columnSums)
{
    for (int i = 0; i < count; ++i) {
        const float fresh = root(squared[i]);
        columnSums[i] += double(fresh) - double(roots[i]);
        roots[i] = fresh;
    }
}

void addDistances(const std::int32_t* squared, int count, double* sums)
{
    for (int i = 0; i < count; ++i) sums[i] += root(squared[i]);
}

// A set that computes the distances of pixels within its row kernels defines DOFMAP_OWN_PIXEL_ROWS
// before including this file; the others compute them in chunks small enough to stay in L1.
#ifndef DOFMAP_OWN_PIXEL_ROWS
namespace {

// The squared distances of this many pixels, 1 KB, pass from one loop to the next through L1.
constexpr int kPixelChunk = 256;

// Calls rowKernel(squared, first, length) for the squared distances of pixels [first, first + length).
template <class RowKernel>
void inPixelChunks(const std::uint8_t* source, const std::uint8_t* blurred, int count, RowKernel rowKernel)
{
    std::int32_t squared[kPixelChunk];
    for (int first = 0; first < count; first += kPixelChunk) {
        const int length = count - first < kPixelChunk ? count - first : kPixelChunk;
        squaredDistances(source + 3 * first, blurred + 3 * first, length, squared);
        rowKernel(squared, first, length);
    }
}

}  // namespace

void addPixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots, double* columnSums)
{
    inPixelChunks(source, blurred, count, [&](const std::int32_t* squared, int first, int length) {
        addRow(squared, length, roots + first, columnSums + first);
    });
}

void replacePixelRow(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots,
                     double* columnSums)
{
    inPixelChunks(source, blurred, count, [&](const std::int32_t* squared, int first, int length) {
        replaceRow(squared, length, roots + first, columnSums + first);
    });
}

void addPixelDistances(const std::uint8_t* source, const std::uint8_t* blurred, int count, double* sums)
{
    inPixelChunks(source, blurred, count, [&](const std::int32_t* squared, int first, int length) {
        addDistances(squared, length, sums + first);
    });
}
#endif

void moveFixedRows(const std::int32_t* entering, const std::int32_t* leaving, int count, const double* terms,
                   double* columnSums)
{
    if (entering != nullptr && leaving != nullptr) {
        for (int i = 0; i < count; ++i) columnSums[i] += terms[entering[i]] - terms[leaving[i]];
    } else if (entering != nullptr) {
        for (int i = 0; i < count; ++i) columnSums[i] += terms[entering[i]];
    } else if (leaving != nullptr) {
        for (int i = 0; i < count; ++i) columnSums[i] -= terms[leaving[i]];
    }
}

void splitParts(const double* values, int count, double* high, double* low)
{
    for (int i = 0; i < count; ++i) {
        high[i] = double(std::int32_t(values[i] * (1.0 / kPartUnit)));
        low[i] = values[i] - high[i] * kPartUnit;
    }
}

void joinDifferences(const double* highEnd, const double* highBegin, const double* lowEnd, const double* lowBegin,
                     int count, double scale, double* out)
{
    for (int i = 0; i < count; ++i)
        out[i] = ((highEnd[i] - highBegin[i]) * kPartUnit + (lowEnd[i] - lowBegin[i])) * scale;
}

void differences(const double* high, const double* low, int count, double* out)
{
    for (int i = 0; i < count; ++i) out[i] = high[i] - low[i];
}

void fastMeans(const double* boxSums, const double* columnScale, double rowScale, int count, double* means,
               float* floats)
{
    if (floats == nullptr) {
        for (int i = 0; i < count; ++i) means[i] = boxSums[i] * columnScale[i] * rowScale;
    } else {
        for (int i = 0; i < count; ++i) {
            means[i] = boxSums[i] * columnScale[i] * rowScale;
            floats[i] = float(means[i]);
        }
    }
}

// A set that takes the gray levels of float means with intrinsics of its own defines
// DOFMAP_OWN_LEVELS_OF_MEANS before including this file. The loop is that of the
// portable grayLevels, on other inputs.
#ifndef DOFMAP_OWN_LEVELS_OF_MEANS
bool grayLevelsOfMeans(const float* means, int count, double toLevel, LevelError error, std::int32_t* levels,
                       std::uint8_t* gray)
{
    std::int32_t any = 0;
    for (int i = 0; i < count; ++i) {
        const double level = double(means[i]) * toLevel;
        const double nearest = (level + 0x1p52) - 0x1p52;
        const double distance = level > nearest ? level - nearest : nearest - level;
        const double doubt = distance + level * error.relative >= 0.5 - error.absolute ? double(kDoubtful) : 0.0;
        const std::int32_t value = std::int32_t(nearest + doubt);
        if (levels != nullptr) levels[i] = value;
        any |= value;
        gray[i] = std::uint8_t(value < 255 ? value : 255);
    }
    return any >= kDoubtful;
}
#endif

// A set that expands gray to three channels with intrinsics of its own defines
// DOFMAP_OWN_GRAY_TO_THREE_CHANNELS before including this file.
#ifndef DOFMAP_OWN_GRAY_TO_THREE_CHANNELS
void grayToThreeChannels(const std::uint8_t* gray, int count, std::uint8_t* out)
{
    for (int i = 0; i < count; ++i) out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = gray[i];
}
#endif
