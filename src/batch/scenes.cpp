// Scenes of a shoot: the photos taken of one subject at one moment (the frames of a burst, a shot
// taken again), told by their capture times and by signatures of their content.
#include "scenes.hpp"

#include "batch.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace dofmap::batch {
namespace {

// The photo is first averaged over a grid this many times finer than the signature's, from a
// sample of kSamplesPerCell x kSamplesPerCell pixels evenly spread in each of its cells (all of
// them in a small photo), then blurred by kBlurCells of the signature's cells and averaged down:
// the finer grid keeps a pattern close to the size of a cell (bricks, tiles) from beating with
// the grid as the frame moves.
constexpr int kFineGrid = 2;
constexpr int kSamplesPerCell = 8;
constexpr double kBlurCells = 1.0;
// A grid whose gray levels spread less than this (their standard deviation, in levels of 0 ... 255)
// has no contrast to correlate: its cells then differ by noise and rounding alone.
constexpr double kFlatDeviation = 0.3;

// The gray level of a BGR pixel, times 4: (B + 2G + R).
inline int grayTimes4(const unsigned char* bgr)
{
    return bgr[0] + 2 * bgr[1] + bgr[2];
}

}  // namespace

SceneSignature sceneSignature(const cv::Mat& photo)
{
    CV_Assert(photo.type() == CV_8UC3 && !photo.empty());
    const int side = kSignatureSide * kFineGrid;
    const int width = photo.cols, height = photo.rows;
    // The columns sampled and the cell of each; the rows likewise, cell by cell.
    std::vector<int> columns, columnCells;
    for (int cell = 0; cell < side; ++cell) {
        const int first = int(std::int64_t(cell) * width / side), end = int(std::int64_t(cell + 1) * width / side);
        const int step = std::max(1, (end - first) / kSamplesPerCell);
        for (int x = first + step / 2; x < end; x += step) {
            columns.push_back(x);
            columnCells.push_back(cell);
        }
    }
    cv::Mat grid(side, side, CV_32F, cv::Scalar(0));
    std::vector<double> sums(static_cast<std::size_t>(side));
    std::vector<int> counts(static_cast<std::size_t>(side));
    for (int cellRow = 0; cellRow < side; ++cellRow) {
        const int first = int(std::int64_t(cellRow) * height / side);
        const int end = int(std::int64_t(cellRow + 1) * height / side);
        const int step = std::max(1, (end - first) / kSamplesPerCell);
        std::fill(sums.begin(), sums.end(), 0.0);
        std::fill(counts.begin(), counts.end(), 0);
        for (int y = first + step / 2; y < end; y += step) {
            const unsigned char* row = photo.ptr<unsigned char>(y);
            for (std::size_t i = 0; i < columns.size(); ++i) {
                sums[std::size_t(columnCells[i])] += grayTimes4(row + 3 * columns[i]);
                ++counts[std::size_t(columnCells[i])];
            }
        }
        // A photo smaller than the grid leaves some cells without a row or column of their own:
        // those take the nearest pixel.
        float* out = grid.ptr<float>(cellRow);
        for (int cell = 0; cell < side; ++cell) {
            if (counts[std::size_t(cell)] > 0) {
                out[cell] = float(sums[std::size_t(cell)] / (4.0 * counts[std::size_t(cell)]));
                continue;
            }
            const int x = std::min(width - 1, int((std::int64_t(cell) * 2 + 1) * width / (2 * side)));
            const int y = std::min(height - 1, int((std::int64_t(cellRow) * 2 + 1) * height / (2 * side)));
            out[cell] = float(grayTimes4(photo.ptr<unsigned char>(y) + 3 * x) / 4.0);
        }
    }
    cv::GaussianBlur(grid, grid, cv::Size(), kBlurCells * kFineGrid, kBlurCells * kFineGrid, cv::BORDER_REPLICATE);
    cv::Mat cells;
    cv::resize(grid, cells, cv::Size(kSignatureSide, kSignatureSide), 0, 0, cv::INTER_AREA);

    SceneSignature signature;
    signature.aspect = float(width) / float(height);
    cv::Scalar mean, deviation;
    cv::meanStdDev(cells, mean, deviation);
    double lowest = 0.0, highest = 0.0;
    cv::minMaxLoc(cells, &lowest, &highest);
    signature.flat = deviation[0] < kFlatDeviation;
    signature.cells.assign(std::size_t(kSignatureSide * kSignatureSide), 0);
    if (signature.flat) return signature;
    const double scale = std::numeric_limits<std::uint16_t>::max() / (highest - lowest);
    for (int y = 0; y < kSignatureSide; ++y)
        for (int x = 0; x < kSignatureSide; ++x)
            signature.cells[std::size_t(y * kSignatureSide + x)] =
                std::uint16_t(std::lround((cells.at<float>(y, x) - lowest) * scale));
    return signature;
}

double signatureDistance(const SceneSignature& a, const SceneSignature& b)
{
    if (a.empty() || b.empty()) return 1.0;
    if (std::max(a.aspect, b.aspect) > kAspectTolerance * std::min(a.aspect, b.aspect)) return 1.0;
    if (a.flat || b.flat) return a.flat && b.flat ? 0.0 : 1.0;
    constexpr int side = kSignatureSide;
    double best = 0.0;
    for (int dy = -kSignatureShift; dy <= kSignatureShift; ++dy)
        for (int dx = -kSignatureShift; dx <= kSignatureShift; ++dx) {
            // Cell (x, y) of `a` against cell (x + dx, y + dy) of `b`, where both exist; the sums
            // of 16-bit cells and their products are exact in 64 bits.
            std::uint64_t sumA = 0, sumB = 0, sumAA = 0, sumBB = 0, sumAB = 0;
            const int x0 = std::max(0, -dx), x1 = std::min(side, side - dx);
            const int y0 = std::max(0, -dy), y1 = std::min(side, side - dy);
            for (int y = y0; y < y1; ++y) {
                const std::uint16_t* rowA = a.cells.data() + y * side;
                const std::uint16_t* rowB = b.cells.data() + (y + dy) * side + dx;
                for (int x = x0; x < x1; ++x) {
                    const std::uint64_t u = rowA[x], v = rowB[x];
                    sumA += u;
                    sumB += v;
                    sumAA += u * u;
                    sumBB += v * v;
                    sumAB += u * v;
                }
            }
            const double n = double(x1 - x0) * double(y1 - y0);
            const double meanA = double(sumA) / n, meanB = double(sumB) / n;
            const double varianceA = double(sumAA) - meanA * double(sumA);
            const double varianceB = double(sumBB) - meanB * double(sumB);
            if (varianceA <= 0.0 || varianceB <= 0.0) continue;
            best = std::max(best, (double(sumAB) - meanA * double(sumB)) / std::sqrt(varianceA * varianceB));
        }
    return 1.0 - std::min(best, 1.0);
}

namespace {

// A scene being formed: its photos' indices, in the order they joined, and where its latest frame
// lies on the axis the photos are taken along (seconds, or places in input order).
struct OpenScene {
    std::vector<std::size_t> photos;
    double latest = 0.0;
};

// Groups the photos `order` (indices into `frames`, in the order they are taken, with their places
// `positions` on an axis that never decreases along it) into scenes within `reach` of one another
// on that axis, each scene's photos appended to `scenes`.
void group(const std::vector<SceneFrame>& frames, const std::vector<std::size_t>& order,
           const std::vector<double>& positions, double reach, std::vector<std::vector<std::size_t>>& scenes)
{
    std::vector<OpenScene> open;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t photo = order[k];
        const double position = positions[k];
        // Scenes out of reach now stay out of reach of every later photo.
        for (auto it = open.begin(); it != open.end();) {
            if (position - it->latest <= reach) {
                ++it;
                continue;
            }
            scenes.push_back(std::move(it->photos));
            it = open.erase(it);
        }
        // The scene most alike, the earliest formed of equally alike ones.
        OpenScene* closest = nullptr;
        double closestDistance = 0.0;
        for (OpenScene& scene : open) {
            const std::size_t compared = std::min<std::size_t>(scene.photos.size(), kFramesCompared);
            for (std::size_t i = scene.photos.size() - compared; i < scene.photos.size(); ++i) {
                const double distance = signatureDistance(frames[photo].signature, frames[scene.photos[i]].signature);
                if (distance > kAlikeDistance || (closest != nullptr && distance >= closestDistance)) continue;
                closest = &scene;
                closestDistance = distance;
            }
        }
        if (closest == nullptr) {
            open.push_back(OpenScene{{photo}, position});
            continue;
        }
        closest->photos.push_back(photo);
        closest->latest = position;
    }
    for (OpenScene& scene : open) scenes.push_back(std::move(scene.photos));
}

}  // namespace

SceneAssignment assignScenes(const std::vector<SceneFrame>& frames)
{
    std::vector<std::size_t> timed, untimed;
    bool everyOffset = true;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].signature.empty()) continue;
        if (!frames[i].time) {
            untimed.push_back(i);
            continue;
        }
        timed.push_back(i);
        everyOffset = everyOffset && frames[i].time->offsetMinutes.has_value();
    }
    // Seconds from the earliest time, in UTC or on the clocks, so that times compare as numbers.
    std::vector<double> seconds(frames.size(), 0.0);
    if (!timed.empty()) {
        CaptureTime origin = *frames[timed.front()].time;
        if (!everyOffset) origin.offsetMinutes.reset();
        for (const std::size_t i : timed) {
            CaptureTime time = *frames[i].time;
            if (!everyOffset) time.offsetMinutes.reset();
            seconds[i] = secondsBetween(origin, time);
        }
    }
    std::stable_sort(timed.begin(), timed.end(), [&](std::size_t a, std::size_t b) { return seconds[a] < seconds[b]; });
    std::vector<double> timedPositions, untimedPositions;
    for (const std::size_t i : timed) timedPositions.push_back(seconds[i]);
    for (const std::size_t i : untimed) untimedPositions.push_back(double(i));

    std::vector<std::vector<std::size_t>> scenes;
    group(frames, timed, timedPositions, kSceneGapSeconds, scenes);
    group(frames, untimed, untimedPositions, kSceneReach, scenes);

    // Numbered by their first photo in input order.
    for (std::vector<std::size_t>& scene : scenes) std::sort(scene.begin(), scene.end());
    std::sort(scenes.begin(), scenes.end(), [](const auto& a, const auto& b) { return a.front() < b.front(); });
    SceneAssignment assignment;
    assignment.scene.assign(frames.size(), kNoScene);
    for (std::size_t id = 0; id < scenes.size(); ++id) {
        for (const std::size_t photo : scenes[id]) assignment.scene[photo] = int(id);
        assignment.sizes.push_back(int(scenes[id].size()));
    }
    return assignment;
}

SceneAssignment assignScenes(const std::vector<PhotoOutcome>& photos)
{
    std::vector<SceneFrame> frames(photos.size());
    for (std::size_t i = 0; i < photos.size(); ++i) {
        frames[i].time = photos[i].captureTime;
        frames[i].signature = photos[i].signature;
    }
    return assignScenes(frames);
}

}  // namespace dofmap::batch
