// The row kernels: the dispatch, the AVX, AVX2 and AVX-512 versions against the portable loops, bit for
// bit, and the properties of the portable loops that the scan and the literal sums rely on.
#include "process.hpp"
#include "row_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace dofmap::kernels {
namespace {

// Lengths around the vector widths, and one long row with a ragged end.
const int kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49, 1001};

// Rows of squared distances of photos: mostly small, some up to the largest, 3 * 255^2.
std::vector<std::int32_t> squaredRow(int count, std::mt19937& random)
{
    std::uniform_int_distribution<int> small(0, 60), any(0, 3 * 255 * 255);
    std::vector<std::int32_t> row(count);
    for (int i = 0; i < count; ++i) row[i] = i % 5 == 0 ? any(random) : small(random);
    return row;
}

// The fixed-point roots of every squared distance in units of 2^-30.
const std::vector<double>& fixedTerms()
{
    static const std::vector<double> terms = [] {
        std::vector<double> table(3 * 255 * 255 + 1);
        for (std::size_t s = 0; s < table.size(); ++s) table[s] = fixedRootOf(std::int32_t(s), 0x1p30);
        return table;
    }();
    return terms;
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Rows of BGR bytes as photos and their blur give them (differing by a few levels), with runs of 0
// facing 255 that reach the largest distance.
void pixelRows(int count, std::mt19937& random, std::vector<std::uint8_t>& source, std::vector<std::uint8_t>& blurred)
{
    std::uniform_int_distribution<int> byte(0, 255), near(-4, 4);
    source.resize(3 * std::size_t(count));
    blurred.resize(3 * std::size_t(count));
    for (int i = 0; i < 3 * count; ++i) {
        const bool extreme = (i / 24) % 4 == 3;
        source[i] = extreme ? 255 * (i % 2) : std::uint8_t(byte(random));
        blurred[i] =
            extreme ? std::uint8_t(255 - source[i]) : std::uint8_t(std::clamp(source[i] + near(random), 0, 255));
    }
}

// The kernels that take the pixels themselves give the bits of portable::squaredDistances followed
// by the portable row kernel, over rows entering an empty sum, replacing one and summed alone.
template <class AddPixelRow, class ReplacePixelRow, class AddPixelDistances>
void expectPixelRowsAsDistancesThenRows(AddPixelRow addPixelRow, ReplacePixelRow replacePixelRow,
                                        AddPixelDistances addPixelDistances, std::uint32_t seed)
{
    std::mt19937 random(seed);
    // Lengths whose last eight or sixteen pixels take a masked load, and chunks of the ring scan.
    for (const int count : {0, 1, 7, 8, 10, 11, 12, 16, 17, 19, 21, 33, 37, 255, 256, 257, 512, 1001}) {
        std::vector<std::uint8_t> source, blurred, nextSource, nextBlurred;
        pixelRows(count, random, source, blurred);
        pixelRows(count, random, nextSource, nextBlurred);
        std::vector<std::int32_t> squared(count), next(count);
        portable::squaredDistances(source.data(), blurred.data(), count, squared.data());
        portable::squaredDistances(nextSource.data(), nextBlurred.data(), count, next.data());

        std::vector<float> roots(count + 1, -1.0f), plainRoots(count);
        std::vector<double> sums(count + 1, 0.25), plainSums(count, 0.25), alone(count + 1, 3.0),
            plainAlone(count, 3.0);
        addPixelRow(source.data(), blurred.data(), count, roots.data(), sums.data());
        portable::addRow(squared.data(), count, plainRoots.data(), plainSums.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(roots[i], plainRoots[i]) << "added pixel " << i << " of " << count << ", squared " << squared[i];
            ASSERT_TRUE(sameBits(sums[i], plainSums[i])) << "added pixel " << i << " of " << count;
        }
        replacePixelRow(nextSource.data(), nextBlurred.data(), count, roots.data(), sums.data());
        portable::replaceRow(next.data(), count, plainRoots.data(), plainSums.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(roots[i], plainRoots[i]) << "replaced pixel " << i << " of " << count << ", squared " << next[i];
            ASSERT_TRUE(sameBits(sums[i], plainSums[i]))
                << "replaced pixel " << i << " of " << count << ": " << sums[i] << " against " << plainSums[i];
        }
        addPixelDistances(source.data(), blurred.data(), count, alone.data());
        portable::addDistances(squared.data(), count, plainAlone.data());
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(sameBits(alone[i], plainAlone[i])) << "summed pixel " << i << " of " << count;
        EXPECT_EQ(roots[count], -1.0f) << "wrote past the end of " << count;
        EXPECT_EQ(sums[count], 0.25) << "wrote past the end of " << count;
        EXPECT_EQ(alone[count], 3.0) << "wrote past the end of " << count;
    }
}

TEST(RowKernels, PortablePixelRowsEqualDistancesThenRows)
{
    expectPixelRowsAsDistancesThenRows(portable::addPixelRow, portable::replacePixelRow, portable::addPixelDistances,
                                       17);
}

#ifdef DOFMAP_HAVE_AVX_KERNELS
// Whether the processor has AVX, as Linux lists its features in /proc/cpuinfo.
bool processorHasAvx()
{
    std::istringstream flags(testing::readFile("/proc/cpuinfo"));
    for (std::string flag; flags >> flag;)
        if (flag == "avx") return true;
    return false;
}
#endif

// OpenCV reads OPENCV_CPU_DISABLE when a process starts, so children try the dispatch: with AVX and
// AVX2 disabled the portable loops run, and every kind of scan gives what the widest set gives.
TEST(RowKernels, DisablingAvxInAChildRunsThePortableLoopsToTheSameResults)
{
    const testing::TemporaryDirectory folder("dofmap-kernels");
    const testing::RunResult widest =
        testing::runCommand({KERNEL_PROBE}, folder.path(), {{"OPENCV_CPU_DISABLE", std::nullopt}});
    const testing::RunResult restricted =
        testing::runCommand({KERNEL_PROBE}, folder.path(), {{"OPENCV_CPU_DISABLE", "AVX,AVX2"}});
    ASSERT_EQ(widest.status, 0) << widest.err;
    ASSERT_EQ(restricted.status, 0) << restricted.err;
    const auto setOf = [](const std::string& out) { return out.substr(0, out.find(' ')); };
    const auto resultsOf = [](const std::string& out) { return out.substr(out.find(' ')); };
    EXPECT_EQ(setOf(restricted.out), "portable") << restricted.out;
#ifdef DOFMAP_HAVE_AVX_KERNELS
    if (processorHasAvx()) {
        EXPECT_NE(setOf(widest.out), "portable") << widest.out;
    }
#endif
    EXPECT_EQ(resultsOf(restricted.out), resultsOf(widest.out))
        << "portable: " << restricted.out << "widest: " << widest.out;
}

#ifdef DOFMAP_HAVE_AVX_KERNELS

}  // namespace

// The set's name in the names of the tests (found by argument-dependent lookup, so outside the
// anonymous namespace).
void PrintTo(InstructionSet set, std::ostream* out)
{
    *out << dofmap::kernels::instructionSetName(set);
}

namespace {

// The kernels of one vectorized set, as its dispatch table holds them, against the portable loops.
// Each set runs wherever the dispatch would choose it or a wider one (the wider sets call the
// narrower ones for the ends of rows).
class VectorKernels : public ::testing::TestWithParam<InstructionSet> {
protected:
    void SetUp() override
    {
        if (activeInstructionSet() < GetParam())
            GTEST_SKIP() << dofmap::kernels::instructionSetName(GetParam())
                         << " kernels not tested: the processor lacks the instruction set or OPENCV_CPU_DISABLE turns "
                            "it off";
    }

    const RowKernels& set = kernelsOf(GetParam());
};

INSTANTIATE_TEST_SUITE_P(Vectorized, VectorKernels,
                         ::testing::Values(InstructionSet::avx, InstructionSet::avx2, InstructionSet::avx512),
                         [](const ::testing::TestParamInfo<InstructionSet>& info) {
                             return dofmap::kernels::instructionSetName(info.param);
                         });

TEST_P(VectorKernels, SquaredDistancesEqualThePortableLoop)
{
    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const int count : kLengths) {
        // Full-range bytes, rows differing by at most a few levels as blurred photos do, and bytes
        // of 0 and 255 facing 255 and 0 or themselves (spread 0), up to the largest distance.
        for (const int spread : {255, 3, 0}) {
            std::vector<std::uint8_t> source(3 * count), blurred(3 * count);
            for (int i = 0; i < 3 * count; ++i) {
                if (spread == 0) {
                    source[i] = byte(random) % 2 == 0 ? 0 : 255;
                    blurred[i] = i % 7 == 0 ? source[i] : std::uint8_t(255 - source[i]);
                    continue;
                }
                source[i] = std::uint8_t(byte(random));
                blurred[i] = std::uint8_t(std::clamp(source[i] + byte(random) % (2 * spread + 1) - spread, 0, 255));
            }
            std::vector<std::int32_t> fast(count + 1, -1), plain(count + 1, -1);
            set.squaredDistances(source.data(), blurred.data(), count, fast.data());
            portable::squaredDistances(source.data(), blurred.data(), count, plain.data());
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(fast[i], plain[i]) << "pixel " << i << " of " << count << ", spread " << spread;
            EXPECT_EQ(fast[count], -1) << "wrote past the end of " << count;
        }
    }
    // Every pixel at the largest distance, over a row whose end is not a multiple of the vectors.
    const std::vector<std::uint8_t> white(3 * 45, 255), black(3 * 45, 0);
    std::vector<std::int32_t> largest(45);
    set.squaredDistances(white.data(), black.data(), 45, largest.data());
    for (int i = 0; i < 45; ++i) ASSERT_EQ(largest[i], 3 * 255 * 255) << "pixel " << i;
}

TEST_P(VectorKernels, PixelRowsEqualDistancesThenRows)
{
    expectPixelRowsAsDistancesThenRows(set.addPixelRow, set.replacePixelRow, set.addPixelDistances, 18);
}

// The loops that the scans use around the ones above: removing a row, the block totals' sums, the
// fixed-point scan's parts and their joined differences, and the three-channel map.
TEST_P(VectorKernels, RemainingLoopsEqualThePortableLoops)
{
    std::mt19937_64 random(15);
    std::mt19937 rows(16);
    for (const int count : kLengths) {
        const std::vector<std::int32_t> squared = squaredRow(count, rows);
        std::vector<float> roots(count);
        for (int i = 0; i < count; ++i) roots[i] = rootOf(squared[i]);
        std::vector<double> sumsA(count), sumsB(count);
        for (int i = 0; i < count; ++i) sumsA[i] = sumsB[i] = double(random() % (std::uint64_t(1) << 40)) * 0x1p-23;
        set.subtractRow(roots.data(), count, sumsA.data());
        portable::subtractRow(roots.data(), count, sumsB.data());
        set.addDistances(squared.data(), count, sumsA.data());
        portable::addDistances(squared.data(), count, sumsB.data());
        for (int i = 0; i < count; ++i) ASSERT_TRUE(sameBits(sumsA[i], sumsB[i])) << "column " << i << " of " << count;

        // Fixed-point column sums up to 2^53, split and joined again.
        std::vector<double> values(count + 1), highA(count + 1, -1.0), lowA(count + 1, -1.0), highB(count + 1),
            lowB(count + 1);
        for (double& v : values) v = double(random() % (std::uint64_t(1) << 53));
        set.splitParts(values.data(), count, highA.data(), lowA.data());
        portable::splitParts(values.data(), count, highB.data(), lowB.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(sameBits(highA[i], highB[i])) << "value " << i << " of " << count << ": " << values[i];
            ASSERT_TRUE(sameBits(lowA[i], lowB[i])) << "value " << i << " of " << count << ": " << values[i];
        }
        EXPECT_EQ(highA[count], -1.0) << "wrote past the end of " << count;
        std::vector<double> joinedA(count + 1, -1.0), joinedB(count), differenceA(count + 1, -1.0), differenceB(count);
        set.joinDifferences(highB.data(), lowB.data(), lowB.data(), highB.data(), count, 0x1p-30, joinedA.data());
        portable::joinDifferences(highB.data(), lowB.data(), lowB.data(), highB.data(), count, 0x1p-30, joinedB.data());
        set.differences(values.data(), highB.data(), count, differenceA.data());
        portable::differences(values.data(), highB.data(), count, differenceB.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(sameBits(joinedA[i], joinedB[i])) << "value " << i << " of " << count;
            ASSERT_TRUE(sameBits(differenceA[i], differenceB[i])) << "value " << i << " of " << count;
        }
        EXPECT_EQ(joinedA[count], -1.0) << "wrote past the end of " << count;
        EXPECT_EQ(differenceA[count], -1.0) << "wrote past the end of " << count;

        // Gray levels 0 to 255, and each level's three bytes.
        std::vector<std::uint8_t> gray(count), outA(3 * count + 1, 7), outB(3 * count);
        for (int i = 0; i < count; ++i) gray[i] = std::uint8_t(i % 3 == 0 ? 255 * (i % 2) : random() % 256);
        set.grayToThreeChannels(gray.data(), count, outA.data());
        portable::grayToThreeChannels(gray.data(), count, outB.data());
        for (int i = 0; i < 3 * count; ++i)
            ASSERT_EQ(outA[i], outB[i]) << "byte " << i << " of " << count << ", gray " << int(gray[i / 3]);
        EXPECT_EQ(outA[3 * count], 7) << "wrote past the end of " << count;
    }
}

TEST_P(VectorKernels, PrefixSumsEqualThePortableLoop)
{
    std::mt19937_64 random(12);
    for (const int count : kLengths) {
        std::vector<double> values(count);
        // Integers as large as column sums get: 30 roots of up to 441.68 with 23 fraction bits.
        for (double& v : values) v = double(random() % (std::uint64_t(1) << 37));
        // A start as large as the sums of a row's earlier columns.
        const double start = double(random() % (std::uint64_t(1) << 45));
        std::vector<double> fast(count + 2, -1.0), plain(count + 2, -1.0);
        set.prefixSums(values.data(), count, start, fast.data());
        portable::prefixSums(values.data(), count, start, plain.data());
        double running = start;
        for (int i = 0; i <= count; ++i) {
            ASSERT_EQ(plain[i], running) << "portable prefix " << i << " of " << count;
            ASSERT_EQ(fast[i], plain[i]) << "prefix " << i << " of " << count;
            if (i < count) running += values[i];
        }
        EXPECT_EQ(fast[count + 1], -1.0) << "wrote past the end of " << count;
    }
}

TEST_P(VectorKernels, GrayLevelsEqualThePortableLoops)
{
    std::mt19937_64 random(13);
    std::uniform_real_distribution<double> level(0.0, 300.0);
    const LevelError error{2.4e-7, 1e-12};
    constexpr double kRowScale = 0.75;
    for (const int count : kLengths) {
        // Box sums giving levels anywhere up to 300, a third of them exactly on or just off a
        // half-integer, over column scales of a clipped neighborhood's sizes.
        std::vector<double> sums(count), scales(count);
        for (int i = 0; i < count; ++i) {
            scales[i] = 1.0 / double(15 + i % 16);
            double wanted = level(random);
            if (i % 3 == 0) wanted = std::floor(wanted) + 0.5 + double(int(random() % 3) - 1) * 1e-6;
            sums[i] = wanted / scales[i] / kRowScale;
        }
        std::vector<std::int32_t> fastLevels(count + 1, -1), plainLevels(count + 1, -1);
        std::vector<std::uint8_t> fastGray(count + 1, 7), plainGray(count + 1, 7);
        const bool fast =
            set.grayLevels(sums.data(), scales.data(), kRowScale, count, error, fastLevels.data(), fastGray.data());
        const bool plain = portable::grayLevels(sums.data(), scales.data(), kRowScale, count, error, plainLevels.data(),
                                                plainGray.data());
        EXPECT_EQ(fast, plain) << count;
        if (count > 100) {
            EXPECT_TRUE(plain) << "no level in doubt among " << count;
        }
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(fastLevels[i], plainLevels[i]) << "pixel " << i << " of " << count << ", sum " << sums[i];
            ASSERT_EQ(fastGray[i], plainGray[i]) << "pixel " << i << " of " << count;
        }
        EXPECT_EQ(fastLevels[count], -1) << "wrote past the end of " << count;
        EXPECT_EQ(fastGray[count], 7) << "wrote past the end of " << count;
    }
}

// The search of the largest mean's candidates and the table of float means: the same answers and
// bits as the portable loops, the streaming stores from any alignment of the output.
TEST_P(VectorKernels, SearchesAndFloatMeansEqualThePortableLoops)
{
    std::mt19937_64 random(21);
    for (const int count : kLengths) {
        std::vector<double> sums(count), scales(count);
        for (int i = 0; i < count; ++i) {
            sums[i] = double(random() % (std::uint64_t(1) << 42)) * 0x1p-23;
            scales[i] = 1.0 / double(15 + i % 16);
        }
        if (count > 0) {
            const double largest = set.largestOf(sums.data(), count);
            ASSERT_EQ(largest, portable::largestOf(sums.data(), count)) << count;
            ASSERT_EQ(largest, *std::max_element(sums.begin(), sums.end())) << count;
            // Thresholds at, just above and just below values of the row, and beyond all of them.
            for (const int at : {0, count / 2, count - 1}) {
                for (const double threshold :
                     {sums[at], std::nextafter(sums[at], 1e300), sums[at] * 0.5, largest * 2.0, 0.0}) {
                    ASSERT_EQ(set.firstAtLeast(sums.data(), count, threshold),
                              portable::firstAtLeast(sums.data(), count, threshold))
                        << count << " values, threshold " << threshold;
                }
            }
        }
        EXPECT_EQ(set.firstAtLeast(sums.data(), count, 1e300), count);
        for (const int offset : {0, 1, 5, 15}) {
            // Outputs starting anywhere within a 64-byte line.
            std::vector<float> fast(count + 32, -1.0f), plain(count + 32, -1.0f);
            float* out =
                fast.data() + (16 - (reinterpret_cast<std::uintptr_t>(fast.data()) / sizeof(float)) % 16) + offset;
            const double largest = set.floatMeans(sums.data(), scales.data(), 0.75, count, out);
            finishStreamingStores();
            EXPECT_EQ(largest, portable::floatMeans(sums.data(), scales.data(), 0.75, count, plain.data())) << count;
            EXPECT_EQ(largest, count == 0 ? 0.0 : *std::max_element(sums.begin(), sums.end())) << count;
            for (int i = 0; i < count; ++i) {
                ASSERT_EQ(out[i], plain[i]) << "mean " << i << " of " << count << ", offset " << offset;
                ASSERT_EQ(plain[i], float(sums[i] * scales[i] * 0.75)) << "mean " << i << " of " << count;
            }
            EXPECT_EQ(out[count], -1.0f) << "wrote past the end of " << count;
            EXPECT_EQ(out[-1], -1.0f) << "wrote before the start of " << count;
        }
    }
}

TEST_P(VectorKernels, GrayLevelsOfFloatMeansEqualThePortableLoop)
{
    std::mt19937_64 random(23);
    std::uniform_real_distribution<double> level(0.0, 300.0);
    const LevelError error{2.4e-7, 1e-12};
    const double toLevel = 255.0 / 7.25;
    for (const int count : kLengths) {
        // Means giving levels anywhere up to 300, a third of them on or just off a half-integer.
        std::vector<float> means(count);
        for (int i = 0; i < count; ++i) {
            double wanted = level(random);
            if (i % 3 == 0) wanted = std::floor(wanted) + 0.5 + double(int(random() % 3) - 1) * 1e-6;
            means[i] = float(wanted / toLevel);
        }
        std::vector<std::int32_t> fastLevels(count + 1, -1), plainLevels(count + 1, -1);
        std::vector<std::uint8_t> fastGray(count + 1, 7), plainGray(count + 1, 7), grayAlone(count + 1, 7);
        const bool fast =
            set.grayLevelsOfMeans(means.data(), count, toLevel, error, fastLevels.data(), fastGray.data());
        const bool plain =
            portable::grayLevelsOfMeans(means.data(), count, toLevel, error, plainLevels.data(), plainGray.data());
        const bool alone = set.grayLevelsOfMeans(means.data(), count, toLevel, error, nullptr, grayAlone.data());
        EXPECT_EQ(fast, plain) << count;
        EXPECT_EQ(alone, plain) << count;
        if (count > 100) {
            EXPECT_TRUE(plain) << "no level in doubt among " << count;
        }
        for (int i = 0; i < count; ++i) {
            const double exact = double(means[i]) * toLevel;
            const double nearest = std::nearbyint(exact);
            ASSERT_EQ(plainLevels[i] % kDoubtful, int(nearest)) << "pixel " << i << ", level " << exact;
            ASSERT_EQ(plainLevels[i] >= kDoubtful, exactness::inDoubt(exact, nearest, error))
                << "pixel " << i << ", level " << exact;
            ASSERT_EQ(fastLevels[i], plainLevels[i]) << "pixel " << i << " of " << count << ", level " << exact;
            ASSERT_EQ(fastGray[i], plainGray[i]) << "pixel " << i << " of " << count;
            ASSERT_EQ(grayAlone[i], plainGray[i]) << "pixel " << i << " of " << count;
        }
        EXPECT_EQ(fastLevels[count], -1) << "wrote past the end of " << count;
        EXPECT_EQ(fastGray[count], 7) << "wrote past the end of " << count;
    }
}

// The loops that the compiler vectorizes for each set, and the sums of the literal shortcut: the same
// bits as the portable loops, on the same rows.
TEST_P(VectorKernels, CompiledLoopsAndSumsEqualThePortableLoops)
{
    std::mt19937 random(14);
    for (const int count : kLengths) {
        const std::vector<std::int32_t> squared = squaredRow(count, random), other = squaredRow(count, random);
        std::vector<double> sumsA(count, 1e6), sumsB(count, 1e6);
        std::vector<float> rootsA(count), rootsB(count);
        set.addRow(squared.data(), count, rootsA.data(), sumsA.data());
        portable::addRow(squared.data(), count, rootsB.data(), sumsB.data());
        set.replaceRow(other.data(), count, rootsA.data(), sumsA.data());
        portable::replaceRow(other.data(), count, rootsB.data(), sumsB.data());
        set.moveFixedRows(squared.data(), other.data(), count, fixedTerms().data(), sumsA.data());
        portable::moveFixedRows(squared.data(), other.data(), count, fixedTerms().data(), sumsB.data());
        set.moveFixedRows(nullptr, squared.data(), count, fixedTerms().data(), sumsA.data());
        portable::moveFixedRows(nullptr, squared.data(), count, fixedTerms().data(), sumsB.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(sameBits(sumsA[i], sumsB[i])) << "column " << i << " of " << count;
            ASSERT_EQ(rootsA[i], rootsB[i]) << "column " << i << " of " << count;
        }

        std::vector<double> columnScale(count), meansA(count), meansB(count);
        std::vector<float> floatsA(count), floatsB(count);
        for (int i = 0; i < count; ++i) columnScale[i] = 1.0 / double(1 + i % 30);
        set.fastMeans(sumsA.data(), columnScale.data(), 1.0 / 29.0, count, meansA.data(), floatsA.data());
        portable::fastMeans(sumsB.data(), columnScale.data(), 1.0 / 29.0, count, meansB.data(), floatsB.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(sameBits(meansA[i], meansB[i])) << "pixel " << i << " of " << count;
            ASSERT_EQ(floatsA[i], float(meansB[i])) << "pixel " << i << " of " << count;
        }
        double lanesA[8] = {}, lanesB[8] = {};
        std::int64_t belowA = 0, belowB = 0;
        std::vector<double> keptA(count + 1, -1.0), keptB(count + 1, -1.0);
        std::vector<double> sortedMeans = meansB;
        std::sort(sortedMeans.begin(), sortedMeans.end());
        const double low = count > 3 ? sortedMeans[count / 3] : 0.0, high = count > 3 ? sortedMeans[count / 2] : 1e300;
        const int keptCountA = set.gatherRow(meansA.data(), count, low, high, lanesA, &belowA, keptA.data());
        ASSERT_EQ(keptCountA, portable::gatherRow(meansB.data(), count, low, high, lanesB, &belowB, keptB.data()))
            << count;
        EXPECT_EQ(belowA, belowB) << count;
        for (int lane = 0; lane < 8; ++lane) EXPECT_TRUE(sameBits(lanesA[lane], lanesB[lane])) << count;
        for (int i = 0; i <= keptCountA; ++i) EXPECT_EQ(keptA[i], keptB[i]) << i << " of " << count;

        for (const double scale : {1.0, 0x1p20, 0x1p42}) {
            double totalA = -1.0, totalB = -1.0;
            const bool cleanA = set.gridSum(squared.data(), count, scale, &totalA);
            const bool cleanB = portable::gridSum(squared.data(), count, scale, &totalB);
            ASSERT_EQ(cleanA, cleanB) << count << " at scale " << scale;
            if (cleanB) {
                ASSERT_EQ(totalA, totalB) << count << " at scale " << scale;
            }
        }
    }
}

#endif  // DOFMAP_HAVE_AVX_KERNELS

// Every root of a squared color distance is a multiple of 2^-23, which makes sums of them exact,
// and lies within 2^-24 of the true root, relatively, which the error bound assumes. Fixed-point
// roots are the double root rounded to the nearest unit.
TEST(RowKernels, RootsAreOnTheirGrids)
{
    for (std::int32_t squared = 0; squared <= 3 * 255 * 255; ++squared) {
        const double root = std::sqrt(double(squared));
        const double units = double(rootOf(squared)) * 0x1p23;
        ASSERT_EQ(units, std::floor(units)) << "squared distance " << squared;
        ASSERT_LE(std::abs(double(rootOf(squared)) - root), root * 0x1p-24) << "squared distance " << squared;
        const double fixed = fixedRootOf(squared, 0x1p30);
        ASSERT_EQ(fixed, std::floor(fixed)) << "squared distance " << squared;
        ASSERT_LE(std::abs(fixed - root * 0x1p30), 0.5) << "squared distance " << squared;
    }
}

TEST(RowKernels, GrayLevelsMarkOnlyLevelsNearHalfIntegers)
{
    // Levels 10, 10.5, 10.4999, 254.6, 300 and 0 from box sums with unit scales.
    const std::vector<double> sums = {10.0, 10.5, 10.4999, 254.6, 300.0, 0.0};
    const std::vector<double> scales(sums.size(), 1.0);
    std::vector<std::int32_t> levels(sums.size());
    std::vector<std::uint8_t> gray(sums.size());
    const LevelError error{1e-7, 1e-9};
    ASSERT_TRUE(grayLevels(sums.data(), scales.data(), 1.0, int(sums.size()), error, levels.data(), gray.data()));
    EXPECT_EQ(levels[0], 10);
    EXPECT_GE(levels[1], kDoubtful);
    EXPECT_EQ(levels[2], 10);
    EXPECT_EQ(levels[3], 255);
    EXPECT_EQ(gray[4], 255);
    EXPECT_EQ(levels[5], 0);
    EXPECT_FALSE(grayLevels(sums.data(), scales.data(), 1.0, 1, error, levels.data(), gray.data()));
}

// Whether the root of `squared` lies half-way between two points of the grid of 1 / scale.
bool halfWay(std::int32_t squared, double scale)
{
    const double scaled = std::sqrt(double(squared)) * scale;
    return scaled - std::floor(scaled) == 0.5;
}

// gridSum adds the roots rounded to the grid of 1 / scale, and refuses exactly the runs that hold a
// root lying half-way between two grid points. At scale 2^42 a root of 256 or more lies half-way
// when the last of its 44 fraction bits is clear and the one before set: a quarter of them.
TEST(RowKernels, GridSumsRoundEachRootAndRefuseHalves)
{
    std::vector<std::int32_t> squares;
    for (std::int32_t squared = 0; squared < 4000; ++squared) squares.push_back(squared);
    for (std::int32_t squared = 65536; squared < 69536; ++squared) squares.push_back(squared);
    int halves = 0;
    for (const double scale : {1.0, 0x1p10, 0x1p30, 0x1p42}) {
        for (const std::int32_t squared : squares) {
            const double scaled = std::sqrt(double(squared)) * scale;
            const double below = std::floor(scaled);
            const bool half = halfWay(squared, scale);
            halves += half;
            const double nearest = scaled - below < 0.5 ? below : below + 1.0;
            double total = -1.0;
            const bool clean = gridSum(&squared, 1, scale, &total);
            ASSERT_EQ(clean, !half) << "squared " << squared << " at scale " << scale;
            if (clean) {
                ASSERT_EQ(total, nearest) << "squared " << squared << " at scale " << scale;
            }
        }
    }
    EXPECT_GT(halves, 100);
    // A long run sums exactly (its total below 2^53), and one half-way root anywhere in it refuses
    // the run.
    std::vector<std::int32_t> run;
    double expected = 0.0;
    for (std::int32_t squared = 17; run.size() < 1000; squared += 3) {
        if (halfWay(squared, 0x1p30) || halfWay(squared, 0x1p42)) continue;
        run.push_back(squared);
        expected += std::nearbyint(std::sqrt(double(squared)) * 0x1p30);
    }
    double total = 0.0;
    ASSERT_TRUE(gridSum(run.data(), int(run.size()), 0x1p30, &total));
    EXPECT_EQ(total, expected);
    std::int32_t half = 65536;
    while (!halfWay(half, 0x1p42)) ++half;
    run[617] = half;
    EXPECT_FALSE(gridSum(run.data(), int(run.size()), 0x1p42, &total));
    EXPECT_TRUE(gridSum(run.data(), 617, 0x1p42, &total));
}

}  // namespace
}  // namespace dofmap::kernels
