// Runs the real interactive program in temporary working directories, with and without a screen.
#include "camera_files.hpp"
#include "focus_map.hpp"
#include "images.hpp"
#include "literal_map.hpp"
#include "process.hpp"
#include "screen.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

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

// The geometries of the three windows once they stop moving (the program places them twice), in
// the order of the titles; empty when they did not all appear within 30 seconds.
std::vector<testing::WindowGeometry> settledWindows(const std::string& display)
{
    std::vector<testing::WindowGeometry> last;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<testing::WindowGeometry> now;
        for (const char* title : {"Original", "Blur", "DoF"})
            if (const auto geometry = testing::windowGeometry(display, title)) now.push_back(*geometry);
        const auto same = [](const testing::WindowGeometry& a, const testing::WindowGeometry& b) {
            return a.inside == b.inside && a.frame == b.frame;
        };
        if (now.size() == 3 && last.size() == 3 && std::equal(now.begin(), now.end(), last.begin(), same)) return now;
        last = now;
        std::this_thread::sleep_for(400ms);
    }
    return {};
}

// On a 1920 x 1080 screen, bare and with openbox managing the windows: a photo larger than the
// screen, the demo photo and a small one each give three windows side by side, in the order they are
// shown, inside the screen with their frames and not overlapping, each holding its whole picture
// with its aspect, scaled down as far as needed and never up. A screenshot of each case is left in
// screenshots/ of the test's working folder.
TEST(OnScreens, WindowsShowTheirWholePicturesSideBySideInsideTheScreen)
{
    const TemporaryDirectory photos("dofmap-photos");
    const cv::Mat demo = cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR);
    cv::Mat large, small;
    cv::resize(demo, large, cv::Size(4000, 2500), 0, 0, cv::INTER_CUBIC);
    cv::resize(demo, small, cv::Size(300, 182), 0, 0, cv::INTER_AREA);
    ASSERT_TRUE(cv::imwrite((photos.path() / "large.jpg").string(), large));
    ASSERT_TRUE(cv::imwrite((photos.path() / "small.jpg").string(), small));
    const fs::path shots = fs::current_path() / "screenshots";
    fs::create_directories(shots);

    for (const bool managed : {false, true}) {
        VirtualDisplay screen(1920, 1080);
        ASSERT_FALSE(screen.name().empty()) << "Xvfb could not be started";
        std::unique_ptr<testing::WindowManager> manager;
        if (managed) {
            manager = std::make_unique<testing::WindowManager>(screen.name());
            ASSERT_TRUE(manager->running()) << "openbox did not start";
        }
        const cv::Rect screenArea(0, 0, 1920, 1080);
        for (const auto& [name, photo] :
             {std::pair{"large", large}, std::pair{"demo", demo}, std::pair{"small", small}}) {
            const std::string label = std::string(name) + (managed ? "-openbox" : "-bare");
            SCOPED_TRACE(label);
            const WorkingDirectory work(true,
                                        name == std::string("demo") ? fs::path(DEMO_PHOTO)
                                                                    : photos.path() / (std::string(name) + ".jpg"));
            const TemporaryDirectory capture("dofmap-capture");
            Process program({DOFMAP_BINARY}, work.path(), onScreen(screen.name()), capture.path() / "out",
                            capture.path() / "err");
            const std::vector<testing::WindowGeometry> windows = settledWindows(screen.name());
            const cv::Mat shot = testing::screenshot(screen.name());
            if (!shot.empty()) cv::imwrite((shots / (label + ".png")).string(), shot);
            ASSERT_EQ(windows.size(), 3u)
                << "the three windows did not appear; the program says: " << readFile(capture.path() / "err");

            for (std::size_t i = 0; i < windows.size(); ++i) {
                const cv::Rect& frame = windows[i].frame;
                const cv::Rect& inside = windows[i].inside;
                EXPECT_EQ(frame & screenArea, frame) << "window " << i << " leaves the screen: " << frame;
                for (std::size_t j = i + 1; j < windows.size(); ++j)
                    EXPECT_TRUE((frame & windows[j].frame).empty())
                        << "windows " << i << " and " << j << " overlap: " << frame << " " << windows[j].frame;
                if (i > 0) {
                    EXPECT_GT(frame.x, windows[i - 1].frame.x) << "not in the order shown";
                }
                // The picture takes the window's width, its aspect kept, with the bars below it in
                // the rest of the height; never wider than the photo itself.
                EXPECT_LE(inside.width, photo.cols);
                EXPECT_GE(inside.height, inside.width * photo.rows / photo.cols) << inside;
                if (photo.cols <= 600) {
                    EXPECT_EQ(inside.width, photo.cols) << "a small photo is shown as it is";
                } else {
                    EXPECT_GT(inside.width, 1920 / 3 - 40) << "scaled down further than needed";
                }

                // The middle of the picture on the screen is the middle of the photo, scaled to the
                // window's width (the bars above and below it leave its height a few rows open).
                if (i == 0 && !shot.empty()) {
                    cv::Mat expected;
                    cv::resize(photo, expected, cv::Size(inside.width, inside.width * photo.rows / photo.cols), 0, 0,
                               cv::INTER_AREA);
                    const cv::Rect photoMiddle(expected.cols * 3 / 8, expected.rows * 3 / 8, expected.cols / 4,
                                               expected.rows / 4);
                    double least = 1e300;
                    for (int top = inside.y; top + expected.rows <= inside.y + inside.height; ++top) {
                        const cv::Rect onScreen = photoMiddle + cv::Point(inside.x, top);
                        if ((onScreen & screenArea) != onScreen) continue;
                        least = std::min(least,
                                         cv::norm(shot(onScreen), expected(photoMiddle), cv::NORM_L1) /
                                             double(onScreen.area() * 3));
                    }
                    EXPECT_LT(least, 12.0) << "the photo's middle is not in the window's middle";
                }
            }

            testing::RunResult result;
            for (int attempt = 0; attempt < 20 && !result.status; ++attempt) {
                pressKeyIn(screen.name(), "DoF");
                result.status = program.wait(3s);
            }
            EXPECT_EQ(result.status, 0) << readFile(capture.path() / "err");
            EXPECT_EQ(readFile(capture.path() / "err"), "");
        }
    }
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
