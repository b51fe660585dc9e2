// Culling with the batch program: verdicts over a shoot of sharp photos and blurred copies, sidecars
// read back with exiftool, JSON Lines against the CSV, and runs that must write nothing.
#include "batch_runs.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::batch;
using testing::csvFields;
using testing::entriesIn;
using testing::photo;
using testing::readFile;
using testing::runCommand;
using testing::RunResult;
using testing::save;
using testing::TemporaryDirectory;
using Json = nlohmann::ordered_json;

// The objects of JSON Lines output, failing the test on a line that does not parse.
std::vector<Json> jsonLines(const std::string& out)
{
    std::vector<Json> objects;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        try {
            objects.push_back(Json::parse(line));
        } catch (const Json::parse_error& error) {
            ADD_FAILURE() << "not JSON: " << line << ": " << error.what();
        }
    }
    return objects;
}

// The tags exiftool reads from each file, by file name.
std::map<std::string, nlohmann::json> exiftoolTags(const fs::path& folder, const std::vector<std::string>& names)
{
    std::vector<std::string> argv{"exiftool", "-j", "-G1", "-n"};
    argv.insert(argv.end(), names.begin(), names.end());
    const RunResult result = runCommand(argv, folder);
    EXPECT_EQ(result.status, 0) << result.err;
    std::map<std::string, nlohmann::json> tags;
    for (const nlohmann::json& file : nlohmann::json::parse(result.out)) tags[file["SourceFile"]] = file;
    return tags;
}

std::set<std::string> namesIn(const fs::path& folder)
{
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

TEST(BatchCulling, HalfTheMedianRejectsExactlyTheBlurredCopies)
{
    const TemporaryDirectory work("dofmap-cull");
    const fs::path shoot = work.path() / "shoot";
    fs::create_directory(shoot);
    std::set<std::string> blurred;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const cv::Mat sharp = photo(160, 120, 40 + seed);
        cv::Mat soft;
        cv::GaussianBlur(sharp, soft, cv::Size(), 2.5);
        save(shoot / ("IMG_000" + std::to_string(seed) + ".png"), sharp);
        save(shoot / ("IMG_010" + std::to_string(seed) + ".png"), soft);
        blurred.insert("IMG_010" + std::to_string(seed) + ".png");
    }
    // A sharp photo with darktable's sidecar, a blurred one that the photographer rated 2 in
    // Lightroom's; the others have none yet.
    const std::string darktable =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
        "xmlns:darktable=\"http://darktable.sf.net/\" xmp:Rating=\"1\" darktable:history_end=\"0\"/>"
        "</rdf:RDF></x:xmpmeta>";
    std::ofstream(shoot / "IMG_0002.png.xmp") << darktable;
    std::string lightroom = darktable;
    lightroom.replace(lightroom.find("xmp:Rating=\"1\""), 14, "xmp:Rating=\"2\"");
    std::ofstream(shoot / "IMG_0102.xmp") << lightroom;

    const RunResult result =
        batch({"--xmp", "--reject-below", "50%", "--no-map", "--json", "-j", "2", "shoot"}, work.path());
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<Json> records = jsonLines(result.out);
    ASSERT_EQ(records.size(), 6u) << result.out;

    // The median of an even count is the mean of the two middle largest means.
    std::vector<double> maxMeans;
    for (const Json& record : records) maxMeans.push_back(record["max_mean"]);
    std::sort(maxMeans.begin(), maxMeans.end());
    const double threshold = 0.5 * (maxMeans[2] + maxMeans[3]) / 2.0;
    std::vector<std::string> sidecars;
    for (const Json& record : records) {
        const std::string name = fs::path(record["path"].get<std::string>()).filename();
        const bool isBlurred = blurred.count(name) == 1;
        EXPECT_EQ(record["verdict"], isBlurred ? "blurry" : "sharp") << record.dump();
        EXPECT_EQ(record["max_mean"].get<double>() < threshold, isBlurred) << record.dump() << " against " << threshold;
        sidecars.push_back(name == "IMG_0002.png" ? name + ".xmp" : fs::path(name).stem().string() + ".xmp");
    }
    // The sidecars that existed were used, the others made with the Adobe name; no map.
    std::set<std::string> expectedNames = {"IMG_0002.png.xmp"};
    for (const std::string& name : namesIn(shoot))
        if (fs::path(name).extension() == ".png") expectedNames.insert(name);
    for (const std::string& name : sidecars) expectedNames.insert(name);
    EXPECT_EQ(namesIn(shoot), expectedNames);

    std::map<std::string, nlohmann::json> tags = exiftoolTags(shoot, sidecars);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const nlohmann::json& sidecar = tags[sidecars[i]];
        const bool isBlurred = records[i]["verdict"] == "blurry";
        const nlohmann::json subject = sidecar.value("XMP-dc:Subject", nlohmann::json());
        EXPECT_EQ(subject, isBlurred ? nlohmann::json("blurry") : nlohmann::json()) << sidecars[i];
        EXPECT_EQ(sidecar.value("XMP-lr:HierarchicalSubject", nlohmann::json()),
                  isBlurred ? nlohmann::json("dofmap|blurry") : nlohmann::json())
            << sidecars[i];
        const int rating = sidecar.value("XMP-xmp:Rating", 0);
        const int expected = sidecars[i] == "IMG_0002.png.xmp" ? 1
            : sidecars[i] == "IMG_0102.xmp"                    ? 2
            : isBlurred                                        ? -1
                                                               : 0;
        EXPECT_EQ(rating, expected) << sidecars[i];
        EXPECT_EQ(sidecar["XMP-dofmap:MaxMean"].get<double>(), records[i]["max_mean"].get<double>()) << sidecars[i];
        EXPECT_EQ(sidecar["XMP-dofmap:Verdict"].get<std::string>(), records[i]["verdict"].get<std::string>())
            << sidecars[i];
    }
    EXPECT_EQ(tags["IMG_0002.png.xmp"]["XMP-darktable:History_end"], 0);

    // With --overwrite-ratings the rated blurred photo is rejected too, and the table says so.
    const RunResult again =
        batch({"--xmp", "--reject-below", "50%", "--no-map", "--overwrite-ratings", "shoot"}, work.path());
    ASSERT_EQ(again.status, 0) << again.err;
    double printed = 0.0;
    ASSERT_EQ(std::sscanf(again.out.c_str(), "# blurry: largest mean below %lf (50 %% of", &printed), 1) << again.out;
    EXPECT_NEAR(printed, threshold, 2e-6) << again.out;  // the records' figures have six decimals
    EXPECT_NE(again.out.find("blurry "), std::string::npos) << again.out;
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 7) << again.out;
    EXPECT_EQ(exiftoolTags(shoot, {"IMG_0102.xmp"})["IMG_0102.xmp"]["XMP-xmp:Rating"], -1);

    // A photo without a sidecar gets darktable's name when asked.
    save(work.path() / "single.png", photo(50, 40, 49));
    ASSERT_EQ(batch({"--xmp", "--xmp-name", "full", "--no-map", "single.png"}, work.path()).status, 0);
    EXPECT_TRUE(fs::exists(work.path() / "single.png.xmp"));
    EXPECT_FALSE(fs::exists(work.path() / "single.xmp"));
}

// A picture of sharp-edged blocks in many colors, as a scene of a shoot.
cv::Mat blocks(int width, int height, unsigned seed)
{
    cv::RNG random(seed);
    cv::Mat picture(height, width, CV_8UC3, cv::Scalar(120, 120, 120));
    for (int i = 0; i < 600; ++i) {
        const cv::Point corner(random.uniform(0, width), random.uniform(0, height));
        const cv::Size size(random.uniform(4, width / 10), random.uniform(4, height / 10));
        cv::rectangle(picture, cv::Rect(corner, size),
                      cv::Scalar(random.uniform(0, 256), random.uniform(0, 256), random.uniform(0, 256)), cv::FILLED);
    }
    return picture;
}

// A frame of a hand-held burst: the scene shifted by (dx, dy) and cropped to `crop`.
cv::Mat frameOf(const cv::Mat& scene, int dx, int dy, cv::Size crop)
{
    return scene(cv::Rect(cv::Point(dx, dy), crop)).clone();
}

// Two bursts, each sharp frames and one blurred frame: one blurred along a line, which keeps the
// edges along the motion sharp and so the largest mean high enough to pass half the shoot's
// median, the other defocused. --cull judges each frame against its scene's sharpest, and every
// record, sidecar and card says what each verdict rests on.
TEST(BatchCulling, ScenesCatchAMotionBlurredFrameThatTheMedianPasses)
{
    const TemporaryDirectory work("dofmap-cull");
    const fs::path shoot = work.path() / "shoot";
    fs::create_directory(shoot);
    const cv::Size crop(300, 220);
    const cv::Mat first = blocks(320, 240, 71), second = blocks(320, 240, 72);
    cv::Mat motion;
    cv::filter2D(frameOf(first, 9, 7, crop), motion, -1, cv::Mat::ones(1, 15, CV_32F) / 15.0);
    cv::Mat defocused;
    cv::GaussianBlur(frameOf(second, 4, 9, crop), defocused, cv::Size(), 2.0);
    const std::vector<std::pair<std::string, cv::Mat>> frames = {{"IMG_01.png", frameOf(first, 0, 0, crop)},
                                                                 {"IMG_02.png", frameOf(first, 6, 3, crop)},
                                                                 {"IMG_03.png", motion},
                                                                 {"IMG_04.png", frameOf(first, 12, 10, crop)},
                                                                 {"IMG_05.png", frameOf(second, 0, 5, crop)},
                                                                 {"IMG_06.png", defocused},
                                                                 {"IMG_07.png", frameOf(second, 10, 2, crop)}};
    for (const auto& [name, frame] : frames) save(shoot / name, frame);
    const std::set<std::string> blurred = {"IMG_03.png", "IMG_06.png"};

    const RunResult median = batch({"--reject-below", "50%", "--json", "--no-map", "shoot"}, work.path());
    ASSERT_EQ(median.status, 0) << median.err;
    const RunResult culled =
        batch({"--cull", "--json", "--xmp", "--report", "review.html", "--no-map", "shoot"}, work.path());
    ASSERT_EQ(culled.status, 0) << culled.err;
    const std::vector<Json> byMedian = jsonLines(median.out), records = jsonLines(culled.out);
    ASSERT_EQ(records.size(), frames.size()) << culled.out;
    std::map<std::string, int> scenes;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Json& record = records[i];
        const std::string name = fs::path(record["path"].get<std::string>()).filename();
        EXPECT_EQ(record["verdict"], blurred.count(name) ? "blurry" : "sharp") << record.dump();
        if (name == "IMG_03.png") {
            EXPECT_EQ(byMedian[i]["verdict"], "sharp") << byMedian[i].dump();
        }
        for (const char* key : {"scene", "judged_by", "cut", "noise", "corrected_max_mean", "detail_ratio", "motion"})
            EXPECT_TRUE(record.contains(key)) << key << " missing: " << record.dump();
        EXPECT_FALSE(record.contains("threshold")) << record.dump();
        scenes[name] = record["scene"];
    }
    EXPECT_EQ(scenes["IMG_01.png"], scenes["IMG_04.png"]);
    EXPECT_EQ(scenes["IMG_05.png"], scenes["IMG_07.png"]);
    EXPECT_NE(scenes["IMG_01.png"], scenes["IMG_05.png"]);

    std::map<std::string, nlohmann::json> tags = exiftoolTags(shoot, {"IMG_03.xmp", "IMG_05.xmp"});
    const nlohmann::json& rejected = tags["IMG_03.xmp"];
    EXPECT_EQ(rejected["XMP-dofmap:Verdict"], "blurry");
    EXPECT_EQ(rejected["XMP-xmp:Rating"], -1);
    EXPECT_EQ(rejected["XMP-dofmap:Scene"], scenes["IMG_03.png"]);
    EXPECT_EQ(rejected["XMP-dofmap:JudgedBy"].get<std::string>(), records[2]["judged_by"].get<std::string>());
    EXPECT_EQ(rejected["XMP-dofmap:Motion"].get<double>(), records[2]["motion"].get<double>());
    EXPECT_FALSE(tags["IMG_05.xmp"].contains("XMP-dofmap:Threshold"));
    const std::string page = readFile(work.path() / "review.html");
    EXPECT_NE(page.find("judged against the sharpest frames of its scene"), std::string::npos);
    std::size_t cards = 0;
    for (std::size_t at = page.find("class=\"judged\""); at != std::string::npos;
         at = page.find("class=\"judged\"", at + 1))
        ++cards;
    EXPECT_EQ(cards, frames.size());
}

TEST(BatchCulling, JsonLinesCarryTheCsvFiguresAndEveryFailure)
{
    const TemporaryDirectory work("dofmap-cull");
    save(work.path() / "a.png", photo(90, 60, 51));
    save(work.path() / "with, \"quotes\".png", photo(45, 70, 52));
    std::ofstream(work.path() / "broken.png") << "not a photo";
    const std::vector<std::string> inputs = {"a.png", "broken.png", "with, \"quotes\".png", "missing.jpg"};

    std::vector<std::string> arguments = {"--stats", "--no-map"};
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());
    const RunResult csv = batch(arguments, work.path());
    arguments[0] = "--json";
    const RunResult json = batch(arguments, work.path());
    EXPECT_EQ(csv.status, 1);
    EXPECT_EQ(json.status, 1);
    // The same failures (stderr takes them as the photos finish, in any order).
    const auto sortedLines = [](const std::string& text) {
        std::multiset<std::string> lines;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);) lines.insert(line);
        return lines;
    };
    EXPECT_EQ(sortedLines(json.err), sortedLines(csv.err));

    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(csv.out);
    for (std::string line; std::getline(lines, line);) rows.push_back(csvFields(line));
    ASSERT_EQ(rows.size(), 3u) << csv.out;  // the header, and the two photos that could be read
    const std::vector<Json> records = jsonLines(json.out);
    ASSERT_EQ(records.size(), inputs.size()) << json.out;

    std::size_t row = 1;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const Json& record = records[i];
        EXPECT_EQ(record["path"], inputs[i]);
        if (record.contains("error")) {
            EXPECT_EQ(record.size(), 2u) << record.dump();
            const std::string line =
                "cannot read image " + inputs[i] + ": " + record["error"].get<std::string>() + "\n";
            EXPECT_NE(json.err.find(line), std::string::npos) << json.err << " lacks " << line;
            continue;
        }
        ASSERT_LT(row, rows.size());
        const std::vector<std::string>& fields = rows[row++];
        ASSERT_EQ(fields.size(), rows[0].size());
        std::size_t column = 0;
        // The CSV's companion column is empty where the object has no companion.
        const auto passAbsentCompanion = [&](const std::string& key) {
            if (column == fields.size() || rows[0][column] != "companion" || key == "companion") return;
            EXPECT_EQ(fields[column], "") << record.dump();
            ++column;
        };
        for (const auto& [key, value] : record.items()) {
            passAbsentCompanion(key);
            ASSERT_LT(column, fields.size()) << record.dump();
            EXPECT_EQ(key, rows[0][column]) << record.dump();
            if (value.is_string())
                EXPECT_EQ(value.get<std::string>(), fields[column]) << key;
            else
                EXPECT_EQ(value.get<double>(), std::stod(fields[column])) << key << " of " << inputs[i];
            ++column;
        }
        passAbsentCompanion("");
        EXPECT_EQ(column, fields.size()) << record.dump();
    }
    EXPECT_EQ(row, rows.size());
    EXPECT_EQ(records[1]["error"], "not an image") << records[1].dump();
    EXPECT_EQ(records[3]["error"], "no such file") << records[3].dump();
}

TEST(BatchCulling, NoMapAndDryRunWriteNothingTheyShouldNot)
{
    const TemporaryDirectory work("dofmap-cull");
    save(work.path() / "a.png", photo(60, 50, 61));
    const std::string sidecar =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"0\"/>"
        "</rdf:RDF></x:xmpmeta>";
    std::ofstream(work.path() / "a.xmp") << sidecar;
    struct stat before { };
    ASSERT_EQ(::stat((work.path() / "a.xmp").c_str(), &before), 0);
    const std::set<std::string> original = namesIn(work.path());

    const RunResult figures = batch({"--no-map", "--json", "a.png"}, work.path());
    EXPECT_EQ(figures.status, 0) << figures.err;
    EXPECT_EQ(jsonLines(figures.out).size(), 1u);
    EXPECT_EQ(namesIn(work.path()), original);

    const RunResult dry = batch({"--dry-run", "--xmp", "--reject-below", "1e9", "-o", "out", "a.png"}, work.path());
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("blurry "), std::string::npos) << dry.out;
    const RunResult dryJson =
        batch({"--dry-run", "--reject-below", "50%", "--json", "--blurred", "a.png"}, work.path());
    EXPECT_EQ(dryJson.status, 0) << dryJson.err;
    const std::vector<Json> verdicts = jsonLines(dryJson.out);
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0]["verdict"], "sharp");  // half of its own largest mean is below it
    EXPECT_EQ(namesIn(work.path()), original);
    struct stat after { };
    ASSERT_EQ(::stat((work.path() / "a.xmp").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readFile(work.path() / "a.xmp"), sidecar);

    // Without the map, only the outputs asked for.
    const RunResult blurredOnly = batch({"--no-map", "--blurred", "a.png"}, work.path());
    EXPECT_EQ(blurredOnly.status, 0) << blurredOnly.err;
    std::set<std::string> expected = original;
    expected.insert("a.blur.png");
    EXPECT_EQ(namesIn(work.path()), expected);
    EXPECT_EQ(blurredOnly.out, "");
}

}  // namespace
}  // namespace dofmap
