// The batch program under hostile or careless conditions: closed and failing standard streams,
// links planted where outputs go, leftovers of killed runs, names no terminal should print.
#include "batch_runs.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::batch;
using testing::batchRedirected;
using testing::entriesIn;
using testing::photo;
using testing::readFile;
using testing::RunResult;
using testing::save;
using testing::TemporaryDirectory;

// Runs the batch with standard output a pipe that nobody reads any more and SIGPIPE ignored, as a
// shell pipeline into a program that has exited does: every write to it fails with EPIPE.
RunResult batchIntoBrokenPipe(const std::vector<std::string>& arguments, const fs::path& directory)
{
    const TemporaryDirectory capture("dofmap-capture");
    const std::string errPath = (capture.path() / "err").string();
    std::vector<std::string> argv{DOFMAP_BATCH_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || ::dup2(pipeFds[1], 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(directory.c_str()) != 0) ::_exit(126);
        ::signal(SIGPIPE, SIG_IGN);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    RunResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.err = readFile(errPath);
    return result;
}

// The rows of --stats that cannot be written fail the run with the reason, whatever the cause: a
// full disk, a closed stream, a reader gone away while SIGPIPE is ignored. The maps are still
// written.
TEST(BatchOutput, FailedWritesToStandardOutputAreReported)
{
    const TemporaryDirectory work("dofmap-batch");
    save(work.path() / "a.png", photo(60, 40, 1));
    save(work.path() / "b.png", photo(60, 40, 2));
    const std::vector<std::string> arguments = {"--stats", "-j", "1", "a.png", "b.png"};
    const struct {
        std::string what;
        RunResult result;
        std::string reason;
    } cases[] = {
        {"/dev/full", batchRedirected("> /dev/full", arguments, work.path()), "no space left on device"},
        {"closed", batchRedirected(">&-", arguments, work.path()), "bad file descriptor"},
        {"broken pipe", batchIntoBrokenPipe(arguments, work.path()), "broken pipe"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result.status, 1) << c.what << ": " << c.result.err;
        EXPECT_EQ(c.result.err, "dofmap-batch: cannot write standard output: " + c.reason + "\n") << c.what;
    }
    EXPECT_TRUE(fs::exists(work.path() / "a.dof.png"));
    EXPECT_TRUE(fs::exists(work.path() / "b.dof.png"));
}

// With standard error closed, no file the program opens takes its descriptor: every map of several
// jobs is a valid PNG even when one photo fails.
TEST(BatchOutput, ClosedStandardErrorNeverReceivesAnImage)
{
    const TemporaryDirectory work("dofmap-batch");
    fs::create_directory(work.path() / "shoot");
    for (int i = 0; i < 6; ++i) save(work.path() / "shoot" / (std::to_string(i) + ".png"), photo(50, 40, 10 + i));
    std::ofstream(work.path() / "shoot/broken.jpg") << "not a photo";
    const RunResult result = batchRedirected("2>&-", {"-j", "3", "shoot"}, work.path());
    EXPECT_EQ(result.status, 1);
    for (int i = 0; i < 6; ++i) {
        const fs::path map = work.path() / "shoot" / (std::to_string(i) + ".dof.png");
        EXPECT_EQ(cv::imread(map.string(), cv::IMREAD_UNCHANGED).size(), cv::Size(50, 40)) << map;
    }
}

// An output whose name is a link is replaced by the new file: the link is not followed, and the file
// it pointed to is untouched.
TEST(BatchOutput, LinksAtOutputsAreReplacedNotFollowed)
{
    const TemporaryDirectory work("dofmap-batch");
    save(work.path() / "a.png", photo(40, 30, 20));
    std::ofstream(work.path() / "precious.txt") << "keep me";
    fs::create_symlink("precious.txt", work.path() / "a.dof.png");
    const RunResult result = batch({"a.png"}, work.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(work.path() / "precious.txt"), "keep me");
    EXPECT_FALSE(fs::is_symlink(work.path() / "a.dof.png"));
    EXPECT_EQ(cv::imread((work.path() / "a.dof.png").string(), cv::IMREAD_UNCHANGED).size(), cv::Size(40, 30));
}

// Hidden files, among them the temporary files a killed run leaves, are not photos of a folder; and
// a photo whose name nearly fills the file-name limit still gets its map.
TEST(BatchOutput, LeftoversAreNotPhotosAndLongNamesFit)
{
    const TemporaryDirectory work("dofmap-batch");
    const fs::path shoot = work.path() / "shoot";
    fs::create_directory(shoot);
    save(shoot / ".hidden.png", photo(40, 30, 21));
    // A temporary file as a killed run leaves it: a whole PNG under a hidden name.
    std::vector<uchar> png;
    cv::imencode(".png", photo(40, 30, 22), png);
    std::ofstream(shoot / ".a.dof.png.0123456789abcdef.dofmap-part", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    const std::string stem(240, 'x');
    save(shoot / (stem + ".png"), photo(40, 30, 23));
    const RunResult result = batch({"shoot"}, work.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::exists(shoot / (stem + ".dof.png")));
    EXPECT_EQ(entriesIn(shoot), 4u);  // the three files and the one map
}

// Names are printed with their control characters escaped, one line per message: C0 and C1
// controls, bidirectional controls and bytes that are not UTF-8; accented letters as they are.
TEST(BatchOutput, NamesWithControlCharactersArePrintedEscaped)
{
    const TemporaryDirectory work("dofmap-batch");
    const std::string name = "bad\nname\x1b[31m.jpg";
    const std::string unicode = "\xc2\x9b"
                                "31m\xe2\x80\xaegpj.\xff-\xc3\xa9t\xc3\xa9.jpg";
    std::ofstream(work.path() / name) << "not a photo";
    std::ofstream(work.path() / unicode) << "not a photo";
    const RunResult result = batch({"-j", "1", name, unicode}, work.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "dofmap-batch: cannot read image bad\\nname\\x1b[31m.jpg: not an image\n"
              "dofmap-batch: cannot read image \\u009b31m\\u202egpj.\\xff-\xc3\xa9t\xc3\xa9.jpg: not an image\n");
}

// Damaged photos of every format are refused, each with one line naming it and its reason, and
// nothing else on standard error: not libjpeg's, libpng's or libtiff's own lines. The intact
// photo among them is done.
TEST(BatchInput, DamagedPhotosAreRefusedWithOneLineEach)
{
    const TemporaryDirectory work("dofmap-batch");
    const cv::Mat source = photo(160, 120, 30);
    const auto bytesOf = [](const std::string& extension, const cv::Mat& image, const std::vector<int>& params = {}) {
        std::vector<uchar> bytes;
        EXPECT_TRUE(cv::imencode(extension, image, bytes, params));
        return bytes;
    };
    const auto put = [&](const std::string& name, const std::vector<uchar>& bytes) {
        std::ofstream(work.path() / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    };
    const auto half = [](std::vector<uchar> bytes) {
        bytes.resize(bytes.size() / 2);
        return bytes;
    };
    std::vector<uchar> badCrc = bytesOf(".png", source);
    for (std::size_t i = 0; i + 8 < badCrc.size(); ++i)
        if (std::memcmp(&badCrc[i], "IDAT", 4) == 0) {
            badCrc[i + 8] ^= 0xFF;  // a byte of the compressed data: the chunk's CRC no longer matches
            break;
        }
    put("a-cut.jpg", half(bytesOf(".jpg", source)));
    put("b-cut-progressive.jpg", half(bytesOf(".jpg", source, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})));
    put("c-cut.png", half(bytesOf(".png", source)));
    put("d-bad-crc.png", badCrc);
    put("e-cut.tif", half(bytesOf(".tiff", source)));
    put("f-cut.webp", half(bytesOf(".webp", source)));
    save(work.path() / "g-intact.png", source);
    const RunResult result = batch({"-j", "3", "."}, work.path());
    EXPECT_EQ(result.status, 1);
    std::string expected;
    for (const char* name :
         {"a-cut.jpg", "b-cut-progressive.jpg", "c-cut.png", "d-bad-crc.png", "e-cut.tif", "f-cut.webp"})
        expected += std::string("dofmap-batch: cannot read image ./") + name + ": truncated or corrupt data\n";
    std::vector<std::string> lines;
    std::istringstream err(result.err);
    for (std::string line; std::getline(err, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());  // the jobs finish in any order
    std::string sorted;
    for (const std::string& line : lines) sorted += line;
    EXPECT_EQ(sorted, expected);
    EXPECT_TRUE(fs::exists(work.path() / "g-intact.dof.png"));
    EXPECT_EQ(entriesIn(work.path()), 8u);  // the seven photos and the one map
}

// A PNG whose header declares 30000 x 30000 pixels: a small file that would take gigabytes.
std::vector<uchar> dimensionBomb()
{
    std::vector<uchar> png;
    cv::imencode(".png", photo(40, 30, 40), png);
    const uchar size[8] = {0x00, 0x00, 0x75, 0x30, 0x00, 0x00, 0x75, 0x30};  // 30000 and 30000
    std::copy(size, size + 8, png.begin() + 16);  // the width and height of IHDR
    return png;
}

// A small JPEG whose frame header declares `side` x `side` pixels: libjpeg would decode it with
// warnings only.
std::vector<uchar> hugeJpeg(int side)
{
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", photo(400, 300, 41), jpeg);
    for (std::size_t i = 0; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = jpeg[i + 7] = uchar(side >> 8);  // the height, then the width
            jpeg[i + 6] = jpeg[i + 8] = uchar(side & 0xFF);
            break;
        }
    return jpeg;
}

void put(const fs::path& path, const std::vector<uchar>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Photos are admitted to the jobs only while their estimated memory fits the budget: given by
// --memory, or what the system allows (here an address-space limit). A photo that cannot fit alone
// is refused as too large before it is decoded; the others are done.
TEST(BatchMemory, PhotosTooLargeForTheBudgetAreRefusedAndTheOthersDone)
{
    const TemporaryDirectory work("dofmap-batch");
    put(work.path() / "bomb.png", dimensionBomb());
    put(work.path() / "tall.jpg", hugeJpeg(8000));
    save(work.path() / "normal.png", photo(200, 150, 42));
    const std::string bomb = "dofmap-batch: cannot read image bomb.png: too large (30000 x 30000 pixels need about ";
    const std::string tall = "dofmap-batch: cannot read image tall.jpg: too large (8000 x 8000 pixels need about ";
    const std::vector<std::string> limits[] = {{DOFMAP_BATCH_BINARY, "--memory", "20M"},
                                               {"prlimit", "--as=700000000", DOFMAP_BATCH_BINARY}};
    for (std::vector<std::string> argv : limits) {
        argv.insert(argv.end(), {"-j", "1", "bomb.png", "tall.jpg", "normal.png"});
        const struct {
            std::string what;
            RunResult result;
        } c{argv[1], testing::runCommand(argv, work.path())};
        EXPECT_EQ(c.result.status, 1) << c.what << ": " << c.result.err;
        EXPECT_EQ(c.result.err.rfind(bomb, 0), 0u) << c.what << ": " << c.result.err;
        EXPECT_NE(c.result.err.find(tall), std::string::npos) << c.what << ": " << c.result.err;
        EXPECT_EQ(std::count(c.result.err.begin(), c.result.err.end(), '\n'), 2) << c.what << ": " << c.result.err;
        EXPECT_TRUE(fs::exists(work.path() / "normal.dof.png")) << c.what;
        fs::remove(work.path() / "normal.dof.png");
    }
    // Within the budget, the tall JPEG is decoded and refused for its damage.
    const RunResult roomy = batch({"--memory", "4G", "tall.jpg"}, work.path());
    EXPECT_EQ(roomy.err, "dofmap-batch: cannot read image tall.jpg: truncated or corrupt data\n");
}

// When memory runs out anyway (a budget larger than the address space allows), the photo fails as
// out of memory and the run goes on.
TEST(BatchMemory, AllocationFailuresFailThePhotoNotTheRun)
{
    const TemporaryDirectory work("dofmap-batch");
    put(work.path() / "tall.jpg", hugeJpeg(20000));
    save(work.path() / "normal.png", photo(200, 150, 43));
    const RunResult result = testing::runCommand(
        {"prlimit", "--as=900000000", DOFMAP_BATCH_BINARY, "--memory", "100G", "-j", "1", "tall.jpg", "normal.png"},
        work.path());
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.err, "dofmap-batch: cannot read image tall.jpg: out of memory\n");
    EXPECT_TRUE(fs::exists(work.path() / "normal.dof.png"));
}

// A system out of threads: the jobs and the writes of outputs that cannot have threads of their own
// are done on the thread that asked, and nothing is lost.
TEST(BatchMemory, PhotosAreDoneWithoutThreadsToBeHad)
{
    const TemporaryDirectory work("dofmap-batch");
    for (int i = 0; i < 3; ++i)
        save(work.path() / ("p" + std::to_string(i) + ".jpg"), photo(200, 150, unsigned(50 + i)));
    const RunResult result =
        testing::runCommand({DOFMAP_BATCH_BINARY, "-j", "2", "--summary", "p0.jpg", "p1.jpg", "p2.jpg"}, work.path(),
                            {{"LD_PRELOAD", REFUSE_STD_THREADS}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("3 maps written"), std::string::npos) << result.err;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(fs::exists(work.path() / ("p" + std::to_string(i) + ".dof.png"))) << "photo " << i;
}

}  // namespace
}  // namespace dofmap
