// Running a batch: each photo read, analyzed in one pass and written, photos in parallel, with
// progress and failures reported and statistics rows printed in input order.
#include "batch.hpp"

#include "false_color.hpp"
#include "image_io.hpp"
#include "messages.hpp"

#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

namespace dofmap::batch {
namespace fs = std::filesystem;

namespace {

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

std::optional<PhotoStatistics> processPhoto(const Photo& photo, const Options& options, Reporter& reporter,
                                            bool& complete)
{
    complete = false;
    std::string reason;
    const cv::Mat source = readColorImage(photo.input, &reason);
    if (source.empty()) {
        reporter.cannotRead(photo.input, reason);
        return std::nullopt;
    }
    if (options.output) {
        std::error_code ignored;
        fs::create_directories(*options.output, ignored);
    }

    const cv::Mat blurred = blurredReference(source, options.sigma);
    FocusRequest request;
    request.mapChannels = 1;
    request.meansDepth = options.means ? CV_32F : 0;
    request.statistics = options.stats;
    const FocusAnalysis analysis = analyzeFocus(source, blurred, options.window, request);
    complete = true;
    auto output = photo.outputs.begin();
    const auto write = [&](const cv::Mat& image) {
        const fs::path& path = *output++;
        const std::string why = writeImage(path.string(), image);
        if (why.empty()) return;
        reporter.cannotWrite(path, why);
        complete = false;
    };
    write(analysis.map);
    if (options.blurred) write(blurred);
    const cv::ColormapTypes colormap =
        colormapNamed(options.colormap.value_or("inferno")).value_or(cv::COLORMAP_INFERNO);
    if (options.colormap) write(falseColor(analysis.map, colormap));
    if (options.overlay) write(dofmap::overlay(source, analysis.map, colormap));
    if (options.means) write(analysis.means);
    return PhotoStatistics{source.cols, source.rows, analysis.statistics};
}

std::string statisticsHeader()
{
    return "path,width,height,max_mean,mean_mean,p90_mean";
}

std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics)
{
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, ",%d,%d,%.6f,%.6f,%.6f", statistics.width, statistics.height,
                  statistics.means.maxMean, statistics.means.averageMean, statistics.means.p90Mean);
    return csvField(path) + numbers;
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

    void finish()
    {
        if (!showProgress_) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        reportText("\r\033[K");
    }

private:
    void line(const std::string& message)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::string text = showProgress_ ? "\r\033[K" : "";
        text += "dofmap-batch: " + message + "\n";
        if (showProgress_) text += progress_ + "\033[K";
        reportText(text);
    }

    const bool showProgress_;
    const std::size_t total_;
    const std::size_t digits_;
    std::mutex mutex_;
    std::string progress_;
};

}  // namespace

int run(const std::vector<Photo>& photos, const Options& options, bool errIsTerminal, bool outputClosed)
{
    StreamReporter reporter(errIsTerminal && !options.quiet && photos.size() > 1, photos.size());
    std::atomic<bool> allGood{true};
    // Standard output takes the statistics; once a write to it fails, the rest are not tried.
    bool outputFailed = false;
    const auto print = [&](const std::string& line) {
        if (outputFailed) return;
        const std::string reason = outputClosed ? reasonOf(EBADF) : writeAll(STDOUT_FILENO, line + "\n");
        if (reason.empty()) return;
        outputFailed = true;
        allGood = false;
        reporter.cannotWriteStandardOutput(reason);
    };
    if (options.stats) print(statisticsHeader());

    // Rows are printed in input order: each finished photo prints its own row and those after it
    // that finished earlier.
    std::mutex rowsMutex;
    std::vector<std::optional<std::string>> rows(photos.size());
    std::vector<bool> done(photos.size(), false);
    std::size_t nextRow = 0;
    std::atomic<std::size_t> next{0};

    const auto worker = [&] {
        for (std::size_t i = next++; i < photos.size(); i = next++) {
            reporter.starting(i + 1, photos[i].input);
            bool complete = false;
            const std::optional<PhotoStatistics> statistics = processPhoto(photos[i], options, reporter, complete);
            if (!complete) allGood = false;
            const std::lock_guard<std::mutex> lock(rowsMutex);
            if (options.stats && statistics) rows[i] = statisticsRow(photos[i].input, *statistics);
            done[i] = true;
            for (; nextRow < photos.size() && done[nextRow]; ++nextRow)
                if (rows[nextRow]) print(*rows[nextRow]);
        }
    };
    const int threads = std::max(1, std::min<int>(options.jobs, int(photos.size())));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    reporter.finish();
    return allGood ? 0 : 1;
}

}  // namespace dofmap::batch
