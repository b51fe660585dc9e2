// The map, the means and the statistics against the literal definition on small photos made in
// each test.
#include "analysis.hpp"
#include "focus_map.hpp"
#include "images.hpp"
#include "literal_map.hpp"
#include "mean_statistics.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace dofmap {
namespace {

using reference::literalMap;
using testing::firstDifference;
using testing::randomImage;

// Random photos of sizes that stress the clipping of the neighborhood: single pixels, single
// rows and columns, pictures smaller than, equal to and just above the window.
TEST(DofMap, EqualsTheLiteralScanOnAwkwardSizes)
{
    const cv::Size sizes[] = {{1, 1},  {1, 40},  {40, 1},  {7, 5},   {15, 15}, {16, 16},
                              {17, 3}, {29, 31}, {30, 30}, {31, 31}, {46, 45}, {301, 23}};
    unsigned seed = 1;
    for (const cv::Size size : sizes) {
        const cv::Mat source = randomImage(size.width, size.height, seed++);
        const cv::Mat blurred = blurredReference(source);
        EXPECT_EQ(firstDifference(computeDofMap(source, blurred).map, literalMap(source, blurred)), "")
            << "size " << size.width << "x" << size.height;
    }
}

// Smooth photos with a sharp patch look like real ones: most means are small, a few large.
TEST(DofMap, EqualsTheLiteralScanOnASmoothPhotoWithASharpPatch)
{
    cv::Mat source(90, 120, CV_8UC3);
    for (int y = 0; y < source.rows; ++y)
        for (int x = 0; x < source.cols; ++x)
            source.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 2), uchar(y * 2), uchar(x + y));
    randomImage(25, 20, 99).copyTo(source(cv::Rect(60, 40, 25, 20)));
    const cv::Mat blurred = blurredReference(source);
    EXPECT_EQ(firstDifference(computeDofMap(source, blurred).map, literalMap(source, blurred)), "");
}

TEST(DofMap, LargestMeanIsWhiteAndChannelsAreEqual)
{
    const cv::Mat source = randomImage(64, 48, 7);
    const cv::Mat map = computeDofMap(source, blurredReference(source)).map;
    int whites = 0;
    for (int y = 0; y < map.rows; ++y) {
        for (int x = 0; x < map.cols; ++x) {
            const cv::Vec3b p = map.at<cv::Vec3b>(y, x);
            ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << "pixel (" << x << ", " << y << ") is " << p;
            whites += p[0] == 255;
        }
    }
    EXPECT_GE(whites, 1);
}

TEST(DofMap, NeighborhoodUnchangedByTheBlurIsBlack)
{
    // The left 60 columns are identical in photo and reference; only the far right differs.
    const cv::Mat source = randomImage(100, 40, 3);
    cv::Mat blurred = source.clone();
    blurred(cv::Rect(80, 0, 20, 40)) += cv::Scalar(9, 9, 9);
    const cv::Mat map = computeDofMap(source, blurred).map;
    for (int y = 0; y < map.rows; ++y)
        for (int x = 0; x < 60; ++x) ASSERT_EQ(map.at<cv::Vec3b>(y, x)[0], 0) << "pixel (" << x << ", " << y << ")";
    EXPECT_EQ(map.at<cv::Vec3b>(20, 99)[0], 255);
}

// A distance of 1 at a single pixel shows how many positions the mean there divides by.
TEST(NeighborhoodMeans, CornersAverageTheirClippedNeighborhoods)
{
    const cv::Mat source(40, 50, CV_8UC3, cv::Scalar::all(100));
    const auto meanWithOneDifferenceAt = [&](int x, int y) {
        cv::Mat blurred = source.clone();
        blurred.at<cv::Vec3b>(y, x)[1] = 101;
        return testing::meansOf(source, blurred).at<double>(y, x);
    };
    EXPECT_NEAR(meanWithOneDifferenceAt(0, 0), 1.0 / 225.0, meanTolerance(1.0 / 225.0));
    EXPECT_NEAR(meanWithOneDifferenceAt(49, 39), 1.0 / 256.0, meanTolerance(1.0 / 256.0));
    EXPECT_NEAR(meanWithOneDifferenceAt(49, 0), 1.0 / 240.0, meanTolerance(1.0 / 240.0));
    EXPECT_NEAR(meanWithOneDifferenceAt(25, 20), 1.0 / 900.0, meanTolerance(1.0 / 900.0));
}

TEST(NeighborhoodMeans, NeighborhoodReachesFifteenBeforeAndFourteenAfter)
{
    const cv::Mat source(60, 60, CV_8UC3, cv::Scalar::all(0));
    cv::Mat blurred = source.clone();
    blurred.at<cv::Vec3b>(30, 30) = cv::Vec3b(3, 4, 0);  // distance 5
    const cv::Mat means = testing::meansOf(source, blurred);
    const double inside = 5.0 / 900.0;
    EXPECT_NEAR(means.at<double>(30, 45), inside, meanTolerance(inside));  // 15 to the right: the pixel is 15 before
    EXPECT_EQ(means.at<double>(30, 46), 0.0);
    EXPECT_NEAR(means.at<double>(30, 16), inside, meanTolerance(inside));  // 14 to the left: the pixel is 14 after
    EXPECT_EQ(means.at<double>(30, 15), 0.0);
    EXPECT_NEAR(means.at<double>(45, 30), inside, meanTolerance(inside));
    EXPECT_EQ(means.at<double>(15, 30), 0.0);
}

TEST(DofMap, PictureWithinTheWindowIsAllWhite)
{
    const cv::Mat source = randomImage(15, 12, 5);
    const cv::Mat map = computeDofMap(source, blurredReference(source)).map;
    EXPECT_EQ(cv::countNonZero(map.reshape(1) != 255), 0);
}

TEST(DofMap, FlatPhotoIsAllBlack)
{
    const cv::Mat source(33, 47, CV_8UC3, cv::Scalar(10, 200, 77));
    const cv::Mat map = computeDofMap(source, blurredReference(source)).map;
    ASSERT_EQ(map.type(), CV_8UC3);
    EXPECT_EQ(cv::countNonZero(map.reshape(1)), 0);
}

// The table of means stays within its stated tolerance of the literal sums, everywhere.
TEST(NeighborhoodMeans, WithinToleranceOfTheLiteralSums)
{
    const cv::Mat source = randomImage(83, 61, 17);
    const cv::Mat blurred = blurredReference(source);
    const cv::Mat means = testing::meansOf(source, blurred);
    for (int y = 0; y < source.rows; ++y) {
        for (int x = 0; x < source.cols; ++x) {
            const double literal = reference::literalMean(source, blurred, x, y, kWindow);
            ASSERT_NEAR(means.at<double>(y, x), literal, meanTolerance(literal)) << "pixel (" << x << ", " << y << ")";
        }
    }
}

TEST(DofMap, OneChannelRenderingEqualsEachChannelOfThree)
{
    const cv::Mat source = randomImage(40, 35, 11);
    const cv::Mat blurred = blurredReference(source);
    cv::Mat first;
    cv::extractChannel(computeDofMap(source, blurred).map, first, 0);
    EXPECT_EQ(firstDifference(computeDofMap(source, blurred, kWindow, 1).map, first), "");
}

// The borders are mirrored without repeating the edge pixel: a photo blurs at its top and left
// edges as it does inside a larger photo that mirrors it so (gfedcb|abcdefgh) far enough for the
// kernel, and the reference kept in a given image blurs the same.
TEST(BlurredReference, MirrorsTheBordersWithoutRepeatingTheEdge)
{
    constexpr int kMargin = 8;  // beyond the kernel's radius at sigma 1.5
    const cv::Mat source = randomImage(40, 30, 2);
    cv::Mat mirrored;
    cv::copyMakeBorder(source, mirrored, kMargin, 0, kMargin, 0, cv::BORDER_REFLECT_101);
    const cv::Mat inside = blurredReference(mirrored)(cv::Rect(kMargin, kMargin, source.cols, source.rows));
    EXPECT_EQ(firstDifference(blurredReference(source), inside), "");
    cv::Mat kept(source.size(), CV_8UC3, cv::Scalar::all(7));
    const uchar* memory = kept.data;
    blurredReference(source, kept, kBlurSigma);
    EXPECT_EQ(firstDifference(kept, inside), "");
    EXPECT_EQ(kept.data, memory) << "the reference did not stay in the image given";
}

// Photos of a few hundred pixels square, smooth with fine noise as photos are: large enough that
// the statistics look for the percentile in a predicted window.
cv::Mat smoothPhoto(int width, int height, unsigned seed)
{
    cv::Mat source;
    cv::resize(randomImage(7, 5, seed), source, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    return source + randomImage(width, height, seed + 1) / 24;
}

// The average and the nearest-rank 90th percentile of the literal means.
MeanStatistics literalStatistics(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    const reference::LiteralMeans literal = reference::literalMeans(source, blurred, window);
    std::vector<double> all;
    for (const auto& column : literal.byColumn) all.insert(all.end(), column.begin(), column.end());
    long double total = 0.0L;
    for (const double mean : all) total += mean;
    std::sort(all.begin(), all.end());
    return {literal.maxMean, double(total / all.size()), all[(9 * all.size() + 9) / 10 - 1]};
}

// With both kinds of scan, on photos that keep every mean and on ones that predict a window, and
// for windows that predict it well and badly: the largest mean exact, the average and percentile
// within the tolerance of the literal ones, and the percentile exactly the fast mean of its rank.
TEST(MeanStatistics, MatchTheLiteralMeansAndTheRankOfTheFastOnes)
{
    const struct {
        cv::Size size;
        int window;
    } cases[] = {{{60, 45}, 30}, {{300, 240}, 30}, {{300, 240}, 1}, {{300, 240}, 5}, {{200, 190}, 185}};
    unsigned seed = 80;
    for (const auto& c : cases) {
        const cv::Mat source = smoothPhoto(c.size.width, c.size.height, seed += 2);
        const cv::Mat blurred = blurredReference(source);
        const MeanStatistics literal = literalStatistics(source, blurred, c.window);
        FocusRequest request;
        request.mapChannels = 0;
        request.meansDepth = CV_64F;
        request.statistics = true;
        for (const auto terms : testing::kBothTerms) {
            const std::string what = std::to_string(c.size.width) + "x" + std::to_string(c.size.height) + ", window " +
                std::to_string(c.window) + ", " + testing::nameOf(terms);
            const FocusAnalysis fast = testing::analyzeWith(terms, source, blurred, c.window, request);
            EXPECT_EQ(fast.statistics.maxMean, literal.maxMean) << what;
            EXPECT_NEAR(fast.statistics.meanMean, literal.meanMean, meanTolerance(literal.meanMean, c.window)) << what;
            EXPECT_NEAR(fast.statistics.p90Mean, literal.p90Mean, meanTolerance(literal.p90Mean, c.window)) << what;
            std::vector<double> means(fast.means.begin<double>(), fast.means.end<double>());
            std::sort(means.begin(), means.end());
            EXPECT_EQ(fast.statistics.p90Mean, means[(9 * means.size() + 9) / 10 - 1]) << what;
        }
    }
}

// A window that misses the percentile is told apart, and the search by passes finds the rank.
TEST(MeanStatistics, WindowsThatMissThePercentileFallBackOnPasses)
{
    const std::vector<double> values = {4.0, 1.0, 3.0, 2.0, 5.0, 7.0, 6.0, 9.0, 8.0, 10.0};
    detail::MeanGathering gathering;
    gathering.addRow(0, 0, values.data(), int(values.size()), {2.5, 6.5});
    EXPECT_EQ(gathering.below, 2);
    EXPECT_EQ(gathering.inWindow.size(), 4u);
    // The 9th smallest of ten lies above the window; the 3rd to 6th lie in it.
    EXPECT_FALSE(detail::gatheredStatistics(10, {2.5, 6.5}, {gathering}).second.has_value());
    detail::MeanGathering wider;
    wider.addRow(0, 0, values.data(), int(values.size()), {2.5, 9.5});
    const auto [average, percentile] = detail::gatheredStatistics(10, {2.5, 9.5}, {wider});
    EXPECT_EQ(average, 5.5);
    ASSERT_TRUE(percentile.has_value());
    EXPECT_EQ(*percentile, 9.0);

    const cv::Mat source = smoothPhoto(90, 70, 90);
    const cv::Mat blurred = blurredReference(source);
    const detail::BoxScan scan(source, blurred, kWindow);
    cv::Mat means = testing::meansOf(source, blurred, kWindow, CV_64F);
    std::vector<double> sorted(means.begin<double>(), means.end<double>());
    std::sort(sorted.begin(), sorted.end());
    for (const std::int64_t rank : {std::int64_t(1), std::int64_t(5670), std::int64_t(6300)})
        EXPECT_EQ(detail::fastMeanOfRank(scan, rank, sorted.back() * 1.001), sorted[rank - 1]) << "rank " << rank;
}

// A figure of /proc/self/status in MiB, such as "VmHWM" (the peak resident memory) or "VmRSS".
double statusMiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
    return -1.0;
}

// Pictures of many equal means: a flat 24-megapixel one, whose means are all 0, is figured within a
// little memory beside its two images (keeping every mean in the percentile's window took 400 MB
// more); and a two-valued one, whose percentile ties among more means than are kept, has the fast
// mean of its rank.
TEST(MeanStatistics, PicturesOfManyEqualMeansInBoundedMemory)
{
    const cv::Mat flat(4000, 6000, CV_8UC3, cv::Scalar(40, 50, 60));
    const cv::Mat flatBlurred = blurredReference(flat);
    ASSERT_TRUE(std::ofstream("/proc/self/clear_refs") << "5") << "cannot reset the peak resident memory";
    const double before = statusMiB("VmRSS");
    const MeanStatistics figures = testing::statisticsOf(flat, flatBlurred);
    const double growth = statusMiB("VmHWM") - before;
    EXPECT_EQ(figures.maxMean, 0.0);
    EXPECT_EQ(figures.meanMean, 0.0);
    EXPECT_EQ(figures.p90Mean, 0.0);
    EXPECT_LT(growth, 64.0) << "the statistics of a flat 24-megapixel picture took " << growth << " MiB";

    // A checkerboard of single pixels over the upper 1300 rows, whose inner means are all one.
    cv::Mat twoValued(1500, 2000, CV_8UC3, cv::Scalar::all(0));
    for (int y = 0; y < 1300; ++y)
        for (int x = y % 2; x < twoValued.cols; x += 2) twoValued.at<cv::Vec3b>(y, x) = cv::Vec3b::all(255);
    const cv::Mat blurred = blurredReference(twoValued);
    const cv::Mat means = testing::meansOf(twoValued, blurred, kWindow, CV_64F);
    std::vector<double> sorted(means.begin<double>(), means.end<double>());
    std::sort(sorted.begin(), sorted.end());
    const double p90 = sorted[(9 * sorted.size() + 9) / 10 - 1];
    ASSERT_GT(std::count(sorted.begin(), sorted.end(), p90), detail::kMostMeansGathered);
    EXPECT_EQ(testing::statisticsOf(twoValued, blurred).p90Mean, p90);
}

// Single-precision means are the double ones rounded, and the fixed-point scan's means lie within its
// own, tighter bound of the literal ones.
TEST(NeighborhoodMeans, FloatMeansAreTheDoubleOnesRoundedAndFixedPointOnesLieCloser)
{
    const cv::Mat source = smoothPhoto(120, 90, 95);
    const cv::Mat blurred = blurredReference(source);
    for (const int window : {30, 200}) {
        const cv::Mat wide = testing::meansOf(source, blurred, window, CV_64F);
        const cv::Mat narrow = testing::meansOf(source, blurred, window, CV_32F);
        cv::Mat rounded;
        wide.convertTo(rounded, CV_32F);
        EXPECT_EQ(cv::norm(rounded, narrow, cv::NORM_INF), 0.0) << "window " << window;
        // With the map, from one scan through its table of float means: the same floats.
        FocusRequest withMap;
        withMap.mapChannels = 1;
        withMap.meansDepth = CV_32F;
        const FocusAnalysis both = analyzeFocus(source, blurred, window, withMap);
        EXPECT_EQ(cv::norm(both.means, narrow, cv::NORM_INF), 0.0) << "window " << window << ", with the map";
        EXPECT_EQ(cv::norm(both.map, computeDofMap(source, blurred, window, 1).map, cv::NORM_INF), 0.0)
            << "window " << window;
    }
    const detail::BoxScan fixed(source, blurred, 60, detail::ScanTerms::fixedPoint);
    EXPECT_LT(fixed.bound().relative, meanTolerance(1.0, 60) / 10);
    FocusRequest request;
    request.mapChannels = 0;
    request.meansDepth = CV_64F;
    FocusAnalysis analysis;
    detail::analyze(fixed, request, analysis);
    for (int y = 0; y < source.rows; y += 7)
        for (int x = 0; x < source.cols; ++x) {
            const double literal = reference::literalMean(source, blurred, x, y, 60);
            ASSERT_NEAR(analysis.means.at<double>(y, x), literal, fixed.bound()(literal))
                << "pixel (" << x << ", " << y << ")";
        }
}

// The limits are inclusive, a sigma that is no number is outside, the window is judged first, and
// the reasons are those the programs print; the analysis refuses a window beyond the limit.
TEST(Parameters, ProblemsAtTheLimits)
{
    const auto problem = [](double sigma, int window) {
        const std::optional<ParameterProblem> found = parameterProblem({sigma, window});
        return found ? found->name + " " + found->reason + " (" + found->range + ")" : std::string();
    };
    const std::string badWindow = "window must be a whole number from 1 to 100000 (from 1 to 100000)";
    const std::string badSigma = "sigma must be a number from 0.1 to 100 (from 0.1 to 100)";
    EXPECT_EQ(problem(0.1, 1), "");
    EXPECT_EQ(problem(100.0, 100000), "");
    EXPECT_EQ(problem(1.5, 0), badWindow);
    EXPECT_EQ(problem(1.5, 100001), badWindow);
    EXPECT_EQ(problem(std::nan(""), 0), badWindow);
    EXPECT_EQ(problem(std::nextafter(0.1, 0.0), 30), badSigma);
    EXPECT_EQ(problem(std::nextafter(100.0, 200.0), 30), badSigma);
    EXPECT_EQ(problem(std::nan(""), 30), badSigma);
    EXPECT_EQ(problem(HUGE_VAL, 30), badSigma);

    const cv::Mat source = randomImage(8, 6, 3);
    EXPECT_THROW(analyzeFocus(source, blurredReference(source), kGreatestWindow + 1, testing::mapRequest()),
                 cv::Exception);
}

// What a request leaves out is empty or 0 also in a result that held an earlier photo's analysis:
// means alone carry no largest mean over from the map before.
TEST(DofMap, MeansAloneIntoAReusedResultLeaveTheLargestMeanAt0)
{
    const cv::Mat sharp = randomImage(50, 40, 31);
    const cv::Mat smooth = smoothPhoto(50, 40, 32);
    FocusAnalysis analysis;
    analyzeFocus(sharp, blurredReference(sharp), kWindow, FocusRequest{}, analysis);
    ASSERT_GT(analysis.maxMean, 0.0);
    FocusRequest meansAlone;
    meansAlone.mapChannels = 0;
    meansAlone.meansDepth = CV_64F;
    analyzeFocus(smooth, blurredReference(smooth), kWindow, meansAlone, analysis);
    EXPECT_TRUE(analysis.map.empty());
    EXPECT_EQ(analysis.maxMean, 0.0);
    EXPECT_EQ(analysis.statistics.maxMean, 0.0);
    EXPECT_EQ(analysis.statistics.meanMean, 0.0);
    EXPECT_EQ(analysis.statistics.p90Mean, 0.0);
}

}  // namespace
}  // namespace dofmap
