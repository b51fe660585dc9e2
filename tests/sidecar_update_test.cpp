// Sidecars updated by the batch program as other programs and the system leave them: edited by a
// photo manager during the merge, private, linked, hard-linked, not files at all; and runs
// interrupted by signals while many jobs write, which must leave no temporary file behind.
#include "batch_runs.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::batch;
using testing::photo;
using testing::Process;
using testing::readFile;
using testing::runCommand;
using testing::RunResult;
using testing::save;
using testing::TemporaryDirectory;

// A sidecar as a photo manager leaves it: a rating, a keyword and a title.
std::string sidecar(int rating, const std::vector<std::string>& keywords)
{
    std::string bag;
    for (const std::string& keyword : keywords) bag += "<rdf:li>" + keyword + "</rdf:li>";
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmp:Rating=\"" +
        std::to_string(rating) + "\"><dc:subject><rdf:Bag>" + bag +
        "</rdf:Bag></dc:subject><dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Dunes</rdf:li></rdf:Alt>"
        "</dc:title></rdf:Description></rdf:RDF></x:xmpmeta>\n";
}

fs::path written(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// The tags exiftool reads from one file.
nlohmann::json tagsOf(const fs::path& path)
{
    const RunResult result = runCommand({"exiftool", "-j", "-G1", "-n", path.string()}, path.parent_path());
    EXPECT_EQ(result.status, 0) << path << ": " << result.err;
    const nlohmann::json files = nlohmann::json::parse(result.out, nullptr, false);
    return files.is_array() && !files.empty() ? files[0] : nlohmann::json::object();
}

struct stat statusOf(const fs::path& path)
{
    struct stat status { };
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

std::vector<std::string> temporariesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        if (name.find(".dofmap-part") != std::string::npos) names.push_back(name);
    }
    return names;
}

// A photo manager that sets a rating and a keyword while the batch merges its figures into the same
// sidecar: the sync of the batch's temporary file (after the sidecar was read, before the check that
// it is unchanged) is delayed by strace, and the sidecar edited meanwhile. Both the edit and the
// figures must be in the result.
TEST(SidecarUpdate, AnEditMadeDuringTheMergeIsKept)
{
    const TemporaryDirectory work("dofmap-sidecar");
    save(work.path() / "IMG_1.jpg", photo(96, 64, 11));
    const fs::path path = written(work.path() / "IMG_1.xmp", sidecar(2, {"dunes"}));

    const fs::path out = work.path() / "out.txt", err = work.path() / "err.txt";
    Process run({"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                 "inject=fsync:delay_enter=1500000", DOFMAP_BATCH_BINARY, "--xmp", "--no-map", "IMG_1.jpg"},
                work.path(), {}, out, err);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (temporariesIn(work.path()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(temporariesIn(work.path()).empty()) << "the batch wrote no temporary: " << readFile(err);
    written(path, sidecar(5, {"dunes", "keeper"}));

    const std::optional<int> status = run.wait(60s);
    ASSERT_EQ(status, 0) << readFile(err);
    const nlohmann::json tags = tagsOf(path);
    EXPECT_EQ(tags["XMP-xmp:Rating"], 5) << tags.dump(1);
    EXPECT_EQ(tags["XMP-dc:Subject"], nlohmann::json({"dunes", "keeper"})) << tags.dump(1);
    EXPECT_TRUE(tags.contains("XMP-dofmap:MaxMean")) << tags.dump(1);
    EXPECT_EQ(tags["XMP-dc:Title"], "Dunes") << tags.dump(1);
}

// Sidecars keep their mode, owner and group; one that is a link is written through to its target
// when that lies in the photo's folder, and refused otherwise; hard-linked sidecars and FIFOs are
// refused, left as they were, the other photos still done.
TEST(SidecarUpdate, SidecarsKeepWhatTheyWereAndOddOnesAreLeftAlone)
{
    const TemporaryDirectory work("dofmap-sidecar");
    const fs::path shoot = work.path() / "shoot", elsewhere = work.path() / "elsewhere";
    fs::create_directories(shoot / "sidecars");
    fs::create_directories(elsewhere);
    for (const char* name : {"a", "b", "c", "d", "e"}) save(shoot / (std::string(name) + ".jpg"), photo(80, 60, 3));
    const std::string original = sidecar(3, {"dunes"});

    // A private sidecar of another user (nobody, when the test may give it away).
    const fs::path privateSidecar = written(shoot / "a.xmp", original);
    ASSERT_EQ(::chmod(privateSidecar.c_str(), 0600), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(privateSidecar.c_str(), 65534, 65534), 0);
    }
    const struct stat privateBefore = statusOf(privateSidecar);
    // A link to a private file outside the photo's folder.
    const fs::path outsideTarget = written(elsewhere / "b.xmp", original);
    ASSERT_EQ(::chmod(outsideTarget.c_str(), 0600), 0);
    fs::create_symlink("../elsewhere/b.xmp", shoot / "b.xmp");
    // A link to a file in a folder below the photo's.
    const fs::path insideTarget = written(shoot / "sidecars" / "c.xmp", original);
    ASSERT_EQ(::chmod(insideTarget.c_str(), 0640), 0);
    fs::create_symlink("sidecars/c.xmp", shoot / "c.xmp");
    // A sidecar with a second name.
    fs::create_hard_link(written(shoot / "d.xmp", original), elsewhere / "d.xmp");
    // A FIFO that nobody writes to.
    ASSERT_EQ(::mkfifo((shoot / "e.xmp").c_str(), 0644), 0);

    const RunResult result =
        runCommand({DOFMAP_BATCH_BINARY, "--xmp", "--no-map", "-q", "shoot"}, work.path(), {}, 30s);
    ASSERT_TRUE(result.status) << "the run did not end: " << result.err;
    EXPECT_EQ(*result.status, 1) << result.err;
    for (const char* line : {"dofmap-batch: cannot write shoot/b.xmp: is a link\n",
                             "dofmap-batch: cannot write shoot/d.xmp: has more than one hard link\n",
                             "dofmap-batch: cannot write shoot/e.xmp: not a regular file\n"})
        EXPECT_NE(result.err.find(line), std::string::npos) << "no line " << line << "in:\n" << result.err;

    const struct stat privateAfter = statusOf(privateSidecar);
    EXPECT_EQ(privateAfter.st_mode, privateBefore.st_mode) << std::oct << privateAfter.st_mode;
    EXPECT_EQ(privateAfter.st_uid, privateBefore.st_uid);
    EXPECT_EQ(privateAfter.st_gid, privateBefore.st_gid);
    EXPECT_TRUE(tagsOf(privateSidecar).contains("XMP-dofmap:MaxMean")) << readFile(privateSidecar);

    EXPECT_TRUE(fs::is_symlink(shoot / "b.xmp"));
    EXPECT_EQ(readFile(outsideTarget), original);
    EXPECT_EQ(statusOf(outsideTarget).st_mode & 07777, 0600u);

    EXPECT_TRUE(fs::is_symlink(shoot / "c.xmp"));
    EXPECT_TRUE(tagsOf(insideTarget).contains("XMP-dofmap:MaxMean")) << readFile(insideTarget);
    EXPECT_EQ(statusOf(insideTarget).st_mode & 07777, 0640u) << std::oct << statusOf(insideTarget).st_mode;

    EXPECT_EQ(readFile(shoot / "d.xmp"), original);
    EXPECT_EQ(statusOf(shoot / "d.xmp").st_nlink, 2u);
    EXPECT_TRUE(S_ISFIFO(statusOf(shoot / "e.xmp").st_mode));
    EXPECT_TRUE(temporariesIn(shoot).empty());
    EXPECT_TRUE(temporariesIn(shoot / "sidecars").empty());
}

// Ctrl-C or SIGTERM while many jobs write: every temporary is removed and the run ends as the signal
// ends a process. The signal comes at several moments after the first output of a run of dozens of
// small photos at -j 32 appears, while the jobs create and rename their temporaries. The moments are
// fractions of how long an uninterrupted run writes on this machine, so that a fast machine or a slow
// sanitized build still sees the signal land in the middle of the writing.
TEST(SidecarUpdate, InterruptedRunsLeaveNoTemporaries)
{
    const TemporaryDirectory work("dofmap-sidecar");
    const fs::path shoot = work.path() / "shoot";
    fs::create_directories(shoot);
    for (int i = 0; i < 96; ++i) save(shoot / ("p" + std::to_string(i) + ".jpg"), photo(160, 120, unsigned(i)));
    const auto outputs = [&] {
        std::size_t count = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(shoot))
            if (entry.path().extension() != ".jpg") ++count;
        return count;
    };
    const auto removeOutputs = [&] {
        for (const fs::directory_entry& entry : fs::directory_iterator(shoot))
            if (entry.path().extension() != ".jpg") fs::remove(entry.path());
    };
    const std::vector<std::string> command = {DOFMAP_BATCH_BINARY, "-j",      "32",    "-q",   "--blurred",
                                              "--colormap",        "viridis", "--xmp", "shoot"};
    const auto startAndAwaitFirstOutput = [&] {
        auto run = std::make_unique<Process>(command, work.path(), testing::EnvironmentChanges{},
                                             work.path() / "out.txt", work.path() / "err.txt");
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (outputs() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        return run;
    };

    // How long a run goes on writing after its first output appears.
    std::chrono::steady_clock::duration writing;
    {
        const std::unique_ptr<Process> run = startAndAwaitFirstOutput();
        const auto firstOutput = std::chrono::steady_clock::now();
        ASSERT_EQ(run->wait(60s), 0) << readFile(work.path() / "err.txt");
        writing = std::chrono::steady_clock::now() - firstOutput;
        removeOutputs();
    }

    const struct {
        int signal;
        int eighths;  // of the writing time
    } interrupts[] = {{SIGINT, 0}, {SIGINT, 1}, {SIGINT, 2}, {SIGINT, 4}, {SIGTERM, 2}};
    for (const auto& interrupt : interrupts) {
        const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(writing * interrupt.eighths / 8);
        const std::unique_ptr<Process> run = startAndAwaitFirstOutput();
        std::this_thread::sleep_for(after);
        ASSERT_EQ(::kill(run->pid(), interrupt.signal), 0);
        const std::optional<int> status = run->wait(20s);
        EXPECT_EQ(status, 128 + interrupt.signal)
            << "signal " << interrupt.signal << " " << after.count() << " ms after the first output";
        const std::vector<std::string> left = temporariesIn(shoot);
        EXPECT_TRUE(left.empty()) << left.size() << " temporaries left by signal " << interrupt.signal << " "
                                  << after.count() << " ms after the first output, such as "
                                  << (left.empty() ? "" : left[0]);
        removeOutputs();
    }
}

}  // namespace
}  // namespace dofmap
