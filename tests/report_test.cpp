// The contact sheet of --report, made by the real batch and opened in headless Chromium: its cards,
// their order, escaping and thumbnails through the DOM, and a screenshot of the page.
#include "batch_runs.hpp"
#include "browser.hpp"
#include "camera_files.hpp"
#include "messages.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::batch;
using testing::csvFields;
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
// work, listed with the other problems of the plan; and a walk of a folder that holds an earlier report takes none of
// its thumbnails for photos.
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
    // Listed with the other planning problems, at once.
    const testing::RunResult both = batch({"--report", "a.png", "a.png", "a.png"}, work.path());
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.err,
              "dofmap-batch: input a.png is given twice\n"
              "dofmap-batch: report a.png would overwrite the input a.png\n"
              "Run with --help for more information.\n");
    EXPECT_EQ(entriesIn(work.path()), 1u) << "nothing was written";

    ASSERT_EQ(batch({"--report", "review.html", "--no-map", "."}, work.path()).status, 0);
    ASSERT_TRUE(fs::exists(work.path() / "review_files/0001.photo.dof-thumb.jpg"));
    const testing::RunResult again = batch({"-r", "--no-map", "--stats", "."}, work.path());
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 2) << "only a.png is a photo:\n" << again.out;
}

// What the cards and the summary line say of a card's folder reviewed with --sort: the cards come in
// the records' order (the CSV's rows, the photo that cannot be read last) and not blurry first, the
// RAW+JPEG shot's card names its RAW file, and the header's counts are the summary line's.
TEST(Report, CardsFollowTheSortNameTheShotsCompanionAndCountAsTheSummary)
{
    const TemporaryDirectory work("dofmap-report");
    const fs::path card = work.path() / "card";
    fs::create_directories(card);
    std::ofstream(card / "A_broken.jpg") << "not a photo";
    cv::Mat soft;
    cv::GaussianBlur(photo(120, 80, 1), soft, cv::Size(), 4.0);
    save(card / "B_soft.png", soft);
    save(card / "C_sharp.png", photo(120, 80, 2));
    ASSERT_EQ(testing::writeBayerDng(card / "IMG_1.DNG", photo(96, 64, 3)), "");
    save(card / "IMG_1.JPG", photo(120, 80, 4));

    const testing::RunResult run = batch({"-q", "--summary", "--no-map", "--stats", "--reject-below", "50%", "--sort",
                                          "-p90_mean", "--report", "page.html", "card"},
                                         work.path());
    ASSERT_EQ(run.status, 1) << run.err;
    std::vector<std::pair<std::string, std::string>> expected;  // name and companion, in the CSV's order
    std::istringstream rows(run.out);
    std::string row;
    std::getline(rows, row);
    while (std::getline(rows, row)) {
        const std::vector<std::string> fields = csvFields(row);
        expected.emplace_back(fields.at(0), fields.at(6).empty() ? "" : "with " + fields.at(6));
    }
    expected.emplace_back("card/A_broken.jpg", "");
    ASSERT_EQ(expected.size(), 4u) << run.out;
    EXPECT_EQ(expected[2].first, "card/B_soft.png") << "the least sharp of those read comes last:\n" << run.out;
    std::size_t read = 0, unreadable = 0, sharp = 0, blurry = 0;
    const std::string summary = run.err.substr(run.err.rfind("dofmap-batch: "));
    ASSERT_EQ(std::sscanf(summary.c_str(), "dofmap-batch: %zu photos read, %zu unreadable; %zu sharp, %zu blurry",
                          &read, &unreadable, &sharp, &blurry),
              4)
        << run.err;
    EXPECT_EQ(read, 3u) << "the shot counts once: " << summary;

    const char* const cards = R"({
      cards: [...document.querySelectorAll('article.card')].map(card => [card.querySelector('h2').textContent,
        card.querySelector('.companion') ? card.querySelector('.companion').textContent : '']),
      counts: document.querySelector('.counts').textContent})";
    const testing::PageVisit visit =
        testing::visitPage(testing::fileUrl(work.path() / "page.html"), cards, kWindowWidth, kWindowHeight, 60s);
    ASSERT_EQ(visit.failure, "");
    std::vector<std::pair<std::string, std::string>> shown;
    for (const nlohmann::json& each : visit.value["cards"]) shown.emplace_back(each[0], each[1]);
    EXPECT_EQ(shown, expected) << visit.value.dump(1);
    EXPECT_NE(std::find(shown.begin(), shown.end(),
                        std::pair<std::string, std::string>("card/IMG_1.JPG", "with card/IMG_1.DNG")),
              shown.end());
    EXPECT_EQ(visit.value["counts"],
              "photos 4 read " + std::to_string(read) + " unreadable " + std::to_string(unreadable) + " sharp " +
                  std::to_string(sharp) + " blurry " + std::to_string(blurry))
        << summary;
}

// The page goes to a file and its thumbnails beside it, so --report - is a usage error; a photo from
// standard input is named - on its card, and with -o - the page is still written while standard
// output holds the map alone.
TEST(Report, StandardStreamsCarryPhotosAndMapsNotThePage)
{
    const TemporaryDirectory work("dofmap-report");
    save(work.path() / "a.png", photo(64, 48, 1));
    const testing::RunResult dash = batch({"--report", "-", "a.png"}, work.path());
    EXPECT_EQ(dash.status, 2);
    EXPECT_NE(dash.err.find("--report: must name a file (./- for one called -), not -"), std::string::npos) << dash.err;
    EXPECT_EQ(entriesIn(work.path()), 1u) << "nothing was written";

    ASSERT_EQ(batch({"a.png"}, work.path()).status, 0);
    const testing::RunResult piped =
        testing::batchRedirected("< a.png", {"--report", "page.html", "-", "-o", "-"}, work.path());
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, readFile(work.path() / "a.dof.png")) << "standard output holds the map alone";
    const std::string page = readFile(work.path() / "page.html");
    EXPECT_NE(page.find("<h2>-</h2>"), std::string::npos) << page;
    EXPECT_TRUE(fs::exists(work.path() / "page_files/0001.overlay.dof-thumb.jpg"));
}

}  // namespace
}  // namespace dofmap
