// Scenes of a shoot: bursts made of the bundled photos (frames moved, blurred, noisy, darker),
// grouped by capture time and content, and by content and file order where there are no times.
#include "batch.hpp"
#include "batch_runs.hpp"
#include "camera_files.hpp"
#include "images.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using batch::kNoScene;
using batch::SceneFrame;
using testing::TemporaryDirectory;

// The two subjects, of one size: the flower of the demo photo and the cup of coffee (the photo of
// the documentation's first panel).
const cv::Mat& flower()
{
    static const cv::Mat view = cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR);
    return view;
}
const cv::Mat& coffee()
{
    static const cv::Mat view = [] {
        const cv::Mat panels = cv::imread(COFFEE_PANELS, cv::IMREAD_COLOR);
        cv::Mat photo;
        if (!panels.empty()) cv::resize(panels(cv::Rect(0, 0, 450, 300)), photo, flower().size(), 0, 0, cv::INTER_AREA);
        return photo;
    }();
    return view;
}

// A view of fine detail, cells of 2 % of its width: its frames moved by a few percent correlate
// only when their shift is found.
const cv::Mat& detailed()
{
    static const cv::Mat view = [] {
        cv::Mat photo;
        cv::resize(testing::randomImage(48, 29, 3), photo, flower().size(), 0, 0, cv::INTER_CUBIC);
        return photo;
    }();
    return view;
}

// A frame of a burst of `view`: the window of 92 % of it moved by `dx`, `dy` of its size from the
// middle, blurred by `sigma`, its exposure times `gain`, with Gaussian noise of `noise` levels.
cv::Mat frame(const cv::Mat& view, double dx, double dy, double sigma = 0.0, double noise = 0.0, double gain = 1.0)
{
    const cv::Size size(int(view.cols * 0.92), int(view.rows * 0.92));
    const cv::Point corner(int((view.cols - size.width) / 2 + dx * view.cols),
                           int((view.rows - size.height) / 2 + dy * view.rows));
    cv::Mat image = view(cv::Rect(corner, size)).clone();
    if (sigma > 0) cv::GaussianBlur(image, image, cv::Size(), sigma);
    cv::Mat levels;
    image.convertTo(levels, CV_32FC3, gain);
    if (noise > 0) {
        cv::Mat grain(levels.size(), CV_32FC3);
        cv::RNG(7).fill(grain, cv::RNG::NORMAL, 0, noise);
        levels += grain;
    }
    levels.convertTo(image, CV_8UC3);
    return image;
}

// A photo taken `seconds` after 2024-05-01 10:00:00 on the camera's clock.
CaptureTime at(double seconds, std::optional<int> offsetMinutes = std::nullopt)
{
    CaptureTime time;
    time.seconds = 1714557600 + std::int64_t(std::floor(seconds));
    time.nanoseconds = std::int32_t(std::lround((seconds - std::floor(seconds)) * 1e9));
    time.offsetMinutes = offsetMinutes;
    return time;
}

SceneFrame framed(const cv::Mat& image, std::optional<CaptureTime> time = std::nullopt)
{
    return SceneFrame{time, batch::sceneSignature(image)};
}

std::string listed(const std::vector<int>& values)
{
    std::string text;
    for (const int value : values) text += (text.empty() ? "" : " ") + std::to_string(value);
    return text;
}

// The distances of each frame's signature to the others', for the failure messages.
std::string distances(const std::vector<SceneFrame>& frames)
{
    std::string text;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        text += "\n" + std::to_string(i) + ":";
        for (std::size_t j = 0; j < frames.size(); ++j)
            text +=
                " " + std::to_string(batch::signatureDistance(frames[i].signature, frames[j].signature)).substr(0, 4);
    }
    return text;
}

TEST(Scenes, BurstsTakenInTurnComeApartByContentAndAPauseEndsOne)
{
    ASSERT_FALSE(flower().empty());
    ASSERT_FALSE(coffee().empty());
    const cv::Mat lone = testing::photo(flower().cols, flower().rows, 5);
    // Two subjects taken in turn within seconds, a third photo among them, and the first subject
    // again after a pause; listed out of the order of their times, with a photo not read.
    const std::vector<SceneFrame> frames{
        framed(frame(coffee(), 0.0, 0.0), at(0.5)),
        framed(frame(flower(), 0.0, 0.0), at(0.0)),
        framed(frame(flower(), 0.03, -0.02, 2.0), at(1.0)),
        framed(frame(coffee(), -0.03, 0.03, 0.0, 20.0), at(1.5)),
        framed(lone, at(1.2)),
        framed(frame(flower(), -0.02, 0.03, 0.0, 12.0, 0.5), at(2.0)),
        framed(frame(coffee(), 0.02, 0.0, 3.0), at(2.5)),
        framed(frame(flower(), 0.04, 0.0, 1.0), at(30.0)),
        framed(frame(flower(), 0.03, 0.01, 0.0, 25.0), at(30.4)),
        SceneFrame{at(1.7), {}},
    };
    const batch::SceneAssignment scenes = batch::assignScenes(frames);
    EXPECT_EQ(listed(scenes.scene), "0 1 1 0 2 1 0 3 3 -1") << distances(frames);
    EXPECT_EQ(listed(scenes.sizes), "3 3 1 2");
}

TEST(Scenes, TimesWithOffsetsCompareInUtc)
{
    // One second apart on the clocks, an hour apart in UTC (the clock put back between them).
    const cv::Mat view = frame(flower(), 0.0, 0.0);
    EXPECT_EQ(listed(batch::assignScenes({framed(view, at(0, 120)), framed(view, at(1, 60))}).scene), "0 1");
    EXPECT_EQ(listed(batch::assignScenes({framed(view, at(0)), framed(view, at(1, 60))}).scene), "0 0");
}

TEST(Scenes, WithoutTimesNeighboursInFileOrderThatLookAlike)
{
    const std::vector<SceneFrame> frames{
        framed(frame(flower(), 0.0, 0.0)),
        framed(frame(flower(), 0.03, 0.02, 2.5)),
        framed(frame(coffee(), 0.0, 0.0)),
        framed(frame(flower(), -0.02, 0.0, 0.0, 20.0, 1.3)),
        framed(frame(coffee(), 0.03, -0.03, 1.5)),
        framed(frame(detailed(), -0.02, 0.0)),
        SceneFrame{},
        framed(frame(detailed(), 0.02, 0.02, 0.0, 10.0)),
        framed(testing::photo(920, 556, 12)),
        // Six places after the last frame of the flower: out of its reach.
        framed(frame(flower(), 0.01, 0.01)),
    };
    const batch::SceneAssignment scenes = batch::assignScenes(frames);
    EXPECT_EQ(listed(scenes.scene), "0 0 1 0 1 2 -1 2 3 4") << distances(frames);
    EXPECT_EQ(listed(scenes.sizes), "3 2 2 1 1");
}

// A reporter that fails the test on any failure but the unreadable photo's.
class QuietReporter final : public batch::Reporter {
public:
    void cannotRead(const std::string& path, const std::string&) override { unread.push_back(path); }
    void cannotWrite(const fs::path& path, const std::string& reason) override
    {
        ADD_FAILURE() << path << ": " << reason;
    }
    std::vector<std::string> unread;
};

TEST(Scenes, OfPhotosProcessedFromTheirFiles)
{
    TemporaryDirectory directory("scenes");
    const fs::path first = testing::save(directory.path() / "1.jpg", frame(flower(), 0.0, 0.0));
    const fs::path second = testing::save(directory.path() / "2.jpg", frame(coffee(), 0.0, 0.0));
    const fs::path third = testing::save(directory.path() / "3.jpg", frame(flower(), 0.03, 0.0, 2.0, 10.0));
    const fs::path damaged = directory.path() / "4.jpg";
    std::ofstream(damaged) << "not a photo";
    // The flower at 10:00:00.0 and 10:00:00.8, the coffee between them.
    const std::string arguments = "-DateTimeOriginal=2024:05:01 10:00:00\n-SubSecTimeOriginal=0\n1.jpg\n-execute\n"
                                  "-DateTimeOriginal=2024:05:01 10:00:00\n-SubSecTimeOriginal=4\n2.jpg\n-execute\n"
                                  "-DateTimeOriginal=2024:05:01 10:00:00\n-SubSecTimeOriginal=8\n3.jpg\n";
    std::ofstream(directory.path() / "arguments") << arguments;
    ASSERT_EQ(testing::runTool({"exiftool", "-q", "-overwrite_original", "-@", "arguments"}, directory.path()), "");

    batch::Options options;
    options.noMap = true;
    options.stats = true;
    options.cull = true;
    batch::MemoryBudget budget(std::int64_t(1) << 30);
    QuietReporter reporter;
    std::vector<batch::PhotoOutcome> outcomes;
    for (const fs::path& path : {first, second, third, damaged}) {
        bool complete = false;
        outcomes.push_back(
            batch::processPhoto(batch::Photo{path.string(), "", {}, {}}, options, budget, reporter, complete));
    }
    ASSERT_EQ(reporter.unread, std::vector<std::string>{damaged.string()});
    ASSERT_TRUE(outcomes[2].captureTime);
    EXPECT_EQ(outcomes[2].captureTime->seconds, 1714557600);
    EXPECT_EQ(outcomes[2].captureTime->nanoseconds, 800000000);
    EXPECT_EQ(listed(batch::assignScenes(outcomes).scene), "0 1 0 -1");
}

}  // namespace
}  // namespace dofmap
