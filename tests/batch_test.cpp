// The batch program, run for real on photos made in each test.
#include "analysis.hpp"
#include "batch.hpp"
#include "batch_runs.hpp"
#include "camera_files.hpp"
#include "focus_map.hpp"
#include "image_io.hpp"
#include "images.hpp"
#include "literal_map.hpp"
#include "opencv_codecs.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::batch;
using testing::entriesIn;
using testing::firstDifference;
using testing::photo;
using testing::readFile;
using testing::runCommand;
using testing::RunResult;
using testing::save;
using testing::TemporaryDirectory;

// The literal map of a photo as one gray channel.
cv::Mat literalGrayMap(const cv::Mat& source, double sigma = kBlurSigma, int window = kWindow)
{
    cv::Mat gray;
    cv::extractChannel(reference::literalMap(source, blurredReference(source, sigma), window), gray, 0);
    return gray;
}

TEST(BatchOptions, UsageErrorsExitTwoWithAHintBeforeAnyWork)
{
    const TemporaryDirectory work("dofmap-batch");
    save(work.path() / "a.png", photo(40, 30, 1));
    save(work.path() / "a.jpg", photo(40, 30, 2));
    save(work.path() / "b.dof.png", photo(40, 30, 3));
    save(work.path() / "b.png", photo(40, 30, 4));
    fs::create_symlink("b.dof.png", work.path() / "c.png");  // an input whose file an output replaces
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--bogus", "a.png"}, "--bogus"},
        {{"--window", "0", "a.png"}, "--window"},
        {{"--window", "wide", "a.png"}, "--window"},
        {{"--sigma", "0", "a.png"}, "--sigma"},
        {{"--sigma", "-1.5", "a.png"}, "--sigma"},
        {{"--sigma", "nan", "a.png"}, "from 0.1 to 100"},
        {{"--sigma", "1e300", "a.png"}, "from 0.1 to 100"},
        {{"--sigma", "100.5", "a.png"}, "from 0.1 to 100"},
        {{"-j", "0", "a.png"}, "--jobs"},
        {{"--window", "1e3", "a.png"}, "--window: must be a whole number from 1 to 100000, not 1e3"},
        {{"-j", "2.5", "a.png"}, "--jobs: must be a whole number from 1 to 1024, not 2.5"},
        {{"--format", "gif", "a.png"}, "--format"},
        {{"--colormap", "sepia", "a.png"}, "inferno, jet"},
        {{}, "no photo"},
        {{"b.png", "b.dof.png"}, "would overwrite the input"},
        {{"a.png", "a.png"}, "given twice"},
        {{"a.png", "../" + work.path().filename().string() + "/a.png"}, "given twice"},
        {{"b.png", "c.png"}, "output b.dof.png would overwrite the input c.png"},
        {{"--json", "--stats", "a.png"}, "excludes"},
        {{"--overwrite-ratings", "a.png"}, "requires --reject-below"},
        {{"--dry-run", "--xmp", "a.png"}, "requires --reject-below"},
        {{"--xmp-name", "full", "a.png"}, "requires --xmp"},
        {{"--reject-below", "-3", "a.png"}, "percentage such as 40%"},
        {{"--reject-below", "40 %", "a.png"}, "percentage such as 40%"},
        {{"--no-map", "a.png"}, "leaves nothing to do"},
    };
    for (const auto& c : cases) {
        const RunResult result = batch(c.arguments, work.path());
        const std::string what = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(result.status, 2) << what << result.err;
        EXPECT_EQ(result.err.rfind("dofmap-batch: ", 0), 0u) << what << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << what << result.err;
        EXPECT_NE(result.err.find("\nRun with --help for more information.\n"), std::string::npos) << what;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << what << result.err;
        EXPECT_EQ(entriesIn(work.path()), 5u) << what << ": something was written";
    }
    EXPECT_EQ(batch({"--help"}, work.path()).status, 0);
    const RunResult version = batch({"--version"}, work.path());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("dofmap-batch ", 0), 0u) << version.out;
}

TEST(BatchMaps, PhotosThatShareAJobsBuffersKeepTheirOwnPixels)
{
    // One job takes photos of one size (JPEG, decoded into the kept image), then another size, then
    // the first again: every output must be that photo's alone.
    const TemporaryDirectory work("dofmap-batch");
    const std::vector<std::pair<std::string, cv::Size>> shots = {
        {"1.jpg", {80, 60}}, {"2.jpg", {80, 60}}, {"3.png", {80, 60}}, {"4.jpg", {50, 70}}, {"5.jpg", {80, 60}}};
    std::vector<cv::Mat> sources;
    for (std::size_t i = 0; i < shots.size(); ++i) {
        save(work.path() / shots[i].first, photo(shots[i].second.width, shots[i].second.height, 70 + unsigned(i)));
        sources.push_back(readColorImage((work.path() / shots[i].first).string()).value());
    }
    std::vector<std::string> arguments = {"-j", "1", "--blurred", "--means"};
    for (const auto& shot : shots) arguments.push_back(shot.first);
    const RunResult result = batch(arguments, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    for (std::size_t i = 0; i < shots.size(); ++i) {
        const std::string stem = fs::path(shots[i].first).stem().string();
        const cv::Mat map = cv::imread((work.path() / (stem + ".dof.png")).string(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(firstDifference(map, literalGrayMap(sources[i])), "") << shots[i].first;
        const cv::Mat blurred = cv::imread((work.path() / (stem + ".blur.png")).string(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(firstDifference(blurred, blurredReference(sources[i])), "") << shots[i].first;
        const cv::Mat means = cv::imread((work.path() / (stem + ".means.tif")).string(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(firstDifference(means, testing::meansOf(sources[i], blurredReference(sources[i]), kWindow, CV_32F)),
                  "")
            << shots[i].first;
    }
}

// A job with many photos renders its maps from one scan through a kept table of float means, of
// two sizes in turn: the maps are still the literal ones, and the estimate counts the table.
TEST(BatchMaps, JobsWithManyPhotosMakeTheSameMapsFromOneScan)
{
    const TemporaryDirectory work("dofmap-batch");
    std::vector<std::string> arguments = {"-j", "1"};
    std::vector<cv::Mat> sources;
    for (int i = 0; i < 50; ++i) {
        const std::string name = std::to_string(i) + ".png";
        sources.push_back(photo(i % 7 == 3 ? 31 : 45, i % 7 == 3 ? 40 : 33, 300 + unsigned(i)));
        save(work.path() / name, sources.back());
        arguments.push_back(name);
    }
    const RunResult result = batch(arguments, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const cv::Mat map = cv::imread((work.path() / (std::to_string(i) + ".dof.png")).string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(firstDifference(map, literalGrayMap(sources[i])), "") << "photo " << i;
    }
    PhotoFile file;
    file.content.resize(1000);
    file.declaredSize = cv::Size(1000, 1000);
    const batch::Options defaults;
    EXPECT_EQ(batch::photoMemory(file, defaults, true) - batch::photoMemory(file, defaults, false), 4 * 1000 * 1000);
}

TEST(BatchMemory, KeptBuffersAreHeldInTheBudgetAndGivenUpRatherThanWaitedOn)
{
    batch::MemoryBudget budget(1000);
    batch::MemoryBudget::Holding first(budget), second(budget);
    EXPECT_TRUE(first.change(600));
    EXPECT_FALSE(second.change(500));  // does not fit beside the first's
    EXPECT_EQ(second.bytes(), 0);
    EXPECT_TRUE(second.change(400));
    EXPECT_TRUE(first.change(100));  // shrinking always succeeds
    EXPECT_TRUE(second.change(900));
    EXPECT_FALSE(first.change(101));
    EXPECT_TRUE(first.change(5000) == false && first.bytes() == 100);
    {
        // A reservation waits for the holdings to shrink.
        std::thread waiting([&] { const batch::MemoryBudget::Reservation reservation(budget, 800); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        second.change(0);
        first.change(0);
        waiting.join();
    }
    first.wait(2000);  // at most the whole budget
    EXPECT_EQ(first.bytes(), 1000);
}

// A photo's encoded outputs are held in the budget from their encoding, through their hand-over to
// the writing thread, until their buffers come back.
TEST(BatchMemory, EncodedOutputsAreHeldUntilWritten)
{
    struct FailingReporter final : batch::Reporter {
        void cannotRead(const std::string& path, const std::string& reason) override
        {
            ADD_FAILURE() << path << ": " << reason;
        }
        void cannotWrite(const fs::path& path, const std::string& reason) override
        {
            ADD_FAILURE() << path << ": " << reason;
        }
    } reporter;
    const TemporaryDirectory work("dofmap-batch");
    save(work.path() / "p.jpg", photo(300, 200, 61));
    batch::Options options;
    options.blurred = true;
    const batch::Photo shot{
        (work.path() / "p.jpg").string(), "", {work.path() / "p.dof.png", work.path() / "p.blur.jpg"}, {}};
    batch::MemoryBudget budget(std::int64_t(1) << 30);
    batch::Job job(budget);
    bool complete = false;
    batch::PendingOutputs outputs;
    batch::processPhoto(shot, options, job, reporter, complete, &outputs);
    ASSERT_EQ(outputs.size(), 2u);
    const std::int64_t held = job.keptBytes();
    job.writeBehind(std::move(outputs), [](batch::PendingOutputs pending) { return pending; });
    EXPECT_EQ(job.keptBytes(), held) << "handed over";
    job.awaitWriting();
    EXPECT_EQ(job.keptBytes(), held) << "given back";
}

// The header of a PNG that declares `width` x `height` pixels and holds none.
std::string pngHeaderOnly(std::uint32_t width, std::uint32_t height)
{
    const auto bigEndian = [](std::uint32_t value) {
        return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    };
    // The CRC of the chunk is not checked before the size is read.
    return std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + bigEndian(width) + bigEndian(height) +
        std::string("\x08\x02\0\0\0\0\0\0\0", 9);
}

// Run in a cgroup v1 memory group of its own below the test's group, with a limit of 1 GiB that the
// machine as a whole does not have, the batch takes that limit for its budget: a photo that fits
// the machine but not the group is refused before it is decoded, rather than killing the run.
TEST(BatchMemory, TheBudgetIsTheProcesssOwnControlGroupsLimit)
{
    std::ifstream cgroups("/proc/self/cgroup");
    std::string own;
    for (std::string line; std::getline(cgroups, line);)
        if (const std::size_t at = line.find(":memory:"); at != std::string::npos) own = line.substr(at + 8);
    const fs::path parent = fs::path("/sys/fs/cgroup/memory") / fs::path(own).relative_path();
    const fs::path group = parent / ("dofmap-test-" + std::to_string(::getpid()));
    if (own.empty() || !fs::exists(parent / "memory.limit_in_bytes") || !fs::create_directory(group))
        GTEST_SKIP() << "this machine has no cgroup v1 memory hierarchy in which a group can be made";
    std::ofstream(group / "memory.limit_in_bytes") << (1 << 30);

    const TemporaryDirectory work("dofmap-batch");
    std::ofstream(work.path() / "huge.png", std::ios::binary) << pngHeaderOnly(16000, 16000);
    const RunResult result = runCommand({"sh", "-c", "echo $$ > \"$0\" && exec \"$1\" -q huge.png",
                                         (group / "cgroup.procs").string(), DOFMAP_BATCH_BINARY},
                                        work.path());
    fs::remove(group);
    EXPECT_EQ(result.status, 1) << result.err;
    const std::string expected =
        "dofmap-batch: cannot read image huge.png: too large (16000 x 16000 pixels need about ";
    ASSERT_EQ(result.err.compare(0, expected.size(), expected), 0) << result.err;
    const std::size_t allowed = result.err.find("the memory allowed is ");
    ASSERT_NE(allowed, std::string::npos) << result.err;
    EXPECT_NE(result.err.find(" MiB)", allowed), std::string::npos) << "more than 1 GiB allowed: " << result.err;
}

TEST(BatchMaps, GrayPngEqualsTheLiteralMapWithDefaultAndOtherSettings)
{
    const TemporaryDirectory work("dofmap-batch");
    const cv::Mat source = photo(67, 45, 5);
    save(work.path() / "shot.png", source);

    ASSERT_EQ(batch({"shot.png"}, work.path()).status, 0);
    const cv::Mat written = cv::imread((work.path() / "shot.dof.png").string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(firstDifference(written, literalGrayMap(source)), "");

    const RunResult other = batch({"--window", "7", "--sigma", "2.5", "-o", "other", "shot.png"}, work.path());
    ASSERT_EQ(other.status, 0) << other.err;
    const cv::Mat otherMap = cv::imread((work.path() / "other/shot.dof.png").string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(firstDifference(otherMap, literalGrayMap(source, 2.5, 7)), "");

    const RunResult even = batch({"--window", "4", "--format", "tif", "-o", "even", "shot.png"}, work.path());
    ASSERT_EQ(even.status, 0) << even.err;
    const cv::Mat evenMap = cv::imread((work.path() / "even/shot.dof.tif").string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(firstDifference(evenMap, literalGrayMap(source, kBlurSigma, 4)), "");
}

TEST(BatchMaps, ExtraOutputsHoldWhatTheyPromise)
{
    const TemporaryDirectory work("dofmap-batch");
    const cv::Mat source = photo(52, 38, 6);
    save(work.path() / "p.png", source);
    const RunResult result =
        batch({"--blurred", "--colormap", "jet", "--overlay", "--means", "-o", "out", "p.png"}, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path out = work.path() / "out";
    EXPECT_EQ(entriesIn(out), 5u);

    const cv::Mat blurred = blurredReference(source);
    EXPECT_EQ(firstDifference(cv::imread((out / "p.blur.png").string(), cv::IMREAD_UNCHANGED), blurred), "");
    const cv::Mat map = cv::imread((out / "p.dof.png").string(), cv::IMREAD_UNCHANGED);
    cv::Mat colored;
    cv::applyColorMap(map, colored, cv::COLORMAP_JET);
    EXPECT_EQ(firstDifference(cv::imread((out / "p.dof-jet.png").string(), cv::IMREAD_UNCHANGED), colored), "");
    EXPECT_EQ(cv::imread((out / "p.dof-overlay.jpg").string()).size(), source.size());

    const cv::Mat means = cv::imread((out / "p.means.tif").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(means.type(), CV_32FC1);
    for (int y = 0; y < means.rows; ++y)
        for (int x = 0; x < means.cols; ++x) {
            const double literal = reference::literalMean(source, blurred, x, y, kWindow);
            ASSERT_NEAR(means.at<float>(y, x), literal, literal * 1e-6) << "pixel (" << x << ", " << y << ")";
        }
}

// Builds a JPEG whose EXIF orientation says "rotate 90 degrees clockwise to display".
std::vector<uchar> jpegRotatedByExif(const cv::Mat& image)
{
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", image, jpeg);
    const std::vector<uchar> exif = {0xFF, 0xE1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0,    0,  // APP1, length 34
                                     'M',  'M',  0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,  // big-endian TIFF header
                                     0x00, 0x01,  // one entry
                                     0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06,
                                     0x00, 0x00,  // Orientation = 6
                                     0x00, 0x00, 0x00, 0x00};  // no next directory
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());  // right after the SOI marker
    return jpeg;
}

TEST(BatchInputs, GrayscaleSixteenBitAlphaAndExifRotatedPhotosAreReadAsColor)
{
    const TemporaryDirectory work("dofmap-batch");
    const cv::Mat color = photo(48, 36, 7);
    cv::Mat gray, deep, alpha;
    cv::cvtColor(color, gray, cv::COLOR_BGR2GRAY);
    color.convertTo(deep, CV_16UC3, 257.0);
    cv::cvtColor(color, alpha, cv::COLOR_BGR2BGRA);
    save(work.path() / "gray.png", gray);
    save(work.path() / "deep.png", deep);
    save(work.path() / "alpha.png", alpha);
    const std::vector<uchar> rotated = jpegRotatedByExif(color);
    std::ofstream(work.path() / "rotated.jpg", std::ios::binary)
        .write(reinterpret_cast<const char*>(rotated.data()), std::streamsize(rotated.size()));

    const RunResult result = batch({"gray.png", "deep.png", "alpha.png", "rotated.jpg"}, work.path());
    ASSERT_EQ(result.status, 0) << result.err;

    cv::Mat grayAsColor, upright;
    cv::cvtColor(gray, grayAsColor, cv::COLOR_GRAY2BGR);
    cv::rotate(cv::imdecode(rotated, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION), upright,
               cv::ROTATE_90_CLOCKWISE);
    const struct {
        const char* map;
        cv::Mat expectedSource;
    } cases[] = {
        {"gray.dof.png", grayAsColor}, {"deep.dof.png", color}, {"alpha.dof.png", color}, {"rotated.dof.png", upright}};
    for (const auto& c : cases) {
        const cv::Mat written = cv::imread((work.path() / c.map).string(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(firstDifference(written, literalGrayMap(c.expectedSource)), "") << c.map;
    }
    EXPECT_EQ(cv::imread((work.path() / "rotated.dof.png").string()).size(), cv::Size(36, 48));
}

TEST(BatchFailures, CorruptPhotoIsReportedAndTheOthersAreDone)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::create_directory(work.path() / "shoot");
    save(work.path() / "shoot/a.png", photo(40, 30, 8));
    std::ofstream(work.path() / "shoot/b.jpg") << "not a photo";
    save(work.path() / "shoot/c.png", photo(40, 30, 9));
    const RunResult result = batch({"shoot", "missing.jpg"}, work.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "dofmap-batch: cannot read image shoot/b.jpg: not an image\n"
              "dofmap-batch: cannot read image missing.jpg: no such file\n");
    EXPECT_TRUE(fs::exists(work.path() / "shoot/a.dof.png"));
    EXPECT_TRUE(fs::exists(work.path() / "shoot/c.dof.png"));
    EXPECT_FALSE(fs::exists(work.path() / "shoot/b.dof.png"));
}

// Runs the batch as an unprivileged user when the tests run as root, so that permissions hold. The
// program is copied into `directory` first, where that user can run it whatever the build folder's
// permissions.
RunResult batchWithoutPrivileges(const std::vector<std::string>& arguments, const fs::path& directory)
{
    const fs::path program = directory / "dofmap-batch";
    fs::copy_file(DOFMAP_BATCH_BINARY, program, fs::copy_options::overwrite_existing);
    // With the module of OpenCV's codecs, which the program loads from beside itself for the PNGs.
    fs::copy_file(fs::path(DOFMAP_BATCH_BINARY).parent_path() / kOpenCvCodecsModule, directory / kOpenCvCodecsModule,
                  fs::copy_options::overwrite_existing);
    fs::permissions(program,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec);
    std::vector<std::string> argv;
    if (::geteuid() == 0) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.push_back(program.string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, directory, {}, 120s);
}

TEST(BatchFailures, ReadOnlyOutputFolderLosesNothing)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::permissions(work.path(), fs::perms::all);
    save(work.path() / "a.png", photo(40, 30, 10));
    const fs::path out = work.path() / "out";
    fs::create_directory(out);
    fs::permissions(out, fs::perms::all);
    const RunResult first = batchWithoutPrivileges({"-o", "out", "a.png"}, work.path());
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string before = readFile(out / "a.dof.png");
    ASSERT_FALSE(before.empty());

    fs::permissions(out,
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec);
    const RunResult result = batchWithoutPrivileges({"-o", "out", "--sigma", "3", "a.png"}, work.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "dofmap-batch: cannot write out/a.dof.png: permission denied\n");
    EXPECT_EQ(readFile(out / "a.dof.png"), before);
    EXPECT_EQ(entriesIn(out), 1u);

    // An output folder to be made in it fails with the reason it cannot be made.
    const RunResult below = batchWithoutPrivileges({"-o", "out/maps", "--blurred", "a.png"}, work.path());
    EXPECT_EQ(below.status, 1);
    EXPECT_EQ(below.err,
              "dofmap-batch: cannot write out/maps/a.dof.png: permission denied\n"
              "dofmap-batch: cannot write out/maps/a.blur.png: permission denied\n");
}

// A folder that cannot be read, below a folder given or given itself, is reported with the
// system's reason and fails the run; the walk goes on, and the photos of the other folders are done.
TEST(BatchFailures, UnreadableFoldersAreReportedAndTheOthersDone)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::permissions(work.path(), fs::perms::all);
    for (const char* folder : {"shoot/a-locked", "shoot/b", "closed"}) fs::create_directories(work.path() / folder);
    save(work.path() / "shoot/a-locked/1.png", photo(40, 30, 60));
    save(work.path() / "shoot/b/2.png", photo(40, 30, 61));
    save(work.path() / "shoot/3.png", photo(40, 30, 62));
    save(work.path() / "closed/4.png", photo(40, 30, 63));
    for (const char* folder : {"shoot/a-locked", "closed"}) fs::permissions(work.path() / folder, fs::perms::none);

    const RunResult result = batchWithoutPrivileges({"-r", "--stats", "-o", "maps", "shoot", "closed"}, work.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "dofmap-batch: cannot read folder shoot/a-locked: permission denied\n"
              "dofmap-batch: cannot read folder closed: permission denied\n");
    EXPECT_NE(result.out.find("\nshoot/3.png,40,30,"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\nshoot/b/2.png,40,30,"), std::string::npos) << result.out;
    EXPECT_TRUE(fs::exists(work.path() / "maps/3.dof.png"));
    EXPECT_TRUE(fs::exists(work.path() / "maps/b/2.dof.png"));

    // With no photo found elsewhere, it is still a failure to read, not a usage error.
    const RunResult alone = batchWithoutPrivileges({"-o", "maps", "closed"}, work.path());
    EXPECT_EQ(alone.status, 1);
    EXPECT_EQ(alone.err, "dofmap-batch: cannot read folder closed: permission denied\n");
    for (const char* folder : {"shoot/a-locked", "closed"}) fs::permissions(work.path() / folder, fs::perms::all);
}

TEST(BatchFailures, ExistingOutputIsReplacedOnlyByACompleteOne)
{
    const TemporaryDirectory work("dofmap-batch");
    save(work.path() / "a.png", photo(40, 30, 11));
    std::ofstream(work.path() / "a.dof.png") << "an older map";
    ASSERT_EQ(batch({"a.png"}, work.path()).status, 0);
    EXPECT_EQ(cv::imread((work.path() / "a.dof.png").string(), cv::IMREAD_UNCHANGED).size(), cv::Size(40, 30));
    EXPECT_EQ(entriesIn(work.path()), 2u);  // no temporary file left beside it
}

// The nearest-rank 90th percentile and the average of the literal means, printed as the batch does.
std::string literalStatisticsRow(const std::string& path, const cv::Mat& source)
{
    const reference::LiteralMeans literal = reference::literalMeans(source, blurredReference(source));
    std::vector<double> all;
    for (const auto& column : literal.byColumn) all.insert(all.end(), column.begin(), column.end());
    double total = 0.0;
    for (const double mean : all) total += mean;
    std::sort(all.begin(), all.end());
    const double p90 = all[(9 * all.size() + 9) / 10 - 1];
    char row[256];
    std::snprintf(row, sizeof row, "%s,%d,%d,%.6f,%.6f,%.6f,", path.c_str(), source.cols, source.rows, literal.maxMean,
                  total / double(all.size()), p90);
    return row;
}

TEST(BatchStatistics, RowsComeInInputOrderAndMatchTheLiteralMeans)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::create_directory(work.path() / "set");
    // The first photo is the largest, so that with two jobs it finishes last.
    const std::vector<std::pair<std::string, cv::Mat>> photos = {
        {"set/1.png", photo(150, 110, 12)}, {"set/2.png", photo(35, 20, 13)}, {"set/3.png", photo(41, 33, 14)}};
    std::string expected = "path,width,height,max_mean,mean_mean,p90_mean,companion\n";
    for (const auto& [name, image] : photos) {
        save(work.path() / name, image);
        expected += literalStatisticsRow(name, image) + "\n";
    }
    const RunResult result = batch({"--stats", "-j", "2", "set"}, work.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");  // no progress line when stderr is not a terminal
}

TEST(BatchPlan, FoldersGiveTheirPhotosSortedWithoutSubfoldersOrEarlierOutputs)
{
    const TemporaryDirectory work("dofmap-batch");
    const fs::path folder = work.path() / "shoot";
    fs::create_directories(folder / "deeper");
    for (const char* name :
         {"b.JPG", "a.png", "c.webp", "notes.txt", "a.dof.png", "a.dof-jet.png", "a.means.tif", "deeper/d.jpg"})
        std::ofstream(folder / name) << "x";
    batch::Options options;
    options.inputs = {folder.string()};
    std::vector<std::string> problems;
    const std::vector<batch::Photo> photos = batch::plan(options, problems);
    EXPECT_EQ(problems, std::vector<std::string>());
    std::vector<std::string> names;
    for (const batch::Photo& photo : photos) names.push_back(fs::path(photo.input).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"a.png", "b.JPG", "c.webp"}));
    ASSERT_FALSE(photos.empty());
    EXPECT_EQ(photos[0].outputs, std::vector<fs::path>{folder / "a.dof.png"});
}

// Whole shoots: every folder below, sorted, hidden folders and links to folders skipped (a link back
// up makes a loop), outputs mirroring the folders under --output, and two photos that would write
// one output refused.
TEST(BatchPlan, RecursiveFoldersMirrorTheirTreeUnderTheOutput)
{
    const TemporaryDirectory work("dofmap-batch");
    const fs::path shoot = work.path() / "shoot";
    for (const char* folder : {"day1/card-a", "day1/card-b", "day2", ".thumbnails", "day2/.cache"})
        fs::create_directories(shoot / folder);
    for (const char* name : {"top.jpg", "day1/card-a/1.jpg", "day1/card-a/2.JPG", "day1/card-b/1.jpg", "day2/9.png",
                             ".thumbnails/t.jpg", "day2/.cache/c.jpg", "day1/card-b/1.dof.png"})
        std::ofstream(shoot / name) << "x";
    fs::create_directory_symlink("..", shoot / "day2" / "up");  // a loop
    batch::Options options;
    options.inputs = {shoot.string()};
    options.recursive = true;
    options.output = work.path() / "maps";
    std::vector<std::string> problems;
    const std::vector<batch::Photo> photos = batch::plan(options, problems);
    EXPECT_EQ(problems, std::vector<std::string>());
    std::vector<std::string> found, outputs;
    for (const batch::Photo& photo : photos) {
        found.push_back(fs::path(photo.input).lexically_relative(shoot).string());
        outputs.push_back(photo.outputs.at(0).lexically_relative(work.path()).string());
    }
    EXPECT_EQ(found,
              (std::vector<std::string>{"day1/card-a/1.jpg", "day1/card-a/2.JPG", "day1/card-b/1.jpg", "day2/9.png",
                                        "top.jpg"}));
    EXPECT_EQ(outputs,
              (std::vector<std::string>{"maps/day1/card-a/1.dof.png", "maps/day1/card-a/2.dof.png",
                                        "maps/day1/card-b/1.dof.png", "maps/day2/9.dof.png", "maps/top.dof.png"}));

    // Without --recursive only the photos directly inside; beside them without --output.
    options.recursive = false;
    options.output.reset();
    const std::vector<batch::Photo> flat = batch::plan(options, problems);
    ASSERT_EQ(flat.size(), 1u);
    EXPECT_EQ(flat[0].outputs.at(0), shoot / "top.dof.png");

    // Two trees with the same relative paths would write the same outputs.
    fs::create_directories(work.path() / "other/day2");
    std::ofstream(work.path() / "other/day2/9.png") << "x";
    options.inputs = {shoot.string(), (work.path() / "other").string()};
    options.recursive = true;
    options.output = work.path() / "maps";
    EXPECT_TRUE(batch::plan(options, problems).empty());
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems[0].find("would both write"), std::string::npos) << problems[0];
}

// A link to a photo under another name is a photo of its own, with outputs of its own; the same
// name reached through a link to its folder is the same photo given twice.
TEST(BatchPlan, LinksToPhotosUnderOtherNamesAreTheirOwnPhotos)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::create_directory(work.path() / "shoot");
    save(work.path() / "shoot/a.png", photo(40, 30, 52));
    fs::create_symlink("a.png", work.path() / "shoot/b.png");
    fs::create_directory_symlink("shoot", work.path() / "alias");
    const RunResult result = batch({"shoot"}, work.path());
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string map = readFile(work.path() / "shoot/a.dof.png");
    EXPECT_FALSE(map.empty());
    EXPECT_EQ(readFile(work.path() / "shoot/b.dof.png"), map);

    const RunResult twice = batch({"shoot", "alias/b.png"}, work.path());
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("input alias/b.png is given twice"), std::string::npos) << twice.err;
}

// The outputs of a recursive run land in the mirrored folders, which are created.
TEST(BatchMaps, RecursiveRunWritesIntoTheMirroredFolders)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::create_directories(work.path() / "shoot/a/b");
    save(work.path() / "shoot/a/b/p.png", photo(40, 30, 50));
    save(work.path() / "shoot/q.png", photo(40, 30, 51));
    const RunResult result = batch({"-r", "-o", "maps", "shoot"}, work.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::exists(work.path() / "maps/a/b/p.dof.png"));
    EXPECT_TRUE(fs::exists(work.path() / "maps/q.dof.png"));
}

// A folder of camera files (names in any case) gives the maps of the images the reference tools
// make of them; with --raw-preview a RAW file's large preview is mapped instead; a RAW file too large
// for the memory allowed is refused before it is developed.
TEST(BatchCameraFiles, MapsAreThoseOfTheReferenceToolsImages)
{
    const TemporaryDirectory work("dofmap-batch");
    const fs::path shoot = work.path() / "shoot", references = work.path() / "references";
    fs::create_directories(shoot);
    fs::create_directories(references);
    const cv::Mat source = photo(140, 96, 60);
    save(work.path() / "photo.png", source);
    testing::DngOptions options;
    options.orientation = 8;
    options.previewHalvings = 1;
    ASSERT_EQ(testing::writeBayerDng(shoot / "A.DNG", source, options), "");
    ASSERT_EQ(testing::runTool({"heif-enc", "photo.png", "-o", "shoot/b.HEIC"}, work.path()), "");
    ASSERT_EQ(testing::runTool({"heif-enc", "-A", "photo.png", "-o", "shoot/c.avif"}, work.path()), "");
    std::string error;
    save(references / "A.png", testing::dcrawEmuImage(shoot / "A.DNG", error));
    ASSERT_EQ(error, "");
    save(references / "b.png", testing::heifConvertImage(shoot / "b.HEIC", error));
    save(references / "c.png", testing::heifConvertImage(shoot / "c.avif", error));
    ASSERT_EQ(error, "");
    fs::remove(shoot / "A.DNG.ppm");
    fs::remove(shoot / "b.HEIC.png");
    fs::remove(shoot / "c.avif.png");

    RunResult result = batch({"-q", "-o", "maps", "shoot"}, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    result = batch({"-q", "-o", "expected", "references"}, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* stem : {"A", "b", "c"}) {
        const std::string map = std::string(stem) + ".dof.png";
        EXPECT_EQ(firstDifference(cv::imread((work.path() / "maps" / map).string(), cv::IMREAD_UNCHANGED),
                                  cv::imread((work.path() / "expected" / map).string(), cv::IMREAD_UNCHANGED)),
                  "")
            << map;
    }

    // The preview, half the sensor's size, turned as the file says.
    cv::Mat half;
    cv::pyrDown(source, half);
    result = batch({"-q", "--raw-preview", "-o", "previews", "shoot/A.DNG"}, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(firstDifference(cv::imread((work.path() / "previews/A.dof.png").string(), cv::IMREAD_UNCHANGED),
                              literalGrayMap(testing::oriented(half, 8))),
              "");

    result = batch({"-q", "--memory", "20M", "-o", "small", "shoot/A.DNG"}, work.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.err.rfind("dofmap-batch: cannot read image shoot/A.DNG: too large (96 x 140 pixels need about ", 0), 0u)
        << result.err;
    EXPECT_FALSE(fs::exists(work.path() / "small/A.dof.png"));
}

// OpenCV's codecs (over a hundred shared libraries) are loaded only by a run with a file that needs
// them: not to start, nor for JPEGs mapped to PNG, JPEG or the report's thumbnails; and where their
// module cannot be found, the files that need it are refused with the loader's reason, the others
// done.
TEST(BatchStartUp, OpenCvCodecsAreLoadedOnlyForFilesThatNeedThem)
{
    const TemporaryDirectory work("dofmap-batch");
    save(work.path() / "a.jpg", photo(64, 48, 90));
    save(work.path() / "b.png", photo(64, 48, 91));
    // The loader's log of the files it loads, in LOG.PID.
    const fs::path log = work.path() / "loader";
    const auto loadsCodecs = [&](const std::vector<std::string>& arguments, const fs::path& program) {
        std::vector<std::string> argv{program.string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const RunResult run =
            runCommand(argv, work.path(), {{"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", log.string()}}, 120s);
        EXPECT_EQ(run.status, 0) << run.err;
        std::string loaded;
        for (const fs::directory_entry& entry : fs::directory_iterator(work.path()))
            if (entry.path().filename().string().rfind("loader.", 0) == 0) {
                loaded += readFile(entry.path());
                fs::remove(entry.path());
            }
        EXPECT_NE(loaded.find("libopencv_core"), std::string::npos) << "no log of the loader";
        return loaded.find("libopencv_imgcodecs") != std::string::npos;
    };
    EXPECT_FALSE(loadsCodecs({"--version"}, DOFMAP_BATCH_BINARY));
    EXPECT_FALSE(loadsCodecs({"-q", "-o", "maps", "a.jpg"}, DOFMAP_BATCH_BINARY));
    EXPECT_FALSE(loadsCodecs({"-q", "--format", "jpg", "--overlay", "--report", "r.html", "-o", "maps", "a.jpg"},
                             DOFMAP_BATCH_BINARY));
    EXPECT_TRUE(loadsCodecs({"-q", "-o", "maps", "b.png"}, DOFMAP_BATCH_BINARY));

    // A copy of the program alone.
    if (fs::exists(fs::path(DOFMAP_MODULE_DIR) / kOpenCvCodecsModule))
        GTEST_SKIP() << "the module is installed in " << DOFMAP_MODULE_DIR << ", where every program finds it";
    const fs::path alone = work.path() / "alone";
    fs::create_directory(alone);
    fs::copy_file(DOFMAP_BATCH_BINARY, alone / "dofmap-batch");
    const RunResult run = runCommand({(alone / "dofmap-batch").string(), "-q", "-o", "out", "a.jpg", "b.png"},
                                     work.path(), {{"LD_LIBRARY_PATH", std::nullopt}}, 120s);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("dofmap-batch: cannot read image b.png: OpenCV's image codecs cannot be loaded (", 0), 0u)
        << run.err;
    EXPECT_NE(run.err.find(kOpenCvCodecsModule), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(work.path() / "out/a.dof.png"));

    // A damaged module beside it: the message says what is wrong with that one.
    std::ofstream(alone / kOpenCvCodecsModule) << "not a library";
    const RunResult damaged = runCommand({(alone / "dofmap-batch").string(), "-q", "-o", "out", "b.png"}, work.path(),
                                         {{"LD_LIBRARY_PATH", std::nullopt}}, 120s);
    EXPECT_NE(damaged.err.find((alone / kOpenCvCodecsModule).string() + ": "), std::string::npos) << damaged.err;
    EXPECT_EQ(damaged.err.find("No such file"), std::string::npos) << damaged.err;
}

}  // namespace
}  // namespace dofmap
