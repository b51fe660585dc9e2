// The linear-time map against the literal per-position scan, pixel for pixel, with both kinds of
// scan terms, on images chosen to make rounding matter: ties for the largest mean, means on half
// gray levels, flat areas, tiles, windows from one pixel to larger than the picture.
#include "analysis.hpp"
#include "exactness.hpp"
#include "focus_map.hpp"
#include "images.hpp"
#include "literal_bounds.hpp"
#include "literal_map.hpp"
#include "literal_means.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace dofmap {
namespace {

using reference::literalMap;
using testing::analyzeWith;
using testing::firstDifference;
using testing::kBothTerms;
using testing::kMapWays;
using testing::mapRequest;
using testing::nameOf;
using testing::randomImage;

// The map and largest mean of both kinds of scan against those of the literal summation.
void expectLiteral(const cv::Mat& source, const cv::Mat& blurred, int window, const std::string& what, int channels = 3)
{
    const reference::LiteralMeans literal = reference::literalMeans(source, blurred, window);
    cv::Mat expected = literalMap(literal);
    if (channels == 1) cv::extractChannel(expected, expected, 0);
    for (const auto way : kMapWays) {
        const FocusAnalysis fast = analyzeWith(way, source, blurred, window, mapRequest(channels));
        EXPECT_EQ(fast.maxMean, literal.maxMean) << what << ", " << nameOf(way);
        EXPECT_EQ(firstDifference(fast.map, expected), "") << what << ", " << nameOf(way);
    }
}

// The same for the photo against its real blurred reference, with the default window.
void expectExact(const cv::Mat& source, const std::string& what)
{
    expectLiteral(source, blurredReference(source), kWindow, what);
}

// An image whose distances to an all-black "blurred" image are `distance(x, y)` along blue alone.
template <class Distance>
cv::Mat blueDistances(int width, int height, Distance&& distance)
{
    cv::Mat image(height, width, CV_8UC3, cv::Scalar::all(0));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.at<cv::Vec3b>(y, x)[0] = uchar(distance(x, y));
    return image;
}

TEST(Exactness, RandomPhotosOfSizesAroundTheWindow)
{
    unsigned seed = 100;
    for (const int width : {14, 15, 16, 29, 30, 31, 44, 45, 46, 60, 61})
        for (const int height : {1, 15, 16, 30, 31, 46}) {
            expectExact(randomImage(width, height, seed++), std::to_string(width) + "x" + std::to_string(height));
        }
}

TEST(Exactness, FlatPhotoWithSharpIslands)
{
    cv::Mat source(140, 170, CV_8UC3, cv::Scalar(90, 120, 30));
    randomImage(12, 9, 1).copyTo(source(cv::Rect(20, 30, 12, 9)));
    randomImage(3, 3, 2).copyTo(source(cv::Rect(150, 120, 3, 3)));
    source.at<cv::Vec3b>(70, 85) = cv::Vec3b(91, 120, 30);  // a single level of difference
    expectExact(source, "flat with islands");
}

// Every interior neighborhood of a periodic picture holds the same distances: all interior means
// are equal in exact arithmetic, so the largest mean is decided by the roundings of the sums alone.
TEST(Exactness, RepeatedTilesTieForTheLargestMean)
{
    for (const int period : {2, 3, 5, 7}) {
        const cv::Mat tile = randomImage(period, period, unsigned(period));
        cv::Mat source;
        cv::repeat(tile, 120 / period, 150 / period, source);
        expectExact(source, "tile " + std::to_string(period));
    }
}

// k distances of sqrt(c) in one place and a single distance of sqrt(c k^2) far away, both far from
// the borders: the means around both tie in exact arithmetic, while the fast sums of roots and the
// literal sums each round their own way, so the fast largest mean may lie in the other place than
// the literal one.
TEST(Exactness, NearTiesForTheLargestMeanAreSettledLiterally)
{
    for (const int channels : {2, 3}) {
        for (int k = 20; k <= 40; ++k) {
            cv::Mat source(60, 150, CV_8UC3, cv::Scalar::all(0));
            for (int i = 0; i < k; ++i) {
                cv::Vec3b& pixel = source.at<cv::Vec3b>(30 + i / 8, 30 + i % 8);
                for (int c = 0; c < channels; ++c) pixel[c] = 1;
            }
            cv::Vec3b& single = source.at<cv::Vec3b>(30, 110);
            for (int c = 0; c < channels; ++c) single[c] = uchar(k);
            const cv::Mat black(source.size(), CV_8UC3, cv::Scalar::all(0));
            expectLiteral(source, black, kWindow,
                          std::to_string(k) + " distances of sqrt(" + std::to_string(channels) + ")");
        }
    }
}

// The same near ties in a large, mostly flat picture, where only the few blocks of pixels that can
// hold the largest mean are scanned. Means are 0 away from the two places, so the literal maximum
// is taken over the pixels around them.
TEST(Exactness, NearTiesInALargeFlatPicture)
{
    for (const int k : {30, 31, 33, 34, 36, 38}) {
        cv::Mat source(260, 420, CV_8UC3, cv::Scalar::all(0));
        for (int i = 0; i < k; ++i) source.at<cv::Vec3b>(60 + i / 8, 70 + i % 8) = cv::Vec3b(1, 1, 0);
        source.at<cv::Vec3b>(190, 330) = cv::Vec3b(uchar(k), uchar(k), 0);
        const cv::Mat black(source.size(), CV_8UC3, cv::Scalar::all(0));
        double literalMaximum = 0.0;
        for (const cv::Rect around : {cv::Rect(50, 40, 45, 40), cv::Rect(310, 170, 40, 40)})
            for (int y = around.y; y < around.y + around.height; ++y)
                for (int x = around.x; x < around.x + around.width; ++x)
                    literalMaximum = std::max(literalMaximum, reference::literalMean(source, black, x, y, kWindow));
        for (const auto way : kMapWays)
            EXPECT_EQ(analyzeWith(way, source, black, kWindow, mapRequest()).maxMean, literalMaximum)
                << k << " distances of sqrt(2), " << nameOf(way);
    }
}

// Distances 0 or 1 with a solid block of ones: the largest mean is exactly 1, and a pixel whose
// neighborhood holds S ones out of `count` has the exact gray value 255 S / count, a half level
// for many S. Only the literal roundings decide which way those pixels go.
TEST(Exactness, MeansOnHalfGrayLevels)
{
    const int width = 230, height = 130;
    cv::RNG rng(4242);
    const cv::Mat ones = blueDistances(width, height, [&](int x, int y) {
        if (x >= 180 && x < 225 && y >= 40 && y < 90) return 1;  // the block that sets the maximum
        return rng.uniform(0.0, 1.0) < double(x) / width ? 1 : 0;  // density rising to the right
    });
    const cv::Mat black(height, width, CV_8UC3, cv::Scalar::all(0));

    // Count the pixels that sit exactly on a half level, to know that the case is exercised.
    int halfLevels = 0;
    const Neighborhood n = Neighborhood::ofSize(kWindow);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::int64_t sum = 0, count = 0;
            for (int yy = std::max(y - n.before, 0); yy <= std::min(y + n.after, height - 1); ++yy)
                for (int xx = std::max(x - n.before, 0); xx <= std::min(x + n.after, width - 1); ++xx) {
                    sum += ones.at<cv::Vec3b>(yy, xx)[0];
                    ++count;
                }
            halfLevels += (510 * sum) % count == 0 && (510 * sum / count) % 2 == 1;
        }
    EXPECT_GT(halfLevels, 200);

    expectLiteral(ones, black, kWindow, "ones against black");
    expectLiteral(black, ones, kWindow, "black against ones");
}

// Distances that are irrational (sqrt of 2, 3, 5...) make the rounding of every sum matter.
TEST(Exactness, IrrationalDistancesInStripes)
{
    const cv::Mat source(90, 200, CV_8UC3, cv::Scalar::all(0));
    cv::Mat blurred(source.size(), CV_8UC3);
    for (int y = 0; y < blurred.rows; ++y)
        for (int x = 0; x < blurred.cols; ++x)
            blurred.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x % 3 != 0), uchar(y % 2), uchar((x + y) % 5 == 0));
    expectLiteral(source, blurred, kWindow, "stripes");
}

TEST(Exactness, RandomSmoothPhotosWithNoise)
{
    for (unsigned seed = 0; seed < 6; ++seed) {
        cv::Mat small = randomImage(6, 4, seed);
        cv::Mat source;
        cv::resize(small, source, cv::Size(157 + int(seed) * 13, 97 + int(seed) * 7), 0, 0, cv::INTER_CUBIC);
        cv::Mat noise(source.size(), CV_8UC3);
        cv::RNG(seed).fill(noise, cv::RNG::UNIFORM, 0, 1 + int(seed) * 3);
        source += noise;
        expectExact(source, "smooth photo " + std::to_string(seed));
    }
}

// Vertical stripes of gray 0 and 64, `stripe` pixels wide: every column repeats the one two stripes
// before, so whole columns of means tie exactly for the largest and others sit exactly on half
// gray levels, and all of those are summed literally.
cv::Mat stripes(int width, int height, int stripe)
{
    cv::Mat row(1, width, CV_8UC3);
    for (int x = 0; x < width; ++x) row.at<cv::Vec3b>(0, x) = cv::Vec3b::all((x / stripe) % 2 != 0 ? 64 : 0);
    cv::Mat image;
    cv::repeat(row, height, 1, image);
    return image;
}

// The literal sum of a rectangle, columns outer, rows inner, as the definition adds.
double literalMeanOf(const cv::Mat& source, const cv::Mat& blurred, const detail::Area& area)
{
    double sum = 0.0;
    for (int x = area.x0; x < area.x1; ++x)
        for (int y = area.y0; y < area.y1; ++y) {
            const cv::Vec3b s = source.at<cv::Vec3b>(y, x), b = blurred.at<cv::Vec3b>(y, x);
            const double d0 = double(b[0]) - s[0], d1 = double(b[1]) - s[1], d2 = double(b[2]) - s[2];
            sum += std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        }
    return sum / double(area.pixels());
}

// Such stripes give the literal scan's map at narrow and wide windows, and so do the neighborhoods
// of tiles repeating across and down, whose sums are taken from their earliest copies (the time of
// large stripes is the benchmark MapStripes24MegapixelsWindow's).
TEST(Exactness, StripesWithTiesAndHalfLevels)
{
    for (const int stripe : {7, 59}) {
        const cv::Mat source = stripes(100, 70, stripe);
        for (const int window : {30, 151})
            expectLiteral(source, blurredReference(source), window,
                          std::to_string(stripe) + "-pixel stripes, window " + std::to_string(window));
    }
    cv::Mat tiles;
    cv::repeat(randomImage(5, 3, 91), 30, 30, tiles);
    const cv::Mat blurred = blurredReference(tiles);  // whose edges differ from the tiles inside
    const detail::BoxScan scan(tiles, blurred, 31);
    std::vector<detail::Area> neighborhoods;
    for (int y = 0; y < tiles.rows; ++y)
        for (int x = 0; x < tiles.cols; ++x) neighborhoods.push_back(scan.clippedNeighborhood(x, y));
    const detail::LiteralMeans literal(scan, neighborhoods);
    for (const detail::Area& a : neighborhoods)
        ASSERT_EQ(literal.of(a), literalMeanOf(tiles, blurred, a))
            << "tiles, columns [" << a.x0 << ", " << a.x1 << "), rows [" << a.y0 << ", " << a.y1 << ")";
}

// Windows as large as or larger than the picture: every neighborhood is the whole picture or most
// of it.
TEST(Exactness, WindowsAsLargeAsThePicture)
{
    const cv::Mat source = randomImage(41, 29, 31);
    const cv::Mat blurred = blurredReference(source);
    for (const int window : {1, 2, 29, 41, 57, 200, 1001})
        expectLiteral(source, blurred, window, "window " + std::to_string(window));
}

// A window of 1601 over a 1700 x 1600 picture makes the box sums large enough that the roots are
// rounded to fewer fraction bits. The distances are zero outside two small patches, so the literal
// sums, which only add zeros elsewhere, can be formed from the patches' pixels in the literal order.
TEST(Exactness, HugeWindowsOverALargePicture)
{
    constexpr int kWidth = 1700, kHeight = 1600, kHugeWindow = 1601;
    const cv::Mat blurred(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
    cv::Mat source = blurred.clone();
    randomImage(10, 10, 41).copyTo(source(cv::Rect(1200, 900, 10, 10)));
    randomImage(4, 4, 42).copyTo(source(cv::Rect(0, 0, 4, 4)));

    struct Distance {
        int x, y;
        double value;
    };
    std::vector<Distance> nonzero;  // by column, then row: the literal order
    for (int x = 0; x < kWidth; ++x)
        for (int y = 0; y < kHeight; ++y) {
            const cv::Vec3b s = source.at<cv::Vec3b>(y, x);
            const double squared = double(s[0]) * s[0] + double(s[1]) * s[1] + double(s[2]) * s[2];
            if (squared > 0.0) nonzero.push_back({x, y, std::sqrt(squared)});
        }
    const Neighborhood n = Neighborhood::ofSize(kHugeWindow);
    cv::Mat_<double> means(kHeight, kWidth);
    double maxMean = 0.0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int x0 = std::max(x - n.before, 0), x1 = std::min(x + n.after, kWidth - 1);
            const int y0 = std::max(y - n.before, 0), y1 = std::min(y + n.after, kHeight - 1);
            double sum = 0.0;
            for (const Distance& d : nonzero)
                if (d.x >= x0 && d.x <= x1 && d.y >= y0 && d.y <= y1) sum += d.value;
            means(y, x) = sum / double((x1 - x0 + 1) * (y1 - y0 + 1));
            maxMean = std::max(maxMean, means(y, x));
        }
    const DofMap actual = computeDofMap(source, blurred, kHugeWindow, 1);
    ASSERT_EQ(actual.maxMean, maxMean);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            ASSERT_EQ(int(actual.map.at<uchar>(y, x)), int(grayLevel(means(y, x), maxMean)))
                << "pixel (" << x << ", " << y << ") mean " << means(y, x);
}

TEST(Exactness, OneChannelMapOfTheDemoPhoto)
{
    const cv::Mat photo = cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty()) << DEMO_PHOTO;
    expectLiteral(photo, blurredReference(photo), kWindow, "demo photo", 1);
}

TEST(Exactness, LargestMeanIsTheLiteralOne)
{
    const cv::Mat source = randomImage(75, 52, 77);
    const cv::Mat blurred = blurredReference(source);
    EXPECT_EQ(computeDofMap(source, blurred).maxMean, reference::literalMeans(source, blurred).maxMean);
    const cv::Mat flat(20, 20, CV_8UC3, cv::Scalar::all(5));
    for (const auto way : kMapWays) {
        const FocusAnalysis black = analyzeWith(way, flat, flat, kWindow, mapRequest());
        EXPECT_EQ(black.maxMean, 0.0) << nameOf(way);
        EXPECT_EQ(cv::countNonZero(black.map.reshape(1)), 0) << nameOf(way);
    }
}

// Rows a few chunks long, which the ring scan hands on in pieces: widths around the chunk's 512
// columns and its first chunk's extra columns, windows whose neighborhoods reach across the cuts.
TEST(Exactness, RowsHandedOnInPieces)
{
    for (const int width : {527, 529, 1040, 1553}) {
        const cv::Mat source = randomImage(width, 19, 70 + width);
        const cv::Mat blurred = blurredReference(source);
        for (const int window : {1, 2, 30, 31, 64})
            expectLiteral(source, blurred, window, std::to_string(width) + " columns, window " + std::to_string(window),
                          1);
    }
}

// Images wider than the widest tile of the single-precision scan are cut across columns.
TEST(Exactness, ImagesWiderThanTheWidestTile)
{
    cv::Mat source;
    cv::resize(randomImage(40, 3, 51), source, cv::Size(8300, 24), 0, 0, cv::INTER_CUBIC);
    randomImage(30, 10, 52).copyTo(source(cv::Rect(8180, 7, 30, 10)));  // sharp across the cut
    const cv::Mat blurred = blurredReference(source);
    for (const int window : {5, 30}) expectLiteral(source, blurred, window, "window " + std::to_string(window));
}

// The map, the means and the statistics are the same bits whatever the number of threads, which
// changes how the image is cut into parts; so are the map and the float means of one scan.
TEST(Exactness, ResultsDoNotDependOnTheNumberOfThreads)
{
    cv::Mat source;
    cv::resize(randomImage(9, 7, 61), source, cv::Size(310, 260), 0, 0, cv::INTER_CUBIC);
    source += randomImage(310, 260, 62) / 16;
    const cv::Mat blurred = blurredReference(source);
    FocusRequest everything;
    everything.mapChannels = 1;
    everything.meansDepth = CV_64F;
    everything.statistics = true;
    const int threads = cv::getNumThreads();
    for (const auto terms : kBothTerms) {
        for (const int window : {30, 190}) {
            cv::setNumThreads(1);
            const FocusAnalysis single = analyzeWith(terms, source, blurred, window, everything);
            cv::setNumThreads(threads);
            const FocusAnalysis many = analyzeWith(terms, source, blurred, window, everything);
            const std::string what = nameOf(terms) + ", window " + std::to_string(window);
            EXPECT_EQ(firstDifference(many.map, single.map), "") << what;
            EXPECT_EQ(cv::norm(many.means, single.means, cv::NORM_INF), 0.0) << what;
            EXPECT_EQ(many.maxMean, single.maxMean) << what;
            EXPECT_EQ(many.statistics.meanMean, single.statistics.meanMean) << what;
            EXPECT_EQ(many.statistics.p90Mean, single.statistics.p90Mean) << what;
        }
    }
    FocusRequest mapAndFloatMeans;
    mapAndFloatMeans.mapChannels = 1;
    mapAndFloatMeans.meansDepth = CV_32F;
    for (const int window : {1, 30}) {
        cv::setNumThreads(1);
        const FocusAnalysis single = analyzeFocus(source, blurred, window, mapAndFloatMeans);
        cv::setNumThreads(threads);
        const FocusAnalysis many = analyzeFocus(source, blurred, window, mapAndFloatMeans);
        const std::string what = "one scan, window " + std::to_string(window);
        EXPECT_EQ(firstDifference(many.map, single.map), "") << what;
        EXPECT_EQ(cv::norm(many.means, single.means, cv::NORM_INF), 0.0) << what;
        EXPECT_EQ(many.maxMean, single.maxMean) << what;
    }
}

// The literal means of large neighborhoods, which pass through many binades, are those of the plain
// sum, bit for bit; so are neighborhoods that share their rows and first column, taken from one
// running sum, and many over neighboring rows, taken column by column together.
TEST(Exactness, LiteralMeansOfLargeNeighborhoodsAreThoseOfThePlainSum)
{
    const cv::Mat source = randomImage(420, 300, 71);
    cv::Mat blurred = source.clone();
    blurred(cv::Rect(0, 0, 420, 150)).setTo(cv::Scalar::all(0));  // large distances in the upper half
    blurred(cv::Rect(0, 150, 420, 150)) += cv::Scalar(1, 0, 2);  // distances of a few levels below
    const detail::BoxScan scan(source, blurred, 1);
    cv::RNG rng(72);
    std::vector<detail::Area> areas;
    for (int i = 0; i < 24; ++i) {
        const int x0 = rng.uniform(0, 300), y0 = rng.uniform(0, 200);
        const detail::Area area{x0, rng.uniform(x0 + 1, 421), y0, rng.uniform(y0 + 1, 301)};
        areas.push_back(area);
        areas.push_back({area.x0, std::max(area.x0 + 1, area.x1 - 37), area.y0, area.y1});  // a narrower one
    }
    areas.push_back({0, 420, 0, 300});
    areas.push_back(areas.front());  // a repeat
    // Many over neighboring rows, tall and short, which are summed column by column together.
    for (int i = 0; i < 300; ++i) {
        const int x0 = rng.uniform(0, 220), y0 = rng.uniform(0, 40);
        areas.push_back({x0, x0 + rng.uniform(150, 201), y0, y0 + rng.uniform(200, 261)});
    }
    for (int i = 0; i < 2000; ++i) {
        const int x0 = rng.uniform(0, 400), y0 = 140 + rng.uniform(0, 3);
        areas.push_back({x0, x0 + rng.uniform(1, 21), y0, y0 + rng.uniform(10, 21)});
    }
    const detail::LiteralMeans literal(scan, areas);
    for (const detail::Area& a : areas)
        ASSERT_EQ(literal.of(a), literalMeanOf(source, blurred, a))
            << "columns [" << a.x0 << ", " << a.x1 << "), rows [" << a.y0 << ", " << a.y1 << ")";
}

// The bound of a neighborhood's literal sum holds: the literal sum lies within it of the exact sum of
// the double roots (formed exactly in 128-bit integers), and for neighborhoods of many terms it is

// The bound of a fast mean in the table of floats covers both the fast mean's own error, at its
// worst, and the rounding of the table: means half a float unit from a float, the literal mean at
// either end of the fast mean's bound.
TEST(Exactness, FloatMeanBoundCoversTheTablesRounding)
{
    std::mt19937_64 random(31);
    std::uniform_real_distribution<double> anywhere(1e-3, 441.68);
    const double relative = exactness::floatRootBound(900).relative;
    const double widened = exactness::floatMeanBound(relative);
    for (int i = 0; i < 100000; ++i) {
        const float near = float(anywhere(random));
        const double unit = double(std::nextafter(near, 1e30f)) - double(near);
        const double fast = double(near) + (i % 2 == 0 ? 0.4999 : -0.4999) * unit;
        const float stored = float(fast);
        for (const double literal : {fast * (1.0 + relative), fast * (1.0 - relative)})
            ASSERT_LE(std::abs(double(stored) - literal), widened * double(stored))
                << "fast mean " << fast << ", stored " << stored << ", literal " << literal;
    }
}
// well below the worst case gamma(n - 1) times the sum.
TEST(Exactness, LiteralSumBoundsHoldAndBeatTheWorstCase)
{
    const cv::Mat source = randomImage(430, 310, 81);
    cv::Mat blurred = source.clone();
    blurred(cv::Rect(0, 0, 430, 200)).setTo(cv::Scalar::all(0));
    const detail::BoxScan scan(source, blurred, 1);
    const detail::LiteralSumBounds bounds(scan);
    cv::RNG rng(82);
    for (int i = 0; i < 40; ++i) {
        const int x0 = rng.uniform(0, 400), y0 = rng.uniform(0, 280);
        const detail::Area a{x0, rng.uniform(x0 + 1, 431), y0, rng.uniform(y0 + 1, 311)};
        double literal = 0.0;
        __int128 exact = 0;  // in units of 2^-52: every root of 1 or more is a multiple of that
        for (int x = a.x0; x < a.x1; ++x)
            for (int y = a.y0; y < a.y1; ++y) {
                const cv::Vec3b s = source.at<cv::Vec3b>(y, x), b = blurred.at<cv::Vec3b>(y, x);
                const double d0 = double(b[0]) - s[0], d1 = double(b[1]) - s[1], d2 = double(b[2]) - s[2];
                const double root = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
                literal += root;
                exact += __int128(std::ldexp(root, 52));
            }
        const double exactSum = std::ldexp(double(exact), -52);
        const double error = std::abs(double(__int128(std::ldexp(literal, 52)) - exact)) * 0x1p-52;
        const std::string what = "columns [" + std::to_string(a.x0) + ", " + std::to_string(a.x1) + "), rows [" +
            std::to_string(a.y0) + ", " + std::to_string(a.y1) + ")";
        ASSERT_LE(error, bounds.error(a)) << what;
        if (a.pixels() > 20000) {
            const double worst = double(a.pixels() - 1) * 0x1p-53 * exactSum;
            EXPECT_LT(bounds.error(a), 0.75 * worst) << what;
        }
    }
}

}  // namespace
}  // namespace dofmap
