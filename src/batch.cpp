#include "batch.hpp"

#include "false_color.hpp"
#include "image_io.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>

namespace dofmap::batch {
namespace fs = std::filesystem;

namespace {

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool isPhotoFile(const fs::directory_entry& entry)
{
    std::error_code ignored;
    if (!entry.is_regular_file(ignored)) return false;
    const std::string extension = lowerCase(entry.path().extension().string());
    const auto& known = photoExtensions();
    return std::find(known.begin(), known.end(), extension) != known.end();
}

// True for the names this program gives its outputs, which a folder of photos may hold from an
// earlier run: they are not taken as photos.
bool isOwnOutput(const std::string& name)
{
    const std::string lower = lowerCase(name);
    const auto endsWith = [&](const std::string& suffix) {
        return lower.size() > suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    for (const char* format : {"png", "jpg", "tif"})
        if (endsWith(std::string(".dof.") + format) || endsWith(std::string(".blur.") + format)) return true;
    if (endsWith(".means.tif") || endsWith(".dof-overlay.jpg")) return true;
    const std::size_t colored = lower.rfind(".dof-");
    return colored != std::string::npos && endsWith(".png");
}

// The photos directly inside `folder`, sorted by name.
std::vector<std::string> photosIn(const fs::path& folder)
{
    std::vector<std::string> photos;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (isPhotoFile(entry) && !isOwnOutput(entry.path().filename().string()))
            photos.push_back(entry.path().string());
    std::sort(photos.begin(), photos.end());
    return photos;
}

// A key that two spellings of one file share (the file itself need not exist).
std::string identity(const fs::path& path)
{
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    return (error ? fs::absolute(path) : resolved).lexically_normal().string();
}

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

const std::vector<std::string>& photoExtensions()
{
    static const std::vector<std::string> extensions = {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".bmp", ".webp"};
    return extensions;
}

std::vector<Photo> plan(const Options& options, std::string& error)
{
    std::vector<Photo> photos;
    for (const std::string& input : options.inputs) {
        std::error_code ignored;
        if (fs::is_directory(input, ignored)) {
            for (std::string& found : photosIn(input)) photos.push_back({std::move(found), {}});
        } else {
            photos.push_back({input, {}});
        }
    }

    std::map<std::string, std::string> inputs;  // identity -> path as given
    for (const Photo& photo : photos) inputs.emplace(identity(photo.input), photo.input);
    std::map<std::string, std::string> writers;  // output identity -> the input that writes it
    for (Photo& photo : photos) {
        const fs::path source(photo.input);
        const fs::path folder = options.output ? *options.output : source.parent_path();
        const std::string stem = source.stem().string();
        photo.outputs.push_back(folder / (stem + ".dof." + options.format));
        if (options.blurred) photo.outputs.push_back(folder / (stem + ".blur." + options.format));
        if (options.colormap) photo.outputs.push_back(folder / (stem + ".dof-" + *options.colormap + ".png"));
        if (options.overlay) photo.outputs.push_back(folder / (stem + ".dof-overlay.jpg"));
        if (options.means) photo.outputs.push_back(folder / (stem + ".means.tif"));

        for (const fs::path& output : photo.outputs) {
            const std::string key = identity(output);
            if (const auto input = inputs.find(key); input != inputs.end()) {
                error = "output " + output.string() + " would overwrite the input " + input->second;
                return {};
            }
            const auto [writer, fresh] = writers.emplace(key, photo.input);
            if (!fresh && writer->second != photo.input) {
                error = "inputs " + writer->second + " and " + photo.input + " would both write " + output.string();
                return {};
            }
            if (!fresh) {
                error = "input " + photo.input + " is given twice";
                return {};
            }
        }
    }
    return photos;
}

std::optional<PhotoStatistics> processPhoto(const Photo& photo, const Options& options, Reporter& reporter,
                                            bool& complete)
{
    complete = false;
    const cv::Mat source = readColorImage(photo.input);
    if (source.empty()) {
        reporter.cannotRead(photo.input);
        return std::nullopt;
    }
    if (options.output) {
        std::error_code ignored;
        fs::create_directories(*options.output, ignored);
    }

    const cv::Mat blurred = blurredReference(source, options.sigma);
    const DofMap map = computeDofMap(source, blurred, options.window, 1);
    complete = true;
    auto output = photo.outputs.begin();
    const auto write = [&](const cv::Mat& image) {
        const fs::path& path = *output++;
        if (writeImage(path.string(), image)) return;
        reporter.cannotWrite(path);
        complete = false;
    };
    write(map.map);
    if (options.blurred) write(blurred);
    const cv::ColormapTypes colormap =
        colormapNamed(options.colormap.value_or("inferno")).value_or(cv::COLORMAP_INFERNO);
    if (options.colormap) write(falseColor(map.map, colormap));
    if (options.overlay) write(dofmap::overlay(source, map.map, colormap));
    if (options.means) write(neighbourhoodMeans(source, blurred, options.window, CV_32F));

    PhotoStatistics statistics{source.cols, source.rows, {map.maxMean, 0.0, 0.0}};
    if (options.stats) statistics.means = meanStatistics(source, blurred, map.maxMean, options.window);
    return statistics;
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

// Reports to a stream shared by the workers, keeping one progress line at the bottom when asked.
class StreamReporter final : public Reporter {
public:
    StreamReporter(std::ostream& err, bool showProgress, std::size_t total)
        : err_(err),
          showProgress_(showProgress),
          total_(total),
          digits_(std::to_string(total).size())
    {
    }

    void cannotRead(const std::string& path) override { line("cannot read image " + path); }
    void cannotWrite(const fs::path& path) override { line("cannot write " + path.string()); }

    // Shows that the photo with 1-based number `number` is being processed.
    void starting(std::size_t number, const std::string& path)
    {
        if (!showProgress_) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        std::string count = std::to_string(number);
        count.insert(0, digits_ - std::min(digits_, count.size()), ' ');
        progress_ = "[" + count + "/" + std::to_string(total_) + "] " + fs::path(path).filename().string();
        err_ << '\r' << progress_ << "\033[K" << std::flush;
    }

    void finish()
    {
        if (!showProgress_) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        err_ << "\r\033[K" << std::flush;
    }

private:
    void line(const std::string& message)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (showProgress_) err_ << "\r\033[K";
        err_ << "dofmap-batch: " << message << '\n';
        if (showProgress_) err_ << progress_ << "\033[K";
        err_ << std::flush;
    }

    std::ostream& err_;
    const bool showProgress_;
    const std::size_t total_;
    const std::size_t digits_;
    std::mutex mutex_;
    std::string progress_;
};

}  // namespace

int run(const std::vector<Photo>& photos, const Options& options, std::ostream& out, std::ostream& err,
        bool errIsTerminal)
{
    StreamReporter reporter(err, errIsTerminal && !options.quiet && photos.size() > 1, photos.size());
    if (options.stats) out << statisticsHeader() << '\n' << std::flush;

    // Rows are printed in input order: each finished photo prints its own row and those after it
    // that finished earlier.
    std::mutex rowsMutex;
    std::vector<std::optional<std::string>> rows(photos.size());
    std::vector<bool> done(photos.size(), false);
    std::size_t nextRow = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> allGood{true};

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
                if (rows[nextRow]) out << *rows[nextRow] << '\n' << std::flush;
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
