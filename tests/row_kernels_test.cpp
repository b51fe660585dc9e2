// The row kernels: hand-vectorized versions against their portable loops, and the exactness that
// the scan relies on.
#include "row_kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace dofmap::kernels {
namespace {

// Lengths around the vector widths, and one long row with a ragged end.
const int kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49, 1001};

TEST(RowKernels, SquaredDistancesEqualThePortableLoop)
{
    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const int count : kLengths) {
        // Full-range bytes, and rows differing by at most a few levels as blurred photos do.
        for (const int spread : {255, 3}) {
            std::vector<std::uint8_t> source(3 * count), blurred(3 * count);
            for (int i = 0; i < 3 * count; ++i) {
                source[i] = std::uint8_t(byte(random));
                blurred[i] = std::uint8_t(std::clamp(source[i] + byte(random) % (2 * spread + 1) - spread, 0, 255));
            }
            std::vector<std::int32_t> fast(count + 1, -1), plain(count + 1, -1);
            squaredDistances(source.data(), blurred.data(), count, fast.data());
            portable::squaredDistances(source.data(), blurred.data(), count, plain.data());
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(fast[i], plain[i]) << "pixel " << i << " of " << count << ", spread " << spread;
            EXPECT_EQ(fast[count], -1) << "wrote past the end of " << count;
        }
    }
}

TEST(RowKernels, PrefixSumsEqualThePortableLoop)
{
    std::mt19937_64 random(12);
    for (const int count : kLengths) {
        std::vector<double> values(count);
        // Integers as large as column sums get: 30 roots of up to 441.68 with 23 fraction bits.
        for (double& v : values) v = double(random() % (std::uint64_t(1) << 37));
        std::vector<double> fast(count + 2, -1.0), plain(count + 2, -1.0);
        prefixSums(values.data(), count, fast.data());
        portable::prefixSums(values.data(), count, plain.data());
        for (int i = 0; i <= count; ++i) ASSERT_EQ(fast[i], plain[i]) << "prefix " << i << " of " << count;
        EXPECT_EQ(fast[count + 1], -1.0) << "wrote past the end of " << count;
        double running = 0.0;
        for (int i = 0; i < count; ++i) running += values[i];
        EXPECT_EQ(plain[count], running) << count;
    }
}

TEST(RowKernels, GrayLevelsEqualThePortableLoops)
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
            grayLevels(sums.data(), scales.data(), kRowScale, count, error, fastLevels.data(), fastGray.data());
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

// Every root of a squared color distance is a multiple of 2^-23, which makes sums of them exact,
// and lies within 2^-24 of the true root, relatively, which the error bound assumes.
TEST(RowKernels, RootsAreMultiplesOfTwoToTheMinus23)
{
    for (std::int32_t squared = 0; squared <= 3 * 255 * 255; ++squared) {
        const double units = double(rootOf(squared)) * 0x1p23;
        ASSERT_EQ(units, std::floor(units)) << "squared distance " << squared;
        ASSERT_LE(std::abs(double(rootOf(squared)) - std::sqrt(double(squared))), std::sqrt(double(squared)) * 0x1p-24)
            << "squared distance " << squared;
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

}  // namespace
}  // namespace dofmap::kernels
