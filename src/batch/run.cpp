// Running a batch: each photo read, analyzed in one pass and written, photos in parallel, with
// progress and failures reported and statistics rows printed in input order.
#include "batch.hpp"

#include "capture_time.hpp"
#include "culling.hpp"
#include "false_color.hpp"
#include "image_io.hpp"
#include "io_error.hpp"
#include "memory.hpp"
#include "memory_budget.hpp"
#include "messages.hpp"
#include "xmp_sidecar.hpp"

#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace dofmap::batch {
namespace fs = std::filesystem;

namespace {

// A photo whose header gives no size (a format the header reader does not know) is assumed to
// take this many times its file's size, and at least kUnknownPhotoBytes.
constexpr std::int64_t kUnknownExpansion = 32;
constexpr std::int64_t kUnknownPhotoBytes = std::int64_t(64) << 20;
// The analysis's own buffers beside the images (block totals, the statistics' kept means), in
// bytes a pixel.
constexpr double kAnalysisBytesPerPixel = 1.0;
// The culling figures' own buffers: the gray photo binned 2 x 2 in floats and its pyramid, in bytes
// a pixel.
constexpr double kCullFigureBytesPerPixel = 1.4;
// Jobs render their maps from one scan of each photo when each has at least this many photos.
constexpr std::size_t kOneScanPhotosPerJob = 48;
// What every photo takes whatever its size: row buffers, encoders' state.
constexpr std::int64_t kPhotoOverheadBytes = std::int64_t(16) << 20;
// The default budget: this share of the memory available at start less this reserve, for the
// program itself and whatever else runs beside it, but never less than the least budget.
constexpr double kBudgetShare = 0.85;
constexpr std::int64_t kBudgetReserve = std::int64_t(64) << 20;
constexpr std::int64_t kLeastBudget = std::int64_t(64) << 20;

}  // namespace

std::int64_t defaultMemoryBudget()
{
    const std::optional<std::int64_t> available = availableMemory();
    if (!available) return std::numeric_limits<std::int64_t>::max();
    return std::max<std::int64_t>(std::int64_t(double(*available) * kBudgetShare) - kBudgetReserve, kLeastBudget);
}

std::int64_t photoMemory(const PhotoFile& file, const Options& options, bool oneScanMaps)
{
    const std::int64_t fileBytes = std::int64_t(file.content.size());
    if (!file.declaredSize) return std::max(fileBytes * kUnknownExpansion, kUnknownPhotoBytes);
    // Bytes a pixel takes at the peak: the photo as decoded, its blurred copy, the map and its
    // encoding, the table of float means of a map from one scan (unless the means written serve
    // as the table, or the figures take two scans), and what the extra outputs hold beside them;
    // and what the decoder holds beside the photo while it decodes (the file's bytes are still
    // held then).
    double perPixel = 3 + 3 + 1 + 1 + kAnalysisBytesPerPixel;
    if (oneScanMaps && !figuresWanted(options) && !options.means) perPixel += 4;
    if (options.blurred) perPixel += 3;
    if (options.colormap) perPixel += 3 + 1;
    if (options.overlay) perPixel += 3 + 3 + 1;
    if (options.means) perPixel += 4 + 4;
    if (options.report) perPixel += kThumbnailBytesPerPixel;
    if (options.cullFigures || options.cull) perPixel += kCullFigureBytesPerPixel;
    const double pixels = double(file.declaredSize->width) * double(file.declaredSize->height);
    return fileBytes + kPhotoOverheadBytes +
        std::int64_t(std::min(pixels * perPixel + double(file.decoderBytes), 9.0e18));
}

namespace {

// The bytes of an image's own memory, or of a buffer's.
std::int64_t bytesOf(const cv::Mat& image)
{
    return image.u != nullptr ? std::int64_t(image.u->size) : 0;
}

}  // namespace

std::int64_t Job::keptBytes() const
{
    return std::int64_t(file_.content.capacity()) + bytesOf(source_) + bytesOf(blurred_) + bytesOf(analysis_.map) +
        bytesOf(analysis_.means) + bytesOf(analysis_.scratch) + std::int64_t(png_.keptBytes());
}

void Job::releaseBuffers()
{
    source_.release();
    blurred_.release();
    analysis_ = FocusAnalysis();
    png_.release();
}

PhotoOutcome processPhoto(const Photo& photo, const Options& options, MemoryBudget& budget, Reporter& reporter,
                          bool& complete)
{
    Job job(budget);
    return processPhoto(photo, options, job, reporter, complete);
}

PhotoOutcome processPhoto(const Photo& photo, const Options& options, Job& job, Reporter& reporter, bool& complete)
{
    complete = false;
    PhotoOutcome outcome;
    const auto refused = [&](const IoError& error) {
        const std::string reason = describe(error);
        reporter.cannotRead(photo.input, reason);
        outcome.unreadable = reason;
        outcome.captureTime.reset();
        outcome.signature = SceneSignature();
        return outcome;
    };
    PhotoFile& file = job.file_;
    // Standard input is read whole, within the budget: it may be a pipe, whose size nothing tells.
    const IoStatus loaded = isStandardStream(photo.input)
        ? loadPhotoStream(STDIN_FILENO, file, job.holding_.budget().total())
        : loadPhotoFile(photo.input, file);
    if (!loaded) return refused(loaded.error());
    const std::int64_t needed = photoMemory(file, options, job.oneScanMaps_);
    const std::int64_t total = job.holding_.budget().total();
    if (file.declaredSize && needed > total)
        return refused(IoError{IoReason::tooLarge, 0,
                               std::to_string(file.declaredSize->width) + " x " +
                                   std::to_string(file.declaredSize->height) + " pixels need about " +
                                   formatMemorySize(needed) + ", the memory allowed is " + formatMemorySize(total)});
    // The photo's estimate, or what the job keeps when that is more; when that does not fit beside
    // the other jobs, the kept buffers go and the job waits for the photo's estimate alone.
    if (!job.holding_.change(std::max(needed, job.keptBytes()))) {
        job.releaseBuffers();
        job.holding_.wait(needed);
    }
    // After the photo the job holds what it keeps, or lets its buffers go when they do not fit.
    struct Keep {
        Job& job;
        ~Keep()
        {
            if (job.holding_.change(job.keptBytes())) return;
            job.releaseBuffers();
            job.file_ = PhotoFile();
            job.holding_.change(0);
        }
    } keep{job};
    // Out of memory anywhere in the photo's work, it is refused with that reason.
    IoResult<PhotoOutcome> made = withMemoryGuard([&]() -> IoResult<PhotoOutcome> {
        // What the scenes of a judged batch are made of: the time from the file's bytes (none when
        // it cannot be read: the photo is still figured), the signature from the decoded photo.
        const bool figures = figuresWanted(options);
        if (figures) {
            const IoResult<std::optional<CaptureTime>> time = readCaptureTime(file);
            outcome.captureTime = time ? time.value() : std::nullopt;
        }
        const IoResult<cv::Mat> decoded = decodePhoto(
            file, options.rawPreview ? RawDevelopment::previewWhenLarge : RawDevelopment::full, &job.source_);
        file.content.clear();  // its bytes are not needed any more; the memory stays for the next file
        if (!decoded) return refused(decoded.error());
        const cv::Mat& source = decoded.value();
        if (figures) outcome.signature = sceneSignature(source);
        // The folders of the outputs, created as needed; an output whose folder cannot be made is
        // reported with that reason (not the "no such file or directory" its write would give).
        std::vector<IoStatus> folderFailures(photo.outputs.size());
        for (std::size_t i = 0; i < photo.outputs.size(); ++i) {
            const fs::path folder = photo.outputs[i].parent_path();
            std::error_code error;
            if (folder.empty() || fs::create_directories(folder, error) || !error) continue;
            // Another job may have made it meanwhile.
            std::error_code ignored;
            if (!fs::is_directory(folder, ignored)) folderFailures[i] = systemFailure(error.value());
        }

        // Every output is made before any is written, so that a photo whose memory runs out leaves
        // none. The outputs are those the plan named, in its order.
        const bool writing = !options.dryRun;
        const bool mapWritten = writing && !options.noMap;
        const bool mapNeeded = mapWritten || (writing && (options.colormap || options.overlay)) || options.report;
        blurredReference(source, job.blurred_, options.sigma);
        const cv::Mat& blurred = job.blurred_;
        FocusRequest request;
        request.mapChannels = mapNeeded ? 1 : 0;
        request.meansDepth = writing && options.means ? CV_32F : 0;
        request.statistics = figures || options.cullFigures || options.cull;
        request.oneScan = job.oneScanMaps_;
        FocusAnalysis& analysis = job.analysis_;
        analyzeFocus(source, blurred, options.window, request, analysis);
        const cv::ColormapTypes colormap =
            colormapNamed(options.colormap.value_or("inferno")).value_or(cv::COLORMAP_INFERNO);
        std::vector<cv::Mat> images;
        if (mapWritten) images.push_back(analysis.map);
        if (writing && options.blurred) images.push_back(blurred);
        if (writing && options.colormap) images.push_back(falseColor(analysis.map, colormap));
        if (writing && options.overlay) images.push_back(dofmap::overlay(source, analysis.map, colormap));
        if (writing && options.means) images.push_back(analysis.means);
        if (options.report) outcome.thumbnails = makeThumbnails(source, analysis.map, colormap);

        complete = true;
        for (std::size_t i = 0; i < images.size() && i < photo.outputs.size(); ++i) {
            const fs::path& path = photo.outputs[i];
            IoStatus written = folderFailures[i];
            if (written && isStandardStream(path.string()))
                written = writeImage(STDOUT_FILENO, "." + options.format, images[i], &job.png_);
            else if (written)
                written = writeImage(path.string(), images[i], {}, &job.png_);
            if (written) {
                if (mapWritten && i == 0)
                    outcome.mapWritten = true;
                else
                    ++outcome.otherOutputsWritten;
                continue;
            }
            reporter.cannotWrite(path, written.message());
            complete = false;
        }
        outcome.statistics = PhotoStatistics{source.cols, source.rows, analysis.statistics, std::nullopt};
        if (options.cullFigures || options.cull)
            outcome.statistics->cull = cullFigures(source, blurred, analysis.maxMean, options.sigma);
        return outcome;
    });
    if (made) return std::move(made.value());
    complete = false;
    return refused(made.error());
}

namespace {

// Reports on the standard error stream, shared by the workers, keeping one progress line at the
// bottom when asked. Every message goes out in one write, so that lines never interleave.
class StreamReporter final : public Reporter {
public:
    StreamReporter(bool showProgress, std::size_t total)
        : showProgress_(showProgress),
          total_(total),
          digits_(std::to_string(total).size())
    {
    }

    void cannotRead(const std::string& path, const std::string& reason) override
    {
        line("cannot read image " + printable(path) + ": " + reason);
    }
    void cannotWrite(const fs::path& path, const std::string& reason) override
    {
        if (isStandardStream(path.string()))
            cannotWriteStandardOutput(reason);
        else
            line("cannot write " + printable(path.string()) + ": " + reason);
    }
    void cannotWriteStandardOutput(const std::string& reason) { line("cannot write standard output: " + reason); }

    // Shows that the photo with 1-based number `number` is being processed.
    void starting(std::size_t number, const std::string& path)
    {
        if (!showProgress_) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        std::string count = std::to_string(number);
        count.insert(0, digits_ - std::min(digits_, count.size()), ' ');
        progress_ = "[" + count + "/" + std::to_string(total_) + "] " + printable(fs::path(path).filename().string());
        reportText("\r" + progress_ + "\033[K");
    }

    // Clears the progress line for good, before the records that come at the end (which a terminal
    // may show on the same screen) and the summary.
    void finish()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (showProgress_) reportText("\r\033[K");
        showProgress_ = false;
    }

    void summary(const std::string& text) { line(text); }

private:
    void line(const std::string& message)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::string text = showProgress_ ? "\r\033[K" : "";
        text += "dofmap-batch: " + message + "\n";
        if (showProgress_) text += progress_ + "\033[K";
        reportText(text);
    }

    bool showProgress_;
    const std::size_t total_;
    const std::size_t digits_;
    std::mutex mutex_;
    std::string progress_;
};

}  // namespace

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
        return statistics.means.averageMean;
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

int run(const std::vector<Photo>& photos, const Options& options, bool errIsTerminal, bool outputClosed,
        BatchOutcome* result)
{
    MemoryBudget budget(options.memory ? *options.memory : defaultMemoryBudget());
    StreamReporter reporter(errIsTerminal && !options.quiet && photos.size() > 1, photos.size());
    std::atomic<bool> allGood{true};
    // Standard output takes the records; once a write to it fails, the rest are not tried.
    bool outputFailed = false;
    const auto print = [&](const std::string& line) {
        if (outputFailed) return;
        const IoStatus written = outputClosed ? IoStatus(systemFailure(EBADF)) : writeAll(STDOUT_FILENO, line + "\n");
        if (written) return;
        outputFailed = true;
        allGood = false;
        reporter.cannotWriteStandardOutput(written.message());
    };

    // A threshold that is a share of the median is known once every photo is figured: then the
    // records and sidecars wait for the whole batch. Records in an order of their own wait too.
    // Otherwise each photo is finished as soon as those before it are.
    // Culling groups the photos into scenes: it too waits for the whole batch.
    const bool table = judged(options) && !options.json && !options.stats;
    const bool deferred = (options.rejectBelow && options.rejectBelow->percentOfMedian) || options.cull;
    const bool recordsAtEnd = deferred || options.sort.has_value();
    BatchOutcome own;
    BatchOutcome& batch = result != nullptr ? *result : own;
    batch = BatchOutcome();
    batch.photos.resize(photos.size());
    std::vector<PhotoOutcome>& outcomes = batch.photos;
    std::optional<double>& threshold = batch.threshold;
    if (options.rejectBelow && !deferred) threshold = options.rejectBelow->value;
    // The report's thumbnails are written as each photo is done, its page at the end.
    std::optional<ContactSheet> sheet;
    if (options.report && !sheet.emplace(*options.report, photos.size()).prepare(reporter)) {
        allGood = false;
        sheet.reset();
    }
    if (options.stats) print(statisticsHeader(judged(options), options.cull));
    if (table && threshold) print(verdictHeader(*threshold, std::nullopt, 0.0));

    // Judges photo `i` and updates its sidecars; called in input order.
    const auto judge = [&](std::size_t i) {
        const Photo& photo = photos[i];
        PhotoOutcome& outcome = outcomes[i];
        const std::optional<PhotoStatistics>& statistics = outcome.statistics;
        if (threshold && statistics)
            outcome.verdict = Verdict{isBlurry(statistics->means.maxMean, *threshold), *threshold, std::nullopt};
        if (!statistics) return;
        SidecarFigures figures{statistics->width,
                               statistics->height,
                               statistics->means.maxMean,
                               statistics->means.averageMean,
                               statistics->means.p90Mean,
                               options.sigma,
                               options.window,
                               std::nullopt};
        if (const std::optional<CullFigures>& cull = statistics->cull)
            figures.cull = SidecarCullFigures{cull->noise, cull->correctedMaxMean, cull->detailRatio, cull->motion};
        std::optional<SidecarVerdict> verdict;
        if (outcome.verdict) {
            verdict = SidecarVerdict{outcome.verdict->blurry, outcome.verdict->threshold, options.overwriteRatings,
                                     std::nullopt};
            if (const std::optional<CullJudgement>& cull = outcome.verdict->cull)
                verdict->cull = SidecarJudgement{cull->scene, cull->figure, cull->cut};
        }
        for (const fs::path& sidecar : photo.sidecars) {
            const IoStatus written = updateSidecar(sidecar, figures, verdict);
            if (written) {
                ++outcome.sidecarsWritten;
                continue;
            }
            reporter.cannotWrite(sidecar, written.message());
            allGood = false;
        }
    };
    // Prints the record of photo `i`.
    const auto printRecord = [&](std::size_t i) {
        const Photo& photo = photos[i];
        const PhotoOutcome& outcome = outcomes[i];
        const std::optional<PhotoStatistics>& statistics = outcome.statistics;
        if (options.json)
            print(statistics ? jsonRecord(photo.input, *statistics, photo.companion, outcome.verdict)
                             : jsonFailure(photo.input, outcome.unreadable, photo.companion));
        else if (options.stats && statistics)
            print(statisticsRow(photo.input, *statistics, photo.companion, outcome.verdict, options.cull));
        else if (table && statistics && outcome.verdict && outcome.verdict->cull)
            print(cullRow(photo.input, *outcome.verdict, photo.companion));
        else if (table && statistics && outcome.verdict)
            print(verdictRow(photo.input, statistics->means.maxMean, outcome.verdict->blurry, photo.companion));
    };

    std::mutex finishing;
    std::vector<bool> done(photos.size(), false);
    std::size_t nextToFinish = 0;
    std::atomic<std::size_t> next{0};
    const int threads = std::max(1, std::min<int>(options.jobs, int(photos.size())));
    // Maps from one scan save about 8 ms of CPU on a 24-megapixel photo, but the table they keep
    // is fresh memory, whose first touch took 20 to 300 ms per 96 MB here: worth it only for jobs
    // with many photos.
    const bool oneScanMaps = photos.size() >= std::size_t(threads) * kOneScanPhotosPerJob;
    const auto worker = [&] {
        Job job(budget, oneScanMaps);  // its buffers serve every photo this thread takes
        for (std::size_t i = next++; i < photos.size(); i = next++) {
            reporter.starting(i + 1, photos[i].input);
            bool complete = false;
            PhotoOutcome outcome = processPhoto(photos[i], options, job, reporter, complete);
            if (sheet && outcome.statistics && !sheet->writeThumbnails(i, outcome.thumbnails, reporter))
                allGood = false;
            if (!sheet) outcome.thumbnails = Thumbnails();  // nowhere to go; else kept to the end with the outcome
            if (!complete) allGood = false;
            const std::lock_guard<std::mutex> lock(finishing);
            outcomes[i] = std::move(outcome);
            done[i] = true;
            if (deferred) continue;
            for (; nextToFinish < photos.size() && done[nextToFinish]; ++nextToFinish) {
                judge(nextToFinish);
                if (!recordsAtEnd) printRecord(nextToFinish);
            }
        }
    };
    std::vector<std::thread> pool;
    try {
        for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    } catch (const std::system_error&) {
        // A thread the system cannot give (its stack under a memory limit): the others do the work.
    }
    worker();
    for (std::thread& thread : pool) thread.join();

    reporter.finish();
    if (options.cull) {
        const SceneAssignment scenes = assignScenes(outcomes);
        const std::vector<std::optional<Verdict>> verdicts = cullVerdicts(outcomes, scenes);
        for (std::size_t i = 0; i < photos.size(); ++i) outcomes[i].verdict = verdicts[i];
        batch.scenes = int(scenes.sizes.size());
        if (table) print(cullHeader(*batch.scenes));
        for (std::size_t i = 0; i < photos.size(); ++i) judge(i);
    } else if (deferred) {
        std::vector<double> maxMeans;
        for (const PhotoOutcome& outcome : outcomes)
            if (outcome.statistics) maxMeans.push_back(outcome.statistics->means.maxMean);
        threshold = absoluteThreshold(*options.rejectBelow, maxMeans);
        if (table && threshold) print(verdictHeader(*threshold, options.rejectBelow->value, median(maxMeans)));
        for (std::size_t i = 0; i < photos.size(); ++i) judge(i);
    }
    if (sheet && !sheet->write(photos, batch, options, reporter)) allGood = false;
    if (recordsAtEnd) {
        if (options.sort)
            for (const std::size_t i : recordOrder(photos, outcomes, *options.sort)) printRecord(i);
        else
            for (std::size_t i = 0; i < photos.size(); ++i) printRecord(i);
    }
    if (options.summary || (errIsTerminal && !options.quiet)) reporter.summary(summaryLine(batch, options));
    return allGood ? 0 : 1;
}

}  // namespace dofmap::batch
