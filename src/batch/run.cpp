// Running a batch: each photo read, analyzed (in two scans of the photo, or one for a job's maps
// from one scan) and written, photos in parallel, with progress and failures reported and the
// records printed in input order.
#include "batch.hpp"

#include "atomic_file.hpp"
#include "capture_time.hpp"
#include "culling.hpp"
#include "false_color.hpp"
#include "image_io.hpp"
#include "io_error.hpp"
#include "memory.hpp"
#include "memory_budget.hpp"
#include "messages.hpp"
#include "xmp_sidecar.hpp"

#include <opencv2/core/utility.hpp>

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

PhotoOutcome processPhoto(const Photo& photo, const Options& options, MemoryBudget& budget, Reporter& reporter,
                          bool& complete)
{
    Job job(budget);
    return processPhoto(photo, options, job, reporter, complete);
}

PhotoOutcome processPhoto(const Photo& photo, const Options& options, Job& job, Reporter& reporter, bool& complete,
                          PendingOutputs* deferred)
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
    job.admit(needed);
    // After the photo the job holds what it keeps, however the photo ends.
    struct Settle {
        Job& job;
        ~Settle() { job.settle(); }
    } settle{job};
    // Out of memory anywhere in the photo's work, it is refused with that reason.
    IoResult<PhotoOutcome> made = withMemoryGuard([&]() -> IoResult<PhotoOutcome> {
        // What the scenes of a batch judged by culling are made of: the time from the file's bytes
        // (none when it cannot be read: the photo is still figured), the signature from the decoded
        // photo. Other runs need neither.
        const bool scenes = options.cull;
        const bool figures = figuresWanted(options);
        if (scenes) {
            const IoResult<std::optional<CaptureTime>> time = readCaptureTime(file);
            outcome.captureTime = time ? time.value() : std::nullopt;
        }
        const IoResult<cv::Mat> decoded = decodePhoto(
            file, options.rawPreview ? RawDevelopment::previewWhenLarge : RawDevelopment::full, &job.source_);
        file.content.clear();  // its bytes are not needed any more; the memory stays for the next file
        if (!decoded) return refused(decoded.error());
        const cv::Mat& source = decoded.value();
        if (scenes) outcome.signature = sceneSignature(source);
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
        blurredReference(source, job.blurred_, options.parameters.sigma);
        const cv::Mat& blurred = job.blurred_;
        FocusRequest request;
        request.mapChannels = mapNeeded ? 1 : 0;
        request.meansDepth = writing && options.means ? CV_32F : 0;
        request.statistics = figures || options.cullFigures || options.cull;
        request.oneScan = job.oneScanMaps_;
        FocusAnalysis& analysis = job.analysis_;
        analyzeFocus(source, blurred, options.parameters.window, request, analysis);
        const cv::ColormapTypes colormap =
            colormapNamed(options.colormap.value_or("inferno")).value_or(cv::COLORMAP_INFERNO);
        std::vector<cv::Mat> images;
        if (mapWritten) images.push_back(analysis.map);
        if (writing && options.blurred) images.push_back(blurred);
        if (writing && options.colormap) images.push_back(falseColor(analysis.map, colormap));
        if (writing && options.overlay) images.push_back(dofmap::overlay(source, analysis.map, colormap));
        if (writing && options.means) images.push_back(analysis.means);
        if (options.report) outcome.thumbnails = makeThumbnails(source, analysis.map, colormap);

        // Each output encoded into the buffer of its place among the photo before's, then written (or
        // left to the caller).
        complete = true;
        PendingOutputs own;
        PendingOutputs& outputs = deferred != nullptr ? *deferred : own;
        outputs.clear();
        for (std::size_t i = 0; i < images.size() && i < photo.outputs.size(); ++i) {
            PendingOutput& output = outputs.emplace_back();
            if (i < job.spare_.size()) output.bytes.swap(job.spare_[i].bytes);
            output.path = photo.outputs[i];
            output.isMap = mapWritten && i == 0;
            output.status = folderFailures[i];
            const bool toStream = isStandardStream(output.path.string());
            if (output.status)
                output.status = encodeImage(toStream ? "." + options.format : output.path.extension().string(),
                                            images[i], output.bytes, {}, &job.png_);
        }
        if (deferred == nullptr) {
            writeOutputs(outputs, reporter, outcome, complete);
            job.spare_ = std::move(outputs);
        } else {
            // Held with the job's buffers until written.
            job.encodedBytes_ = 0;
            for (const PendingOutput& output : outputs) job.encodedBytes_ += std::int64_t(output.bytes.capacity());
        }
        outcome.statistics = PhotoStatistics{source.cols, source.rows, analysis.statistics, std::nullopt};
        if (options.cullFigures || options.cull)
            outcome.statistics->cull = cullFigures(source, blurred, analysis.maxMean, options.parameters.sigma);
        return outcome;
    });
    if (made) return std::move(made.value());
    complete = false;
    return refused(made.error());
}

void writeOutputs(PendingOutputs& pending, Reporter& reporter, PhotoOutcome& outcome, bool& complete)
{
    for (PendingOutput& output : pending) {
        IoStatus written = output.status;
        if (written && isStandardStream(output.path.string()))
            written = writeAll(STDOUT_FILENO, output.bytes.data(), output.bytes.size());
        else if (written)
            written = writeFileAtomically(output.path, output.bytes);
        if (written) {
            if (output.isMap)
                outcome.mapWritten = true;
            else
                ++outcome.otherOutputsWritten;
            continue;
        }
        reporter.cannotWrite(output.path, written.message());
        complete = false;
    }
}

namespace {

// Photos per job from which a photo's stages run on one thread (see run).
constexpr std::size_t kSerialPhotosPerJob = 2;

// OpenCV's loops run on the calling thread alone while it lives, when `serial`; restored after.
class SerialStages {
public:
    explicit SerialStages(bool serial) : previous_(serial ? cv::getNumThreads() : 0)
    {
        if (serial) cv::setNumThreads(1);
    }
    ~SerialStages()
    {
        if (previous_ > 0) cv::setNumThreads(previous_);
    }
    SerialStages(const SerialStages&) = delete;
    SerialStages& operator=(const SerialStages&) = delete;

private:
    const int previous_;
};

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
        SidecarFigures figures{
            statistics->width,         statistics->height,       statistics->means.maxMean, statistics->means.meanMean,
            statistics->means.p90Mean, options.parameters.sigma, options.parameters.window, std::nullopt};
        if (const std::optional<CullFigures>& cull = statistics->cull)
            figures.cull = SidecarCullFigures{cull->noise, cull->correctedMaxMean, cull->detailRatio, cull->motion};
        std::optional<SidecarVerdict> verdict;
        if (outcome.verdict) {
            verdict = SidecarVerdict{outcome.verdict->blurry, outcome.verdict->threshold, options.overwriteRatings,
                                     std::nullopt};
            if (const std::optional<CullJudgement>& cull = outcome.verdict->cull)
                verdict->cull = SidecarJudgement{cull->scene, cull->judgedBy, cull->cut};
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
    const bool oneScan = mapsFromOneScan(photos.size(), threads);
    // With photos enough to keep every job busy, each photo's stages run on its job's thread alone:
    // split over OpenCV's threads as well, the blur and the map used nearly two CPUs to take 6 to
    // 8 % less time than on one, CPU taken from the other jobs. With fewer, a photo's stages are
    // split over the threads the other jobs leave free.
    const SerialStages serial(threads >= 2 && photos.size() >= kSerialPhotosPerJob * std::size_t(threads));
    // Each photo's outputs are written, and the photo finished (its thumbnails, records and
    // sidecars), on a thread of its own while its job goes on with the next photo: the writes and
    // their syncs overlap the work.
    const auto finish = [&](std::size_t i, PhotoOutcome& outcome, PendingOutputs& outputs, bool complete) {
        writeOutputs(outputs, reporter, outcome, complete);
        if (sheet && outcome.statistics && !sheet->writeThumbnails(i, outcome.thumbnails, reporter)) allGood = false;
        if (!sheet) outcome.thumbnails = Thumbnails();  // nowhere to go; else kept to the end with the outcome
        if (!complete) allGood = false;
        const std::lock_guard<std::mutex> lock(finishing);
        outcomes[i] = std::move(outcome);
        done[i] = true;
        if (deferred) return;
        for (; nextToFinish < photos.size() && done[nextToFinish]; ++nextToFinish) {
            judge(nextToFinish);
            if (!recordsAtEnd) printRecord(nextToFinish);
        }
    };
    const auto worker = [&] {
        Job job(budget, oneScan);  // its buffers serve every photo this thread takes
        for (std::size_t i = next++; i < photos.size(); i = next++) {
            reporter.starting(i + 1, photos[i].input);
            bool complete = false;
            PendingOutputs outputs;
            PhotoOutcome outcome = processPhoto(photos[i], options, job, reporter, complete, &outputs);
            job.writeBehind(std::move(outputs),
                            [&finish, i, complete, outcome = std::move(outcome)](PendingOutputs pending) mutable {
                                finish(i, outcome, pending, complete);
                                return pending;
                            });
        }
        job.awaitWriting();
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
