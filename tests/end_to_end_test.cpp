// Runs the real interactive program in temporary working directories, with and without a screen.
#include "camera_files.hpp"
#include "focus_map.hpp"
#include "images.hpp"
#include "literal_map.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::EnvironmentChanges;
using testing::firstDifference;
using testing::Process;
using testing::readFile;
using testing::runCommand;
using testing::TemporaryDirectory;
using testing::VirtualDisplay;

const std::string kPhotoName = "img/what-is-depth-of-field-1000x605.jpg";

// A working directory laid out as the program expects: the photograph under img/ and a save/.
class WorkingDirectory {
public:
    explicit WorkingDirectory(bool withSave = true, const fs::path& photo = DEMO_PHOTO) : directory_("dofmap-run")
    {
        fs::create_directory(path() / "img");
        if (!photo.empty()) fs::copy_file(photo, path() / kPhotoName);
        if (withSave) fs::create_directory(path() / "save");
    }
    const fs::path& path() const { return directory_.path(); }

private:
    TemporaryDirectory directory_;
};

// The environment of a machine with no screen at all.
EnvironmentChanges withoutScreen()
{
    return {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}};
}

// The environment of a desktop session on `display`, with the private runtime folder that a
// session provides (without it the window toolkit warns on stderr).
EnvironmentChanges onScreen(const std::string& display)
{
    static const TemporaryDirectory runtime("dofmap-runtime");
    return {{"DISPLAY", display},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"QT_QPA_PLATFORM", std::nullopt},
            {"XDG_RUNTIME_DIR", runtime.path().string()}};
}

// Asserts that `path` holds the JPEG encoding, with the library's defaults, of `image`.
void expectJpegOf(const fs::path& path, const cv::Mat& image)
{
    std::vector<uchar> encoded;
    ASSERT_TRUE(cv::imencode(".jpg", image, encoded));
    const cv::Mat written = cv::imread(path.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(written.empty()) << path << " does not decode";
    EXPECT_EQ(firstDifference(written, cv::imdecode(encoded, cv::IMREAD_COLOR)), "") << path;
}

void expectBothResults(const fs::path& directory)
{
    const cv::Mat photo = cv::imread((directory / kPhotoName).string(), cv::IMREAD_COLOR);
    const cv::Mat blurred = blurredReference(photo);
    expectJpegOf(directory / "save/Blur.jpg", blurred);
    expectJpegOf(directory / "save/DoF.jpg", reference::literalMap(photo, blurred));
}

std::size_t entriesIn(const fs::path& directory)
{
    return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

// Waits until a window titled `title` exists on `display`; true when it appeared in time.
bool windowAppears(const std::string& display, const std::string& title)
{
    const auto found = runCommand({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}, ".",
                                  onScreen(display), 60s);
    return found.status == 0 && !found.out.empty();
}

// Focuses the window titled `title` and presses a key through XTEST, as a user would after
// clicking into it. The press is not addressed to the window, since it closes on the key.
void pressKeyIn(const std::string& display, const std::string& title)
{
    runCommand({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$", "windowfocus", "--sync"}, ".",
               onScreen(display), 10s);
    runCommand({"xdotool", "key", "space"}, ".", onScreen(display), 10s);
}

// Runs the program on `display` until its three windows are up, then presses a key.
testing::RunResult runOnScreen(const fs::path& directory, const std::string& display,
                               const std::vector<std::string>& arguments = {})
{
    const TemporaryDirectory capture("dofmap-capture");
    std::vector<std::string> argv{DOFMAP_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Process program(argv, directory, onScreen(display), capture.path() / "out", capture.path() / "err");
    for (const char* title : {"Original", "Blur", "DoF"})
        EXPECT_TRUE(windowAppears(display, title)) << "no window " << title;
    // The key wait never times out on its own: the program is still running.
    EXPECT_EQ(program.wait(500ms), std::nullopt) << "the program ended before a key was pressed";
    // A window that has just been mapped may not take the focus yet: press again until the run ends.
    testing::RunResult result;
    for (int attempt = 0; attempt < 20 && !result.status; ++attempt) {
        pressKeyIn(display, "DoF");
        result.status = program.wait(3s);
    }
    result.out = readFile(capture.path() / "out");
    result.err = readFile(capture.path() / "err");
    return result;
}

class OnVirtualScreen : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(screen_.name().empty()) << "Xvfb could not be started"; }
    VirtualDisplay screen_;
};

TEST_F(OnVirtualScreen, ShowsThreeWindowsWritesBothFilesAndEndsOnAKey)
{
    const WorkingDirectory work;
    const auto result = runOnScreen(work.path(), screen_.name());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    expectBothResults(work.path());
    EXPECT_EQ(entriesIn(work.path() / "save"), 2u);
}

TEST_F(OnVirtualScreen, ArgumentsChangeNothing)
{
    const WorkingDirectory plain;
    const WorkingDirectory withArguments;
    ASSERT_EQ(runOnScreen(plain.path(), screen_.name()).status, 0);
    const auto result = runOnScreen(withArguments.path(), screen_.name(), {"--help", "other.jpg", "-o", "x"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    for (const char* file : {"save/Blur.jpg", "save/DoF.jpg"})
        EXPECT_EQ(readFile(withArguments.path() / file), readFile(plain.path() / file)) << file;
}

TEST_F(OnVirtualScreen, MissingSaveFolderIsReportedAndTheRunStillWaitsForTheKey)
{
    const WorkingDirectory work(false);
    const auto result = runOnScreen(work.path(), screen_.name());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "dofmap: cannot write save/Blur.jpg: no such file or directory\n"
              "dofmap: cannot write save/DoF.jpg: no such file or directory\n");
    EXPECT_EQ(entriesIn(work.path()), 1u);  // only img/
}

TEST(WithoutScreen, NoDisplayStillWritesBothFilesAndFails)
{
    const WorkingDirectory work;
    const auto result = runCommand({DOFMAP_BINARY}, work.path(), withoutScreen(), 120s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "dofmap: cannot open a window: no display\n");
    expectBothResults(work.path());
}

TEST(WithoutScreen, UnreachableDisplayStillWritesBothFilesAndFails)
{
    const WorkingDirectory work;
    EnvironmentChanges environment = withoutScreen();
    environment["DISPLAY"] = ":973";  // no server listens there
    const auto result = runCommand({DOFMAP_BINARY}, work.path(), environment, 120s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "dofmap: cannot open a window: no display\n");
    expectBothResults(work.path());
}

TEST(WithoutScreen, UnreadablePhotographStopsBeforeAnything)
{
    const WorkingDirectory missing(true, fs::path());
    const WorkingDirectory corrupt(true, fs::path());
    std::ofstream(corrupt.path() / kPhotoName) << "this is not a JPEG";
    // The demo photograph cut short, as an interrupted copy leaves it.
    const WorkingDirectory truncated(true, fs::path());
    const std::string photo = readFile(DEMO_PHOTO);
    std::ofstream(truncated.path() / kPhotoName, std::ios::binary) << photo.substr(0, photo.size() / 2);
    const std::pair<fs::path, std::string> cases[] = {{missing.path(), "no such file"},
                                                      {corrupt.path(), "not an image"},
                                                      {truncated.path(), "truncated or corrupt data"}};
    for (const auto& [directory, reason] : cases) {
        const auto result = runCommand({DOFMAP_BINARY}, directory, withoutScreen(), 60s);
        EXPECT_EQ(result.status, 1) << directory;
        EXPECT_EQ(result.err, "dofmap: cannot read image img/what-is-depth-of-field-1000x605.jpg: " + reason + "\n");
        EXPECT_EQ(entriesIn(directory / "save"), 0u);
    }
}

// A RAW, HEIC or PNG file at the photograph's fixed path (named .jpg) is read by its content: the
// results are those of the image that the reference tool (dcraw_emu -w, heif-convert) makes of it.
TEST(WithoutScreen, CameraFilesAtThePhotoPathGiveTheResultsOfTheReferenceImages)
{
    const TemporaryDirectory sources("dofmap-sources");
    cv::Mat photo(90, 128, CV_8UC3);
    cv::randu(photo, 0, 256);
    cv::GaussianBlur(photo, photo, cv::Size(0, 0), 2.0);
    const fs::path png = sources.path() / "photo.png";
    ASSERT_TRUE(cv::imwrite(png.string(), photo));
    testing::DngOptions turned;
    turned.orientation = 6;
    ASSERT_EQ(testing::writeBayerDng(sources.path() / "shot.dng", photo, turned), "");
    ASSERT_EQ(testing::runTool({"heif-enc", "photo.png", "-o", "photo.heic"}, sources.path()), "");
    std::string error;
    const cv::Mat developed = testing::dcrawEmuImage(sources.path() / "shot.dng", error);
    ASSERT_FALSE(developed.empty()) << error;
    const cv::Mat converted = testing::heifConvertImage(sources.path() / "photo.heic", error);
    ASSERT_FALSE(converted.empty()) << error;

    const std::pair<std::string, cv::Mat> cases[] = {
        {"shot.dng", developed}, {"photo.heic", converted}, {"photo.png", photo}};
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        const WorkingDirectory work(true, sources.path() / name);
        const auto result = runCommand({DOFMAP_BINARY}, work.path(), withoutScreen(), 60s);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "dofmap: cannot open a window: no display\n");
        const cv::Mat blurred = blurredReference(expected);
        expectJpegOf(work.path() / "save/Blur.jpg", blurred);
        expectJpegOf(work.path() / "save/DoF.jpg", reference::literalMap(expected, blurred));
    }
}

// A photograph whose header declares more pixels than the memory allows is refused before it is
// decoded: here a PNG (read by its content, whatever its name) declaring 30000 x 30000 pixels, under
// an address-space limit.
TEST(WithoutScreen, PhotographTooLargeForTheMemoryIsRefused)
{
    const WorkingDirectory work(true, fs::path());
    std::vector<uchar> png;
    cv::imencode(".png", cv::Mat(30, 40, CV_8UC3, cv::Scalar(1, 2, 3)), png);
    const uchar size[8] = {0x00, 0x00, 0x75, 0x30, 0x00, 0x00, 0x75, 0x30};  // 30000 and 30000
    std::copy(size, size + 8, png.begin() + 16);  // the width and height of IHDR
    std::ofstream(work.path() / kPhotoName, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    const auto result = runCommand({"prlimit", "--as=2000000000", DOFMAP_BINARY}, work.path(), withoutScreen(), 60s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("dofmap: cannot read image img/what-is-depth-of-field-1000x605.jpg: too large "
                               "(30000 x 30000 pixels need about ",
                               0),
              0u)
        << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(entriesIn(work.path() / "save"), 0u);
}

}  // namespace
}  // namespace dofmap
