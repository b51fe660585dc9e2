// The batch program on a folder as a camera card gives it: RAW+JPEG shots, photos sharing a stem,
// sidecars of both names; the README's recipes on it, the summary line, sorted records with their
// verdicts, and standard input and output.
#include "batch.hpp"
#include "batch_runs.hpp"
#include "camera_files.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::batch;
using testing::csvFields;
using testing::photo;
using testing::readFile;
using testing::runCommand;
using testing::RunResult;
using testing::save;
using testing::TemporaryDirectory;
using Names = std::set<std::string>;

// The sidecars a photo manager left: Lightroom's of a shot, rated 2, and darktable's of a TIFF.
const std::string kLightroomSidecar =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"2\"/>"
    "</rdf:RDF></x:xmpmeta>";
const std::string kDarktableSidecar =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description rdf:about=\"\" xmlns:darktable=\"http://darktable.sf.net/\" darktable:history_end=\"0\"/>"
    "</rdf:RDF></x:xmpmeta>";

// A photo with detail enough to be judged sharp beside a blurred copy.
cv::Mat sharpPhoto(int width, int height, unsigned seed)
{
    cv::Mat grain(height, width, CV_8UC3);
    cv::RNG(seed).fill(grain, cv::RNG::UNIFORM, 0, 48);
    return photo(width, height, seed) + grain;
}

// A camera card's folder in `work`/`name`: IMG_1.DNG (96 x 64, with a preview of half its size) and
// IMG_1.JPG (80 x 60), a RAW+JPEG shot; IMG_2.HEIC and IMG_2.JPG, IMG_3.tif and IMG_3.jpg, photos
// sharing a stem; "Rome, blurry.jpg", alone and blurred; IMG_1.xmp and IMG_3.tif.xmp.
fs::path writeCard(const fs::path& work, const std::string& name)
{
    const fs::path card = work / name;
    fs::create_directories(card);
    testing::DngOptions preview;
    preview.previewHalvings = 1;
    EXPECT_EQ(testing::writeBayerDng(card / "IMG_1.DNG", sharpPhoto(96, 64, 1), preview), "");
    save(card / "IMG_1.JPG", sharpPhoto(80, 60, 2));
    save(work / "heic-source.png", sharpPhoto(80, 60, 3));
    EXPECT_EQ(testing::runTool({"heif-enc", "heic-source.png", "-o", (card / "IMG_2.HEIC").string()}, work), "");
    save(card / "IMG_2.JPG", sharpPhoto(80, 60, 4));
    save(card / "IMG_3.tif", sharpPhoto(80, 60, 5));
    save(card / "IMG_3.jpg", sharpPhoto(80, 60, 6));
    cv::Mat blurred;
    cv::GaussianBlur(sharpPhoto(80, 60, 7), blurred, cv::Size(), 3.0);
    save(card / "Rome, blurry.jpg", blurred);
    std::ofstream(card / "IMG_1.xmp") << kLightroomSidecar;
    std::ofstream(card / "IMG_3.tif.xmp") << kDarktableSidecar;
    return card;
}

Names namesIn(const fs::path& folder)
{
    Names names;
    if (fs::exists(folder))
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

// `names` with each suffix appended, and `plus` besides.
Names named(const Names& names, const std::vector<std::string>& suffixes, const Names& plus = {})
{
    Names all = plus;
    for (const std::string& name : names)
        for (const std::string& suffix : suffixes) all.insert(name + suffix);
    return all;
}

// Every recipe of the README, ~/shoot being the card, run once with each --pair: each exits 0, and
// the outputs and sidecars are named after the photo's stem, or its whole name where photos share
// one; a shot has one map and one record, figured from the file --pair says.
TEST(BatchShoot, TheReadmeRecipesWorkOnACameraCardWithEachPairing)
{
    const TemporaryDirectory work("dofmap-shoot");
    const fs::path card = writeCard(work.path(), "card");
    const Names originals = namesIn(card);
    const fs::path shoot = work.path() / "shoot", maps = work.path() / "maps";
    const Names sharing = {"IMG_2.HEIC", "IMG_2.JPG", "IMG_3.tif", "IMG_3.jpg", "Rome, blurry"};
    struct Recipe {
        std::vector<std::string> arguments;  // as the README gives them, --pair left to the loop
        std::vector<std::string> beside, inMaps;  // the suffixes of the outputs written there
        bool adobeSidecars = false, fullSidecars = false;
    };
    const Recipe recipes[] = {
        {{"shoot/IMG_3.jpg"}, {}, {}},
        {{"-o", "maps", "shoot"}, {}, {".dof.png"}},
        {{"--overlay", "--colormap", "turbo", "-o", "maps", "shoot"},
         {},
         {".dof.png", ".dof-turbo.png", ".dof-overlay.jpg"}},
        {{"-r", "--raw-preview", "-o", "maps", "shoot"}, {}, {".dof.png"}},
        {{"--stats", "-q", "--sort", "max_mean", "shoot"}, {".dof.png"}, {}},
        {{"--dry-run", "--reject-below", "50%", "-r", "--raw-preview", "shoot"}, {}, {}},
        {{"--xmp", "--reject-below", "50%", "--no-map", "-r", "--raw-preview", "shoot"}, {}, {}, true},
        {{"--xmp", "--reject-below", "50%", "--no-map", "--xmp-name", "full", "shoot"}, {}, {}, false, true},
        {{"--no-map", "--json", "-r", "shoot"}, {}, {}},
        {{"--xmp", "--reject-below", "12.5", "--overwrite-ratings", "shoot"}, {".dof.png"}, {}, true},
        {{"--raw-preview", "-o", "maps", "shoot"}, {}, {".dof.png"}},
        {{"--xmp", "--reject-below", "50%", "--no-map", "shoot"}, {}, {}, true},
        {{"--dry-run", "--stats", "--sort", "max_mean", "--reject-below", "50%", "shoot"}, {}, {}},
        {{"--dry-run", "--cull", "-r", "shoot"}, {}, {}},  // the quick start's
        {{"--xmp", "--cull", "--no-map", "-r", "shoot"}, {}, {}, true},
        {{"--cull", "--no-map", "--report", "review/shoot.html", "-r", "shoot"}, {}, {}},
    };
    for (const std::string pair : {"jpeg", "raw", "both"}) {
        // The outputs' names: the shot's stem, or with --pair both its two files' names.
        const Names photos = named(sharing, {""}, pair == "both" ? Names{"IMG_1.DNG", "IMG_1.JPG"} : Names{"IMG_1"});
        Names adobe = named(sharing, {".xmp"}, {"IMG_1.xmp"});
        Names full = named(sharing, {".xmp"}, {"IMG_1.xmp"});
        full.erase("Rome, blurry.xmp");
        full.insert("Rome, blurry.jpg.xmp");
        if (pair == "both")
            for (Names* sidecars : {&adobe, &full}) sidecars->insert({"IMG_1.DNG.xmp", "IMG_1.JPG.xmp"});
        for (const Recipe& recipe : recipes) {
            fs::remove_all(shoot);
            fs::remove_all(maps);
            fs::copy(card, shoot);
            std::vector<std::string> arguments = recipe.arguments;
            arguments.insert(arguments.begin(), {"--pair", pair});
            const std::string what = ::testing::PrintToString(arguments);
            const RunResult result = batch(arguments, work.path());
            ASSERT_EQ(result.status, 0) << what << "\n" << result.err;
            Names beside = named(photos, recipe.beside, originals);
            if (recipe.arguments[0] == "shoot/IMG_3.jpg") beside.insert("IMG_3.dof.png");  // its stem alone
            if (recipe.adobeSidecars) beside.insert(adobe.begin(), adobe.end());
            if (recipe.fullSidecars) beside.insert(full.begin(), full.end());
            EXPECT_EQ(namesIn(shoot), beside) << what;
            EXPECT_EQ(namesIn(maps), named(photos, recipe.inMaps)) << what;
            if (std::find(arguments.begin(), arguments.end(), "--report") != arguments.end()) {
                EXPECT_TRUE(fs::is_regular_file(work.path() / "review" / "shoot.html")) << what;
            }
            if (pair == "both" && (recipe.adobeSidecars || recipe.fullSidecars)) {
                EXPECT_EQ(readFile(shoot / "IMG_1.xmp"), kLightroomSidecar) << what << ": not the shot's any more";
            }
            if (std::find(arguments.begin(), arguments.end(), "--stats") == arguments.end()) continue;

            // Least sharp first, whatever the names hold; the shot's row names the file figured.
            std::istringstream lines(result.out);
            std::vector<std::vector<std::string>> rows;
            for (std::string line; std::getline(lines, line);) rows.push_back(csvFields(line));
            ASSERT_EQ(rows.size(), photos.size() + 1) << result.out;
            std::vector<std::string> columns = {"path",      "width",    "height",   "max_mean",
                                                "mean_mean", "p90_mean", "companion"};
            if (recipe.arguments[0] == "--dry-run") columns.push_back("verdict");
            EXPECT_EQ(rows[0], columns);
            EXPECT_EQ(rows[1][0], "shoot/Rome, blurry.jpg") << result.out;
            for (std::size_t i = 2; i < rows.size(); ++i)
                EXPECT_LE(std::stod(rows[i - 1][3]), std::stod(rows[i][3])) << result.out;
            std::vector<std::string> shot;
            for (const auto& row : rows)
                if (row[0].rfind("shoot/IMG_1.", 0) == 0) shot.push_back(row[0] + " " + row[1] + " " + row[6]);
            std::sort(shot.begin(), shot.end());
            const std::vector<std::string> expected = pair == "jpeg"
                ? std::vector<std::string>{"shoot/IMG_1.JPG 80 shoot/IMG_1.DNG"}
                : pair == "raw" ? std::vector<std::string>{"shoot/IMG_1.DNG 96 shoot/IMG_1.JPG"}
                                : std::vector<std::string>{"shoot/IMG_1.DNG 96 ", "shoot/IMG_1.JPG 80 "};
            EXPECT_EQ(shot, expected) << result.out;
        }
    }
}

// The rules of a shot's sidecars, and of photos sharing a stem, as planned from the names alone.
TEST(BatchShoot, ShotsTakeTheSidecarsOfTheKindThatExists)
{
    const TemporaryDirectory work("dofmap-shoot");
    const fs::path card = work.path();
    for (const char* name : {"A.CR2", "A.JPG",  // a shot without a sidecar
                             "B.NEF", "B.HEIC", "B.xmp",  // one with Lightroom's
                             "C.DNG", "C.jpg", "C.DNG.xmp",  // one with darktable's of its RAW file
                             "D.tif", "D.jpg", "D.xmp",  // photos sharing a stem, and a sidecar of neither
                             "E.ARW", "E.JPG", "E.tif"})  // three of one stem: no shot
        std::ofstream(card / name) << "x";
    const auto planned = [&](batch::Pairing pair, batch::SidecarName name) {
        batch::Options options;
        options.inputs = {card.string()};
        options.xmp = true;
        options.xmpName = name;
        options.pair = pair;
        std::vector<std::string> problems;
        std::vector<std::string> lines;
        for (const batch::Photo& photo : batch::plan(options, problems)) {
            std::string line =
                fs::path(photo.input).filename().string() + " (" + fs::path(photo.companion).filename().string() + "):";
            for (const fs::path& output : photo.outputs) line += " " + output.filename().string();
            for (const fs::path& sidecar : photo.sidecars) line += " " + sidecar.filename().string();
            lines.push_back(line);
        }
        EXPECT_EQ(problems, std::vector<std::string>());
        return lines;
    };
    const std::vector<std::string> others = {"D.jpg (): D.jpg.dof.png D.jpg.xmp", "D.tif (): D.tif.dof.png D.tif.xmp",
                                             "E.ARW (): E.ARW.dof.png E.ARW.xmp", "E.JPG (): E.JPG.dof.png E.JPG.xmp",
                                             "E.tif (): E.tif.dof.png E.tif.xmp"};
    std::vector<std::string> expected = {"A.JPG (A.CR2): A.dof.png A.JPG.xmp A.CR2.xmp",
                                         "B.HEIC (B.NEF): B.dof.png B.xmp",
                                         "C.jpg (C.DNG): C.dof.png C.jpg.xmp C.DNG.xmp"};
    expected.insert(expected.end(), others.begin(), others.end());
    EXPECT_EQ(planned(batch::Pairing::jpeg, batch::SidecarName::full), expected);
    expected[0] = "A.CR2 (A.JPG): A.dof.png A.xmp";
    expected[1] = "B.NEF (B.HEIC): B.dof.png B.xmp";
    expected[2] = "C.DNG (C.jpg): C.dof.png C.DNG.xmp C.jpg.xmp";
    EXPECT_EQ(planned(batch::Pairing::raw, batch::SidecarName::adobe), expected);
    expected = {"A.CR2 (): A.CR2.dof.png A.CR2.xmp",    "A.JPG (): A.JPG.dof.png A.JPG.xmp",
                "B.HEIC (): B.HEIC.dof.png B.HEIC.xmp", "B.NEF (): B.NEF.dof.png B.NEF.xmp",
                "C.DNG (): C.DNG.dof.png C.DNG.xmp",    "C.jpg (): C.jpg.dof.png C.jpg.xmp"};
    expected.insert(expected.end(), others.begin(), others.end());
    EXPECT_EQ(planned(batch::Pairing::both, batch::SidecarName::adobe), expected);
}

// What cannot be resolved by names is still a usage error, every problem on its own line at once.
TEST(BatchShoot, EveryPlanningProblemIsListedAtOnce)
{
    const TemporaryDirectory work("dofmap-shoot");
    for (const char* folder : {"a", "b", "maps"}) {
        fs::create_directory(work.path() / folder);
        save(work.path() / folder / "x.png", photo(40, 30, 1));
    }
    save(work.path() / "y.png", photo(40, 30, 2));
    fs::rename(work.path() / "maps/x.png", work.path() / "maps/y.dof.png");
    const RunResult result = batch({"-o", "maps", "a", "b", "y.png", "y.png", "maps/y.dof.png"}, work.path());
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err,
              "dofmap-batch: input y.png is given twice\n"
              "dofmap-batch: inputs a/x.png and b/x.png would both write maps/x.png.dof.png\n"
              "dofmap-batch: output maps/y.dof.png would overwrite the input maps/y.dof.png\n"
              "Run with --help for more information.\n");
    EXPECT_EQ(namesIn(work.path() / "maps"), Names{"y.dof.png"});
}

// The summary line: at the end when stderr is a terminal (under a pseudo-terminal, after the progress
// line), not with -q, and with --summary whatever stderr is.
TEST(BatchShoot, TheSummaryLineSaysHowTheRunWent)
{
    const TemporaryDirectory work("dofmap-shoot");
    writeCard(work.path(), "shoot");
    std::ofstream(work.path() / "shoot/broken.jpg") << "not a photo";
    const std::string run = std::string(DOFMAP_BATCH_BINARY) + " -j 1 -o maps --xmp --reject-below 50% shoot";
    const RunResult terminal = runCommand({"script", "-qec", run, "/dev/null"}, work.path());
    EXPECT_EQ(terminal.status, 1) << terminal.out;
    const std::string summary = "dofmap-batch: 6 photos read, 1 unreadable; 6 maps and 6 sidecars written; 5 sharp, "
                                "1 blurry (largest mean below ";
    const std::size_t at = terminal.out.find(summary);
    ASSERT_NE(at, std::string::npos) << terminal.out;
    const std::string last = terminal.out.substr(at);
    EXPECT_EQ(std::count(last.begin(), last.end(), '\n'), 1) << "not the last line: " << terminal.out;
    const RunResult quiet = runCommand({"script", "-qec", run + " -q", "/dev/null"}, work.path());
    EXPECT_EQ(quiet.status, 1) << quiet.out;
    EXPECT_EQ(quiet.out.find("photos read"), std::string::npos) << quiet.out;

    const RunResult asked =
        batch({"-q", "--summary", "--no-map", "--json", "--reject-below", "12.5", "shoot"}, work.path());
    EXPECT_EQ(asked.status, 1);
    EXPECT_EQ(asked.err,
              "dofmap-batch: cannot read image shoot/broken.jpg: not an image\n"
              "dofmap-batch: 6 photos read, 1 unreadable; 5 sharp, 1 blurry (largest mean below 12.500000)\n");
}

// Verdicts in every record: the CSV's verdict column also in a dry run, the JSON objects' threshold;
// --sort orders the records, descending with a minus, photos that cannot be read last.
TEST(BatchShoot, RecordsCarryTheirVerdictsInTheOrderAskedFor)
{
    const TemporaryDirectory work("dofmap-shoot");
    writeCard(work.path(), "shoot");
    const RunResult csv = batch({"--dry-run", "--stats", "--reject-below", "50%", "shoot"}, work.path());
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream lines(csv.out);
    std::string header, row;
    std::getline(lines, header);
    EXPECT_EQ(header, "path,width,height,max_mean,mean_mean,p90_mean,companion,verdict");
    std::map<std::string, std::string> verdicts;
    while (std::getline(lines, row)) verdicts[csvFields(row).at(0)] = csvFields(row).at(7);
    EXPECT_EQ(verdicts,
              (std::map<std::string, std::string>{{"shoot/IMG_1.JPG", "sharp"},
                                                  {"shoot/IMG_2.HEIC", "sharp"},
                                                  {"shoot/IMG_2.JPG", "sharp"},
                                                  {"shoot/IMG_3.jpg", "sharp"},
                                                  {"shoot/IMG_3.tif", "sharp"},
                                                  {"shoot/Rome, blurry.jpg", "blurry"}}))
        << csv.out;

    const RunResult json = batch(
        {"--json", "--no-map", "--reject-below", "50%", "--sort", "-max_mean", "missing.jpg", "shoot", "gone.jpg"},
        work.path());
    EXPECT_EQ(json.status, 1);
    std::vector<nlohmann::json> records;
    std::istringstream objects(json.out);
    for (std::string line; std::getline(objects, line);) records.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(records.size(), 8u) << json.out;
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(records[i]["threshold"], records[0]["threshold"]) << json.out;
        EXPECT_EQ(records[i]["verdict"], records[i]["max_mean"] < records[0]["threshold"] ? "blurry" : "sharp");
        if (i > 0) {
            EXPECT_GE(records[i - 1]["max_mean"], records[i]["max_mean"]) << json.out;
        }
    }
    EXPECT_EQ(records[5]["path"], "shoot/Rome, blurry.jpg");
    EXPECT_EQ(records[6].dump(), R"({"error":"no such file","path":"missing.jpg"})");
    EXPECT_EQ(records[7].dump(), R"({"error":"no such file","path":"gone.jpg"})");

    // A shot whose JPEG is damaged is reported as that file: its RAW file is not taken instead.
    testing::writeTruncated(work.path() / "shoot/IMG_1.JPG", work.path() / "shoot/IMG_1.cut", 0.5);
    fs::rename(work.path() / "shoot/IMG_1.cut", work.path() / "shoot/IMG_1.JPG");
    const RunResult damaged = batch({"--json", "--no-map", "shoot/IMG_1.DNG", "shoot/IMG_1.JPG"}, work.path());
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(
        damaged.out,
        "{\"path\":\"shoot/IMG_1.JPG\",\"companion\":\"shoot/IMG_1.DNG\",\"error\":\"truncated or corrupt data\"}\n");
    EXPECT_EQ(damaged.err, "dofmap-batch: cannot read image shoot/IMG_1.JPG: truncated or corrupt data\n");
}

// - reads one photo from standard input, a pipe or a file, whatever its format, and -o - writes its map
// to standard output: the same map and figures as of the file; damage and excess are refused with the
// reasons files get; what has no place to go is a usage error.
TEST(BatchShoot, StandardInputAndOutputTakeOnePhoto)
{
    const TemporaryDirectory work("dofmap-shoot");
    const fs::path shoot = writeCard(work.path(), "shoot");
    testing::writeTruncated(shoot / "IMG_1.JPG", work.path() / "cut.jpg", 0.5);
    ASSERT_EQ(batch({"-q", "shoot/IMG_1.JPG", "shoot/IMG_2.HEIC"}, work.path()).status, 0);
    const RunResult files = batch({"--json", "--no-map", "shoot/IMG_2.HEIC"}, work.path());

    const std::string binary = DOFMAP_BATCH_BINARY;
    const RunResult piped = runCommand({"sh", "-c", "cat shoot/IMG_1.JPG | \"$0\" - -o -", binary}, work.path());
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, readFile(shoot / "IMG_1.dof.png"));
    const RunResult heic = testing::batchRedirected("< shoot/IMG_2.HEIC", {"-", "-o", "maps"}, work.path());
    ASSERT_EQ(heic.status, 0) << heic.err;
    EXPECT_EQ(readFile(work.path() / "maps/stdin.dof.png"), readFile(shoot / "IMG_2.dof.png"));
    const RunResult figures = testing::batchRedirected("< shoot/IMG_2.HEIC", {"--no-map", "--json", "-"}, work.path());
    EXPECT_EQ(figures.out, "{\"path\":\"-\"" + files.out.substr(files.out.find(','))) << figures.err;

    const RunResult cut = runCommand({"sh", "-c", "cat cut.jpg | \"$0\" - -o -", binary}, work.path());
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "dofmap-batch: cannot read image -: truncated or corrupt data\n");
    EXPECT_EQ(cut.out, "");
    const RunResult excess =
        testing::batchRedirected("< shoot/IMG_1.JPG", {"--memory", "1k", "--no-map", "--json", "-"}, work.path());
    EXPECT_EQ(excess.err, "dofmap-batch: cannot read image -: too large (more than the memory allowed, 1.0 KiB)\n");

    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } misuses[] = {
        {{"-"}, "standard input (-) has no folder to write beside"},
        {{"--xmp", "--no-map", "-"}, "standard input (-) has no folder for a sidecar"},
        {{"-o", "-", "shoot"}, "-o - writes the map of one photo to standard output, not of 6 photos"},
        {{"-o", "-", "--stats", "-"}, "where the records of --stats, --json and --reject-below would go too"},
        {{"-o", "-", "--blurred", "-"}, "not with --blurred"},
    };
    for (const auto& misuse : misuses) {
        const RunResult result = testing::batchRedirected("< shoot/IMG_1.JPG", misuse.arguments, work.path());
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_NE(result.err.find(misuse.message), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(work.path() / "-"));
}

}  // namespace
}  // namespace dofmap
