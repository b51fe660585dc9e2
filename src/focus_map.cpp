#include "focus_map.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

// How the map is computed exactly in linear time.
//
// The literal definition sums, for every pixel, up to window^2 colour distances in double precision
// in a fixed order. Instead each distance d = sqrt(integer) is turned once into a fixed-point integer
// q = round(d * 2^K), and box sums of q over the clipped neighbourhoods are kept with running column
// and row sums. Integer sums are exact in any order, so the strips of the image can be scanned in
// parallel and every box sum Q is the same whoever computes it.
//
// Q * 2^-K / n (n the number of positions) differs from the literal mean by at most
//   2^-(K+1)                       from rounding each distance to K fraction bits,
//   gamma(n - 1) * mean            from the literal summation's roundings (nonnegative terms),
//   a few units of 2^-53 * mean    from the divisions and conversions on both sides,
// where gamma(k) = k u / (1 - k u) with u = 2^-53. ErrorBound doubles that sum. A gray level is
// taken from the fast mean only when the whole interval allowed by the bound rounds to one level;
// otherwise, and for every candidate for the largest mean, the mean is recomputed in the literal
// order. Since all distances are 0 or at least 1, Q == 0 exactly when the literal mean is 0.

namespace dofmap {
namespace {

constexpr double kUnitRoundoff = 0x1p-53;
constexpr int kMaxSquaredDistance = 3 * 255 * 255;
constexpr int kPreferredFractionBits = 44;

void requireComparable(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    CV_Assert(source.type() == CV_8UC3 && blurred.type() == CV_8UC3);
    CV_Assert(source.size() == blurred.size() && !source.empty());
    CV_Assert(window >= 1);
}

// Fixed-point distances indexed by squared colour distance, with as many fraction bits (at most
// kPreferredFractionBits) as keep a sum of `maxTerms` of them within int64.
struct FixedPointDistances {
    int fractionBits = 0;
    std::vector<std::int64_t> bySquaredDistance;

    static int fractionBitsFor(std::int64_t maxTerms)
    {
        int bits = kPreferredFractionBits;
        const double largest = std::sqrt(double(kMaxSquaredDistance));
        while (bits > 0 && std::llround(std::ldexp(largest, bits)) > std::numeric_limits<std::int64_t>::max() / maxTerms)
            --bits;
        return bits;
    }

    explicit FixedPointDistances(int bits) : fractionBits(bits), bySquaredDistance(kMaxSquaredDistance + 1)
    {
        for (int s = 0; s <= kMaxSquaredDistance; ++s)
            bySquaredDistance[s] = std::llround(std::ldexp(std::sqrt(double(s)), bits));
    }
};

// The table for `maxTerms`, shared across calls for the common case.
std::shared_ptr<const FixedPointDistances> fixedPointDistances(std::int64_t maxTerms)
{
    static std::mutex guard;
    static std::shared_ptr<const FixedPointDistances> cached;
    const int bits = FixedPointDistances::fractionBitsFor(maxTerms);
    const std::lock_guard<std::mutex> lock(guard);
    if (!cached || cached->fractionBits != bits) cached = std::make_shared<const FixedPointDistances>(bits);
    return cached;
}

// |literal mean - fast mean| <= relative * fast mean + absolute, for at most `maxTerms` terms.
struct ErrorBound {
    double relative;
    double absolute;

    ErrorBound(std::int64_t maxTerms, int fractionBits)
    {
        const double k = double(std::max<std::int64_t>(maxTerms - 1, 1)) * kUnitRoundoff;
        const double gamma = k / (1.0 - k);
        relative = 2.0 * (gamma + 8.0 * kUnitRoundoff);
        absolute = 2.0 * std::ldexp(1.0, -fractionBits);
    }
    double operator()(double mean) const { return mean * relative + absolute; }
};

// Number of positions of a neighbourhood along one axis of `length` pixels, at `position`.
int clippedSpan(int position, int length, const Neighbourhood& n)
{
    return std::min(position + n.after, length - 1) - std::max(position - n.before, 0) + 1;
}

// The geometry and tables shared by the scans of one image.
class BoxScan {
public:
    BoxScan(const cv::Mat& source, const cv::Mat& blurred, int window)
        : source_(source),
          blurred_(blurred),
          width_(source.cols),
          height_(source.rows),
          n_(Neighbourhood::ofSize(window)),
          maxTerms_(std::int64_t(std::min(window, width_)) * std::min(window, height_)),
          distances_(fixedPointDistances(maxTerms_)),
          bound_(maxTerms_, distances_->fractionBits),
          inverseColumnSpan_(width_)
    {
        for (int x = 0; x < width_; ++x) inverseColumnSpan_[x] = 1.0 / clippedSpan(x, width_, n_);
    }

    int width() const { return width_; }
    int height() const { return height_; }
    const ErrorBound& bound() const { return bound_; }

    // Multiplier of box sums in row y, with inverseColumnSpan, giving the fast mean.
    double rowScale(int y) const { return std::ldexp(1.0 / clippedSpan(y, height_, n_), -distances_->fractionBits); }
    double fastMean(std::int64_t boxSum, int x, double rowScale) const
    {
        return double(boxSum) * inverseColumnSpan_[x] * rowScale;
    }

    // Calls rowDone(y, boxSums) for y in [yBegin, yEnd), boxSums[x] being the fixed-point sum of the
    // neighbourhood of (x, y). Memory: (window + 2) rows of int64.
    template <class RowDone>
    void scanRows(int yBegin, int yEnd, RowDone&& rowDone) const
    {
        const int ringRows = n_.before + n_.after + 1;
        std::vector<std::int64_t> ring(std::size_t(ringRows) * width_);
        std::vector<std::int64_t> columnSums(width_, 0);
        std::vector<std::int64_t> boxSums(width_);
        const auto slot = [&](int row) { return ring.data() + std::size_t(row % ringRows) * width_; };

        for (int row = std::max(yBegin - n_.before, 0); row <= std::min(yBegin + n_.after, height_ - 1); ++row) {
            std::int64_t* q = slot(row);
            fixedPointRow(row, q);
            for (int x = 0; x < width_; ++x) columnSums[x] += q[x];
        }
        for (int y = yBegin; y < yEnd; ++y) {
            if (y > yBegin) slideDown(y, slot, columnSums.data());
            sumAlongRow(columnSums.data(), boxSums.data());
            rowDone(y, boxSums.data());
        }
    }

    // The mean at (x, y) summed in the literal order: x' outer, y' inner, from 0.0.
    double literalMean(int x, int y) const
    {
        const int x0 = std::max(x - n_.before, 0), x1 = std::min(x + n_.after, width_ - 1);
        const int y0 = std::max(y - n_.before, 0), y1 = std::min(y + n_.after, height_ - 1);
        double sum = 0.0;
        for (int xx = x0; xx <= x1; ++xx) {
            for (int yy = y0; yy <= y1; ++yy) {
                const cv::Vec3b s = source_.at<cv::Vec3b>(yy, xx);
                const cv::Vec3b b = blurred_.at<cv::Vec3b>(yy, xx);
                const double d0 = double(b[0]) - double(s[0]);
                const double d1 = double(b[1]) - double(s[1]);
                const double d2 = double(b[2]) - double(s[2]);
                sum += std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
            }
        }
        return sum / double((x1 - x0 + 1) * (y1 - y0 + 1));
    }

private:
    // The fixed-point distance at column x of the rows `source` and `blurred`.
    std::int64_t fixedPoint(const uchar* source, const uchar* blurred, int x) const
    {
        const int d0 = int(blurred[3 * x]) - int(source[3 * x]);
        const int d1 = int(blurred[3 * x + 1]) - int(source[3 * x + 1]);
        const int d2 = int(blurred[3 * x + 2]) - int(source[3 * x + 2]);
        return distances_->bySquaredDistance[d0 * d0 + d1 * d1 + d2 * d2];
    }

    void fixedPointRow(int y, std::int64_t* q) const
    {
        const uchar* src = source_.ptr<uchar>(y);
        const uchar* blr = blurred_.ptr<uchar>(y);
        for (int x = 0; x < width_; ++x) q[x] = fixedPoint(src, blr, x);
    }

    // Moves the column sums from the neighbourhood rows of y - 1 to those of y.
    template <class Slot>
    void slideDown(int y, const Slot& slot, std::int64_t* columnSums) const
    {
        const int leaving = y - 1 - n_.before;
        const int entering = y + n_.after;
        if (leaving >= 0 && entering < height_) {
            // Both rows share one ring slot: each leaving value is read before it is overwritten.
            std::int64_t* q = slot(entering);
            const uchar* src = source_.ptr<uchar>(entering);
            const uchar* blr = blurred_.ptr<uchar>(entering);
            for (int x = 0; x < width_; ++x) {
                const std::int64_t fresh = fixedPoint(src, blr, x);
                columnSums[x] += fresh - q[x];
                q[x] = fresh;
            }
        } else if (leaving >= 0) {
            const std::int64_t* q = slot(leaving);
            for (int x = 0; x < width_; ++x) columnSums[x] -= q[x];
        } else if (entering < height_) {
            std::int64_t* q = slot(entering);
            fixedPointRow(entering, q);
            for (int x = 0; x < width_; ++x) columnSums[x] += q[x];
        }
    }

    // boxSums[x] = sum of columnSums over the clipped columns of x's neighbourhood.
    void sumAlongRow(const std::int64_t* columnSums, std::int64_t* boxSums) const
    {
        std::int64_t running = 0;
        for (int x = 0; x <= std::min(n_.after, width_ - 1); ++x) running += columnSums[x];
        for (int x = 0; x < width_; ++x) {
            boxSums[x] = running;
            if (x - n_.before >= 0) running -= columnSums[x - n_.before];
            if (x + n_.after + 1 < width_) running += columnSums[x + n_.after + 1];
        }
    }

    const cv::Mat& source_;
    const cv::Mat& blurred_;
    const int width_;
    const int height_;
    const Neighbourhood n_;
    const std::int64_t maxTerms_;
    const std::shared_ptr<const FixedPointDistances> distances_;
    const ErrorBound bound_;
    std::vector<double> inverseColumnSpan_;
};

// Row ranges for parallel scans: a few per thread, each tall compared with the neighbourhood so
// that the rows read twice at strip edges cost little.
std::vector<cv::Range> strips(int height, int window)
{
    const int threads = std::max(cv::getNumThreads(), 1);
    const int minimumRows = std::max(8 * window, 64);
    const int count = std::clamp(height / minimumRows, 1, 4 * threads);
    std::vector<cv::Range> result;
    for (int i = 0; i < count; ++i) result.emplace_back(int(std::int64_t(height) * i / count), int(std::int64_t(height) * (i + 1) / count));
    return result;
}

struct Candidate {
    int x;
    int y;
    double fastMean;
};

// The pixels that may hold the largest literal mean, found by one strip.
struct StripMaximum {
    double fastMaximum = 0.0;
    std::vector<Candidate> candidates;

    // Keeps only candidates whose mean may still reach the floor set by the largest fast mean.
    void prune(const ErrorBound& bound)
    {
        const double floor = fastMaximum - bound(fastMaximum);
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const Candidate& c) { return c.fastMean + bound(c.fastMean) < floor; }),
                         candidates.end());
    }
};

// The largest literal mean of the image (0 when every mean is 0).
double largestMean(const BoxScan& scan, const std::vector<cv::Range>& rows)
{
    const ErrorBound& bound = scan.bound();
    std::vector<StripMaximum> perStrip(rows.size());
    cv::parallel_for_(cv::Range(0, int(rows.size())), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            StripMaximum& strip = perStrip[s];
            double floor = 0.0;
            std::size_t pruneAt = 1024;
            scan.scanRows(rows[s].start, rows[s].end, [&](int y, const std::int64_t* boxSums) {
                const double rowScale = scan.rowScale(y);
                for (int x = 0; x < scan.width(); ++x) {
                    if (boxSums[x] == 0) continue;
                    const double mean = scan.fastMean(boxSums[x], x, rowScale);
                    if (mean + bound(mean) < floor) continue;
                    strip.candidates.push_back({x, y, mean});
                    if (mean > strip.fastMaximum) {
                        strip.fastMaximum = mean;
                        floor = mean - bound(mean);
                    }
                }
                if (strip.candidates.size() >= pruneAt) {
                    strip.prune(bound);
                    pruneAt = std::max<std::size_t>(1024, 2 * strip.candidates.size());
                }
            });
        }
    });

    StripMaximum all;
    for (const StripMaximum& strip : perStrip) all.fastMaximum = std::max(all.fastMaximum, strip.fastMaximum);
    for (StripMaximum& strip : perStrip) {
        strip.fastMaximum = all.fastMaximum;
        strip.prune(bound);
        all.candidates.insert(all.candidates.end(), strip.candidates.begin(), strip.candidates.end());
    }
    if (all.candidates.empty()) return 0.0;

    std::vector<double> literal(all.candidates.size());
    cv::parallel_for_(cv::Range(0, int(literal.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i)
            literal[i] = scan.literalMean(all.candidates[i].x, all.candidates[i].y);
    });
    return *std::max_element(literal.begin(), literal.end());
}

// Writes the gray levels of every pixel for the given largest literal mean.
void render(const BoxScan& scan, const std::vector<cv::Range>& rows, double maxMean, cv::Mat& map)
{
    const int channels = map.channels();
    if (maxMean == 0.0) {
        map.setTo(cv::Scalar::all(0));
        return;
    }
    // The rendered value w = mean / maxMean * 255 of the fast mean lies within
    // levelError(w) of the literal one: the mean's bound scaled, plus the roundings of w itself.
    const ErrorBound& bound = scan.bound();
    const double toLevel = 255.0 / maxMean;
    const double levelRelative = bound.relative + 8.0 * kUnitRoundoff;
    const double levelAbsolute = bound.absolute * toLevel * 2.0 + 2.0 * 255.0 * 8.0 * kUnitRoundoff;

    cv::parallel_for_(cv::Range(0, int(rows.size())), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            scan.scanRows(rows[s].start, rows[s].end, [&](int y, const std::int64_t* boxSums) {
                const double rowScale = scan.rowScale(y);
                uchar* out = map.ptr<uchar>(y);
                for (int x = 0; x < scan.width(); ++x) {
                    uchar gray = 0;
                    if (boxSums[x] != 0) {
                        const double level = scan.fastMean(boxSums[x], x, rowScale) * toLevel;
                        const double error = level * levelRelative + levelAbsolute;
                        const int low = cvRound(level - error);
                        gray = low == cvRound(level + error) ? cv::saturate_cast<uchar>(low)
                                                             : grayLevel(scan.literalMean(x, y), maxMean);
                    }
                    for (int c = 0; c < channels; ++c) out[x * channels + c] = gray;
                }
            });
        }
    });
}

}  // namespace

cv::Mat blurredReference(const cv::Mat& source, double sigma)
{
    cv::Mat blurred;
    cv::GaussianBlur(source, blurred, cv::Size(0, 0), sigma, 0, cv::BORDER_REFLECT_101);
    return blurred;
}

cv::Mat neighbourhoodMeans(const cv::Mat& source, const cv::Mat& blurred, int window)
{
    requireComparable(source, blurred, window);
    const BoxScan scan(source, blurred, window);
    cv::Mat means(source.size(), CV_64FC1);
    const std::vector<cv::Range> rows = strips(source.rows, window);
    cv::parallel_for_(cv::Range(0, int(rows.size())), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            scan.scanRows(rows[s].start, rows[s].end, [&](int y, const std::int64_t* boxSums) {
                const double rowScale = scan.rowScale(y);
                double* out = means.ptr<double>(y);
                for (int x = 0; x < scan.width(); ++x) out[x] = scan.fastMean(boxSums[x], x, rowScale);
            });
        }
    });
    return means;
}

double meanTolerance(double mean, int window)
{
    const std::int64_t maxTerms = std::int64_t(window) * window;
    return ErrorBound(maxTerms, FixedPointDistances::fractionBitsFor(maxTerms))(mean);
}

DofMap computeDofMap(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    requireComparable(source, blurred, window);
    CV_Assert(channels == 1 || channels == 3);
    const BoxScan scan(source, blurred, window);
    const std::vector<cv::Range> rows = strips(source.rows, window);
    DofMap result{cv::Mat(source.size(), CV_8UC(channels)), largestMean(scan, rows)};
    render(scan, rows, result.maxMean, result.map);
    return result;
}

cv::Mat dofMapOf(const cv::Mat& source, const cv::Mat& blurred, int window, int channels)
{
    return computeDofMap(source, blurred, window, channels).map;
}

}  // namespace dofmap
