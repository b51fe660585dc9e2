// The column-by-column literal sums (columnwise_sums.hpp): the grids of each binade over a column of
// roots, and the pass of the groups' running sums through the columns.
#include "columnwise_sums.hpp"

#include "row_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace dofmap::detail {
namespace {

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

}  // namespace

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

}  // namespace dofmap::detail
