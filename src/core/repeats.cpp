// Columns and rows of the image that repeat a period earlier, found from hashes of whole columns
// and rows and then checked value by value.
#include "repeats.hpp"

#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cstdint>

namespace dofmap::detail {
namespace {

// A period is taken when at least this fraction of the columns (rows) hash as the one a period
// before: fewer would save little beside the pass that checks them.
constexpr int kLeastRepeatingShare = 4;  // one in four

// A well-mixed 64-bit multiplier for position i (the finalizer of SplitMix64), odd.
std::uint64_t multiplierOf(std::uint64_t i)
{
    std::uint64_t z = i + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (z ^ (z >> 31)) | 1u;
}

// The period p in 1 ... kMaxPeriod with the most positions i >= p whose hash equals that of i - p,
// or 0 when none has its share.
int periodOf(const std::vector<std::uint64_t>& hashes)
{
    const int count = int(hashes.size());
    int best = 0;
    int bestMatches = count / kLeastRepeatingShare;
    for (int p = 1; p <= std::min(Repeats::kMaxPeriod, count - 1); ++p) {
        int matches = 0;
        for (int i = p; i < count; ++i) matches += hashes[i] == hashes[i - p];
        if (matches > bestMatches) {
            best = p;
            bestMatches = matches;
        }
    }
    return best;
}

// Bands of rows for the threads.
std::vector<cv::Range> rowBands(int height)
{
    const int bands = std::min(std::max(cv::getNumThreads(), 1) * 4, height);
    std::vector<cv::Range> result;
    for (int b = 0; b < bands; ++b)
        result.emplace_back(int(std::int64_t(height) * b / bands), int(std::int64_t(height) * (b + 1) / bands));
    return result;
}

std::vector<int> runStarts(const std::vector<char>& repeats)
{
    std::vector<int> starts(repeats.size());
    for (std::size_t i = 0; i < repeats.size(); ++i) starts[i] = !repeats[i] ? int(i) + 1 : i == 0 ? 0 : starts[i - 1];
    return starts;
}

// How far an interval [first, end) of positions may move back by whole periods: a number of moves k
// such that every position of the interval at each move equals the one a period before, which holds
// when the run of such positions ending at end - 1 holds [first - (k - 1) p, end).
int movesBack(int first, int end, int period, const std::vector<int>& runStart)
{
    if (period == 0) return 0;
    const int start = runStart[end - 1];
    return start <= first ? (first - start) / period + 1 : 0;
}

}  // namespace

Repeats::Repeats(const BoxScan& scan)
{
    const int width = scan.width(), height = scan.height();
    const std::vector<cv::Range> bands = rowBands(height);
    const auto distancesOf = [&](int y, std::vector<std::int32_t>& squared) {
        kernels::squaredDistances(scan.source().ptr<std::uint8_t>(y), scan.blurred().ptr<std::uint8_t>(y), width,
                                  squared.data());
    };

    // Hashes of whole columns and rows: sums of the squared distances (plus 1) times a multiplier of
    // the row (column), which any band may add in any order.
    std::vector<std::uint64_t> columnMultipliers(width);
    for (int x = 0; x < width; ++x) columnMultipliers[x] = multiplierOf(std::uint64_t(x));
    std::vector<std::vector<std::uint64_t>> bandColumnHashes(bands.size(), std::vector<std::uint64_t>(width, 0));
    std::vector<std::uint64_t> rowHashes(height, 0);
    cv::parallel_for_(cv::Range(0, int(bands.size())), [&](const cv::Range& range) {
        std::vector<std::int32_t> squared(width);
        for (int b = range.start; b < range.end && !scan.cancelled(); ++b) {
            std::vector<std::uint64_t>& columnHashes = bandColumnHashes[b];
            for (int y = bands[b].start; y < bands[b].end; ++y) {
                distancesOf(y, squared);
                const std::uint64_t rowMultiplier = multiplierOf(std::uint64_t(y) + (std::uint64_t(1) << 32));
                std::uint64_t rowHash = 0;
                for (int x = 0; x < width; ++x) {
                    const std::uint64_t value = std::uint64_t(squared[x]) + 1;
                    columnHashes[x] += value * rowMultiplier;
                    rowHash += value * columnMultipliers[x];
                }
                rowHashes[y] = rowHash;
            }
        }
    });
    scan.throwIfCancelled();
    std::vector<std::uint64_t> columnHashes(width, 0);
    for (const std::vector<std::uint64_t>& band : bandColumnHashes)
        for (int x = 0; x < width; ++x) columnHashes[x] += band[x];
    const int p = periodOf(columnHashes), q = periodOf(rowHashes);
    if (p == 0 && q == 0) return;

    // The candidates checked value by value: a column against the one p before in every row, a row
    // against the one q before.
    std::vector<char> columnCandidate(width, 0), rowRepeats(height, 0);
    for (int x = p; p != 0 && x < width; ++x) columnCandidate[x] = columnHashes[x] == columnHashes[x - p];
    std::vector<std::vector<char>> bandColumnRepeats(bands.size());
    cv::parallel_for_(cv::Range(0, int(bands.size())), [&](const cv::Range& range) {
        std::vector<std::int32_t> squared(width), before(width);
        for (int b = range.start; b < range.end && !scan.cancelled(); ++b) {
            std::vector<char>& repeats = bandColumnRepeats[b];
            repeats = columnCandidate;
            for (int y = bands[b].start; y < bands[b].end; ++y) {
                distancesOf(y, squared);
                for (int x = p; p != 0 && x < width; ++x) repeats[x] &= char(squared[x] == squared[x - p]);
                if (q != 0 && y >= q && rowHashes[y] == rowHashes[y - q]) {
                    distancesOf(y - q, before);
                    rowRepeats[y] = std::equal(squared.begin(), squared.end(), before.begin());
                }
            }
        }
    });
    scan.throwIfCancelled();
    std::vector<char> columnRepeats = columnCandidate;
    for (const std::vector<char>& band : bandColumnRepeats)
        for (int x = 0; x < width; ++x) columnRepeats[x] &= band[x];
    columnPeriod_ = p;
    rowPeriod_ = q;
    columnRunStart_ = runStarts(columnRepeats);
    rowRunStart_ = runStarts(rowRepeats);
}

const Repeats& BoxScan::repeats() const
{
    const std::lock_guard<std::mutex> lock(repeatsMutex_);
    if (!repeats_) repeats_ = std::make_shared<const Repeats>(*this);
    return *repeats_;
}

Area Repeats::earliestCopy(const Area& area) const
{
    const int across = movesBack(area.x0, area.x1, columnPeriod_, columnRunStart_) * columnPeriod_;
    const int down = movesBack(area.y0, area.y1, rowPeriod_, rowRunStart_) * rowPeriod_;
    return {area.x0 - across, area.x1 - across, area.y0 - down, area.y1 - down};
}

}  // namespace dofmap::detail
