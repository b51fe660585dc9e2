// Starting the real programs from end-to-end tests: working directory, environment, captured
// output and a time limit on every run.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace dofmap::testing {

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// A child process; killed and reaped on destruction if it is still running.
class Process {
public:
    // Starts argv[0] (searched in PATH) in `workingDirectory` with the parent's environment changed
    // by `changes`; its stdout and stderr go to the given files, stdin reads /dev/null.
    Process(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
            const EnvironmentChanges& changes, const std::filesystem::path& outPath,
            const std::filesystem::path& errPath);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The exit status (128 + signal number when killed by a signal), or nullopt when the process
    // did not end within `limit` and is still running.
    std::optional<int> wait(std::chrono::milliseconds limit);

    // Kills the process and whatever it started, and reaps it.
    void kill();

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// What a finished run left: its status (nullopt when it timed out), stdout and stderr.
struct RunResult {
    std::optional<int> status;
    std::string out;
    std::string err;
};

// Runs a command to completion in `workingDirectory`, killing it after `limit`.
RunResult runCommand(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                     const EnvironmentChanges& changes = {},
                     std::chrono::milliseconds limit = std::chrono::seconds(120));

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);

// A fresh empty directory under the system's temporary directory, removed on destruction.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// An Xvfb server of a screen of `width` x `height` pixels on a free display number, stopped on
// destruction.
class VirtualDisplay {
public:
    explicit VirtualDisplay(int width = 1280, int height = 1024);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":N", or "" when the server could not be started.
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace dofmap::testing
