// What a batch came to: its counts, the summary line that words them, and the order of its records.
#include "batch.hpp"

#include "messages.hpp"

#include <algorithm>

namespace dofmap::batch {

namespace {

// `count` and the noun, plural unless the count is one.
std::string counted(std::size_t count, const std::string& noun, const std::string& plural)
{
    return std::to_string(count) + " " + (count == 1 ? noun : plural);
}

// The figure of `statistics` that a sort by `key` compares (paths are compared apart).
double sortFigure(const PhotoStatistics& statistics, SortKey key)
{
    switch (key) {
    case SortKey::meanMean:
        return statistics.means.meanMean;
    case SortKey::p90Mean:
        return statistics.means.p90Mean;
    default:
        return statistics.means.maxMean;
    }
}

}  // namespace

BatchCounts countsOf(const BatchOutcome& outcome)
{
    BatchCounts counts;
    for (const PhotoOutcome& photo : outcome.photos) {
        ++(photo.statistics ? counts.read : counts.unreadable);
        counts.maps += photo.mapWritten ? 1 : 0;
        counts.otherOutputs += std::size_t(photo.otherOutputsWritten);
        counts.sidecars += std::size_t(photo.sidecarsWritten);
        if (photo.verdict) ++(photo.verdict->blurry ? counts.blurry : counts.sharp);
    }
    return counts;
}

std::string summaryLine(const BatchOutcome& outcome, const Options& options)
{
    const BatchCounts counts = countsOf(outcome);
    std::string line =
        counted(counts.read, "photo", "photos") + " read, " + std::to_string(counts.unreadable) + " unreadable";
    std::vector<std::string> written;
    if (!options.dryRun && !options.noMap) written.push_back(counted(counts.maps, "map", "maps"));
    if (!options.dryRun && (options.blurred || options.colormap || options.overlay || options.means))
        written.push_back(counted(counts.otherOutputs, "other output", "other outputs"));
    if (!options.dryRun && options.xmp) written.push_back(counted(counts.sidecars, "sidecar", "sidecars"));
    for (std::size_t i = 0; i < written.size(); ++i)
        line += (i == 0 ? "; " : i + 1 == written.size() ? " and " : ", ") + written[i];
    if (!written.empty()) line += " written";
    if (options.dryRun) line += "; nothing written (dry run)";
    if (outcome.threshold)
        line += "; " + std::to_string(counts.sharp) + " sharp, " + std::to_string(counts.blurry) +
            " blurry (largest mean below " + decimal(*outcome.threshold) + ")";
    if (outcome.scenes)
        line += "; " + std::to_string(counts.sharp) + " sharp, " + std::to_string(counts.blurry) + " blurry (in " +
            counted(*outcome.scenes, "scene", "scenes") + ")";
    return line;
}

std::vector<std::size_t> recordOrder(const std::vector<Photo>& photos, const std::vector<PhotoOutcome>& outcomes,
                                     const SortOrder& order)
{
    std::vector<std::size_t> indices(photos.size());
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
    std::stable_sort(indices.begin(), indices.end(), [&](std::size_t a, std::size_t b) {
        const std::optional<PhotoStatistics>& first = outcomes[a].statistics;
        const std::optional<PhotoStatistics>& second = outcomes[b].statistics;
        if (!first || !second) return first && !second;
        if (order.key == SortKey::path)
            return order.descending ? photos[b].input < photos[a].input : photos[a].input < photos[b].input;
        const double x = sortFigure(*first, order.key), y = sortFigure(*second, order.key);
        return order.descending ? y < x : x < y;
    });
    return indices;
}

}  // namespace dofmap::batch
