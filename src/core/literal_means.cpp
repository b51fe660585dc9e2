// The literal means of the neighborhoods that the fast sums leave in doubt, summed in the order of
// the definition.
#include "literal_means.hpp"

#include "repeats.hpp"
#include "row_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

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
// Binades of the partial sums that get grids: every literal sum lies below 441.68 * 10^10 < 2^42
// (windows have at most 100000 x 100000 positions).
constexpr int kBinades = 42;

// 2^k for the exponents of the grids, -52 ... 52 + kBinades, as a double built from its bits.
double powerOfTwo(int k)
{
    const std::uint64_t bits = std::uint64_t(1023 + k) << 52;
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The binade of a positive normal double: e with 2^e <= value < 2^(e + 1).
int binadeOf(double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return int(bits >> 52) - 1023;
}

// One column of rows [first, first + count) of the image, as the literal sum meets it: the double
// roots of its distances, and, per binade 2^e <= partial sum < 2^(e + 1) as the sums need them, the
// prefix sums of the roots rounded to that binade's grid 2^(e - 52) and the prefix counts of the
// roots that lie exactly half-way between two points of the grid.
//
// While a partial sum s stays in binade e, each addition s + t rounds to the nearest multiple of the
// grid, and s is one: so it adds t rounded to the grid, in units of the grid an integer that any
// order sums exactly, unless t lies half-way (then the rounding goes to the even neighbor, which
// depends on s). A run of terms without halves whose grid units keep s below 2^(e + 1) therefore
// advances s by their prefix difference; the term that leaves the binade, or a half, is added as
// the definition adds it. So a column costs a binary search per binade it passes and per half in it.
class ColumnTerms {
public:
    // squared[i]: the squared distance of row first + i.
    void load(const std::int32_t* squared, int count)
    {
        roots_.resize(count);
        for (int i = 0; i < count; ++i) roots_[i] = std::sqrt(double(squared[i]));
        nonzero_.clear();
        for (Grid& grid : grids_) grid.built = false;
    }

    // Continues the literal sum `sum` over rows [begin, end) (indices from first).
    double continueSum(double sum, int begin, int end)
    {
        int pos = begin;
        while (pos < end) {
            if (sum == 0.0) {
                // 0 + t is t: the sum starts at the first nonzero term.
                const std::vector<std::int32_t>& nonzero = nonzeroCounts();
                if (nonzero[end] == nonzero[pos]) return sum;
                const int first =
                    int(std::upper_bound(nonzero.begin() + pos + 1, nonzero.begin() + end + 1, nonzero[pos]) -
                        nonzero.begin()) -
                    1;
                sum = roots_[first];
                pos = first + 1;
                continue;
            }
            const int e = binadeOf(sum);
            CV_Assert(e >= 0 && e < kBinades);
            const Grid& g = grid(e);
            const std::uint64_t units = std::uint64_t(sum * powerOfTwo(52 - e));  // in [2^52, 2^53)
            // Each term is below 2^(61 - e) units, so prefix differences over this many rows stay
            // below 2^63 and come out exact from the wrapping sums.
            const int last = e >= 28 ? end : std::min(end, pos + (1 << (e + 2)));
            const auto stops = [&](int r) {
                return g.halves[r + 1] != g.halves[pos] || units + (g.units[r + 1] - g.units[pos]) >= kBinadeUnits;
            };
            int stop = last;
            if (stops(last - 1)) {
                int low = pos, high = last - 1;  // the first r that stops lies in [low, high]
                while (low < high) {
                    const int middle = low + (high - low) / 2;
                    if (stops(middle))
                        high = middle;
                    else
                        low = middle + 1;
                }
                stop = low;
            }
            sum = double(units + (g.units[stop] - g.units[pos])) * powerOfTwo(e - 52);
            pos = stop;
            if (stop < last) sum += roots_[pos++];
        }
        return sum;
    }

private:
    static constexpr std::uint64_t kBinadeUnits = std::uint64_t(1) << 53;

    struct Grid {
        bool built = false;
        std::vector<std::uint64_t> units;  // units[i]: the first i roots rounded to the grid, in its units (wrapping)
        std::vector<std::int32_t> halves;  // halves[i]: how many of the first i roots lie half-way
    };

    const std::vector<std::int32_t>& nonzeroCounts()
    {
        if (nonzero_.empty()) {
            nonzero_.resize(roots_.size() + 1);
            nonzero_[0] = 0;
            for (std::size_t i = 0; i < roots_.size(); ++i) nonzero_[i + 1] = nonzero_[i] + (roots_[i] != 0.0);
        }
        return nonzero_;
    }

    const Grid& grid(int e)
    {
        Grid& g = grids_[e];
        if (g.built) return g;
        const std::size_t count = roots_.size();
        g.units.resize(count + 1);
        g.halves.resize(count + 1);
        g.units[0] = 0;
        g.halves[0] = 0;
        const double scale = powerOfTwo(52 - e);
        for (std::size_t i = 0; i < count; ++i) {
            // The root in units of the grid, exact: a root of 2^L or more has 52 - L fraction bits.
            const double x = roots_[i] * scale;
            std::uint64_t rounded = 0;
            bool half = false;
            if (x >= 0x1p52) {
                rounded = std::uint64_t(x);  // already an integer
            } else {
                const double nearest = (x + 0x1p52) - 0x1p52;
                half = nearest - x == 0.5 || x - nearest == 0.5;
                rounded = std::uint64_t(nearest);
            }
            g.units[i + 1] = g.units[i] + rounded;
            g.halves[i + 1] = g.halves[i] + (half ? 1 : 0);
        }
        g.built = true;
        return g;
    }

    std::vector<double> roots_;
    std::vector<std::int32_t> nonzero_;
    Grid grids_[kBinades];
};

// Columns of squared distances gathered at a time for the columnwise sums, reading the image row by
// row.
constexpr int kColumnwiseStrip = 64;

// Areas [begin, end) of a sorted list: over the same rows, from the same first column.
struct GroupRange {
    std::size_t begin;
    std::size_t end;
};

// The literal means of the areas of `groups`, column by column: each column over the rows of the
// groups that cross it is loaded once, and every group's running sum advances through it.
void sumColumnwise(const BoxScan& scan, const std::vector<Area>& areas, const std::vector<GroupRange>& groups,
                   std::vector<double>& means)
{
    // A group's running sum, kept together for the pass over the active ones.
    struct Run {
        double sum;
        int y0, y1;  // the group's rows
        int dueAt;  // the end column x1 of the next area, whose mean is due there
        std::size_t next, end;  // the group's areas whose means are still due
    };
    std::vector<GroupRange> byFirstColumn = groups;
    std::stable_sort(byFirstColumn.begin(), byFirstColumn.end(),
                     [&](const GroupRange& a, const GroupRange& b) { return areas[a.begin].x0 < areas[b.begin].x0; });
    int columnsEnd = 0;
    for (const GroupRange& g : groups) columnsEnd = std::max(columnsEnd, areas[g.end - 1].x1);
    std::vector<std::int32_t> strip, row(kColumnwiseStrip);
    std::vector<Run> active;
    std::size_t starting = 0;  // the next group of byFirstColumn to start
    ColumnTerms column;
    const auto firstColumn = [&](std::size_t i) { return areas[byFirstColumn[i].begin].x0; };
    for (int x0 = byFirstColumn.empty() ? columnsEnd : firstColumn(0); x0 < columnsEnd && !scan.cancelled();) {
        if (active.empty()) {
            if (starting == byFirstColumn.size()) break;
            x0 = std::max(x0, firstColumn(starting));  // no group crosses the columns before
        }
        const int columns = std::min(kColumnwiseStrip, columnsEnd - x0);
        // The rows of the groups that cross the strip.
        int rowsBegin = scan.height(), rowsEnd = 0;
        for (const Run& run : active) {
            rowsBegin = std::min(rowsBegin, run.y0);
            rowsEnd = std::max(rowsEnd, run.y1);
        }
        for (std::size_t i = starting; i < byFirstColumn.size() && firstColumn(i) < x0 + columns; ++i) {
            rowsBegin = std::min(rowsBegin, areas[byFirstColumn[i].begin].y0);
            rowsEnd = std::max(rowsEnd, areas[byFirstColumn[i].begin].y1);
        }
        const int rows = rowsEnd - rowsBegin;
        strip.resize(std::size_t(columns) * rows);
        for (int y = rowsBegin; y < rowsEnd; ++y) {
            kernels::squaredDistances(scan.source().ptr<std::uint8_t>(y) + 3 * x0,
                                      scan.blurred().ptr<std::uint8_t>(y) + 3 * x0, columns, row.data());
            for (int c = 0; c < columns; ++c) strip[std::size_t(c) * rows + (y - rowsBegin)] = row[c];
        }
        for (int c = 0; c < columns; ++c) {
            const int x = x0 + c;
            for (; starting < byFirstColumn.size() && firstColumn(starting) == x; ++starting) {
                const GroupRange& g = byFirstColumn[starting];
                const Area& a = areas[g.begin];
                active.push_back({0.0, a.y0, a.y1, a.x1, g.begin, g.end});
            }
            if (active.empty()) continue;
            column.load(strip.data() + std::size_t(c) * rows, rows);
            for (std::size_t i = 0; i < active.size();) {
                Run& run = active[i];
                run.sum = column.continueSum(run.sum, run.y0 - rowsBegin, run.y1 - rowsBegin);
                if (run.dueAt == x + 1) {
                    for (; run.next < run.end && areas[run.next].x1 == x + 1; ++run.next)
                        means[run.next] = run.sum / double(areas[run.next].pixels());
                    if (run.next == run.end) {
                        run = active.back();
                        active.pop_back();
                        continue;
                    }
                    run.dueAt = areas[run.next].x1;
                }
                ++i;
            }
        }
        x0 += columns;
    }
}

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
