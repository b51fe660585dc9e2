// The literal means of the neighborhoods that the fast sums leave in doubt, summed in the order of
// the definition: a strip of columns at a time, or column by column where many sums share their
// columns (columnwise_sums.hpp).
#include "literal_means.hpp"

#include "columnwise_sums.hpp"
#include "repeats.hpp"
#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

namespace dofmap::detail {
namespace {

// Columns whose squared distances are gathered at a time, reading the image row by row (a column
// read on its own would touch a new cache line and page at every position), and summed at once
// while the literal sum stays in one binade.
constexpr int kStripColumns = 64;
// Distances of one column taken at a time by the binade shortcut; a run that leaves its binade is
// summed one by one, so runs stay short next to a binade.
constexpr int kRunLength = 128;
// Below this running sum a run of distances may leave the binade at every step: sum one by one.
// (Also the least sum for which gridSum's scale stays within its limit of 2^42.)
constexpr double kLeastShortcutSum = 1024.0;

// Continues the literal sum `sum` over a run of distances that follow each other in the literal
// order, given by their squared distances in any order, when its partial sums provably stay in one
// binade; returns false, leaving `sum`, otherwise.
//
// While every partial sum stays in one binade [2^e, 2^(e+1)), each addition rounds its exact result
// to a multiple of 2^(e-52); since the running sum already is one, the addition adds its term
// rounded to that grid (to nearest, the halves depending on the running sum). A run without halves
// therefore adds exactly the integer gridSum times the grid, whatever the order of its terms, and it
// stayed in the binade exactly when that result lies below 2^(e+1).
bool continueInBinade(double& sum, const std::int32_t* squared, int count)
{
    if (sum < kLeastShortcutSum) return false;
    const int exponent = std::ilogb(sum);
    const double scale = std::ldexp(1.0, 52 - exponent);
    double steps = 0.0;
    if (!kernels::gridSum(squared, count, scale, &steps)) return false;
    const double next = sum + steps / scale;
    if (next >= std::ldexp(1.0, exponent + 1)) return false;
    sum = next;
    return true;
}

// Continues the literal sum `sum` over `squared`'s distances in their order, as the definition's
// loop adds them: each the double root of its squared distance.
double continueLiterally(double sum, const std::int32_t* squared, int count)
{
    for (int begin = 0; begin < count; begin += kRunLength) {
        const int run = std::min(kRunLength, count - begin);
        if (continueInBinade(sum, squared + begin, run)) continue;
        for (int i = begin; i < begin + run; ++i) sum += std::sqrt(double(squared[i]));
    }
    return sum;
}

// Neighborhoods whose literal sums hold at least this many terms for each pixel that they cover
// together are summed column by column, all at once (sumColumnwise): each column is read once for
// all the sums that cross it, and a sum then costs a few operations per column instead of one per
// term. Reading a column and rounding its roots to the grids costs about as much as this many terms
// of a strip's integer sums.
constexpr std::int64_t kLeastColumnwiseSharing = 8;
// At least this many neighborhoods whose literal sums take more terms than this many per pixel of
// the image are first matched with their earliest copies (Repeats): the pass that finds the
// repeating columns and rows costs about three reads of the image.
constexpr std::size_t kLeastAreasForRepeats = 1024;
constexpr std::int64_t kRepeatsWorkPerPixel = 4;
// Chunks of groups may span this many rows beyond twice their height: a chunk summed column by
// column reads the image over its rows, so chunks of groups far apart would read rows none needs.
constexpr int kColumnwiseSlackRows = 64;
// The literal means of `areas` (sorted, distinct) into `means`.
void sumAreas(const BoxScan& scan, const std::vector<Area>& areas, std::vector<double>& means)
{
    means.resize(areas.size());
    // Groups of areas over the same rows from the same first column, narrowest first: the literal
    // sum of a wider one runs through the narrower ones' sums on its way.
    std::vector<std::size_t> groupStarts;
    for (std::size_t i = 0; i < areas.size(); ++i) {
        const Area& a = areas[i];
        if (i == 0 || a.y0 != areas[i - 1].y0 || a.y1 != areas[i - 1].y1 || a.x0 != areas[i - 1].x0)
            groupStarts.push_back(i);
    }
    groupStarts.push_back(areas.size());

    // Chunks of groups over neighboring rows (the groups come in the order of their rows): a chunk
    // ends where its rows would span more than twice the height of its groups, or once it holds its
    // share of the groups for the threads.
    const std::size_t groups = groupStarts.size() - 1;
    const std::size_t threads = std::size_t(std::max(cv::getNumThreads(), 1));
    const std::size_t share = (groups + threads - 1) / threads;
    std::vector<std::size_t> chunkStarts;  // group indices
    for (std::size_t g = 0, firstRow = 0; g < groups; ++g) {
        const Area& a = areas[groupStarts[g]];
        if (chunkStarts.empty() || g - chunkStarts.back() >= share ||
            a.y1 - int(firstRow) > 2 * a.height() + kColumnwiseSlackRows) {
            chunkStarts.push_back(g);
            firstRow = std::size_t(a.y0);
        }
    }
    chunkStarts.push_back(groups);
    // A chunk whose sums hold many terms for each pixel of its extent is summed column by column;
    // the groups of the others a strip of columns at a time, each on its own.
    std::vector<std::vector<GroupRange>> columnwise;
    std::vector<int> shortGroups;
    for (std::size_t c = 0; c + 1 < chunkStarts.size(); ++c) {
        std::int64_t terms = 0;
        int x0 = scan.width(), x1 = 0, y0 = scan.height(), y1 = 0;
        for (std::size_t g = chunkStarts[c]; g < chunkStarts[c + 1]; ++g) {
            const Area& widest = areas[groupStarts[g + 1] - 1];
            terms += widest.pixels();
            x0 = std::min(x0, widest.x0);
            x1 = std::max(x1, widest.x1);
            y0 = std::min(y0, widest.y0);
            y1 = std::max(y1, widest.y1);
        }
        if (terms >= kLeastColumnwiseSharing * std::int64_t(x1 - x0) * (y1 - y0)) {
            columnwise.emplace_back();
            for (std::size_t g = chunkStarts[c]; g < chunkStarts[c + 1]; ++g)
                columnwise.back().push_back({groupStarts[g], groupStarts[g + 1]});
        } else {
            for (std::size_t g = chunkStarts[c]; g < chunkStarts[c + 1]; ++g) shortGroups.push_back(int(g));
        }
    }
    const int tallChunks = int(columnwise.size());
    cv::parallel_for_(cv::Range(0, tallChunks + int(shortGroups.size())), [&](const cv::Range& range) {
        std::vector<std::int32_t> strip, column;
        for (int task = range.start; task < range.end && !scan.cancelled(); ++task) {
            if (task < tallChunks) {
                sumColumnwise(scan, areas, columnwise[task], means);
                continue;
            }
            const int g = shortGroups[task - tallChunks];
            std::size_t next = groupStarts[g];
            const std::size_t end = groupStarts[g + 1];
            const Area& first = areas[next];
            const int height = first.height();
            strip.resize(std::size_t(kStripColumns) * height);
            column.resize(height);
            double sum = 0.0;
            for (int x = first.x0; next < end;) {
                // A strip of columns read row by row, ending where a mean is due.
                const int columns = std::min(kStripColumns, areas[next].x1 - x);
                for (int y = first.y0; y < first.y1; ++y)
                    kernels::squaredDistances(scan.source().ptr<std::uint8_t>(y) + 3 * x,
                                              scan.blurred().ptr<std::uint8_t>(y) + 3 * x, columns,
                                              strip.data() + std::size_t(y - first.y0) * columns);
                if (!continueInBinade(sum, strip.data(), columns * height)) {
                    for (int c = 0; c < columns; ++c) {
                        for (int y = 0; y < height; ++y) column[y] = strip[std::size_t(y) * columns + c];
                        sum = continueLiterally(sum, column.data(), height);
                    }
                }
                x += columns;
                for (; next < end && areas[next].x1 == x; ++next) means[next] = sum / double(areas[next].pixels());
            }
        }
    });
    scan.throwIfCancelled();
}

// The distinct areas of a list with many repeats, in any order: a hash table of those seen, which
// costs far less than sorting the list.
std::vector<Area> distinctOf(const std::vector<Area>& areas)
{
    const auto hashOf = [](const Area& a) {
        std::uint64_t h = std::uint64_t(std::uint32_t(a.x0)) | std::uint64_t(std::uint32_t(a.x1)) << 32;
        h ^= (std::uint64_t(std::uint32_t(a.y0)) | std::uint64_t(std::uint32_t(a.y1)) << 32) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
        return h * 0xBF58476D1CE4E5B9ull;
    };
    std::vector<Area> result;
    std::vector<std::int64_t> slots(64, -1);  // indices into result, open addressing
    for (const Area& a : areas) {
        std::size_t slot = std::size_t(hashOf(a) >> 20) & (slots.size() - 1);
        while (slots[slot] >= 0 && !(result[std::size_t(slots[slot])] == a)) slot = (slot + 1) & (slots.size() - 1);
        if (slots[slot] >= 0) continue;
        slots[slot] = std::int64_t(result.size());
        result.push_back(a);
        if (2 * result.size() > slots.size()) {  // grow, keeping the table at most half full
            std::fill(slots.begin(), slots.end(), -1);
            slots.resize(2 * slots.size(), -1);
            for (std::size_t i = 0; i < result.size(); ++i) {
                std::size_t s = std::size_t(hashOf(result[i]) >> 20) & (slots.size() - 1);
                while (slots[s] >= 0) s = (s + 1) & (slots.size() - 1);
                slots[s] = std::int64_t(i);
            }
        }
    }
    return result;
}

}  // namespace

LiteralMeans::LiteralMeans(const BoxScan& scan, std::vector<Area> areas) : areas_(std::move(areas))
{
    std::int64_t terms = 0;
    for (const Area& a : areas_) terms += a.pixels();
    if (areas_.size() >= kLeastAreasForRepeats &&
        terms >= kRepeatsWorkPerPixel * std::int64_t(scan.width()) * scan.height()) {
        // Many long sums: each is taken from the earliest copy of its area.
        repeats_ = &scan.repeats();
        for (Area& a : areas_) a = repeats_->earliestCopy(a);
        areas_ = distinctOf(areas_);
    }
    std::sort(areas_.begin(), areas_.end());
    areas_.erase(std::unique(areas_.begin(), areas_.end()), areas_.end());
    sumAreas(scan, areas_, means_);
}

double LiteralMeans::of(const Area& area) const
{
    const Area copy = repeats_ ? repeats_->earliestCopy(area) : area;
    const auto found = std::lower_bound(areas_.begin(), areas_.end(), copy);
    CV_Assert(found != areas_.end() && *found == copy);
    return means_[std::size_t(found - areas_.begin())];
}

double LiteralMeans::largest() const
{
    return means_.empty() ? 0.0 : *std::max_element(means_.begin(), means_.end());
}

}  // namespace dofmap::detail
