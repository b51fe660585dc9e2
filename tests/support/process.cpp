// Starting the real programs from end-to-end tests, temporary folders and a virtual screen.
#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace dofmap::testing {
namespace {

std::vector<std::string> changedEnvironment(const EnvironmentChanges& changes)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        const std::string name = variable.substr(0, variable.find('='));
        if (changes.count(name) == 0) result.push_back(variable);
    }
    for (const auto& [name, value] : changes)
        if (value) result.push_back(name + "=" + *value);
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int statusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                 const EnvironmentChanges& changes, const std::filesystem::path& outPath,
                 const std::filesystem::path& errPath)
{
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = changedEnvironment(changes);
    std::vector<char*> argp = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    const std::string directory = workingDirectory.string();
    const std::string out = outPath.string();
    const std::string err = errPath.string();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || outFd < 0 || errFd < 0 || ::dup2(in, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 ||
            ::chdir(directory.c_str()) != 0)
            ::_exit(126);
        ::setpgid(0, 0);  // its own group, so that a kill reaches whatever it started
        ::execvpe(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
}

Process::~Process()
{
    kill();
}

void Process::kill()
{
    if (reaped_ || pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
}

std::optional<int> Process::wait(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            return statusOf(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RunResult runCommand(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                     const EnvironmentChanges& changes, std::chrono::milliseconds limit)
{
    const TemporaryDirectory capture("dofmap-capture");
    const auto outPath = capture.path() / "out";
    const auto errPath = capture.path() / "err";
    RunResult result;
    {
        Process process(argv, workingDirectory, changes, outPath, errPath);
        result.status = process.wait(limit);
        process.kill();
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

TemporaryDirectory::TemporaryDirectory(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    // Restore write permission that a test may have taken away, so that removal succeeds.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
        if (entry.is_directory(ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

VirtualDisplay::VirtualDisplay(int width, int height)
{
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(pipeFds[0]);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
        }
        const std::string fd = std::to_string(pipeFds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                 "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    // Xvfb writes the display number it chose once it accepts connections.
    std::string number;
    pollfd reader{pipeFds[0], POLLIN, 0};
    while (::poll(&reader, 1, 30000) > 0) {
        char c = 0;
        if (::read(pipeFds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    ::close(pipeFds[0]);
    if (!number.empty()) name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

}  // namespace dofmap::testing
