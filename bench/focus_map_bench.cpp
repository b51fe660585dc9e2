// Speed of the focus map: the linear-time scan against the literal per-position scan, at the demo
// size and at 24 megapixels, and the whole headless run against the work every run does anyway; and
// reading a RAW file, developed or by its preview; a photo culled with its map, its figures alone or
// its figures into a sidecar; and what the --report contact sheet adds to a run.
#include "batch.hpp"
#include "camera_files.hpp"
#include "cull_figures.hpp"
#include "focus_map.hpp"
#include "image_io.hpp"
#include "literal_map.hpp"
#include "png_writer.hpp"
#include "process.hpp"
#include "verdicts.hpp"
#include "workloads.hpp"
#include "xmp_sidecar.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

using namespace dofmap;

struct Pair {
    cv::Mat source;
    cv::Mat blurred;
};

const Pair& demo()
{
    static const Pair pair = [] {
        const cv::Mat source = cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR);
        return Pair{source, blurredReference(source)};
    }();
    return pair;
}

const Pair& large()
{
    static const Pair pair = [] {
        const cv::Mat source = bench::largePhoto(DEMO_PHOTO);
        return Pair{source, blurredReference(source)};
    }();
    return pair;
}

void setPixels(benchmark::State& state, const cv::Mat& image)
{
    state.SetItemsProcessed(state.iterations() * std::int64_t(image.total()));
    state.counters["megapixels"] = double(image.total()) / 1e6;
}

void MapDemo(benchmark::State& state)
{
    const Pair& pair = demo();
    for (auto _ : state) benchmark::DoNotOptimize(computeDofMap(pair.source, pair.blurred).map.data);
    setPixels(state, pair.source);
}
BENCHMARK(MapDemo)->Unit(benchmark::kMillisecond)->UseRealTime();

void MapDemoPerPositionScan(benchmark::State& state)
{
    const Pair& pair = demo();
    for (auto _ : state) benchmark::DoNotOptimize(reference::literalMap(pair.source, pair.blurred).data);
    setPixels(state, pair.source);
}
BENCHMARK(MapDemoPerPositionScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void Map24Megapixels(benchmark::State& state)
{
    const Pair& pair = large();
    for (auto _ : state) benchmark::DoNotOptimize(computeDofMap(pair.source, pair.blurred).map.data);
    setPixels(state, pair.source);
}
BENCHMARK(Map24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

// out[i] = the differences of pixel i's three bytes in `source` and `blurred`, folded into one: the
// least work that reads both rows and writes a byte per pixel. Compiled for AVX2 as well, so that
// the memory and not the loop sets its speed.
__attribute__((target_clones("avx2", "default"))) void
foldedDifferences(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::uint8_t* out)
{
    for (int i = 0; i < count; ++i)
        out[i] = std::uint8_t((source[3 * i] ^ blurred[3 * i]) | (source[3 * i + 1] ^ blurred[3 * i + 1]) |
                              (source[3 * i + 2] ^ blurred[3 * i + 2]));
}

// The floor under any map of the 24-megapixel photo: one pass over the threads that the map runs on,
// reading the photo and its blur once and writing one byte per pixel (the three channels'
// differences, folded), into a map made once.
void BandwidthFloor24Megapixels(benchmark::State& state)
{
    const Pair& pair = large();
    cv::Mat out(pair.source.size(), CV_8UC1);
    for (auto _ : state) {
        cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y)
                foldedDifferences(pair.source.ptr<std::uint8_t>(y), pair.blurred.ptr<std::uint8_t>(y), out.cols,
                                  out.ptr<std::uint8_t>(y));
        });
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    setPixels(state, pair.source);
}
BENCHMARK(BandwidthFloor24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

// The map of the 24-megapixel photo at windows from a single pixel to ones far larger than the
// photo: the time should not grow with the window.
void Map24MegapixelsWindow(benchmark::State& state)
{
    const Pair& pair = large();
    const int window = int(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(computeDofMap(pair.source, pair.blurred, window).map.data);
    setPixels(state, pair.source);
    state.counters["window"] = window;
}
BENCHMARK(Map24MegapixelsWindow)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("window")
    ->Arg(1)
    ->Arg(30)
    ->Arg(181)
    ->Arg(182)
    ->Arg(501)
    ->Arg(2001)
    ->Arg(5001)
    ->Arg(8001)
    ->Arg(100000);

// The adversarial stripes, whose ties and means on half gray levels are summed literally, at the
// default window and a wide one: the literal sums should not make the wide window cost more than a
// few times the narrow one.
void MapStripes24MegapixelsWindow(benchmark::State& state)
{
    static const Pair pair = [] {
        const cv::Mat source = bench::twoLevelStripes();
        return Pair{source, blurredReference(source)};
    }();
    const int window = int(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(computeDofMap(pair.source, pair.blurred, window).map.data);
    setPixels(state, pair.source);
    state.counters["window"] = window;
}
BENCHMARK(MapStripes24MegapixelsWindow)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("window")
    ->Arg(30)
    ->Arg(2001);

// What the batch asks of one photo, from one analysis into buffers kept from one photo to the next:
// the one-channel map alone (from two scans of the photo, or from one through the table of float
// means, as the batch makes it), and with the float means and the statistics.
void analyzeLarge(benchmark::State& state, const FocusRequest& request)
{
    const Pair& pair = large();
    FocusAnalysis analysis;
    for (auto _ : state) {
        analyzeFocus(pair.source, pair.blurred, kWindow, request, analysis);
        benchmark::DoNotOptimize(analysis.map.data);
    }
    setPixels(state, pair.source);
}

void OneChannelMap24Megapixels(benchmark::State& state)
{
    FocusRequest request;
    request.mapChannels = 1;
    request.oneScan = state.range(0) != 0;
    analyzeLarge(state, request);
}
BENCHMARK(OneChannelMap24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime()->ArgName("oneScan")->Arg(0)->Arg(1);

void MapMeansAndStatistics24Megapixels(benchmark::State& state)
{
    FocusRequest request;
    request.mapChannels = 1;
    request.meansDepth = CV_32F;
    request.statistics = true;
    analyzeLarge(state, request);
}
BENCHMARK(MapMeansAndStatistics24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

// Whole runs read their photo and write into a temporary folder of their own.
class Outputs {
public:
    Outputs()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "dofmap-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~Outputs()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// What dofmap-batch does with one 24-megapixel JPEG: read it, blur it, make the one-channel map and
// write it as PNG, at windows from the default to far larger than the photo.
void BatchPhoto24MegapixelsWindow(benchmark::State& state)
{
    const Outputs outputs;
    const std::string photo = outputs.path() + "/large.jpg";
    if (!cv::imwrite(photo, large().source)) throw std::runtime_error("cannot write " + photo);
    const int window = int(state.range(0));
    for (auto _ : state) bench::batchPhoto(photo, outputs.path() + "/large.dof.png", window);
    setPixels(state, large().source);
    state.counters["window"] = window;
}
BENCHMARK(BatchPhoto24MegapixelsWindow)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("window")
    ->Arg(30)
    ->Arg(501)
    ->Arg(5001)
    ->Arg(100000);

// A reporter that turns any failure into an exception, so that a benchmark never times a failure.
class FailingReporter : public batch::Reporter {
public:
    void cannotRead(const std::string& path, const std::string& reason) override
    {
        throw std::runtime_error("cannot read " + path + ": " + reason);
    }
    void cannotWrite(const std::filesystem::path& path, const std::string& reason) override
    {
        throw std::runtime_error("cannot write " + path.string() + ": " + reason);
    }
};

// One 24-megapixel JPEG through the batch's own processing: 0 writes the map (the default run),
// 1 only figures it (--no-map with --json or --stats), 2 figures it and merges the figures and a
// verdict into its sidecar (--no-map --xmp --reject-below), 3 figures it with the culling figures
// too (Options::cullFigures).
void CullPhoto24Megapixels(benchmark::State& state)
{
    const Outputs outputs;
    const std::string path = outputs.path() + "/large.jpg";
    if (!cv::imwrite(path, large().source)) throw std::runtime_error("cannot write " + path);
    batch::Options options;
    options.inputs = {path};
    options.noMap = state.range(0) > 0;
    options.json = options.noMap;
    options.cullFigures = state.range(0) == 3;
    std::vector<std::string> problems;
    const std::vector<batch::Photo> photos = batch::plan(options, problems);
    if (photos.size() != 1) throw std::runtime_error(problems.empty() ? "no photo" : problems[0]);
    batch::MemoryBudget budget(std::int64_t(8) << 30);
    FailingReporter reporter;
    for (auto _ : state) {
        bool complete = false;
        const batch::PhotoOutcome outcome = batch::processPhoto(photos[0], options, budget, reporter, complete);
        if (!complete || !outcome.statistics) throw std::runtime_error("the photo was not processed");
        if (state.range(0) == 2) {
            const MeanStatistics& means = outcome.statistics->means;
            const SidecarFigures figures{outcome.statistics->width,
                                         outcome.statistics->height,
                                         means.maxMean,
                                         means.meanMean,
                                         means.p90Mean,
                                         kBlurSigma,
                                         kWindow,
                                         std::nullopt};
            const IoStatus written = updateSidecar(outputs.path() + "/large.xmp", figures,
                                                   SidecarVerdict{means.maxMean < 10.0, 10.0, false, std::nullopt});
            if (!written) throw std::runtime_error("cannot write the sidecar: " + written.message());
        }
    }
    setPixels(state, large().source);
}
BENCHMARK(CullPhoto24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime()->ArgName("figures")->DenseRange(0, 3);

// Figures only against figures and culling figures, one after the other in each iteration so that
// the machine's drift falls on both alike: the medians of each, in ms, and their ratio.
void CullFiguresInterleaved24Megapixels(benchmark::State& state)
{
    const Outputs outputs;
    const std::string path = outputs.path() + "/large.jpg";
    if (!cv::imwrite(path, large().source)) throw std::runtime_error("cannot write " + path);
    batch::Options figuresOnly;
    figuresOnly.inputs = {path};
    figuresOnly.noMap = true;
    figuresOnly.json = true;
    batch::Options withCull = figuresOnly;
    withCull.cullFigures = true;
    std::vector<std::string> problems;
    const std::vector<batch::Photo> photos = batch::plan(figuresOnly, problems);
    if (photos.size() != 1) throw std::runtime_error(problems.empty() ? "no photo" : problems[0]);
    batch::MemoryBudget budget(std::int64_t(8) << 30);
    FailingReporter reporter;
    batch::Job job(budget);
    const auto timed = [&](const batch::Options& options) {
        const auto start = std::chrono::steady_clock::now();
        bool complete = false;
        const batch::PhotoOutcome outcome = batch::processPhoto(photos[0], options, job, reporter, complete);
        if (!complete || !outcome.statistics) throw std::runtime_error("the photo was not processed");
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    std::vector<double> plainTimes, cullTimes;
    for (auto _ : state) {
        plainTimes.push_back(timed(figuresOnly));
        cullTimes.push_back(timed(withCull));
        state.SetIterationTime(cullTimes.back() / 1e3);
    }
    using batch::median;
    state.counters["figures_ms"] = median(plainTimes);
    state.counters["cull_ms"] = median(cullTimes);
    state.counters["ratio"] = median(cullTimes) / median(plainTimes);
}
BENCHMARK(CullFiguresInterleaved24Megapixels)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);

// The culling figures alone of the 24-megapixel photo, beside the statistics they come with.
void CullFigures24Megapixels(benchmark::State& state)
{
    const Pair& pair = large();
    const double maxMean = computeDofMap(pair.source, pair.blurred, kWindow, 1).maxMean;
    for (auto _ : state) benchmark::DoNotOptimize(cullFigures(pair.source, pair.blurred, maxMean).motion);
    setPixels(state, pair.source);
}
BENCHMARK(CullFigures24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stages of a photo at 24 megapixels, each on its own: decoding the JPEG, blurring it into a
// kept image, and encoding the map as PNG by the maps' encoder (0) and by OpenCV's (1).
void Decode24Megapixels(benchmark::State& state)
{
    std::vector<uchar> jpeg;
    if (!cv::imencode(".jpg", large().source, jpeg)) throw std::runtime_error("cannot encode the photo");
    PhotoFile file;
    file.content = jpeg;
    file.format = PhotoFormat::jpeg;
    cv::Mat kept;
    for (auto _ : state) {
        const IoResult<cv::Mat> decoded = decodePhoto(file, RawDevelopment::full, &kept);
        if (!decoded) throw std::runtime_error(decoded.message());
    }
    setPixels(state, large().source);
}
BENCHMARK(Decode24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

void Blur24Megapixels(benchmark::State& state)
{
    cv::Mat kept;
    for (auto _ : state) blurredReference(large().source, kept, kBlurSigma);
    setPixels(state, large().source);
}
BENCHMARK(Blur24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

void EncodePng24MegapixelMap(benchmark::State& state)
{
    const cv::Mat map = computeDofMap(large().source, large().blurred, kWindow, 1).map;
    PngEncoder encoder;
    std::vector<uchar> png;
    for (auto _ : state) {
        if (state.range(0) == 0) {
            const IoStatus encoded = encoder.encode(map, png);
            if (!encoded) throw std::runtime_error(encoded.message());
        } else if (!cv::imencode(".png", map, png)) {
            throw std::runtime_error("cannot encode the map");
        }
    }
    setPixels(state, map);
    state.counters["bytes"] = double(png.size());
}
BENCHMARK(EncodePng24MegapixelMap)->Unit(benchmark::kMillisecond)->UseRealTime()->ArgName("opencv")->Arg(0)->Arg(1);

// `count` different 24-megapixel JPEGs in `directory`, shot0.jpg...: the large photo flipped
// three ways and one row of each changed, so that no cache helps. Their paths.
std::vector<std::string> writeShots(const Outputs& directory, int count)
{
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        cv::Mat shot;
        cv::flip(large().source, shot, i % 3 - 1);
        shot.row(i).setTo(cv::Scalar(i, i, i));
        paths.push_back(directory.path() + "/shot" + std::to_string(i) + ".jpg");
        if (!cv::imwrite(paths.back(), shot)) throw std::runtime_error("cannot write " + paths.back());
    }
    return paths;
}

// A folder of twelve 24-megapixel JPEGs (different photos, so no cache helps) on two threads: 0 only
// decodes each with cv::imread, 1 is the whole dofmap-batch run with -j 2 writing the maps.
constexpr int kFolderPhotos = 12;

// The folder's photos written once, and the batch's plan of them.
struct Folder {
    Outputs directory;
    std::vector<std::string> paths;
    batch::Options options;
    std::vector<batch::Photo> photos;

    Folder() : paths(writeShots(directory, kFolderPhotos))
    {
        options.inputs = paths;
        options.output = directory.path() + "/maps";
        options.jobs = 2;
        options.quiet = true;
        std::vector<std::string> problems;
        photos = batch::plan(options, problems);
        if (photos.empty()) throw std::runtime_error(problems.empty() ? "no photo" : problems[0]);
    }

    // Decodes every photo with cv::imread on two threads.
    void decodeOnly() const
    {
        std::atomic<std::size_t> next{0};
        const auto decode = [&] {
            for (std::size_t i = next++; i < paths.size(); i = next++)
                if (cv::imread(paths[i], cv::IMREAD_COLOR).empty()) throw std::runtime_error("cannot read");
        };
        std::thread other(decode);
        decode();
        other.join();
    }

    void runBatch() const
    {
        if (batch::run(photos, options, false) != 0) throw std::runtime_error("the batch failed");
    }

    // Another build's program, named by DOFMAP_BASELINE_BATCH.
    void runBaseline() const
    {
        std::string command =
            std::string(std::getenv("DOFMAP_BASELINE_BATCH")) + " -q -j 2 -o " + directory.path() + "/baseline";
        for (const std::string& path : paths) command += " " + path;
        if (std::system(command.c_str()) != 0) throw std::runtime_error("the baseline failed: " + command);
    }
};

const Folder& folder()
{
    static const Folder kept;
    return kept;
}

void Folder24MegapixelJpegs(benchmark::State& state)
{
    const Folder& photos = folder();
    for (auto _ : state) {
        if (state.range(0) == 0)
            photos.decodeOnly();
        else if (state.range(0) == 1)
            photos.runBatch();
        else
            photos.runBaseline();
    }
    state.counters["photos"] = kFolderPhotos;
}
BENCHMARK(Folder24MegapixelJpegs)->Unit(benchmark::kMillisecond)->UseRealTime()->ArgName("batch")->Arg(0)->Arg(1);
// With DOFMAP_BASELINE_BATCH naming a dofmap-batch built from another commit, that program too.
const bool kBaselineRegistered = std::getenv("DOFMAP_BASELINE_BATCH") != nullptr &&
    benchmark::RegisterBenchmark("Folder24MegapixelJpegs/baseline", Folder24MegapixelJpegs)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Arg(2);

// The folder's decode only, the batch (and the baseline program) one after the other in every
// iteration, so that the machine's drift falls on all alike: the medians of each, in ms, and the
// ratio of the medians. The iteration's time is the batch's.
void FolderInterleaved(benchmark::State& state)
{
    const Folder& photos = folder();
    const bool baseline = std::getenv("DOFMAP_BASELINE_BATCH") != nullptr;
    std::vector<double> decodeTimes, batchTimes, baselineTimes;
    const auto timed = [](auto&& work) {
        const auto start = std::chrono::steady_clock::now();
        work();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    for (auto _ : state) {
        decodeTimes.push_back(timed([&] { photos.decodeOnly(); }));
        batchTimes.push_back(timed([&] { photos.runBatch(); }));
        if (baseline) baselineTimes.push_back(timed([&] { photos.runBaseline(); }));
        state.SetIterationTime(batchTimes.back() / 1e3);
    }
    using batch::median;
    state.counters["decode_ms"] = median(decodeTimes);
    state.counters["batch_ms"] = median(batchTimes);
    state.counters["batch_ratio"] = median(batchTimes) / median(decodeTimes);
    if (baseline) {
        state.counters["baseline_ms"] = median(baselineTimes);
        state.counters["baseline_ratio"] = median(baselineTimes) / median(decodeTimes);
    }
}
BENCHMARK(FolderInterleaved)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(9);

// The contact sheet's cost in a run of a hundred photos of 1600 x 1000 (the demo photo scaled, each
// one flipped or marked so that none is another's copy), on two threads: each iteration runs the
// batch without --report and with it, one after the other, and the medians and their ratio are
// counted. 0: the default run, maps written; 1: a culling run, --no-map with verdicts (--json).
constexpr int kReportPhotos = 100;

struct ReportShoot {
    Outputs directory;
    std::vector<std::string> paths;

    ReportShoot()
    {
        cv::Mat base;
        cv::resize(demo().source, base, cv::Size(1600, 1000), 0, 0, cv::INTER_CUBIC);
        for (int i = 0; i < kReportPhotos; ++i) {
            cv::Mat shot;
            cv::flip(base, shot, i % 3 - 1);
            shot.row(i).setTo(cv::Scalar(i, 255 - i, i));
            paths.push_back(directory.path() + "/shot" + std::to_string(1000 + i) + ".jpg");
            if (!cv::imwrite(paths.back(), shot)) throw std::runtime_error("cannot write " + paths.back());
        }
    }

    // The batch's options and plan for the photos, with or without the report.
    std::pair<batch::Options, std::vector<batch::Photo>> planned(bool culling, bool report) const
    {
        batch::Options options;
        options.inputs = paths;
        options.output = directory.path() + "/maps";
        options.jobs = 2;
        options.quiet = true;
        options.noMap = culling;
        if (culling) options.rejectBelow = batch::parseThreshold("50%");
        if (report) options.report = directory.path() + "/review.html";
        std::vector<std::string> problems;
        std::vector<batch::Photo> photos = batch::plan(options, problems);
        if (photos.empty()) throw std::runtime_error(problems.empty() ? "no photo" : problems[0]);
        return {options, photos};
    }
};

void ReportHundredPhotos(benchmark::State& state)
{
    static const ReportShoot shoot;
    const bool culling = state.range(0) == 1;
    const auto [plainOptions, plainPhotos] = shoot.planned(culling, false);
    const auto [reportOptions, reportPhotos] = shoot.planned(culling, true);
    // The culling run prints its verdicts on standard output: they go to /dev/null meanwhile.
    const int kept = ::dup(STDOUT_FILENO);
    const int quiet = ::open("/dev/null", O_WRONLY);
    const auto timed = [&](const batch::Options& options, const std::vector<batch::Photo>& photos) {
        ::dup2(quiet, STDOUT_FILENO);
        const auto start = std::chrono::steady_clock::now();
        const int status = batch::run(photos, options, false);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        ::dup2(kept, STDOUT_FILENO);
        if (status != 0) throw std::runtime_error("the batch failed");
        return ms;
    };
    std::vector<double> plainTimes, reportTimes;
    for (auto _ : state) {
        plainTimes.push_back(timed(plainOptions, plainPhotos));
        reportTimes.push_back(timed(reportOptions, reportPhotos));
        state.SetIterationTime(reportTimes.back() / 1e3);
    }
    ::close(quiet);
    ::close(kept);
    using batch::median;
    state.counters["without_ms"] = median(plainTimes);
    state.counters["with_ms"] = median(reportTimes);
    state.counters["added_ms"] = median(reportTimes) - median(plainTimes);
    state.counters["ratio"] = median(reportTimes) / median(plainTimes);
    std::error_code ignored;
    state.counters["page_kB"] =
        double(std::filesystem::file_size(shoot.directory.path() + "/review.html", ignored)) / 1e3;
}
BENCHMARK(ReportHundredPhotos)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(7)
    ->ArgName("culling")
    ->Arg(0)
    ->Arg(1);

// The two thumbnails of a 24-megapixel photo and its map: scaled, the overlay mixed, both encoded.
void Thumbnails24Megapixels(benchmark::State& state)
{
    const cv::Mat map = computeDofMap(large().source, large().blurred, kWindow, 1).map;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const batch::Thumbnails thumbnails = batch::makeThumbnails(large().source, map, cv::COLORMAP_INFERNO);
        if (thumbnails.empty()) throw std::runtime_error("no thumbnails");
        bytes = thumbnails.photo.size() + thumbnails.overlay.size();
    }
    setPixels(state, large().source);
    state.counters["bytes"] = double(bytes);
}
BENCHMARK(Thumbnails24Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime();

void DecodeBlurEncodeDemo(benchmark::State& state)
{
    const Outputs outputs;
    for (auto _ : state) bench::decodeBlurEncode(DEMO_PHOTO, outputs.path());
    setPixels(state, demo().source);
}
BENCHMARK(DecodeBlurEncodeDemo)->Unit(benchmark::kMillisecond)->UseRealTime();

void WholeRunDemo(benchmark::State& state)
{
    const Outputs outputs;
    for (auto _ : state) bench::wholeRun(DEMO_PHOTO, outputs.path());
    setPixels(state, demo().source);
}
BENCHMARK(WholeRunDemo)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 12-megapixel DNG (the demo photo scaled up, mosaicked) holding a JPEG preview of half its size,
// as cameras write them, read into memory once.
const PhotoFile& rawFile()
{
    static const PhotoFile file = [] {
        const Outputs folder;
        cv::Mat photo;
        cv::resize(demo().source, photo, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);
        testing::DngOptions options;
        options.previewHalvings = 1;
        options.jpegPreview = true;
        const std::string path = folder.path() + "/shot.dng";
        const std::string error = testing::writeBayerDng(path, photo, options);
        if (!error.empty()) throw std::runtime_error(error);
        PhotoFile loaded;
        const IoStatus read = loadPhotoFile(path, loaded);
        if (!read) throw std::runtime_error(read.message());
        return loaded;
    }();
    return file;
}

void ReadRaw12Megapixels(benchmark::State& state)
{
    const RawDevelopment development = state.range(0) == 0 ? RawDevelopment::full : RawDevelopment::previewWhenLarge;
    const PhotoFile& file = rawFile();
    cv::Mat image;
    for (auto _ : state) {
        const IoResult<cv::Mat> decoded = decodePhoto(file, development);
        image = decoded ? decoded.value() : cv::Mat();
        if (!decoded) state.SkipWithError(decoded.message().c_str());
    }
    state.counters["megapixels"] = double(image.total()) / 1e6;
}
BENCHMARK(ReadRaw12Megapixels)->Unit(benchmark::kMillisecond)->UseRealTime()->ArgName("preview")->Arg(0)->Arg(1);

// Runs `argv` to its end with its standard output into `outPath` (/dev/null when empty) and its
// standard error dropped, and returns the milliseconds it took: posix_spawn and a blocking wait,
// so that the time is the program's own and the system's start of it, and nothing of polling.
double timedRun(const std::vector<std::string>& argv, const std::string& outPath = {})
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.empty() ? "/dev/null" : outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = -1;
    const int spawned = posix_spawn(&child, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    const double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
    return elapsed;
}

// The batch against its codec floor (codec_floor: the photos decoded, blurred and their maps
// encoded as the batch does, nothing mapped or written), six 24-megapixel JPEGs at -j 2: the two
// one after the other in each round, the floor first in odd rounds; the medians of each, in ms, and
// the median of the rounds' ratios.
constexpr int kFloorPhotos = 6;
constexpr int kFloorRounds = 5;

void BatchAgainstCodecFloor(benchmark::State& state)
{
    static const Outputs directory;
    static const std::vector<std::string> floorArguments = [] {
        std::vector<std::string> arguments = {CODEC_FLOOR_PROGRAM, "2"};
        const std::vector<std::string> photos = writeShots(directory, kFloorPhotos);
        // The maps the floor encodes: the batch's own.
        std::vector<std::string> batch = {DOFMAP_BATCH_PROGRAM, "-q", "-j", "2", "-o", directory.path() + "/maps"};
        batch.insert(batch.end(), photos.begin(), photos.end());
        if (testing::runCommand(batch, directory.path()).status != 0) throw std::runtime_error("the batch failed");
        for (int i = 0; i < kFloorPhotos; ++i) {
            arguments.push_back(photos[std::size_t(i)]);
            arguments.push_back(directory.path() + "/maps/shot" + std::to_string(i) + ".dof.png");
        }
        return arguments;
    }();
    std::vector<std::string> batch = {DOFMAP_BATCH_PROGRAM, "-q", "-j", "2", "-o", directory.path() + "/out"};
    batch.insert(batch.end(), floorArguments.begin() + 2, floorArguments.end());
    batch.erase(std::remove_if(batch.begin() + 6, batch.end(),
                               [](const std::string& argument) {
                                   return argument.size() > 4 && argument.compare(argument.size() - 4, 4, ".png") == 0;
                               }),
                batch.end());
    std::vector<double> floors, batches, ratios;
    const std::string floorOutput = directory.path() + "/floor.txt";
    const auto floorTime = [&] {
        timedRun(floorArguments, floorOutput);
        return std::stod(testing::readFile(floorOutput));
    };
    const auto batchTime = [&] { return timedRun(batch); };
    for (auto _ : state) {
        double floor = 0, whole = 0;
        if (floors.size() % 2 == 0) {
            floor = floorTime();
            whole = batchTime();
        } else {
            whole = batchTime();
            floor = floorTime();
        }
        floors.push_back(floor);
        batches.push_back(whole);
        ratios.push_back(whole / floor);
        state.SetIterationTime(whole / 1e3);
    }
    state.counters["floor_ms"] = batch::median(floors);
    state.counters["batch_ms"] = batch::median(batches);
    state.counters["ratio"] = batch::median(ratios);
}
BENCHMARK(BatchAgainstCodecFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(kFloorRounds);

// The start of `dofmap-batch --version` against a program that links only OpenCV's core and imgproc
// (core_startup), run one after the other 40 times: the medians of each, in ms, and their ratio.
constexpr int kStartUpRuns = 40;

void StartUpAgainstCoreProgram(benchmark::State& state)
{
    std::vector<double> core, batchStart;
    for (auto _ : state) {
        for (int i = 0; i < kStartUpRuns; ++i) {
            core.push_back(timedRun({CORE_STARTUP_PROGRAM}));
            batchStart.push_back(timedRun({DOFMAP_BATCH_PROGRAM, "--version"}));
        }
        state.SetIterationTime(batch::median(batchStart) / 1e3);
    }
    state.counters["core_ms"] = batch::median(core);
    state.counters["batch_version_ms"] = batch::median(batchStart);
    state.counters["ratio"] = batch::median(batchStart) / batch::median(core);
}
BENCHMARK(StartUpAgainstCoreProgram)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
