// The contact sheet of --report, made by the real batch and opened in headless Chromium: its cards,
// their order, escaping and thumbnails through the DOM, and a screenshot of the page.
#include "batch_runs.hpp"
#include "browser.hpp"
#include "messages.hpp"

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
using testing::batch;
using testing::entriesIn;
using testing::photo;
using testing::readFile;
using testing::save;
using testing::TemporaryDirectory;

constexpr int kWindowWidth = 1280;
constexpr int kWindowHeight = 900;

// The mean absolute difference of two images' (or an image's and a color's) channels.
double meanDifference(const cv::Mat& image, const cv::_InputArray& other)
{
    cv::Mat difference;
    cv::absdiff(image, other, difference);
    const cv::Scalar sum = cv::sum(difference);
    return (sum[0] + sum[1] + sum[2]) / double(image.total() * 3);
}

// What the test reads from the page's DOM: the cards in their order, their names and verdicts, every
// image and whether it loaded, the first card's thumbnail and where it lies, and the window.
const char* const kPageSummary = R"({
  cards: [...document.querySelectorAll('article.card')].map(card => ({
    name: card.querySelector('h2').textContent,
    verdict: card.querySelector('.verdict') ? card.querySelector('.verdict').textContent : '',
    reason: card.querySelector('.reason') ? card.querySelector('.reason').textContent : ''})),
  images: [...document.images].map(image => ({src: image.getAttribute('src'), width: image.naturalWidth})),
  first: (image => { const box = image.getBoundingClientRect();
    return {src: image.getAttribute('src'), x: box.x, y: box.y, width: box.width, height: box.height,
            naturalWidth: image.naturalWidth, naturalHeight: image.naturalHeight}; })(
    document.querySelector('article.card img')),
  counts: document.querySelector('.counts').textContent,
  window: [innerWidth, innerHeight]})";

// A shoot of sharp and blurred photos, one that cannot be read and one whose name would be markup,
// reviewed in a dry run: only the page and its thumbnails are written; in the browser the page logs
// no error, has a card per photo with the blurred ones first, shows the name as text, and every
// thumbnail loads; its screenshot shows the first card's thumbnail where the DOM puts it.
TEST(Report, DryRunPageShowsEveryPhotoBlurryFirstInTheBrowser)
{
    const TemporaryDirectory work("dofmap-report");
    const fs::path shoot = work.path() / "shoot";
    fs::create_directories(shoot);
    const auto blurred = [](const cv::Mat& image) {
        cv::Mat soft;
        cv::GaussianBlur(image, soft, cv::Size(), 4.0);
        return soft;
    };
    const std::string hostile = "d-<img src=x onerror=alert(1)>&amp;\"'\xff.png";
    save(shoot / "a-sharp.png", photo(240, 160, 1));
    save(shoot / "b-soft.png", blurred(photo(240, 160, 2)));
    std::ofstream(shoot / "c-broken.jpg") << "\xff\xd8\xff not a JPEG";
    save(shoot / hostile, photo(160, 240, 3));
    save(shoot / "e-soft.png", blurred(photo(240, 160, 4)));

    const testing::RunResult run =
        batch({"--dry-run", "--reject-below", "50%", "--report", "review/page.html", "-q", "shoot"}, work.path());
    ASSERT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "dofmap-batch: cannot read image shoot/c-broken.jpg: truncated or corrupt data\n");
    EXPECT_NE(run.out.find("blurry"), std::string::npos) << "the verdict table is still printed:\n" << run.out;
    EXPECT_EQ(entriesIn(shoot), 5u) << "a dry run writes nothing beside the photos";
    EXPECT_EQ(entriesIn(work.path() / "review"), 2u) << "the page and its folder";
    ASSERT_EQ(entriesIn(work.path() / "review/page_files"), 8u) << "two thumbnails for each photo read";

    const fs::path page = work.path() / "review/page.html";
    const testing::PageVisit visit =
        testing::visitPage(testing::fileUrl(page), kPageSummary, kWindowWidth, kWindowHeight, 60s);
    ASSERT_EQ(visit.failure, "");
    EXPECT_TRUE(visit.errors.empty()) << "the page logged: " << visit.errors.front();
    const nlohmann::json& summary = visit.value;
    const std::vector<std::pair<std::string, std::string>> expected{{"shoot/b-soft.png", "blurry"},
                                                                    {"shoot/e-soft.png", "blurry"},
                                                                    {"shoot/a-sharp.png", "sharp"},
                                                                    {"shoot/c-broken.jpg", ""},
                                                                    {printable("shoot/" + hostile), "sharp"}};
    ASSERT_EQ(summary["cards"].size(), expected.size()) << summary.dump(1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(summary["cards"][i]["name"], expected[i].first) << "card " << i;
        EXPECT_EQ(summary["cards"][i]["verdict"], expected[i].second) << "card " << i;
    }
    EXPECT_EQ(summary["cards"][3]["reason"], "cannot read: truncated or corrupt data");
    EXPECT_EQ(summary["counts"], "photos 5 read 4 unreadable 1 sharp 2 blurry 2");
    ASSERT_EQ(summary["images"].size(), 8u) << "no markup taken from a name: " << summary["images"].dump(1);
    for (const nlohmann::json& image : summary["images"]) EXPECT_GT(image["width"], 0) << image["src"];

    // The screenshot, kept for a look, shows the first card's photo thumbnail where the DOM puts it:
    // the thumbnail scaled into its box (its aspect kept, centered) matches the screen there.
    const fs::path shots = fs::current_path() / "screenshots";
    fs::create_directories(shots);
    const fs::path shotPath = shots / "report-page.png";
    fs::remove(shotPath);
    const TemporaryDirectory profile("dofmap-chromium");
    std::vector<std::string> command = testing::chromiumCommand(profile.path(), kWindowWidth, kWindowHeight);
    command.push_back("--screenshot=" + shotPath.string());
    command.push_back(testing::fileUrl(page));
    const testing::RunResult shooting = testing::runCommand(command, work.path(), {}, 60s);
    ASSERT_EQ(shooting.status, 0) << shooting.err;
    const cv::Mat shot = cv::imread(shotPath.string(), cv::IMREAD_COLOR);
    ASSERT_EQ(shot.size(), cv::Size(kWindowWidth, kWindowHeight)) << shotPath;
    cv::Scalar mean, deviation;
    cv::meanStdDev(shot, mean, deviation);
    EXPECT_GT(deviation[0] + deviation[1] + deviation[2], 30.0) << "a blank page";

    const nlohmann::json& first = summary["first"];
    EXPECT_EQ(first["src"], "page_files/0002.photo.dof-thumb.jpg") << "b-soft.png, the first blurry one";
    const cv::Mat thumbnail = cv::imread((page.parent_path() / first["src"].get<std::string>()).string());
    ASSERT_FALSE(thumbnail.empty());
    const double boxWidth = first["width"], boxHeight = first["height"];
    const double scale = std::min(boxWidth / thumbnail.cols, boxHeight / thumbnail.rows);
    const cv::Size shown(int(thumbnail.cols * scale), int(thumbnail.rows * scale));
    const cv::Rect where(int(first["x"].get<double>() + (boxWidth - shown.width) / 2),
                         int(first["y"].get<double>() + (boxHeight - shown.height) / 2), shown.width, shown.height);
    ASSERT_EQ(where & cv::Rect(0, 0, shot.cols, shot.rows), where) << "the first thumbnail lies off the screen";
    cv::Mat expectedPixels;
    cv::resize(thumbnail, expectedPixels, shown, 0, 0, cv::INTER_AREA);
    // A margin of two pixels for the browser's own rounding and scaling at the edges.
    const cv::Rect inner(2, 2, shown.width - 4, shown.height - 4);
    const cv::Mat onScreen = shot(where)(inner);
    const double difference = meanDifference(onScreen, expectedPixels(inner));
    const cv::Vec3b around = shot.at<cv::Vec3b>(where.y - 1, where.x - 1);
    const double againstBackground = meanDifference(onScreen, cv::Scalar(around[0], around[1], around[2]));
    EXPECT_LT(difference, 6.0) << "at " << where << " the screen is not the thumbnail; see " << shotPath;
    EXPECT_GT(againstBackground, 4.0 * difference) << "the thumbnail does not stand out from its box at " << where;
}

// A page that cannot be written is reported by its name with the system's reason and fails the run,
// whose maps are still written: its folder cannot be made (a file is in the way), or the page's name
// is a folder.
TEST(Report, PageThatCannotBeWrittenFailsTheRunNamingIt)
{
    const TemporaryDirectory work("dofmap-report");
    save(work.path() / "a.png", photo(64, 48, 1));
    std::ofstream(work.path() / "file") << "in the way";
    fs::create_directory(work.path() / "folder");
    const struct {
        std::string page;
        std::string message;
    } cases[] = {
        {"file/page.html", "dofmap-batch: cannot write file/page.html: not a directory\n"},
        {"folder", "dofmap-batch: cannot write folder: is a directory\n"},
    };
    for (const auto& [page, message] : cases) {
        SCOPED_TRACE(page);
        fs::remove(work.path() / "a.dof.png");
        const testing::RunResult run = batch({"--report", page, "a.png"}, work.path());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, message);
        EXPECT_TRUE(fs::exists(work.path() / "a.dof.png")) << "the map is still written";
    }
}

// A page or thumbnail that would replace a photo, or a photo's output, is a usage error before any
// work; and a walk of a folder that holds an earlier report takes none of its thumbnails for photos.
TEST(Report, WritesNoPhotoAndIsNoPhoto)
{
    const TemporaryDirectory work("dofmap-report");
    save(work.path() / "a.png", photo(64, 48, 1));
    for (const auto& [page, message] :
         {std::pair{"a.png", "report a.png would overwrite the input a.png"},
          std::pair{"a.dof.png", "report a.dof.png would overwrite the output of a.png"}}) {
        const testing::RunResult run = batch({"--report", page, "a.png"}, work.path());
        EXPECT_EQ(run.status, 2) << page;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }
    EXPECT_EQ(entriesIn(work.path()), 1u) << "nothing was written";

    ASSERT_EQ(batch({"--report", "review.html", "--no-map", "."}, work.path()).status, 0);
    ASSERT_TRUE(fs::exists(work.path() / "review_files/0001.photo.dof-thumb.jpg"));
    const testing::RunResult again = batch({"-r", "--no-map", "--stats", "."}, work.path());
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 2) << "only a.png is a photo:\n" << again.out;
}

}  // namespace
}  // namespace dofmap
